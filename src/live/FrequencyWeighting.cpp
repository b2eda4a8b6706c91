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

// The analogue double pole at f4, w4^2 / (s + w4)^2, as (1 + b z^-1)^2 / (1 - p z^-1)^2 (unit
// gain at DC): a double real pole and a double real zero whose places are searched so that
// the worst deviation from the analogue magnitude at the third-octave midbands from 1 to
// 16 kHz is least. The bilinear transform would put the zeros at Nyquist and fall off too
// early (-3.9 dB at 16 kHz at 44.1 kHz); the fitted pair stays within 0.06 dB there.
struct PolesAndZeros {
    double p, b;
};

double WorstDeviationDb(PolesAndZeros c, double samplerate) {
    const double dc = (1.0 + c.b) * (1.0 + c.b) / ((1.0 - c.p) * (1.0 - c.p));
    double worst = 0.0;
    for (int n = 0; n <= 12; ++n) {
        const double f = 1000.0 * std::pow(10.0, n / 10.0);
        const std::complex<double> zi = std::polar(1.0, -2.0 * std::numbers::pi * f / samplerate);
        const double digital = std::norm((1.0 + c.b * zi) / (1.0 - c.p * zi)) / dc;
        const double analogue = 1.0 / (1.0 + (f / F4) * (f / F4));
        worst = std::max(worst, std::abs(20.0 * std::log10(digital / analogue)));
    }
    return worst;
}

PolesAndZeros FitHighPole(double samplerate) {
    // A coarse grid over the unit interval, then finer grids around the best point.
    PolesAndZeros best{std::exp(-2.0 * std::numbers::pi * F4 / samplerate), 0.0};
    double bestError = WorstDeviationDb(best, samplerate);
    double step = 0.05;
    PolesAndZeros centre{0.5, 0.5};
    int half = 10;
    for (int round = 0; round < 8; ++round) {
        for (int i = -half; i <= half; ++i) {
            for (int j = -half; j <= half; ++j) {
                const PolesAndZeros c{std::clamp(centre.p + i * step, 0.0, 0.99),
                                      std::clamp(centre.b + j * step, 0.0, 0.99)};
                const double e = WorstDeviationDb(c, samplerate);
                if (e < bestError) {
                    bestError = e;
                    best = c;
                }
            }
        }
        centre = best;
        step /= 4.0;
        half = 4;
    }
    return best;
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
    const PolesAndZeros high = FitHighPole(samplerate_);
    Biquad lp4;
    lp4.b0 = 1.0;
    lp4.b1 = 2.0 * high.b;
    lp4.b2 = high.b * high.b;
    lp4.a1 = -2.0 * high.p;
    lp4.a2 = high.p * high.p;
    switch (weighting_) {
    case Weighting::A:
        AddSection(pair(hp1, hp1));
        AddSection(pair(HighPass(2.0 * pi * F2, k), HighPass(2.0 * pi * F3, k)));
        AddSection(lp4);
        break;
    case Weighting::C:
        AddSection(pair(hp1, hp1));
        AddSection(lp4);
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
