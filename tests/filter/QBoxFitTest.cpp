#include "filter/QBoxFit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "filter/QBox.h"

using Kedra::Measure::Measurement;
using Kedra::Measure::QBoxFit;

namespace {

// A zero-phase record whose magnitude at bin k is gain * |closed box(k df)| * dB error.
void FillBox(Measurement& m, double q, double fc, double gain, double noiseDb = 0.0,
             int nHalf = 1 << 15) {
    const int fs = 48000;
    const Kedra::Filter::QBox box(q, fc);
    std::mt19937 random(12345);
    std::uniform_real_distribution<double> noise(-noiseDb, noiseDb);
    std::vector<std::complex<double>> spectrum(static_cast<std::size_t>(nHalf) + 1);
    for (int k = 0; k <= nHalf; ++k) {
        const double err = noiseDb > 0.0 ? std::pow(10.0, 0.05 * noise(random)) : 1.0;
        spectrum[static_cast<std::size_t>(k)] = gain * box.Amplitude(k * 0.5 * fs / nHalf) * err;
    }
    m.InitializeFreq(spectrum.data(), nHalf, fs, nHalf, 0, 0.0, 0.0, true);
    ASSERT_TRUE(m.IsInitialized());
}

} // namespace

TEST(QBoxFit, FindsTheModelItWasMadeFrom) {
    Measurement m("Box");
    FillBox(m, 0.7, 60.0, 0.5);
    double q = 0.0, fc = 0.0, gain = 0.0;
    ASSERT_TRUE(QBoxFit(m, 20.0, 500.0, q, fc, gain));
    EXPECT_NEAR(q, 0.7, 0.01);
    EXPECT_NEAR(fc, 60.0, 0.5);
    EXPECT_NEAR(gain, 0.5, 0.005);

    // Other boxes, away from the coarse grid's points.
    for (auto [tq, tfc] : {std::pair{0.43, 37.0}, std::pair{1.37, 112.0}, std::pair{2.2, 85.0}}) {
        FillBox(m, tq, tfc, 3.0);
        ASSERT_TRUE(QBoxFit(m, 15.0, 600.0, q, fc, gain));
        EXPECT_NEAR(q, tq, 0.01) << tq << " " << tfc;
        EXPECT_NEAR(fc, tfc, 0.5) << tq << " " << tfc;
        EXPECT_NEAR(gain, 3.0, 0.03) << tq << " " << tfc;
    }
}

TEST(QBoxFit, ToleratesHalfADecibelOfNoise) {
    Measurement m("Noisy box");
    FillBox(m, 0.7, 60.0, 0.5, 0.5);
    double q = 0.0, fc = 0.0, gain = 0.0;
    ASSERT_TRUE(QBoxFit(m, 20.0, 500.0, q, fc, gain));
    EXPECT_NEAR(q, 0.7, 0.05);
    EXPECT_NEAR(fc, 60.0, 2.0);
    EXPECT_NEAR(gain, 0.5, 0.025);
}

TEST(QBoxFit, ComparesWithTheViewFiltersApplied) {
    // A high-pass view filter reaching into the range and a low-pass view filter over its
    // top bend what is displayed; the fit must still find the box beneath.
    Measurement m("Filtered box");
    FillBox(m, 0.9, 70.0, 2.0);
    m.SetHighpass(40.0, 30.0);
    m.SetHighpassEnabled(true);
    m.SetLowpass(300.0, 200.0);
    m.SetLowpassEnabled(true);
    double q = 0.0, fc = 0.0, gain = 0.0;
    ASSERT_TRUE(QBoxFit(m, 30.0, 450.0, q, fc, gain));
    EXPECT_NEAR(q, 0.9, 0.01);
    EXPECT_NEAR(fc, 70.0, 0.5);
    EXPECT_NEAR(gain, 2.0, 0.02);
}

TEST(QBoxFit, RefusalsLeaveTheOutputsAlone) {
    double q = 1.1, fc = 33.0, gain = 7.0;
    Measurement empty("Empty");
    EXPECT_FALSE(QBoxFit(empty, 20.0, 500.0, q, fc, gain));

    Measurement m("Box");
    FillBox(m, 0.7, 60.0, 0.5, 0.0, 1 << 12); // 5.86 Hz per bin
    EXPECT_FALSE(QBoxFit(m, 500.0, 20.0, q, fc, gain));
    EXPECT_FALSE(QBoxFit(m, 100.0, 100.0, q, fc, gain));
    EXPECT_FALSE(QBoxFit(m, 100.0, 101.0, q, fc, gain)); // both round to bin 17
    EXPECT_FALSE(QBoxFit(m, -50.0, 1.0, q, fc, gain));   // only DC
    EXPECT_FALSE(QBoxFit(m, 30000.0, 40000.0, q, fc, gain));
    EXPECT_FALSE(QBoxFit(m, std::nan(""), 500.0, q, fc, gain));
    EXPECT_EQ(q, 1.1);
    EXPECT_EQ(fc, 33.0);
    EXPECT_EQ(gain, 7.0);

    // A range starting at 0 Hz skips DC, where the model has no level, and still fits.
    ASSERT_TRUE(QBoxFit(m, 0.0, 500.0, q, fc, gain));
    EXPECT_NEAR(q, 0.7, 0.01);
    EXPECT_NEAR(fc, 60.0, 0.5);
}
