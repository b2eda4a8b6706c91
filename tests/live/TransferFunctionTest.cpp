// The transfer function and the delay finder against a system built here: white noise through
// a known low-pass (the reference), then a windowed-sinc fractional delay, a whole-sample delay
// and a peaking biquad, plus uncorrelated noise (the measurement). The truth is the analytic
// response of those filters (their z-transforms on the unit circle).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

#include "live/DelayFinder.h"
#include "live/TransferFunction.h"

namespace {

using Kedra::Live::DelayFinder;
using Kedra::Live::TfPoint;
using Kedra::Live::TfResolution;
using Kedra::Live::TfSettings;
using Kedra::Live::TransferFunction;
using cd = std::complex<double>;

constexpr double FS = 48000.0;
constexpr double PI = std::numbers::pi;
constexpr int SINC_HALF = 32;

struct Biquad {
    double b0, b1, b2, a1, a2;
    cd At(double f) const {
        const cd z1 = std::polar(1.0, -2.0 * PI * f / FS);
        return (b0 + z1 * (b1 + z1 * b2)) / (1.0 + z1 * (a1 + z1 * a2));
    }
    std::vector<double> Run(const std::vector<double>& x) const {
        std::vector<double> y(x.size());
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        for (std::size_t n = 0; n < x.size(); ++n) {
            y[n] = b0 * x[n] + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
            x2 = x1;
            x1 = x[n];
            y2 = y1;
            y1 = y[n];
        }
        return y;
    }
};

// The audio cookbook's low-pass and peaking filters.
Biquad LowPass(double f0, double q) {
    const double w = 2.0 * PI * f0 / FS, alpha = std::sin(w) / (2.0 * q), c = std::cos(w);
    const double a0 = 1.0 + alpha;
    return {(1.0 - c) / 2.0 / a0, (1.0 - c) / a0, (1.0 - c) / 2.0 / a0, -2.0 * c / a0,
            (1.0 - alpha) / a0};
}

Biquad Peaking(double f0, double q, double gainDb) {
    const double a = std::pow(10.0, gainDb / 40.0), w = 2.0 * PI * f0 / FS;
    const double alpha = std::sin(w) / (2.0 * q), c = std::cos(w), a0 = 1.0 + alpha / a;
    return {(1.0 + alpha * a) / a0, -2.0 * c / a0, (1.0 - alpha * a) / a0, -2.0 * c / a0,
            (1.0 - alpha / a) / a0};
}

struct System {
    double delay = 0.0; // samples, whole + SINC_HALF + fraction
    double noise = 0.03;
    Biquad source = LowPass(2000.0, std::sqrt(0.5));
    Biquad peak = Peaking(1000.0, 1.4, 6.0);
    std::vector<double> sinc; // taps 0 .. 2 SINC_HALF, the fraction's delay
    int whole = 0;
    std::vector<float> ref, meas;

