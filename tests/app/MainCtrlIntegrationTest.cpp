#include "app/MainCtrl.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>

#include "analyze/MeasurementViews.h"
#include "app/FrontEnd.h"
#include "app/Options.h"
#include "audio/SimulatedSoundCard.h"
#include "audio/StreamInitializer.h"
#include "exchange/Calibrator.h"
#include "live/OctaveBandBank.h"
#include "measure/MeasurementFile.h"
#include "measure/Package.h"
#include "measure/ZipForge.h"
#include "support/TestSupport.h"

namespace {

using namespace Kedra::Sonvel;
namespace fs = std::filesystem;

class MainCtrlTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = SonvelTest::TempDir() /
              ("ctrl-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        Conf::SetUserDirectory(dir);
        Conf::Options::Reset();
    }
    // A package with one measurement in slot 3, saved as the autosave.
    void MakeAutosave() {
        ScriptedFrontEnd fe;
        MainCtrl ctrl(fe);
        ctrl.List().No(3)->InitializeDirac(12, 48000, 1.0);
        ctrl.List().No(3)->SetLabel("kept");
        ASSERT_TRUE(ctrl.List().Save((dir / AUTOSAVE_MEAS_FILENAME).string()));
    }

    fs::path dir;
};

TEST_F(MainCtrlTest, UnreadableCommandLinePackageFallsBackToTheAutosave) {
    MakeAutosave();
    std::ofstream(dir / "broken.zip") << "not a zip";
    ScriptedFrontEnd fe;
    MainCtrl ctrl(fe);
    EXPECT_TRUE(ctrl.StartUp((dir / "broken.zip").string()));
    ASSERT_TRUE(ctrl.List().No(3)->IsInitialized());
    EXPECT_EQ(ctrl.List().No(3)->GetLabel(), "kept");
    EXPECT_NE(SonvelTest::ReadLog().find("MainCtrl::SetSplashScreenStatusString(Loading options)"),
              std::string::npos);
}

TEST_F(MainCtrlTest, ARestartShowsTheSlotsChosenBeforeAndAnOpenedFileItsFirstThree) {
    MakeAutosave();
    Conf::Options::Field.Misc.ASlotNr = 3;
    ASSERT_TRUE(Conf::Options::AutoSave());
    ScriptedFrontEnd fe;
    MainCtrl ctrl(fe);
    EXPECT_TRUE(ctrl.StartUp(""));
    EXPECT_EQ(ctrl.PresenterSlot(MainCtrl::PRESENTER_A), 3);
    EXPECT_EQ(ctrl.Presenter(MainCtrl::PRESENTER_A)->GetLabel(), "kept");
    ASSERT_TRUE(ctrl.Action_OpenFile((dir / AUTOSAVE_MEAS_FILENAME).string()));
    EXPECT_EQ(ctrl.PresenterSlot(MainCtrl::PRESENTER_A), 0);
}

TEST_F(MainCtrlTest, ObsoleteAutosaveIsMovedAside) {
    std::ofstream(dir / AUTOSAVE_MEAS_OBSOLETE) << "old single-file format";
    {
        ScriptedFrontEnd fe;
        MainCtrl ctrl(fe);
        EXPECT_FALSE(ctrl.StartUp(""));
    }
    EXPECT_FALSE(fs::exists(dir / AUTOSAVE_MEAS_OBSOLETE));
    EXPECT_TRUE(fs::exists(dir / AUTOSAVE_MEAS_OBSOLETE_DIR / AUTOSAVE_MEAS_OBSOLETE));
    // A second start no longer finds it.
    ScriptedFrontEnd fe;
    MainCtrl ctrl(fe);
    ctrl.StartUp("");
    EXPECT_FALSE(fs::exists(dir / AUTOSAVE_MEAS_OBSOLETE));
}

TEST_F(MainCtrlTest, ACrashIsReportedAndStillAutosaves) {
    ScriptedFrontEnd fe;
    MainCtrl ctrl(fe);
    ctrl.StartUp("");
    ctrl.List().No(0)->InitializeDirac(12, 48000, 0.5);
    ctrl.Crashed("something broke");
    EXPECT_TRUE(fe.Saw("The application crashed - We apologize\nThe configuration and measurements "
                       "will be autosaved\nPlease restart the application\n\nDetails: something "
                       "broke"));
    EXPECT_TRUE(fs::exists(dir / AUTOSAVE_MEAS_FILENAME));
    EXPECT_TRUE(fs::exists(dir / Conf::OPTIONS_AUTOSAVE_FILENAME));
    Kedra::Measure::MeasurementList list(MainCtrl::SLOT_COUNT);
    ASSERT_TRUE(list.OpenTry((dir / AUTOSAVE_MEAS_FILENAME).string(), false));
    EXPECT_TRUE(list.No(0)->IsInitialized());
}

// The entries of a package, name to bytes.
std::map<std::string, std::string> Entries(const fs::path& zip, const fs::path& work) {
    const Kedra::Measure::Package::TempDirectory unpacked(work);
    std::vector<std::string> written;
    std::string error;
    std::map<std::string, std::string> out;
    if (Kedra::Measure::Package::UnpackFile(zip.string(), unpacked.Path(), written, error))
        for (const std::string& name : written)
            out[name] = SonvelTest::ReadBytes(unpacked.Path() / name);
    return out;
}

bool HasTemporary(const fs::path& dir) {
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().find(".tmp") != std::string::npos)
            return true;
    return false;
}

