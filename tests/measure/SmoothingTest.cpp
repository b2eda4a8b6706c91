#include "measure/Smoothing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

using Kedra::Measure::SmoothComplex;
using Kedra::Measure::SmoothingGridSize;
using Kedra::Measure::SmoothMagnitude;
using Cd = std::complex<double>;

namespace {

const double PI_ = std::acos(-1.0);

using Smoother = void (*)(const Cd*, Cd*, int, double);

double Round(double x) {
    return std::floor(x + 0.5);
}

// Angle by the arc-cosine rule: 0 for a zero value, the sign from the imaginary part.
double Angle(Cd z) {
    const double m = std::abs(z);
    if (m == 0.0)
        return 0.0;
    const double p = std::acos(std::clamp(z.real() / m, -1.0, 1.0));
    return z.imag() < 0.0 ? -p : p;
}

std::vector<double> Unwrap(const std::vector<double>& raw) {
    std::vector<double> out(raw.size());
    double offset = 0.0;
    for (std::size_t j = 0; j < raw.size(); ++j) {
        if (j > 0 && raw[j] <= raw[j - 1] - PI_)
            offset += 2.0 * PI_;
        else if (j > 0 && raw[j] > raw[j - 1] + PI_)
            offset -= 2.0 * PI_;
        out[j] = raw[j] + offset;
    }
    return out;
}

double Linear(const std::vector<double>& s, double x) {
    const double last = static_cast<double>(s.size() - 1);
    if (x <= 0.0)
        return s.front();
    if (x >= last)
        return s.back();
    const auto j = static_cast<std::size_t>(std::floor(x));
    return s[j] + (s[j + 1] - s[j]) * (x - static_cast<double>(j));
}

// Natural cubic spline at unit spacing: y2[j-1] + 4 y2[j] + y2[j+1] = 6 (second difference),
// solved by plain Gaussian elimination of the tridiagonal system.
double Spline(const std::vector<double>& s, double x) {
    const std::size_t n = s.size();
    const double last = static_cast<double>(n - 1);
    if (x <= 0.0)
        return s.front();
    if (x >= last)
        return s.back();
    std::vector<double> y2(n, 0.0);
    if (n > 2) {
        std::vector<double> diag(n, 4.0), rhs(n, 0.0);
        for (std::size_t j = 1; j + 1 < n; ++j)
            rhs[j] = 6.0 * (s[j + 1] - 2.0 * s[j] + s[j - 1]);
        for (std::size_t j = 2; j + 1 < n; ++j) {
            const double f = 1.0 / diag[j - 1];
            diag[j] -= f;
            rhs[j] -= f * rhs[j - 1];
        }
        for (std::size_t j = n - 2; j >= 1; --j)
            y2[j] = (rhs[j] - (j + 2 < n ? y2[j + 1] : 0.0)) / diag[j];
    }
    const auto j = static_cast<std::size_t>(std::floor(x));
    const double a = static_cast<double>(j) + 1.0 - x;
    const double b = x - static_cast<double>(j);
    return a * s[j] + b * s[j + 1] + ((a * a * a - a) * y2[j] + (b * b * b - b) * y2[j + 1]) / 6.0;
}

// The smoothing written out directly from its formulas: log10 and cos per weight, no tables.
// Differs from the engine only in what it shares with it by definition: the fallback to the
// nearest bin for a band that holds no bin, and end values outside the grid.
std::vector<Cd> ReferenceSmooth(const std::vector<Cd>& x, double n, bool magnitude) {
    const int K = static_cast<int>(x.size()) - 1;
    const int M =
        static_cast<int>(std::min<double>(std::clamp(Round(K * n / 256.0), 100.0, 10000.0), K));
    const double k = std::pow(2.0, 0.5 / n);
    const double t0 = std::log10(k);
    const double hw = std::log10(k) / 0.40547865;
    const double w = (std::log10(K - 1.0) - t0) / M;
    std::vector<Cd> grid(M + 1);
    std::vector<double> gridMag(M + 1), gridPhase(M + 1);
    for (int j = 0; j <= M; ++j) {
        const double c = std::pow(10.0, t0 + w * j);
        const int lo = static_cast<int>(std::clamp(Round(c / std::pow(10.0, hw)), 1.0, K - 1.0));
        const int hi = static_cast<int>(std::clamp(Round(c * std::pow(10.0, hw)), 1.0, K - 1.0));
        Cd sum = 0.0;
        double sumMag = 0.0, sumW = 0.0;
        if (lo != hi) {
            for (int i = lo; i <= hi; ++i) {
                const double d = std::fabs(t0 + w * j - std::log10(static_cast<double>(i)));
                if (d >= hw)
                    continue;
                const double wt =
                    (0.42 + 0.5 * std::cos(PI_ * d / hw) + 0.08 * std::cos(2.0 * PI_ * d / hw)) / i;
                sum += wt * x[i];
                sumMag += wt * std::abs(x[i]);
                sumW += wt;
            }
        }
        if (sumW > 0.0) {
            grid[j] = sum / sumW;
            gridMag[j] = sumMag / sumW;
            gridPhase[j] = Angle(sum);
        } else {
            const Cd v = x[static_cast<std::size_t>(std::clamp(Round(c), 1.0, 1.0 * K))];
            grid[j] = v;
            gridMag[j] = std::abs(v);
            gridPhase[j] = Angle(v);
        }
    }
    std::vector<double> polarMag(M + 1), polarPhase(M + 1);
    for (int j = 0; j <= M; ++j) {
        polarMag[j] = std::abs(grid[j]);
        polarPhase[j] = Angle(grid[j]);
    }
    polarPhase = Unwrap(polarPhase);
    gridPhase = Unwrap(gridPhase);

    std::vector<Cd> y(x);
    for (int i = static_cast<int>(Round(k)); i <= K; ++i) {
        const double g =
            (static_cast<double>(static_cast<float>(std::log10(static_cast<double>(i)))) - t0) / w;
        const double r = magnitude ? Spline(gridMag, g) : Linear(polarMag, g);
        const double p = magnitude ? Spline(gridPhase, g) : Linear(polarPhase, g);
        y[i] = Cd(r * std::cos(p), r * std::sin(p));
    }
    return y;
}

// A resonant, delayed, slightly noisy response with fixed seed.
std::vector<Cd> TestSpectrum(int K, double delay) {
    std::mt19937 rng(20240611);
    std::normal_distribution<double> noise(0.0, 0.05);
    std::vector<Cd> x(K + 1);
    for (int i = 0; i <= K; ++i) {
        const double f = static_cast<double>(i) / K;
        const Cd s(0.0, f / 0.05);
        const Cd resonance = 1.0 / (1.0 + s / 4.0 + s * s);
        x[i] = (resonance + 0.3) * std::polar(1.0 + noise(rng), -PI_ * i * delay / K) +
               Cd(noise(rng), noise(rng));
    }
    return x;
}

std::vector<Cd> Smoothed(Smoother smooth, const std::vector<Cd>& in, double n) {
    std::vector<Cd> out(in.size());
    smooth(in.data(), out.data(), static_cast<int>(in.size()) - 1, n);
    return out;
}

double DB(Cd z) {
    return 20.0 * std::log10(std::abs(z));
}

const double OCTAVE_FRACTIONS[] = {1.0, 3.0, 6.0, 24.0, 48.0};

// Both band-sum kernels: the vector one where the machine has it, and the portable one.
class SmoothingKernels : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { Kedra::Measure::detail::SetSmoothingVectorKernelsEnabled(GetParam()); }
    void TearDown() override { Kedra::Measure::detail::SetSmoothingVectorKernelsEnabled(true); }
};

