#pragma once
// Frequency weightings A, C and Z of sound level meters, as digital IIR filters made from the
// standard's analogue poles (f1 20.598997, f2 107.65265, f3 737.86223, f4 12194.217 Hz).
//
// Design: the low poles (f1, f2, f3) go through the bilinear transform as they are: below
// 1 kHz its frequency warping is far under 0.01 dB. The high double pole f4 is matched with a
// correction instead: a digital double pole and double zero, placed when the filter is made
// so that the worst deviation from the analogue magnitude over the third-octave midbands from
// 1 to 16 kHz is least (0.06 dB at 44.1 kHz, 0.01 dB at 96 kHz, where the bilinear transform
// is 3.9 dB low at 16 kHz at 44.1 kHz). A gain then sets the response at 1 kHz to exactly
// 0 dB.
//
// One thread: whoever feeds the meter (the analysis thread, or the file reader).

#include <array>
#include <complex>
#include <optional>
#include <string_view>

namespace Kedra::Live {

enum class Weighting { A, C, Z };

// 'A', 'C', 'Z'.
char WeightingLetter(Weighting weighting);
// "A", "C", "Z" (either case); nothing for anything else.
std::optional<Weighting> ParseWeighting(std::string_view text);

class FrequencyWeighting {
public:
    // Rates at which the weightings meet their tolerances (checked at 44.1, 48 and 96 kHz).
    static constexpr double MIN_RATE = 44100.0;
    static constexpr double MAX_RATE = 384000.0;
    static bool SupportsRate(double samplerate);

    // A rate outside SupportsRate is clamped into the supported range; callers check first.
    FrequencyWeighting(Weighting weighting, double samplerate);

    Weighting GetWeighting() const { return weighting_; }
    double GetSamplerate() const { return samplerate_; }

    // Weights `count` samples of `in` into `out` (which may not alias `in`).
    void Process(const float* in, double* out, int count) noexcept;
    void Reset() noexcept;

private:
    struct Biquad {
        double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
        double s1 = 0.0, s2 = 0.0;
        std::complex<double> Response(std::complex<double> zInverse) const;
    };
    void AddSection(const Biquad& section);

    Weighting weighting_;
    double samplerate_;
    double gain_ = 1.0;
    std::array<Biquad, 3> sections_{};
    int sectionCount_ = 0;
};

} // namespace Kedra::Live
