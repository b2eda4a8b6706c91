#include <gtest/gtest.h>

#include <sys/wait.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QDropEvent>
#include <QItemSelectionModel>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QUrl>
#include <cmath>
#include <filesystem>
#include <sstream>

#include "WindowTestFixture.h"
#include "gui/AverageDialog.h"
#include "gui/LoopbackDialog.h"
#include "gui/MeasurementTableModel.h"
#include "gui/OperationDialog.h"
#include "measure/Measurement.h"

namespace {

using namespace Kedra::Sonvel;
using Kedra::Measure::Measurement;
using Kedra::PAudioII::SimulatedModel;
namespace fs = std::filesystem;

struct CliRun {
    int status = -1;
    std::string err;
};

CliRun Sonvel(const fs::path& userDir, const std::string& args) {
    const fs::path err = userDir / "stderr.txt";
    std::string command = SONVEL_BINARY;
    command += " --user-dir '" + userDir.string() + "' --yes ";
    command += args;
    command += " >/dev/null 2>'" + err.string() + "'";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, SonvelTest::ReadBytes(err)};
}

// The level of a record in dB at the bin nearest `hz`.
double LevelDb(Measurement& m, double hz) {
    const int k = static_cast<int>(std::lround(hz / m.GetHzPerBin()));
    return 20.0 * std::log10(m.GetA()[k]);
}

// The first line where two texts differ, both versions, for the failure message.
std::string FirstDifference(const std::string& a, const std::string& b) {
    std::istringstream x(a), y(b);
    std::string p, q;
    for (int line = 1; std::getline(x, p) || std::getline(y, q); ++line) {
        if (!std::getline(y, q))
            q = "<end>";
        if (p != q)
            return "line " + std::to_string(line) + ":\n  " + p + "\n  " + q;
        p.clear();
    }
    return "none";
}

class OperationsTest : public SonvelTest::WindowTest {
protected:
    void SetUp() override {
        prefix = "operations-";
        WindowTest::SetUp();
    }
};

TEST_F(OperationsTest, EachOperationFromItsDialogWritesWhatTheCommandLineWrites) {
    // Three speaker measurements made by the command line, then every operation done once
    // through its dialog and once by the command line, in the same order on both sides.
    const fs::path cli = dir / "cli";
    fs::create_directories(cli);
    ASSERT_EQ(Sonvel(cli, "--set Dev.OutputPCMAmplitude=0.5 measure A B C --sim speaker").status,
              0);
    const fs::path package = dir / "three.zip";
    fs::copy_file(cli / AUTOSAVE_MEAS_FILENAME, package);
    ASSERT_TRUE(window->OpenPackage(QString::fromStdString(package.string()), false));
    // C on a fourth slot, so that the microphone calibration may use the first three.
    ctrl->SetPresenterSlot(MainCtrl::PRESENTER_C, 3);
    ASSERT_EQ(Sonvel(cli, "--set Misc.CSlotNr=3 list").status, 0);

    struct Step {
        Gui::Operation op;
        std::function<void(Gui::OperationDialog&)> set;
        std::string command;
        const char* slot; // what the command line exports afterwards
        int slotNo;
    };
    const std::vector<Step> steps = {
        {Gui::Operation::Combine, [](auto& d) { d.OperatorBox()->setCurrentIndex(3); }, "op div",
         "C", 3},
        {Gui::Operation::Match,
         [](auto& d) {
             d.Number(0)->setValue(500.0);
             d.Number(1)->setValue(100.0);
             d.Flag()->setChecked(true);
         },
         "match --fc 500 --bw 100 --time", "A", 0},
        {Gui::Operation::Stitch,
         [](auto& d) {
             d.Number(0)->setValue(300.0);
             d.Number(1)->setValue(50.0);
         },
         "stitch --fc 300 --bw 50", "C", 3},
        {Gui::Operation::Invert, [](auto&) {}, "invert", "B", 1},
        {Gui::Operation::MinimumPhase,
         [](auto& d) {
             d.SlotBox()->setCurrentIndex(d.SlotBox()->findData(2));
             d.Flag()->setChecked(true);
         },
         "minphase 2 --causal", "2", 2},
        {Gui::Operation::QBox,
         [](auto& d) {
             d.Number(0)->setValue(20.0);
             d.Number(1)->setValue(300.0);
         },
         "qbox --from 20 --to 300", "C", 3},
        {Gui::Operation::MicCalibration, [](auto& d) { d.Number(0)->setValue(50.0); },
         "--set MakeMicCal.winHighcm=50 cal abc", "C", 3},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.command);
        Gui::OperationDialog* dialog = window->OpenOperation(step.op);
        ASSERT_NE(dialog, nullptr);
        step.set(*dialog);
        dialog->accept();
        EXPECT_EQ(dialog->result(), QDialog::Accepted) << front.Messages().join('\n').toStdString();
        if (step.op == Gui::Operation::QBox) {
            EXPECT_TRUE(dialog->ResultText().startsWith("Qtc = "))
                << dialog->ResultText().toStdString();
        }
        const fs::path mine = dir / ("window-" + std::to_string(&step - steps.data()) + ".txt");
        const fs::path theirs = dir / ("cli-" + std::to_string(&step - steps.data()) + ".txt");
        // The command line keeps its list in a package between two runs, at the package's
        // precision: so does this side before it exports.
        const std::string roundTrip = (dir / "round-trip.zip").string();
        ASSERT_TRUE(ctrl->List().Save(roundTrip));
        ASSERT_TRUE(ctrl->List().OpenTry(roundTrip, false));
        ASSERT_TRUE(ctrl->Action_Export(step.slotNo, "response", mine.string()));
        const CliRun r = Sonvel(cli, step.command);
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(Sonvel(cli, "export " + std::string(step.slot) + " '" + theirs.string() +
                                  "' --kind response")
                      .status,
                  0);
        const std::string a = SonvelTest::ReadBytes(mine);
        EXPECT_GT(a.size(), 1000u);
        const std::string b = SonvelTest::ReadBytes(theirs);
        EXPECT_TRUE(a == b) << FirstDifference(a, b);
    }
    // A refused operation says why and changes nothing.
    ctrl->Action_ClearSlot(1);
    const std::string before = SonvelTest::ReadBytes(dir / "window-0.txt");
    Gui::OperationDialog* dialog = window->OpenOperation(Gui::Operation::Combine);
    dialog->accept();
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    EXPECT_TRUE(front.Messages().last().contains("needs measurements in A and B"));
}

