#include "app/AudioHelper.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "app/FrontEnd.h"
#include "app/Options.h"
#include "app/SplReference.h"
#include "audio/Devices.h"
#include "audio/StreamInitializer.h"
#include "exchange/TextFile.h"
#include "filter/Design.h"
#include "foundation/KedraLogger.h"
#include "foundation/MathHelpers.h"

namespace Kedra::Sonvel {

using Kedra::Logging::KedraLogger;
using Kedra::Measure::Measurement;
using Kedra::PAudioII::StreamInitializer;

namespace {

// The pipeline reports through a plain function; it reaches the front end of the run, whose
// cancel aborts the run at its next report (the recording reports several times a second).
FrontEnd* reporting = nullptr;
Kedra::Measure::Response* reportingRun = nullptr;
void LevelToFrontEnd(double dbfs) {
    if (reporting != nullptr)
        reporting->InputLevel(dbfs);
}
void ReportToFrontEnd(const std::string& text) {
    if (reporting == nullptr)
        return;
    reporting->StepProgress(text, -1.0);
    if (reportingRun != nullptr && reporting->ProgressCancelled())
        reportingRun->Abort();
}

// Begin and End of the front end's progress around one measurement, whatever way it ends.
class ProgressScope {
public:
    ProgressScope(FrontEnd& frontEnd, const std::string& title) : frontEnd_(frontEnd) {
        frontEnd_.BeginProgress(title);
    }
    ~ProgressScope() {
        reporting = nullptr;
        reportingRun = nullptr;
        frontEnd_.EndProgress();
    }
    ProgressScope(const ProgressScope&) = delete;
    ProgressScope& operator=(const ProgressScope&) = delete;

private:
    FrontEnd& frontEnd_;
};

const char* OUTPUT_NAMES[] = {"Left", "Right", "CH3", "CH4"};
const char* INPUT_NAMES[] = {"Left", "Right", "Ch. 3", "Ch. 4"};

} // namespace

int SampleRateOfNumber(int number) {
    static const int rates[] = {44100, 48000, 88200, 96000, 176400, 192000};
    return number >= 0 && number < 6 ? rates[number] : 0;
}

std::string OutputChannelNames(int mask) {
    std::string outputs;
    for (int ch = 0; ch < 4; ++ch)
        if ((mask & (1 << ch)) > 0)
            outputs += (outputs.empty() ? "" : ", ") + std::string(OUTPUT_NAMES[ch]);
    return outputs;
}

std::string InputChannelName(int channel) {
    return channel >= 0 && channel < 4 ? INPUT_NAMES[channel] : "Unknown";
}

std::vector<int> MeasuredInputs(const Conf::DevOptions& dev) {
    return dev.InputChannels.empty() ? std::vector<int>{dev.InputChannel} : dev.InputChannels;
}

std::string CheckInputs(const std::vector<int>& inputs, int reference, int available) {
    // The stream records at most 31 inputs (one bit each of a channel mask).
    const int usable = std::min(available, 31);
    const std::string of = " (the input device has " + std::to_string(available) +
                           (available == 1 ? " input" : " inputs") + ")";
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const int in = inputs[i];
        if (in < 0 || in >= usable)
            return "There is no input " + std::to_string(in + 1) + of;
        if (std::find(inputs.begin(), inputs.begin() + static_cast<std::ptrdiff_t>(i), in) !=
            inputs.begin() + static_cast<std::ptrdiff_t>(i))
            return "Input " + std::to_string(in + 1) + " is listed twice";
    }
    if (reference >= usable || reference < -1)
        return "There is no reference input " + std::to_string(reference + 1) + of;
    if (reference >= 0 && std::find(inputs.begin(), inputs.end(), reference) != inputs.end())
        return "Input " + std::to_string(reference + 1) +
               " is the reference input; it cannot be measured as well";
    return {};
}

std::string MicCalibrationFileFor(int input) {
    return "CalibrationMic-in" + std::to_string(input + 1) + ".cal";
}

