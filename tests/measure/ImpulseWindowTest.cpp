#include "measure/ImpulseWindow.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using Kedra::Measure::ImpulseWindow;

namespace {

double RaisedCosine(double distanceIntoTaper, double length) {
    return 0.5 * (1.0 + std::cos(M_PI * distanceIntoTaper / length));
}

} // namespace

TEST(ImpulseWindow, SymmetricWindowAroundTimeZero) {
    ImpulseWindow w(-100, 100);
    EXPECT_EQ(w.GetLeftTaper(), 80);
    EXPECT_EQ(w.GetRightTaper(), 80);
    EXPECT_EQ(w.GetLeftZero(), -140);
    EXPECT_EQ(w.GetLeftFlat(), -60);
    EXPECT_EQ(w.GetRightFlat(), 60);
    EXPECT_EQ(w.GetRightZero(), 140);

    EXPECT_NEAR(w.Amplitude(-100.0), 0.5, 1e-12);
    EXPECT_NEAR(w.Amplitude(100.0), 0.5, 1e-12);
    for (double x : {-60.0, -59.5, 0.0, 33.3, 60.0})
        EXPECT_EQ(w.Amplitude(x), 1.0) << x;
    for (double x : {-140.0, -1000.0, 140.0, 140.5, 1e9})
        EXPECT_EQ(w.Amplitude(x), 0.0) << x;
    EXPECT_GT(w.Amplitude(-139.9), 0.0);
    EXPECT_GT(w.Amplitude(139.9), 0.0);
    for (double x = -139.5; x < -60.0; x += 1.25) {
        EXPECT_NEAR(w.Amplitude(x), RaisedCosine(-60.0 - x, 80.0), 1e-12) << x;
        EXPECT_NEAR(w.Amplitude(-x), w.Amplitude(x), 1e-12) << x;
    }
}

TEST(ImpulseWindow, TaperLengthsFromStartAndEnd) {
    ImpulseWindow w(-25, 400);
    EXPECT_EQ(w.GetLeftTaper(), 40);   // 8 * 5
    EXPECT_EQ(w.GetRightTaper(), 160); // 8 * 20
    EXPECT_EQ(w.GetLeftFlat(), -5);
    EXPECT_EQ(w.GetLeftZero(), -45);
    EXPECT_EQ(w.GetRightFlat(), 320);
    EXPECT_EQ(w.GetRightZero(), 480);
    EXPECT_NEAR(w.Amplitude(-25.0), 0.5, 1e-12);
    EXPECT_NEAR(w.Amplitude(400.0), 0.5, 1e-12);
    EXPECT_NEAR(w.Amplitude(360.0), RaisedCosine(40.0, 160.0), 1e-12);

    // round(8 sqrt 3) = round(13.86) = 14, odd taper halves by integer division.
    ImpulseWindow odd(-3, 3);
    EXPECT_EQ(odd.GetLeftTaper(), 14);
    EXPECT_EQ(odd.GetRightTaper(), 3); // 14 limited to the end
    EXPECT_EQ(odd.GetLeftFlat(), 4);
    EXPECT_EQ(odd.GetLeftZero(), -10);
    EXPECT_EQ(odd.GetRightFlat(), 2);
    EXPECT_EQ(odd.GetRightZero(), 5);
}

TEST(ImpulseWindow, WindowAwayFromTimeZero) {
    ImpulseWindow w(10, 400);
    EXPECT_EQ(w.GetLeftTaper(), 118); // round(6 sqrt 390)
    EXPECT_EQ(w.GetRightTaper(), 118);
    EXPECT_EQ(w.GetLeftFlat(), 69);
    EXPECT_EQ(w.GetLeftZero(), -49);
    EXPECT_EQ(w.GetRightFlat(), 341);
    EXPECT_EQ(w.GetRightZero(), 459);
    EXPECT_NEAR(w.Amplitude(10.0), RaisedCosine(59.0, 118.0), 1e-12);
    EXPECT_EQ(w.Amplitude(200.0), 1.0);
    EXPECT_EQ(w.Amplitude(-49.0), 0.0);

    ImpulseWindow before(-400, -10);
    EXPECT_EQ(before.GetLeftTaper(), 118);
    EXPECT_EQ(before.GetRightTaper(), 118);
    EXPECT_EQ(before.Amplitude(-200.0), 1.0);
}