TEST_F(OperationsTest, LoopbackCalibrationThroughTheDialogIsFlatAndLeavesTheMicrophoneAlone) {
    // A microphone calibration with a 6 dB tilt, switched on: the loopback must not see it.
    const fs::path micFile = dir / "tilted.txt";
    SonvelTest::WriteBytes(micFile, "20 -3 0\n1000 0 0\n20000 3 0\n");
    ASSERT_TRUE(ctrl->Audio().ImportMicCalibration(micFile.string()));
    EXPECT_TRUE(window->MicCalibrationAction()->isChecked());
    EXPECT_FALSE(window->DacAdcCalibrationAction()->isEnabled()) << "no sound-card file yet";
    const Conf::SignalOptions signal = Conf::Options::Field.Signal;
    ctrl->Audio().UseSimulated(true, SimulatedModel::Loopback);

    Gui::LoopbackDialog* dialog = window->OpenLoopbackCalibration();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->Text().contains("Connect the Output of:"));
    using Step = Gui::LoopbackDialog::Step;
    dialog->GoButton()->click();
    EXPECT_EQ(dialog->CurrentStep(), Step::Measuring);
    EXPECT_TRUE(window->Measuring()) << "measured on the worker, the window stays usable";
    QTRY_COMPARE_WITH_TIMEOUT(dialog->CurrentStep(), Step::Judge, 90000);
    Measurement* a = ctrl->Presenter(MainCtrl::PRESENTER_A);
    EXPECT_EQ(a->GetLabel(), "DAC-ADC Loopback");
    for (double hz : {50.0, 200.0, 1000.0, 5000.0, 15000.0})
        EXPECT_NEAR(LevelDb(*a, hz), 0.0, 0.5) << hz << " Hz, measured without the tilt";
    EXPECT_LT(dialog->LowHz(), 20.0);
    EXPECT_GT(dialog->HighHz(), 15000.0);
    EXPECT_NE(dialog->Graph()->CurveGraph(0, 0), nullptr);
    Screenshot("loopback-calibration.png", dialog);

    dialog->GoButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(dialog->CurrentStep(), Step::Enable, 90000);
    Measurement* b = ctrl->Presenter(MainCtrl::PRESENTER_B);
    EXPECT_EQ(b->GetLabel(), "DAC-ADC Loopback Calibrated");
    for (double hz : {50.0, 200.0, 1000.0, 5000.0, 15000.0})
        EXPECT_NEAR(LevelDb(*b, hz), 0.0, 0.1) << hz << " Hz through the calibration";
    dialog->GoButton()->click();

    EXPECT_TRUE(fs::exists(dir / CAL_DACADC_FILENAME));
    EXPECT_TRUE(ctrl->Audio().DacAdcCalibrator().IsActive());
    EXPECT_TRUE(Conf::Options::Field.Analysis.DacAdcCalibration);
    EXPECT_TRUE(window->DacAdcCalibrationAction()->isChecked());
    EXPECT_TRUE(ctrl->Audio().MicCalibrator().IsActive());
    EXPECT_TRUE(window->MicCalibrationAction()->isChecked());
    EXPECT_EQ(Conf::Options::Field.Signal.SignalLength, signal.SignalLength);
    EXPECT_EQ(Conf::Options::Field.Signal.LogSweepStartFreq, signal.LogSweepStartFreq);

    // Switched off from the menu, and the check mark follows.
    window->DacAdcCalibrationAction()->trigger();
    EXPECT_FALSE(ctrl->Audio().DacAdcCalibrator().IsActive());
    EXPECT_FALSE(window->DacAdcCalibrationAction()->isChecked());
}

