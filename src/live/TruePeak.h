#pragma once
// The true peak of a signal: the largest magnitude of the signal 4x oversampled, so a peak that
// falls between two samples is found too (a sine at a quarter of the rate, sampled at +-45
// degrees, reads 3 dB low from its samples alone). The three points between two samples come
// from a Blackman-windowed sinc over 16 samples; the output lags the input by 8 samples.
//
// One thread: whoever feeds the meter.

#include <array>

namespace Kedra::Live {

class TruePeak {
public:
    static constexpr int FACTOR = 4;
    static constexpr int HALF = 8;

    TruePeak();

    // Takes one sample and returns the largest magnitude among the points it completes.
    double Process(double x) noexcept;
    void Reset() noexcept;

private:
    static constexpr int TAPS = 2 * HALF;
    // Each sample is stored twice, TAPS apart, so the last TAPS samples are always contiguous.
    std::array<double, 2 * TAPS> history_{};
    int next_ = 0;
    std::array<std::array<double, TAPS>, FACTOR - 1> phases_{};
};

} // namespace Kedra::Live