INSTANTIATE_TEST_SUITE_P(VectorAndPortable, SmoothingKernels, ::testing::Bool());

TEST_P(SmoothingKernels, AgreesWithDirectFormulas) {
    for (const int K : {50, 700, 4096}) {
        const std::vector<Cd> in = TestSpectrum(K, 37.0);
        double peak = 0.0;
        for (const Cd& z : in)
            peak = std::max(peak, std::abs(z));
        for (const double n : {1.0, 3.0, 6.0, 24.0, 48.0, 2.5}) {
            for (const bool magnitude : {false, true}) {
                const std::vector<Cd> ref = ReferenceSmooth(in, n, magnitude);
                const std::vector<Cd> got =
                    Smoothed(magnitude ? SmoothMagnitude : SmoothComplex, in, n);
                int bad = 0;
                for (int i = 0; i <= K; ++i) {
                    const double err = std::abs(got[i] - ref[i]);
                    if (!(err <= 1e-9 * std::abs(ref[i]) + 1e-13 * peak) && ++bad <= 3)
                        ADD_FAILURE() << "K " << K << " n " << n << " magnitude " << magnitude
                                      << " bin " << i << ": " << got[i] << " vs " << ref[i];
                }
                EXPECT_EQ(bad, 0);
            }
        }
    }
}

