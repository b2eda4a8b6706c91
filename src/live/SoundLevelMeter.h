#pragma once
// A sound level meter: the chosen frequency weighting, time weightings F and S, the equivalent
// level since the start, the maxima of F and S, the sound exposure level, the C-weighted true
// peak (4x oversampled, see TruePeak) and an overload flag.
//
// Levels are dB re full scale as AES17 counts them (a full-scale sine reads 0.0 dB), plus the
// offset set with SetOffsetDb (an input's SPL reference, so the levels read dB SPL); a peak
// level counts from the same reference, so a steady sine's peak reads 3 dB above its level.
//
// One thread: whoever feeds the meter reads it too (the analysis thread, or the file reader).

#include <array>
#include <cstdint>

#include "live/FrequencyWeighting.h"
#include "live/TimeWeighting.h"
#include "live/TruePeak.h"

namespace Kedra::Live {

struct SoundLevelReadings {
    double seconds = 0.0;  // of signal taken so far
    double fast = 0.0;     // LxF
    double slow = 0.0;     // LxS
    double leq = 0.0;      // Lxeq since the start
    double fastMax = 0.0;  // LxFmax
    double slowMax = 0.0;  // LxSmax
    double sel = 0.0;      // LxE, re 1 s
    double peakC = 0.0;    // LCpeak since the start
    bool overload = false; // the input reached full scale within the last second
    int overloads = 0;     // times the flag was raised
};

class SoundLevelMeter {
public:
    // What a level reads for silence, rather than minus infinity.
    static constexpr double FLOOR_DB = -200.0;
    // A sample this large is at full scale (the largest code of 16-bit audio).
    static constexpr double FULL_SCALE = 32767.0 / 32768.0;
    static constexpr double OVERLOAD_HOLD_SECONDS = 1.0;

    // The rate must be one FrequencyWeighting::SupportsRate accepts.
    SoundLevelMeter(Weighting weighting, double samplerate);

    Weighting GetWeighting() const { return weighting_.GetWeighting(); }
    double GetSamplerate() const { return samplerate_; }
    void SetOffsetDb(double offset) { offsetDb_ = offset; }
    double GetOffsetDb() const { return offsetDb_; }

    void Process(const float* block, int count) noexcept;
    void Reset() noexcept;
    // Starts the equivalent level, exposure, maxima, peaks and overloads again, as a meter's
    // reset button does, and leaves the filters and the time weightings running: F and S go
    // on reading the sound, not a silence before it.
    void ResetStatistics() noexcept;

    SoundLevelReadings Readings() const;
    // LCpeak since the previous call (or the start), and starts the next such span.
    double TakePeakC() noexcept;

private:
    double Level(double meanSquare) const;
    double PeakLevel(double peak) const;

    static constexpr int CHUNK = 256;
    double samplerate_;
    double offsetDb_ = 0.0;
    FrequencyWeighting weighting_;
    FrequencyWeighting cWeighting_;
    TimeWeighting fast_;
    TimeWeighting slow_;
    TruePeak truePeak_;
    std::array<double, CHUNK> weighted_{};
    std::array<double, CHUNK> weightedC_{};
    double sumSquares_ = 0.0;
    std::int64_t samples_ = 0;
    double fastMax_ = 0.0;
    double slowMax_ = 0.0;
    double peakC_ = 0.0;
    double peakCSpan_ = 0.0;
    std::int64_t overloadLeft_ = 0;
    int overloads_ = 0;
};

} // namespace Kedra::Live