TEST_F(MainCtrlTest, FilesThatFailToLoadAreMovedAsideNeverOverwritten) {
    // An autosave of two measurements whose second data file is cut in half, and options
    // written by a later version.
    const fs::path autosave = dir / AUTOSAVE_MEAS_FILENAME;
    const fs::path options = dir / Conf::OPTIONS_AUTOSAVE_FILENAME;
    {
        ScriptedFrontEnd fe;
        MainCtrl ctrl(fe);
        ctrl.List().No(0)->InitializeDirac(14, 48000, 1.0);
        ctrl.List().No(1)->InitializeDirac(14, 48000, 0.5);
        ASSERT_TRUE(ctrl.ShutDown());
    }
    auto e = Entries(autosave, dir);
    ASSERT_EQ(e.size(), 4u);
    const std::string damaged = SonvelTest::WithSecondDataCut(e);
    SonvelTest::WriteBytes(autosave, damaged);
    std::string xml = SonvelTest::ReadBytes(options);
    const std::string version = "<WriterProductVersion>" + Conf::Options::ProgramVersion();
    ASSERT_NE(xml.find(version), std::string::npos);
    xml.replace(xml.find(version), version.size(), "<WriterProductVersion>9.9.9.9");
    SonvelTest::WriteBytes(options, xml);

    {
        ScriptedFrontEnd fe;
        MainCtrl ctrl(fe);
        EXPECT_TRUE(ctrl.StartUp(""));
        EXPECT_FALSE(ctrl.StartUpComplete());
        EXPECT_TRUE(ctrl.List().No(0)->IsInitialized());
        EXPECT_FALSE(ctrl.List().No(1)->IsInitialized());
        EXPECT_TRUE(fe.Saw("Opened 1 of 2 measurements of the autosaved package"));
        EXPECT_TRUE(fe.Saw("measurement-001: Failed to read the FLAC data: the data file ends "
                           "early, after"));
        EXPECT_TRUE(fe.Saw("was written by version 9.9.9.9, newer than this program"));
        EXPECT_TRUE(
            fe.Saw("The file was moved to " + (dir / "RazeriRerirov.newer-9.9.9.9.xml").string()));
        EXPECT_TRUE(ctrl.ShutDown());
    }
    // Both originals are beside the new files, byte for byte.
    EXPECT_EQ(SonvelTest::ReadBytes(dir / "RazeriRerirov.newer-9.9.9.9.xml"), xml);
    int moved = 0;
    for (const auto& f : fs::directory_iterator(dir)) {
        const std::string name = f.path().filename().string();
        if (name.rfind("MeasAutosaved.damaged-", 0) == 0 && f.path().extension() == ".zip") {
            ++moved;
            EXPECT_EQ(SonvelTest::ReadBytes(f.path()), damaged);
        }
    }
    EXPECT_EQ(moved, 1);
    EXPECT_TRUE(Conf::Options::VerifyProductVersion(options.string()));

    // The next start finds complete files and has nothing to say; a second newer file of the
    // same version does not replace the first one moved aside.
    {
        ScriptedFrontEnd fe;
        MainCtrl ctrl(fe);
        ctrl.StartUp("");
        EXPECT_TRUE(ctrl.StartUpComplete());
        EXPECT_TRUE(ctrl.List().No(0)->IsInitialized());
        EXPECT_FALSE(fe.Saw("moved"));
    }
    SonvelTest::WriteBytes(options, xml + "<!-- second -->");
    {
        ScriptedFrontEnd fe;
        MainCtrl ctrl(fe);
        ctrl.StartUp("");
        EXPECT_TRUE(fe.Saw((dir / "RazeriRerirov.newer-9.9.9.9-2.xml").string()));
    }
    EXPECT_EQ(SonvelTest::ReadBytes(dir / "RazeriRerirov.newer-9.9.9.9.xml"), xml);
    EXPECT_EQ(SonvelTest::ReadBytes(dir / "RazeriRerirov.newer-9.9.9.9-2.xml"),
              xml + "<!-- second -->");
}

TEST_F(MainCtrlTest, ADropOpensLikeOpenAndNamesEachEntryThatFailed) {
    {
        ScriptedFrontEnd fe;
        MainCtrl ctrl(fe);
        ctrl.List().No(0)->InitializeDirac(14, 48000, 1.0);
        ctrl.List().No(1)->InitializeDirac(14, 48000, 0.5);
        ASSERT_TRUE(ctrl.List().Save((dir / "two.zip").string()));
    }
    auto e = Entries(dir / "two.zip", dir);
    SonvelTest::WriteBytes(dir / "cut.zip", SonvelTest::WithSecondDataCut(e));
    ScriptedFrontEnd fe;
    MainCtrl ctrl(fe);
    ctrl.StartUp("");
    ctrl.SetPresenterSlot(MainCtrl::PRESENTER_A, 7);
    EXPECT_FALSE(ctrl.Action_DragAndDrop((dir / "cut.zip").string()));
    EXPECT_TRUE(fe.Saw("Open file as measurements?\n\nFile: "));
    EXPECT_TRUE(fe.Saw("Opened 1 of 2 measurements from "));
    EXPECT_TRUE(fe.Saw("measurement-001: Failed to read the FLAC data"));
    EXPECT_TRUE(ctrl.List().No(0)->IsInitialized());
    EXPECT_EQ(ctrl.PresenterSlot(MainCtrl::PRESENTER_A), 0) << "slots reset as after Open";

    std::ofstream(dir / "text.zip") << "not a zip";
    EXPECT_FALSE(ctrl.Action_DragAndDrop((dir / "text.zip").string()));
    EXPECT_TRUE(fe.Saw("Failed to open file:\n" + (dir / "text.zip").string() + "\nException:\n"));
    EXPECT_TRUE(ctrl.List().No(0)->IsInitialized()) << "a failed drop leaves the list";
}

