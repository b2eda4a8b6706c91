#include "analyze/LoudspeakerViews.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <limits>
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

    EXPECT_TRUE(CumulativeSpectralDecay(h.data(), 200, zero, FS).timesMs.empty())
        << "the end lies after the impulse";
    WaterfallSettings backwards;
    backwards.lastMs = -1.0;
    EXPECT_TRUE(CumulativeSpectralDecay(h.data(), 8192, zero, FS, backwards).timesMs.empty());
    EXPECT_TRUE(CumulativeSpectralDecay(h.data(), 8192, -1.0, FS).timesMs.empty());
    EXPECT_TRUE(CumulativeSpectralDecay(h.data(), 8192, std::nan(""), FS).timesMs.empty());
    WaterfallSettings noRise;
    noRise.riseMs = std::nan("");
    EXPECT_TRUE(CumulativeSpectralDecay(h.data(), 8192, zero, FS, noRise).timesMs.empty());
    WaterfallSettings odd; // a rise reaching far before the impulse, then none at all
    odd.firstMs = odd.lastMs = 1.0;
    odd.riseMs = 1e12;
    EXPECT_EQ(CumulativeSpectralDecay(h.data(), 8192, zero, FS, odd).timesMs.size(), 1u);
    odd.riseMs = std::numeric_limits<double>::infinity();
    EXPECT_TRUE(CumulativeSpectralDecay(h.data(), 8192, zero, FS, odd).timesMs.empty());
    WaterfallSettings many;
    many.stepMs = 1e-300; // more slices than an int counts
    EXPECT_TRUE(CumulativeSpectralDecay(h.data(), 8192, zero, FS, many).timesMs.empty());
    many.stepMs = 3.0 / WATERFALL_MAX_SLICES;
    EXPECT_TRUE(CumulativeSpectralDecay(h.data(), 8192, zero, FS, many).timesMs.empty());
    many.stepMs = 3.0 / (WATERFALL_MAX_SLICES - 1);
    EXPECT_EQ(CumulativeSpectralDecay(h.data(), 8192, zero, FS, many).timesMs.size(),
              static_cast<std::size_t>(WATERFALL_MAX_SLICES));
}

// 20 log10 |sum of gain(n) h[n] e^(-j 2 pi f n / fs)|, the slow way.
double GatedLevelDb(const std::vector<double>& h, double f,
                    const std::function<double(int)>& gain) {
    Complex sum = 0.0;
    for (int n = 0; n < static_cast<int>(h.size()); ++n) {
        const double g = gain(n);
        if (g != 0.0)
            sum += g * h[static_cast<std::size_t>(n)] * std::polar(1.0, -2.0 * PI * f * n / FS);
    }
    return 20.0 * std::log10(std::abs(sum));
}

TEST(LoudspeakerViews, WaterfallSlicesAreTheImpulseGatedAtTheEndAndRisingBeforeEachStart) {
    // A band-limited direct sound (a Hann-windowed sinc) whose peak is the sub-sample time
    // zero, then a resonance ringing from it: half the peak lies before the time zero.
    const double zero = 1000.37;
    const double f0 = 3000.0, sigma = PI * f0 / 4.0;
    std::vector<double> h(8192, 0.0);
    for (int n = 0; n < 8192; ++n) {
        const double x = n - zero;
        if (std::fabs(x) < 32.0)
            h[n] = (x == 0.0 ? 1.0 : std::sin(0.9 * PI * x) / (0.9 * PI * x)) *
                   (0.5 + 0.5 * std::cos(PI * x / 32.0));
        if (x > 0.0)
            h[n] += 0.3 * std::exp(-sigma * x / FS) * std::sin(2.0 * PI * f0 * x / FS);
    }
    WaterfallSettings s;
    s.firstMs = 0.0;
    s.lastMs = 0.5;
    s.stepMs = 0.25;
    s.endMs = 6.0;
    s.riseMs = 0.1;
    const Waterfall w = CumulativeSpectralDecay(h.data(), 8192, zero, FS, s);
    ASSERT_EQ(w.timesMs.size(), 3u);
    const double endAt = zero + 6.0 * FS / 1000.0;
    const double rise = 0.1 * FS / 1000.0;
    for (std::size_t i = 0; i < 3; ++i) {
        const double startAt = zero + w.timesMs[i] * FS / 1000.0;
        const auto gain = [&](int n) {
            if (n >= endAt)
                return 0.0;
            if (i == 0 || n >= startAt)
                return 1.0;
            const double into = n - (startAt - rise);
            return into > 0.0 ? 0.5 - 0.5 * std::cos(PI * into / rise) : 0.0;
        };
        for (std::size_t k = 3; k < w.levels[i].size(); k += 37)
            EXPECT_NEAR(w.levels[i][k], GatedLevelDb(h, k * w.hzPerBin, gain), 1e-6)
                << "slice " << i << " at " << k * w.hzPerBin << " Hz";
    }
}

