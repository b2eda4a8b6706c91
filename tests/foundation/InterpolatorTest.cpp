#include "foundation/Interpolator.h"
#include "foundation/MathHelpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

using namespace Kedra::Math;
using cd = std::complex<double>;

namespace {

// Solves A x = b (row-major, n x n) by Gaussian elimination with partial pivoting.
std::vector<double> SolveDense(std::vector<double> a, std::vector<double> b) {
    const std::size_t n = b.size();
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t piv = c;
        for (std::size_t r = c + 1; r < n; ++r)
            if (std::fabs(a[r * n + c]) > std::fabs(a[piv * n + c]))
                piv = r;
        for (std::size_t k = 0; k < n; ++k)
            std::swap(a[c * n + k], a[piv * n + k]);
        std::swap(b[c], b[piv]);
        for (std::size_t r = c + 1; r < n; ++r) {
            const double f = a[r * n + c] / a[c * n + c];
            for (std::size_t k = c; k < n; ++k)
                a[r * n + k] -= f * a[c * n + k];
            b[r] -= f * b[c];
        }
    }
    std::vector<double> x(n);
    for (std::size_t i = n; i-- > 0;) {
        double s = b[i];
        for (std::size_t k = i + 1; k < n; ++k)
            s -= a[i * n + k] * x[k];
        x[i] = s / a[i * n + i];
    }
    return x;
}

// The natural cubic spline through (i, y[i]) as m - 1 polynomials
// y[j] + b (x - j) + c (x - j)^2 + d (x - j)^3, found from the full set of conditions:
// interpolation at both ends of each piece, equal first and second derivatives at the inner
// knots, zero second derivative at both ends.
struct PiecewiseCubic {
    std::vector<double> y, b, c, d;
    double operator()(double x) const {
        const int j = std::min(static_cast<int>(std::floor(x)), static_cast<int>(b.size()) - 1);
        const double t = x - j;
        const auto u = static_cast<std::size_t>(j);
        return y[u] + t * (b[u] + t * (c[u] + t * d[u]));
    }
};

PiecewiseCubic NaturalSplineTruth(const std::vector<double>& y) {
    const std::size_t pieces = y.size() - 1;
    const std::size_t n = 3 * pieces; // unknowns b, c, d per piece
    std::vector<double> a(n * n, 0.0), rhs(n, 0.0);
    std::size_t row = 0;
    auto at = [&](std::size_t r, std::size_t col) -> double& { return a[r * n + col]; };
    for (std::size_t j = 0; j < pieces; ++j) { // reaches y[j + 1] at t = 1
        at(row, 3 * j) = 1.0;
        at(row, 3 * j + 1) = 1.0;
        at(row, 3 * j + 2) = 1.0;
        rhs[row++] = y[j + 1] - y[j];
    }
    for (std::size_t j = 0; j + 1 < pieces; ++j) { // slope and curvature continue
        at(row, 3 * j) = 1.0;
        at(row, 3 * j + 1) = 2.0;
        at(row, 3 * j + 2) = 3.0;
        at(row++, 3 * (j + 1)) = -1.0;
        at(row, 3 * j + 1) = 2.0;
        at(row, 3 * j + 2) = 6.0;
        at(row++, 3 * (j + 1) + 1) = -2.0;
    }
    at(row++, 1) = 2.0; // natural start
    at(row, 3 * (pieces - 1) + 1) = 2.0;
    at(row++, 3 * (pieces - 1) + 2) = 6.0; // natural end
    const auto x = SolveDense(a, rhs);
    PiecewiseCubic p;
    p.y = y;
    for (std::size_t j = 0; j < pieces; ++j) {
        p.b.push_back(x[3 * j]);
        p.c.push_back(x[3 * j + 1]);
        p.d.push_back(x[3 * j + 2]);
    }
    return p;
}

} // namespace