TEST_F(MainCtrlTest, TheSignalPresenterHoldsTheTestSignalAndItsSpectrum) {
    ScriptedFrontEnd fe;
    MainCtrl ctrl(fe);
    ctrl.StartUp("");
    Conf::Options::Field.Signal.SignalLength = 12;
    ctrl.ApplyOptions();
    Kedra::Measure::Measurement* s = ctrl.Presenter(MainCtrl::PRESENTER_SIGNAL);
    ASSERT_NE(s, nullptr);
    std::vector<float> x;
    ctrl.Audio().RenderSignal(x);
    const int n = s->GetN();
    ASSERT_EQ(n, 2 * static_cast<int>(x.size()));
    const double* t = s->GetI();
    for (int i : {0, 1, 100, 4095})
        EXPECT_NEAR(t[i], x[static_cast<std::size_t>(i)], 1e-6) << i;
    EXPECT_NEAR(t[-1], 0.0, 1e-6);
    // The spectrum against a direct sum at a few bins.
    for (int k : {3, 40, 700, 2047}) {
        std::complex<double> sum;
        for (std::size_t i = 0; i < x.size(); ++i)
            sum += static_cast<double>(x[i]) *
                   std::polar(1.0, -2.0 * M_PI * k * static_cast<double>(i) / n);
        EXPECT_NEAR(s->GetA()[k], std::abs(sum), 1e-6 * std::abs(sum) + 1e-9) << k;
    }
    EXPECT_EQ(ctrl.SignalMeasurement(false), s);
    Conf::Options::Field.Signal.SignalLength = 13;
    ctrl.ApplyOptions();
    EXPECT_EQ(ctrl.SignalMeasurement(false)->GetN(), n) << "not rebuilt unless asked";
    EXPECT_EQ(ctrl.Presenter(MainCtrl::PRESENTER_SIGNAL)->GetN(), 2 * n);

    // C = A op B switches C on; a response exports as the calibration the command line writes.
    ctrl.List().No(0)->InitializeDirac(14, 48000, 2.0);
    ctrl.List().No(1)->InitializeDirac(14, 48000, 1.0);
    ASSERT_TRUE(ctrl.Action_MeasOperationABC("/"));
    EXPECT_NE(std::find(fe.Notices().begin(), fe.Notices().end(), "shown 2"), fe.Notices().end());
    ASSERT_TRUE(ctrl.Action_Export(0, "cal", (dir / "a.cal").string()));
    Kedra::Measure::Calibrator cal;
    ASSERT_TRUE(cal.Open((dir / "a.cal").string()));
    ASSERT_GE(cal.GetCount(), 2);
    for (int i = 0; i < cal.GetCount(); ++i)
        ASSERT_NEAR(std::abs(cal.GetResponse()[i]), 1.0, 1e-6) << "a Dirac is flat";
    Kedra::Measure::Calibrator direct; // what `export --kind cal` writes
    ASSERT_TRUE(direct.Import(*ctrl.List().No(0), 20.0, 24000.0));
    EXPECT_EQ(SonvelTest::ReadBytes(dir / "a.cal"), direct.SaveText());
}

TEST_F(MainCtrlTest, AKilledAutosaveLeavesTheOldOrTheNewPackageAndNoTemporary) {
    // Three noise records, which FLAC cannot shrink much: each save writes about 300 kB.
    const auto fill = [](MainCtrl& ctrl, const std::string& label) {
        std::mt19937 rng(11);
        std::normal_distribution<double> g(0.0, 0.1);
        std::vector<double> noise(1 << 16);
        for (double& x : noise)
            x = g(rng);
        for (int i = 0; i < 3; ++i) {
            ctrl.List().No(i)->InitializeImpulse(noise.data(), 1 << 16, 1 << 15, 48000, 16, 0, 0, 0,
                                                 true);
            ctrl.List().No(i)->SetLabel(label);
        }
    };
    // Kills fall anywhere in the first two saves, however fast this machine saves.
    long saveUs = 0;
    {
        ScriptedFrontEnd fe;
        MainCtrl ctrl(fe);
        fill(ctrl, "round -1");
        ASSERT_TRUE(ctrl.ShutDown());
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(ctrl.ShutDown());
        saveUs = static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                       std::chrono::steady_clock::now() - start)
                                       .count());
    }
    std::mt19937 rng(2026);
    std::uniform_int_distribution<long> waitUs(0, 2 * saveUs);
    std::string onDisk = "round -1";
    int interrupted = 0;
    int replaced = 0;
    for (int round = 0; round < 200; ++round) {
        const std::string label = "round " + std::to_string(round);
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ScriptedFrontEnd fe;
            MainCtrl ctrl(fe);
            fill(ctrl, label);
            // The clock starts when the saving does; the stream it stops is made first.
            Kedra::PAudioII::StreamInitializer::Get();
            const char go = 1;
            if (::write(ready[1], &go, 1) != 1)
                ::_exit(1);
            for (int i = 0; i < 1000; ++i)
                ctrl.ShutDown();
            ::_exit(0);
        }
        char go = 0;
        ::close(ready[1]);
        ASSERT_EQ(::read(ready[0], &go, 1), 1);
        ::close(ready[0]);
        ::usleep(static_cast<useconds_t>(waitUs(rng)));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        interrupted += HasTemporary(dir) ? 1 : 0;

        Kedra::Measure::MeasurementList list(MainCtrl::SLOT_COUNT);
        list.SetTempDirectory(dir.string());
        Kedra::Measure::OpenReport report;
        list.OpenTry((dir / AUTOSAVE_MEAS_FILENAME).string(), false, &report);
        ASSERT_TRUE(report.Complete()) << "round " << round;
        ASSERT_EQ(report.opened, 3) << "round " << round;
        const std::string now = list.No(0)->GetLabel();
        ASSERT_TRUE(now == onDisk || now == label) << now << " in round " << round;
        for (int i = 1; i < 3; ++i)
            ASSERT_EQ(list.No(i)->GetLabel(), now);
        replaced += now != onDisk ? 1 : 0;
        onDisk = now;
        ASSERT_TRUE(
            Conf::Options::VerifyProductVersion((dir / Conf::OPTIONS_AUTOSAVE_FILENAME).string()))
            << "round " << round;

        // The next start clears what a killed save left.
        ScriptedFrontEnd fe;
        MainCtrl next(fe);
        next.StartUp("");
        ASSERT_TRUE(next.StartUpComplete()) << "round " << round;
        ASSERT_FALSE(HasTemporary(dir)) << "round " << round;
    }
    // The kills must have hit saves halfway and between saves, or the test proved nothing.
    EXPECT_GT(interrupted, 0);
    EXPECT_GT(replaced, 0);
}

