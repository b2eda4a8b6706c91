#include "filter/Effect.h"
#include "filter/Design.h"
#include "filter/EffectEqualizer.h"
#include "filter/QBox.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <string>
#include <vector>

using Kedra::Filter::Design;
using Kedra::Filter::EffectResponse;
using Kedra::Filter::FrequencyGrid;
using Kedra::Filter::QBox;
using Kedra::Filter::SpectralWindow;
using Cd = std::complex<double>;

namespace {

const double PI = std::acos(-1.0);

// The raised-sine transition written out from its definition.
double ExpectedHighpass(double f, double fc, double w) {
    const double d = f - fc;
    if (d <= -w / 2)
        return 0.0;
    if (d >= w / 2)
        return 1.0;
    return 0.5 + 0.5 * std::sin(PI * d / w);
}

// Three-term window across bins, edges clamped, written independently of the library.
std::vector<Cd> DirectWindow(const std::vector<Cd>& x) {
    const int half = static_cast<int>(x.size()) - 1;
    auto at = [&](int i) { return x[static_cast<std::size_t>(i < 0 ? 0 : (i > half ? half : i))]; };
    std::vector<Cd> y(x.size());
    for (int i = 0; i <= half; ++i) {
        y[static_cast<std::size_t>(i)] =
            0.42 * at(i) + 0.25 * (at(i - 1) + at(i + 1)) + 0.04 * (at(i - 2) + at(i + 2));
    }
    return y;
}

int CountOccurrences(const std::string& text, const std::string& what) {
    int count = 0;
    for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) {
        ++count;
    }
    return count;
}

} // namespace

// A grid of 1 Hz per bin: N = fs = 4801.
TEST(EffectPass, HighpassTransitionAtHundredHertz) {
    Design design("Edges", 4801, 4801.0);
    auto& hp = design.Highpass();
    ASSERT_TRUE(hp.SetPass(100.0, 43.0)); // 43 - 3 df leaves an effective width of 40 Hz
    EXPECT_DOUBLE_EQ(hp.GetFreqWidth(), 40.0);
    EXPECT_DOUBLE_EQ(hp.GetFreqBand(), 43.0);
    EXPECT_DOUBLE_EQ(hp.GetFreqCenter(), 100.0);
    EXPECT_EQ(hp.Gain(79.9), 0.0);
    EXPECT_EQ(hp.Gain(0.0), 0.0);
    EXPECT_EQ(hp.Gain(120.1), 1.0);
    EXPECT_EQ(hp.Gain(2000.0), 1.0);
    EXPECT_EQ(hp.Gain(100.0), 0.5);
    EXPECT_NEAR(hp.Gain(110.0), 0.853553, 1e-6);
    hp.Enable(true);
    const Cd* r = hp.Response().Raw();
    for (int i = 0; i <= 2400; ++i) {
        ASSERT_NEAR(r[i].real(), ExpectedHighpass(i, 100.0, 40.0), 1e-12) << "bin " << i;
        ASSERT_EQ(r[i].imag(), 0.0);
    }
    EXPECT_EQ(hp.GainAtBin(100.0), 0.5);
    EXPECT_NEAR(hp.GainAtBin(110.0), 0.853553, 1e-6);
}

TEST(EffectPass, NarrowBandIsStoredAsFourBins) {
    Design design("Narrow", 1001, 48000.0);
    const double df = 48000.0 / 1001;
    auto& lp = design.Lowpass();
    for (double band : {0.0, 2.0 * df, 3.9 * df, -5.0}) {
        ASSERT_TRUE(lp.SetPass(5000.0, band));
        EXPECT_NEAR(lp.GetFreqBand(), 4.0 * df, 1e-9) << band;
        EXPECT_NEAR(lp.GetFreqWidth(), df, 1e-9) << band;
    }
    // Just above the limit the width rule subtracts 3 df.
    ASSERT_TRUE(lp.SetPass(5000.0, 4.5 * df));
    EXPECT_NEAR(lp.GetFreqBand(), 4.5 * df, 1e-9);
    EXPECT_NEAR(lp.GetFreqWidth(), 1.5 * df, 1e-9);
}

TEST(EffectPass, RefusesNonFiniteAndLimitsTheCentre) {
    Design design("Limits", 1001, 48000.0);
    auto& hp = design.Highpass();
    ASSERT_TRUE(hp.SetPass(1000.0, 500.0));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(hp.SetPass(nan, 500.0));
    EXPECT_FALSE(hp.SetPass(1000.0, nan));
    EXPECT_FALSE(hp.SetPass(inf, 500.0));
    EXPECT_FALSE(design.SetHighpass(nan));
    EXPECT_FALSE(hp.IsEnabled());
    EXPECT_EQ(hp.GetFreqCenter(), 1000.0);
    EXPECT_EQ(hp.GetFreqBand(), 500.0);
    ASSERT_TRUE(hp.SetPass(1e6, 500.0));
    EXPECT_EQ(hp.GetFreqCenter(), 24000.0);
    ASSERT_TRUE(hp.SetPass(-50.0, 500.0));
    EXPECT_EQ(hp.GetFreqCenter(), 0.0);
    hp.Enable(true);
    for (int i = 0; i <= design.Grid().half; ++i) {
        ASSERT_TRUE(std::isfinite(design.Combined().WindowedMagnitude()[i]));
    }
}