std::string InputLabel(const std::string& label, int input) {
    std::string base = label;
    const auto at = base.rfind(" (input ");
    if (at != std::string::npos && !base.empty() && base.back() == ')')
        base.erase(at);
    return base + " (input " + std::to_string(input + 1) + ")";
}

AmplitudeVerdict JudgeAmplitude(double a) {
    AmplitudeVerdict v;
    v.amplitude = a;
    v.db = Kedra::Math::AmplitudeToDB(a);
    if (a <= MEASURE_LOW_REJECT_AMP) {
        v.accepted = false;
        v.red = 250, v.green = 50, v.blue = 50;
        v.message =
            "Recording amplitude is to low:! (Below " +
            Kedra::Text::FormatFixed(Kedra::Math::AmplitudeToDB(MEASURE_LOW_REJECT_AMP), 0) +
            " dB)\n" + "\n" + "Please make sure that:\n" +
            "1. The microphone is connected to the input on the soundcard\n" +
            "2. The windows mixer settings for playing & recording are correct\n" +
            "3. No other windows application is streaming sound (eg. playning music) to "
            "the input soundcard\n" +
            "4. The microphone is switched on";
    } else if (a >= 0.999) {
        v.red = 250, v.green = 50, v.blue = 50;
        v.message = "Recording amplitude indicates digital clipping.\nMeasure at a lower volume "
                    "to avoid this";
    } else if (a < MEASURE_LOW_WARN_AMP) {
        v.red = 220, v.green = 220, v.blue = 50;
        v.message = "Recording amplitude is low: " + Kedra::Text::FormatFixed(v.db, 0) +
                    " dB\nMeasure at a higher volume to avoid this";
    }
    return v;
}

double NormalizeMeasurement(Measurement& measurement, double lowHz, double highHz) {
    const double avg = measurement.GetForgAvg(lowHz, highHz, true);
    const double peak = measurement.GetFreqPeak(10, true);
    if (peak == 0.0 || !(avg > 0.0))
        return 1.0;
    // A peak far above the average would otherwise end up far above 0 dB: it is held at +10.
    const double gain =
        20.0 * std::log10(peak / avg) > 10.0 ? Kedra::Math::DBToAmplitude(10.0) / peak : 1.0 / avg;
    measurement.Amplify(gain);
    return gain;
}

namespace {

template <class T>
void SaveDebugWave(bool enabled, const std::string& path, const T* samples, int count, int rate,
                   Kedra::WaveImExport::WaveFormat format, const char* what, bool normalize) {
    if (!enabled || path.empty())
        return;
    if (Kedra::WaveImExport::ArrayWaveExport(samples, count, rate, path, format, what, normalize) <=
        0)
        KedraLogger::LogText("WARNING AudioHelper::SaveMeasureWaves - the " + std::string(what) +
                             " could not be written to " + path + "\n");
}

} // namespace

void DebugWaveResponse::DebugOutput(const float* samples, int count) {
    SaveDebugWave(enabled, outputPath, samples, count, sampleRate, format, "Output", false);
}

void DebugWaveResponse::DebugRecording(const float* samples, int count) {
    SaveDebugWave(enabled, recordingPath, samples, count, sampleRate, format, "Recording", false);
}

void DebugWaveResponse::DebugCorrelation(const double* samples, int count) {
    // Its level depends on the signal's length; scaled, it fits any sample format.
    SaveDebugWave(enabled, correlationPath, samples, count, sampleRate, format, "Correlation",
                  true);
}

AudioHelper::AudioHelper(FrontEnd& frontEnd)
    : frontEnd_(frontEnd), response_(std::make_unique<DebugWaveResponse>()), active_(&sweep_) {
    response_->AddCalibrator(&mic_);
    response_->AddCalibrator(&dacAdc_);
    response_->statusCallback = ReportToFrontEnd;
    response_->levelCallback = LevelToFrontEnd;
}

AudioHelper::~AudioHelper() {
    StreamInitializer* stream = StreamInitializer::Get();
    // Nothing of ours may stay installed on the process-wide stream.
    if (stream->GetGenerator() == &sweep_ || stream->GetGenerator() == &chirp_ ||
        stream->GetGenerator() == &noise_)
        stream->SetGenerator(nullptr);
}