TEST(Interpolator, BaseClassesGiveZeroBetweenSamples) {
    const double s[] = {1.0, 2.0, 3.0};
    Interpolator<double> r;
    EXPECT_EQ(r.Value(1.0), 0.0); // no samples yet
    r.SetSamples(3, s);
    EXPECT_EQ(r.Count(), 3);
    EXPECT_EQ(r.Value(1.0), 2.0);
    EXPECT_EQ(r.Value(1.5), 0.0);

    const cd z[] = {{1.0, 1.0}, {2.0, -2.0}};
    Interpolator<cd> c;
    c.SetSamples(2, z);
    EXPECT_EQ(c.Value(1.0), z[1]);
    EXPECT_EQ(c.Value(0.5), cd(0.0, 0.0));

    const double a[] = {0.0, 10.0, 30.0};
    InterpolatorNonEq<double> nr;
    EXPECT_EQ(nr.Value(10.0), 0.0);
    nr.SetSamples(3, s, a);
    EXPECT_EQ(nr.Value(10.0), 2.0);
    EXPECT_EQ(nr.Value(20.0), 0.0);
    const cd z3[] = {{1.0, 0.0}, {0.0, 1.0}, {-1.0, 0.0}};
    InterpolatorNonEq<cd> nc;
    nc.SetSamples(3, z3, a);
    EXPECT_EQ(nc.Value(30.0), z3[2]);
    EXPECT_EQ(nc.Value(5.0), cd(0.0, 0.0));
}

TEST(InterpolatorLinear, BetweenAtAndOutsideTheSamples) {
    const double s[] = {0.0, 10.0};
    InterpolatorLinear<double> lin;
    lin.SetSamples(0, 1, s);
    EXPECT_DOUBLE_EQ(lin.Value(0.25), 2.5);
    EXPECT_EQ(lin.Value(1.0), 10.0);
    EXPECT_EQ(lin.Value(1.5), 0.0);
    EXPECT_EQ(lin.Value(-0.5), 0.0);
    lin.SetZeroOutside(false);
    EXPECT_FALSE(lin.GetZeroOutside());
    EXPECT_EQ(lin.Value(1.5), 10.0);
    EXPECT_EQ(lin.Value(-0.5), 0.0);
    EXPECT_EQ(lin.Value(1e9), 10.0);
    lin.SetZeroOutside(true);
    EXPECT_EQ(lin.Value(1.5), 0.0);
}

TEST(InterpolatorLinear, RangeAddressedFromACentredArray) {
    // Samples k = -4 .. 5 of 3k - 1, addressed through a pointer to k = 0.
    std::vector<double> buf(10);
    for (int k = -4; k <= 5; ++k)
        buf[static_cast<std::size_t>(k + 4)] = 3.0 * k - 1.0;
    const double* centre = buf.data() + 4;
    InterpolatorLinear<double> lin;
    lin.SetSamples(-4, 5, centre);
    EXPECT_EQ(lin.First(), -4);
    EXPECT_EQ(lin.Last(), 5);
    EXPECT_EQ(lin.Count(), 10);
    for (double x = -4.0; x <= 5.0; x += 0.125)
        EXPECT_NEAR(lin.Value(x), 3.0 * x - 1.0, 1e-12) << x;
    EXPECT_EQ(lin.Value(-4.01), 0.0);
    lin.SetZeroOutside(false);
    EXPECT_EQ(lin.Value(-100.0), -13.0);
    EXPECT_EQ(lin.Value(5.5), 14.0);
}

TEST(InterpolatorCubicSpline, ReproducesAStraightLineExactly) {
    std::vector<double> s(12);
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = -2.0 + 0.75 * static_cast<double>(i);
    InterpolatorCubicSpline sp;
    sp.SetSamples(static_cast<int>(s.size()), s.data());
    for (double x = 0.0; x <= 11.0; x += 0.03)
        EXPECT_NEAR(sp.Value(x), -2.0 + 0.75 * x, 1e-12) << x;
}

TEST(InterpolatorCubicSpline, MatchesAnIndependentlySolvedNaturalSpline) {
    // Three points by hand: the middle curvature is -3, so S(0.5) = 0.5 + 1.125/6.
    const double tri[] = {0.0, 1.0, 0.0};
    InterpolatorCubicSpline small;
    small.SetSamples(3, tri);
    EXPECT_NEAR(small.Value(0.5), 0.6875, 1e-14);
    EXPECT_NEAR(small.Value(1.5), 0.6875, 1e-14);

    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(-5.0, 5.0);
    for (int m : {2, 4, 7, 15}) {
        std::vector<double> y(static_cast<std::size_t>(m));
        for (auto& v : y)
            v = u(rng);
        const auto truth = NaturalSplineTruth(y);
        InterpolatorCubicSpline sp;
        sp.SetSamples(m, y.data());
        for (double x = 0.0; x <= m - 1.0; x += 0.0625)
            ASSERT_NEAR(sp.Value(x), truth(x), 1e-11) << "m " << m << " x " << x;
    }
}

