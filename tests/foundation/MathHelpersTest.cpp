#include "foundation/MathHelpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <vector>

using namespace Kedra::Math;
using cd = std::complex<double>;

TEST(MathConstants, DerivedFromArcCosine) {
    EXPECT_EQ(PI, std::acos(-1.0));
    EXPECT_EQ(TWOPI, 2.0 * PI);
    EXPECT_EQ(HALFPI, 0.5 * PI);
    EXPECT_DOUBLE_EQ(SQRT2 * SQRT2, 2.0);
    EXPECT_DOUBLE_EQ(180.0 * DegToRad, PI);
    EXPECT_DOUBLE_EQ(PI * RadToDeg, 180.0);
    EXPECT_FLOAT_EQ(PI_F, 3.14159265f);
    EXPECT_FLOAT_EQ(SQRT2_F, 1.41421356f);
    EXPECT_FLOAT_EQ(DegToRad_F * 90.0f, 1.57079633f);
    EXPECT_FLOAT_EQ(RadToDeg_F, 57.2957795f);
}

TEST(MathHelpers, DecibelFloorsAndRoundTrip) {
    EXPECT_EQ(Log10Safe(0.0), -100000.0);
    EXPECT_EQ(Log10Safe(-3.0), -100000.0);
    EXPECT_DOUBLE_EQ(Log10Safe(1000.0), 3.0);
    EXPECT_EQ(AmplitudeToDB(0.0), -2000000.0);
    EXPECT_EQ(AmplitudeToDB(-1.0), -2000000.0);
    EXPECT_EQ(AmplitudeToDB(0.0f), -2000000.0f);
    EXPECT_EQ(AmplitudeToDB(-1.0f), -2000000.0f);
    EXPECT_DOUBLE_EQ(AmplitudeToDB(10.0), 20.0);
    EXPECT_FLOAT_EQ(AmplitudeToDB(0.1f), -20.0f);
    EXPECT_NEAR(DBToAmplitude(-6.0), 0.501187, 1e-6);
    EXPECT_DOUBLE_EQ(DBToAmplitude(40.0), 100.0);
    for (double x : {1e-9, 0.001, 0.5, 1.0, 3.7, 12345.0})
        EXPECT_NEAR(DBToAmplitude(AmplitudeToDB(x)) / x, 1.0, 1e-12) << x;
}

TEST(MathHelpers, RoundingFloorAndSign) {
    EXPECT_EQ(ToIntRound(2.5), 3);
    EXPECT_EQ(ToIntRound(-2.5), -2);
    EXPECT_EQ(ToIntRound(-2.51), -3);
    EXPECT_EQ(ToIntRound(2.49), 2);
    EXPECT_EQ(ToIntRound(0.0), 0);
    EXPECT_EQ(ToIntFloor(-0.1), -1);
    EXPECT_EQ(ToIntFloor(-1.0), -1);
    EXPECT_EQ(ToIntFloor(1.9999), 1);
    EXPECT_EQ(Sign(-1e-300), -1.0);
    EXPECT_EQ(Sign(0.0), 1.0);
    EXPECT_EQ(Sign(7.0), 1.0);
}

TEST(MathHelpers, Pow10IgnoresNegativeExponentsNegPow10DoesNot) {
    EXPECT_EQ(Pow10(0), 1.0);
    EXPECT_EQ(Pow10(3), 1000.0);
    EXPECT_EQ(Pow10(-3), 1.0);
    EXPECT_EQ(Pow10(-1), 1.0);
    EXPECT_EQ(NegPow10(0), 1.0);
    EXPECT_EQ(NegPow10(2), 100.0);
    EXPECT_DOUBLE_EQ(NegPow10(-3), 0.001);
    for (int n = -20; n <= 20; ++n)
        EXPECT_NEAR(NegPow10(n) / std::pow(10.0, n), 1.0, 1e-14) << n;
}

