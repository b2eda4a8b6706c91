#include "analyze/Response.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include "audio/DeliveryWatch.h"
#include "audio/Devices.h"
#include "audio/Pcm.h"
#include "audio/SineLogSweep.h"
#include "audio/SineSweepSingle.h"
#include "audio/StreamInitializer.h"
#include "audio/VUMeterInBuffer.h"
#include "exchange/Calibrator.h"
#include "filter/Design.h"
#include "foundation/KedraLogger.h"
#include "measure/MeasurementCore.h"

namespace Kedra::Measure {

using Kedra::Logging::KedraLogger;
using Kedra::PAudioII::PCMGenerator;
using Kedra::PAudioII::StreamInitializer;

namespace {

StreamInitializer* Stream() {
    return StreamInitializer::Get();
}

bool StreamRunning() {
    return Stream()->GetStatus() == Kedra::PAudioII::STREAM_RUNNING;
}

// A recorder that only collects.
class Recorder : public Kedra::PAudioII::StreamInBuffer {
public:
    using StreamInBuffer::StreamInBuffer;
    void OnFull() override {}
};

} // namespace

Response::Response()
    : tailSamples(StreamInitializer::Get()->GetSamplerate() / 2),
      generator_(std::make_unique<Kedra::PAudioII::SineLogSweep>()),
      signalFilter_(std::make_unique<Kedra::Filter::Design>(
          "SignalFilter", DEFAULT_FILTER_TAPS, StreamInitializer::Get()->GetSamplerate())) {}

Response::~Response() = default;

void Response::DebugRecording(const float*, int) {}
void Response::DebugOutput(const float*, int) {}
void Response::DebugCorrelation(const double*, int) {}

void Response::ReportStatus(const std::string& text) {
    if (statusCallback != nullptr)
        statusCallback(text);
    if (text.size() > 1)
        KedraLogger::LogText("INFO    Response::ReportStatus(" + text + ")\n");
}

void Response::Abort() {
    KedraLogger::LogText("INFO    Response::Abort()\n");
    abortRequested_.store(true, std::memory_order_release);
}

void Response::Sleep(int ms) {
    StreamInitializer* s = Stream();
    const auto frames = static_cast<std::uint64_t>(std::max(ms, 0)) *
                        static_cast<std::uint64_t>(std::max(s->GetSamplerate(), 1)) / 1000;
    const std::uint64_t from = s->GetProcessedFrames();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    // The simulated card gets through 100 ms of audio in a few milliseconds; a finer poll
    // keeps it from waiting on us.
    constexpr auto poll = std::chrono::milliseconds(1);
    while (s->GetProcessedFrames() - from < frames) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until)
            return;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(until - now, poll));
    }
}

void Response::SetNofFilterTaps(int taps) {
    signalFilter_ =
        std::make_unique<Kedra::Filter::Design>("SignalFilter", taps, Stream()->GetSamplerate());
    filteredValid_ = false;
}

int Response::GetNofFilterTaps() const {
    return signalFilter_->Taps();
}

void Response::UpdateFromPAudio() {
    SetNofFilterTaps(DEFAULT_FILTER_TAPS);
}

void Response::SetFilterLowpass(double hz) {
    signalFilter_->SetLowpass(hz);
}
void Response::SetFilterHighpass(double hz) {
    signalFilter_->SetHighpass(hz);
}
void Response::DisableFilterLowpass() {
    signalFilter_->DisableLowpass();
}
void Response::DisableFilterHighpass() {
    signalFilter_->DisableHighpass();
}

void Response::AddCalibrator(const Calibrator* calibrator) {
    if (calibrator != nullptr &&
        std::find(calibrators_.begin(), calibrators_.end(), calibrator) == calibrators_.end())
        calibrators_.push_back(calibrator);
}

void Response::RemoveCalibrator(const Calibrator* calibrator) {
    calibrators_.erase(std::remove(calibrators_.begin(), calibrators_.end(), calibrator),
                       calibrators_.end());
}

ResponseSettings Response::Settings() const {
    ResponseSettings s;
    s.sampleRate = Stream()->GetSamplerate();
    s.normalizeRecording = normalizeRecording;
    s.lockTimeOffset = lockTimeOffset;
    s.lockedTimeOffset = lockedTimeOffset;
    s.subSampleAlign = subSampleAlign;
    s.extendToNyquist = extendToNyquist;
    s.maxFrequency = maxFrequency;
    s.timeZeroMethod = timeZeroMethod;
    if (applyCalibration)
        s.calibrators = calibrators_;
    return s;
}

