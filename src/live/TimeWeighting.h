#pragma once
// Time weightings F (125 ms) and S (1 s): exponential averaging of the squared, frequency-
// weighted signal, the discrete form of a first-order low-pass with that time constant, so a
// level falls at exactly 10 log10(e) / tau dB/s (34.7 dB/s for F, 4.3 dB/s for S).
//
// One thread: whoever feeds the meter.

namespace Kedra::Live {

class TimeWeighting {
public:
    static constexpr double FAST_SECONDS = 0.125;
    static constexpr double SLOW_SECONDS = 1.0;

    TimeWeighting(double timeConstant, double samplerate);

    // Takes one squared sample and returns the mean square after it.
    double Process(double square) noexcept {
        meanSquare_ += alpha_ * (square - meanSquare_);
        return meanSquare_;
    }
    double MeanSquare() const noexcept { return meanSquare_; }
    void Reset() noexcept { meanSquare_ = 0.0; }

private:
    double alpha_;
    double meanSquare_ = 0.0;
};

} // namespace Kedra::Live