int AudioHelper::SampleRate() const {
    return StreamInitializer::Get()->GetSamplerate();
}

void AudioHelper::UseSimulated(bool on, Kedra::PAudioII::SimulatedModel model) {
    simulated_ = on;
    model_ = model;
}

bool AudioHelper::ApplyDevices(const Conf::OptionsField& options) {
    namespace pa = Kedra::PAudioII;
    int api = options.Dev.ApiNumber;
    int outNumber = options.Dev.OutputNumber;
    int inNumber = options.Dev.InputNumber;
    if (simulated_) {
        // The simulated host API lists its devices in model order.
        api = pa::SimulatedHostApiIndex();
        outNumber = inNumber = static_cast<int>(model_);
    }
    auto refuse = [this](const std::string& text) {
        KedraLogger::LogText("WARNING AudioHelper::ApplyDevices() " + text + "\n");
        frontEnd_.ShowMessage(MessageKind::Error, "Sonvel Warning", text);
        return false;
    };
    const int apiCount = pa::GetHostApiCount();
    if (api < 0 || api >= apiCount) {
        std::string known;
        for (int i = 0; i < apiCount; ++i)
            known += (i == 0 ? "" : ", ") + std::to_string(i) + " " + pa::HostApiNameAt(i);
        return refuse("There is no host audio interface number " + std::to_string(api) +
                      " (the host audio interfaces are " + known + ")");
    }
    const std::string apiName = pa::HostApiNameAt(api);
    auto pick = [&](const std::vector<int>& devices, int number, const char* kind, int& device) {
        if (number >= 0 && number < static_cast<int>(devices.size())) {
            device = devices[static_cast<std::size_t>(number)];
            return true;
        }
        const std::string range =
            devices.empty() ? "it has none" : "they are 0 .. " + std::to_string(devices.size() - 1);
        return refuse("The host audio interface " + apiName + " has no " + kind +
                      " device number " + std::to_string(number) + " (" + range + ")");
    };
    int out = -1;
    int in = -1;
    if (!pick(pa::GetOutDevices(api), outNumber, "output", out) ||
        !pick(pa::GetInDevices(api), inNumber, "input", in))
        return false;
    // All channels of each device; the masks choose among them.
    const PaDeviceInfo* outInfo = pa::GetDeviceInfo(out);
    const PaDeviceInfo* inInfo = pa::GetDeviceInfo(in);
    const int outChannels = outInfo != nullptr ? std::max(outInfo->maxOutputChannels, 1) : 2;
    const int inChannels = inInfo != nullptr ? std::max(inInfo->maxInputChannels, 1) : 2;
    // The stream reopens when they differ from the ones it plays on.
    StreamInitializer* stream = StreamInitializer::Get();
    stream->SetOutDevice(out, outChannels, true);
    stream->SetInDevice(in, inChannels, true);
    return true;
}

void AudioHelper::ApplyOptions(const Conf::OptionsField& options) {
    StreamInitializer* stream = StreamInitializer::Get();
    const int rate = SampleRateOfNumber(options.Dev.SamplerateNo);
    if (rate > 0 && rate != stream->GetSamplerate()) {
        // A new rate: the sweeps end at its Nyquist frequency, and the stream reopens.
        stream->Stop();
        stream->SetSamplerate(rate);
        sweep_.endFrequency = rate / 2.0;
        chirp_.endFrequency = rate / 2.0;
        response_->UpdateFromPAudio();
    }
    if (sweep_.endFrequency != stream->GetSamplerate() / 2.0) {
        sweep_.endFrequency = stream->GetSamplerate() / 2.0;
        chirp_.endFrequency = stream->GetSamplerate() / 2.0;
    }
    const Conf::SignalOptions& s = options.Signal;
    sweep_.startFrequency = s.LogSweepStartFreq;
    chirp_.startFrequency = s.ChirpStartFreq;
    chirp_.shape = s.ChirpPotens;
    noise_.holdProbability = s.SqNoiseFreq;
    noise_.amplitude = s.SqNoiseAmplitude;
    for (Kedra::PAudioII::PCMGeneratorFading* g :
         {static_cast<Kedra::PAudioII::PCMGeneratorFading*>(&sweep_),
          static_cast<Kedra::PAudioII::PCMGeneratorFading*>(&chirp_)}) {
        g->fadeInEnabled = s.FadeIn;
        g->fadeOutEnabled = s.FadeOut;
        g->fadeInMs = s.FadeInms;
        g->fadeOutMs = s.FadeOutms;
    }
    active_ = s.SignalType == 1   ? static_cast<Kedra::PAudioII::PCMGenerator*>(&chirp_)
              : s.SignalType == 2 ? static_cast<Kedra::PAudioII::PCMGenerator*>(&noise_)
                                  : static_cast<Kedra::PAudioII::PCMGenerator*>(&sweep_);
    m_ = std::clamp(s.SignalLength, 8, 24);
    spectrum_ = Mem::Array<std::complex<double>>(static_cast<std::size_t>(Length() / 2 + 1));

    if (options.Analysis.MicCalibration != mic_.IsActive())
        SetMicCalibration(options.Analysis.MicCalibration);
    if (options.Analysis.DacAdcCalibration != dacAdc_.IsActive())
        SetDacAdcCalibration(options.Analysis.DacAdcCalibration);
}