TEST(ImpulseWindow, ShortEndLimitsTheRightTaper) {
    ImpulseWindow w(-100, 1);
    EXPECT_EQ(w.GetLeftTaper(), 80);
    EXPECT_EQ(w.GetRightTaper(), 1);
    EXPECT_EQ(w.GetRightFlat(), 1);
    EXPECT_EQ(w.GetRightZero(), 2);
    EXPECT_EQ(w.Amplitude(1.0), 1.0);
    EXPECT_NEAR(w.Amplitude(1.5), 0.5, 1e-12);
    EXPECT_EQ(w.Amplitude(2.0), 0.0);

    ImpulseWindow hard(-100, 0);
    EXPECT_EQ(hard.GetRightTaper(), 0);
    EXPECT_EQ(hard.Amplitude(-0.5), 1.0);
    EXPECT_EQ(hard.Amplitude(0.0), 0.0);
}

TEST(ImpulseWindow, OverlappingTapersMultiply) {
    // start 10, end 20: L = R = round(6 sqrt 10) = 19, left flat 19 lies right of right flat 11.
    ImpulseWindow w(10, 20);
    ASSERT_EQ(w.GetLeftTaper(), 19);
    ASSERT_EQ(w.GetLeftFlat(), 19);
    ASSERT_EQ(w.GetRightFlat(), 11);
    ASSERT_EQ(w.GetLeftZero(), 0);
    ASSERT_EQ(w.GetRightZero(), 30);
    for (double x : {11.5, 15.0, 18.25}) {
        const double expect = RaisedCosine(19.0 - x, 19.0) * RaisedCosine(x - 11.0, 19.0);
        EXPECT_NEAR(w.Amplitude(x), expect, 1e-12) << x;
        EXPECT_LT(w.Amplitude(x), 1.0);
    }
    EXPECT_NEAR(w.Amplitude(5.0), RaisedCosine(14.0, 19.0), 1e-12);  // left taper only
    EXPECT_NEAR(w.Amplitude(25.0), RaisedCosine(14.0, 19.0), 1e-12); // right taper only
    EXPECT_EQ(w.Amplitude(0.0), 0.0);
    EXPECT_EQ(w.Amplitude(30.0), 0.0);
}

TEST(ImpulseWindow, InvertedWindowPassesNothing) {
    ImpulseWindow w(50, -50);
    EXPECT_EQ(w.GetLeftTaper(), 0);
    EXPECT_EQ(w.GetRightTaper(), 0);
    for (double x = -200.0; x <= 200.0; x += 0.5)
        ASSERT_EQ(w.Amplitude(x), 0.0) << x;
    ImpulseWindow empty(7, 7);
    for (double x : {6.0, 7.0, 7.5})
        EXPECT_EQ(empty.Amplitude(x), 0.0) << x;
}

TEST(ImpulseWindow, ChangesMarkTheShapeStale) {
    ImpulseWindow w;
    EXPECT_EQ(w.GetStart(), -10);
    EXPECT_EQ(w.GetEnd(), 10);
    EXPECT_EQ(w.GetLeftTaper(), 25); // round(8 sqrt 10)
    EXPECT_FALSE(w.SetStart(-10));
    EXPECT_TRUE(w.SetStart(-100));
    EXPECT_TRUE(w.SetEnd(100));
    EXPECT_FALSE(w.SetEnd(100));
    EXPECT_EQ(w.GetLeftTaper(), 80);
    EXPECT_NEAR(w.Amplitude(100.0), 0.5, 1e-12);
    EXPECT_TRUE(w.SetEnd(-200)); // now inverted
    EXPECT_EQ(w.Amplitude(0.0), 0.0);
    EXPECT_TRUE(w.SetEnd(400));
    EXPECT_EQ(w.GetRightTaper(), 160);
    EXPECT_NEAR(w.Amplitude(400.0), 0.5, 1e-12);
    EXPECT_FALSE(w.GetLockStart());
    w.SetLockStart(true);
    EXPECT_TRUE(w.GetLockStart());
}

TEST(ImpulseWindow, ExtremeEdgesAreBoundedWithoutOverflow) {
    Kedra::Measure::ImpulseWindow w(-100, 100);
    EXPECT_TRUE(w.SetStart(std::numeric_limits<int>::min()));
    EXPECT_TRUE(w.SetEnd(std::numeric_limits<int>::max()));
    EXPECT_EQ(w.GetStart(), -(1 << 28));
    EXPECT_EQ(w.GetEnd(), 1 << 28);
    EXPECT_EQ(w.Amplitude(0.0), 1.0);
    EXPECT_LT(w.GetLeftZero(), w.GetLeftFlat());
    EXPECT_GT(w.GetRightZero(), w.GetRightFlat());
}
