#include "app/MainCtrl.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/FrontEnd.h"
#include "app/Options.h"
#include "audio/StreamInitializer.h"
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
    // Stitching needs both A and B on one grid: an empty B is refused with the rule's text.
    b->Reset("Empty 1");
    EXPECT_FALSE(ctrl.Action_AbcStitch(500.0, 100.0, false));
    EXPECT_TRUE(fe.Saw("Can only stitch measurement A to measurement B when:\n- A & B are both not "
                       "empty\n"));
}

} // namespace