TEST(MathHelpers, PhaseAndInverse) {
    EXPECT_EQ(Phase(cd(-1.0, 0.0)), PI);
    EXPECT_EQ(Phase(cd(-1.0, -0.0)), PI); // im = 0 counts as not negative
    EXPECT_DOUBLE_EQ(Phase(cd(0.0, -1.0)), -HALFPI);
    EXPECT_EQ(Phase(cd(0.0, 0.0)), 0.0);
    EXPECT_EQ(Phase(cd(5.0, 0.0)), 0.0);
    // Against atan2 over the whole circle and over many magnitudes.
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> ang(-PI, PI);
    std::uniform_real_distribution<double> mag(-30.0, 30.0);
    for (int i = 0; i < 2000; ++i) {
        const cd z = std::polar(std::pow(10.0, mag(rng)), ang(rng));
        const double p = Phase(z);
        ASSERT_GE(p, -PI);
        ASSERT_LE(p, PI);
        ASSERT_NEAR(p, std::atan2(z.imag(), z.real()), 1e-7) << z;
    }
    // Values whose re/|z| rounds beyond 1 must not give NaN.
    EXPECT_EQ(Phase(cd(1e300, 1e-300)), 0.0);
    EXPECT_FALSE(std::isnan(Phase(cd(-0.1, 1e-200))));

    const cd z(3.0, -4.0);
    const cd inv = Inverse(z);
    EXPECT_DOUBLE_EQ(inv.real(), 3.0 / 25.0);
    EXPECT_DOUBLE_EQ(inv.imag(), 4.0 / 25.0);
    const cd one = Inverse(cd(0.0, 0.0));
    EXPECT_FALSE(std::isfinite(one.real()));
}

TEST(MathHelpers, ArrayCircShiftMovesRightWithWrap) {
    auto shifted = [](std::vector<double> v, int shift) {
        ArrayCircShift(v.data(), static_cast<int>(v.size()), shift, false);
        return v;
    };
    const std::vector<double> a{1, 2, 3, 4};
    EXPECT_EQ(shifted(a, 1), (std::vector<double>{4, 1, 2, 3}));
    EXPECT_EQ(shifted(a, -1), (std::vector<double>{2, 3, 4, 1}));
    EXPECT_EQ(shifted(a, 0), a);
    EXPECT_EQ(shifted(a, 4), a);
    EXPECT_EQ(shifted(a, -4), a);
    EXPECT_EQ(shifted(a, 5), shifted(a, 1)); // above n: one turn removed
    EXPECT_EQ(shifted(a, 7), shifted(a, 3));
    EXPECT_EQ(shifted(a, -3), shifted(a, 1));

    // Every legal shift of a longer array against the definition.
    const int n = 11;
    std::vector<double> src(n);
    for (int i = 0; i < n; ++i)
        src[static_cast<std::size_t>(i)] = 100.0 + i;
    for (int shift = -n; shift < 2 * n; ++shift) {
        const auto out = shifted(src, shift);
        const int s = ((shift % n) + n) % n;
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(out[static_cast<std::size_t>((i + s) % n)], src[static_cast<std::size_t>(i)])
                << "shift " << shift << " i " << i;
    }

    std::vector<double> one{9.0};
    ArrayCircShift(one.data(), 1, 1, false);
    EXPECT_EQ(one[0], 9.0);
}

TEST(MathHelpers, ArrayCircShiftCentredWorksAroundTheMiddle) {
    // Guards on both sides catch a write outside a[-n/2] .. a[n - n/2 - 1].
    for (int n : {4, 5}) {
        std::vector<double> buf(static_cast<std::size_t>(n + 2), -1.0);
        for (int i = 0; i < n; ++i)
            buf[static_cast<std::size_t>(i + 1)] = i + 1.0;
        double* centre = buf.data() + 1 + n / 2;
        ArrayCircShift(centre, n, 2, true);
        EXPECT_EQ(buf.front(), -1.0);
        EXPECT_EQ(buf.back(), -1.0);
        for (int i = 0; i < n; ++i)
            EXPECT_EQ(buf[static_cast<std::size_t>(1 + (i + 2) % n)], i + 1.0) << n << " " << i;
    }
}