int AudioHelper::SignalCode() const {
    if (active_ == &sweep_)
        return 1;
    if (active_ == &chirp_)
        return 2;
    if (active_ == &noise_)
        return 3;
    return 0;
}

void AudioHelper::RenderSignal(std::vector<float>& out) {
    const int n = Length();
    active_->length = n;
    active_->Reset();
    active_->HasChanged();
    out.assign(static_cast<std::size_t>(n), 0.0f);
    for (int i = 0; i < n; ++i) {
        bool first = false;
        active_->NextSample(&out[static_cast<std::size_t>(i)], &first);
    }
    active_->Reset();
}

bool AudioHelper::PerformMeasurement(Measurement& measurement, const std::string& name) {
    const Conf::OptionsField& o = Conf::Options::Field;
    if (!ApplyDevices(o))
        return false;
    StreamInitializer* stream = StreamInitializer::Get();
    const int fs = stream->GetSamplerate();
    stream->SetOutVolume(o.Dev.OutputPCMAmplitude);
    // A measurement that plays on no channel can only fail: play on the left one instead.
    int mask = o.Dev.OutputChMask;
    if (mask <= 0) {
        frontEnd_.ReportProgress("No output channel chosen: playing on Left");
        mask = 1;
    }
    stream->SetOutChMask(mask);
    const std::string outputs = OutputChannelNames(mask);
    moreInputs_.clear();
    lastInputs_ = MeasuredInputs(o.Dev);
    const int inputChannel = lastInputs_.front();
    // Several inputs or a reference: one run records them all; the rest as it always was.
    const bool several = !o.Dev.InputChannels.empty() || o.Dev.ReferenceInput >= 0;
    if (const std::string why =
            several ? CheckInputs(lastInputs_, o.Dev.ReferenceInput, stream->GetInChannels())
                    : std::string();
        !why.empty()) {
        frontEnd_.ShowMessage(MessageKind::Error, "Sonvel Warning",
                              "Measuring " + name + " failed.\n" + why);
        return false;
    }
    std::string input = InputChannelName(inputChannel);
    if (several) {
        // Past the fourth the channel names run out; inputs are counted as the user does.
        input.clear();
        for (int in : lastInputs_)
            input += (input.empty() ? "" : ", ") + std::to_string(in + 1);
        if (o.Dev.ReferenceInput >= 0)
            input += " - Reference: " + std::to_string(o.Dev.ReferenceInput + 1);
    }
    ProgressScope progress(frontEnd_, name + " - Out: " + outputs + " - In: " + input);
    reporting = &frontEnd_;
    reportingRun = response_.get();

    DebugWaveResponse& r = *response_;
    double delayMs = o.Dev.DelayMS;
    if (!(delayMs >= 0.0 && delayMs <= MAX_DELAY_MS)) {
        delayMs = std::isnan(delayMs) ? 1500.0 : std::clamp(delayMs, 0.0, MAX_DELAY_MS);
        frontEnd_.ShowMessage(MessageKind::Warning, "Sonvel Warning",
                              "The longest recording delay (Dev.DelayMS) must lie between 0 and " +
                                  Kedra::Text::FormatFixed(MAX_DELAY_MS, 0) + " ms; " +
                                  Kedra::Text::FormatFixed(delayMs, 0) + " ms is used");
    }
    r.tailSamples = static_cast<int>(delayMs) * (fs / 1000);
    r.enabled = o.Misc.SaveMeasureWaves;
    r.outputPath = o.Misc.SaveMeasureOutput;
    r.recordingPath = o.Misc.SaveMeasureRec;
    r.correlationPath = o.Misc.SaveMeasureCorr;
    r.format = Kedra::WaveImExport::NumberToWaveFormat(o.Misc.WaveFormat);
    r.sampleRate = fs;
    stream->SetInInverted(o.Dev.InputInvert);
    r.normalizeRecording = o.Analysis.NormalizeTo0dB;
    r.timeZeroMethod =
        static_cast<Kedra::Analyze::TZM>(std::clamp(o.Analysis.TimeZeroMethod, 0, 4));
    r.subSampleAlign = o.Analysis.TimeZeroInterpolate;
    r.lockTimeOffset = lockTimeZero_;
    r.lockedTimeOffset = lockedTimeZero_;
    r.extendToNyquist = o.Analysis.ExtendToNyquist;
    r.maxFrequency = o.Analysis.ExtendToNyquistFreq;
    if (o.Dev.KeepStreamActive && stream->GetStatus() != Kedra::PAudioII::STREAM_RUNNING) {
        // A stream that is already running is not stopped by the run.
        stream->SetOutputEnabled(false);
        stream->Start();
    }

    const bool filtered = o.Filter.HighpassEnabled || o.Filter.LowpassEnabled;
    if (filtered) {
        if (r.GetNofFilterTaps() != o.Filter.NofTaps)
            r.SetNofFilterTaps(o.Filter.NofTaps);
        if (o.Filter.HighpassEnabled)
            r.SetFilterHighpass(o.Filter.HighpassFreq);
        else
            r.DisableFilterHighpass();
        if (o.Filter.LowpassEnabled)
            r.SetFilterLowpass(o.Filter.LowpassFreq);
        else
            r.DisableFilterLowpass();
    }
    std::vector<int> channels = lastInputs_;
    if (o.Dev.ReferenceInput >= 0)
        channels.push_back(o.Dev.ReferenceInput);
    std::vector<Mem::Array<std::complex<double>>> spectra;
    std::vector<std::complex<double>*> outs;
    for (std::size_t i = 0; i < channels.size(); ++i) {
        if (i == 0) {
            outs.push_back(spectrum_.data());
        } else if (i < lastInputs_.size()) {
            spectra.emplace_back(static_cast<std::size_t>(Length() / 2 + 1));
            outs.push_back(spectra.back().data());
        } else {
            outs.push_back(nullptr);
        }
    }
    r.referenceInput = o.Dev.ReferenceInput;
    // An input with a calibration of its own uses it where the common microphone one would be.
    std::vector<Kedra::Measure::Calibrator> ownMic(several ? lastInputs_.size() : 0);
    r.inputCalibrators.assign(ownMic.size(), {});
    const std::vector<const Kedra::Measure::Calibrator*> common = r.Settings().calibrators;
    for (std::size_t i = 0; i < ownMic.size(); ++i) {
        std::error_code ec;
        const std::string file = Conf::FilePath(MicCalibrationFileFor(lastInputs_[i]));
        if (!mic_.IsActive() || !std::filesystem::exists(file, ec) || !ownMic[i].Open(file))
            continue;
        ownMic[i].SetActive(true);
        for (const Kedra::Measure::Calibrator* c : common)
            r.inputCalibrators[i].push_back(c == &mic_ ? &ownMic[i] : c);
    }
    bool ok;
    if (several)
        ok = r.MeasureInputs(m_, channels, outs, active_, filtered);
    else if (!filtered)
        ok = r.Measure(m_, spectrum_.data(), inputChannel, active_);
    else
        ok = r.MeasureFiltered(m_, spectrum_.data(), inputChannel, active_);
    reporting = nullptr;
    reportingRun = nullptr;
    r.inputCalibrators.clear();
    if (!ok) {
        // Said once, here; a cancel the user asked for needs no answer.
        if (!r.aborted)
            frontEnd_.ShowMessage(MessageKind::Error, "Sonvel Warning",
                                  "Measuring " + name + " failed.\n" + r.failure);
        return false;
    }
    if (!several) {
        Finish(measurement, spectrum_.data(), m_, filtered, fs, r.inputResults.front());
        // Only a live measurement knows the input it came through.
        AttachSpl(measurement, inputChannel, mic_);
        return true;
    }
    for (std::size_t i = 0; i < lastInputs_.size(); ++i) {
        std::unique_ptr<Measurement> more;
        if (i > 0) {
            more =
                std::make_unique<Measurement>(InputLabel(measurement.GetLabel(), lastInputs_[i]));
            more->CopyAllFrom(measurement);
        }
        Measurement& m = i == 0 ? measurement : *more;
        const std::string which = "Input " + std::to_string(lastInputs_[i] + 1);
        frontEnd_.ReportProgress(which);
        Finish(m, i == 0 ? spectrum_.data() : outs[i], m_, filtered, fs, r.inputResults[i]);
        if (o.Dev.ReferenceInput >= 0) {
            // Both arrivals as the locator found them, so that they share its precision.
            const double system = r.inputResults.back().locatedOffset;
            const double acoustic = r.inputResults[i].locatedOffset - system;
            m.SetDelays(system, acoustic);
            frontEnd_.ReportProgress(which + ": System delay " +
                                     Kedra::Text::FormatFixed(system * 1000.0 / fs, 3) +
                                     " ms, Acoustic delay " +
                                     Kedra::Text::FormatFixed(acoustic * 1000.0 / fs, 3) + " ms");
        }
        AttachSpl(m, lastInputs_[i], ownMic[i].IsActive() ? ownMic[i] : mic_);
        if (more)
            moreInputs_.emplace_back(lastInputs_[i], std::move(more));
    }
    return true;
}