    // The measurement's response to the reference.
    cd Truth(double f) const {
        cd fir = 0.0;
        for (std::size_t n = 0; n < sinc.size(); ++n)
            fir += sinc[n] * std::polar(1.0, -2.0 * PI * f * static_cast<double>(n) / FS);
        return fir * std::polar(1.0, -2.0 * PI * f * whole / FS) * peak.At(f);
    }
    // The measurement's signal-to-noise ratio per bin: both noises are white.
    double SnrDb(double f) const {
        return 20.0 * std::log10(std::abs(source.At(f) * Truth(f)) / noise);
    }
};

// `delay` samples (may be negative: the measurement ahead), `count` samples of each.
System MakeSystem(double delay, int count, unsigned seed, double noise = 0.03) {
    System s;
    s.delay = delay;
    s.noise = noise;
    const double fraction = delay - std::floor(delay);
    s.whole = static_cast<int>(std::floor(delay)) - SINC_HALF;
    for (int n = 0; n <= 2 * SINC_HALF; ++n) {
        const double t = n - SINC_HALF - fraction;
        const double sinc = t == 0.0 ? 1.0 : std::sin(PI * t) / (PI * t);
        // Blackman over the taps.
        const double w = 0.42 -
                         0.5 * std::cos(2.0 * PI * (n + 0.5 - fraction) / (2 * SINC_HALF + 1)) +
                         0.08 * std::cos(4.0 * PI * (n + 0.5 - fraction) / (2 * SINC_HALF + 1));
        s.sinc.push_back(sinc * w);
    }
    std::mt19937 random(seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    const int margin = std::abs(s.whole) + 4 * SINC_HALF;
    std::vector<double> white(static_cast<std::size_t>(count + 2 * margin));
    for (double& v : white)
        v = gauss(random);
    const std::vector<double> x = s.source.Run(white);
    // y[n] = sum sinc[j] x[n - whole - j], then the peak filter.
    std::vector<double> delayed(x.size(), 0.0);
    for (std::size_t n = 0; n < x.size(); ++n)
        for (std::size_t j = 0; j < s.sinc.size(); ++j) {
            const long long from = static_cast<long long>(n) - s.whole - static_cast<long long>(j);
            if (from >= 0 && from < static_cast<long long>(x.size()))
                delayed[n] += s.sinc[j] * x[static_cast<std::size_t>(from)];
        }
    const std::vector<double> y = s.peak.Run(delayed);
    for (int n = 0; n < count; ++n) {
        const auto i = static_cast<std::size_t>(n + margin);
        s.ref.push_back(static_cast<float>(x[i] / 4.0));
        s.meas.push_back(static_cast<float>((y[i] + s.noise * gauss(random)) / 4.0));
    }
    return s;
}

Kedra::Live::DelayResult FindDelay(const System& s) {
    DelayFinder finder(FS, 2.0);
    finder.Process(s.ref.data(), s.meas.data(), static_cast<int>(s.ref.size()));
    return finder.Find();
}

// The points after the whole signals went through the instrument with the delay found.
std::vector<TfPoint> Measure(const System& s, const TfSettings& settings, double& found) {
    const Kedra::Live::DelayResult d = FindDelay(s);
    EXPECT_TRUE(d.found) << d.why;
    found = d.samples;
    TransferFunction tf(FS, settings);
    EXPECT_TRUE(tf.Usable());
    tf.SetDelay(found);
    constexpr int BLOCK = 1000; // not a divisor of any length: segments straddle blocks
    for (std::size_t i = 0; i < s.ref.size(); i += BLOCK) {
        const int n = static_cast<int>(std::min<std::size_t>(BLOCK, s.ref.size() - i));
        tf.Process(s.ref.data() + i, s.meas.data() + i, n);
    }
    return tf.Points();
}

// Magnitude and phase against the analytic response, coherence against the analytic SNR.
void ExpectTruth(const System& s, const std::vector<TfPoint>& points, double found) {
    int checked = 0, noisy = 0;
    double worstDb = 0.0, worstDeg = 0.0;
    for (const TfPoint& p : points) {
        if (p.frequency < 20.0)
            continue;
        const double snr = s.SnrDb(p.frequency);
        ASSERT_FALSE(std::isnan(p.coherence)) << p.frequency << " Hz, " << p.segments;
        if (snr > 25.0) {
            // The readings have the found delay removed, not the true one.
            const cd truth =
                s.Truth(p.frequency) * std::polar(1.0, 2.0 * PI * p.frequency * found / FS);
            const double db = 20.0 * std::log10(std::abs(p.h) / std::abs(truth));
            const double deg = std::arg(p.h / truth) * 180.0 / PI;
            worstDb = std::max(worstDb, std::fabs(db));
            worstDeg = std::max(worstDeg, std::fabs(deg));
            EXPECT_NEAR(db, 0.0, 0.3) << p.frequency << " Hz";
            EXPECT_NEAR(deg, 0.0, 3.0) << p.frequency << " Hz";
            EXPECT_GT(p.coherence, 0.98) << p.frequency << " Hz";
            ++checked;
        } else if (snr < -10.0) {
            EXPECT_LT(p.coherence, 0.3) << p.frequency << " Hz";
            ++noisy;
        }
    }
    EXPECT_GT(checked, 50);
    EXPECT_GT(noisy, 5);
    std::printf("[          ] %d points: worst %.3f dB, %.3f deg\n", checked, worstDb, worstDeg);
}

TEST(TransferFunction, FixedLengthMatchesTheFilterWhereTheSnrIsHighAndTellsNoiseApart) {
    const System s = MakeSystem(542.43, 48000 * 4, 7);
    TfSettings settings;
    settings.fftSize = 4096;
    double found = 0.0;
    const auto points = Measure(s, settings, found);
    ASSERT_EQ(points.size(), 2048u);
    EXPECT_NEAR(points.front().frequency, FS / 4096, 1e-9);
    EXPECT_NEAR(points.back().frequency, FS / 2, 1e-9);
    ExpectTruth(s, points, found);
}

TEST(TransferFunction, ConstantResolutionIsATwentyFourthOctaveFrom20HzAndMatchesTheFilter) {
    TfSettings settings;
    settings.resolution = TfResolution::Constant;
    TransferFunction layout(FS, settings);
    const std::vector<int> sizes = layout.FftSizes();
    ASSERT_EQ(sizes.size(), 9u);
    EXPECT_EQ(sizes.front(), 131072);
    EXPECT_EQ(sizes.back(), 512);
    const auto empty = layout.Points();
    EXPECT_EQ(empty.size(), 536u);
    EXPECT_LE(empty.front().frequency, 20.0);
    EXPECT_EQ(empty.back().frequency, FS / 2);
    for (std::size_t i = 1; i < empty.size(); ++i) {
        EXPECT_GT(empty[i].frequency, empty[i - 1].frequency);
        if (empty[i - 1].frequency >= 20.0) {
            EXPECT_LE(empty[i].frequency / empty[i - 1].frequency, std::pow(2.0, 1.0 / 24.0))
                << empty[i].frequency;
        }
    }
    // Eight segments of the longest length at 50 %: 9 x 65536 samples.
    const System s = MakeSystem(-123.6, 9 * 65536 + 1000, 11);
    double found = 0.0;
    const auto points = Measure(s, settings, found);
    ExpectTruth(s, points, found);
    // As the bins of a measurement: between the points, still the filter.
    const auto bins = Kedra::Live::TfBins(points, sizes.front(), FS);
    ASSERT_EQ(bins.size(), 65537u);
    EXPECT_EQ(bins.front().imag(), 0.0);
    for (int k = 55; k < 65536; k += 997) {
        const double f = k * FS / sizes.front();
        if (s.SnrDb(f) < 25.0)
            continue;
        const cd ratio = bins[static_cast<std::size_t>(k)] /
                         (s.Truth(f) * std::polar(1.0, 2.0 * PI * f * found / FS));
        EXPECT_NEAR(20.0 * std::log10(std::abs(ratio)), 0.0, 0.3) << f << " Hz";
        EXPECT_NEAR(std::arg(ratio) * 180.0 / PI, 0.0, 3.0) << f << " Hz";
    }
}

TEST(TransferFunction, CoherenceIsShownFromTheEighthSegmentAndSilenceGivesNoAnswer) {
    TfSettings settings;
    settings.fftSize = 1024;
    TransferFunction tf(FS, settings);
    std::vector<float> x(4096), silent(4096, 0.0f);
    std::mt19937 random(3);
    std::normal_distribution<float> gauss(0.0f, 0.1f);
    for (float& v : x)
        v = gauss(random);
    // Segments end at 1024, 1536, ... 4096: seven.
    tf.Process(x.data(), x.data(), 4096);
    EXPECT_EQ(tf.Segments(), 7);
    EXPECT_TRUE(std::isnan(tf.Points()[100].coherence));
    tf.Process(x.data(), x.data(), 512);
    EXPECT_EQ(tf.Segments(), 8);
    EXPECT_NEAR(tf.Points()[100].coherence, 1.0, 1e-9);
    EXPECT_NEAR(std::abs(tf.Points()[100].h), 1.0, 1e-9);

    TransferFunction quiet(FS, settings);
    quiet.Process(silent.data(), x.data(), 4096);
    quiet.Process(silent.data(), x.data(), 512);
    EXPECT_TRUE(std::isnan(quiet.Points()[100].h.real()));
    EXPECT_TRUE(std::isnan(quiet.Points()[100].coherence));
}

TEST(TransferFunction, RefusesSettingsItCannotUse) {
    TfSettings s;
    s.fftSize = 3000;
    EXPECT_NE(Kedra::Live::CheckTfSettings(s, FS).find("power of two"), std::string::npos);
    s.fftSize = 1 << 19;
    EXPECT_FALSE(Kedra::Live::CheckTfSettings(s, FS).empty());
    s.fftSize = 4096;
    EXPECT_FALSE(Kedra::Live::CheckTfSettings(s, 4000.0).empty());
    s.resolution = TfResolution::Constant;
    s.bandsPerOctave = 5;
    EXPECT_FALSE(Kedra::Live::CheckTfSettings(s, FS).empty());
    TransferFunction refused(FS, s);
    EXPECT_FALSE(refused.Usable());
    EXPECT_TRUE(refused.Points().empty());
}

TEST(DelayFinder, FindsTheDelayWithinOneSampleOverTenSeedsAndAtBothEndsOfItsReach) {
    double worst = 0.0;
    for (unsigned seed = 1; seed <= 10; ++seed) {
        const double delay = 100.0 + 97.37 * seed; // every fraction a different one
        const auto d = FindDelay(MakeSystem(delay, 48000, seed));
        ASSERT_TRUE(d.found) << d.why;
        worst = std::max(worst, std::fabs(d.samples - delay));
        EXPECT_NEAR(d.samples, delay, 0.25) << "seed " << seed;
        EXPECT_NEAR(d.milliseconds, 1000.0 * d.samples / FS, 1e-9);
    }
    std::printf("[          ] worst delay error over ten seeds: %.4f samples\n", worst);
    // +/- 0.68 s, with the measurement behind and ahead, and repeatable.
    for (const double delay : {0.68 * FS + 0.5, -0.68 * FS - 0.25}) {
        const System s = MakeSystem(delay, 96000, 99);
        const auto a = FindDelay(s), b = FindDelay(s);
        ASSERT_TRUE(a.found) << a.why;
        EXPECT_NEAR(a.samples, delay, 0.25);
        EXPECT_EQ(a.samples, b.samples);
    }
}

TEST(DelayFinder, SaysWhyWhenThereIsNoDelayToFind) {
    const System s = MakeSystem(10.0, 48000, 5);
    std::vector<float> silent(48000, 0.0f), other = MakeSystem(10.0, 48000, 6).meas;
    DelayFinder quiet(FS, 2.0);
    quiet.Process(silent.data(), s.meas.data(), 48000);
    EXPECT_EQ(quiet.Find().why, "the reference is silent");
    DelayFinder unrelated(FS, 2.0);
    unrelated.Process(s.ref.data(), other.data(), 48000);
    const auto d = unrelated.Find();
    EXPECT_FALSE(d.found);
    EXPECT_NE(d.why.find("does not follow"), std::string::npos);
    DelayFinder tooShort(FS, 2.0);
    tooShort.Process(s.ref.data(), s.meas.data(), 1000);
    EXPECT_FALSE(tooShort.Find().found);
}

} // namespace