bool Response::Render(int n, PCMGenerator* generator) {
    generator->length = n;
    generator->Reset();
    if (n != lastLength_) {
        signalBuffer_ = Mem::Array<float>(static_cast<std::size_t>(n));
        filteredBuffer_ = Mem::Array<float>(static_cast<std::size_t>(n));
        filteredValid_ = false;
    }
    // HasChanged refreshes the generator's snapshots, so it is asked every time.
    const bool changed = generator->HasChanged();
    if (changed || n != lastLength_ || generator != lastGenerator_) {
        ReportStatus("Generating signal");
        const int fs = std::max(Stream()->GetSamplerate(), 1);
        for (int i = 0; i < n; ++i) {
            if (i % fs == 0)
                ReportStatus("-");
            bool first = false;
            generator->NextSample(&signalBuffer_[static_cast<std::size_t>(i)], &first);
        }
        lastGenerator_ = generator;
        ++renderCount_;
        filteredValid_ = false;
        return true;
    }
    return false;
}

PCMGenerator* Response::RenderFor(int lengthExponent, bool haveSpectrum, PCMGenerator* generator) {
    failure.clear();
    aborted = false;
    if (lengthExponent < 2 || lengthExponent > 28 || !haveSpectrum) {
        failure = "The signal length 2^" + std::to_string(lengthExponent) +
                  " lies outside 2^2 .. 2^28 samples";
        return nullptr;
    }
    if (generator == nullptr)
        generator = generator_.get();
    const int n = 1 << lengthExponent;
    Render(n, generator);
    lastLength_ = n;
    return generator;
}

bool Response::Measure(int lengthExponent, std::complex<double>* spectrumOut, int inputChannel,
                       PCMGenerator* generator) {
    if (RenderFor(lengthExponent, spectrumOut != nullptr, generator) == nullptr)
        return false;
    const int n = 1 << lengthExponent;
    return MeasureSignal(n, {spectrumOut}, lengthExponent, {inputChannel}, signalBuffer_.data(),
                         signalBuffer_.data(), 0);
}

bool Response::MeasureInputs(int lengthExponent, const std::vector<int>& channels,
                             const std::vector<std::complex<double>*>& spectra,
                             PCMGenerator* generator, bool filtered) {
    bool spectraGiven = !channels.empty() && spectra.size() == channels.size();
    for (std::size_t i = 0; spectraGiven && i < channels.size(); ++i)
        spectraGiven = spectra[i] != nullptr || channels[i] == referenceInput;
    generator = RenderFor(lengthExponent, spectraGiven, generator);
    if (generator == nullptr)
        return false;
    const int n = 1 << lengthExponent;
    if (!filtered)
        return MeasureSignal(n, spectra, lengthExponent, channels, signalBuffer_.data(),
                             signalBuffer_.data(), 0);
    int start = 0;
    int end = n;
    PrepareFiltered(n, generator, &start, &end);
    return MeasureSignal(end, spectra, lengthExponent, channels, filteredBuffer_.data(),
                         signalBuffer_.data(), start);
}

void Response::PlayedBand(int n, PCMGenerator* generator, int* start, int* end) {
    *start = 0;
    *end = n;
    auto& hp = signalFilter_->Highpass();
    auto& lp = signalFilter_->Lowpass();
    // The edges lie outside the sections' transitions: fc minus, or plus, the band.
    const double fH = hp.IsEnabled() ? hp.GetFreqCenter() - hp.GetFreqBand() : 0.0;
    const double fL = lp.IsEnabled() ? lp.GetFreqCenter() + lp.GetFreqBand() : 0.0;
    auto index = [&](double f, auto law) { return law(f); };
    if (generator->kind == Kedra::PAudioII::GENERATOR_KIND_LOG_SWEEP) {
        auto* sweep = dynamic_cast<Kedra::PAudioII::SineLogSweep*>(generator);
        if (sweep == nullptr || sweep->startFrequency <= 0 ||
            sweep->endFrequency <= sweep->startFrequency)
            return;
        const double f1 = sweep->startFrequency;
        const double span = std::log(sweep->endFrequency / f1);
        auto law = [&](double f) { return n * std::log(f / f1) / span; };
        if (fH > 0)
            *start = static_cast<int>(index(fH, law)) - 1;
        if (fL > 0)
            *end = static_cast<int>(index(fL, law)) + 1;
    } else if (generator->kind == Kedra::PAudioII::GENERATOR_KIND_SINGLE_SWEEP) {
        auto* sweep = dynamic_cast<Kedra::PAudioII::SineSweepSingle*>(generator);
        if (sweep == nullptr || sweep->span <= 0 || sweep->shape <= 0)
            return;
        const double f1 = sweep->startFrequency;
        auto law = [&](double f) {
            return n * std::pow(std::max(0.0, (f - f1) / sweep->span), 1.0 / sweep->shape);
        };
        if (fH > 0)
            *start = static_cast<int>(index(fH, law)) - 1;
        if (fL > 0)
            *end = static_cast<int>(index(fL, law)) + 1;
    }
    *start = std::clamp(*start, 0, n);
    *end = std::clamp(*end, *start, n);
}