bool AudioHelper::AnalyzeRecording(Measurement& measurement, const float* recording, int count,
                                   int sampleRate, const float* reference, int referenceCount) {
    std::vector<float> rendered;
    if (reference == nullptr) {
        RenderSignal(rendered);
        reference = rendered.data();
        referenceCount = static_cast<int>(rendered.size());
    }
    // Every refusal below is said once, here.
    const auto refuse = [this](const std::string& why) {
        frontEnd_.ShowMessage(MessageKind::Error, "Sonvel Warning", why);
        return false;
    };
    if (recording == nullptr || count < 1 || sampleRate <= 0)
        return refuse("The recording holds no samples");
    if (referenceCount < 2)
        return refuse("The played signal holds fewer than two samples");
    if (referenceCount > Measurement::MAX_DATA_LENGTH)
        return refuse("The played signal is longer than " +
                      std::to_string(Measurement::MAX_DATA_LENGTH) +
                      " samples, more than a measurement can hold");
    // The played signal sets N; a reference that is no power of two is padded with silence.
    int n = 2;
    while (n < referenceCount)
        n *= 2;
    std::vector<float> played(static_cast<std::size_t>(n), 0.0f);
    std::copy(reference, reference + std::min(referenceCount, n), played.begin());
    // The answer lies within the longest recording delay after the signal; a longer recording
    // adds only memory.
    const int tail = static_cast<int>(
        std::min<double>(std::max(count - n, 0), MAX_DELAY_MS / 1000.0 * sampleRate));
    const int c = Kedra::Measure::TransformLength(n, tail);
    if (c == 0)
        return refuse("The played signal and the recording are too long to analyse together");
    std::vector<float> frame(static_cast<std::size_t>(c), 0.0f);
    std::copy(recording, recording + std::min(count, c), frame.begin());
    Kedra::Measure::ReferenceInverse inverse;
    if (!inverse.Build(played.data(), n, c))
        return refuse("The played signal could not be inverted (see the log file)");
    Kedra::Measure::ResponseSettings settings = response_->Settings();
    settings.sampleRate = sampleRate;
    // Its own length and spectrum: the measuring ones stay as the options set them.
    Mem::Array<std::complex<double>> spectrum(static_cast<std::size_t>(n / 2 + 1));
    int exponent = 1;
    while ((1 << exponent) < n)
        ++exponent;
    Kedra::Measure::ResponseResult result;
    if (!Kedra::Measure::AnalyzeRecording(
            frame.data(), inverse, settings, spectrum.data(), result,
            [this](const std::string& t) { frontEnd_.StepProgress(t, -1.0); }))
        return refuse("The recording could not be analysed (see the log file)");
    response_->recordedPeak = result.recordedPeak;
    response_->appliedGain = result.appliedGain;
    response_->timeOffset = result.timeOffset;
    response_->inverted = result.inverted;
    Finish(measurement, spectrum.data(), exponent, false, sampleRate, result);
    return true;
}