TEST(Smoothing, FlatSpectrumStaysFlat) {
    for (const int K : {32768, 1000}) {
        const std::vector<Cd> flat(K + 1, Cd(1.0, 0.0));
        for (const double n : OCTAVE_FRACTIONS) {
            for (const Smoother smooth : {SmoothComplex, SmoothMagnitude}) {
                const std::vector<Cd> out = Smoothed(smooth, flat, n);
                for (int i = 0; i <= K; ++i) {
                    ASSERT_NEAR(DB(out[i]), 0.0, 1e-9) << "K " << K << " n " << n << " bin " << i;
                    ASSERT_NEAR(std::arg(out[i]), 0.0, 1e-12) << "n " << n << " bin " << i;
                }
            }
        }
    }
}

// Frequency (in bins) where |y| falls through half of its value at the peak bin, walking away
// from the peak in steps of dir; linear between the two bins around the crossing.
double HalfGainBin(const std::vector<Cd>& y, int peak, int dir) {
    const double half = 0.5 * std::abs(y[peak]);
    for (int i = peak; i + dir >= 0 && i + dir < static_cast<int>(y.size()); i += dir) {
        const double a = std::abs(y[i]);
        const double b = std::abs(y[i + dir]);
        if (b <= half)
            return i + dir * (a - half) / (a - b);
    }
    return -1.0;
}

TEST(Smoothing, SpikeSpreadsOverOneBand) {
    const int K = 32768;
    const int spike = 4000;
    std::vector<Cd> in(K + 1, Cd(0.0, 0.0));
    in[spike] = 1.0;
    for (const double n : {1.0, 3.0, 6.0}) {
        for (const Smoother smooth : {SmoothComplex, SmoothMagnitude}) {
            const std::vector<Cd> out = Smoothed(smooth, in, n);
            const int peak = static_cast<int>(
                std::max_element(out.begin(), out.end(),
                                 [](Cd a, Cd b) { return std::abs(a) < std::abs(b); }) -
                out.begin());
            EXPECT_NEAR(peak, spike, spike * 0.02) << "n " << n;
            const double halfBand = 0.5 / n; // octaves
            const double upper = std::log2(HalfGainBin(out, peak, +1) / spike);
            const double lower = std::log2(HalfGainBin(out, peak, -1) / spike);
            EXPECT_NEAR(upper, halfBand, 0.05 * halfBand) << "n " << n;
            EXPECT_NEAR(lower, -halfBand, 0.05 * halfBand) << "n " << n;
        }
    }
}

TEST(Smoothing, DelayKeepsLevelOnlyUnderMagnitudeSmoothing) {
    const int K = 32768;
    const double delay = 100.0; // samples of a 2K-point transform
    std::vector<Cd> in(K + 1);
    for (int i = 0; i <= K; ++i)
        in[i] = std::polar(1.0, -PI_ * i * delay / K);
    const double n = 3.0;
    // The phase turns by 2 pi over a band of 2K/delay bins; a 1/3-octave band is 0.23 f wide.
    const double turnBin = 2.0 * K / delay / (std::pow(2.0, 0.5 / n) - std::pow(2.0, -0.5 / n));

    const std::vector<Cd> mag = Smoothed(SmoothMagnitude, in, n);
    for (int i = 1; i <= K; ++i)
        ASSERT_NEAR(DB(mag[i]), 0.0, 0.1) << "bin " << i;

    const std::vector<Cd> cpx = Smoothed(SmoothComplex, in, n);
    for (int i = 1; i <= K; ++i) {
        if (i < turnBin / 20.0) {
            ASSERT_NEAR(DB(cpx[i]), 0.0, 0.1) << "bin " << i;
        } else if (i > turnBin) {
            ASSERT_LT(DB(cpx[i]), -20.0) << "bin " << i;
        }
    }
}

