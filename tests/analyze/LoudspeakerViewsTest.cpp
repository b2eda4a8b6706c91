#include "analyze/LoudspeakerViews.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

namespace {

using namespace Kedra::Measure;
using Complex = std::complex<double>;

constexpr double FS = 48000.0;
const double PI = std::acos(-1.0);

// Least-squares slope of y over x.
double Slope(const std::vector<double>& x, const std::vector<double>& y) {
    double mx = 0.0, my = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        mx += x[i];
        my += y[i];
    }
    mx /= x.size();
    my /= y.size();
    double sxy = 0.0, sxx = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        sxy += (x[i] - mx) * (y[i] - my);
        sxx += (x[i] - mx) * (x[i] - mx);
    }
    return sxy / sxx;
}

TEST(LoudspeakerViews, GroupDelayOfADelayAndOfAnAllPassAgainstTheirFormulas) {
    const int n = 1 << 14, bins = n / 2 + 1;
    const double hz = FS / n;
    std::vector<Complex> delay(bins), allPass(bins), minimum(bins);
    const double d = 37.25, r = 0.95, theta = 2.0 * PI * 3000.0 / FS;
    const double a1 = -2.0 * r * std::cos(theta), a2 = r * r;
    for (int k = 0; k < bins; ++k) {
        const double w = 2.0 * PI * k / n;
        const Complex z1 = std::polar(1.0, -w), z2 = z1 * z1;
        delay[k] = std::polar(1.0, -w * d);
        allPass[k] = (a2 + a1 * z1 + z2) / (1.0 + a1 * z1 + a2 * z2);
        // Poles and zeros inside the unit circle: minimum phase.
        minimum[k] = (1.0 - 0.5 * z1) / (1.0 + a1 * z1 + a2 * z2);
    }
    const auto pure = GroupDelay(delay.data(), bins, hz);
    for (int k = 0; k < bins; k += 97)
        EXPECT_NEAR(pure[k] * FS, d, 1e-9) << "bin " << k;

    const auto ap = GroupDelay(allPass.data(), bins, hz);
    const auto apExcess = ExcessGroupDelay(allPass.data(), bins, hz);
    for (int k = 1; k < bins - 1; k += 53) {
        const double w = 2.0 * PI * k / n;
        const double expected = (1.0 - r * r) / (1.0 - 2.0 * r * std::cos(w - theta) + r * r) +
                                (1.0 - r * r) / (1.0 - 2.0 * r * std::cos(w + theta) + r * r);
        EXPECT_NEAR(ap[k] * FS, expected, 1e-3 * expected) << "bin " << k;
        // Its magnitude is flat, so all of its delay is excess.
        EXPECT_NEAR(apExcess[k] * FS, expected, 0.01 + 1e-3 * expected) << "bin " << k;
    }
    const auto excess = ExcessGroupDelay(minimum.data(), bins, hz);
    for (int k = 1; k < bins - 1; k += 61)
        EXPECT_NEAR(excess[k] * FS, 0.0, 0.01) << "bin " << k;
}

TEST(LoudspeakerViews, EnergyTimeCurveOfADiracAndOfADecayingTone) {
    std::vector<double> dirac(4096, 0.0);
    dirac[300] = 1.0;
    const auto e = EnergyTimeCurve(dirac.data(), 4096, FS);
    ASSERT_EQ(e.size(), 4096u);
    EXPECT_EQ(std::max_element(e.begin(), e.end()) - e.begin(), 300);
    EXPECT_DOUBLE_EQ(e[300], 0.0);
    // In a band too: the band filter has no phase to move the peak.
    const auto inBand = EnergyTimeCurve(dirac.data(), 4096, FS, 1000.0);
    EXPECT_EQ(std::max_element(inBand.begin(), inBand.end()) - inBand.begin(), 300);

    const double sigma = 150.0; // 1/s
    std::vector<double> tone(1 << 15);
    for (std::size_t i = 0; i < tone.size(); ++i) {
        const double t = i / FS;
        tone[i] = std::exp(-sigma * t) * std::sin(2.0 * PI * 1000.0 * t);
    }
    const auto etc = EnergyTimeCurve(tone.data(), static_cast<int>(tone.size()), FS);
    std::vector<double> t, db;
    for (int i = 480; i < 1920; i += 7) {
        t.push_back(i / FS);
        db.push_back(etc[i]);
    }
    EXPECT_NEAR(Slope(t, db), -20.0 * sigma / std::log(10.0), 0.02 * 20.0 * sigma / std::log(10.0));
    // In the 1 kHz octave band the tone is all there is.
    const auto band = EnergyTimeCurve(tone.data(), static_cast<int>(tone.size()), FS, 1000.0);
    EXPECT_NEAR(band[960] - band[480], etc[960] - etc[480], 0.5);

    EXPECT_TRUE(EnergyTimeCurve(tone.data(), 1000, FS).empty()) << "not a power of two";
    EXPECT_TRUE(EnergyTimeCurve(nullptr, 1024, FS).empty());
}

TEST(LoudspeakerViews, WaterfallOfAResonanceDecaysAtItsRate) {
    const double f0 = 2000.0, q = 5.0;
    const double sigma = PI * f0 / q;
    const double wd = 2.0 * PI * f0 * std::sqrt(1.0 - 1.0 / (4.0 * q * q));
    const int zero = 100;
    std::vector<double> h(8192, 0.0);
    for (int i = zero; i < 8192; ++i) {
        const double t = (i - zero) / FS;
        h[i] = std::exp(-sigma * t) * std::sin(wd * t);
    }
    const Waterfall w = CumulativeSpectralDecay(h.data(), 8192, zero, FS);
    ASSERT_EQ(w.timesMs.size(), 31u);
    EXPECT_NEAR(w.timesMs.back(), 3.0, 1e-9);
    const auto k = static_cast<std::size_t>(std::lround(f0 / w.hzPerBin));
    std::vector<double> t, db;
    for (std::size_t i = 0; i <= 20; ++i) {
        t.push_back(w.timesMs[i] / 1000.0);
        db.push_back(w.levels[i][k]);
    }
    const double expected = -27.3 * f0 / q;
    EXPECT_NEAR(Slope(t, db), expected, 0.05 * -expected);
    EXPECT_NEAR(*std::max_element(w.levels[0].begin(), w.levels[0].end()), 0.0, 1e-9);

    EXPECT_TRUE(CumulativeSpectralDecay(h.data(), 200, zero, FS).timesMs.empty())
        << "the end lies after the impulse";
    WaterfallSettings backwards;
    backwards.lastMs = -1.0;
    EXPECT_TRUE(CumulativeSpectralDecay(h.data(), 8192, zero, FS, backwards).timesMs.empty());
}

} // namespace
