#include "measure/SmoothingImpulseWindow.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using Kedra::Measure::SmoothingImpulseWindow;

namespace {

// Half-gain distance fs / (2 B) of a 1/n-octave band around f, B = f (2^(1/2n) - 2^(-1/2n)).
double HalfGainDistance(double nOct, double fs, double f) {
    return fs / (2.0 * f * (std::exp2(0.5 / nOct) - std::exp2(-0.5 / nOct)));
}

} // namespace

TEST(SmoothingImpulseWindow, ThirdOctaveAtOneKilohertz) {
    SmoothingImpulseWindow w(3.0, 48000, 1000.0);
    EXPECT_NEAR(HalfGainDistance(3.0, 48000.0, 1000.0), 103.6, 0.05);
    EXPECT_NEAR(w.GetMiddle(), HalfGainDistance(3.0, 48000.0, 1000.0), 1e-4);
    EXPECT_NEAR(w.Amplitude(w.GetMiddle()), 0.5, 1e-6);
    EXPECT_NEAR(w.Amplitude(-w.GetMiddle()), 0.5, 1e-6);
    EXPECT_NEAR(w.Amplitude(0.0), 1.0, 1e-15);
    EXPECT_EQ(w.GetNOct(), 3.0);
    EXPECT_EQ(w.GetSamplerate(), 48000);
    EXPECT_EQ(w.GetFrequency(), 1000.0);
}

TEST(SmoothingImpulseWindow, BlackmanShapeSymmetricAndZeroFromTheHalfWidth) {
    SmoothingImpulseWindow w(6.0, 44100, 250.0);
    const double h = w.GetHalfWidth();
    ASSERT_GT(h, 0.0);
    EXPECT_EQ(w.Amplitude(h), 0.0);
    EXPECT_EQ(w.Amplitude(-h), 0.0);
    EXPECT_EQ(w.Amplitude(1.5 * h), 0.0);
    EXPECT_EQ(w.Amplitude(-1e12), 0.0);
    // Just inside the edge the Blackman shape is practically zero, not a step.
    EXPECT_LT(w.Amplitude(std::nextafter(h, 0.0)), 1e-12);
    double previous = 1.0;
    for (int i = 0; i <= 200; ++i) {
        const double x = h * i / 200.0 * 0.999;
        const double u = x / h;
        const double blackman = 0.42 + 0.5 * std::cos(M_PI * u) + 0.08 * std::cos(2.0 * M_PI * u);
        const double a = w.Amplitude(x);
        ASSERT_NEAR(a, blackman, 1e-12) << x;
        ASSERT_EQ(a, w.Amplitude(-x)) << x;
        ASSERT_LE(a, previous + 1e-15) << x; // falls monotonically from the centre
        previous = a;
    }
}

TEST(SmoothingImpulseWindow, FrequencyMovesTheWindow) {
    SmoothingImpulseWindow w(3.0, 48000, 1000.0);
    const double middle1k = w.GetMiddle();
    w.SetFrequency(100.0);
    EXPECT_EQ(w.GetFrequency(), 100.0);
    EXPECT_NEAR(w.GetMiddle(), 10.0 * middle1k, 1e-9);
    EXPECT_NEAR(w.Amplitude(w.GetMiddle()), 0.5, 1e-6);
    EXPECT_NEAR(w.GetMiddle(), HalfGainDistance(3.0, 48000.0, 100.0), 1e-3);
    // A wider band (1/1 octave) gives a shorter window.
    SmoothingImpulseWindow octave(1.0, 48000, 1000.0);
    EXPECT_NEAR(octave.GetMiddle(), HalfGainDistance(1.0, 48000.0, 1000.0), 1e-4);
    EXPECT_LT(octave.GetMiddle(), middle1k);
}

TEST(SmoothingImpulseWindow, ImpossibleSettingsGiveAnEmptyWindow) {
    for (const auto& w :
         {SmoothingImpulseWindow(3.0, 48000, 0.0), SmoothingImpulseWindow(3.0, 48000, -50.0),
          SmoothingImpulseWindow(0.0, 48000, 1000.0), SmoothingImpulseWindow(-3.0, 48000, 1000.0),
          SmoothingImpulseWindow(3.0, 0, 1000.0),
          SmoothingImpulseWindow(3.0, 48000, std::numeric_limits<double>::quiet_NaN())}) {
        EXPECT_EQ(w.GetHalfWidth(), 0.0);
        EXPECT_EQ(w.GetMiddle(), 0.0);
        EXPECT_EQ(w.Amplitude(0.0), 0.0);
        EXPECT_EQ(w.Amplitude(10.0), 0.0);
    }
    SmoothingImpulseWindow w(3.0, 48000, 0.0);
    w.SetFrequency(1000.0);
    EXPECT_NEAR(w.GetMiddle(), HalfGainDistance(3.0, 48000.0, 1000.0), 1e-4);
}
