#include "app/SplReference.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <complex>
#include <ctime>
#include <random>
#include <thread>

#include "app/AudioHelper.h"
#include "app/Options.h"
#include "audio/DeliveryWatch.h"
#include "audio/Devices.h"
#include "audio/Pcm.h"
#include "audio/SineTone.h"
#include "audio/StreamInBuffer.h"
#include "audio/StreamInitializer.h"
#include "exchange/TextFile.h"
#include "foundation/Fft.h"
#include "foundation/KedraLogger.h"
#include "measure/Measurement.h"

namespace Kedra::Sonvel {

using Kedra::Logging::KedraLogger;
using Kedra::PAudioII::StreamInitializer;
using Kedra::Text::FormatFixed;

namespace {

const char* SOURCE_NAMES[] = {"calibrator", "tone", "noise"};

// Tabs and line ends would split a stored line.
std::string OneField(std::string text) {
    for (char& c : text)
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    return text;
}

bool ParseNumber(std::string_view text, double& out) {
    double v = 0.0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v))
        return false;
    out = v;
    return true;
}

std::string NumberText(double v) {
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof(buffer), v);
    return std::string(buffer, r.ptr);
}

std::string Now() {
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M", &local);
    return text;
}

// A recorder that only collects.
class Collector : public Kedra::PAudioII::StreamInBuffer {
public:
    using StreamInBuffer::StreamInBuffer;
    void OnFull() override {}
};

// Pink noise in the octave around 1 kHz, periodic in 2^16 samples (so every whole period holds
// the same power), with its peak at full scale; the stream's volume sets the amplitude.
std::vector<float> OctaveNoise(int sampleRate, int length) {
    constexpr int period = 1 << 16;
    std::vector<std::complex<double>> bins(period / 2 + 1);
    std::mt19937 random(1);
    std::uniform_real_distribution<double> phase(0.0, 2.0 * 3.14159265358979323846);
    for (std::size_t k = 1; k + 1 < bins.size(); ++k) {
        const double f = static_cast<double>(k) * sampleRate / period;
        const double p = phase(random);
        if (f >= SPL_NOISE_LOW_HZ && f <= SPL_NOISE_HIGH_HZ)
            bins[k] = std::polar(1.0 / std::sqrt(f), p);
    }
    std::vector<double> one(period);
    // Scaling does not matter: the period is brought to a peak of 1 below.
    Kedra::Math::FFTPow2FreqToTime(bins.data(), one.data(), period, false, true);
    double peak = 0.0;
    for (double v : one)
        peak = std::max(peak, std::fabs(v));
    std::vector<float> out(static_cast<std::size_t>(std::max(length, 0)));
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = peak > 0.0 ? static_cast<float>(one[i % period] / peak) : 0.0f;
    return out;
}

SplResult Refused(std::string why) {
    SplResult r;
    r.why = std::move(why);
    return r;
}

} // namespace

std::string SplSourceName(SplSource source) {
    return SOURCE_NAMES[static_cast<int>(source)];
}

std::string SplReference::Describe() const {
    std::string text = FormatFixed(levelDb, 2) + " dB SPL = " + FormatFixed(dbfs, 2) + " dBFS, " +
                       FormatFixed(frequency, 1) + " Hz, " + device + " ch " +
                       std::to_string(channel + 1) + ", " + date;
    if (source == SplSource::Tone)
        text += ", own tone read by a meter";
    else if (source == SplSource::Noise)
        text += ", own pink noise (707 Hz - 1.4 kHz) read by a meter";
    return text;
}

std::vector<SplReference> ParseSplReferences(std::string_view text) {
    std::vector<SplReference> out;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.find_first_not_of(" \t") == std::string_view::npos)
            continue;
        std::vector<std::string_view> fields;
        for (std::string_view rest = line;;) {
            const auto tab = rest.find('\t');
            fields.push_back(rest.substr(0, tab));
            if (tab == std::string_view::npos)
                break;
            rest = rest.substr(tab + 1);
        }
        SplReference r;
        double channel = -1.0;
        bool ok = fields.size() == 7 && !fields[0].empty() && ParseNumber(fields[1], channel) &&
                  channel >= 0.0 && channel < 32.0 && channel == std::floor(channel) &&
                  ParseNumber(fields[2], r.levelDb) && ParseNumber(fields[3], r.dbfs) &&
                  ParseNumber(fields[4], r.frequency) && r.frequency > 0.0;
        if (ok) {
            r.device = std::string(fields[0]);
            r.channel = static_cast<int>(channel);
            r.date = std::string(fields[5]);
            ok = false;
            for (int s = 0; s < 3; ++s)
                if (fields[6] == SOURCE_NAMES[s]) {
                    r.source = static_cast<SplSource>(s);
                    ok = true;
                }
        }
        if (ok)
            out.push_back(r);
        else
            KedraLogger::LogText("WARNING SplReference - an SPL reference of the options cannot "
                                 "be read and is left out: \"" +
                                 std::string(line.substr(0, 200)) + "\"\n");
    }
    return out;
}