TEST_F(OperationsTest, DroppedFilesAndRecordingsAreImportedAndJunkIsRefused) {
    Conf::Options::Field.Dev.OutputPCMAmplitude = 0.5f;
    ASSERT_TRUE(Measure(MainCtrl::PRESENTER_A, SimulatedModel::Speaker));
    const fs::path text = dir / "a.txt";
    const fs::path wave = dir / "a.wav";
    ASSERT_TRUE(ctrl->Action_Export(0, "response", text.string()));
    ASSERT_TRUE(ctrl->Action_Export(0, "wave", wave.string()));
    SonvelTest::WriteBytes(dir / "junk.txt", "not; a; response\x01\x02");
    auto drop = [&](const fs::path& path) {
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(path.string()))});
        QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, &mime, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(window.get(), &enter);
        EXPECT_TRUE(enter.isAccepted());
        QDropEvent event(QPointF(50, 50), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &event);
        QTest::qWait(50);
    };
    drop(text);
    ASSERT_TRUE(ctrl->List().No(1)->IsInitialized());
    EXPECT_NEAR(LevelDb(*ctrl->List().No(1), 1000.0), LevelDb(*ctrl->Presenter(0), 1000.0), 0.05);
    drop(wave);
    ASSERT_TRUE(ctrl->List().No(2)->IsInitialized());
    EXPECT_EQ(ctrl->List().No(2)->GetSamplerate(), ctrl->Presenter(0)->GetSamplerate());
    const int messages = static_cast<int>(front.Messages().size());
    drop(dir / "junk.txt");
    EXPECT_FALSE(ctrl->List().No(3)->IsInitialized());
    EXPECT_GT(front.Messages().size(), messages) << "a refused file is said";

    // The test signal analysed as its own recording is a perfect loopback: flat. A file that
    // is no recording leaves the slot as it was.
    const QString signal = QString::fromStdString((dir / "signal.wav").string());
    ASSERT_TRUE(window->SaveTestSignal(signal));
    ASSERT_TRUE(window->AnalyseFile(MainCtrl::PRESENTER_B, signal, QString()));
    Measurement* b = ctrl->Presenter(MainCtrl::PRESENTER_B);
    for (double hz : {100.0, 1000.0, 10000.0})
        EXPECT_NEAR(LevelDb(*b, hz), 0.0, 0.25) << hz << " Hz";
    const double before = LevelDb(*b, 1000.0);
    EXPECT_FALSE(window->AnalyseFile(
        MainCtrl::PRESENTER_B, QString::fromStdString((dir / "junk.txt").string()), QString()));
    EXPECT_EQ(LevelDb(*b, 1000.0), before);
}

int Filled(MainCtrl& ctrl) {
    int n = 0;
    for (int i = 0; i < ctrl.List().GetSize(); ++i)
        n += ctrl.List().IsFilled(i) ? 1 : 0;
    return n;
}

