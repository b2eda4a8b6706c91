// Harmonic distortion rows of synthetic sweep records: harmonic impulses of known spectrum
// placed where a logarithmic sweep puts them, ln(k) time constants before the linear one.

#include "measure/HarmonicDistortion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <vector>

#include "foundation/MathConstants.h"
#include "measure/MeasurementCore.h"

namespace {

using Kedra::Measure::MeasurementCore;
using cd = std::complex<double>;
const double PI = Kedra::Math::PI;

constexpr int P = 16;
constexpr int N = 1 << P;
constexpr int FS = 48000;
// A 2^16 sweep from 10 Hz to 24 kHz: harmonic k lies ln(k) * 8376 samples early.
const double TAU = (static_cast<double>(N) / FS) / std::log(24000.0 / 10.0);

double Db(double power) {
    return 10.0 * std::log10(power);
}

// A record of N samples, time zero at N/2, with short impulses: taps[1] at the linear
// impulse and taps[k] starting at the k-th harmonic's place (rounded to a sample).
class SweepRecord {
public:
    explicit SweepRecord(int length = N, int zero = N / 2) : raw(length, 0.0), zero_(zero) {}
    void Put(int k, const std::vector<double>& taps) {
        const int at = static_cast<int>(std::lround(zero_ - std::log(k) * TAU * FS));
        for (std::size_t i = 0; i < taps.size(); ++i)
            raw[static_cast<std::size_t>(at) + i] += taps[i];
    }
    void AddNoise(double sigma, unsigned seed) {
        std::mt19937 rng(seed);
        std::normal_distribution<double> gauss(0.0, sigma);
        for (double& x : raw)
            x += gauss(rng);
    }
    void Load(MeasurementCore& m, double tau = TAU, int signalType = 1) const {
        m.InitializeImpulse(raw.data(), static_cast<int>(raw.size()), zero_, FS, P, signalType, tau,
                            0.0, true);
    }
    std::vector<double> raw;

private:
    int zero_;
};

// |sum taps[i] e^(-i w i)|^2 at f Hz.
double Power(const std::vector<double>& taps, double f) {
    cd sum = 0.0;
    for (std::size_t i = 0; i < taps.size(); ++i)
        sum += taps[i] * std::polar(1.0, -2.0 * PI * f / FS * static_cast<double>(i));
    return std::norm(sum);
}

TEST(HarmonicDistortion, PulsesReadTheirLevelsUpToTheirNyquistLimit) {
    SweepRecord r;
    r.Put(1, {1.0});
    std::vector<double> level(12, 0.0); // power ratio of harmonic k
    for (int k = 2; k <= 11; ++k) {
        level[static_cast<std::size_t>(k)] = std::pow(10.0, -(30.0 + 5.0 * k) / 10.0);
        r.Put(k, {std::sqrt(level[static_cast<std::size_t>(k)])});
    }
    MeasurementCore m("pulses");
    r.Load(m);
    ASSERT_EQ(m.GetHarmonicCount(), 11);
    ASSERT_EQ(m.GetHDSize(), 12);
    for (double f : {20.0, 100.0, 997.0, 2000.0, 3001.0, 5000.0, 11000.0}) {
        SCOPED_TRACE(f);
        double thd = 0.0;
        for (int k = 2; k <= 11; ++k) {
            const double row = m.GetHDSmoothInterpolated(k, f);
            if (k * f < FS / 2.0) {
                EXPECT_NEAR(row, Db(level[static_cast<std::size_t>(k)]), 0.01) << k;
                thd += level[static_cast<std::size_t>(k)];
            } else {
                EXPECT_EQ(row, -1000.0) << k; // the harmonic lies beyond the Nyquist frequency
            }
        }
        EXPECT_NEAR(m.GetHDSmoothInterpolated(0, f), Db(thd), 0.01);
        // Nothing but the impulses: the noise row sits on its floor.
        EXPECT_EQ(m.GetHDSmoothInterpolated(1, f), Kedra::Measure::HD_FLOOR_DB);
    }
    EXPECT_EQ(m.GetHDSmoothInterpolated(0, 13000.0), -1000.0); // no harmonic below Nyquist
}

TEST(HarmonicDistortion, HarmonicSpectraAreReadAtKTimesTheFundamentalsFrequency) {
    const std::vector<double> h1{1.0, 0.6};
    const std::vector<double> h2{0.01, -0.005};
    const std::vector<double> h3{0.003, 0.0, 0.003};
    SweepRecord r;
    r.Put(1, h1);
    r.Put(2, h2);
    r.Put(3, h3);
    MeasurementCore m("shapes");
    r.Load(m);
    for (double f : {100.0, 300.0, 1000.0, 2000.0, 3000.0, 6000.0}) {
        SCOPED_TRACE(f);
        EXPECT_NEAR(m.GetHDSmoothInterpolated(2, f), Db(Power(h2, 2.0 * f) / Power(h1, f)), 0.05);
        if (3.0 * f < FS / 2.0) {
            EXPECT_NEAR(m.GetHDSmoothInterpolated(3, f), Db(Power(h3, 3.0 * f) / Power(h1, f)),
                        0.1);
        }
        const double thd = Power(h2, 2.0 * f) + (3.0 * f < FS / 2.0 ? Power(h3, 3.0 * f) : 0.0);
        // Harmonics 4 .. 11 are exactly empty and add nothing.
        EXPECT_NEAR(m.GetHDSmoothInterpolated(0, f), Db(thd / Power(h1, f)), 0.1);
    }
}

// On noise alone every harmonic window reads the noise; the noise row says the same level,
// also when the quiet stretch is shorter than a harmonic's window.
TEST(HarmonicDistortion, NoiseRowReadsWhatTheSecondHarmonicReadsOnNoise) {
    for (int zero : {N / 2, static_cast<int>(std::log(3.5) * TAU * FS) + 1}) {
        SCOPED_TRACE(zero);
        SweepRecord r(N, zero);
        r.Put(1, {1.0});
        r.AddNoise(1e-4, 7);
        MeasurementCore m("noise");
        r.Load(m);
        ASSERT_GE(m.GetHDSize(), 4);
        // White noise of variance s^2 through a window w has the expected power
        // s^2 * sum w^2 in every bin; the fundamental is 1.
        Kedra::Measure::HarmonicDistortionInput in;
        in.samples = r.raw.data();
        in.length = N;
        in.impulseAt = zero;
        in.sampleRate = FS;
        in.timeConstant = TAU;
        in.harmonicCount = m.GetHarmonicCount();
        const auto windows = Kedra::Measure::HarmonicWindows(in);
        ASSERT_GE(windows.size(), 3u);
        double energy = 0.0;
        for (int i = windows[2].first; i < windows[2].last; ++i)
            energy += std::pow(windows[2].Amplitude(i), 2.0);
        // Narrow-band estimates scatter by a dB or two; their power mean over many bands
        // does not.
        double noise = 0.0;
        double second = 0.0;
        int points = 0;
        for (double f = 2000.0; f < 11000.0; f *= std::pow(2.0, 1.0 / 48.0), ++points) {
            noise += std::pow(10.0, m.GetHDSmoothInterpolated(1, f) / 10.0);
            second += std::pow(10.0, m.GetHDSmoothInterpolated(2, f) / 10.0);
        }
        EXPECT_NEAR(Db(noise / points), Db(1e-8 * energy), 0.5);
        EXPECT_NEAR(Db(second / points), Db(1e-8 * energy), 0.5);
    }
}

TEST(HarmonicDistortion, ReportsNothingWithoutLogSweepHarmonics) {
    SweepRecord r;
    r.Put(1, {1.0});
    r.Put(2, {0.01});
    MeasurementCore none("none");
    EXPECT_EQ(none.GetHDSize(), -1);
    EXPECT_EQ(none.GetHDSmooth(0), nullptr);
    EXPECT_EQ(none.GetHDSmoothInterpolated(0, 1000.0), -1000.0);

    for (int signalType : {0, 2, 3, 4}) {
        MeasurementCore m("other");
        r.Load(m, TAU, signalType);
        EXPECT_EQ(m.GetHDSize(), -1) << signalType;
        EXPECT_EQ(m.GetHDSmooth(2), nullptr) << signalType;
        EXPECT_EQ(m.GetHDSmoothInterpolated(2, 1000.0), -1000.0) << signalType;
    }
    // Time constants that place no 2nd harmonic in the data, or are no time at all.
    for (double tau : {1e6, 0.0, -TAU, std::numeric_limits<double>::quiet_NaN(),
                       std::numeric_limits<double>::infinity()}) {
        MeasurementCore m("tau");
        r.Load(m, tau);
        EXPECT_EQ(m.GetHDSize(), -1) << tau;
        EXPECT_EQ(m.GetHDSmooth(0), nullptr) << tau;
    }
    // A record that loses its data loses its rows.
    MeasurementCore m("gone");
    r.Load(m);
    ASSERT_NE(m.GetHDSmooth(2), nullptr);
    m.Uninitialize();
    EXPECT_EQ(m.GetHDSize(), -1);
    EXPECT_EQ(m.GetHDSmooth(2), nullptr);
}

TEST(HarmonicDistortion, IndexAndFrequencyOutsideTheRowsGiveNoData) {
    SweepRecord r;
    r.Put(1, {1.0});
    r.Put(2, {0.01});
    MeasurementCore m("range");
    r.Load(m);
    ASSERT_EQ(m.GetHDSize(), 12);
    EXPECT_EQ(m.GetHDSmooth(-1), nullptr);
    EXPECT_EQ(m.GetHDSmooth(12), nullptr);
    ASSERT_NE(m.GetHDSmooth(11), nullptr);
    EXPECT_EQ(m.GetHDSmoothInterpolated(12, 1000.0), -1000.0);
    EXPECT_EQ(m.GetHDSmoothInterpolated(2, -1.0), -1000.0);
    EXPECT_EQ(m.GetHDSmoothInterpolated(2, FS / 2.0 + 1.0), -1000.0);
    EXPECT_EQ(m.GetHDSmoothInterpolated(2, std::numeric_limits<double>::quiet_NaN()), -1000.0);
    EXPECT_NEAR(m.GetHDSmoothInterpolated(2, 1000.0), -40.0, 0.01);
    // Grid: 8192 + 1 points up to fs/2, so point g stands for g * fs / 16384 Hz.
    const float* row = m.GetHDSmooth(2);
    EXPECT_NEAR(row[8192 / 4], -40.0, 0.01); // fs/8 = 6 kHz, 2nd harmonic at 12 kHz
    EXPECT_EQ(row[8192 / 2 + 1], -1000.0f);  // just above fs/4: beyond Nyquist
    // Between the last point with data and the first without there is no level either.
    EXPECT_EQ(m.GetHDSmoothInterpolated(2, (8192 / 2 + 0.5) * FS / 16384.0), -1000.0);
}

TEST(HarmonicDistortion, RowsAreComputedOnRequestAndAgainOnlyAfterADataChange) {
    SweepRecord r;
    r.Put(1, {1.0});
    r.Put(2, {0.01});
    MeasurementCore m("lazy");
    r.Load(m);
    EXPECT_EQ(m.GetHDSize(), 12);
    EXPECT_EQ(m.GetRecomputeCounts().hd, 0);
    EXPECT_NEAR(m.GetHDSmoothInterpolated(2, 1000.0), -40.0, 0.01);
    EXPECT_EQ(m.GetRecomputeCounts().hd, 1);
    m.GetHDSmooth(0);
    m.GetHDSmoothInterpolated(5, 300.0);
    // View settings leave the data, and so the rows, alone.
    m.SetImpulseWindowEnabled(true);
    m.SetImpulseWindowEnd(3000);
    m.SetSmoothingEnabled(true);
    m.SetLowpassEnabled(true);
    m.GetA();
    m.GetHDSmooth(2);
    EXPECT_EQ(m.GetRecomputeCounts().hd, 1);

    // A gain changes the data but not the ratios.
    m.Amplify(3.0);
    EXPECT_EQ(m.GetRecomputeCounts().hd, 1);
    EXPECT_NEAR(m.GetHDSmoothInterpolated(2, 1000.0), -40.0, 0.01);
    EXPECT_EQ(m.GetRecomputeCounts().hd, 2);

    // Written data is read anew: the 2nd harmonic is now 0.05 of the (amplified) fundamental.
    const int at2 = static_cast<int>(std::lround(N / 2 - std::log(2.0) * TAU * FS));
    m.GetIBaseWriteable()[at2] = 3.0 * 0.05;
    EXPECT_NEAR(m.GetHDSmoothInterpolated(2, 1000.0), 20.0 * std::log10(0.05), 0.01);
    EXPECT_EQ(m.GetRecomputeCounts().hd, 3);

    // Moving time zero moves where the harmonics are looked for.
    m.Offset(4000.0);
    EXPECT_LT(m.GetHDSmoothInterpolated(2, 1000.0), -200.0);
    EXPECT_EQ(m.GetRecomputeCounts().hd, 4);
    m.OffsetAbsolute(0.0);
    EXPECT_NEAR(m.GetHDSmoothInterpolated(2, 1000.0), 20.0 * std::log10(0.05), 0.01);
    EXPECT_EQ(m.GetRecomputeCounts().hd, 5);

    // New data altogether.
    r.Load(m);
    EXPECT_NEAR(m.GetHDSmoothInterpolated(2, 1000.0), -40.0, 0.01);
    EXPECT_EQ(m.GetRecomputeCounts().hd, 6);
    m.GetF0Writeable();
    m.F0Written();
    EXPECT_NEAR(m.GetHDSmoothInterpolated(2, 1000.0), -40.0, 0.01);
    EXPECT_EQ(m.GetRecomputeCounts().hd, 7);
}

TEST(HarmonicDistortion, DegenerateRecordsGiveEmptyRowsNotACrash) {
    // A time constant of a fraction of a sample: every harmonic sits on the linear impulse.
    {
        SweepRecord r;
        r.Put(1, {1.0});
        MeasurementCore m("steep");
        r.Load(m, 1e-6);
        ASSERT_EQ(m.GetHDSize(), 12);
        const float* thd = m.GetHDSmooth(0);
        ASSERT_NE(thd, nullptr);
        for (int g = 0; g <= MeasurementCore::HD_GRID; g += 97)
            EXPECT_EQ(thd[g], -1000.0f);
    }
    // Time zero moved far outside the data.
    {
        SweepRecord r;
        r.Put(1, {1.0});
        MeasurementCore m("away");
        r.Load(m);
        m.OffsetAbsolute(-1e7);
        ASSERT_EQ(m.GetHDSize(), 12);
        EXPECT_EQ(m.GetHDSmoothInterpolated(2, 1000.0), -1000.0);
        m.OffsetAbsolute(1e7);
        EXPECT_EQ(m.GetHDSmoothInterpolated(2, 1000.0), -1000.0);
    }
    // A few samples only.
    {
        const std::vector<double> tiny{0.0, 0.0, 1.0, 0.0};
        MeasurementCore m("tiny");
        m.InitializeImpulse(tiny.data(), 4, 2, FS, 2, 1, 1e-5, 0.0, true);
        ASSERT_GE(m.GetHDSize(), 3);
        EXPECT_EQ(m.GetHDSmoothInterpolated(2, 1000.0), -1000.0);
    }
    // The function itself refuses what it cannot use.
    std::vector<Mem::Array<float>> rows(3);
    Kedra::Measure::HarmonicDistortionInput in;
    EXPECT_FALSE(Kedra::Measure::ComputeHarmonicDistortion(in, 8192, rows));
    EXPECT_TRUE(rows.empty());
    const std::vector<double> one(1024, 0.0);
    in.samples = one.data();
    in.length = 1024;
    in.impulseAt = 900.0;
    in.sampleRate = FS;
    in.timeConstant = 0.001;
    in.harmonicCount = 3;
    EXPECT_FALSE(Kedra::Measure::ComputeHarmonicDistortion(in, 0, rows));
    EXPECT_TRUE(Kedra::Measure::ComputeHarmonicDistortion(in, 16, rows));
    EXPECT_EQ(rows.size(), 4u);
    in.impulseAt = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(Kedra::Measure::ComputeHarmonicDistortion(in, 16, rows));
}

} // namespace