std::string FormatSplReferences(const std::vector<SplReference>& references) {
    std::string text;
    for (const SplReference& r : references)
        text += OneField(r.device) + "\t" + std::to_string(r.channel) + "\t" +
                NumberText(r.levelDb) + "\t" + NumberText(r.dbfs) + "\t" + NumberText(r.frequency) +
                "\t" + OneField(r.date) + "\t" + SplSourceName(r.source) + "\n";
    return text;
}

std::optional<SplReference> FindSplReference(const std::string& device, int channel) {
    for (const SplReference& r : ParseSplReferences(Conf::Options::Field.Spl.References))
        if (r.device == OneField(device) && r.channel == channel)
            return r;
    return std::nullopt;
}

void StoreSplReference(const SplReference& reference) {
    std::vector<SplReference> all = ParseSplReferences(Conf::Options::Field.Spl.References);
    std::erase_if(all, [&](const SplReference& r) {
        return r.device == OneField(reference.device) && r.channel == reference.channel;
    });
    all.push_back(reference);
    Conf::Options::Field.Spl.References = FormatSplReferences(all);
}

bool ClearSplReference(const std::string& device, int channel) {
    std::vector<SplReference> all = ParseSplReferences(Conf::Options::Field.Spl.References);
    const auto removed = std::erase_if(all, [&](const SplReference& r) {
        return r.device == OneField(device) && r.channel == channel;
    });
    Conf::Options::Field.Spl.References = FormatSplReferences(all);
    return removed > 0;
}

std::string CurrentInputDevice() {
    return Kedra::PAudioII::GetDeviceName(StreamInitializer::Get()->GetInDevice(), true);
}

