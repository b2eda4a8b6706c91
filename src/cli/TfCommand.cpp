#include "cli/TfCommand.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "app/MainCtrl.h"
#include "exchange/TextFile.h"
#include "exchange/WaveFile.h"
#include "foundation/Mem.h"
#include "live/DelayFinder.h"
#include "live/TransferFunction.h"

namespace Kedra::Sonvel {

namespace {

using Kedra::Live::TfPoint;
using Kedra::Live::TfResolution;
using Kedra::Live::TfSettings;
using Kedra::Text::FormatFixed;

constexpr int CHUNK = 1 << 16;

int Refuse(int status, const std::string& why) {
    std::fprintf(stderr, "sonvel: %s%s\n", status == 1 ? "error: " : "", why.c_str());
    return status;
}

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

} // namespace

CLI::App* AddTfCommand(CLI::App& app, TfCommandArguments& a) {
    auto* tf = app.add_subcommand(
        "tf", "Transfer function of a measurement against its reference over wave files: the "
              "delay between them, then magnitude, phase (the delay removed) and coherence");
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
    return tf;
}

int RunTfCommand(MainCtrl& ctrl, const TfCommandArguments& a,
                 const std::function<int(const std::string&)>& parseSlot) {
    if (a.files.empty() || a.files.size() > 2)
        return Refuse(2, "tf needs REF.wav MEAS.wav, or one two-channel file");
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
    const std::string delayText = FormatFixed(delay.milliseconds, 3) + " ms";
    std::printf("Delay: %s (%s samples)\n", delayText.c_str(),
                FormatFixed(delay.samples, 2).c_str());

    Kedra::Live::TransferFunction tf(fs, settings);
    tf.SetDelay(delay.samples);
    for (std::size_t i = 0; i < length; i += CHUNK)
        tf.Process(ref.samples.data() + i, meas.samples.data() + i,
                   static_cast<int>(std::min<std::size_t>(CHUNK, length - i)));

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
    const double seconds = static_cast<double>(length) / fs;
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
        const std::string label =
            "TF " +
            (a.files.size() == 2 ? Stem(a.files[1]) + " vs " + Stem(a.files[0])
                                 : Stem(a.files[0]) + " ch 2 vs ch 1") +
            ", delay " + delayText;
        // The controller has said why.
        if (!ctrl.Action_StoreTransferFunction(slot, Kedra::Live::TfBins(rows, sizes.front(), fs),
                                               static_cast<int>(fs), label))
            return 1;
        std::printf("Stored in slot %d: %s\n", slot, label.c_str());
    }
    return 0;
}

} // namespace Kedra::Sonvel
