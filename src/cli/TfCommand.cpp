#include "cli/TfCommand.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "app/AudioHelper.h"
#include "app/MainCtrl.h"
#include "app/Options.h"
#include "audio/StreamInitializer.h"
#include "cli/Interrupt.h"
#include "cli/Refusal.h"
#include "exchange/TextFile.h"
#include "exchange/WaveFile.h"
#include "foundation/Mem.h"
#include "live/DelayFinder.h"
#include "live/LiveInput.h"
#include "live/TfSession.h"
#include "live/TransferFunction.h"

namespace Kedra::Sonvel {

namespace {

using Kedra::Live::TfPoint;
using Kedra::Live::TfResolution;
using Kedra::Live::TfSettings;
using Kedra::Live::TransferFunction;
using Kedra::Text::FormatFixed;

constexpr int CHUNK = 1 << 16;
constexpr double DEFAULT_LIVE_SECONDS = 15.0;
// A live run searches the delay over this much, then measures with it.
constexpr double LIVE_FINDER_SECONDS = Kedra::Live::TfSession::FINDER_SECONDS;

// What a source hands to the report.
struct Measured {
    double fs = 0.0;
    double seconds = 0.0; // of signal through the transfer function
    std::string delayText;
    std::string label; // what was measured against what
};

struct Track {
    std::vector<float> samples;
    Kedra::WaveImExport::WaveInfo info;
};

// Channel `channel` (0 or 1) of a file; false and why not.
bool ReadTrack(const std::string& path, int channel, Track& track, std::string& why) {
    float* raw = nullptr;
    const int frames = Kedra::WaveImExport::ArrayWaveImport(path, track.info, raw, &why, channel);
    if (frames <= 0) {
        why = "cannot read " + path + ": " + why;
        return false;
    }
    track.samples.assign(raw, raw + frames);
    Mem::FreeArray(raw);
    return true;
}

std::string Stem(const std::string& path) {
    return std::filesystem::path(path).stem().string();
}

std::string Seconds(double s) {
    return FormatFixed(s, 1) + " s";
}

std::string PrintDelay(const Kedra::Live::DelayResult& delay) {
    const std::string text = FormatFixed(delay.milliseconds, 3) + " ms";
    std::printf("Delay: %s (%s samples)\n", text.c_str(), FormatFixed(delay.samples, 2).c_str());
    std::fflush(stdout);
    return text;
}

// The files through the transfer function; 0, or the exit status after saying why.
int FromFiles(const TfCommandArguments& a, const TfSettings& settings,
              std::unique_ptr<TransferFunction>& tf, Measured& m) {
    Track ref, meas;
    std::string why;
    if (a.files.size() == 2) {
        if (!ReadTrack(a.files[0], 0, ref, why) || !ReadTrack(a.files[1], 0, meas, why))
            return Refuse(1, why);
        for (const auto* t : {&ref, &meas})
            if (t->info.channels != 1)
                return Refuse(1, a.files[t == &ref ? 0 : 1] +
                                     " has two channels: give two one-channel files, or one "
                                     "two-channel file alone");
        if (ref.info.samplerate != meas.info.samplerate)
            return Refuse(1, a.files[0] + " runs at " + std::to_string(ref.info.samplerate) +
                                 " Hz and " + a.files[1] + " at " +
                                 std::to_string(meas.info.samplerate) +
                                 " Hz: the two need one sample rate");
    } else {
        if (!ReadTrack(a.files[0], 0, ref, why))
            return Refuse(1, why);
        if (ref.info.channels != 2)
            return Refuse(1, a.files[0] +
                                 " has one channel: give the reference and the measurement as "
                                 "two files, or one file with the reference on channel 1 and the "
                                 "measurement on channel 2");
        if (!ReadTrack(a.files[0], 1, meas, why))
            return Refuse(1, why);
    }
    const double fs = ref.info.samplerate;
    m.fs = fs;
    if (const std::string bad = Kedra::Live::CheckTfSettings(settings, fs); !bad.empty())
        return Refuse(1, a.files[0] + ": " + bad);
    const std::size_t length = std::min(ref.samples.size(), meas.samples.size());
    if (a.files.size() == 2 && ref.samples.size() != meas.samples.size())
        std::printf("Note: %s is the longer; its first %s are used\n",
                    a.files[ref.samples.size() > meas.samples.size() ? 0 : 1].c_str(),
                    Seconds(static_cast<double>(length) / fs).c_str());

    Kedra::Live::DelayFinder finder(fs);
    finder.Process(ref.samples.data(), meas.samples.data(), static_cast<int>(length));
    const Kedra::Live::DelayResult delay = finder.Find();
    if (!delay.found)
        return Refuse(1, "no delay found: " + delay.why);
    m.delayText = PrintDelay(delay);
    tf = std::make_unique<TransferFunction>(fs, settings);
    tf->SetDelay(delay.samples);
    for (std::size_t i = 0; i < length; i += CHUNK)
        tf->Process(ref.samples.data() + i, meas.samples.data() + i,
                    static_cast<int>(std::min<std::size_t>(CHUNK, length - i)));
    m.seconds = static_cast<double>(length) / fs;
    m.label = a.files.size() == 2 ? Stem(a.files[1]) + " vs " + Stem(a.files[0])
                                  : Stem(a.files[0]) + " ch 2 vs ch 1";
    return 0;
}

// Two inputs through the transfer function: the delay searched over the first seconds, the
// rest measured with it. The simulated card plays its pink noise meanwhile.
int FromInputs(MainCtrl& ctrl, const TfCommandArguments& a, const TfSettings& settings,
               const std::function<void()>& chooseDevices,
               std::unique_ptr<Kedra::Live::TfSession>& session, Measured& m) {
    if (!a.files.empty())
        return Refuse(2, "tf --live listens to two inputs; give it no files");
    if (!a.refInput || !a.input)
        return Refuse(2, "tf --live needs --ref-input N and --input M (inputs count from 1)");
    if (*a.refInput == *a.input)
        return Refuse(2, "--ref-input and --input must be two different inputs");
    const double seconds = a.seconds.value_or(DEFAULT_LIVE_SECONDS);
    if (!(seconds > LIVE_FINDER_SECONDS + 0.5) || !std::isfinite(seconds) || seconds > 86400.0)
        return Refuse(2, "--seconds must be more than 2.5 (the first 2 s find the delay) and at "
                         "most 86400 (a day)");
    chooseDevices();
    if (!ctrl.Audio().ApplyDevices(Conf::Options::Field))
        return Refuse(1, "the transfer function has no inputs to listen to");
    auto* stream = Kedra::PAudioII::StreamInitializer::Get();
    const int fs = stream->GetSamplerate();
    if (const std::string bad = Kedra::Live::CheckTfSettings(settings, fs); !bad.empty())
        return Refuse(1, "the input: " + bad + "; choose another sample rate in the options");
    m.fs = fs;

    // Endless, and one period in memory however long the run (as the window plays it).
    std::unique_ptr<Kedra::Live::PinkNoiseLoop> noise;
    if (!a.sim.empty()) {
        noise = std::make_unique<Kedra::Live::PinkNoiseLoop>(fs);
        const auto& o = Conf::Options::Field;
        stream->SetOutputEnabled(false);
        stream->SetOutVolume(o.Dev.OutputPCMAmplitude);
        stream->SetOutChMask(o.Dev.OutputChMask > 0 ? o.Dev.OutputChMask : 1);
        stream->SetGenerator(noise.get());
        stream->SetRampDown(false);
        stream->SetRampUp(false);
        stream->SetOutputEnabled(true);
    }
    // Searched once: a fall in coherence says nothing to a run that has no one to tell.
    session = std::make_unique<Kedra::Live::TfSession>(fs, settings);
    long long measured = 0;
    const InterruptScope interrupt;
    const Kedra::Live::LiveRun run = Kedra::Live::RunLivePair(
        stream, *a.refInput - 1, *a.input - 1, seconds,
        [&](const float* ref, const float* meas, int count) {
            const bool aligned = session->Aligned();
            session->Process(ref, meas, count);
            if (aligned)
                measured += count;
            else if (session->Aligned())
                m.delayText = PrintDelay(session->Delay());
        },
        InterruptScope::Flag());
    if (InterruptScope::Interrupted())
        std::printf("Stopped by Ctrl+C\n");
    if (!a.sim.empty()) {
        stream->SetOutputEnabled(false);
        stream->SetGenerator(nullptr);
    }
    if (!run.ok)
        return Refuse(1, run.why);
    if (run.dropped > 0)
        return Refuse(1, std::to_string(run.dropped) +
                             " samples were lost because the analysis fell behind; nothing was "
                             "written");
    if (!session->Aligned())
        return Refuse(1, "no delay found in " + Seconds(seconds) + ": " + session->Delay().why);
    m.seconds = static_cast<double>(measured) / fs;
    m.label = "input " + std::to_string(*a.input) + " vs input " + std::to_string(*a.refInput);
    return 0;
}

// The rows where the coherence is shown: the summary, the CSV, the slot.
int Report(MainCtrl& ctrl, const TfCommandArguments& a, const TfSettings& settings,
           const TransferFunction& tf, const Measured& m, int slot) {
    // Rows only where the coherence is shown, so that every row has all four columns.
    std::vector<TfPoint> rows;
    double shortBelow = 0.0;
    int shortSize = 0, silent = 0;
    long long fewest = -1, most = 0;
    for (const TfPoint& p : tf.Points()) {
        if (p.segments < Kedra::Live::TF_MIN_COHERENCE_SEGMENTS) {
            shortBelow = std::max(shortBelow, p.frequency);
            shortSize = std::max(shortSize, p.fftSize);
        } else if (std::isnan(p.coherence)) {
            ++silent;
        } else {
            rows.push_back(p);
            fewest = fewest < 0 ? p.segments : std::min(fewest, p.segments);
            most = std::max(most, p.segments);
        }
    }
    const double seconds = m.seconds;
    const double fs = m.fs;
    // Eight segments at the overlap: the first takes a whole length, each next one a hop.
    const auto needed = [&](int size) {
        return (size +
                (Kedra::Live::TF_MIN_COHERENCE_SEGMENTS - 1) * size * (1.0 - settings.overlap)) /
               fs;
    };
    if (rows.empty() && shortSize == 0)
        return Refuse(1, "the reference holds nothing at any frequency");
    if (rows.empty())
        return Refuse(1, Seconds(seconds) + " of signal give fewer than " +
                             std::to_string(Kedra::Live::TF_MIN_COHERENCE_SEGMENTS) +
                             " segments of " + std::to_string(shortSize) +
                             " samples: give at least " + Seconds(needed(shortSize)) +
                             (a.fft ? ", or a smaller --fft" : ", or --fft with fewer samples"));
    const std::vector<int> sizes = tf.FftSizes();
    std::string how = settings.resolution == TfResolution::Fixed
                          ? "FFT " + std::to_string(sizes.front()) + ", " +
                                FormatFixed(fs / sizes.front(), 3) + " Hz apart"
                          : "1/" + std::to_string(settings.bandsPerOctave) +
                                " octave from FFTs of " + std::to_string(sizes.front()) + " to " +
                                std::to_string(sizes.back()) + " samples";
    const std::string segments =
        std::to_string(fewest) + (most > fewest ? " to " + std::to_string(most) : "");
    std::printf("Transfer function: %zu points from %s to %s Hz (%s), %s segments\n", rows.size(),
                FormatFixed(rows.front().frequency, 3).c_str(),
                FormatFixed(rows.back().frequency, 1).c_str(), how.c_str(), segments.c_str());
    if (shortBelow > 0.0)
        std::printf("Note: up to %s Hz left out: %s give fewer than %d segments of %d samples "
                    "there (%s would do)\n",
                    FormatFixed(shortBelow, 1).c_str(), Seconds(seconds).c_str(),
                    Kedra::Live::TF_MIN_COHERENCE_SEGMENTS, shortSize,
                    Seconds(needed(shortSize)).c_str());
    if (silent > 0)
        std::printf("Note: %d points left out: the reference holds nothing there\n", silent);

    std::string text = "frequency_hz,magnitude_db,phase_deg,coherence\n";
    for (const TfPoint& p : rows)
        text += FormatFixed(p.frequency, 4) + "," + FormatFixed(Kedra::Live::MagnitudeDb(p.h), 3) +
                "," + FormatFixed(Kedra::Live::PhaseDeg(p.h), 2) + "," +
                FormatFixed(p.coherence, 4) + "\n";
    if (!a.csv.empty()) {
        std::string error;
        if (!Kedra::Text::WriteFileAtomically(a.csv, text, error))
            return Refuse(1, "could not write " + a.csv + ": " + error);
        std::printf("Wrote %zu rows to %s\n", rows.size(), a.csv.c_str());
    } else if (slot < 0) {
        std::fputs(text.c_str(), stdout);
    }
    if (slot >= 0) {
        const std::string label = "TF " + m.label + ", delay " + m.delayText;
        // The controller has said why.
        if (!ctrl.Action_StoreTransferFunction(slot, Kedra::Live::TfBins(rows, sizes.front(), fs),
                                               static_cast<int>(fs), label))
            return 1;
        std::printf("Stored in slot %d: %s\n", slot, label.c_str());
    }
    return 0;
}

} // namespace

CLI::App* AddTfCommand(CLI::App& app, TfCommandArguments& a) {
    auto* tf = app.add_subcommand(
        "tf", "Transfer function of a measurement against its reference over wave files or two "
              "inputs: the delay between them, then magnitude, phase (the delay removed) and "
              "coherence");
    tf->add_option("files", a.files,
                   "REF MEAS (two one-channel files), or BOTH (channel 1 the reference, channel 2 "
                   "the measurement)")
        ->expected(1, 2);
    auto* fft = tf->add_option("--fft", a.fft,
                               "One FFT of N samples (a power of two, 256 to 262144) for every "
                               "frequency");
    tf->add_option("--octave-resolution", a.octaveResolution,
                   "1/N octave or finer from 20 Hz by several FFT lengths: 3, 6, 12, 24 or 48 "
                   "(the default: 24)")
        ->excludes(fft);
    tf->add_option("--csv", a.csv,
                   "Write frequency_hz,magnitude_db,phase_deg,coherence to this file (else to "
                   "the screen, unless --into is given)");
    tf->add_option("--into", a.into,
                   "Store the result as a measurement in this slot (A, B, C "
                   "or a number)");
    auto* live =
        tf->add_flag("--live", a.live,
                     "Listen to two inputs of the devices of the options (or the simulated card) "
                     "instead of files: the first 2 s find the delay");
    tf->add_option("--sim", a.sim,
                   "Live on the simulated sound card, which plays its pink noise: "
                   "loopback|speaker|room (input 9 carries the output back, "
                   "input 1 the microphone at 1 m)")
        ->needs(live);
    tf->add_option("--ref-input", a.refInput, "Live: the reference's input, from 1")->needs(live);
    tf->add_option("--input", a.input, "Live: the measurement's input, from 1")->needs(live);
    tf->add_option("--seconds", a.seconds, "Live: how long to listen (default 15)")->needs(live);
    return tf;
}

int RunTfCommand(MainCtrl& ctrl, const TfCommandArguments& a,
                 const std::function<int(const std::string&)>& parseSlot,
                 const std::function<void()>& chooseDevices) {
    if (!a.live && (a.files.empty() || a.files.size() > 2))
        return Refuse(2, "tf needs REF.wav MEAS.wav, or one two-channel file, or --live");
    TfSettings settings;
    if (a.fft) {
        settings.resolution = TfResolution::Fixed;
        settings.fftSize = *a.fft;
    } else {
        settings.resolution = TfResolution::Constant;
        settings.bandsPerOctave = a.octaveResolution.value_or(24);
    }
    if (const std::string why = Kedra::Live::CheckTfSettings(settings, Kedra::Live::TF_MIN_RATE);
        !why.empty())
        return Refuse(2, (a.fft ? "--fft: " : "--octave-resolution: ") + why);
    const int slot = a.into.empty() ? -1 : parseSlot(a.into);

    std::unique_ptr<TransferFunction> tf;
    std::unique_ptr<Kedra::Live::TfSession> session;
    Measured m;
    const int status = a.live ? FromInputs(ctrl, a, settings, chooseDevices, session, m)
                              : FromFiles(a, settings, tf, m);
    if (status != 0)
        return status;
    return Report(ctrl, a, settings, a.live ? session->Tf() : *tf, m, slot);
}

} // namespace Kedra::Sonvel