void AudioHelper::Finish(Measurement& measurement, const std::complex<double>* spectrum,
                         int lengthExponent, bool filtered, int fs,
                         const Kedra::Measure::ResponseResult& result) {
    const Conf::OptionsField& o = Conf::Options::Field;
    StreamInitializer* stream = StreamInitializer::Get();
    Kedra::Measure::Response& r = *response_;
    const int code = SignalCode();
    const double timeConstant = code == 1 ? sweep_.GetHDTimeConstant() : 0.0;
    frontEnd_.ReportProgress("Initializing measurement data");
    const int half = (1 << lengthExponent) / 2;
    const int analysis = std::min((1 << std::clamp(o.Analysis.MAnalysis, 1, 30)) / 2, half);
    measurement.InitializeFreq(spectrum, half, fs, analysis, code, timeConstant, 0.0, true);
    frontEnd_.ReportProgress("Validating measurement");
    r.PostInitializeMeasurement(measurement, result);
    measurement.ClearDelays();

    int start;
    if (filtered)
        start = -(r.GetNofFilterTaps() / 2);
    else if (code == 1)
        start = Kedra::Math::ToIntRound(timeConstant * std::log(2.0) * fs) / -2;
    else
        start = -Kedra::Math::ToIntRound(0.1 * fs);
    measurement.PostMeasureStandard(start, 10, Kedra::Math::ToIntRound(fs), 1,
                                    o.Analysis.TimeWindowAutoApply);

    if ((code == 1 || code == 2) && o.Analysis.HighpassResult) {
        const double f1 = code == 1 ? sweep_.startFrequency : chirp_.startFrequency;
        measurement.ApplyHighpass(static_cast<int>(f1 * 1.5), static_cast<int>(f1));
    }

    if (o.Analysis.NormalizeTo0dB) {
        auto& sf = r.SignalFilter();
        double low = 20.0;
        double high = fs / 2.0;
        if (o.Filter.HighpassEnabled)
            low = sf.Highpass().GetFreqCenter() + sf.Highpass().GetFreqBand();
        if (o.Filter.LowpassEnabled)
            high = sf.Lowpass().GetFreqCenter() - sf.Lowpass().GetFreqBand();
        frontEnd_.ReportProgress("Finding appropriate normalizing");
        NormalizeMeasurement(measurement, low, high);
    }

    measurement.SetRecChannels(stream->GetOutChMask());
    measurement.PostInitSetDateNow();
    measurement.SetApplicationInfo("Sonvel " + Conf::Options::ProgramVersion());
    lastOffset_ = result.timeOffset;
    frontEnd_.ReportProgress(
        "Time offset: " + Kedra::Text::FormatFixed(result.timeOffset * 1000.0 / fs, 0) + " ms (" +
        Kedra::Text::FormatFixed(result.timeOffset, 3) + " samples)");
    ValidateMeasAmp(measurement);
}

