// The transfer function window on the simulated speaker 1 m away, its output looped back on
// input 9: the delay is the acoustic one and the magnitude the speaker model's own.
#include "gui/TransferFunctionWindow.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <cmath>
#include <filesystem>

#include "WindowTestFixture.h"
#include "audio/SimulatedSoundCard.h"
#include "audio/StreamInitializer.h"
#include "measure/Measurement.h"

namespace {

using namespace Kedra::Sonvel;
using Gui::TransferFunctionWindow;
using Kedra::Live::TfPoint;
using Kedra::PAudioII::StreamInitializer;

class TransferFunctionWindowTest : public SonvelTest::WindowTest {
protected:
    void SetUp() override {
        prefix = "tfwin-";
        WindowTest::SetUp();
    }
    static const TfPoint* Near(const TransferFunctionWindow* w, double hz) {
        const TfPoint* best = nullptr;
        for (const TfPoint& p : w->Shown())
            if (best == nullptr ||
                std::fabs(std::log(p.frequency / hz)) < std::fabs(std::log(best->frequency / hz)))
                best = &p;
        return best;
    }
};

TEST_F(TransferFunctionWindowTest, SpeakerDelayAndResponseStoredAndPausedForASweep) {
    ctrl->Audio().UseSimulated(true, SonvelTest::SimulatedModel::Speaker);
    for (QAction* a : window->LiveMenu()->actions())
        if (a->text() == "&Transfer function...")
            a->trigger();
    auto* tf = window->findChild<TransferFunctionWindow*>();
    ASSERT_NE(tf, nullptr);
    EXPECT_LE(tf->RefreshTimer()->interval(), 100);
    tf->SetResolution(12);
    ASSERT_TRUE(tf->Analysing()) << tf->StatusText().toStdString();
    const double fs = StreamInitializer::Get()->GetSamplerate();
    const Kedra::PAudioII::DeviceModel speaker(Kedra::PAudioII::DeviceModelParams::For(
        Kedra::PAudioII::SimulatedModel::Speaker, std::lround(fs)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return tf->DelayFound(); }, 8000))
        << tf->StatusText().toStdString();
    EXPECT_NEAR(tf->DelayMs(), 1000.0 / 343.0, 0.05);
    EXPECT_TRUE(tf->DelayText().startsWith("Delay: 2.9")) << tf->DelayText().toStdString();
    const double hz[] = {200.0, 1000.0, 5000.0};
    const auto ready = [&] {
        for (const double f : hz)
            if (Near(tf, f) == nullptr || std::isnan(Near(tf, f)->coherence))
                return false;
        return true;
    };
    ASSERT_TRUE(QTest::qWaitFor(ready, 20000));
    for (const double f : hz) {
        const TfPoint* p = Near(tf, f);
        EXPECT_NEAR(Kedra::Live::MagnitudeDb(p->h),
                    20.0 * std::log10(std::abs(speaker.Response(p->frequency))), 0.5)
            << p->frequency;
        EXPECT_GT(p->coherence, 0.95) << p->frequency;
    }
    EXPECT_NE(tf->ReadoutAt(1000.0).indexOf("\u03b3\u00b2 0.9"), -1)
        << tf->ReadoutAt(1000.0).toStdString();
    const int updates = tf->Updates();
    QTest::qWait(500);
    EXPECT_GE(tf->Updates(), updates + 5) << "10 updates a second or more";

    const int slot = tf->Store();
    ASSERT_EQ(slot, ctrl->PresenterSlot(MainCtrl::PRESENTER_A)) << "the first empty one";
    Kedra::Measure::Measurement* stored = ctrl->List().No(slot);
    EXPECT_EQ(stored->GetLabel().rfind("TF input 1 vs input 9, delay 2.9", 0), 0u)
        << stored->GetLabel();
    EXPECT_NEAR(20.0 *
                    std::log10(std::abs(stored->GetFInterpolated(1000.0)) * stored->GetAmplitude()),
                20.0 * std::log10(std::abs(speaker.Response(1000.0))), 0.5);

    // Asked to, it searches again and finds the same.
    tf->FindDelay();
    EXPECT_NE(tf->DelayText().indexOf("again"), -1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return tf->DelayText().indexOf("again") < 0; }, 8000));
    EXPECT_NEAR(tf->DelayMs(), 1000.0 / 343.0, 0.05);

    // A sweep takes the stream; the analysis waits and resumes.
    bool pausedAtStart = false;
    QObject::connect(window.get(), &Gui::MainWindow::measurementStarted, tf, [&] {
        pausedAtStart = tf->Paused() && !tf->Analysing() &&
                        tf->StatusText().startsWith("Paused while a sweep measures");
    });
    QSignalSpy done(window.get(), &Gui::MainWindow::measurementFinished);
    ASSERT_TRUE(window->StartMeasurement(MainCtrl::PRESENTER_B));
    ASSERT_TRUE(done.wait(60000));
    EXPECT_TRUE(pausedAtStart);
    EXPECT_TRUE(done.first().first().toBool());
    ASSERT_TRUE(tf->Analysing()) << tf->StatusText().toStdString();
    ASSERT_TRUE(QTest::qWaitFor(ready, 20000));
    QTest::qWait(3000);
    Screenshot("transfer.png", tf);

    // Inputs it cannot use say why.
    tf->SetInputs(1, 1);
    EXPECT_FALSE(tf->Analysing());
    EXPECT_TRUE(tf->StatusText().startsWith(
        "The reference and the measurement must be two different inputs"));
    tf->SetInputs(30, 1);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return tf->StatusText().contains("the input device has no input 30"); }, 5000))
        << tf->StatusText().toStdString();
    tf->close();
    EXPECT_FALSE(tf->Analysing());
}

} // namespace