TEST(MathHelpers, ArrayExtremes) {
    const double d[] = {3.0, -7.0, 7.0, 2.0, -1.0};
    EXPECT_EQ(ArrayMax(d, 5), 7.0);
    EXPECT_EQ(ArrayMin(d, 5), -7.0);
    EXPECT_EQ(ArrayMaxAbs(d, 5), 7.0);
    EXPECT_EQ(ArrayMax(d, 1), 3.0);
    EXPECT_EQ(ArrayMin(d + 1, 1), -7.0);
    EXPECT_EQ(ArrayMaxAbs(d + 1, 2), 7.0);
    EXPECT_EQ(ArrayMax(d, 0), 0.0);
    EXPECT_EQ(ArrayMin(d, -1), 0.0);
    EXPECT_EQ(ArrayMaxAbs(d, 0), 0.0);

    const float f[] = {-2.0f, -1.5f, -3.0f};
    EXPECT_EQ(ArrayMax(f, 3), -1.5f);
    EXPECT_EQ(ArrayMax(f, 1), -2.0f);

    const cd c[] = {{3.0, 4.0}, {0.0, -5.0}, {-1.0, 1.0}, {0.0, 6.0}};
    EXPECT_EQ(ArrayMaxAbs(c, 3), 5.0);
    EXPECT_EQ(ArrayMaxAbs(c, 4), 6.0);
    EXPECT_EQ(ArrayMaxAbs(c, 0), 0.0);

    std::mt19937 rng(3);
    std::normal_distribution<double> g;
    std::vector<double> r(1001);
    for (auto& v : r)
        v = g(rng);
    double mx = r[0], mn = r[0], ma = std::fabs(r[0]);
    for (double v : r) {
        mx = std::max(mx, v);
        mn = std::min(mn, v);
        ma = std::max(ma, std::fabs(v));
    }
    EXPECT_EQ(ArrayMax(r.data(), 1001), mx);
    EXPECT_EQ(ArrayMin(r.data(), 1001), mn);
    EXPECT_EQ(ArrayMaxAbs(r.data(), 1001), ma);
}

TEST(PhaseUnwrapper, WorkedExampleAcrossPi) {
    PhaseUnwrapper u(PI);
    const double first = u.Start(std::polar(1.0, 3.0));
    EXPECT_NEAR(first, 3.0 - TWOPI, 1e-12);
    EXPECT_NEAR(first, -3.283, 1e-3);
    const double second = u.Next(std::polar(1.0, -3.0));
    EXPECT_NEAR(second, -3.0, 1e-12);
    EXPECT_NEAR(second - first, TWOPI - 6.0, 1e-12);

    PhaseUnwrapper v(PI);
    EXPECT_NEAR(v.Start(std::polar(1.0, -0.5)), -0.5, 1e-12); // non-positive start: no offset
    EXPECT_NEAR(v.Next(std::polar(2.0, 3.0)), 3.0 - TWOPI, 1e-12);
}

TEST(PhaseUnwrapper, NextWithoutStartBeginsWithoutOffset) {
    PhaseUnwrapper u;
    EXPECT_NEAR(u.Next(std::polar(1.0, 3.0)), 3.0, 1e-12);
    EXPECT_NEAR(u.Next(std::polar(1.0, -3.0)), TWOPI - 3.0, 1e-12);
}

TEST(PhaseUnwrapper, FollowsALongRampInBothDirections) {
    // A pure delay: phase -w*tau falls steadily over many turns, step 0.9 rad < pi.
    for (double step : {-0.9, 0.9, -2.5}) {
        PhaseUnwrapper u(PI);
        const double phi0 = 0.3;
        double first = u.Start(std::polar(1.0, phi0));
        ASSERT_NEAR(first, phi0 - TWOPI, 1e-12);
        // The curve is the analytic phase shifted by the one start turn.
        for (int k = 1; k < 5000; ++k) {
            const double truth = phi0 + step * k;
            const double got = u.Next(std::polar(1.0 + 0.001 * k, truth));
            ASSERT_NEAR(got, truth - TWOPI, 1e-8) << "step " << step << " k " << k;
        }
    }
}

TEST(PhaseUnwrapper, ThresholdDecidesWhatIsAJump) {
    // With a threshold of pi/2, a fall of 2 rad counts as a wrap.
    PhaseUnwrapper u(HALFPI);
    EXPECT_NEAR(u.Start(std::polar(1.0, -0.5)), -0.5, 1e-12);
    EXPECT_NEAR(u.Next(std::polar(1.0, -2.5)), -2.5 + TWOPI, 1e-12);
    EXPECT_NEAR(u.Next(std::polar(1.0, -0.5)), -0.5, 1e-12);
    EXPECT_EQ(u.GetThreshold(), HALFPI);
    u.SetThreshold(PI);
    EXPECT_EQ(u.GetThreshold(), PI);
    EXPECT_NEAR(u.Next(std::polar(1.0, -2.5)), -2.5, 1e-12);
}
