#include "gui/LevelMeterWindow.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFontInfo>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <cmath>
#include <filesystem>
#include <limits>
#include <sstream>

#include "WindowTestFixture.h"
#include "app/MainCtrl.h"
#include "app/Options.h"
#include "audio/Devices.h"
#include "audio/SimulatedSoundCard.h"
#include "audio/StreamInitializer.h"
#include "gui/DeviceReportDialog.h"
#include "gui/FixedPitchFont.h"
#include "gui/GuiFrontEnd.h"
#include "gui/MainWindow.h"
#include "measure/Measurement.h"
#include "support/TestSupport.h"

namespace {

using namespace Kedra::Sonvel;
using Gui::LevelMeterWindow;
namespace fs = std::filesystem;

// The meter writes dB with a typographic minus and silence as minus infinity.
double Parse(const QString& text) {
    QString t = text;
    t.replace(QChar(0x2212), '-');
    if (t == QStringLiteral("-\u221E"))
        return -std::numeric_limits<double>::infinity();
    bool ok = false;
    const double v = t.toDouble(&ok);
    return ok ? v : std::numeric_limits<double>::quiet_NaN();
}

QAction* MenuAction(const QMenu* menu, const QString& text) {
    for (QAction* a : menu->actions())
        if (a->text() == text)
            return a;
    return nullptr;
}

class LevelMeterTest : public SonvelTest::WindowTest {
protected:
    void SetUp() override {
        prefix = "meter-";
        WindowTest::SetUp();
    }
    LevelMeterWindow* OpenMeter(float amplitude) {
        Conf::Options::Field.Dev.OutputPCMAmplitude = amplitude;
        Conf::Options::Field.Dev.OutputChMask = 1;
        ctrl->Audio().UseSimulated(true, Kedra::PAudioII::SimulatedModel::Loopback);
        QAction* open = MenuAction(window->LiveMenu(), "&Level meter...");
        if (open == nullptr)
            return nullptr;
        open->trigger();
        return window->findChild<LevelMeterWindow*>();
    }
    bool LevelNear(LevelMeterWindow* meter, int channel, double db) {
        return QTest::qWaitFor(
            [&] { return std::abs(Parse(meter->LevelText(channel)) - db) < 0.5; }, 5000);
    }
};

TEST_F(LevelMeterTest, ShowsTheToneAtItsPeakLevelAndLetsAMeasurementHaveTheStream) {
    const double amplitude = 0.5;
    LevelMeterWindow* meter = OpenMeter(static_cast<float>(amplitude));
    ASSERT_NE(meter, nullptr);
    ASSERT_TRUE(meter->Metering()) << meter->StatusText().toStdString();
    EXPECT_LE(meter->RefreshTimer()->interval(), 50);
    EXPECT_TRUE(meter->RefreshTimer()->isActive());
    EXPECT_EQ(meter->Channels(), Kedra::PAudioII::StreamInitializer::Get()->GetInChannels());
    ASSERT_GE(meter->Channels(), 2);
    ASSERT_TRUE(QTest::qWaitFor([&] { return meter->Updates() > 0; }, 5000));
    EXPECT_EQ(Parse(meter->LevelText(0)), -std::numeric_limits<double>::infinity());

    // The meter shows a block's largest sample: a sine's crest, 20 log10(a), not its RMS.
    const double crestDb = 20.0 * std::log10(amplitude);
    meter->ToneBox()->click();
    ASSERT_TRUE(LevelNear(meter, 0, crestDb)) << meter->LevelText(0).toStdString();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return std::abs(Parse(meter->PeakText(0)) - crestDb) < 0.5; }, 5000));
    // The tone plays on the first output only; the loopback returns silence on the second.
    EXPECT_EQ(Parse(meter->LevelText(1)), -std::numeric_limits<double>::infinity());
    EXPECT_FALSE(meter->ClipLit(0));
    const int updates = meter->Updates();
    QTest::qWait(300);
    EXPECT_GT(meter->Updates(), updates);
    meter->resize(meter->sizeHint().expandedTo(QSize(560, 420)));
    QTest::qWait(100);
    Screenshot("level-meter.png", meter);

    // The meter lets go of the stream as the measurement starts, and takes it back after.
    bool releasedAtStart = false;
    QObject::connect(window.get(), &Gui::MainWindow::measurementStarted, meter, [&] {
        releasedAtStart = meter->Paused() && !meter->Metering() &&
                          meter->StatusText() == "Paused while measuring" &&
                          Kedra::PAudioII::StreamInitializer::Get()->GetStatus() !=
                              Kedra::PAudioII::STREAM_RUNNING;
    });
    QSignalSpy done(window.get(), &Gui::MainWindow::measurementFinished);
    ASSERT_TRUE(window->StartMeasurement(MainCtrl::PRESENTER_A));
    ASSERT_TRUE(done.wait(60000));
    EXPECT_TRUE(releasedAtStart);
    EXPECT_TRUE(done.first().first().toBool());
    EXPECT_TRUE(ctrl->Presenter(MainCtrl::PRESENTER_A)->IsInitialized());
    EXPECT_TRUE(meter->Metering());
    EXPECT_TRUE(LevelNear(meter, 0, crestDb)) << meter->LevelText(0).toStdString();

    meter->close();
    EXPECT_FALSE(meter->Metering());
    EXPECT_NE(Kedra::PAudioII::StreamInitializer::Get()->GetStatus(),
              Kedra::PAudioII::STREAM_RUNNING);
}

