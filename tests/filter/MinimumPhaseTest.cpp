#include "filter/MinimumPhase.h"
#include "filter/CleanUp.h"
#include "filter/Design.h"
#include "filter/QBox.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

using Kedra::Filter::Design;
using Kedra::Filter::QBoxResponse;
using Cd = std::complex<double>;

namespace {

const double PI = std::acos(-1.0);
const double DEG = 180.0 / PI;

// Phase of s^2 / (s^2 + s/Q + 1) at s = j f / fc.
double ClosedBoxPhase(double f, double q, double fc) {
    const Cd s(0.0, f / fc);
    return std::arg(s * s / (s * s + s / q + 1.0));
}

// Difference of two angles folded into -180 .. 180 degrees.
double AngleDiffDeg(double a, double b) {
    return std::remainder(a - b, 2.0 * PI) * DEG;
}

} // namespace

TEST(MinimumPhase, ClosedBoxCepstrumGivesTheAnalyticPhase) {
    const double fs = 48000.0;
    for (double q : {0.5, 0.707, 1.5}) {
        for (double fc : {50.0, 200.0}) {
            QBoxResponse box(1 << 18, fs);
            box.Set(q, fc);
            const Cd* r = box.Response();
            const double df2 = box.BinWidth();
            double worst = 0.0;
            for (int i = 0; i < box.Bins(); ++i) {
                const double f = i * df2;
                if (f < fc / 4 || f > fs / 4)
                    continue;
                worst = std::max(worst,
                                 std::fabs(AngleDiffDeg(std::arg(r[i]), ClosedBoxPhase(f, q, fc))));
                ASSERT_NEAR(std::abs(r[i]), Kedra::Filter::QBox(q, fc).Amplitude(f), 1e-9);
            }
            EXPECT_LT(worst, 1.0) << "Q " << q << " fc " << fc;
        }
    }
}

TEST(MinimumPhase, ClosedBoxEffectOnTheDesignGrid) {
    const double fs = 48000.0, q = 0.707, fc = 200.0;
    Design design("Box", 1001, fs);
    auto& box = design.QBoxEffect();
    ASSERT_TRUE(box.Set(q, fc));
    box.Enable(true);
    const Cd* r = box.Response().Raw();
    const double df = design.Grid().df;
    for (int i = 1; i <= design.Grid().half; ++i) {
        const double f = i * df;
        if (f < fc / 4 || f > fs / 4)
            continue;
        ASSERT_LT(std::fabs(AngleDiffDeg(std::arg(r[i]), ClosedBoxPhase(f, q, fc))), 1.0) << f;
    }
    // Deferred: not smoothed by the window, multiplied in after it.
    auto& c = design.Combined();
    EXPECT_EQ(c.Raw()[5], Cd(1.0, 0.0));
    EXPECT_NEAR(std::abs(c.WindowedResponse()[5] - r[5]), 0.0, 1e-12);
}

TEST(MinimumPhase, EffectFlagTurnsClosedBoxMagnitudeIntoItsPhase) {
    // A fine design grid (0.37 Hz per bin) so that the slope below fc is resolved.
    const double fs = 48000.0, q = 0.707, fc = 200.0;
    Design design("BoxFlag", 131073, fs);
    auto& box = design.QBoxEffect();
    box.Model().SetMinimumPhase(false); // magnitude only from the model
    ASSERT_TRUE(box.Set(q, fc));
    box.Enable(true);
    EXPECT_EQ(box.Response().Raw()[200].imag(), 0.0);
    box.SetMinimumPhase(true);
    const Cd* r = box.Response().Raw();
    const double df = design.Grid().df;
    double worst = 0.0;
    for (int i = 1; i <= design.Grid().half; ++i) {
        const double f = i * df;
        if (f < fc / 4 || f > fs / 4)
            continue;
        worst = std::max(worst, std::fabs(AngleDiffDeg(std::arg(r[i]), ClosedBoxPhase(f, q, fc))));
    }
    EXPECT_LT(worst, 1.0);
}