TEST(InterpolatorCubicSpline, NegativeFirstIndexAndRangeChange) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> y(9);
    for (auto& v : y)
        v = u(rng);
    const auto truth = NaturalSplineTruth(y);
    // The same nine values at k = -4 .. 4.
    InterpolatorCubicSpline sp;
    sp.SetSamples(-4, 4, y.data() + 4);
    for (double x = -4.0; x <= 4.0; x += 0.1)
        ASSERT_NEAR(sp.Value(x), truth(x + 4.0), 1e-11) << x;

    // A shorter range over the same array: coefficients must be rebuilt for five points.
    const std::vector<double> head(y.begin(), y.begin() + 5);
    const auto truth5 = NaturalSplineTruth(head);
    sp.SetSamples(-4, 0, y.data() + 4);
    EXPECT_EQ(sp.Count(), 5);
    for (double x = -4.0; x <= 0.0; x += 0.1)
        ASSERT_NEAR(sp.Value(x), truth5(x + 4.0), 1e-11) << x;
    EXPECT_EQ(sp.Value(0.5), 0.0);
    sp.SetZeroOutside(false);
    EXPECT_EQ(sp.Value(0.5), y[4]);
    EXPECT_EQ(sp.Value(-7.0), y[0]);
}

TEST(InterpolatorCubicSpline, ResettingSamplesAndReleasingRecomputes) {
    std::vector<double> y{0.0, 1.0, 0.0, 1.0, 0.0};
    InterpolatorCubicSpline sp;
    sp.SetSamples(5, y.data());
    const double before = sp.Value(1.5);
    EXPECT_NEAR(before, NaturalSplineTruth(y)(1.5), 1e-12);
    y = {0.0, 2.0, 4.0, -1.0, 3.0};
    sp.SetSamples(5, y.data());
    EXPECT_NEAR(sp.Value(1.5), NaturalSplineTruth(y)(1.5), 1e-12);
    EXPECT_NE(sp.Value(1.5), before);
    // Coefficients freed by hand are rebuilt on the next request.
    sp.Release();
    EXPECT_NEAR(sp.Value(2.5), NaturalSplineTruth(y)(2.5), 1e-12);
}

TEST(InterpolatorPolar, PhaseThroughPiWithAndWithoutUnwrap) {
    const cd z[] = {std::polar(1.0, 3.0), std::polar(1.0, -3.0)};
    InterpolatorLinearPolar lp;
    EXPECT_TRUE(lp.GetUnwrap());
    lp.SetSamples(2, z);
    const cd mid = lp.Value(0.5);
    EXPECT_NEAR(std::abs(mid), 1.0, 1e-12);
    EXPECT_NEAR(std::fabs(std::arg(mid)), PI, 1e-12);
    EXPECT_EQ(lp.Value(1.0), z[1]);
    lp.SetUnwrap(false);
    const cd direct = lp.Value(0.5);
    EXPECT_NEAR(direct.real(), 1.0, 1e-12);
    EXPECT_NEAR(direct.imag(), 0.0, 1e-12);

    InterpolatorCubicPolar cp;
    cp.SetSamples(2, z);
    EXPECT_NEAR(cp.Value(0.5).real(), -1.0, 1e-12);
    cp.SetUnwrap(false);
    EXPECT_NEAR(cp.Value(0.5).real(), 1.0, 1e-12);
}

TEST(InterpolatorPolar, DelayWithLinearMagnitudeIsExactOverANegativeRange) {
    // r(x) = 2 + 0.1 x, phi(x) = 0.2 - 0.7 (x - first): both inner curves are straight lines,
    // which linear and spline interpolation reproduce, so the value is known everywhere.
    const int first = -6, last = 30;
    std::vector<cd> buf(static_cast<std::size_t>(last - first + 1));
    auto truth = [&](double x) { return std::polar(2.0 + 0.1 * x, 0.2 - 0.7 * (x - first)); };
    for (int k = first; k <= last; ++k)
        buf[static_cast<std::size_t>(k - first)] = truth(k);
    const cd* centre = buf.data() - first;

    InterpolatorLinearPolar lp;
    InterpolatorCubicPolar cp;
    lp.SetSamples(first, last, centre);
    cp.SetSamples(first, last, centre);
    for (double x = first; x <= last; x += 0.37) {
        ASSERT_NEAR(std::abs(lp.Value(x) - truth(x)), 0.0, 1e-10) << x;
        ASSERT_NEAR(std::abs(cp.Value(x) - truth(x)), 0.0, 1e-10) << x;
    }
    EXPECT_EQ(lp.Value(last + 0.5), cd(0.0, 0.0));
    lp.SetZeroOutside(false);
    EXPECT_EQ(lp.Value(last + 0.5), buf.back());
    EXPECT_EQ(lp.Value(first - 3.0), buf.front());
}