TEST_F(LevelMeterTest, ClipLightStaysLitUntilReset) {
    // In real time, so that a reset can land while the held peak (1 s) still holds the clip.
    struct RealTime {
        double saved = Kedra::PAudioII::SimulatedSoundCard::GetSpeed();
        RealTime() { Kedra::PAudioII::SimulatedSoundCard::SetSpeed(1.0); }
        ~RealTime() { Kedra::PAudioII::SimulatedSoundCard::SetSpeed(saved); }
    } realTime;
    LevelMeterWindow* meter = OpenMeter(1.0f);
    ASSERT_NE(meter, nullptr);
    ASSERT_TRUE(meter->Metering()) << meter->StatusText().toStdString();
    QPushButton* reset = nullptr;
    for (QPushButton* b : meter->findChildren<QPushButton*>())
        if (b->text() == "Reset peaks")
            reset = b;
    ASSERT_NE(reset, nullptr);
    auto silent = [&](const QString& text) { return std::isinf(Parse(text)); };

    meter->SetTestTone(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return meter->ClipLit(0); }, 5000));
    EXPECT_FALSE(meter->ClipLit(1));
    // Lit long after the clipping tone and its held peak are gone.
    meter->SetTestTone(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return silent(meter->PeakText(0)); }, 5000));
    QTest::qWait(100);
    EXPECT_TRUE(meter->ClipLit(0));
    reset->click();
    EXPECT_FALSE(meter->ClipLit(0));

    // A reset while the held peak still holds the clip clears the light for good.
    meter->SetTestTone(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return meter->ClipLit(0); }, 5000));
    meter->SetTestTone(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return silent(meter->LevelText(0)); }, 5000));
    reset->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return silent(meter->PeakText(0)); }, 5000));
    QTest::qWait(100);
    EXPECT_FALSE(meter->ClipLit(0));
}

TEST_F(LevelMeterTest, MissingDevicesAreToldInTheWindow) {
    ctrl->Audio().UseSimulated(false, Kedra::PAudioII::SimulatedModel::Loopback);
    Conf::Options::Field.Dev.ApiNumber = 999;
    LevelMeterWindow* meter = LevelMeterWindow::Open(*ctrl, front, *window);
    EXPECT_FALSE(meter->Metering());
    EXPECT_EQ(meter->Channels(), 0);
    EXPECT_TRUE(meter->StatusText().contains("No devices to meter"));
    EXPECT_TRUE(meter->StatusText().contains("999")) << meter->StatusText().toStdString();
    // Tone and reset do nothing without a stream, and a second try fails the same way.
    meter->SetTestTone(true);
    meter->ResetPeaks();
    EXPECT_EQ(LevelMeterWindow::Open(*ctrl, front, *window), meter);
    EXPECT_FALSE(meter->Metering());
    EXPECT_EQ(Kedra::PAudioII::StreamInitializer::Get()->GetGenerator(), nullptr);
}

TEST_F(LevelMeterTest, DeviceReportShowsWhatTheCommandLinePrints) {
    QAction* open = MenuAction(window->ToolsMenu(), "&Device report...");
    ASSERT_NE(open, nullptr);
    open->trigger();
    auto* report = window->findChild<Gui::DeviceReportDialog*>();
    ASSERT_NE(report, nullptr);
    std::ostringstream expected;
    Kedra::PAudioII::ShowDeviceInfo(expected);
    const QString text = QString::fromStdString(expected.str());
    ASSERT_FALSE(text.isEmpty());
    EXPECT_EQ(report->Text(), text);
    EXPECT_TRUE(report->View()->isReadOnly());
    EXPECT_TRUE(Gui::HasEqualAdvances(report->View()->font()));
    // The check itself must tell a proportional face from a fixed one.
    const QFont proportional(QStringLiteral("DejaVu Sans"));
    if (QFontInfo(proportional).family() == proportional.family()) {
        EXPECT_FALSE(Gui::HasEqualAdvances(proportional));
    }
    report->CopyAll();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), text);
    QTest::qWait(50);
    Screenshot("device-report.png", report);
}

} // namespace
