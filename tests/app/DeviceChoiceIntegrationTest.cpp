#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/AudioHelper.h"
#include "app/FrontEnd.h"
#include "app/MainCtrl.h"
#include "app/Options.h"
#include "audio/SimulatedSoundCard.h"
#include "audio/StreamInitializer.h"
#include "support/TestSupport.h"

namespace {

using namespace Kedra::Sonvel;
using namespace Kedra::PAudioII;
namespace fs = std::filesystem;

// Every test starts with PortAudio terminated and the options at their defaults.
class DeviceChoice : public ::testing::Test {
protected:
    void SetUp() override {
        CleanUp();
        SimulatedSoundCard::ResetParams();
        dir = SonvelTest::TempDir() /
              ("devices-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        Conf::SetUserDirectory(dir);
        Conf::Options::Reset();
    }
    void TearDown() override { CleanUp(); }

    fs::path dir;
};

TEST_F(DeviceChoice, TheControllerWithoutSoundLeavesPortAudioAlone) {
    ASSERT_FALSE(PaInitializer::IsInitialized());
    const std::size_t logBefore = SonvelTest::ReadLog().size();
    {
        ScriptedFrontEnd fe;
        MainCtrl ctrl(fe);
        ctrl.StartUp("");
        // Stream settings need no PortAudio either.
        Conf::Options::Field.Dev.SamplerateNo = 3;
        ctrl.ApplyOptions();
        EXPECT_EQ(StreamInitializer::Get()->GetSamplerate(), 96000);

        ctrl.List().No(2)->InitializeDirac(12, 48000, 1.0);
        const std::string package = (dir / "list.zip").string();
        ASSERT_TRUE(ctrl.Action_SaveFile(package, false));
        ctrl.Action_ClearMeasurements();
        ASSERT_TRUE(ctrl.Action_OpenFile(package));
        int filled = 0;
        for (int i = 0; i < ctrl.List().GetSize(); ++i)
            filled += ctrl.List().No(i)->IsInitialized() ? 1 : 0;
        EXPECT_EQ(filled, 1);
        EXPECT_TRUE(ctrl.ShutDown());
        EXPECT_FALSE(PaInitializer::IsInitialized());
    }
    EXPECT_EQ(SonvelTest::ReadLog().substr(logBefore).find("Pa_Initialize"), std::string::npos);
}

} // namespace