TEST_F(MainCtrlTest, ControllerStepsAroundTheOptions) {
    // Options in effect before --user-dir was known point the debug waves elsewhere.
    Conf::SetUserDirectory(dir / "elsewhere");
    Conf::Options::Reset();
    Conf::SetUserDirectory(dir);
    ScriptedFrontEnd fe;
    MainCtrl ctrl(fe);
    ctrl.StartUp("");
    EXPECT_EQ(fs::path(Conf::Options::Field.Misc.SaveMeasureRec), dir / "Recording.wav");

    // A new sample rate widens a plot range that would hide most of its band; a wide one stays.
    Conf::PlotOptions& plot = Conf::Options::Field.Plot;
    EXPECT_EQ(plot.PlotFreqMax, 22000.0);
    Conf::Options::Field.Dev.SamplerateNo = 3;
    ctrl.ApplyOptions();
    EXPECT_EQ(plot.PlotFreqMax, 48000.0);
    Conf::Options::Field.Dev.SamplerateNo = 0;
    ctrl.ApplyOptions();
    EXPECT_EQ(plot.PlotFreqMax, 48000.0);

    // The export settings: the phase step is kept in degrees and meant in degrees.
    Conf::Options::Field.ImExport.NonEqPhaseChange = 1.0;
    Conf::Options::Field.ImExport.ExportMode = 1;
    Kedra::Measure::Measurement* a = ctrl.Presenter(MainCtrl::PRESENTER_A);
    a->InitializeDirac(12, 48000, 1.0);
    std::string text;
    ASSERT_TRUE(ctrl.ConfiguredExporter().ExportText(*a, text));
    EXPECT_NE(text.find("Max change [Deg]: 1\n"), std::string::npos) << text.substr(0, 600);

    // Opening a package shows its first three slots again.
    ASSERT_TRUE(ctrl.Action_SaveFile((dir / "two.zip").string(), false));
    Conf::Options::Field.Misc.ASlotNr = 7;
    Conf::Options::Field.Misc.CSlotNr = 9;
    ASSERT_TRUE(ctrl.Action_OpenFile((dir / "two.zip").string()));
    EXPECT_EQ(ctrl.PresenterSlot(MainCtrl::PRESENTER_A), 0);
    EXPECT_EQ(ctrl.PresenterSlot(MainCtrl::PRESENTER_C), 2);
}

TEST_F(MainCtrlTest, TimeZeroLockAndLoopbackCalibrationOnTheSimulatedCard) {
    using Kedra::PAudioII::SimulatedModel;
    Kedra::PAudioII::StreamInitializer::Destroy();
    Kedra::PAudioII::SimulatedSoundCard::ResetParams();
    ScriptedFrontEnd fe;
    MainCtrl ctrl(fe);
    ctrl.StartUp("");
    Conf::Options::Field.Dev.SamplerateNo = 1;
    Conf::Options::Field.Dev.OutputChMask = 1;
    Conf::Options::Field.Dev.OutputPCMAmplitude = 0.5f;
    Conf::Options::Field.Signal.SignalLength = 16;
    ctrl.Audio().UseSimulated(true, SimulatedModel::Speaker);
    ctrl.ApplyOptions();

    // Before any measurement there is no time zero to lock.
    EXPECT_FALSE(ctrl.SetTimeZeroLock(true));
    EXPECT_TRUE(fe.Saw("The time zero can be locked only after a measurement"));
    ASSERT_TRUE(ctrl.Action_MeasStart(MainCtrl::PRESENTER_A));
    const double speaker = ctrl.Audio().LastTimeOffset();
    ASSERT_TRUE(ctrl.SetTimeZeroLock(true));
    // The loopback's own time zero lies 1 m of air earlier; locked, B keeps A's.
    ctrl.Audio().UseSimulated(true, SimulatedModel::Loopback);
    ctrl.ApplyOptions();
    ASSERT_TRUE(ctrl.Action_MeasStart(MainCtrl::PRESENTER_B));
    EXPECT_DOUBLE_EQ(ctrl.Audio().LastTimeOffset(), speaker);
    ctrl.SetTimeZeroLock(false);
    ASSERT_TRUE(ctrl.Action_MeasStart(MainCtrl::PRESENTER_B));
    EXPECT_NEAR(ctrl.Audio().LastTimeOffset(), 480.0, 0.1);

    // The loopback calibration leaves the microphone calibration as it found it: on.
    const fs::path mic = dir / "mic.txt";
    std::ofstream(mic) << "20\t-1.0\n1000\t0.0\n20000\t2.5\n";
    ASSERT_TRUE(ctrl.Audio().ImportMicCalibration(mic.string()));
    ASSERT_TRUE(ctrl.Action_CalDacAdcMake());
    // The prompt names the channels beside the devices.
    EXPECT_TRUE(fe.Saw(" - Left\n\nTo the Input of:\n"));
    EXPECT_TRUE(ctrl.Audio().MicCalibrator().IsActive());
    EXPECT_TRUE(Conf::Options::Field.Analysis.MicCalibration);
    EXPECT_TRUE(ctrl.Audio().DacAdcCalibrator().IsActive());
    EXPECT_EQ(Conf::Options::Field.Signal.SignalLength, 16);

    // Answering yes to every "Try again?" ends after a few failures (here: no slot for A).
    Conf::Options::Field.Misc.ASlotNr = 1000;
    EXPECT_FALSE(ctrl.Action_CalDacAdcMake());
    EXPECT_TRUE(fe.Saw("The loopback measurement failed 5 times; no calibration made"));
    EXPECT_TRUE(fe.Saw("Measurement failed. for Unknown reason\nTry again?"));
    EXPECT_EQ(Conf::Options::Field.Signal.SignalLength, 16);
    Kedra::PAudioII::StreamInitializer::Destroy();
}

TEST_F(MainCtrlTest, InverseOfAAndARefusedStitch) {
    ScriptedFrontEnd fe;
    MainCtrl ctrl(fe);
    ctrl.StartUp("");
    Kedra::Measure::Measurement* a = ctrl.Presenter(MainCtrl::PRESENTER_A);
    a->InitializeDirac(14, 48000, 0.25);
    a->SetLabel("half");
    ASSERT_TRUE(ctrl.Action_MeasOperationAB());
    Kedra::Measure::Measurement* b = ctrl.Presenter(MainCtrl::PRESENTER_B);
    EXPECT_EQ(b->GetLabel(), "1/(half)");
    EXPECT_NEAR(b->GetA()[100], 4.0, 1e-9);
    // The front end hears that B's slot changed, so that a window redraws it.
    const std::vector<std::string> told = {"list", "presenter 1"};
    EXPECT_EQ(fe.Notices(), told);
    // Stitching needs both A and B on one grid: an empty B is refused with the rule's text.
    b->Reset("Empty 1");
    EXPECT_FALSE(ctrl.Action_AbcStitch(500.0, 100.0, false));
    EXPECT_TRUE(fe.Saw("Can only stitch measurement A to measurement B when:\n- A & B are both not "
                       "empty\n"));
}