void Response::PrepareFiltered(int n, PCMGenerator* generator, int* start, int* end) {
    signalFilter_->Update();
    if (!filteredValid_ || filteredRevision_ != signalFilter_->Revision()) {
        ReportStatus("Applying filter");
        signalFilter_->Filter(signalBuffer_.data(), filteredBuffer_.data(), n);
        filteredRevision_ = signalFilter_->Revision();
        filteredValid_ = true;
    }
    PlayedBand(n, generator, start, end);
}

bool Response::MeasureFiltered(int lengthExponent, std::complex<double>* spectrumOut,
                               int inputChannel, PCMGenerator* generator) {
    generator = RenderFor(lengthExponent, spectrumOut != nullptr, generator);
    if (generator == nullptr)
        return false;
    const int n = 1 << lengthExponent;
    int start = 0;
    int end = n;
    PrepareFiltered(n, generator, &start, &end);
    return MeasureSignal(end, {spectrumOut}, lengthExponent, {inputChannel}, filteredBuffer_.data(),
                         signalBuffer_.data(), start);
}

void Response::StopOutput() {
    StreamInitializer* s = Stream();
    if (s->GetRampEnabled()) {
        s->SetRampStepDb(50.0f / (0.1f * std::max(s->GetSamplerate(), 1)));
        if (s->GetOutputEnabled() && StreamRunning()) {
            s->SetRampUp(false);
            s->SetRampDown(true);
        } else {
            s->SetRampGainDb(-50.0f);
        }
    } else {
        s->SetOutputEnabled(false);
    }
}

void Response::StartOutput() {
    StreamInitializer* s = Stream();
    if (s->GetRampEnabled()) {
        s->SetRampStepDb(50.0f / (0.1f * std::max(s->GetSamplerate(), 1)));
        if (!s->GetOutputEnabled() || !StreamRunning()) {
            s->SetRampGainDb(-50.0f);
            s->SetRampDown(false);
            s->SetRampUp(true);
        } else {
            s->SetRampGainDb(0.0f);
        }
    }
    s->SetOutputEnabled(true);
}

