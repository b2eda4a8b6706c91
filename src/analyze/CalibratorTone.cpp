#include "analyze/CalibratorTone.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "exchange/TextFile.h"

namespace Kedra::Analyze {

namespace {

// AES17: the RMS of a full-scale sine, 1/sqrt(2), reads 0 dBFS.
double MeanSquareToDbfs(double meanSquare) {
    return meanSquare > 0.0 ? 10.0 * std::log10(2.0 * meanSquare) : -2000000.0;
}

// From the rising zero crossings (interpolated between samples): whole periods over the time
// they span. 0 when there are fewer than two.
double CrossingFrequency(const float* x, int count, double mean, int sampleRate) {
    double first = -1.0;
    double last = -1.0;
    int crossings = 0;
    for (int i = 1; i < count; ++i) {
        const double a = x[i - 1] - mean;
        const double b = x[i] - mean;
        if (a < 0.0 && b >= 0.0) {
            const double t = (i - 1) + a / (a - b);
            if (crossings == 0)
                first = t;
            last = t;
            ++crossings;
        }
    }
    if (crossings < 2 || !(last > first))
        return 0.0;
    return (crossings - 1) * sampleRate / (last - first);
}

} // namespace

bool ReadTone(const float* x, int count, int sampleRate, ToneReading& r, std::string& why) {
    r = ToneReading{};
    const int minimum = static_cast<int>(2.0 * TONE_BLOCK_SECONDS * sampleRate);
    if (x == nullptr || sampleRate <= 0 || count < std::max(minimum, 2)) {
        why = "The recording is too short to read a tone from (it needs at least " +
              Kedra::Text::FormatFixed(2.0 * TONE_BLOCK_SECONDS, 1) + " s)";
        return false;
    }
    double sum = 0.0;
    for (int i = 0; i < count; ++i) {
        sum += x[i];
        r.peak = std::max(r.peak, static_cast<double>(std::fabs(x[i])));
    }
    const double mean = sum / count;
    double meanSquare = 0.0;
    for (int i = 0; i < count; ++i)
        meanSquare += (x[i] - mean) * (x[i] - mean);
    meanSquare /= count;
    r.dbfs = MeanSquareToDbfs(meanSquare);
    r.frequency = CrossingFrequency(x, count, mean, sampleRate);

    // The sine that fits best at that frequency; its share of the power tells a tone from noise.
    if (r.frequency > 0.0 && meanSquare > 0.0) {
        const double w = 2.0 * std::numbers::pi * r.frequency / sampleRate;
        double c = 0.0;
        double s = 0.0;
        for (int i = 0; i < count; ++i) {
            c += (x[i] - mean) * std::cos(w * i);
            s += (x[i] - mean) * std::sin(w * i);
        }
        const double amplitude = 2.0 * std::sqrt(c * c + s * s) / count;
        r.purity = std::min(1.0, amplitude * amplitude / 2.0 / meanSquare);
    }

    // Whole periods per block, so that a steady sine reads the same in every block.
    int block = static_cast<int>(std::lround(TONE_BLOCK_SECONDS * sampleRate));
    if (r.frequency > 0.0) {
        const double periods = std::max(1.0, std::round(TONE_BLOCK_SECONDS * r.frequency));
        block = std::max(1, static_cast<int>(std::lround(periods * sampleRate / r.frequency)));
    }
    double lowest = 0.0;
    double highest = 0.0;
    for (int start = 0; start + block <= count; start += block) {
        double ms = 0.0;
        for (int i = start; i < start + block; ++i)
            ms += (x[i] - mean) * (x[i] - mean);
        const double db = MeanSquareToDbfs(ms / block);
        lowest = r.blocks == 0 ? db : std::min(lowest, db);
        highest = r.blocks == 0 ? db : std::max(highest, db);
        ++r.blocks;
    }
    r.fluctuationDb = highest - lowest;
    return true;
}

std::string JudgeTone(const ToneReading& r, double expectedHz) {
    using Kedra::Text::FormatFixed;
    if (r.dbfs < TONE_MIN_DBFS)
        return "No tone arrived at the input (its level is below " + FormatFixed(TONE_MIN_DBFS, 0) +
               " dBFS): is the calibrator on the microphone and switched on, and the "
               "microphone connected?";
    if (r.peak >= TONE_CLIP_AMPLITUDE)
        return "The input clips (a sample reached " + FormatFixed(20.0 * std::log10(r.peak), 2) +
               " dBFS): lower the input gain of the sound card and try again";
    if (r.purity < TONE_MIN_PURITY)
        return "The input holds no steady tone (only " + FormatFixed(100.0 * r.purity, 0) +
               " % of its power lies in one sine): check that the calibrator sits tightly on "
               "the microphone and that nothing else is heard";
    if (!(std::fabs(r.frequency - expectedHz) <= TONE_FREQUENCY_TOLERANCE * expectedHz))
        return "The tone's frequency is " + FormatFixed(r.frequency, 1) + " Hz, not within " +
               FormatFixed(100.0 * TONE_FREQUENCY_TOLERANCE, 0) + " % of " +
               FormatFixed(expectedHz, 1) +
               " Hz: give the calibrator's own frequency, or check the calibrator";
    if (r.fluctuationDb > TONE_MAX_FLUCTUATION_DB)
        return "The tone's level fluctuates by " + FormatFixed(r.fluctuationDb, 2) +
               " dB (at most " + FormatFixed(TONE_MAX_FLUCTUATION_DB, 1) +
               " dB may be): hold the calibrator still and keep the room quiet, then try again";
    return {};
}

} // namespace Kedra::Analyze