TEST_F(OperationsTest, MeasuringTwiceIntoAKeepsBothAndAFullListAsksBeforeMeasuring) {
    Conf::Options::Field.Signal.SignalLength = 14;
    Conf::Options::Field.Dev.OutputPCMAmplitude = 0.5f;
    ctrl->ApplyOptions();
    ASSERT_TRUE(Measure(MainCtrl::PRESENTER_A, SimulatedModel::Loopback));
    Measurement* first = ctrl->Presenter(MainCtrl::PRESENTER_A);
    ASSERT_TRUE(Measure(MainCtrl::PRESENTER_A, SimulatedModel::Loopback));
    EXPECT_EQ(ctrl->List().No(3), first);
    EXPECT_NE(ctrl->Presenter(MainCtrl::PRESENTER_A), first);
    EXPECT_EQ(window->StatusMessage(),
              "Measurement done. The earlier measurement of A is now in slot 3");
    Screenshot("kept-measurement.png");
    EXPECT_EQ(window->ListModel()->index(3, Gui::MeasurementTableModel::Label).data().toString(),
              "Unnamed-0");

    // Every slot filled, and the question answered with Cancel: nothing is measured.
    for (int i = 0; i < ctrl->List().GetSize(); ++i)
        if (!ctrl->List().IsFilled(i))
            ctrl->List().No(i)->InitializeDirac(10, 44100, 1.0);
    front.SetInteractive(false, false);
    const auto asked = front.Messages().size();
    QSignalSpy started(window.get(), &Gui::MainWindow::measurementStarted);
    const Measurement* a = ctrl->Presenter(MainCtrl::PRESENTER_A);
    EXPECT_FALSE(window->StartMeasurement(MainCtrl::PRESENTER_A));
    EXPECT_EQ(started.count(), 0);
    EXPECT_EQ(ctrl->Presenter(MainCtrl::PRESENTER_A), a);
    EXPECT_EQ(front.Messages().size(), asked) << "a cancel needs no message";
}

TEST_F(OperationsTest, AverageDialogWritesWhatTheCommandLineWritesAndApplyKeepsOneResult) {
    const fs::path cli = dir / "cli";
    fs::create_directories(cli);
    ASSERT_EQ(Sonvel(cli, "--set Dev.OutputPCMAmplitude=0.5 --set Signal.SignalLength=15 measure "
                          "A B C --sim speaker")
                  .status,
              0);
    const fs::path package = dir / "three.zip";
    fs::copy_file(cli / AUTOSAVE_MEAS_FILENAME, package);
    ASSERT_TRUE(window->OpenPackage(QString::fromStdString(package.string()), false));

    // The shown curves, unless two or more rows are selected.
    EXPECT_EQ(window->AverageSlots(), (std::vector<int>{0, 1, 2}));
    QItemSelectionModel* selection = window->ListView()->selectionModel();
    for (int row : {2, 0})
        selection->select(window->ListModel()->index(row, 0),
                          QItemSelectionModel::Select | QItemSelectionModel::Rows);
    EXPECT_EQ(window->AverageSlots(), (std::vector<int>{0, 2}));
    Gui::AverageDialog* dialog = window->OpenAverage();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->Slots(), (std::vector<int>{0, 2}));
    EXPECT_EQ(dialog->Into(), 3) << "the first empty slot";
    EXPECT_FALSE(dialog->AlignBox()->isEnabled());
    dialog->ModeBox()->setCurrentIndex(1);
    dialog->AlignBox()->setChecked(true);
    Screenshot("average-dialog.png", dialog);
    dialog->accept();
    EXPECT_EQ(dialog->result(), QDialog::Accepted) << front.Messages().join('\n').toStdString();
    ASSERT_EQ(Sonvel(cli, "average A C --into 3 --mode vector --align").status, 0);
    const fs::path mine = dir / "mine.txt";
    const fs::path theirs = dir / "theirs.txt";
    // At the package's precision, as the command line keeps it between runs.
    const std::string roundTrip = (dir / "round-trip.zip").string();
    ASSERT_TRUE(ctrl->List().Save(roundTrip));
    ASSERT_TRUE(ctrl->List().OpenTry(roundTrip, false));
    ASSERT_TRUE(ctrl->Action_Export(3, "response", mine.string()));
    ASSERT_EQ(Sonvel(cli, "export 3 '" + theirs.string() + "' --kind response").status, 0);
    const std::string a = SonvelTest::ReadBytes(mine);
    const std::string b = SonvelTest::ReadBytes(theirs);
    EXPECT_GT(a.size(), 1000u);
    EXPECT_TRUE(a == b) << FirstDifference(a, b);

    // Stitching with Apply while the values change: the earlier C is kept once, and the
    // Applies and OK leave one result.
    ASSERT_EQ(Filled(*ctrl), 4);
    Gui::OperationDialog* stitch = window->OpenOperation(Gui::Operation::Stitch);
    ASSERT_NE(stitch->ApplyButton(), nullptr);
    for (double fc : {200.0, 250.0, 300.0}) {
        stitch->Number(0)->setValue(fc);
        stitch->ApplyButton()->click();
    }
    stitch->accept();
    EXPECT_EQ(stitch->result(), QDialog::Accepted);
    EXPECT_EQ(Filled(*ctrl), 5);
    EXPECT_EQ(ctrl->List().No(4)->GetLabel(), "Unnamed-2");
    EXPECT_EQ(ctrl->Presenter(MainCtrl::PRESENTER_C)->GetLabel(),
              "(Unnamed-0) stitched to (Unnamed-1)");
}

} // namespace