// The analog phase holds only well below fs/2 (the sampled magnitude stops at fs/2 and is
// mirrored there), so the check stays within 2 fc for fc = 100 Hz.
TEST(MinimumPhase, FirstOrderLowpassGetsMinusArctan) {
    const int n = 16001;
    const double fs = 48000.0, fc = 100.0;
    const int half = n / 2;
    std::vector<Cd> h(static_cast<std::size_t>(half) + 1);
    for (int i = 0; i <= half; ++i) {
        const double f = i * fs / n;
        h[static_cast<std::size_t>(i)] = 1.0 / std::sqrt(1.0 + (f / fc) * (f / fc));
    }
    const std::vector<Cd> magnitude = h;
    Kedra::Filter::MakeMinimumPhase(h.data(), n);
    double worst = 0.0;
    for (int i = 1; i <= half; ++i) {
        const double f = i * fs / n;
        if (f < fc / 10 || f > 2 * fc)
            continue;
        worst = std::max(worst, std::fabs(AngleDiffDeg(std::arg(h[static_cast<std::size_t>(i)]),
                                                       -std::atan(f / fc))));
    }
    EXPECT_LT(worst, 1.0);
    // The causal step keeps the magnitude close to the request.
    for (int i = 0; i <= half; i += 50) {
        const auto k = static_cast<std::size_t>(i);
        ASSERT_NEAR(std::abs(h[k]), magnitude[k].real(), 1e-3) << i;
    }
    Kedra::Filter::CleanUp();
}

// A discrete minimum-phase system (1 - b/z) / (1 - a/z) has an exactly known phase at every
// frequency; only its magnitude goes in.
TEST(MinimumPhase, DiscreteFirstOrderSectionOverTheWholeBand) {
    const double a = 0.9, b = -0.5;
    for (int n : {1001, 4097}) {
        const int half = n / 2;
        std::vector<Cd> h(static_cast<std::size_t>(half) + 1);
        std::vector<Cd> exact(h.size());
        for (int i = 0; i <= half; ++i) {
            const Cd zinv = std::polar(1.0, -2.0 * PI * i / n);
            exact[static_cast<std::size_t>(i)] = (1.0 - b * zinv) / (1.0 - a * zinv);
            h[static_cast<std::size_t>(i)] = std::abs(exact[static_cast<std::size_t>(i)]);
        }
        Kedra::Filter::MakeMinimumPhase(h.data(), n);
        for (int i = 0; i <= half; ++i) {
            const auto k = static_cast<std::size_t>(i);
            ASSERT_NEAR(std::abs(h[k] - exact[k]), 0.0, 1e-6 * std::abs(exact[k])) << n << " " << i;
        }
    }
}

TEST(MinimumPhase, PhaseOnlyKeepsTheAngle) {
    std::vector<Cd> h = {{3.0, 4.0}, {0.0, 0.0}, {-2.0, 0.0}, {0.0, -0.5}};
    Kedra::Filter::MakePhaseOnly(h.data(), 4);
    EXPECT_NEAR(std::abs(h[0] - Cd(0.6, 0.8)), 0.0, 1e-15);
    EXPECT_EQ(h[1], Cd(0.0, 0.0));
    EXPECT_EQ(h[2], Cd(-1.0, 0.0));
    EXPECT_EQ(h[3], Cd(0.0, -1.0));
}

TEST(MinimumPhase, CleanUpThenUseAgain) {
    Design design("Again", 1001, 48000.0);
    design.SetHighpass(500.0, 300.0);
    design.Highpass().SetMinimumPhase(true);
    const double before = design.Impulse()[3];
    Kedra::Filter::CleanUp();
    design.Highpass().SetMinimumPhase(false);
    design.Highpass().SetMinimumPhase(true);
    EXPECT_NEAR(design.Impulse()[3], before, 1e-12);
    // A minimum-phase response is causal: its naive inverse DFT has nothing before time zero.
    const int n = design.Grid().n, half = design.Grid().half;
    const Cd* x = design.Highpass().Response().Raw();
    double before0 = 0.0, total = 0.0;
    for (int t = -half; t <= half; ++t) {
        double v = x[0].real();
        for (int k = 1; k <= half; ++k) {
            v += 2.0 * (x[k] * std::polar(1.0, 2.0 * PI * k * t / n)).real();
        }
        v /= n;
        total += v * v;
        if (t < 0)
            before0 += v * v;
    }
    EXPECT_LT(before0, 1e-20 * total);
    Kedra::Filter::CleanUp();
}
