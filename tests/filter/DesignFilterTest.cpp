#include "filter/Design.h"
#include "foundation/Fft.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

using Kedra::Filter::Design;
using Cd = std::complex<double>;

namespace {

const double PI = std::acos(-1.0);

// Direct zero-delay convolution in double: y[i] = sum_k h[k] x[i - k], k = -half .. half.
std::vector<double> DirectReference(const double* h, int half, const std::vector<float>& x) {
    const int count = static_cast<int>(x.size());
    std::vector<double> y(x.size(), 0.0);
    for (int i = 0; i < count; ++i) {
        double acc = 0.0;
        for (int k = -half; k <= half; ++k) {
            const int j = i - k;
            if (j >= 0 && j < count)
                acc += h[k] * static_cast<double>(x[static_cast<std::size_t>(j)]);
        }
        y[static_cast<std::size_t>(i)] = acc;
    }
    return y;
}

std::vector<float> RandomSignal(int count, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> x(static_cast<std::size_t>(count));
    for (auto& v : x)
        v = u(rng);
    return x;
}

} // namespace

TEST(DesignImpulse, EqualsNaiveInverseDftOfWindowedResponse) {
    Design design("Naive", 101, 8000.0);
    design.SetHighpass(400.0, 300.0);
    design.SetLowpass(2500.0, 600.0);
    design.Equalizer().SetPoints({{300, 0.3}, {3000, 0.9}});
    design.Equalizer().Enable(true);
    design.Lowpass().SetMinimumPhase(true); // a response with a phase, too
    const int n = design.Grid().n, half = design.Grid().half;
    const Cd* x = design.Combined().WindowedResponse();
    const double* h = design.Impulse();
    for (int t = -half; t <= half; ++t) {
        // Sum over all N bins, the negative ones the conjugates of the positive ones.
        Cd acc = x[0];
        for (int k = 1; k <= half; ++k) {
            acc += x[k] * std::polar(1.0, 2.0 * PI * k * t / n);
            acc += std::conj(x[k]) * std::polar(1.0, -2.0 * PI * k * t / n);
        }
        ASSERT_NEAR(h[t], acc.real() / n, 1e-14) << t;
    }
    std::vector<double> copy(static_cast<std::size_t>(n));
    design.CopyImpulse(copy.data());
    EXPECT_EQ(copy[static_cast<std::size_t>(half)], h[0]);
    EXPECT_EQ(copy[0], h[-half]);
}

TEST(DesignImpulse, ZeroPhaseSectionsGiveSymmetricImpulseCentredOnTimeZero) {
    Design design("SignalFilter", 1001, 48000.0);
    design.SetHighpass(100.0, 200.0);
    design.SetLowpass(15000.0, 2000.0);
    const double* h = design.Impulse();
    int peak = 0;
    for (int t = -500; t <= 500; ++t) {
        ASSERT_NEAR(h[t], h[-t], 1e-15);
        if (std::fabs(h[t]) > std::fabs(h[peak]))
            peak = t;
    }
    EXPECT_EQ(peak, 0);
    // The pipeline's edges lie beyond the transitions.
    EXPECT_NEAR(design.Highpass().GetFreqCenter() - design.Highpass().GetFreqBand(), -100.0, 1e-9);
    EXPECT_NEAR(design.Lowpass().GetFreqCenter() + design.Lowpass().GetFreqBand(), 17000.0, 1e-9);
    EXPECT_LT(design.Combined().Magnitude(17000.0), 1e-3);
}

TEST(DesignFilter, FastConvolutionEqualsDirectSum) {
    Design design("SignalFilter", 1001, 48000.0);
    design.SetHighpass(200.0, 300.0);
    design.SetLowpass(10000.0, 1500.0);
    const double* h = design.Impulse();
    double sumAbs = 0.0;
    for (int t = -500; t <= 500; ++t)
        sumAbs += std::fabs(h[t]);
    unsigned seed = 1;
    for (int count :
         {1, 2, 7, 64, 500, 1000, 1001, 1002, 3071, 3072, 3073, 4096, 6144, 20000, 70001}) {
        const std::vector<float> x = RandomSignal(count, seed++);
        const std::vector<double> expected = DirectReference(h, 500, x);
        std::vector<float> y(x.size(), 12345.0f);
        ASSERT_TRUE(design.Filter(x.data(), y.data(), count));
        double worst = 0.0;
        for (std::size_t i = 0; i < x.size(); ++i)
            worst = std::max(worst, std::fabs(y[i] - expected[i]));
        // Float output: a few float epsilons of the largest possible output.
        EXPECT_LT(worst, 4e-7 * sumAbs) << "count " << count;
        // In place gives the same samples.
        std::vector<float> z = x;
        ASSERT_TRUE(design.Filter(z.data(), z.data(), count));
        EXPECT_EQ(z, y) << "count " << count;
    }
}