TEST(EffectPass, HighAndLowPassAreComplementary) {
    Design design("Pair", 1001, 48000.0);
    auto& hp = design.Highpass();
    auto& lp = design.Lowpass();
    for (double fc : {0.0, 37.0, 1000.0, 23999.0}) {
        for (double band : {0.0, 300.0, 5000.0}) {
            hp.SetPass(fc, band);
            lp.SetPass(fc, band);
            for (double f = 0.0; f <= 24000.0; f += 7.3) {
                ASSERT_NEAR(hp.Gain(f) + lp.Gain(f), 1.0, 1e-12) << fc << " " << band << " " << f;
            }
            const Cd* h = hp.Response().Raw();
            const Cd* l = lp.Response().Raw();
            const double* hw = hp.Response().WindowedMagnitude();
            const double* lw = lp.Response().WindowedMagnitude();
            for (int i = 0; i <= design.Grid().half; ++i) {
                ASSERT_NEAR(h[i].real() + l[i].real(), 1.0, 1e-12);
                ASSERT_NEAR(hw[i] + lw[i], 1.0, 1e-12);
            }
        }
    }
}

TEST(EffectPass, LinkedLowpassIsComplementOfWindowedHighpass) {
    Design design("Crossover", 1001, 48000.0);
    auto& hp = design.Highpass();
    auto& lp = design.Lowpass();
    hp.SetPartner(&lp);
    lp.SetPartner(&hp);
    lp.Enable(true);
    hp.Enable(true);
    ASSERT_TRUE(hp.SetPass(2000.0, 800.0));
    EXPECT_EQ(lp.GetFreqCenter(), 2000.0);
    EXPECT_EQ(lp.GetFreqBand(), 800.0);

    const int half = design.Grid().half;
    const double df = design.Grid().df;
    std::vector<Cd> raw(static_cast<std::size_t>(half) + 1);
    for (int i = 0; i <= half; ++i) {
        raw[static_cast<std::size_t>(i)] = ExpectedHighpass(i * df, 2000.0, 800.0 - 3 * df);
    }
    const std::vector<Cd> windowed = DirectWindow(raw);
    const Cd* l = lp.Response().Raw();
    for (int i = 0; i <= half; ++i) {
        ASSERT_NEAR(l[i].real(), 1.0 - std::abs(windowed[static_cast<std::size_t>(i)]), 1e-12);
        ASSERT_EQ(l[i].imag(), 0.0);
    }

    // A second partner: the low-pass stays below both high-passes.
    auto& hp2 = design.Highpass(1);
    hp2.SetPass(500.0, 400.0);
    hp2.Enable(true);
    lp.SetSecondPartner(&hp2);
    lp.Update();
    const double* p = hp.Response().WindowedMagnitude();
    const double* q = hp2.Response().WindowedMagnitude();
    for (int i = 0; i <= half; ++i) {
        ASSERT_NEAR(lp.Response().Raw()[i].real(), (1.0 - q[i]) * (1.0 - p[i]), 1e-12);
    }
}

TEST(SpectralWindow, MatchesDirectEvaluationOnSmallGrid) {
    const SpectralWindow window = SpectralWindow::Blackman();
    EXPECT_EQ(window.Name(), "Blackman");
    EXPECT_EQ(window.Order(), 2);
    EXPECT_DOUBLE_EQ(window.Sum(), 1.0);
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int n : {3, 5, 9, 13}) {
        const FrequencyGrid grid = FrequencyGrid::Make(n, 1000.0);
        EffectResponse response(grid, window);
        std::vector<Cd> x(static_cast<std::size_t>(grid.half) + 1);
        for (auto& v : x) {
            v = {u(rng), u(rng)};
        }
        std::copy(x.begin(), x.end(), response.Raw());
        response.MarkChanged();
        const std::vector<Cd> expected = DirectWindow(x);
        const Cd* y = response.WindowedResponse();
        const double* m = response.WindowedMagnitude();
        for (int i = 0; i <= grid.half; ++i) {
            const auto k = static_cast<std::size_t>(i);
            EXPECT_NEAR(std::abs(y[i] - expected[k]), 0.0, 1e-15) << n << " " << i;
            EXPECT_NEAR(m[i], std::abs(expected[k]), 1e-15);
        }
        // Views follow a change of the raw response only after MarkChanged.
        response.Raw()[0] = {5.0, 0.0};
        response.MarkChanged();
        x[0] = {5.0, 0.0};
        EXPECT_NEAR(std::abs(response.WindowedResponse()[0] - DirectWindow(x)[0]), 0.0, 1e-15);
    }
}

