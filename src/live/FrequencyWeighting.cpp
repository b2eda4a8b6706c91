#include "live/FrequencyWeighting.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace Kedra::Live {

namespace {

constexpr double F1 = 20.598997;
constexpr double F2 = 107.65265;
constexpr double F3 = 737.86223;
constexpr double F4 = 12194.217;

// A first-order section b0 + b1 z^-1 over 1 + a1 z^-1.
struct FirstOrder {
    double b0, b1, a1;
};

// s / (s + w) through s = K (1 - z^-1) / (1 + z^-1).
FirstOrder HighPass(double w, double k) {
    const double d = k + w;
    return {k / d, -k / d, (w - k) / d};
}

// w / (s + w), the same transform.
FirstOrder LowPass(double w, double k) {
    const double d = k + w;
    return {w / d, w / d, (w - k) / d};
}

} // namespace

char WeightingLetter(Weighting weighting) {
    switch (weighting) {
    case Weighting::A:
        return 'A';
    case Weighting::C:
        return 'C';
    case Weighting::Z:
        break;
    }
    return 'Z';
}

std::optional<Weighting> ParseWeighting(std::string_view text) {
    if (text == "A" || text == "a")
        return Weighting::A;
    if (text == "C" || text == "c")
        return Weighting::C;
    if (text == "Z" || text == "z")
        return Weighting::Z;
    return std::nullopt;
}

bool FrequencyWeighting::SupportsRate(double samplerate) {
    return samplerate >= MIN_RATE && samplerate <= MAX_RATE;
}

std::complex<double> FrequencyWeighting::Biquad::Response(std::complex<double> zi) const {
    return (b0 + zi * (b1 + zi * b2)) / (1.0 + zi * (a1 + zi * a2));
}

void FrequencyWeighting::AddSection(const Biquad& section) {
    sections_[static_cast<std::size_t>(sectionCount_++)] = section;
}

FrequencyWeighting::FrequencyWeighting(Weighting weighting, double samplerate)
    : weighting_(weighting), samplerate_(std::clamp(samplerate, MIN_RATE, MAX_RATE)) {
    const double pi = std::numbers::pi;
    const double k = 2.0 * samplerate_;
    // The pre-warped f4: the analogue frequency the transform maps onto f4.
    const double w4 = k * std::tan(pi * F4 / samplerate_);
    const auto pair = [](FirstOrder p, FirstOrder q) {
        Biquad b;
        b.b0 = p.b0 * q.b0;
        b.b1 = p.b0 * q.b1 + p.b1 * q.b0;
        b.b2 = p.b1 * q.b1;
        b.a1 = p.a1 + q.a1;
        b.a2 = p.a1 * q.a1;
        return b;
    };
    const FirstOrder hp1 = HighPass(2.0 * pi * F1, k);
    const FirstOrder lp4 = LowPass(w4, k);
    switch (weighting_) {
    case Weighting::A:
        AddSection(pair(hp1, hp1));
        AddSection(pair(HighPass(2.0 * pi * F2, k), HighPass(2.0 * pi * F3, k)));
        AddSection(pair(lp4, lp4));
        break;
    case Weighting::C:
        AddSection(pair(hp1, hp1));
        AddSection(pair(lp4, lp4));
        break;
    case Weighting::Z:
        break;
    }
    // Both weightings are 0 dB at 1 kHz by definition; the digital filter is set to match.
    const std::complex<double> zi = std::polar(1.0, -2.0 * pi * 1000.0 / samplerate_);
    std::complex<double> h = 1.0;
    for (int i = 0; i < sectionCount_; ++i)
        h *= sections_[static_cast<std::size_t>(i)].Response(zi);
    gain_ = 1.0 / std::abs(h);
}

void FrequencyWeighting::Process(const float* in, double* out, int count) noexcept {
    for (int n = 0; n < count; ++n)
        out[n] = gain_ * static_cast<double>(in[n]);
    // Transposed direct form II, section after section over the whole block.
    for (int i = 0; i < sectionCount_; ++i) {
        Biquad& s = sections_[static_cast<std::size_t>(i)];
        double s1 = s.s1, s2 = s.s2;
        for (int n = 0; n < count; ++n) {
            const double x = out[n];
            const double y = s.b0 * x + s1;
            s1 = s.b1 * x - s.a1 * y + s2;
            s2 = s.b2 * x - s.a2 * y;
            out[n] = y;
        }
        s.s1 = s1;
        s.s2 = s2;
    }
}

void FrequencyWeighting::Reset() noexcept {
    for (Biquad& s : sections_)
        s.s1 = s.s2 = 0.0;
}

} // namespace Kedra::Live