TEST(DesignFilter, FollowsChangedSettingsAndRefusesBadArguments) {
    Design design("SignalFilter", 1001, 48000.0);
    std::vector<float> x(5000, 0.0f);
    x[2500] = 1.0f;
    std::vector<float> y(x.size());
    ASSERT_TRUE(design.Filter(x.data(), y.data(), 5000));
    EXPECT_NEAR(y[2500], 1.0f, 1e-6f); // no section: identity
    const auto revision = design.Revision();
    design.SetLowpass(1000.0, 500.0);
    EXPECT_NE(design.Revision(), revision);
    ASSERT_TRUE(design.Filter(x.data(), y.data(), 5000));
    const double* h = design.Impulse();
    for (int t = -500; t <= 500; ++t)
        ASSERT_NEAR(y[static_cast<std::size_t>(2500 + t)], h[t], 1e-7) << t;
    EXPECT_FALSE(design.Filter(nullptr, y.data(), 10));
    EXPECT_FALSE(design.Filter(x.data(), nullptr, 10));
    EXPECT_FALSE(design.Filter(x.data(), y.data(), -1));
    EXPECT_TRUE(design.Filter(x.data(), y.data(), 0));
}

// A logarithmic sweep with silence on both sides (so that the whole convolution fits) is
// filtered; the spectrum of the output over the spectrum of the input is the designed gain.
TEST(DesignFilter, SweepThroughBandFilterHasDesignedMagnitude) {
    const double fs = 48000.0;
    const double hpFc = 300.0, hpBand = 400.0, lpFc = 8000.0, lpBand = 2000.0;
    Design design("SignalFilter", 1001, fs);
    design.SetHighpass(hpFc, hpBand);
    design.SetLowpass(lpFc, lpBand);
    const int n = 1 << 18, margin = 4096, len = n - 2 * margin;
    const double f1 = 10.0, f2 = 23000.0, T = len / fs, k = std::log(f2 / f1);
    std::vector<float> x(static_cast<std::size_t>(n), 0.0f);
    for (int i = 0; i < len; ++i) {
        const double t = i / fs;
        x[static_cast<std::size_t>(margin + i)] =
            static_cast<float>(0.5 * std::sin(2.0 * PI * f1 * T / k * (std::exp(t * k / T) - 1.0)));
    }
    std::vector<float> y(x.size());
    ASSERT_TRUE(design.Filter(x.data(), y.data(), n));
    std::vector<Cd> X(static_cast<std::size_t>(n / 2 + 1)), Y(X.size());
    Kedra::Math::FFTPow2TimeToFreq(x.data(), X.data(), n);
    Kedra::Math::FFTPow2TimeToFreq(y.data(), Y.data(), n);
    int checkedPass = 0, checkedStop = 0;
    for (int b = 1; b < n / 2; ++b) {
        const double f = b * fs / n;
        if (f < 30.0 || f > 20000.0)
            continue; // where the sweep has little energy
        const double db = 20.0 * std::log10(std::abs(Y[static_cast<std::size_t>(b)]) /
                                            std::abs(X[static_cast<std::size_t>(b)]));
        if (f > hpFc + hpBand && f < lpFc - lpBand) {
            ASSERT_NEAR(db, 0.0, 0.1) << f;
            ++checkedPass;
        } else if (f < hpFc - hpBand || f > lpFc + lpBand) {
            ASSERT_LT(db, -50.0) << f;
            ++checkedStop;
        } else {
            // Inside the transitions: the designed (windowed) response itself.
            const double designed = design.Combined().Magnitude(f);
            ASSERT_NEAR(std::abs(Y[static_cast<std::size_t>(b)]) /
                            std::abs(X[static_cast<std::size_t>(b)]),
                        designed, 2e-3)
                << f;
        }
    }
    EXPECT_GT(checkedPass, 25000);
    EXPECT_GT(checkedStop, 50000);
}