SplResult TakeSplReference(AudioHelper& audio, const SplRequest& q) {
    if (!(q.levelDb > 0.0 && q.levelDb <= 200.0))
        return Refused("The level must lie above 0 and at most 200 dB SPL");
    if (!(q.frequency >= 20.0 && q.frequency <= 20000.0))
        return Refused("The frequency must lie between 20 Hz and 20 kHz");
    if (!(q.seconds >= 1.0 && q.seconds <= 60.0))
        return Refused("The recording must last between 1 and 60 s");
    const Conf::OptionsField& o = Conf::Options::Field;
    // The devices' absence has been told by ApplyDevices.
    if (!audio.ApplyDevices(o))
        return Refused("The input device of the options is not there");
    StreamInitializer* stream = StreamInitializer::Get();
    const int fs = stream->GetSamplerate();
    const int channel = o.Dev.InputChannel;
    const std::string device = CurrentInputDevice();
    if (channel < 0 || channel >= std::min(stream->GetInChannels(), 31))
        return Refused("The input device " + device + " has no input " +
                       std::to_string(channel + 1));

    const int settle = static_cast<int>(std::lround(SPL_SETTLE_SECONDS * fs));
    const int wanted = settle + static_cast<int>(std::lround(q.seconds * fs));
    Collector recorder(wanted, false, false);
    recorder.SetChannelMask(1 << channel);

    // Nothing plays for a calibrator; the own tone or noise plays as a measurement would.
    Kedra::PAudioII::SineTone tone;
    Kedra::PAudioII::Pcm noise;
    std::vector<float> noiseSamples;
    Kedra::PAudioII::PCMGenerator* generator = nullptr;
    if (q.source == SplSource::Tone) {
        tone.frequency = q.frequency;
        tone.Reset();
        generator = &tone;
    } else if (q.source == SplSource::Noise) {
        // Longer than the recording, so that it never runs out while recording.
        noiseSamples = OctaveNoise(fs, wanted + 2 * fs);
        noise.SetData(noiseSamples.data(), static_cast<std::int32_t>(noiseSamples.size()));
        noise.length = static_cast<std::int64_t>(noiseSamples.size());
        noise.Reset();
        generator = &noise;
    }
    stream->SetOutputEnabled(false);
    if (generator != nullptr) {
        stream->SetOutVolume(o.Dev.OutputPCMAmplitude);
        stream->SetOutChMask(o.Dev.OutputChMask > 0 ? o.Dev.OutputChMask : 1);
        stream->SetGenerator(generator);
        // A measurement that ended mid-ramp leaves its ramp pending; it would fade the sound.
        stream->SetRampDown(false);
        stream->SetRampUp(false);
        stream->SetOutputEnabled(true);
    }
    const bool started = stream->GetStatus() != Kedra::PAudioII::STREAM_RUNNING;
    if (started)
        stream->Start();
    auto release = [&] {
        stream->RemoveInputBuffer(&recorder);
        if (generator != nullptr) {
            stream->SetOutputEnabled(false);
            stream->SetGenerator(nullptr);
        }
        if (started)
            stream->Stop();
    };
    if (stream->GetStatus() != Kedra::PAudioII::STREAM_RUNNING) {
        const std::string error = stream->GetPaErrorText();
        release();
        return Refused("The audio stream did not start: " + error);
    }
    stream->AddInputBuffer(&recorder);

    // As a measurement: the time-out counts delivered frames, so a slow card still completes,
    // and a card that stops delivering fails in real time after its last frame.
    Kedra::PAudioII::DeliveryWatch watch(
        stream, static_cast<std::uint64_t>(std::ceil(1.2 * wanted)),
        std::chrono::milliseconds(static_cast<long long>(1200.0 * wanted / fs)));
    bool timedOut = false;
    bool cancelled = false;
    while (recorder.Available() < wanted) {
        if (q.cancel != nullptr && q.cancel->load(std::memory_order_acquire)) {
            cancelled = true;
            break;
        }
        if (watch.Expired()) {
            timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    release();
    if (cancelled)
        return Refused("Cancelled");
    const int received = recorder.Available();
    if (timedOut) {
        const std::string where = "input " + std::to_string(channel + 1) + " of " + device;
        return Refused(received <= settle
                           ? "No signal arrived on " + where
                           : "The recording on " + where + " stopped after " +
                                 FormatFixed(static_cast<double>(received) / fs, 1) + " s");
    }
    int count = 0;
    const float* samples = recorder.TakeBlock(&count);

    SplResult result;
    std::string why;
    if (!Kedra::Analyze::ReadTone(samples + settle, count - settle, fs, result.reading, why))
        return Refused(why);
    const Kedra::Analyze::ToneReading& reading = result.reading;
    if (q.source == SplSource::Noise) {
        // Its frequency and steadiness are those of the noise we play; only its presence and
        // clipping are judged.
        if (reading.dbfs < Kedra::Analyze::TONE_MIN_DBFS)
            why = "The pink noise did not arrive at the input (its level is below " +
                  FormatFixed(Kedra::Analyze::TONE_MIN_DBFS, 0) +
                  " dBFS): check the loudspeaker, the microphone and the output amplitude";
        else if (reading.peak >= Kedra::Analyze::TONE_CLIP_AMPLITUDE)
            why = "The input clips: lower the input gain or the output amplitude and try again";
    } else {
        why = Kedra::Analyze::JudgeTone(reading, q.frequency);
    }
    result.reference.device = device;
    result.reference.channel = channel;
    result.reference.levelDb = q.levelDb;
    result.reference.dbfs = reading.dbfs;
    result.reference.frequency = q.source == SplSource::Noise ? 1000.0 : reading.frequency;
    result.reference.date = Now();
    result.reference.source = q.source;
    result.why = why;
    result.ok = why.empty();
    KedraLogger::LogText(std::string(result.ok ? "INFO    " : "WARNING ") + "SplReference - " +
                         result.reference.Describe() + " (fluctuation " +
                         FormatFixed(reading.fluctuationDb, 3) + " dB, peak " +
                         FormatFixed(reading.peak, 4) + ")" + (result.ok ? "" : ": " + why) + "\n");
    return result;
}

void AttachSpl(Kedra::Measure::Measurement& m, AudioHelper& audio) {
    AttachSpl(m, Conf::Options::Field.Dev.InputChannel, audio.MicCalibrator());
}

void AttachSpl(Kedra::Measure::Measurement& m, int channel, const Kedra::Measure::Calibrator& mic) {
    m.ClearSpl();
    const std::optional<SplReference> ref = FindSplReference(CurrentInputDevice(), channel);
    if (!ref)
        return;
    // The record's level holds the normalising gains (its amplitude) and, where the microphone
    // calibration is on, its correction, which at the reference's frequency must read as the
    // calibrator did.
    double offset = ref->Offset();
    if (m.GetAmplitude() > 0.0)
        offset -= 20.0 * std::log10(m.GetAmplitude());
    const double correction = std::abs(mic.GetCorrection(ref->frequency));
    if (correction > 0.0)
        offset -= 20.0 * std::log10(correction);
    m.SetSpl(offset, ref->Describe());
}

} // namespace Kedra::Sonvel