TEST(InterpolatorPolar, PositiveFirstIndexAndEmptyRange) {
    // Samples 5 .. 9 of a longer array: only those may be read.
    std::vector<cd> z(10, cd(100.0, 0.0));
    for (int k = 5; k < 10; ++k)
        z[static_cast<std::size_t>(k)] = std::polar(1.0 + k, 0.1 * k);
    InterpolatorLinearPolar lp;
    lp.SetSamples(5, 9, z.data());
    EXPECT_NEAR(std::abs(lp.Value(6.5)), 7.5, 1e-12);
    EXPECT_NEAR(std::arg(lp.Value(6.5)), 0.65, 1e-12);
    EXPECT_EQ(lp.Value(4.5), cd(0.0, 0.0));

    // A range with last before first holds nothing, whatever the outside rule.
    lp.SetSamples(5, 4, z.data());
    lp.SetZeroOutside(false);
    EXPECT_EQ(lp.Value(5.0), cd(0.0, 0.0));
    EXPECT_EQ(lp.Value(3.0), cd(0.0, 0.0));
}

TEST(InterpolatorPolar, UnwrapThresholdIsHonoured) {
    // Phase steps of 2 rad: with the default threshold they are followed, with a threshold
    // of 1.5 rad every step counts as a wrap and the midpoint turns the other way.
    const cd z[] = {std::polar(1.0, 0.0), std::polar(1.0, 2.0)};
    InterpolatorLinearPolar lp;
    lp.SetSamples(2, z);
    EXPECT_NEAR(std::arg(lp.Value(0.5)), 1.0, 1e-12);
    lp.SetUnwrapThreshold(1.5);
    EXPECT_NEAR(std::arg(lp.Value(0.5)), 1.0 - PI, 1e-12);
}

TEST(InterpolatorPolar, ChangedSamplesRangesAndReleaseAreSeen) {
    std::vector<cd> z{{1.0, 0.0}, {0.0, 2.0}, {-3.0, 0.0}, {0.0, -4.0}};
    InterpolatorLinearPolar lp;
    lp.SetSamples(4, z.data());
    const cd before = lp.Value(0.5);
    EXPECT_NEAR(std::abs(before), 1.5, 1e-12);
    z[1] = {0.0, 5.0};
    lp.SetSamples(4, z.data());
    EXPECT_NEAR(std::abs(lp.Value(0.5)), 3.0, 1e-12);
    EXPECT_NEAR(std::arg(lp.Value(0.5)), PI / 4.0, 1e-12);

    // A longer range after a shorter one: magnitude and phase arrays must grow.
    std::vector<cd> longer(40);
    for (std::size_t k = 0; k < longer.size(); ++k)
        longer[k] = std::polar(1.0 + static_cast<double>(k), 0.5 * static_cast<double>(k));
    lp.SetSamples(40, longer.data());
    EXPECT_NEAR(std::abs(lp.Value(38.5)), 39.5, 1e-12);
    lp.SetSamples(2, 4, longer.data());
    EXPECT_NEAR(std::abs(lp.Value(3.5)), 4.5, 1e-12);
    EXPECT_EQ(lp.Value(1.5), cd(0.0, 0.0));

    lp.Release();
    EXPECT_NEAR(std::abs(lp.Value(2.5)), 3.5, 1e-12);
    EXPECT_NEAR(std::arg(lp.Value(2.5)), 1.25, 1e-12);
}

