#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <filesystem>
#include <numbers>
#include <vector>

#include "app/FrontEnd.h"
#include "app/MainCtrl.h"
#include "app/Options.h"
#include "support/TestSupport.h"

namespace {

using namespace Kedra::Sonvel;
using Kedra::Measure::Measurement;
using cd = std::complex<double>;
namespace fs = std::filesystem;

// A synthesised system with a known response: g·(1 − α)·α^n from `latency` samples after the
// recorded time zero (α = 0 is a scaled unit impulse, a loopback), in data four times the
// analysis length as a sweep's deconvolution leaves it; then the view's time zero is moved
// to `offset`, so the response starts d = latency − offset samples after it.
struct System {
    double g;
    double alpha;
    int latency;
    double offset;

    void Into(Measurement& m, int p, int fs) const {
        const int n = 1 << p;
        std::vector<double> raw(static_cast<std::size_t>(4 * n), 0.0);
        double h = g * (1.0 - alpha);
        for (int i = 0; i < 4000 && h != 0.0; ++i, h *= alpha)
            raw[static_cast<std::size_t>(n + latency + i)] = h;
        m.InitializeImpulse(raw.data(), 4 * n, n, fs, p, 0, 0.0, 0.0, true);
        m.OffsetAbsolute(offset);
    }
    // The analytic response at bin k of N: H(ω)·e^(−jωd) with H = g(1 − α)/(1 − α·e^(−jω)).
    cd At(int k, int n) const {
        const double w = 2.0 * std::numbers::pi * k / n;
        const double d = latency - offset;
        return g * (1.0 - alpha) / (1.0 - alpha * std::polar(1.0, -w)) * std::polar(1.0, -w * d);
    }
};

// The largest |X[k]·truth[k] − 1| from 20 Hz to 20 kHz: 0 where X is truth's inverse.
double WorstInverse(Measurement& x, const System& truth) {
    const cd* f = x.GetF();
    double worst = 0.0;
    for (int k = 1; k < x.GetNHalf(); ++k) {
        const double hz = k * x.GetHzPerBin();
        if (hz >= 20.0 && hz <= 20000.0)
            worst = std::max(worst, std::abs(f[k] * truth.At(k, x.GetN()) - 1.0));
    }
    return worst;
}

class InverseTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = SonvelTest::TempDir() /
              ("inverse-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        Conf::SetUserDirectory(dir);
        Conf::Options::Reset();
    }
    // What the command line does between two runs: the list stored and read again.
    void Reopen(MainCtrl& ctrl) {
        const std::string path = (dir / "list.zip").string();
        ASSERT_TRUE(ctrl.List().Save(path));
        ASSERT_TRUE(ctrl.List().OpenTry(path, false));
    }
    fs::path dir;
};

TEST_F(InverseTest, BIsTheAnalyticInverseOfAOnItsViewAndAfterTheListIsReopened) {
    const System cases[] = {
        {0.5, 0.0, 480, 480.0}, // a loopback, its time zero on the latency
        {0.3, 0.9, 480, 179.5}, // a first-order system 300.5 samples after the time zero
    };
    for (const System& s : cases) {
        SCOPED_TRACE("alpha " + std::to_string(s.alpha));
        ScriptedFrontEnd fe;
        MainCtrl ctrl(fe);
        ctrl.StartUp(""); // nothing to open: an empty list
        Measurement& a = *ctrl.Presenter(MainCtrl::PRESENTER_A);
        s.Into(a, ctrl.List().GetMAnalysis(), 48000);
        // A window that passes all of A, but not B's impulse, which lies before time zero.
        a.SetImpulseWindowStart(-100, true);
        a.SetImpulseWindowEnd(3000);
        a.SetImpulseWindowEnabled(true);
        a.SetLabel("sys");

        ASSERT_TRUE(ctrl.Action_MeasOperationAB());
        Measurement& b = *ctrl.Presenter(MainCtrl::PRESENTER_B);
        EXPECT_EQ(b.GetLabel(), "1/(sys)");
        EXPECT_EQ(b.GetN(), a.GetN());
        EXPECT_EQ(b.GetImpulseWindowStart(), -100);
        EXPECT_LT(WorstInverse(b, s), 1e-9); // rounding only

        // A·(1/A) through the product operation reads 0 dB and no phase.
        ASSERT_TRUE(ctrl.Action_MeasOperationABC("*"));
        const System one{1.0, 0.0, 0, 0.0};
        EXPECT_LT(WorstInverse(*ctrl.Presenter(MainCtrl::PRESENTER_C), one), 1e-9);

        // The stored data keeps 24 bits of B's largest sample: 1e-3 is 0.009 dB and 0.06°.
        Reopen(ctrl);
        EXPECT_LT(WorstInverse(*ctrl.Presenter(MainCtrl::PRESENTER_B), s), 1e-3);
    }
}

TEST_F(InverseTest, AFilteredViewIsInvertedInItsPassBandWithoutSwampingTheStoredB) {
    ScriptedFrontEnd fe;
    MainCtrl ctrl(fe);
    ctrl.StartUp(""); // nothing to open: an empty list
    Measurement& a = *ctrl.Presenter(MainCtrl::PRESENTER_A);
    const System s{0.3, 0.9, 480, 479.0};
    s.Into(a, ctrl.List().GetMAnalysis(), 48000);
    a.SetImpulseWindowEnabled(false);
    // Bins below 100 Hz are exactly 0 in A's view: their inverse would be the 1e10 guard.
    a.SetHighpass(200.0, 100.0);
    a.SetHighpassEnabled(true);
    ASSERT_TRUE(ctrl.Action_MeasOperationAB());
    EXPECT_TRUE(a.GetHighpassEnabled());
    Reopen(ctrl);
    Measurement& b = *ctrl.Presenter(MainCtrl::PRESENTER_B);
    EXPECT_TRUE(b.GetHighpassEnabled());
    const cd* f = b.GetF();
    double worst = 0.0;
    for (int k = static_cast<int>(std::ceil(200.0 * b.GetBinsPerHz()));
         k * b.GetHzPerBin() <= 20000.0; ++k)
        worst = std::max(worst, std::abs(f[k] * s.At(k, b.GetN()) - 1.0));
    EXPECT_LT(worst, 1e-3);
}

} // namespace