TEST(Smoothing, InPlaceMatchesSeparateOutput) {
    const std::vector<Cd> in = TestSpectrum(4096, 12.0);
    for (const Smoother smooth : {SmoothComplex, SmoothMagnitude}) {
        const std::vector<Cd> separate = Smoothed(smooth, in, 6.0);
        std::vector<Cd> inPlace = in;
        smooth(inPlace.data(), inPlace.data(), 4096, 6.0);
        for (std::size_t i = 0; i < in.size(); ++i)
            ASSERT_EQ(inPlace[i], separate[i]) << "bin " << i;
    }
}

TEST(Smoothing, GridSize) {
    EXPECT_EQ(SmoothingGridSize(65536, 3.0), 768);
    EXPECT_EQ(SmoothingGridSize(256, 3.0), 100);
    EXPECT_EQ(SmoothingGridSize(65536, 48.0), 10000);
    EXPECT_EQ(SmoothingGridSize(50, 3.0), 50);
    EXPECT_EQ(SmoothingGridSize(65536, 0.0), 0);
    EXPECT_EQ(SmoothingGridSize(65536, std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(SmoothingGridSize(1 << 30, 1e300), 10000);
}

bool SameBits(const std::vector<Cd>& a, const std::vector<Cd>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Cd)) == 0;
}

TEST(Smoothing, DegenerateInputPassesThrough) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (const Smoother smooth : {SmoothComplex, SmoothMagnitude}) {
        // Too few bins for a grid, or no usable width: the spectrum comes back unchanged.
        for (const int K : {0, 1, 2}) {
            const std::vector<Cd> in = TestSpectrum(K, 0.0);
            EXPECT_TRUE(SameBits(Smoothed(smooth, in, 3.0), in)) << "K " << K;
        }
        const std::vector<Cd> in = TestSpectrum(512, 5.0);
        for (const double n : {0.0, -3.0, nan, inf, -inf, 0.05})
            EXPECT_TRUE(SameBits(Smoothed(smooth, in, n), in)) << "n " << n;

        // A non-finite bin is not spread over its neighbours (nor, via the spline, everywhere).
        for (const Cd bad : {Cd(nan, 0.0), Cd(0.0, inf), Cd(-inf, nan)}) {
            std::vector<Cd> withBad = in;
            withBad[200] = bad;
            const std::vector<Cd> out = Smoothed(smooth, withBad, 3.0);
            EXPECT_TRUE(SameBits(out, withBad));
        }

        // Three bins are enough for a (short) grid; the result must be finite.
        const std::vector<Cd> tiny = TestSpectrum(3, 0.0);
        for (const double n : {0.6, 1.0, 3.0, 1e6}) {
            const std::vector<Cd> out = Smoothed(smooth, tiny, n);
            for (const Cd& z : out)
                EXPECT_TRUE(std::isfinite(z.real()) && std::isfinite(z.imag())) << "n " << n;
        }

        // No arrays: nothing to do, nothing touched.
        smooth(nullptr, nullptr, 100, 3.0);
    }
}

TEST(Smoothing, HugeValuesKeepTheirModulus) {
    // Squares of 1e200 overflow; the magnitude mean must not.
    std::vector<Cd> in(1025, Cd(3e200, 4e200));
    const std::vector<Cd> out = Smoothed(SmoothMagnitude, in, 3.0);
    for (const Cd& z : out)
        ASSERT_NEAR(std::abs(z) / 5e200, 1.0, 1e-12);
}

} // namespace