TEST(InterpolatorNonEq, BinarySearchAgreesWithALinearScan) {
    std::mt19937 rng(1234);
    std::uniform_real_distribution<double> gap(1e-3, 5.0);
    std::uniform_real_distribution<double> val(-10.0, 10.0);
    for (int n : {2, 3, 17, 1000}) {
        std::vector<double> a(static_cast<std::size_t>(n)), s(static_cast<std::size_t>(n));
        double x = -40.0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            x += gap(rng);
            a[i] = x;
            s[i] = val(rng);
        }
        InterpolatorNonEqLinear lin;
        lin.SetSamples(n, s.data(), a.data());
        EXPECT_EQ(lin.Count(), n);
        for (std::size_t i = 0; i < a.size(); ++i)
            ASSERT_EQ(lin.Value(a[i]), s[i]) << "n " << n << " i " << i;
        std::uniform_real_distribution<double> where(a.front(), a.back());
        for (int t = 0; t < 3000; ++t) {
            const double q = where(rng);
            std::size_t j = 0;
            while (j + 2 < a.size() && a[j + 1] <= q)
                ++j;
            const double expect = s[j] + (s[j + 1] - s[j]) * (q - a[j]) / (a[j + 1] - a[j]);
            ASSERT_NEAR(lin.Value(q), expect, 1e-9) << "n " << n << " q " << q;
        }
        EXPECT_EQ(lin.Value(a.front() - 1.0), 0.0);
        EXPECT_EQ(lin.Value(a.back() + 1e-9), 0.0);
        lin.SetZeroOutside(false);
        EXPECT_EQ(lin.Value(a.front() - 1.0), s.front());
        EXPECT_EQ(lin.Value(a.back() + 1.0), s.back());
    }
}

TEST(InterpolatorNonEq, SingleSampleMissingArraysAndResetSamples) {
    const double one = 4.0, at = 2.0;
    InterpolatorNonEqLinear lin;
    lin.SetSamples(1, &one, &at);
    EXPECT_EQ(lin.Value(2.0), 4.0);
    EXPECT_EQ(lin.Value(2.5), 0.0);
    lin.SetSamples(1, &one, nullptr);
    EXPECT_EQ(lin.Value(2.0), 0.0);

    std::vector<double> a{1.0, 2.0, 4.0}, s{0.0, 1.0, 5.0};
    lin.SetSamples(3, s.data(), a.data());
    EXPECT_DOUBLE_EQ(lin.Value(3.0), 3.0);
    s[2] = 9.0;
    lin.SetSamples(3, s.data(), a.data());
    EXPECT_DOUBLE_EQ(lin.Value(3.0), 5.0);
}

TEST(InterpolatorNonEqPolar, UnwrapsAlongRandomAbscissas) {
    // Magnitude and phase linear in x: exact under linear polar interpolation once the raw
    // phases (wrapped into -pi .. pi) are unwrapped again. A falling and a rising phase use
    // both directions of the wrap; each step turns by less than pi.
    std::mt19937 rng(99);
    std::uniform_real_distribution<double> gap(0.1, 1.0);
    const int n = 300;
    std::vector<double> a(n);
    std::vector<cd> z(n);
    double x = 100.0;
    for (int i = 0; i < n; ++i) {
        x += gap(rng);
        a[static_cast<std::size_t>(i)] = x;
    }
    const double phi0 = 2.5;
    InterpolatorNonEqLinearPolar p;
    for (double slope : {-2.9, 2.9}) { // rad per unit of x
        auto truth = [&](double q) {
            return std::polar(1.0 + 0.01 * q, phi0 + slope * (q - a[0]));
        };
        for (std::size_t i = 0; i < a.size(); ++i)
            z[i] = truth(a[i]);
        p.SetSamples(n, z.data(), a.data());
        std::uniform_real_distribution<double> where(a.front(), a.back());
        for (int t = 0; t < 2000; ++t) {
            const double q = where(rng);
            ASSERT_NEAR(std::abs(p.Value(q) - truth(q)), 0.0, 1e-9) << slope << " " << q;
        }
    }
    EXPECT_EQ(p.Value(a[7]), z[7]);

    // The pair e^(3i), e^(-3i) through pi, on uneven abscissas; then changed samples are picked up.
    const double a2[] = {10.0, 30.0};
    std::vector<cd> z2{std::polar(2.0, 3.0), std::polar(2.0, -3.0)};
    p.SetSamples(2, z2.data(), a2);
    EXPECT_NEAR(p.Value(20.0).real(), -2.0, 1e-12);
    z2[1] = std::polar(4.0, 2.0);
    p.SetSamples(2, z2.data(), a2);
    EXPECT_NEAR(std::abs(p.Value(15.0)), 2.5, 1e-12);
    EXPECT_NEAR(std::arg(p.Value(15.0)), 2.75, 1e-12);
    p.Release();
    EXPECT_NEAR(std::arg(p.Value(25.0)), 2.25, 1e-12);
    EXPECT_EQ(p.Value(31.0), cd(0.0, 0.0));
    p.SetZeroOutside(false);
    EXPECT_EQ(p.Value(31.0), z2[1]);
    EXPECT_EQ(p.Value(9.0), z2[0]);
}