TEST_F(MainCtrlTest, EveryRefusedActionSaysWhyExactlyOnce) {
    ScriptedFrontEnd fe;
    MainCtrl ctrl(fe);
    ctrl.StartUp("");
    ctrl.Audio().UseSimulated(true, Kedra::PAudioII::SimulatedModel::Dead);
    Conf::Options::Field.Signal.SignalLength = 14;
    Conf::Options::Field.Dev.DelayMS = 100.0;
    ctrl.ApplyOptions();
    const std::string missing = (dir / "no such file").string();
    // Every slot empty: each action has something to refuse.
    const std::vector<std::pair<std::string, std::function<bool()>>> actions = {
        {"measure on a dead card", [&] { return ctrl.Action_MeasStart(0); }},
        {"measure into the signal", [&] { return ctrl.Action_MeasStart(3); }},
        {"C = A - B", [&] { return ctrl.Action_MeasOperationABC("-"); }},
        {"B = 1/A", [&] { return ctrl.Action_MeasOperationAB(); }},
        {"copy A to B", [&] { return ctrl.Action_MeasCopyABC(0); }},
        {"reset A", [&] { return ctrl.Action_AReset(); }},
        {"stitch", [&] { return ctrl.Action_AbcStitch(500.0, 100.0, false); }},
        {"match", [&] { return ctrl.Action_MatchAToB(1000.0, 200.0, false); }},
        {"closed box", [&] { return ctrl.Action_QBox(20.0, 500.0); }},
        {"microphone calibration", [&] { return ctrl.Action_AbcCalib(); }},
        {"minimum phase", [&] { return ctrl.Action_MinimumPhase(5, false); }},
        {"average",
         [&] {
             return ctrl.Action_Average({3, 4}, 5, {}, false);
         }},
        {"export", [&] { return ctrl.Action_Export(3, "groupdelay", missing); }},
        {"import", [&] { return ctrl.Action_Import(3, missing, false, 48000, false); }},
        {"analyse", [&] { return ctrl.Action_AnalyzeFile(3, missing, ""); }},
        {"rename to nothing", [&] { return ctrl.Action_Rename(3, "  "); }},
        {"clear slot 99", [&] { return ctrl.Action_ClearSlot(99); }},
        {"open", [&] { return ctrl.Action_OpenFile(missing); }},
        {"save", [&] { return ctrl.Action_SaveFile((dir / "x" / "y" / "z.zip").string(), false); }},
        {"load options", [&] { return ctrl.Action_OptionsLoad(missing); }},
        {"lock the time zero", [&] { return ctrl.SetTimeZeroLock(true); }},
    };
    for (const auto& [what, action] : actions) {
        const auto before = fe.Log().size();
        EXPECT_FALSE(action()) << what;
        int messages = 0;
        for (auto i = before; i < fe.Log().size(); ++i)
            if (fe.Log()[i].type == ScriptedFrontEnd::Entry::Message) {
                ++messages;
                EXPECT_FALSE(fe.Log()[i].text.empty()) << what;
            }
        EXPECT_EQ(messages, 1) << what;
    }
    // The dead card's reason names the input and the device, as the user has to find them.
    EXPECT_TRUE(fe.Saw("No signal arrived on input 1 of")) << "the dead card's reason";
    EXPECT_TRUE(fe.Saw("Simulated")) << "the device's name";
}

} // namespace