bool AudioHelper::ValidateMeasAmp(Measurement& measurement) {
    lastVerdict_ = JudgeAmplitude(measurement.GetRecMaxAmplitude());
    if (!lastVerdict_.message.empty())
        frontEnd_.ShowMessage(lastVerdict_.accepted ? MessageKind::Warning : MessageKind::Error,
                              "Sonvel Warning", lastVerdict_.message);
    frontEnd_.AmplitudeJudged(lastVerdict_);
    return lastVerdict_.accepted;
}

namespace {

bool ImportCalibration(FrontEnd& fe, Kedra::Measure::Calibrator& cal, const std::string& path,
                       const char* fileName, const std::string& what, bool activate) {
    // The program's words, then why on a line of their own.
    const auto refuse = [&](const std::string& why) {
        fe.ShowMessage(MessageKind::Warning, "Sonvel Warning",
                       what + " calibration could not be imported!" +
                           (why.empty() ? "" : "\n" + why));
        return false;
    };
    Kedra::Measure::Calibrator incoming;
    if (!incoming.Open(path))
        return refuse(incoming.LastError());
    if (!incoming.Save(Conf::FilePath(fileName)))
        return refuse("its copy could not be written to " + Conf::FilePath(fileName));
    // The saved copy is what is used from now on.
    if (!cal.Open(Conf::FilePath(fileName)))
        return refuse(cal.LastError());
    std::string text = what + " calibration successfully imported\n";
    if (activate) {
        cal.SetActive(true);
        if (cal.IsActive())
            text += "(The calibration is actived)";
    }
    fe.ShowMessage(MessageKind::Information, "Information", text);
    return true;
}

bool SwitchCalibration(Kedra::Measure::Calibrator& cal, const char* fileName, bool on) {
    if (!on) {
        cal.SetActive(false);
        return true;
    }
    if (!cal.Open(Conf::FilePath(fileName)))
        return false;
    cal.SetActive(true);
    return cal.IsActive();
}

} // namespace

