#pragma once
// The delay of a measurement behind its reference, from their cross-correlation.
//
// The correlation is the generalised one with phase transform (PHAT): the cross spectrum is
// divided by its magnitude before it goes back to time. Programme material (music, pink
// noise) and the systems it goes through have most of their energy low; the plain
// correlation's peak is then as wide as that energy's band is narrow, and a resonance or a
// room's reflections lean on it. Whitened, every frequency counts alike and the peak is a
// sample wide whatever the spectrum. Bins where the reference holds nothing count nothing.
// The peak is refined to a fraction of a sample on the band-limited correlation itself
// (Newton steps on its closed form between the samples), which a parabola through three
// samples of a peak this narrow would bias by up to a tenth of a sample.
//
// The finder keeps the last WindowSeconds() of both signals and searches lags of up to
// MAX_DELAY_SECONDS either way. Process allocates nothing; Find allocates and takes a few
// milliseconds (not for an audio callback). One thread calls everything.

#include <string>
#include <vector>

namespace Kedra::Live {

struct DelayResult {
    bool found = false;
    double samples = 0.0; // the measurement behind the reference (negative: ahead)
    double milliseconds = 0.0;
    double peakToRms = 0.0; // the correlation's peak over its rms over the searched lags
    std::string why;        // when not found, in the user's words
};

class DelayFinder {
public:
    static constexpr double MAX_DELAY_SECONDS = 0.7;
    static constexpr double DEFAULT_WINDOW_SECONDS = 4.0;
    // A peak this many times the rms of the searched lags is a delay, not chance: the largest
    // of a million lags of uncorrelated noise stays under about 5.5 times.
    static constexpr double MIN_PEAK_TO_RMS = 8.0;

    explicit DelayFinder(double sampleRate, double windowSeconds = DEFAULT_WINDOW_SECONDS);
    DelayFinder(const DelayFinder&) = delete;
    DelayFinder& operator=(const DelayFinder&) = delete;

    void Process(const float* ref, const float* meas, int count) noexcept;
    void Reset();
    double WindowSeconds() const { return static_cast<double>(capacity_) / sampleRate_; }
    // Samples held, at most the window.
    int Held() const { return held_; }

    DelayResult Find() const;

private:
    double sampleRate_;
    int capacity_ = 0;
    std::vector<float> ref_, meas_; // rings
    int at_ = 0, held_ = 0;
};

} // namespace Kedra::Live
