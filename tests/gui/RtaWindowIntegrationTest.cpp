#include "gui/RtaWindow.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <utility>

#include "WindowTestFixture.h"
#include "app/SplReference.h"
#include "audio/SimulatedSoundCard.h"
#include "audio/SineTone.h"
#include "audio/StreamInitializer.h"
#include "gui/PlotStyle.h"
#include "live/OctaveBandBank.h"
#include "measure/Measurement.h"

namespace {

using namespace Kedra::Sonvel;
using Gui::RtaWindow;
using Kedra::Live::RtaReading;
using Kedra::PAudioII::StreamInitializer;

class RtaWindowTest : public SonvelTest::WindowTest {
protected:
    void SetUp() override {
        prefix = "rta-";
        WindowTest::SetUp();
    }
    void TearDown() override {
        StreamInitializer* stream = StreamInitializer::Get();
        stream->SetOutputEnabled(false);
        stream->SetGenerator(nullptr);
        WindowTest::TearDown();
    }
    RtaWindow* OpenRta(Kedra::PAudioII::SimulatedModel model) {
        ctrl->Audio().UseSimulated(true, model);
        for (QAction* a : window->LiveMenu()->actions())
            if (a->text() == "&RTA...")
                a->trigger();
        return window->findChild<RtaWindow*>();
    }
    // A sine of peak `amplitude` on the first output, as the generated truth.
    void PlayTone(double hz, double amplitude) {
        StreamInitializer* stream = StreamInitializer::Get();
        tone.frequency = hz;
        tone.Reset();
        stream->SetOutVolume(static_cast<float>(amplitude));
        stream->SetOutChMask(1);
        stream->SetGenerator(&tone);
        stream->SetRampDown(false);
        stream->SetRampUp(false);
        stream->SetOutputEnabled(true);
    }
    static const RtaReading* Band(const RtaWindow* rta, double nominal) {
        for (const RtaReading& r : rta->Shown())
            if (std::fabs(std::log(r.frequency / nominal)) < 0.05)
                return &r;
        return nullptr;
    }
    Kedra::PAudioII::SineTone tone;
};

TEST_F(RtaWindowTest, TheThirdOctaveBandReadsAToneItsLevelAndStoresItPausingForASweep) {
    RtaWindow* rta = OpenRta(Kedra::PAudioII::SimulatedModel::Loopback);
    ASSERT_NE(rta, nullptr);
    ASSERT_TRUE(rta->Analysing()) << rta->StatusText().toStdString();
    EXPECT_LE(rta->RefreshTimer()->interval(), 100);
    EXPECT_EQ(rta->UnitLabel(), "Level [dBFS]");
    rta->SetLevel(Kedra::Live::RtaLevel::Fast);
    const double amplitude = 0.25;
    PlayTone(1000.0, amplitude);
    // AES17: the sine's RMS level re a full-scale sine.
    const double expected = 20.0 * std::log10(amplitude);
    const auto bandNear = [&] {
        const RtaReading* b = Band(rta, 1000.0);
        return b != nullptr && std::fabs(b->levelDb - expected) < 0.2;
    };
    ASSERT_TRUE(QTest::qWaitFor(bandNear, 8000))
        << (Band(rta, 1000.0) ? Band(rta, 1000.0)->levelDb : -999.0);
    // The bank's eighth-order band-passes: some 25 dB down at the next midbands, 50 beyond.
    for (const auto& [band, below] : {std::pair{800.0, 20.0}, std::pair{1250.0, 20.0},
                                      std::pair{630.0, 45.0}, std::pair{1600.0, 45.0}}) {
        ASSERT_NE(Band(rta, band), nullptr) << band;
        EXPECT_LT(Band(rta, band)->levelDb, expected - below) << band;
    }
    EXPECT_TRUE(rta->ReadoutAt(1050.0).startsWith("1 kHz: \u221212."))
        << rta->ReadoutAt(1050.0).toStdString();
    const int updates = rta->Updates();
    QTest::qWait(300);
    EXPECT_GT(rta->Updates(), updates + 2) << "refreshes at 10 Hz at least";

    const int slot = rta->Store();
    ASSERT_EQ(slot, ctrl->PresenterSlot(MainCtrl::PRESENTER_A)) << "the first empty one";
    Kedra::Measure::Measurement* stored = ctrl->List().No(slot);
    EXPECT_EQ(stored->GetLabel(), "RTA 1/3 oct, Z, Fast");
    EXPECT_FALSE(stored->HasSpl());
    EXPECT_NEAR(20.0 *
                    std::log10(std::abs(stored->GetFInterpolated(1000.0)) * stored->GetAmplitude()),
                expected, 0.2);

    // A sweep takes the stream; the analysis waits and resumes.
    bool pausedAtStart = false;
    QObject::connect(window.get(), &Gui::MainWindow::measurementStarted, rta, [&] {
        pausedAtStart = rta->Paused() && !rta->Analysing() &&
                        rta->StatusText().startsWith("Paused while a sweep measures");
    });
    QSignalSpy done(window.get(), &Gui::MainWindow::measurementFinished);
    ASSERT_TRUE(window->StartMeasurement(MainCtrl::PRESENTER_B));
    ASSERT_TRUE(done.wait(60000));
    EXPECT_TRUE(pausedAtStart);
    EXPECT_TRUE(done.first().first().toBool());
    EXPECT_TRUE(rta->Analysing()) << rta->StatusText().toStdString();
    PlayTone(1000.0, amplitude);
    EXPECT_TRUE(QTest::qWaitFor(bandNear, 8000));

    // An SPL reference for the input and the A weighting (0 dB at 1 kHz): dB SPL on screen
    // and in what is stored.
    SplReference ref;
    ref.device = CurrentInputDevice();
    ref.channel = Conf::Options::Field.Dev.InputChannel;
    ref.levelDb = 94.0;
    ref.dbfs = -20.0;
    StoreSplReference(ref);
    rta->SetWeighting(Kedra::Live::Weighting::A);
    EXPECT_EQ(rta->UnitLabel(), "Level [dB SPL], A-weighted");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const RtaReading* b = Band(rta, 1000.0);
            return b != nullptr && std::fabs(b->levelDb - (expected + 114.0)) < 0.2;
        },
        8000));
    const int splSlot = rta->Store();
    ASSERT_GE(splSlot, 0);
    EXPECT_EQ(ctrl->List().No(splSlot)->GetLabel(), "RTA 1/3 oct, A, Fast");
    EXPECT_TRUE(ctrl->List().No(splSlot)->HasSpl());
    rta->SetWeighting(Kedra::Live::Weighting::Z);

    // The FFT's bins through a flat-top window: the loudest reads the sine's level too, in
    // dB SPL still.
    rta->SetFftWindow(Kedra::Live::RtaWindow::FlatTop);
    rta->SetResolution(RtaWindow::Bins);
    EXPECT_EQ(rta->StoreLabel(), "RTA FFT 16384, Z, exp 1 s, Flat-top");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            double loudest = -1000.0;
            for (const RtaReading& r : rta->Shown())
                loudest = std::max(loudest, r.levelDb);
            return rta->Shown().size() == 8193u && std::fabs(loudest - (expected + 114.0)) < 0.2;
        },
        8000));

    rta->resize(980, 640);
    Screenshot("rta-fft.png", rta);

    // The sweep left the stream running (KeepStreamActive); the window leaves nothing on it.
    rta->close();
    EXPECT_FALSE(rta->Analysing());
    EXPECT_EQ(StreamInitializer::Get()->InputBufferCount(), 0);
}

TEST_F(RtaWindowTest, ScreenshotOfTheSpeakerPlayingATone) {
    RtaWindow* rta = OpenRta(Kedra::PAudioII::SimulatedModel::Speaker);
    ASSERT_NE(rta, nullptr);
    ASSERT_TRUE(rta->Analysing()) << rta->StatusText().toStdString();
    PlayTone(500.0, 0.5);
    rta->SetLevel(Kedra::Live::RtaLevel::Slow);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const RtaReading* f = Band(rta, 500.0);
            return f != nullptr && f->levelDb > -40.0;
        },
        8000));
    QTest::qWait(1500);
    rta->ResetPeaks();
    QTest::qWait(1000);
    rta->resize(980, 640);
    QTest::qWait(200);
    QCustomPlot* plot = rta->Plot();
    const QPointF at(plot->xAxis->coordToPixel(500.0), plot->axisRect()->center().y());
    QMouseEvent move(QEvent::MouseMove, at, plot->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(plot, &move);
    QTest::qWait(50);
    Screenshot("rta.png", rta);
}

} // namespace