bool AudioHelper::ImportMicCalibration(const std::string& path) {
    const bool ok = ImportCalibration(frontEnd_, mic_, path, CAL_MIC_FILENAME, "Microphone", true);
    if (ok)
        Conf::Options::Field.Analysis.MicCalibration = true;
    NotifyCalibration();
    return ok;
}

bool AudioHelper::ImportMicCalibration(const std::string& path, int input) {
    if (input < 0 || input >= 31) {
        frontEnd_.ShowMessage(MessageKind::Warning, "Sonvel Warning",
                              "There is no input " + std::to_string(input + 1) +
                                  " to calibrate a microphone for");
        return false;
    }
    Kedra::Measure::Calibrator own;
    const std::string name = MicCalibrationFileFor(input);
    return ImportCalibration(frontEnd_, own, path, name.c_str(),
                             "Input " + std::to_string(input + 1) + " microphone", false);
}

bool AudioHelper::ImportDacAdcCalibration(const std::string& path) {
    const bool ok =
        ImportCalibration(frontEnd_, dacAdc_, path, CAL_DACADC_FILENAME, "DAC-ADC", false);
    NotifyCalibration();
    return ok;
}

bool AudioHelper::SetMicCalibration(bool on) {
    const bool ok = SwitchCalibration(mic_, CAL_MIC_FILENAME, on);
    Conf::Options::Field.Analysis.MicCalibration = mic_.IsActive();
    NotifyCalibration();
    return ok;
}

bool AudioHelper::SetDacAdcCalibration(bool on) {
    const bool ok = SwitchCalibration(dacAdc_, CAL_DACADC_FILENAME, on);
    Conf::Options::Field.Analysis.DacAdcCalibration = dacAdc_.IsActive();
    NotifyCalibration();
    return ok;
}

void AudioHelper::NotifyCalibration() {
    std::error_code ec;
    const bool micFile = std::filesystem::exists(Conf::FilePath(CAL_MIC_FILENAME), ec);
    const bool dacAdcFile = std::filesystem::exists(Conf::FilePath(CAL_DACADC_FILENAME), ec);
    frontEnd_.CalibrationChanged(mic_.IsActive(), dacAdc_.IsActive(), micFile, dacAdcFile);
}

} // namespace Kedra::Sonvel
