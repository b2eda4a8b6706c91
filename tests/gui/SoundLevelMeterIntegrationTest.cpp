#include "gui/SoundLevelMeterWindow.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include <qcustomplot.h>

#include "WindowTestFixture.h"
#include "app/SplReference.h"
#include "audio/SimulatedSoundCard.h"
#include "audio/SineTone.h"
#include "audio/StreamInitializer.h"
#include "gui/LevelMeterWindow.h"

namespace {

using namespace Kedra::Sonvel;
using Gui::SoundLevelMeterWindow;
using Kedra::PAudioII::STREAM_RUNNING;
using Kedra::PAudioII::StreamInitializer;

double Parse(const QString& text) {
    QString t = text;
    t.replace(QChar(0x2212), '-');
    bool ok = false;
    const double v = t.toDouble(&ok);
    return ok ? v : std::numeric_limits<double>::quiet_NaN();
}

class SoundLevelMeterTest : public SonvelTest::WindowTest {
protected:
    void SetUp() override {
        prefix = "slm-";
        WindowTest::SetUp();
    }
    void TearDown() override {
        StreamInitializer* stream = StreamInitializer::Get();
        if (stream->GetGenerator() == &tone)
            stream->SetGenerator(nullptr);
        WindowTest::TearDown();
    }
    SoundLevelMeterWindow* OpenFromMenu() {
        ctrl->Audio().UseSimulated(true, Kedra::PAudioII::SimulatedModel::Loopback);
        for (QAction* a : window->LiveMenu()->actions())
            if (a->text() == "&Sound level meter...")
                a->trigger();
        return window->findChild<SoundLevelMeterWindow*>();
    }
    // A 1 kHz sine of this peak amplitude on the first output, back on the first input.
    void PlayTone(double amplitude) {
        StreamInitializer* stream = StreamInitializer::Get();
        stream->SetOutVolume(static_cast<float>(amplitude));
        stream->SetOutChMask(1);
        if (stream->GetGenerator() != &tone) {
            tone.frequency = 1000.0;
            tone.Reset();
            stream->SetGenerator(&tone);
        }
        stream->SetRampDown(false);
        stream->SetRampUp(false);
        stream->SetOutputEnabled(true);
    }
    static bool Near(const QString& text, double db, double tolerance) {
        return std::abs(Parse(text) - db) <= tolerance;
    }
    Kedra::PAudioII::SineTone tone;
};

std::vector<std::vector<std::string>> ReadCsv(const std::filesystem::path& path,
                                              std::string& header) {
    std::ifstream in(path);
    std::getline(in, header);
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> cells;
        std::size_t from = 0;
        for (std::size_t comma; (comma = line.find(',', from)) != std::string::npos;
             from = comma + 1)
            cells.push_back(line.substr(from, comma - from));
        cells.push_back(line.substr(from));
        rows.push_back(cells);
    }
    return rows;
}