// Mean of |1 + a e^(j theta)| over a turn of theta.
double MeanCombMagnitude(double a) {
    double sum = 0.0;
    constexpr int STEPS = 100000;
    for (int i = 0; i < STEPS; ++i)
        sum += std::abs(1.0 + a * std::polar(1.0, 2.0 * PI * (i + 0.5) / STEPS));
    return sum / STEPS;
}

TEST(LoudspeakerViews, SmoothedSlicesReadTheMeanLevelOfAComb) {
    // A Dirac and its echo 5 ms later at half its level: a comb of 200 Hz period.
    const int zero = 500;
    std::vector<double> h(16384, 0.0);
    h[zero] = 1.0;
    h[zero + 240] = 0.5;
    WaterfallSettings s;
    s.lastMs = 0.0;
    s.endMs = 10.0;
    const Waterfall raw = CumulativeSpectralDecay(h.data(), 16384, zero, FS, s);
    s.smoothingNOct = 6.0;
    const Waterfall smooth = CumulativeSpectralDecay(h.data(), 16384, zero, FS, s);
    ASSERT_EQ(smooth.levels.size(), 1u);
    const double mean = 20.0 * std::log10(MeanCombMagnitude(0.5));
    double lowest = 1e9;
    for (std::size_t k = 0; k < raw.levels[0].size(); ++k) {
        const double f = k * raw.hzPerBin;
        if (f < 4000.0 || f > 16000.0)
            continue;
        lowest = std::min(lowest, raw.levels[0][k]);
        EXPECT_NEAR(smooth.levels[0][k], mean, 0.3) << f << " Hz";
    }
    EXPECT_NEAR(lowest, 20.0 * std::log10(0.5), 0.5) << "unsmoothed, the comb's notches";
}

TEST(LoudspeakerViews, RoomPresetFollowsAReverberantDecayOver300Ms) {
    // Noise under an exponential envelope: 60 dB in 0.4 s at every frequency.
    constexpr double T60 = 0.4;
    const int zero = 2000, count = 65536;
    std::vector<double> h(static_cast<std::size_t>(count), 0.0);
    std::uint32_t state = 12345;
    for (int n = zero; n < count; ++n) {
        state = state * 1664525u + 1013904223u;
        const double noise = static_cast<double>(state) / 4294967296.0 - 0.5;
        h[static_cast<std::size_t>(n)] = noise * std::pow(10.0, -3.0 * (n - zero) / FS / T60);
    }
    const WaterfallSettings room = WaterfallPresetSettings(WaterfallPreset::Room);
    EXPECT_GT(room.smoothingNOct, 0.0);
    const Waterfall w = CumulativeSpectralDecay(h.data(), count, zero, FS, room);
    ASSERT_EQ(w.timesMs.size(), 31u);
    EXPECT_NEAR(w.timesMs.back(), 300.0, 1e-9);
    // The slice from t holds the energy after t: it falls at the envelope's rate.
    for (double f : {250.0, 1000.0, 4000.0}) {
        const auto k = static_cast<std::size_t>(std::lround(f / w.hzPerBin));
        std::vector<double> t, db;
        for (std::size_t i = 0; i < w.timesMs.size(); ++i) {
            t.push_back(w.timesMs[i] / 1000.0);
            db.push_back(w.levels[i][k]);
        }
        EXPECT_NEAR(Slope(t, db), -60.0 / T60, 0.1 * 60.0 / T60) << f << " Hz";
    }
}

} // namespace