TEST(EffectEqualizer, GainsAreInterpolatedInLogFrequencyAndLimited) {
    Design design("Eq", 4801, 4801.0); // 1 Hz per bin
    auto& eq = design.Equalizer();
    const double plus6 = std::pow(10.0, 6.0 / 20.0);
    const double minus6 = std::pow(10.0, -6.0 / 20.0);
    eq.SetPoints({{1000, plus6}, {2000, minus6}});
    eq.Enable(true);
    const Cd* r = eq.Response().Raw();
    EXPECT_EQ(r[1000].real(), 1.0); // +6 dB, limited by the maximum gain
    EXPECT_NEAR(r[2000].real(), 0.501187, 1e-6);
    // Linear in dB over log10 f: at 1682 Hz, t = log2(1.682).
    const double t = std::log10(1682.0 / 1000.0) / std::log10(2.0);
    EXPECT_NEAR(r[1682].real(), std::pow(10.0, (6.0 - 12.0 * t) / 20.0), 1e-9);
    // The end gains hold outside the points.
    EXPECT_EQ(r[10].real(), 1.0);
    EXPECT_NEAR(r[2400].real(), minus6, 1e-12);
    // A higher limit lets the boost through.
    design.SetMaxGain(4.0);
    EXPECT_NEAR(eq.Response().Raw()[1000].real(), plus6, 1e-12);
    EXPECT_NEAR(design.Combined().Raw()[1000].real(), plus6, 1e-12);
}

TEST(EffectEqualizer, DegeneratePointLists) {
    Design design("EqEdge", 1001, 48000.0);
    auto& eq = design.Equalizer();
    eq.SetPoints({});
    eq.Enable(true);
    for (int i = 0; i <= design.Grid().half; ++i) {
        ASSERT_EQ(eq.Response().Raw()[i], Cd(1.0, 0.0));
    }
    // Non-positive frequencies and gains that are not finite are dropped; duplicates keep the last
    // gain.
    eq.SetPoints({{0, 0.1},
                  {-20, 0.1},
                  {300, std::numeric_limits<double>::quiet_NaN()},
                  {700, std::numeric_limits<double>::infinity()},
                  {500, 0.9},
                  {500, 0.5}});
    ASSERT_EQ(eq.GetPoints().size(), 1u);
    EXPECT_EQ(eq.GetPoints().at(500), 0.5);
    for (int i = 0; i <= design.Grid().half; ++i) {
        ASSERT_NEAR(eq.Response().Raw()[i].real(), 0.5, 1e-12);
    }
    // A zero gain is silence, not a fault.
    eq.SetPoints({{100, 0.0}, {200, 1.0}});
    EXPECT_EQ(eq.Response().Raw()[0].real(), 0.0);
    EXPECT_EQ(eq.Response().Raw()[20].real(), 1.0);
}

TEST(QBox, AmplitudeOfTheClosedBox) {
    const QBox box(0.707, 50.0);
    EXPECT_DOUBLE_EQ(box.Amplitude(50.0), 0.707);
    EXPECT_DOUBLE_EQ(QBox(2.5, 80.0).Amplitude(80.0), 2.5);
    EXPECT_NEAR(box.Amplitude(5.0), 0.01, 1e-4);
    EXPECT_NEAR(box.Amplitude(50e3), 1.0, 1e-6);
    EXPECT_NEAR(box.Amplitude(1e300), 1.0, 1e-12);
    EXPECT_EQ(box.Amplitude(0.0), 0.0);
    // Against |s^2 / (s^2 + s/Q + 1)| evaluated in complex arithmetic.
    for (double f = 1.0; f < 20000.0; f *= 1.37) {
        const Cd s(0.0, f / 50.0);
        EXPECT_NEAR(box.Amplitude(f), std::abs(s * s / (s * s + s / 0.707 + 1.0)), 1e-12);
    }
    EXPECT_EQ(QBox(0.7, 0.0).Amplitude(10.0), 1.0);
    EXPECT_EQ(QBox(0.0, 50.0).Amplitude(10.0), 0.0);
}

