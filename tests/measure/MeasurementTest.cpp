#include "measure/Measurement.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <utility>
#include <vector>

#include "analyze/SequenceAnalysis.h"
#include "filter/Design.h"
#include "foundation/MathConstants.h"
#include "support/TestSupport.h"

namespace {

using Kedra::Measure::Measurement;
using cd = std::complex<double>;
const double PI = Kedra::Math::PI;

// Naive DFT of a block referred to time zero at index `zero`.
cd NaiveBin(const double* x, int length, int zero, int n, int k) {
    cd sum = 0.0;
    for (int i = 0; i < length; ++i)
        sum += x[i] * std::polar(1.0, -2.0 * PI * k * (i - zero) / n);
    return sum;
}

// A record built from a real (zero-phase) one-sided spectrum, fs = N so that bin k is k Hz.
void InitFromMagnitudes(Measurement& m, const std::vector<double>& mags) {
    const int count = static_cast<int>(mags.size()) - 1;
    std::vector<cd> spectrum(mags.begin(), mags.end());
    m.InitializeFreq(spectrum.data(), count, 2 * count, count, 0, 0.0, 0.0, true);
}

// e^(-t/tau) sin(2 pi f t) from time zero at `zero`, with tau and f in samples and cycles per
// sample.
std::vector<double> Resonance(int length, int zero, double tauSamples, double cyclesPerSample) {
    std::vector<double> x(static_cast<std::size_t>(length), 0.0);
    for (int i = zero; i < length; ++i) {
        const double t = i - zero;
        x[static_cast<std::size_t>(i)] =
            std::exp(-t / tauSamples) * std::sin(2.0 * PI * cyclesPerSample * t);
    }
    return x;
}

TEST(MeasurementBuild, DiracIsASingleSampleWithAFlatSpectrum) {
    Measurement m("dirac");
    m.InitializeDirac(16, 48000, 1.0);
    ASSERT_TRUE(m.IsInitialized());
    EXPECT_EQ(m.GetDataLength(), 65536);
    EXPECT_EQ(m.GetN(), 65536);
    EXPECT_EQ(m.GetDataOffset(), 32768);
    EXPECT_EQ(m.GetSignalType(), 0);
    EXPECT_EQ(m.GetSignalTypeFactor1(), 0.0);
    EXPECT_EQ(m.GetSignalTypeFactor2(), 0.0);
    const double* raw = m.GetIData();
    int nonZero = 0;
    for (int i = 0; i < 65536; ++i)
        nonZero += raw[i] != 0.0;
    EXPECT_EQ(nonZero, 1);
    EXPECT_EQ(raw[32768], 1.0);
    EXPECT_EQ(m.GetMaxAbsImpulse(), 1.0);
    const cd* f0 = m.GetF0();
    double worst = 0.0;
    for (int k = 0; k <= 32768; ++k)
        worst = std::max(worst, std::abs(f0[k] - 1.0));
    EXPECT_LT(worst, 1e-12);
}

TEST(MeasurementBuild, DiracOnAReusedRecordIsAtTimeZeroWithDefaults) {
    Measurement m("reuse");
    m.InitializeDirac(10, 48000, 1.0);
    m.Offset(3.25);
    m.SetSmoothingEnabled(true);
    m.SetImpulseWindowEnd(7);
    m.InitializeDirac(12, 44100, -2.0);
    EXPECT_EQ(m.GetImpulsePosition(), 2048);
    EXPECT_EQ(m.GetIFracOffset(), 0.0);
    EXPECT_EQ(m.GetI0()[0], -2.0);
    EXPECT_FALSE(m.GetSmoothingEnabled());
    EXPECT_EQ(m.GetImpulseWindowEnd(), 100);
    EXPECT_EQ(m.GetSamplerate(), 44100);
}

TEST(MeasurementBuild, BadArgumentsAreRefusedAndKeepTheRecord) {
    Measurement fresh("bad");
    for (int exponent : {-3, 0, 29, 40})
        fresh.InitializeDirac(exponent, 48000, 1.0);
    fresh.InitializeDirac(10, 0, 1.0);
    fresh.InitializeDirac(10, -48000, 1.0);
    EXPECT_FALSE(fresh.IsInitialized());
    EXPECT_NE(SonvelTest::ReadLog().find("WARNING Measurement::InitializeDirac(40, 48000) refused"),
              std::string::npos);

    Measurement m("keep");
    m.InitializeDirac(8, 48000, 0.5);
    std::vector<cd> spectrum(65, cd(1.0, 0.0));
    m.InitializeFreq(nullptr, 64, 48000, 64, 0, 0, 0, true);
    m.InitializeFreq(spectrum.data(), 0, 48000, 64, 0, 0, 0, true);
    m.InitializeFreq(spectrum.data(), -64, 48000, 64, 0, 0, 0, true);
    m.InitializeFreq(spectrum.data(), 48, 48000, 64, 0, 0, 0, true); // 96 is no power of two
    m.InitializeFreq(spectrum.data(), 64, 48000, 48, 0, 0, 0, true); // nor is 96 here
    m.InitializeFreq(spectrum.data(), 64, 48000, 0, 0, 0, 0, true);
    m.InitializeFreq(spectrum.data(), 64, 0, 64, 0, 0, 0, true);
    m.InitializeFreq(spectrum.data(), 1 << 30, 48000, 64, 0, 0, 0, true); // 2^31 samples
    EXPECT_EQ(m.GetDataLength(), 256);
    EXPECT_EQ(m.GetMaxImpulse(), 0.5);
    EXPECT_NE(SonvelTest::ReadLog().find("WARNING Measurement::InitializeFreq(48, 48000, 64) "
                                         "refused - keep"),
              std::string::npos);
}

TEST(MeasurementBuild, InitializeFreqGivesTheImpulseOfAnAnalyticSpectrum) {
    // x[m] = a^(m - d) from m = d on, referred to time zero; its transform over the centred
    // block of 2 count samples is a truncated geometric series.
    const int count = 2048;
    const int length = 2 * count;
    const double a = 0.93;
    const int d = 37;
    std::vector<cd> spectrum(count + 1);
    for (int k = 0; k <= count; ++k) {
        const cd r = a * std::polar(1.0, -2.0 * PI * k / length);
        spectrum[static_cast<std::size_t>(k)] = std::polar(1.0, -2.0 * PI * k * d / length) *
                                                (1.0 - std::pow(r, count - d)) / (1.0 - r);
    }
    // Real by symmetry at DC and Nyquist; rounding leaves a trace there.
    spectrum[0].imag(0.0);
    spectrum[count].imag(0.0);

    Measurement m("freq");
    m.InitializeFreq(spectrum.data(), count, 96000, 1024, 1, 0.25, 3.5, true);
    ASSERT_TRUE(m.IsInitialized());
    EXPECT_EQ(m.GetDataLength(), length);
    EXPECT_EQ(m.GetDataOffset(), count);
    EXPECT_EQ(m.GetN(), 2048);
    EXPECT_EQ(m.GetExponent(), 11);
    EXPECT_EQ(m.GetSamplerate(), 96000);
    EXPECT_EQ(m.GetSignalType(), 1);
    EXPECT_EQ(m.GetSignalTypeFactor1(), 0.25);
    EXPECT_EQ(m.GetSignalTypeFactor2(), 3.5);
    const double* raw = m.GetIData();
    double worst = 0.0;
    for (int i = 0; i < length; ++i) {
        const int t = i - count;
        const double expected = t >= d ? std::pow(a, t - d) : 0.0;
        worst = std::max(worst, std::fabs(raw[i] - expected));
    }
    EXPECT_LT(worst, 1e-12);
}

TEST(MeasurementBuild, InitializeFilterCentresTheDesignedTaps) {
    for (int taps : {1001, 20001}) {
        Kedra::Filter::Design design("SignalFilter", taps, 44100.4);
        design.SetHighpass(100.0);
        design.SetLowpass(15000.0);
        std::vector<double> h(static_cast<std::size_t>(taps));
        design.CopyImpulse(h.data());

        Measurement m("filter");
        m.InitializeDirac(8, 48000, 1.0);
        m.Offset(2.5);
        m.InitializeFilter(design);
        const int length = taps < 16384 ? 16384 : 32768;
        ASSERT_EQ(m.GetDataLength(), length) << taps;
        EXPECT_EQ(m.GetN(), length);
        EXPECT_EQ(m.GetDataOffset(), length / 2);
        EXPECT_EQ(m.GetSamplerate(), 44100);
        EXPECT_EQ(m.GetImpulsePosition(), length / 2);
        const double* raw = m.GetIData();
        const int half = taps / 2;
        int mismatches = 0;
        for (int i = 0; i < length; ++i) {
            const int t = i - length / 2;
            const double expected =
                (t >= -half && t <= half) ? h[static_cast<std::size_t>(t + half)] : 0.0;
            mismatches += raw[i] != expected;
        }
        EXPECT_EQ(mismatches, 0) << taps;
    }
}

TEST(MeasurementLevels, ExtremesOfTheImpulseInUse) {
    Measurement m("extremes");
    EXPECT_EQ(m.GetMaxImpulse(), 1.0);
    EXPECT_EQ(m.GetMinImpulse(), 1.0);
    EXPECT_EQ(m.GetMaxAbsImpulse(), 1.0);

    std::vector<double> raw(1024, 0.0);
    raw[500] = 0.75;
    raw[530] = -1.25;
    raw[10] = 9.0; // outside the centred N = 256 around sample 512
    m.InitializeImpulse(raw.data(), 1024, 512, 48000, 8, 0, 0, 0, true);
    EXPECT_EQ(m.GetMaxImpulse(), 0.75);
    EXPECT_EQ(m.GetMinImpulse(), -1.25);
    EXPECT_EQ(m.GetMaxAbsImpulse(), 1.25);
}

// A band-limited pulse (a sinc at 0.45 fs under a Hann window of +-48 samples) at t0.
std::vector<double> Pulse(int length, double t0) {
    std::vector<double> x(static_cast<std::size_t>(length), 0.0);
    for (int i = 0; i < length; ++i) {
        const double t = i - t0;
        if (std::fabs(t) >= 48.0)
            continue;
        const double u = 0.9 * PI * t;
        const double sinc = u == 0.0 ? 1.0 : std::sin(u) / u;
        x[static_cast<std::size_t>(i)] = sinc * 0.5 * (1.0 + std::cos(PI * t / 48.0));
    }
    return x;
}

TEST(MeasurementLocate, TimeZeroLandsOnAFractionalPeak) {
    for (double t0 : {3000.3, 3000.5, 2987.82, 3100.0, 2999.07}) {
        Measurement m("locate");
        const auto raw = Pulse(8192, t0);
        m.InitializeImpulse(raw.data(), 8192, 4096, 48000, 12, 0, 0, 0, true);
        m.LocateImpulse();
        const double timeZero = m.GetImpulsePosition() + m.GetIFracOffset();
        EXPECT_NEAR(timeZero, t0, 0.05) << t0;
    }
}

TEST(MeasurementLocate, CausalMethodMovesOnlyByWholeSamples) {
    Measurement m("causal");
    const auto raw = Pulse(8192, 3000.3);
    m.InitializeImpulse(raw.data(), 8192, 4096, 48000, 12, 0, 0, 0, true);
    m.Offset(0.25);
    m.SetTimeZeroMethod(static_cast<int>(Kedra::Analyze::TZM::CausalImpulse));
    m.LocateImpulse();
    EXPECT_DOUBLE_EQ(m.GetIFracOffset(), 0.25);
    // The rise of the pulse starts before its peak, never after it.
    EXPECT_LE(m.GetImpulsePosition(), 3000);
    EXPECT_GT(m.GetImpulsePosition(), 3000 - 48);
}

TEST(MeasurementLocate, TinyRecordsOnlyDropTheFraction) {
    Measurement m("tiny");
    std::vector<double> raw(32, 0.0);
    raw[20] = 1.0;
    m.InitializeImpulse(raw.data(), 32, 16, 48000, 4, 0, 0, 0, true); // N/2 = 8
    m.Offset(0.4);
    m.LocateImpulse();
    EXPECT_EQ(m.GetImpulsePosition(), 20);
    EXPECT_NEAR(m.GetIFracOffset(), 0.0, 1e-12);

    Measurement none("none");
    none.LocateImpulse();
    EXPECT_FALSE(none.IsInitialized());
}

TEST(MeasurementLevels, FreqPeakIsTheLargestMovingAverage) {
    // Two triangles: height 100 at bin 300 and height 40 at bin 100. A moving average over
    // 21 bins centred on an apex is the height minus 2 (1 + .. + 10) / 21.
    std::vector<double> mags(4097, 0.0);
    for (int k = 0; k <= 4096; ++k)
        mags[static_cast<std::size_t>(k)] =
            std::max(0.0, 100.0 - std::abs(k - 300)) + std::max(0.0, 40.0 - std::abs(k - 100));
    Measurement m("peak");
    InitFromMagnitudes(m, mags);
    int bin = -1;
    EXPECT_NEAR(m.GetFreqPeak(10, true, &bin), 100.0 - 110.0 / 21.0, 1e-9);
    EXPECT_EQ(bin, 300);
    // A negative width reads single bins rather than dividing by zero.
    EXPECT_NEAR(m.GetFreqPeak(-5, true, &bin), 100.0, 1e-9);
    // Width beyond the spectrum: every centre averages all bins, the first one wins.
    const double all = (100.0 * 100.0 + 40.0 * 40.0) / 4096.0;
    EXPECT_NEAR(m.GetFreqPeak(1 << 20, true, &bin), all, 1e-9);
    EXPECT_EQ(bin, 0);

    // The processed spectrum loses the larger triangle to a low-pass at 200 Hz.
    m.SetLowpass(180.0, 10.0);
    m.SetLowpassEnabled(true);
    EXPECT_NEAR(m.GetFreqPeak(10, false, &bin), 40.0 - 110.0 / 21.0, 1e-9);
    EXPECT_EQ(bin, 100);
    EXPECT_NEAR(m.GetFreqPeak(10, true, &bin), 100.0 - 110.0 / 21.0, 1e-9);

    Measurement empty("empty");
    EXPECT_EQ(empty.GetFreqPeak(10, true, &bin), 1.0);
    EXPECT_EQ(bin, 1);
}

TEST(MeasurementLevels, ForgAvgPlainAndPerDecade) {
    // |F0[k]| = k: the plain mean over lo .. hi-1 is (lo + hi - 1) / 2; the per-decade
    // weights log10(1 + 1/k) sum to log10(hi / lo).
    std::vector<double> mags(4097);
    for (int k = 0; k <= 4096; ++k)
        mags[static_cast<std::size_t>(k)] = k;
    Measurement m("avg");
    InitFromMagnitudes(m, mags);

    EXPECT_NEAR(m.GetForgAvg(100.0, 1000.0, false), (100.0 + 999.0) / 2.0, 1e-8);
    EXPECT_NEAR(m.GetForgAvg(99.6, 1000.4, false), (100.0 + 999.0) / 2.0, 1e-8);
    EXPECT_NEAR(m.GetForgAvg(0.0, 10.0, false), 4.5, 1e-9);
    EXPECT_NEAR(m.GetForgAvg(-50.0, 10.0, false), 4.5, 1e-9);
    // The upper bin is limited to N/2.
    EXPECT_NEAR(m.GetForgAvg(4000.0, 1e9, false), (4000.0 + 4095.0) / 2.0, 1e-8);

    auto perDecade = [](int lo, int hi) {
        double sum = 0.0;
        for (int k = lo; k < hi; ++k)
            sum += k * std::log10(1.0 + 1.0 / k);
        return sum / std::log10(static_cast<double>(hi) / lo);
    };
    EXPECT_NEAR(m.GetForgAvg(20.0, 2000.0, true), perDecade(20, 2000), 1e-8);
    // DC carries no decade share: the lowest bin becomes 1.
    EXPECT_NEAR(m.GetForgAvg(0.0, 300.0, true), perDecade(1, 300), 1e-8);

    // A band inside one bin reads that bin; nonsense frequencies read nothing.
    EXPECT_NEAR(m.GetForgAvg(500.1, 500.2, false), 500.0, 1e-9);
    EXPECT_NEAR(m.GetForgAvg(500.1, 500.2, true), 500.0, 1e-9);
    EXPECT_EQ(m.GetForgAvg(NAN, 100.0, false), 1.0);

    Measurement empty("empty");
    EXPECT_EQ(empty.GetForgAvg(20.0, 2000.0, true), 1.0);
}

TEST(MeasurementProcess, ApplyHighpassFollowsTheRaisedCosineTaper) {
    // 3000 samples extend to 4096; at fs = 40960 a bin is 10 Hz: zero below bin 60, 0.5 at
    // bin 80, unchanged from bin 100.
    std::vector<double> raw(3000, 0.0);
    raw[1234] = 1.0;
    Measurement m("hp");
    m.InitializeImpulse(raw.data(), 3000, 1234, 40960, 11, 0, 0, 0, true);
    const double before = m.GetI0()[0];
    m.ApplyHighpass(1000, 400);
    ASSERT_EQ(m.GetDataLength(), 4096);
    EXPECT_EQ(m.GetImpulsePosition(), 1234);
    const double* x = m.GetIData();
    for (int k : {0, 1, 30, 59}) {
        EXPECT_LT(std::abs(NaiveBin(x, 4096, 1234, 4096, k)), 1e-12) << k;
    }
    for (int k : {61, 70, 80, 90, 99}) {
        const double taper = 0.5 * (1.0 + std::cos(PI * (100.0 - k) / 40.0));
        EXPECT_NEAR(std::abs(NaiveBin(x, 4096, 1234, 4096, k)), taper, 1e-12) << k;
    }
    EXPECT_NEAR(std::abs(NaiveBin(x, 4096, 1234, 4096, 80)), 0.5, 1e-12);
    for (int k : {100, 500, 2048}) {
        EXPECT_NEAR(std::abs(NaiveBin(x, 4096, 1234, 4096, k)), 1.0, 1e-12) << k;
        // Zero phase: the taper is real.
        EXPECT_NEAR(std::arg(NaiveBin(x, 4096, 1234, 4096, k)), 0.0, 1e-9) << k;
    }
    // The views follow the new data: the peak lost the removed bins' share.
    EXPECT_LT(m.GetI0()[0], before);
    EXPECT_EQ(m.GetI0()[0], x[1234]);

    Measurement empty("empty");
    empty.ApplyHighpass(100, 50);
    EXPECT_FALSE(empty.IsInitialized());
}

TEST(MeasurementProcess, InvertTwiceRestoresSamplesAndFlag) {
    Measurement m("invert");
    const auto raw = Pulse(4096, 2000.0);
    m.InitializeImpulse(raw.data(), 4096, 2000, 48000, 11, 0, 0, 0, true);
    EXPECT_TRUE(m.Invert());
    EXPECT_TRUE(m.GetInverted());
    EXPECT_EQ(m.GetIData()[2000], -raw[2000]);
    EXPECT_EQ(m.GetAmplitude(), 1.0);
    EXPECT_FALSE(m.Invert());
    for (int i = 0; i < 4096; ++i)
        ASSERT_EQ(m.GetIData()[i], raw[static_cast<std::size_t>(i)]) << i;

    Measurement empty("empty");
    EXPECT_FALSE(empty.Invert());
    EXPECT_FALSE(empty.GetInverted());
}

TEST(MeasurementWindow, FrequencyValidityFollowsTheWindowEnd) {
    Measurement m("validity");
    EXPECT_EQ(m.FrequencyValidityWithWindow(), 1.0);
    m.InitializeDirac(12, 48000, 1.0);
    m.SetImpulseWindowEnd(480);
    EXPECT_EQ(m.FrequencyValidityWithWindow(), 1.0); // window off
    m.SetImpulseWindowEnabled(true);
    EXPECT_DOUBLE_EQ(m.FrequencyValidityWithWindow(), 100.0);
    m.SetImpulseWindowEnd(1);
    EXPECT_DOUBLE_EQ(m.FrequencyValidityWithWindow(), 24000.0);
    m.SetImpulseWindowEnd(-40);
    EXPECT_DOUBLE_EQ(m.FrequencyValidityWithWindow(), 24000.0);
}

TEST(MeasurementWindow, SweepStartsHalfWayToTheSecondHarmonic) {
    std::vector<double> raw(1 << 15, 0.0);
    raw[1 << 14] = 1.0;
    Measurement m("sweep");
    m.InitializeImpulse(raw.data(), 1 << 15, 1 << 14, 48000, 15, 1, 0.2, 0.0, true);
    m.UseSuggestedImpulseWindowEnd();
    // d = floor(0.2 * 48000 * ln 2 + 0.5) = 6654.
    EXPECT_EQ(m.GetImpulseWindowStart(), -3327);

    // A locked start is the user's; a sweep without a usable time constant keeps the start.
    m.SetImpulseWindowStart(-50, true);
    m.SetImpulseWindowLockStart(true);
    m.UseSuggestedImpulseWindowEnd();
    EXPECT_EQ(m.GetImpulseWindowStart(), -50);
    Measurement bad("bad");
    bad.InitializeImpulse(raw.data(), 1 << 15, 1 << 14, 48000, 15, 1, NAN, 0.0, true);
    bad.UseSuggestedImpulseWindowEnd();
    EXPECT_EQ(bad.GetImpulseWindowStart(), -100);
    bad.InitializeImpulse(raw.data(), 1 << 15, 1 << 14, 48000, 15, 1, 1e12, 0.0, true);
    bad.UseSuggestedImpulseWindowEnd();
    EXPECT_EQ(bad.GetImpulseWindowStart(), -100);
}

// The band-limited envelope of e^(-t/tau) sin(2 pi f t) decays as e^(-t/tau) once the band's
// short onset is over, and the end is where its 1 ms moving RMS has fallen 120 dB below its
// peak (the data is noise-free): tau ln(10^6) after the onset, give or take the band kernel's
// main lobe (2 fs / fu samples) and the smoothing length.
TEST(MeasurementWindow, SuggestedEndFollowsTheDecayOfAResonance) {
    const int length = 1 << 16;
    const int zero = 1 << 15;
    int previous = 0;
    for (double tauMs : {2.5, 5.0, 10.0}) {
        const double tau = tauMs * 48.0;
        const auto raw = Resonance(length, zero, tau, 1000.0 / 48000.0);
        Measurement m("resonance");
        m.InitializeImpulse(raw.data(), length, zero, 48000, 16, 0, 0, 0, true);
        const int end = m.SuggestedImpulseWindowEnd(0);
        const double decay = tau * std::log(1e6);
        EXPECT_GE(end, decay - 48.0) << tauMs;
        EXPECT_LE(end, decay + 2.0 * 48000.0 / 1000.0 + 48.0) << tauMs;
        EXPECT_GT(end, previous) << tauMs;
        previous = end;
    }
}

// A flat spectrum puts the upper edge at Nyquist, limited to fu = 5000 Hz. The analytic
// signal of the raised cosine of half-width B = fu/2 around fu has the envelope
// B |sin(pi x) / (pi x (1 - x^2))| with x = 2 B t / fs. The end is where its trailing 1 ms
// moving RMS, evaluated here from that formula, first falls 120 dB below its peak.
TEST(MeasurementWindow, SuggestedEndOfAUnitImpulseIsTheBandKernelsDecay) {
    for (int fs : {48000, 96000}) {
        const double b = 2500.0;
        auto kernel2 = [&](int t) {
            const double x = 2.0 * b * t / fs;
            if (std::fabs(x) < 1e-12)
                return 1.0;
            if (std::fabs(std::fabs(x) - 1.0) < 1e-12)
                return 0.25;
            const double v = std::sin(PI * x) / (PI * x * (1.0 - x * x));
            return v * v;
        };
        const int smooth = fs / 1000;
        std::vector<double> rms;
        for (int t = 0; t < 4 * fs / 100; ++t) {
            double sum = 0.0;
            for (int u = std::max(0, t - smooth + 1); u <= t; ++u)
                sum += kernel2(u);
            rms.push_back(std::sqrt(sum / smooth));
        }
        const auto peakIt = std::max_element(rms.begin(), rms.end());
        int expected = -1;
        for (auto it = peakIt; it != rms.end(); ++it)
            if (*it < *peakIt * 1e-6) {
                expected = static_cast<int>(it - rms.begin());
                break;
            }
        ASSERT_GT(expected, 0);
        for (double value : {1.0, -0.001}) {
            Measurement m("dirac");
            m.InitializeDirac(16, fs, value);
            EXPECT_NEAR(m.SuggestedImpulseWindowEnd(0), expected, 2) << fs << " " << value;
        }
    }
    // Below 1e-5 the spectrum carries no level.
    Measurement faint("faint");
    faint.InitializeDirac(16, 48000, 5e-6);
    EXPECT_EQ(faint.SuggestedImpulseWindowEnd(0), 10);
}

TEST(MeasurementWindow, SuggestedEndStopsAtTheNoiseFloor) {
    // A decay into white noise 60 dB below its start: the end lies where the decay meets the
    // floor plus 10 dB, not 120 dB down.
    const int length = 1 << 16;
    const int zero = 1 << 15;
    const double tau = 240.0;
    auto raw = Resonance(length, zero, tau, 1000.0 / 48000.0);
    std::mt19937 rng(3);
    std::normal_distribution<double> noise(0.0, 1e-3);
    for (double& v : raw)
        v += noise(rng);
    Measurement m("noisy");
    m.InitializeImpulse(raw.data(), length, zero, 48000, 16, 0, 0, 0, true);
    const int end = m.SuggestedImpulseWindowEnd(0);
    EXPECT_GT(end, tau * std::log(10.0));
    EXPECT_LT(end, tau * std::log(1e4));
}

TEST(MeasurementWindow, SuggestedEndIsBoundedAndPositive) {
    const int length = 1 << 16;
    const int zero = 1 << 15;
    const auto raw = Resonance(length, zero, 480.0, 1000.0 / 48000.0);
    Measurement m("bounded");
    m.InitializeImpulse(raw.data(), length, zero, 48000, 16, 0, 0, 0, true);
    const int free = m.SuggestedImpulseWindowEnd(0);
    EXPECT_EQ(m.SuggestedImpulseWindowEnd(-5), free);
    EXPECT_EQ(m.SuggestedImpulseWindowEnd(1000000), free);
    EXPECT_EQ(m.SuggestedImpulseWindowEnd(500), 500);
    EXPECT_EQ(m.SuggestedImpulseWindowEnd(free + 100), free);

    // A response that never decays inside the data ends at the last sample after time zero.
    std::vector<double> ringing(static_cast<std::size_t>(length), 0.0);
    for (int i = 0; i < length; ++i)
        ringing[static_cast<std::size_t>(i)] = std::sin(2.0 * PI * 1000.0 * i / 48000.0);
    m.InitializeImpulse(ringing.data(), length, zero, 48000, 16, 0, 0, 0, true);
    EXPECT_EQ(m.SuggestedImpulseWindowEnd(0), zero - 1);

    Measurement silent("silent");
    std::vector<double> zeros(4096, 0.0);
    silent.InitializeImpulse(zeros.data(), 4096, 2048, 48000, 12, 0, 0, 0, true);
    EXPECT_EQ(silent.SuggestedImpulseWindowEnd(0), 10);
    silent.UseSuggestedImpulseWindowEnd();
    EXPECT_EQ(silent.GetImpulseWindowEnd(), 10);

    // A tiny record whose 50 Hz bin lies beyond Nyquist has no level to measure.
    Measurement tiny("tiny");
    tiny.InitializeDirac(4, 80, 1.0);
    EXPECT_EQ(tiny.SuggestedImpulseWindowEnd(0), 10);
    Measurement coarse("coarse");
    coarse.InitializeDirac(2, 48000, 1.0);
    EXPECT_GE(coarse.SuggestedImpulseWindowEnd(0), 1);
}

TEST(MeasurementWindow, UseSuggestedEndSetsTheWindowEnd) {
    const int length = 1 << 16;
    const int zero = 1 << 15;
    const auto raw = Resonance(length, zero, 960.0, 1500.0 / 48000.0);
    Measurement m("use");
    m.InitializeImpulse(raw.data(), length, zero, 48000, 16, 0, 0, 0, true);
    m.SetImpulseWindowEnabled(true);
    const double* a = m.GetA();
    const double before = a[2048];
    m.UseSuggestedImpulseWindowEnd();
    EXPECT_EQ(m.GetImpulseWindowEnd(), m.SuggestedImpulseWindowEnd(0));
    EXPECT_GT(m.GetImpulseWindowEnd(), 100);
    // The windowed spectrum was recomputed for the longer window.
    EXPECT_NE(m.GetA()[2048], before);

    Measurement empty("empty");
    empty.UseSuggestedImpulseWindowEnd();
    EXPECT_EQ(empty.GetImpulseWindowEnd(), 100);
}

TEST(MeasurementWindow, PostMeasureStandardSettings) {
    const int length = 1 << 16;
    const int zero = 1 << 15;
    const auto raw = Resonance(length, zero, 480.0, 1000.0 / 48000.0);
    Measurement m("post");
    m.InitializeImpulse(raw.data(), length, zero, 48000, 16, 0, 0, 0, true);
    m.SetImpulseWindowStart(-7);
    m.SetImpulseWindowLockStart(true);
    m.SetLowpassEnabled(true);
    m.SetHighpassEnabled(true);
    m.SetSmoothNOct(6.0);
    m.SetSmoothingEnabled(true);
    const int suggested = m.SuggestedImpulseWindowEnd(800);

    m.PostMeasureStandard(-200, 10, 800, 1, true);
    EXPECT_EQ(m.GetImpulseWindowStart(), -200); // even though the start was locked
    EXPECT_TRUE(m.GetImpulseWindowLockStart());
    EXPECT_EQ(m.GetImpulseWindowEnd(), suggested);
    EXPECT_EQ(suggested, 800);
    EXPECT_TRUE(m.GetImpulseWindowEnabled());
    EXPECT_FALSE(m.GetLowpassEnabled());
    EXPECT_FALSE(m.GetHighpassEnabled());
    EXPECT_FALSE(m.GetConfig().GetEnabled(Kedra::Measure::ConfigCtrl::FILTER_ACTIVE));
    EXPECT_EQ(m.GetSmoothNOct(), 3.0);
    EXPECT_FALSE(m.GetSmoothingEnabled());
    EXPECT_EQ(m.GetApplicationId(), 1);

    // The minimum end wins over a shorter suggestion.
    m.PostMeasureStandard(-200, 5000, 800, 4, true);
    EXPECT_EQ(m.GetImpulseWindowEnd(), 5000);
    EXPECT_EQ(m.GetApplicationId(), 4);

    // Without the automatic window the window is left alone.
    m.SetImpulseWindowEnabled(false);
    m.PostMeasureStandard(-300, 20, 0, 2, false);
    EXPECT_EQ(m.GetImpulseWindowStart(), -200);
    EXPECT_EQ(m.GetImpulseWindowEnd(), 5000);
    EXPECT_FALSE(m.GetImpulseWindowEnabled());
    EXPECT_EQ(m.GetApplicationId(), 2);
}

} // namespace