TEST_F(SoundLevelMeterTest, ReadsAToneAtItsLevelLogsItAndPausesWhileMeasuring) {
    SoundLevelMeterWindow* slm = OpenFromMenu();
    ASSERT_NE(slm, nullptr);
    ASSERT_TRUE(slm->Metering()) << slm->StatusText().toStdString();
    EXPECT_EQ(slm->UnitText(), "dBFS");

    // AES17: a sine of peak a reads 20 log10(a); A weighting is 0 dB at 1 kHz.
    const double level = 20.0 * std::log10(0.25);
    PlayTone(0.25);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Near(slm->FastText(), level, 0.1) && Near(slm->SlowText(), level, 0.1); },
        10000))
        << slm->FastText().toStdString() << " " << slm->SlowText().toStdString();
    // Leq counts the silence before the tone too, so it lies below until that is outweighed.
    EXPECT_LE(Parse(slm->LeqText()), level + 0.1);

    const std::filesystem::path csv = dir / "levels.csv";
    slm->SetLogInterval(0.5);
    ASSERT_TRUE(slm->StartLogging(QString::fromStdString(csv.string())))
        << slm->LogStatusText().toStdString();
    std::string header;
    ASSERT_TRUE(QTest::qWaitFor([&] { return ReadCsv(csv, header).size() >= 6; }, 10000));
    slm->StopLogging();
    EXPECT_FALSE(slm->Logging());
    const auto rows = ReadCsv(csv, header);
    EXPECT_EQ(header, "time_s,LAF,LAS,LAeq,LCpeak");
    EXPECT_TRUE(slm->LogStatusText().contains(QString("Logged %1 rows").arg(rows.size())));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 5u);
        EXPECT_DOUBLE_EQ(std::stod(rows[i][0]), 0.5 * static_cast<double>(i + 1));
        // F has settled to 0.08 dB at the first row, 0.5 s in (exp(-4)).
        EXPECT_NEAR(std::stod(rows[i][1]), level, 0.1) << i;
        EXPECT_NEAR(std::stod(rows[i][3]), level, 0.05) << i;
        // Past the onset, the C-weighted peak of a sine is 3.01 dB above its level.
        if (i > 0) {
            EXPECT_NEAR(std::stod(rows[i][4]), level + 3.01, 0.1) << i;
        }
    }

    // Levels that change every 2.4 s, for the graph and the picture: F follows each step,
    // S lags behind it.
    const double speed = Kedra::PAudioII::SimulatedSoundCard::GetSpeed();
    Kedra::PAudioII::SimulatedSoundCard::SetSpeed(8.0);
    for (const double a :
         {0.1,  0.3,  0.05, 0.2, 0.12, 0.4,   0.05, 0.3,  0.1,  0.02, 0.2,  0.5, 0.08,
          0.03, 0.25, 0.12, 0.4, 0.06, 0.015, 0.18, 0.35, 0.09, 0.22, 0.04, 0.3, 0.25}) {
        PlayTone(a);
        QTest::qWait(300);
    }
    const bool settled = QTest::qWaitFor([&] { return Near(slm->SlowText(), level, 0.1); }, 10000);
    slm->SetGraphSpan(0);
    QTest::qWait(100);
    Screenshot("slm.png", slm);
    Kedra::PAudioII::SimulatedSoundCard::SetSpeed(speed);
    ASSERT_TRUE(settled) << slm->SlowText().toStdString();
    const QCPGraph* fast = slm->Graph()->graph(0);
    EXPECT_LE(fast->dataCount(), static_cast<int>(SoundLevelMeterWindow::HISTORY_SECONDS * 1000 /
                                                  SoundLevelMeterWindow::REFRESH_MS) +
                                     1);
    EXPECT_GE(fast->data()->begin()->key, -SoundLevelMeterWindow::HISTORY_SECONDS);
    EXPECT_NEAR((fast->data()->end() - 1)->key, 0.0, 1e-9);

    bool pausedAtStart = false;
    QObject::connect(window.get(), &Gui::MainWindow::measurementStarted, slm, [&] {
        pausedAtStart =
            slm->Paused() && !slm->Metering() && slm->StatusText() == "Paused while measuring";
    });
    QSignalSpy done(window.get(), &Gui::MainWindow::measurementFinished);
    ASSERT_TRUE(window->StartMeasurement(MainCtrl::PRESENTER_A));
    ASSERT_TRUE(done.wait(60000));
    EXPECT_TRUE(done.first().first().toBool());
    EXPECT_TRUE(pausedAtStart);
    ASSERT_TRUE(slm->Metering()) << slm->StatusText().toStdString();
    EXPECT_FALSE(slm->Paused());
    PlayTone(0.25);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Near(slm->FastText(), level, 0.1); }, 10000))
        << slm->FastText().toStdString();

    slm->close();
    EXPECT_FALSE(slm->Metering());
    EXPECT_NE(StreamInitializer::Get()->GetStatus(), STREAM_RUNNING);
}

TEST_F(SoundLevelMeterTest, OverloadLatchesUntilResetAndAWeightingRestartsTheMeter) {
    SoundLevelMeterWindow* slm = OpenFromMenu();
    ASSERT_NE(slm, nullptr);
    ASSERT_TRUE(slm->Metering()) << slm->StatusText().toStdString();
    EXPECT_FALSE(slm->OverloadLit());
    PlayTone(1.0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return slm->OverloadLit(); }, 10000));
    PlayTone(0.1);
    // S settled is long past the meter's own hold of 1 s of signal; however fast the card
    // runs (64 times real time, or far slower under a sanitizer), the light stays.
    ASSERT_TRUE(QTest::qWaitFor([&] { return Near(slm->SlowText(), -20.0, 0.1); }, 30000))
        << slm->SlowText().toStdString();
    EXPECT_TRUE(slm->OverloadLit());
    slm->Reset();
    EXPECT_FALSE(slm->OverloadLit());
    QTest::qWait(300);
    EXPECT_FALSE(slm->OverloadLit());
    // F and S go on through a reset; only Leq and the maxima start again.
    EXPECT_TRUE(Near(slm->SlowText(), -20.0, 0.1)) << slm->SlowText().toStdString();

    slm->SetWeighting(Kedra::Live::Weighting::C);
    EXPECT_TRUE(slm->StatusText().contains("started again")) << slm->StatusText().toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return Near(slm->FastText(), -20.0, 0.1); }, 10000));

    // The log's header names the weighting, so it stays while logging.
    ASSERT_TRUE(slm->StartLogging(QString::fromStdString((dir / "c.csv").string())));
    slm->SetWeighting(Kedra::Live::Weighting::Z);
    EXPECT_EQ(slm->GetWeighting(), Kedra::Live::Weighting::C);
    EXPECT_TRUE(slm->LogStatusText().contains("Stop logging"))
        << slm->LogStatusText().toStdString();
}