TEST(Design, NothingEnabledGivesUnity) {
    Design design("Idle", 1001, 48000.0);
    auto check = [&design] {
        EffectResponse& c = design.Combined();
        for (int i = 0; i <= design.Grid().half; ++i) {
            ASSERT_EQ(c.Raw()[i], Cd(1.0, 0.0)) << i;
            ASSERT_NEAR(c.WindowedMagnitude()[i], 1.0, 1e-15);
        }
        const double* h = design.Impulse();
        EXPECT_NEAR(h[0], 1.0, 1e-12);
        for (int t = 1; t <= design.Grid().half; ++t) {
            ASSERT_NEAR(h[t], 0.0, 1e-12);
            ASSERT_NEAR(h[-t], 0.0, 1e-12);
        }
    };
    check();
    // Settings alone enable nothing; disabling restores unity.
    design.Highpass().SetPass(100.0, 200.0);
    design.Equalizer().SetPoints({{100, 0.5}});
    check();
    design.SetHighpass(100.0, 200.0);
    design.SetLowpass(5000.0, 2000.0);
    EXPECT_LT(design.Combined().WindowedMagnitude()[0], 0.02);
    design.DisableHighpass();
    design.DisableLowpass();
    check();
}

TEST(Design, SourceDesignIsTheStartingPoint) {
    Design a("A", 1001, 48000.0);
    Design b("B", 1001, 48000.0);
    a.SetHighpass(1000.0, 500.0);
    ASSERT_TRUE(b.SetSource(&a));
    EXPECT_FALSE(a.SetSource(&b)); // no cycles
    b.SetLowpass(5000.0, 500.0);
    const Cd* ha = a.Highpass().Response().Raw();
    const Cd* lb = b.Lowpass().Response().Raw();
    for (int i = 0; i <= a.Grid().half; ++i) {
        ASSERT_NEAR(std::abs(b.Combined().Raw()[i] - ha[i] * lb[i]), 0.0, 1e-15);
    }
    // A change in the source reaches the dependent design.
    const auto before = b.Revision();
    a.DisableHighpass();
    EXPECT_NE(b.Revision(), before);
    for (int i = 0; i <= a.Grid().half; ++i) {
        ASSERT_NEAR(std::abs(b.Combined().Raw()[i] - lb[i]), 0.0, 1e-15);
    }
}

TEST(Design, DegenerateConstruction) {
    Design tiny("Tiny", 0, -5.0);
    EXPECT_EQ(tiny.Taps(), 3);
    EXPECT_EQ(tiny.Grid().half, 1);
    EXPECT_EQ(tiny.SampleRate(), 48000.0);
    Design even("Even", 1000, std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(even.Taps(), 1001);
    EXPECT_EQ(even.SampleRate(), 48000.0);
    const std::string log = SonvelTest::ReadLog();
    EXPECT_NE(log.find("WARNING Design::Design(Tiny) "), std::string::npos);
    EXPECT_NE(log.find("WARNING Design::Design(Even) even N 1000 raised to 1001"),
              std::string::npos);
    // Every effect still works on the tiny grid.
    tiny.SetHighpass(1000.0);
    tiny.SetLowpass(20000.0);
    tiny.Equalizer().SetPoints({{100, 0.5}});
    tiny.Equalizer().Enable(true);
    ASSERT_TRUE(tiny.QBoxEffect().Set(0.7, 50.0));
    tiny.QBoxEffect().Enable(true);
    tiny.Highpass().SetMinimumPhase(true);
    const double* h = tiny.Impulse();
    for (int t = -1; t <= 1; ++t) {
        EXPECT_TRUE(std::isfinite(h[t]));
    }
    EXPECT_FALSE(tiny.QBoxEffect().Set(0.0, 50.0));
    EXPECT_FALSE(tiny.QBoxEffect().Set(0.7, std::numeric_limits<double>::infinity()));
    EXPECT_EQ(tiny.QBoxEffect().Model().GetQ(), 0.7);
}

TEST(Design, UninitialisedEqualizerAndQBoxWarn) {
    Design design("WarnDesign", 101, 8000.0);
    design.Equalizer().Enable(true);
    design.QBoxEffect().Enable(true);
    const std::string log = SonvelTest::ReadLog();
    const std::string eq =
        "WARNING EffectEqualizer::WarnDesign::UpdateElement() Called without Design initialized.\n";
    const std::string qb =
        "WARNING EffectQBox::WarnDesign::UpdateElement() Called without Design initialized.\n";
    EXPECT_EQ(CountOccurrences(log, eq), 1) << log;
    EXPECT_EQ(CountOccurrences(log, qb), 1) << log;
    // Nothing else changed: both responses are still the neutral 1.
    for (int i = 0; i <= design.Grid().half; ++i) {
        ASSERT_EQ(design.Equalizer().Response().Raw()[i], Cd(1.0, 0.0));
        ASSERT_EQ(design.QBoxEffect().Response().Raw()[i], Cd(1.0, 0.0));
        ASSERT_EQ(design.Combined().Raw()[i], Cd(1.0, 0.0));
    }
}