namespace {

using Kedra::PAudioII::SimulatedModel;

TEST_F(MainCtrlTest, DetachedMeasuringTouchesTheListOnlyWhenPlacedAndTellsWhatChanged) {
    ScriptedFrontEnd fe;
    MainCtrl ctrl(fe);
    ctrl.StartUp("");
    ctrl.Audio().UseSimulated(true, SimulatedModel::Loopback);
    ctrl.List().No(1)->SetLabel("kept label");
    const int slot = ctrl.MeasurementSlot(MainCtrl::PRESENTER_B);
    ASSERT_EQ(slot, 1);
    EXPECT_EQ(ctrl.MeasurementSlot(MainCtrl::PRESENTER_SIGNAL), -1);
    auto fresh = ctrl.PrepareMeasurement(slot);
    ASSERT_TRUE(fresh);
    ASSERT_TRUE(ctrl.MeasureDetached(*fresh, "B"));
    EXPECT_FALSE(ctrl.List().No(slot)->IsInitialized()) << "the list is the window thread's";
    EXPECT_TRUE(fe.Notices().empty() || fe.Notices().back().rfind("verdict", 0) == 0);
    ctrl.PlaceMeasurement(slot, std::move(fresh));
    EXPECT_TRUE(ctrl.List().No(slot)->IsInitialized());
    EXPECT_EQ(ctrl.List().No(slot)->GetLabel(), "kept label");
    const auto& n = fe.Notices();
    EXPECT_NE(std::find(n.begin(), n.end(), "verdict accepted"), n.end());
    EXPECT_NE(std::find(n.begin(), n.end(), "list"), n.end());
    EXPECT_NE(std::find(n.begin(), n.end(), "presenter 1"), n.end());
    EXPECT_EQ(std::find(n.begin(), n.end(), "presenter 0"), n.end());
    EXPECT_EQ(ctrl.PrepareMeasurement(MainCtrl::SLOT_COUNT), nullptr);
    EXPECT_TRUE(fe.Saw("no slot 40"));

    // Export and import through the controller; a bad kind or an empty slot is refused.
    const fs::path text = dir / "b.txt";
    EXPECT_TRUE(ctrl.Action_Export(slot, "response", text.string()));
    EXPECT_FALSE(ctrl.Action_Export(slot, "sideways", (dir / "x.txt").string()));
    EXPECT_FALSE(ctrl.Action_Export(7, "response", (dir / "y.txt").string()));
    EXPECT_FALSE(fs::exists(dir / "x.txt") || fs::exists(dir / "y.txt"));
    const int empty = ctrl.FirstEmptySlot();
    ASSERT_EQ(empty, 0);
    EXPECT_TRUE(ctrl.Action_Import(empty, text.string(), false, 48000, true));
    EXPECT_EQ(ctrl.List().No(empty)->GetLabel(), "b");
    SonvelTest::WriteBytes(dir / "junk.txt", "not;a\nresponse\n");
    EXPECT_FALSE(ctrl.Action_Import(5, (dir / "junk.txt").string(), false, 48000, false));
    EXPECT_FALSE(ctrl.List().No(5)->IsInitialized());
    EXPECT_TRUE(ctrl.Action_ClearSlot(empty));
    EXPECT_FALSE(ctrl.List().No(empty)->IsInitialized());
}

// The simulated room (T60 0.4 s) and the anechoic speaker with the default sweep: the room's decay
// does not depend on the drive (its harmonic products and noise are no part of it); the speaker has
// none to report.
TEST_F(MainCtrlTest, RoomDecayIsTheSameAtFullAndQuarterDriveAndTheSpeakerHasNone) {
    using Kedra::PAudioII::SimulatedModel;
    Kedra::PAudioII::StreamInitializer::Destroy();
    Kedra::PAudioII::SimulatedSoundCard::ResetParams();
    ScriptedFrontEnd fe;
    MainCtrl ctrl(fe);
    ctrl.StartUp("");
    const auto measure = [&](SimulatedModel model, float amplitude, int presenter) {
        Conf::Options::Field.Dev.OutputPCMAmplitude = amplitude;
        ctrl.Audio().UseSimulated(true, model);
        ctrl.ApplyOptions();
        EXPECT_TRUE(ctrl.Action_MeasStart(presenter));
        return Kedra::Measure::RoomAcousticsOf(*ctrl.Presenter(presenter));
    };
    const auto full = measure(SimulatedModel::Room, 1.0f, MainCtrl::PRESENTER_A);
    const auto quarter = measure(SimulatedModel::Room, 0.25f, MainCtrl::PRESENTER_B);
    const auto speaker = measure(SimulatedModel::Speaker, 1.0f, MainCtrl::PRESENTER_C);
    ASSERT_EQ(full.size(), 9u);
    ASSERT_EQ(quarter.size(), 9u);
    ASSERT_EQ(speaker.size(), 9u);
    int compared = 0;
    for (std::size_t b = 0; b < full.size(); ++b) {
        if (full[b].midband < 200.0 || full[b].midband > 5000.0)
            continue;
        SCOPED_TRACE(full[b].name);
        EXPECT_NEAR(full[b].parameters.t30, 0.4, 0.04);
        EXPECT_NEAR(quarter[b].parameters.t30, full[b].parameters.t30, 0.02);
        ++compared;
    }
    EXPECT_EQ(compared, 5);
    for (const auto& b : speaker) {
        SCOPED_TRACE(b.name);
        EXPECT_FALSE(b.parameters.t20 > 0.1) << b.parameters.t20;
        EXPECT_FALSE(b.parameters.t30 > 0.1) << b.parameters.t30;
        if (b.midband > 0.0) {
            EXPECT_NE(b.parameters.t30Note.why, Kedra::Measure::RoomOmission::None);
        }
    }
    Kedra::PAudioII::StreamInitializer::Destroy();
}

namespace curves {

// An info file as a version before the shown flag and the colour wrote it, or with `extra`
// lines in their place.
std::string OldInfo(Kedra::Measure::MeasurementFile::Rendered& r, const std::string& extra) {
    std::string info;
    std::istringstream lines(r.info);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("Plot_", 0) != 0)
            info += line + "\n";
    return info + extra;
}

bool SameColour(Conf::Color a, Conf::Color b) {
    return a.R == b.R && a.G == b.G && a.B == b.B;
}

} // namespace curves