bool Response::MeasureSignal(int end, const std::vector<std::complex<double>*>& spectra,
                             int exponent, const std::vector<int>& channels, const float* played,
                             const float* reference, int start) {
    StreamInitializer* stream = Stream();
    const int n = 1 << exponent;
    inputResults.clear();
    referenceOffset = std::numeric_limits<double>::quiet_NaN();
    const int inputChannel = channels.front();
    const int k = static_cast<int>(channels.size());
    // One input keeps its old way: one past the device's inputs simply never arrives. Several
    // are interleaved frame by frame in channel order, so each must exist and come once.
    int mask = inputChannel >= 0 && inputChannel < 31 ? 1 << inputChannel : 0;
    std::vector<int> slotOf(channels.size(), 0);
    if (k > 1) {
        mask = 0;
        for (int ch : channels) {
            if (ch < 0 || ch >= std::min(stream->GetInChannels(), 31) || (mask & (1 << ch)) != 0) {
                failure = "Input " + std::to_string(ch + 1) +
                          (ch >= 0 && (mask & (1 << ch)) != 0
                               ? " is asked for twice"
                               : " is not one of the " + std::to_string(stream->GetInChannels()) +
                                     " inputs of " +
                                     Kedra::PAudioII::GetDeviceName(stream->GetInDevice(), true));
                return false;
            }
            mask |= 1 << ch;
        }
        for (std::size_t i = 0; i < channels.size(); ++i)
            for (int ch : channels)
                slotOf[i] += ch < channels[i] ? 1 : 0;
    }
    const int fs = std::max(stream->GetSamplerate(), 1);
    abortRequested_.store(false, std::memory_order_release);
    if (PCMGenerator* installed = stream->GetGenerator())
        installed->SetTriggerMode(true);
    const int tail = std::max(tailSamples, 0);
    const int toRecord = end + tail - start;

    bool startedStream = false;
    if (!StreamRunning()) {
        StopOutput();
        stream->Start();
        ReportStatus("Starting Audiostream");
        Sleep(1000);
        ReportStatus("Audiostream active");
        startedStream = true;
    } else {
        ReportStatus("Audiostream already active");
    }

    const int c = TransformLength(n, tail);
    if (c == 0 || c > std::numeric_limits<int>::max() / k) {
        ReportStatus("ERROR while starting audiostream: recording too long");
        failure = "The signal and the longest delay together are too long to record";
        return false;
    }
    auto recorder = std::make_unique<Recorder>(c * k, false, true);
    const float zero = 0.0f;
    for (int i = 0; i < start * k; ++i)
        recorder->Write(&zero, 1);
    recorder->SetChannelMask(mask);
    stream->AddInputBuffer(recorder.get());

    // Reset before installing, so the audio thread never sees a generator being rewound.
    auto pcm = std::make_unique<Kedra::PAudioII::Pcm>();
    pcm->SetTriggerMode(true);
    pcm->SetData(played + start, end - start);
    pcm->length = end - start;
    pcm->Reset();
    stream->SetGenerator(pcm.get());
    StartOutput();

    auto uninstall = [&] {
        StopOutput();
        stream->SetGenerator(nullptr);
        pcm.reset();
    };

    if (!StreamRunning()) {
        ReportStatus("ERROR while starting audiostream: " + stream->GetPaErrorText());
        failure = "The audio stream did not start: " + stream->GetPaErrorText();
        stream->RemoveInputBuffer(recorder.get());
        recorder.reset();
        uninstall();
        return false;
    }

    // The input's level for the user to watch: a listener beside the recorder.
    const int inChannels = stream->GetInChannels();
    std::unique_ptr<Kedra::PAudioII::VUMeterInBuffer> meter;
    if (levelCallback != nullptr && inputChannel >= 0 && inputChannel < inChannels &&
        inputChannel < Kedra::PAudioII::VUMeterInBuffer::MAX_METER_CHANNELS)
        meter = std::make_unique<Kedra::PAudioII::VUMeterInBuffer>(stream, 0.1f, 0.1f);
    std::uint64_t meterBlocks = 0;
    auto reportLevel = [&] {
        if (!meter)
            return;
        Kedra::PAudioII::VUMeterInBuffer::Levels levels;
        meter->ReadLevels(levels);
        const bool fresh = levels.blocks != meterBlocks;
        meterBlocks = levels.blocks;
        const float db = levels.current[static_cast<std::size_t>(inputChannel)];
        levelCallback(fresh && db > Kedra::PAudioII::VUMeterInBuffer::FLOOR_DB
                          ? static_cast<double>(db)
                          : -std::numeric_limits<double>::infinity());
    };

    ReportStatus("Playing and Recording:");
    DebugOutput(played + start, end - start);
    ReportStatus("-");

    if (!inverse_.IsBuilt() || inverse_.C() != c || inverse_.N() != n ||
        inverseRender_ != renderCount_) {
        inverse_.Build(reference, n, c);
        inverseRender_ = renderCount_;
    }

    // Everything up to the end of the tail, after the `start` zeros already in the recorder.
    const int wanted = std::min(start + toRecord, c) * k;
    const int timeoutMs = static_cast<int>(std::floor(double(toRecord) / fs * 1200.0 + 0.5));
    Kedra::PAudioII::DeliveryWatch watch(stream, static_cast<std::uint64_t>(timeoutMs) * fs / 1000,
                                         std::chrono::milliseconds(timeoutMs));
    int step = 0;
    bool timedOut = false;
    while (!abortRequested_.load(std::memory_order_acquire)) {
        if (recorder->Available() >= wanted)
            break;
        if (watch.Expired()) {
            timedOut = true;
            break;
        }
        Sleep(100);
        reportLevel();
        if (step % 10 == 0)
            ReportStatus(".");
        ++step;
    }
    meter.reset();
    stream->RemoveInputBuffer(recorder.get());
    ReportStatus("n");

    if (abortRequested_.load(std::memory_order_acquire)) {
        ReportStatus("Aborting!");
        failure = "The measurement was cancelled";
        aborted = true;
        uninstall();
        recorder.reset();
        return false;
    }

    const int received = recorder->Available() / k - start;
    // Fill the frame to the transform length with silence.
    while (recorder->Available() < c * k)
        recorder->Write(&zero, 1);
    int count = 0;
    float* recording = recorder->TakeBlock(&count);
    std::vector<Mem::Array<float>> separated;
    std::vector<float*> recordings(channels.size(), recording);
    if (k > 1) {
        for (std::size_t i = 0; i < channels.size(); ++i) {
            separated.emplace_back(static_cast<std::size_t>(c));
            for (int f = 0; f < c; ++f)
                separated.back()[static_cast<std::size_t>(f)] =
                    recording[static_cast<std::size_t>(f) * k + slotOf[i]];
            recordings[i] = separated.back().data();
        }
    }
    DebugRecording(recordings.front() + start, toRecord);

    if (timedOut) {
        KedraLogger::LogText("WARNING Response::Meaure - Did not receive recording!\n");
        const std::string where = "input " + std::to_string(inputChannel + 1) + " of " +
                                  Kedra::PAudioII::GetDeviceName(stream->GetInDevice(), true);
        const auto seconds = [](double s) {
            return std::to_string(std::max(1, static_cast<int>(std::lround(s)))) + " s";
        };
        if (received <= 0)
            failure = "No signal arrived on " + where + " within " + seconds(timeoutMs / 1000.0);
        else
            failure = "The recording on " + where + " stopped after " +
                      seconds(static_cast<double>(received) / fs) + " of " +
                      seconds(static_cast<double>(toRecord) / fs);
        recorder.reset();
        ReportStatus("Error while recording audiostream");
        ReportStatus("Done");
        uninstall();
        return false;
    }

    inputResults.assign(channels.size(), ResponseResult{});
    const ResponseSettings settings = Settings();
    Mem::Array<std::complex<double>> scratch;
    const auto analyse = [&](std::size_t i, const ResponseSettings& s) {
        std::complex<double>* out = spectra[i];
        if (out == nullptr) {
            scratch = Mem::Array<std::complex<double>>(static_cast<std::size_t>(n / 2 + 1));
            out = scratch.data();
        }
        CorrelationHook hook;
        if (i == 0)
            hook = [this](const double* samples, int n2) { DebugCorrelation(samples, n2); };
        return AnalyzeRecording(
            recordings[i], inverse_, s, out, inputResults[i],
            [this](const std::string& text) { ReportStatus(text); }, hook);
    };
    bool analysed = true;
    const auto ref = std::find(channels.begin(), channels.end(), referenceInput);
    ResponseSettings others = settings;
    if (referenceInput >= 0 && ref != channels.end()) {
        // The reference is the played signal come back through the card: no microphone.
        ResponseSettings own = settings;
        own.calibrators.clear();
        own.lockTimeOffset = false;
        const auto r = static_cast<std::size_t>(ref - channels.begin());
        analysed = analyse(r, own);
        referenceOffset = inputResults[r].timeOffset;
        others.lockTimeOffset = true;
        others.lockedTimeOffset = referenceOffset;
    }
    for (std::size_t i = 0; analysed && i < channels.size(); ++i) {
        if (ref != channels.end() && i == static_cast<std::size_t>(ref - channels.begin()))
            continue;
        ResponseSettings own = others;
        if (applyCalibration && i < inputCalibrators.size() && !inputCalibrators[i].empty())
            own.calibrators = inputCalibrators[i];
        analysed = analyse(i, own);
    }
    separated.clear();
    recorder.reset();
    if (analysed) {
        const ResponseResult& result = inputResults.front();
        recordedPeak = result.recordedPeak;
        appliedGain = result.appliedGain;
        timeOffset = result.timeOffset;
        inverted = result.inverted;
    }

    if (startedStream)
        stream->Stop();
    uninstall();
    if (!analysed) {
        failure = "The recording could not be analysed (see the log file)";
        return false;
    }
    ReportStatus("Measuring done.");
    return true;
}

void Response::PostInitializeMeasurement(MeasurementCore& measurement) {
    ResponseResult result;
    result.recordedPeak = recordedPeak;
    result.appliedGain = appliedGain;
    result.timeOffset = timeOffset;
    PostInitializeMeasurement(measurement, result);
}

void Response::PostInitializeMeasurement(MeasurementCore& measurement,
                                         const ResponseResult& result) {
    measurement.SetRecMaxAmplitude(result.recordedPeak);
    measurement.SetAmplitude(result.appliedGain);
    measurement.PostInitSetOffset(result.timeOffset);
    measurement.SetTimeZeroMethod(static_cast<int>(timeZeroMethod));
    measurement.InvalidateViews();
}

} // namespace Kedra::Measure