TEST_F(SoundLevelMeterTest, ALogThatCannotBeWrittenSaysWhyAndStops) {
    SoundLevelMeterWindow* slm = OpenFromMenu();
    ASSERT_NE(slm, nullptr);
    ASSERT_TRUE(slm->Metering()) << slm->StatusText().toStdString();
    const QString missing = QString::fromStdString((dir / "no" / "such" / "x.csv").string());
    EXPECT_FALSE(slm->StartLogging(missing));
    EXPECT_FALSE(slm->Logging());
    EXPECT_TRUE(slm->LogStatusText().contains("Cannot log to " + missing))
        << slm->LogStatusText().toStdString();
    // A device that takes the file but none of its bytes: the header fails.
    if (std::filesystem::exists("/dev/full")) {
        EXPECT_FALSE(slm->StartLogging("/dev/full"));
        EXPECT_FALSE(slm->Logging());
        EXPECT_TRUE(slm->LogStatusText().contains("/dev/full"))
            << slm->LogStatusText().toStdString();
    }
    // The meter goes on, and a good path logs.
    EXPECT_TRUE(slm->Metering());
    EXPECT_TRUE(slm->StartLogging(QString::fromStdString((dir / "ok.csv").string())));
}

TEST_F(SoundLevelMeterTest, ClosingOneLiveWindowLeavesTheStreamToTheOther) {
    SoundLevelMeterWindow* slm = OpenFromMenu();
    ASSERT_NE(slm, nullptr);
    ASSERT_TRUE(slm->Metering());
    Gui::LevelMeterWindow* meter = Gui::LevelMeterWindow::Open(*ctrl, front, *window);
    ASSERT_TRUE(meter->Metering()) << meter->StatusText().toStdString();
    meter->close();
    const int updates = slm->Updates();
    EXPECT_EQ(StreamInitializer::Get()->GetStatus(), STREAM_RUNNING);
    EXPECT_TRUE(QTest::qWaitFor([&] { return slm->Updates() > updates + 2; }, 5000));
    EXPECT_FALSE(slm->StatusText().contains("stopped")) << slm->StatusText().toStdString();

    meter = Gui::LevelMeterWindow::Open(*ctrl, front, *window);
    ASSERT_TRUE(meter->Metering());
    slm->close();
    EXPECT_EQ(StreamInitializer::Get()->GetStatus(), STREAM_RUNNING);
    const int blocks = meter->Updates();
    EXPECT_TRUE(QTest::qWaitFor([&] { return meter->Updates() > blocks + 2; }, 5000));
    meter->close();
    EXPECT_NE(StreamInitializer::Get()->GetStatus(), STREAM_RUNNING);
}

TEST_F(SoundLevelMeterTest, ReadsDbSplThroughTheInputsReference) {
    ctrl->Audio().UseSimulated(true, Kedra::PAudioII::SimulatedModel::Loopback);
    ASSERT_TRUE(ctrl->Audio().ApplyDevices(Conf::Options::Field));
    SplReference reference;
    reference.device = CurrentInputDevice();
    reference.channel = Conf::Options::Field.Dev.InputChannel;
    reference.levelDb = 94.0;
    reference.dbfs = -26.0;
    StoreSplReference(reference);
    SoundLevelMeterWindow* slm = OpenFromMenu();
    ASSERT_NE(slm, nullptr);
    ASSERT_TRUE(slm->Metering()) << slm->StatusText().toStdString();
    EXPECT_EQ(slm->UnitText(), "dB SPL");
    PlayTone(0.1); // -20 dBFS
    EXPECT_TRUE(QTest::qWaitFor([&] { return Near(slm->FastText(), 100.0, 0.1); }, 10000))
        << slm->FastText().toStdString();
}

} // namespace