TEST_F(MainCtrlTest, ShownFlagsAndColoursSurviveSaveOpenAndRestartAndOldPackagesShowABC) {
    // An older package: slots 0, 1, 2 and 5, no shown flags; slot 5's damaged values of
    // the keys count as missing and cost nothing else.
    std::vector<SonvelTest::ForgedEntry> entries;
    for (int slot : {0, 1, 2, 5}) {
        Kedra::Measure::Measurement m("old " + std::to_string(slot));
        m.InitializeDirac(12, 48000, 1.0);
        Kedra::Measure::MeasurementFile::Rendered r;
        std::string error;
        ASSERT_TRUE(Kedra::Measure::MeasurementFile::Render(m, false, r, error)) << error;
        const std::string name = "measurement-00" + std::to_string(slot);
        entries.push_back(SonvelTest::Entry(
            name + ".info",
            curves::OldInfo(r, slot == 5 ? "Plot_Shown\t= yes\nPlot_Colour\t= #12345\n" : "")));
        entries.push_back(
            SonvelTest::Entry(name + ".flac", std::string(r.data.begin(), r.data.end())));
    }
    std::ofstream(dir / "old.zip", std::ios::binary) << SonvelTest::ForgeZip(entries);

    ScriptedFrontEnd fe;
    auto ctrl = std::make_unique<MainCtrl>(fe);
    ASSERT_TRUE(ctrl->Action_OpenFile((dir / "old.zip").string()));
    EXPECT_EQ(ctrl->ShownSlots(), (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(ctrl->List().No(5)->IsInitialized());
    EXPECT_NE(SonvelTest::ReadLog().find("Plot_Shown = 'yes' is not a value of it; ignored"),
              std::string::npos);
    EXPECT_TRUE(curves::SameColour(ctrl->SlotColour(0), Conf::Options::Field.Plot.ColorMeasA));
    EXPECT_TRUE(curves::SameColour(ctrl->SlotColour(5), MainCtrl::PaletteColour(5)));
    // Twelve and more colours, no two alike, the first three A's, B's and C's.
    for (int i = 0; i < MainCtrl::PALETTE_SIZE; ++i)
        for (int j = 0; j < i; ++j)
            EXPECT_FALSE(curves::SameColour(MainCtrl::PaletteColour(i), MainCtrl::PaletteColour(j)))
                << i << " " << j;
    EXPECT_GE(MainCtrl::PALETTE_SIZE, 12);

    ctrl->SetSlotShown(1, false);
    ctrl->SetSlotShown(5, true);
    ctrl->SetSlotColour(5, {10, 20, 30});
    ctrl->SetSlotColour(2, MainCtrl::PaletteColour(2)); // the palette's own: follows it
    EXPECT_EQ(std::count(fe.Notices().begin(), fe.Notices().end(), "curves"), 3);
    ASSERT_TRUE(ctrl->Action_SaveFile((dir / "new.zip").string(), false));
    ctrl->Action_ClearMeasurements();
    EXPECT_TRUE(ctrl->ShownSlots().empty());
    ASSERT_TRUE(ctrl->Action_OpenFile((dir / "new.zip").string()));
    auto expectKept = [](MainCtrl& c) {
        EXPECT_EQ(c.ShownSlots(), (std::vector<int>{0, 2, 5}));
        EXPECT_TRUE(curves::SameColour(c.SlotColour(5), {10, 20, 30}));
        EXPECT_EQ(c.List().No(2)->GetPlotColour(), -1);
    };
    expectKept(*ctrl);

    // A restart reads them from the autosave, which is a package.
    ASSERT_TRUE(ctrl->ShutDown());
    ctrl = std::make_unique<MainCtrl>(fe);
    ASSERT_TRUE(ctrl->StartUp(""));
    expectKept(*ctrl);

    // A new record in a slot is shown; a copy is drawn as its original, in its own colour.
    ctrl->SetShownSlots({});
    ASSERT_TRUE(ctrl->Action_MinimumPhase(1, false));
    EXPECT_EQ(ctrl->ShownSlots(), (std::vector<int>{1}));
    ctrl->SetPresenterSlot(MainCtrl::PRESENTER_A, 5);
    EXPECT_EQ(ctrl->ShownSlots(), (std::vector<int>{1, 5}));
    ctrl->SetSlotShown(5, false);
    ASSERT_TRUE(ctrl->Action_MeasCopyABC(0)); // A (slot 5, hidden) to B (slot 1)
    // B's earlier record, kept in slot 3, stays shown; the copy is hidden like A.
    EXPECT_EQ(ctrl->ShownSlots(), std::vector<int>{3});
    EXPECT_EQ(ctrl->List().No(1)->GetPlotColour(), -1);
}

} // namespace

namespace {

int FilledCount(MainCtrl& ctrl) {
    int n = 0;
    for (int i = 0; i < ctrl.List().GetSize(); ++i)
        n += ctrl.List().IsFilled(i) ? 1 : 0;
    return n;
}

TEST_F(MainCtrlTest, AWriteIntoAFilledSlotKeepsTheEarlierRecordElsewhere) {
    ScriptedFrontEnd fe;
    MainCtrl ctrl(fe);
    ctrl.StartUp("");
    ctrl.Audio().UseSimulated(true, SimulatedModel::Loopback);
    Conf::Options::Field.Signal.SignalLength = 14;
    ctrl.ApplyOptions();
    ASSERT_TRUE(ctrl.Action_MeasStart(MainCtrl::PRESENTER_A));
    Kedra::Measure::Measurement* first = ctrl.Presenter(MainCtrl::PRESENTER_A);
    first->SetLabel("first");
    first->SetSmoothingEnabled(true);
    ASSERT_TRUE(ctrl.Action_MeasStart(MainCtrl::PRESENTER_A));
    // Whole, to the first empty slot no presenter shows; A holds the new one.
    EXPECT_EQ(ctrl.List().No(3), first);
    EXPECT_EQ(first->GetLabel(), "first");
    EXPECT_TRUE(first->GetSmoothingEnabled());
    EXPECT_EQ(ctrl.Presenter(MainCtrl::PRESENTER_A)->GetLabel(), "Unnamed-0");
    EXPECT_TRUE(fe.Saw("The earlier measurement of A is now in slot 3"));

    // An import into a filled slot that is no presenter's; a file that fails moves nothing.
    const fs::path text = dir / "a.txt";
    ASSERT_TRUE(ctrl.Action_Export(0, "response", text.string()));
    SonvelTest::WriteBytes(dir / "junk.txt", "not;a\nresponse\n");
    EXPECT_FALSE(ctrl.Action_Import(3, (dir / "junk.txt").string(), false, 44100, false));
    EXPECT_EQ(ctrl.List().No(3), first);
    ASSERT_TRUE(ctrl.Action_Import(3, text.string(), false, 44100, true));
    EXPECT_EQ(ctrl.List().No(4), first);
    EXPECT_EQ(ctrl.List().No(3)->GetLabel(), "a");
    EXPECT_TRUE(fe.Saw("The earlier measurement of slot 3 is now in slot 4"));

    // Switched off: replaced as before.
    ctrl.Presenter(MainCtrl::PRESENTER_B)->CopyAllFrom(*ctrl.Presenter(MainCtrl::PRESENTER_A));
    Conf::Options::Field.Misc.KeepReplacedMeasurements = false;
    ASSERT_TRUE(ctrl.Action_MeasOperationABC("+"));
    ASSERT_TRUE(ctrl.Action_MeasOperationABC("-"));
    EXPECT_EQ(FilledCount(ctrl), 5);
    Conf::Options::Field.Misc.KeepReplacedMeasurements = true;

    // A live variant recomputes only its own result in place; the plain one keeps the last.
    ASSERT_TRUE(ctrl.Action_AbcStitch(1000.0, 200.0, false));
    EXPECT_EQ(FilledCount(ctrl), 6) << "C = A - B kept";
    for (double fc : {800.0, 900.0, 1100.0})
        ASSERT_TRUE(ctrl.Action_AbcStitchUpdate(fc, 200.0, false));
    EXPECT_EQ(FilledCount(ctrl), 6);
    ASSERT_TRUE(ctrl.Action_QBoxUpdate(20.0, 500.0));
    EXPECT_EQ(FilledCount(ctrl), 7) << "the stitch is no result of the fit's: kept";
    ASSERT_TRUE(ctrl.Action_QBoxUpdate(30.0, 500.0));
    ASSERT_TRUE(ctrl.Action_AbcStitch(1000.0, 200.0, false));
    EXPECT_EQ(FilledCount(ctrl), 8);
}

TEST_F(MainCtrlTest, WithEverySlotFilledThePolicyDecidesAndARefusalWritesNothing) {
    ScriptedFrontEnd fe(false);
    MainCtrl ctrl(fe);
    ctrl.StartUp("");
    ctrl.Audio().UseSimulated(true, SimulatedModel::Loopback);
    Conf::Options::Field.Signal.SignalLength = 14;
    ctrl.ApplyOptions();
    for (int i = 0; i < ctrl.List().GetSize(); ++i) {
        ctrl.List().No(i)->InitializeDirac(12, 44100, 1.0);
        ctrl.List().No(i)->SetLabel("old " + std::to_string(i));
    }
    const auto a = [&] { return ctrl.Presenter(MainCtrl::PRESENTER_A); };
    Kedra::Measure::Measurement* old = a();

    // Asked, and cancelled: before the measurement runs.
    EXPECT_EQ(ctrl.PrepareMeasurement(0), nullptr);
    EXPECT_TRUE(fe.Saw("Every slot is filled, so the earlier measurement of A (old 0) cannot be "
                       "kept.\n\nReplace it?"));
    const auto before = fe.Log().size();
    ctrl.SetReplacePolicy(ReplacePolicy::Refuse, ", or give --replace to replace it");
    EXPECT_FALSE(ctrl.Action_MeasStart(MainCtrl::PRESENTER_A));
    EXPECT_FALSE(ctrl.Action_MeasOperationAB());
    ASSERT_EQ(fe.Log().size(), before + 2);
    EXPECT_EQ(fe.Log()[before].text,
              "Every slot is filled, so the earlier measurement of A (old 0) cannot be kept; "
              "nothing was written. Clear a slot first, or give --replace to replace it.");
    EXPECT_EQ(a(), old);
    EXPECT_EQ(ctrl.Presenter(MainCtrl::PRESENTER_B)->GetLabel(), "old 1");

    ctrl.SetReplacePolicy(ReplacePolicy::Replace);
    ASSERT_TRUE(ctrl.Action_MeasStart(MainCtrl::PRESENTER_A));
    EXPECT_EQ(a()->GetSignalType(), 1) << "the new sweep measurement";
    EXPECT_TRUE(fe.Saw("Every slot is filled: the earlier measurement of A was replaced"));

    // Asked once, OK: the answer given before the measurement holds when it is placed.
    ctrl.SetReplacePolicy(ReplacePolicy::Ask);
    fe.SetAnswer(true);
    const auto asked = fe.Log().size();
    ASSERT_TRUE(ctrl.Action_MeasStart(MainCtrl::PRESENTER_A));
    int questions = 0;
    for (auto i = asked; i < fe.Log().size(); ++i)
        questions += fe.Log()[i].type == ScriptedFrontEnd::Entry::Question ? 1 : 0;
    EXPECT_EQ(questions, 1);
}

} // namespace

namespace {

// What the graphs read at `hz`: the record's level, in dB SPL where it has a reference.
double LevelAt(Kedra::Measure::Measurement& m, double hz) {
    return 20.0 * std::log10(std::abs(m.GetFInterpolated(hz)) * m.GetAmplitude()) +
           (m.HasSpl() ? m.GetSplOffset() : 0.0);
}

TEST_F(MainCtrlTest, AStoredSpectrumReadsItsLevelsAtItsBandsAndDbSplThroughItsReference) {
    ScriptedFrontEnd fe;
    MainCtrl ctrl(fe);
    ctrl.StartUp("");
    ctrl.List().No(0)->InitializeDirac(12, 48000, 1.0);
    StoredSpectrum s;
    s.sampleRate = 48000;
    s.label = "RTA 1/3 oct, A, Leq";
    for (int x = -17; x <= 13; ++x) {
        s.hz.push_back(Kedra::Live::ExactMidband(x, 3));
        s.db.push_back(-40.0 + 15.0 * std::sin(0.7 * x));
    }
    ASSERT_EQ(ctrl.Action_StoreSpectrum(-1, s), 1) << "the first empty slot";
    Kedra::Measure::Measurement* m = ctrl.List().No(1);
    EXPECT_EQ(m->GetLabel(), s.label);
    EXPECT_FALSE(m->HasSpl());
    EXPECT_TRUE(ctrl.SlotShown(1));
    // The levels lie on bins 0.37 Hz apart, which round the corners of the line a little.
    const auto tolerance = [&](std::size_t i) { return s.hz[i] < 100.0 ? 0.15 : 0.06; };
    for (std::size_t i = 0; i < s.hz.size(); ++i)
        EXPECT_NEAR(LevelAt(*m, s.hz[i]), s.db[i], tolerance(i)) << s.hz[i];

    // Levels above full scale (a weighting's gain) and an SPL reference: B's record is kept.
    SplReference ref;
    ref.device = "Simulated: loopback";
    ref.levelDb = 94.0;
    ref.dbfs = -26.0;
    s.spl = ref;
    s.db[20] = 3.0;
    ASSERT_EQ(ctrl.Action_StoreSpectrum(1, s), 1);
    EXPECT_TRUE(fe.Saw("The earlier measurement of B is now in slot 3"));
    m = ctrl.List().No(1);
    EXPECT_TRUE(m->HasSpl());
    for (std::size_t i = 0; i < s.hz.size(); ++i)
        EXPECT_NEAR(LevelAt(*m, s.hz[i]), s.db[i] + 120.0, tolerance(i)) << s.hz[i];
    const fs::path text = dir / "rta.txt";
    ASSERT_TRUE(ctrl.Action_Export(1, "response", text.string()));
    EXPECT_NE(SonvelTest::ReadBytes(text).find("dB SPL"), std::string::npos);

    // A level that is no number stores nothing and says so.
    s.db[3] = std::nan("");
    EXPECT_EQ(ctrl.Action_StoreSpectrum(-1, s), -1);
    EXPECT_TRUE(fe.Saw("Could not store the spectrum"));
    EXPECT_FALSE(ctrl.List().No(4)->IsInitialized());
}

} // namespace
