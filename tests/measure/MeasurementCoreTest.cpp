#include "measure/MeasurementCore.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <vector>

#include "foundation/MathConstants.h"
#include "measure/Measurement.h"
#include "support/TestSupport.h"

namespace {

using Kedra::Measure::MeasurementCore;
using cd = std::complex<double>;
const double PI = Kedra::Math::PI;

// A record at 1 Hz per bin: fs = N = 16384, so bin k is k Hz.
constexpr int P = 14;
constexpr int N = 1 << P;
constexpr int FS = N;

std::vector<double> UnitImpulse(int length, int at) {
    std::vector<double> v(static_cast<std::size_t>(length), 0.0);
    v[static_cast<std::size_t>(at)] = 1.0;
    return v;
}

// Decaying sinusoid that starts at time zero = dataOffset + frac (in samples).
struct Decay {
    double a = 0.004;  // decay per sample
    double b = 0.21;   // radians per sample
    double frac = 0.3; // fractional part of time zero
    double Sample(double t) const { return t >= 0 ? std::exp(-a * t) * std::sin(b * t) : 0.0; }
};

void InitDecay(MeasurementCore& m, const Decay& d, int p, int length, int dataOffset) {
    std::vector<double> raw(static_cast<std::size_t>(length));
    for (int i = 0; i < length; ++i)
        raw[static_cast<std::size_t>(i)] = d.Sample(i - dataOffset - d.frac);
    m.InitializeImpulse(raw.data(), length, dataOffset, 48000, p, 0, 0.0, 0.0, true);
    m.OffsetAbsolute(d.frac);
}

// Closed form of the transform the record must give: the sum over the centred block
// i = 1 .. n/2-1 of the samples, times the rotation that refers it to time zero at frac.
cd AnalyticDecaySpectrum(const Decay& d, int n, int k) {
    const double w = 2.0 * PI * k / n;
    const int m = n / 2 - 1;
    cd total = 0.0;
    for (int sign : {+1, -1}) {
        const cd s(-d.a, sign * d.b);
        const cd r = std::exp(s - cd(0.0, w));
        const cd geometric = r * (1.0 - std::pow(r, m)) / (1.0 - r);
        total += double(sign) * std::exp(-s * d.frac) * geometric / cd(0.0, 2.0);
    }
    return total * std::exp(cd(0.0, w * d.frac));
}

TEST(MeasurementCoreViews, DataGenerationMovesWithTheDataNotWithTheView) {
    Kedra::Measure::Measurement m("m");
    m.InitializeDirac(10, 48000, 1.0);
    Kedra::Measure::Measurement other("other");
    other.InitializeDirac(10, 48000, 1.0);
    EXPECT_NE(m.GetDataGeneration(), other.GetDataGeneration()) << "unique across records";
    std::uint64_t g = m.GetDataGeneration();
    m.SetImpulseWindowEnabled(true);
    m.SetImpulseWindowEnd(100);
    m.SetSmoothNOct(3.0);
    m.SetLowpassEnabled(true);
    m.GetA();
    EXPECT_EQ(m.GetDataGeneration(), g) << "view changes leave the data alone";
    m.Amplify(2.0);
    EXPECT_NE(m.GetDataGeneration(), g);
    g = m.GetDataGeneration();
    m.Offset(1.5);
    EXPECT_NE(m.GetDataGeneration(), g);
    g = m.GetDataGeneration();
    m.GetF0Writeable()[3] *= 2.0;
    m.F0Written();
    EXPECT_NE(m.GetDataGeneration(), g);
}

TEST(MeasurementCoreViews, F0MatchesAnalyticSpectrumAtFractionalOffset) {
    MeasurementCore m("decay");
    const Decay d;
    const int p = 12;
    const int n = 1 << p;
    InitDecay(m, d, p, 3 * n, n);
    EXPECT_EQ(m.GetImpulsePosition(), n);
    EXPECT_NEAR(m.GetIFracOffset(), d.frac, 1e-12);
    const cd* f0 = m.GetF0();
    ASSERT_NE(f0, nullptr);
    double worst = 0.0;
    for (int k = 1; k < n / 2; ++k)
        worst = std::max(worst, std::abs(f0[k] - AnalyticDecaySpectrum(d, n, k)));
    EXPECT_LT(worst, 1e-9);
}

TEST(MeasurementCoreViews, I0AliasesRawDataWhileTheCentredRangeFits) {
    MeasurementCore m("alias");
    const int n = 1 << 10;
    std::vector<double> raw(3 * n);
    for (std::size_t i = 0; i < raw.size(); ++i)
        raw[i] = static_cast<double>(i) + 1.0;
    m.InitializeImpulse(raw.data(), 3 * n, n, 48000, 10, 0, 0, 0, true);
    const double* i0 = m.GetI0();
    EXPECT_EQ(i0, m.GetIData() + n);

    // Moving time zero near the start leaves a range that needs zero padding.
    m.Offset(-(n - 10));
    i0 = m.GetI0();
    EXPECT_NE(i0, m.GetIData() + 10);
    EXPECT_EQ(i0[0], raw[10]);
    EXPECT_EQ(i0[-10], raw[0]);
    EXPECT_EQ(i0[-11], 0.0);
    EXPECT_EQ(i0[-n / 2], 0.0);
    EXPECT_EQ(i0[n / 2 - 1], raw[10 + n / 2 - 1]);
}

TEST(MeasurementCoreViews, FilterTapersAtTheListedPoints) {
    MeasurementCore m("taper");
    auto raw = UnitImpulse(2 * N, N);
    m.InitializeImpulse(raw.data(), 2 * N, N, FS, P, 0, 0, 0, true);
    m.SetLowpassEnabled(true);
    const cd* f = m.GetF0Filter();
    EXPECT_NEAR(std::abs(f[1000]), 1.0, 1e-12);
    EXPECT_NEAR(std::abs(f[2000]), 1.0, 1e-12);
    EXPECT_NEAR(std::abs(f[2500]), 0.5, 1e-12);
    EXPECT_NEAR(std::abs(f[2999]), 0.5 * (1 + std::cos(PI * 999 / 1000)), 1e-12);
    EXPECT_EQ(std::abs(f[3001]), 0.0);
    EXPECT_EQ(std::abs(f[N / 2]), 0.0);

    m.SetLowpassEnabled(false);
    m.SetHighpassEnabled(true);
    f = m.GetF0Filter();
    EXPECT_EQ(std::abs(f[0]), 0.0);
    EXPECT_EQ(std::abs(f[99]), 0.0);
    EXPECT_NEAR(std::abs(f[150]), 0.5, 1e-12);
    EXPECT_NEAR(std::abs(f[200]), 1.0, 1e-12);
    EXPECT_NEAR(std::abs(f[8000]), 1.0, 1e-12);

    // Both: the band between them passes, the edges are products of the tapers.
    m.SetLowpassEnabled(true);
    f = m.GetF0Filter();
    EXPECT_NEAR(std::abs(f[150]), 0.5, 1e-12);
    EXPECT_NEAR(std::abs(f[1000]), 1.0, 1e-12);
    EXPECT_NEAR(std::abs(f[2500]), 0.5, 1e-12);
}

TEST(MeasurementCoreViews, FilterThatPassesEverythingGivesBackI0OnItsSampleGrid) {
    MeasurementCore m("pass");
    const Decay d;
    InitDecay(m, d, 12, 3 << 12, 1 << 12);
    m.SetLowpass(1e9, 1.0);
    m.SetHighpass(0.0, 1.0);
    m.SetLowpassEnabled(true);
    m.SetHighpassEnabled(true);
    const double* i0f = m.GetI0Filter();
    const double* i0 = m.GetI0();
    double worst = 0.0;
    for (int i = -(1 << 11); i < (1 << 11); ++i)
        worst = std::max(worst, std::fabs(i0f[i] - i0[i]));
    EXPECT_LT(worst, 1e-12);
}

TEST(MeasurementCoreViews, I0FilterIsTheInverseOfF0Filter) {
    MeasurementCore m("inverse");
    const Decay d;
    const int p = 8;
    const int n = 1 << p;
    InitDecay(m, d, p, 2 * n, n);
    m.SetLowpass(6000, 3000);
    m.SetLowpassEnabled(true);
    const cd* spectrum = m.GetF0Filter();
    const double* i0f = m.GetI0Filter();
    // Naive inverse of the one-sided unscaled spectrum, with the sub-sample delay between
    // time zero and index 0 put back.
    const double frac = m.GetIFracOffset();
    for (int i = -n / 2; i < n / 2; ++i) {
        double sum = spectrum[0].real() + spectrum[n / 2].real() * ((i % 2) ? -1.0 : 1.0);
        for (int k = 1; k < n / 2; ++k) {
            const double w = 2.0 * PI * k / n;
            sum += 2.0 * (spectrum[k] * std::exp(cd(0.0, w * (i - frac)))).real();
        }
        ASSERT_NEAR(i0f[i], sum / n, 1e-12) << "sample " << i;
    }
}

TEST(MeasurementCoreViews, UnfilteredUnwindowedSpectrumIsF0) {
    MeasurementCore m("plain");
    const Decay d;
    InitDecay(m, d, 10, 2048, 1024);
    const cd* f0 = m.GetF0();
    EXPECT_EQ(m.GetF(), f0);
    const double* a = m.GetA();
    for (int k = 0; k <= 512; ++k)
        ASSERT_EQ(a[k], std::abs(f0[k]));
}

TEST(MeasurementCoreViews, WindowOnFilteredImpulseKeepsThePhaseOfTheFilteredSpectrum) {
    MeasurementCore m("window-filter");
    const Decay d;
    InitDecay(m, d, P, 2 * N, N);
    m.SetLowpass(3000, 2000);
    m.SetLowpassEnabled(true);
    // Wide enough to hold the whole filtered impulse.
    m.SetImpulseWindowStart(-N / 4);
    m.SetImpulseWindowEnd(N / 4);
    m.SetImpulseWindowEnabled(true);
    std::vector<cd> f0f(m.GetF0Filter(), m.GetF0Filter() + N / 2 + 1);
    const cd* f = m.GetF();
    std::vector<cd> twice(f0f);
    MeasurementCore::LowpassSpectrum(twice.data(), twice.data(), N / 2, m.GetBinsPerHz(), 3000,
                                     2000);
    double worst = 0.0;
    double peak = 0.0;
    for (int k = 1; k < N / 2; ++k) {
        worst = std::max(worst, std::abs(f[k] - twice[static_cast<std::size_t>(k)]));
        peak = std::max(peak, std::abs(f[k]));
    }
    // What is left is the tail of the decay beyond the window (e^-16 of its start).
    EXPECT_LT(worst, 1e-6 * peak);
}

TEST(MeasurementCoreViews, F0WrittenRoundTripsAndTakesChanges) {
    MeasurementCore m("written");
    const Decay d;
    InitDecay(m, d, 11, 3 << 11, 1 << 11);
    std::vector<cd> before(m.GetF0(), m.GetF0() + 1025);
    m.F0Written();
    EXPECT_EQ(m.GetDataLength(), 2048);
    EXPECT_EQ(m.GetDataOffset(), 1024);
    const cd* after = m.GetF0();
    for (int k = 0; k <= 1024; ++k)
        ASSERT_LT(std::abs(after[k] - before[static_cast<std::size_t>(k)]), 1e-10) << k;

    // Doubling the spectrum doubles the impulse.
    std::vector<double> impulse(m.GetI0() - 1024, m.GetI0() + 1024);
    cd* w = m.GetF0Writeable();
    for (int k = 0; k <= 1024; ++k)
        w[k] *= 2.0;
    m.F0Written();
    const double* i0 = m.GetI0();
    for (int i = -1024; i < 1024; ++i)
        ASSERT_NEAR(i0[i], 2.0 * impulse[static_cast<std::size_t>(i + 1024)], 1e-12);

    // Under a view offset (whole and fractional) an unchanged spectrum written back leaves the
    // views where they were: the Dirac at view index 40 moved by 100.25 samples stays at -60.
    MeasurementCore shifted("offset");
    std::vector<double> dirac(2048, 0.0);
    dirac[1024 + 40] = 1.0;
    shifted.InitializeImpulse(dirac.data(), 2048, 1024, 48000, 11, 0, 0, 0, true);
    shifted.Offset(100.25);
    const std::vector<double> view(shifted.GetI0() - 1024, shifted.GetI0() + 1024);
    const std::vector<cd> spectrum(shifted.GetF0(), shifted.GetF0() + 1025);
    shifted.F0Written();
    const double* again = shifted.GetI0();
    EXPECT_NEAR(again[-60], view[1024 - 60], 1e-12);
    for (int i = -1024; i < 1024; ++i)
        ASSERT_NEAR(again[i], view[static_cast<std::size_t>(i + 1024)], 1e-12) << i;
    for (int k = 0; k <= 1024; ++k)
        ASSERT_LT(std::abs(shifted.GetF0()[k] - spectrum[static_cast<std::size_t>(k)]), 1e-10) << k;
    // Taking the offset back brings the Dirac back to index 40.
    shifted.OffsetAbsolute(0.0);
    EXPECT_NEAR(shifted.GetI0()[40], 1.0, 1e-9);
}

TEST(MeasurementCoreViews, InterpolatedImpulseAndSpectrum) {
    MeasurementCore m("interp");
    const int n = 1 << 10;
    // A slow sinusoid: the spline must follow it between samples.
    std::vector<double> raw(2 * n);
    for (int i = 0; i < 2 * n; ++i)
        raw[static_cast<std::size_t>(i)] = std::sin(0.05 * (i - n));
    m.InitializeImpulse(raw.data(), 2 * n, n, 48000, 10, 0, 0, 0, true);
    EXPECT_NEAR(m.GetIInterpolated(10.0), std::sin(0.5), 1e-15);
    EXPECT_NEAR(m.GetIInterpolated(10.5), std::sin(0.525), 1e-6);
    EXPECT_EQ(m.GetRecomputeCounts().impulseInterpolator, 1);
    // Outside the data: 0, and no new spline.
    EXPECT_EQ(m.GetIInterpolated(-n - 1.0), 0.0);
    EXPECT_EQ(m.GetIInterpolated(n + 0.0), 0.0);
    EXPECT_EQ(m.GetRecomputeCounts().impulseInterpolator, 1);

    const cd* f = m.GetF();
    EXPECT_EQ(m.GetFInterpolatedK(7.0), f[7]);
    EXPECT_EQ(m.GetFInterpolated(7.0 * 48000 / n), f[7]);
    const cd mid = m.GetFInterpolatedK(7.5);
    EXPECT_NEAR(std::abs(mid), 0.5 * (std::abs(f[7]) + std::abs(f[8])), 1e-9);
}

TEST(MeasurementCoreCache, UnchangedSettingsRecomputeNothing) {
    MeasurementCore m("cache");
    const Decay d;
    InitDecay(m, d, 12, 3 << 12, 1 << 12);
    m.SetImpulseWindowEnabled(true);
    m.SetSmoothingEnabled(true);
    m.SetLowpassEnabled(true);
    const double* a = m.GetA();
    std::vector<double> before(a, a + 2049);
    const auto counts = m.GetRecomputeCounts();

    m.SetImpulseWindowEnabled(true);
    m.SetSmoothingEnabled(true);
    m.SetLowpassEnabled(true);
    m.SetLowpass(m.GetLowpassStart(), m.GetLowpassLength());
    m.SetHighpass(m.GetHighpassStart(), m.GetHighpassLength());
    m.SetSmoothNOct(m.GetSmoothNOct());
    m.SetSmoothingComplex(m.GetSmoothingComplex());
    m.SetImpulseWindowStart(m.GetImpulseWindowStart());
    m.SetImpulseWindowEnd(m.GetImpulseWindowEnd());
    m.Offset(0.0);
    m.OffsetAbsolute(m.GetCurrentOffset());
    m.Amplify(1.0);

    EXPECT_EQ(m.GetA(), a);
    EXPECT_EQ(std::vector<double>(a, a + 2049), before);
    const auto& now = m.GetRecomputeCounts();
    EXPECT_EQ(now.a, counts.a);
    EXPECT_EQ(now.f, counts.f);
    EXPECT_EQ(now.smoothing, counts.smoothing);
    EXPECT_EQ(now.f0, counts.f0);
    EXPECT_EQ(now.f0Filter, counts.f0Filter);
    EXPECT_EQ(now.i0Filter, counts.i0Filter);
}

TEST(MeasurementCoreCache, EachSettingRecomputesOnlyWhatDependsOnIt) {
    MeasurementCore m("depends");
    const Decay d;
    InitDecay(m, d, 12, 3 << 12, 1 << 12);
    m.SetImpulseWindowEnabled(true);
    m.GetA();
    auto c = m.GetRecomputeCounts();

    // Window end: the windowed spectrum and magnitude, not the raw spectrum.
    m.SetImpulseWindowEnd(200);
    m.GetA();
    EXPECT_EQ(m.GetRecomputeCounts().f, c.f + 1);
    EXPECT_EQ(m.GetRecomputeCounts().a, c.a + 1);
    EXPECT_EQ(m.GetRecomputeCounts().f0, c.f0);
    EXPECT_EQ(m.GetRecomputeCounts().smoothing, c.smoothing);

    // Smoothing width while smoothing is off: nothing.
    c = m.GetRecomputeCounts();
    m.SetSmoothNOct(6.0);
    m.GetA();
    EXPECT_EQ(m.GetRecomputeCounts().f, c.f);
    EXPECT_EQ(m.GetRecomputeCounts().a, c.a);

    // Filter corners while no filter is on: nothing.
    m.SetLowpass(5000, 500);
    m.GetA();
    EXPECT_EQ(m.GetRecomputeCounts().f, c.f);

    // With smoothing on, its width recomputes smoothing once, not the transforms below it.
    m.SetSmoothingEnabled(true);
    m.GetA();
    c = m.GetRecomputeCounts();
    m.SetSmoothNOct(24.0);
    m.GetA();
    EXPECT_EQ(m.GetRecomputeCounts().smoothing, c.smoothing + 1);
    EXPECT_EQ(m.GetRecomputeCounts().f0, c.f0);
    EXPECT_EQ(m.GetRecomputeCounts().i0, c.i0);

    // With a filter on, its corner recomputes the filtered spectrum but not F0.
    m.SetLowpassEnabled(true);
    m.GetA();
    c = m.GetRecomputeCounts();
    m.SetLowpass(6000, 500);
    m.GetA();
    EXPECT_EQ(m.GetRecomputeCounts().f0Filter, c.f0Filter + 1);
    EXPECT_EQ(m.GetRecomputeCounts().i0Filter, c.i0Filter + 1);
    EXPECT_EQ(m.GetRecomputeCounts().f0, c.f0);

    // The lock keeps the start unless forced.
    m.SetImpulseWindowLockStart(true);
    c = m.GetRecomputeCounts();
    m.SetImpulseWindowStart(-50);
    EXPECT_EQ(m.GetImpulseWindowStart(), -100);
    m.GetA();
    EXPECT_EQ(m.GetRecomputeCounts().f, c.f);
    m.SetImpulseWindowStart(-50, true);
    EXPECT_EQ(m.GetImpulseWindowStart(), -50);
}

TEST(MeasurementCoreCache, AmplifyWithSmoothingRescalesInsteadOfSmoothingAgain) {
    const Decay d;
    for (bool complexSmoothing : {false, true}) {
        MeasurementCore m("amplify");
        InitDecay(m, d, 12, 3 << 12, 1 << 12);
        m.SetSmoothingEnabled(true);
        m.SetSmoothingComplex(complexSmoothing);
        m.SetLowpassEnabled(true);
        m.GetA();
        const auto c = m.GetRecomputeCounts();
        m.Amplify(-2.5);
        const double* a = m.GetA();
        EXPECT_EQ(m.GetRecomputeCounts().smoothing, c.smoothing);
        EXPECT_EQ(m.GetRecomputeCounts().f0, c.f0);
        EXPECT_EQ(m.GetRecomputeCounts().f0Filter, c.f0Filter);
        EXPECT_DOUBLE_EQ(m.GetAmplitude(), 2.5);

        // The truth: a record built from the amplified data from the start.
        MeasurementCore fresh("fresh");
        std::vector<double> raw(m.GetIData(), m.GetIData() + m.GetDataLength());
        fresh.InitializeImpulse(raw.data(), m.GetDataLength(), m.GetDataOffset(), 48000, 12, 0, 0,
                                0, true);
        fresh.OffsetAbsolute(d.frac);
        fresh.SetSmoothingEnabled(true);
        fresh.SetSmoothingComplex(complexSmoothing);
        fresh.SetLowpassEnabled(true);
        const double* truth = fresh.GetA();
        const cd* f = m.GetF();
        const cd* fTruth = fresh.GetF();
        for (int k = 0; k <= 2048; ++k) {
            ASSERT_NEAR(a[k], truth[k], 1e-9 * (1.0 + truth[k])) << k;
            ASSERT_LT(std::abs(f[k] - fTruth[k]), 1e-9 * (1.0 + truth[k])) << k;
        }
    }
}

TEST(MeasurementCoreData, AmplifyAndOffsetRules) {
    MeasurementCore m("gain");
    std::vector<double> raw{0.0, 1.0, -2.0, 3.0};
    m.InitializeImpulse(raw.data(), 4, 1, 48000, 2, 0, 0, 0, true);
    std::vector<cd> f0(m.GetF0(), m.GetF0() + 3);
    m.Amplify(-1.0);
    EXPECT_EQ(m.GetIData()[2], 2.0);
    EXPECT_EQ(m.GetAmplitude(), 1.0);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(m.GetF0()[k], -f0[static_cast<std::size_t>(k)]);

    m.Amplify(4.0);
    EXPECT_EQ(m.GetAmplitude(), 4.0);
    m.AmplifyAbsolute(2.0);
    EXPECT_EQ(m.GetAmplitude(), 2.0);
    EXPECT_EQ(m.GetIData()[3], -3.0 * 4.0 * 0.5);
    // A gain of zero or beyond the doubles would destroy the data for good: refused.
    for (const double g :
         {0.0, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()})
        m.Amplify(g);
    EXPECT_EQ(m.GetAmplitude(), 2.0);
    EXPECT_EQ(m.GetIData()[3], -3.0 * 4.0 * 0.5);

    m.Offset(1.25);
    EXPECT_EQ(m.GetImpulsePosition(), 2);
    EXPECT_DOUBLE_EQ(m.GetIFracOffset(), 0.25);
    m.OffsetAbsolute(-0.5);
    EXPECT_EQ(m.GetImpulsePosition(), 0);
    EXPECT_DOUBLE_EQ(m.GetIFracOffset(), 0.5);
}

TEST(MeasurementCoreData, ReinitialisingKeepsTheSettingsUnlessAskedToReset) {
    MeasurementCore m("reinit");
    std::vector<double> raw(64, 0.0);
    raw[32] = 1.0;
    m.InitializeImpulse(raw.data(), 64, 32, 48000, 5, 0, 0, 0, true);
    m.Amplify(2.0);
    m.SetLowpassEnabled(true);
    m.SetSmoothNOct(12.0);
    raw[32] = 3.0;
    m.InitializeImpulse(raw.data(), 64, 32, 48000, 5, 0, 0, 0, false);
    EXPECT_EQ(m.GetIData()[32], 6.0);
    EXPECT_EQ(m.GetAmplitude(), 2.0);
    EXPECT_TRUE(m.GetLowpassEnabled());
    EXPECT_EQ(m.GetSmoothNOct(), 12.0);
    m.InitializeImpulse(raw.data(), 64, 32, 48000, 5, 0, 0, 0, true);
    EXPECT_EQ(m.GetIData()[32], 3.0);
    EXPECT_EQ(m.GetAmplitude(), 1.0);
    EXPECT_FALSE(m.GetLowpassEnabled());
    EXPECT_EQ(m.GetSmoothNOct(), 3.0);
}

TEST(MeasurementCoreData, HarmonicCountFollowsTheRoomBeforeTheImpulse) {
    MeasurementCore m("sweep");
    std::vector<double> raw(4096, 0.0);
    // exp(2000 / (48000 * 0.025)) = 5.29: harmonics up to the 5th fit before the impulse.
    m.InitializeImpulse(raw.data(), 4096, 2000, 48000, 10, 1, 0.025, 0.0, true);
    EXPECT_TRUE(m.GetHarmonicsAvailable());
    EXPECT_EQ(m.GetHarmonicCount(), 5);
    m.InitializeImpulse(raw.data(), 4096, 4000, 48000, 10, 1, 0.001, 0.0, true);
    EXPECT_EQ(m.GetHarmonicCount(), 11);
    // Without a time constant no harmonic can be placed.
    m.InitializeImpulse(raw.data(), 4096, 2000, 48000, 10, 1, 0.0, 0.0, true);
    EXPECT_FALSE(m.GetHarmonicsAvailable());
    m.InitializeImpulse(raw.data(), 4096, 2000, 48000, 10, 2, 0.025, 0.0, true);
    EXPECT_FALSE(m.GetHarmonicsAvailable());
    EXPECT_EQ(m.GetHDSize(), -1);
    EXPECT_EQ(m.GetHDSmooth(0), nullptr);
    EXPECT_EQ(m.GetHDSmoothInterpolated(0, 1000.0), -1000.0);
}

TEST(MeasurementCoreData, CopyingSettingsAndRecords) {
    MeasurementCore a("a");
    std::vector<double> raw(256, 0.0);
    raw[100] = 1.0;
    a.InitializeImpulse(raw.data(), 256, 100, 48000, 7, 1, 0.01, 2.0, true);
    a.SetImpulseWindowStart(-100);
    a.SetImpulseWindowEnd(300);
    a.SetImpulseWindowEnabled(true);
    a.SetImpulseWindowLockStart(true);
    a.SetHighpassEnabled(true);
    a.SetHighpass(300, 50);
    a.SetSmoothNOct(6.0);
    a.SetSmoothingEnabled(true);
    a.Offset(2.5);

    MeasurementCore b("b");
    std::vector<double> rawB(256, 0.0);
    b.InitializeImpulse(rawB.data(), 256, 100, 44100, 7, 0, 0, 0, true);
    b.CopyImpulseWindowFrom(a);
    EXPECT_EQ(b.GetImpulseWindowStart(), -92);
    EXPECT_EQ(b.GetImpulseWindowEnd(), 276);
    EXPECT_TRUE(b.GetImpulseWindowEnabled());
    EXPECT_TRUE(b.GetImpulseWindowLockStart());

    MeasurementCore c("c");
    c.CopyAllFrom(a);
    EXPECT_EQ(c.GetLabel(), "a");
    EXPECT_EQ(c.GetSamplerate(), 48000);
    EXPECT_EQ(c.GetIData()[100], 1.0);
    EXPECT_NE(c.GetIData(), a.GetIData());
    EXPECT_EQ(c.GetSignalType(), 1);
    EXPECT_EQ(c.GetSignalTypeFactor1(), 0.01);
    EXPECT_TRUE(c.GetHighpassEnabled());
    EXPECT_EQ(c.GetHighpassStart(), 300);
    EXPECT_EQ(c.GetSmoothNOct(), 6.0);
    EXPECT_TRUE(c.GetSmoothingEnabled());
    EXPECT_EQ(c.GetCurrentOffset(), 2.5);
    EXPECT_EQ(c.GetImpulsePosition(), a.GetImpulsePosition());
    for (int k = 0; k <= 64; ++k)
        ASSERT_EQ(c.GetA()[k], a.GetA()[k]);

    // Copying from an empty record leaves an empty record, not a crash.
    MeasurementCore empty("empty");
    c.CopyAllFrom(empty);
    EXPECT_FALSE(c.IsInitialized());
}

TEST(MeasurementCoreData, NotInitialisedViewsWarnAndReturnNull) {
    MeasurementCore m("nothing here");
    EXPECT_EQ(m.GetIData(), nullptr);
    EXPECT_EQ(m.GetIBaseWriteable(), nullptr);
    EXPECT_EQ(m.GetI0(), nullptr);
    EXPECT_EQ(m.GetF0(), nullptr);
    EXPECT_EQ(m.GetI(), nullptr);
    EXPECT_EQ(m.GetI0Filter(), nullptr);
    EXPECT_EQ(m.GetF0Filter(), nullptr);
    EXPECT_EQ(m.GetF(), nullptr);
    EXPECT_EQ(m.GetA(), nullptr);
    EXPECT_EQ(m.GetIInterpolated(0.0), 0.0);
    EXPECT_EQ(m.GetFInterpolatedK(1.0), cd(0.0));
    m.Amplify(3.0);
    EXPECT_EQ(m.GetAmplitude(), 1.0);
    const std::string log = SonvelTest::ReadLog();
    for (const char* text :
         {"GetIData() Not initialized -> 0", "GetIBaseWriteable() Not initialized -> 0",
          "GetI0() Not initialized -> 0", "GetF0() Not initialized -> 0",
          "GetI() Not initialized -> 0", "GetI0Filter() Not initialized -> 0",
          "GetF0Filter() Not initialized -> 0", "GetF() Not initialized -> 0",
          "GetA() Not initialized -> 0"})
        EXPECT_NE(log.find(std::string("WARNING Measurement::") + text + " - nothing here\n"),
                  std::string::npos)
            << text;

    std::vector<double> raw(16, 0.0);
    m.InitializeImpulse(raw.data(), 16, 8, 48000, 4, 0, 0, 0, true);
    EXPECT_EQ(m.GetF0Filter(), m.GetF0());
    EXPECT_NE(SonvelTest::ReadLog().find(
                  "WARNING Measurement::GetF0Filter() : Not Lowpass or highpass -> GetF0() - "
                  "nothing here\n"),
              std::string::npos);
}

TEST(MeasurementCoreData, InvalidInitialisationIsRefusedAndKeepsTheData) {
    MeasurementCore m("keep");
    std::vector<double> raw(64, 0.5);
    m.InitializeImpulse(raw.data(), 64, 32, 48000, 5, 0, 0, 0, true);
    m.InitializeImpulse(nullptr, 64, 32, 48000, 5, 0, 0, 0, true);
    m.InitializeImpulse(raw.data(), 0, 32, 48000, 5, 0, 0, 0, true);
    m.InitializeImpulse(raw.data(), 64, 32, 0, 5, 0, 0, 0, true);
    m.InitializeImpulse(raw.data(), 64, 32, 48000, 0, 0, 0, 0, true);
    m.InitializeImpulse(raw.data(), 64, 32, 48000, 31, 0, 0, 0, true);
    ASSERT_TRUE(m.IsInitialized());
    EXPECT_EQ(m.GetN(), 32);
    EXPECT_EQ(m.GetDataLength(), 64);
    EXPECT_EQ(m.GetIData()[10], 0.5);
    EXPECT_NE(SonvelTest::ReadLog().find("WARNING Measurement::InitializeImpulse(64, 48000, 31) "
                                         "refused - keep"),
              std::string::npos);
}

TEST(MeasurementCoreTexts, SignalTypesApplicationsAndDistortionRows) {
    using namespace Kedra::Measure;
    const char* types[] = {"NA", "LogSweep", "Chirp", "SqNoise", "QBox"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(SignalTypeToString(i), types[i]);
        EXPECT_EQ(StringToSignalType(types[i]), i);
    }
    EXPECT_EQ(SignalTypeToString(5), "Unknown");
    EXPECT_EQ(SignalTypeToString(-1), "Unknown");
    EXPECT_EQ(StringToSignalType("logsweep"), 0);
    const char* apps[] = {"Unknown", "Sonvel", "LumadiControl", "LumadiDriver", "LumadiRoom"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(ApplicationIdToString(i), apps[i]);
        EXPECT_EQ(StringToApplicationId(apps[i]), i);
    }
    EXPECT_EQ(ApplicationIdToString(9), "Unknown");
    EXPECT_EQ(StringToApplicationId("Other"), 0);
    EXPECT_EQ(DistortionIndexToString(0), "THD");
    EXPECT_EQ(DistortionIndexToString(1), "Noise");
    EXPECT_EQ(DistortionIndexToString(2), "2nd HD");
    EXPECT_EQ(DistortionIndexToString(3), "3th HD");
    EXPECT_EQ(DistortionIndexToString(11), "11th HD");
}

} // namespace
