#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/AudioHelper.h"
#include "app/FrontEnd.h"
#include "app/MainCtrl.h"
#include "app/Options.h"
#include "audio/Devices.h"
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

TEST_F(DeviceChoice, HostApiAndNumbersWithinItsListsChooseTheDevices) {
    ScriptedFrontEnd fe;
    AudioHelper helper(fe);
    Conf::OptionsField& o = Conf::Options::Field;
    const int sim = SimulatedHostApiIndex();
    EXPECT_EQ(HostApiNameAt(sim), "Simulated");
    o.Dev.ApiNumber = sim;
    o.Dev.OutputNumber = 1;
    o.Dev.InputNumber = 3;
    ASSERT_TRUE(helper.ApplyDevices(o));
    StreamInitializer* stream = StreamInitializer::Get();
    EXPECT_EQ(stream->GetOutDevice(), SimulatedDeviceIndex(SimulatedModel::Speaker));
    EXPECT_EQ(stream->GetInDevice(), SimulatedDeviceIndex(SimulatedModel::Dead));
    // A running stream goes on with the same devices and is stopped for others, which it
    // would otherwise keep playing on.
    stream->Start();
    ASSERT_TRUE(helper.ApplyDevices(o));
    EXPECT_EQ(stream->GetStatus(), STREAM_RUNNING);
    o.Dev.InputNumber = 1;
    ASSERT_TRUE(helper.ApplyDevices(o));
    EXPECT_EQ(stream->GetStatus(), STREAM_STOPPED);

    // A simulated model overrides the options exactly like choosing it there.
    for (int k = 0; k < SIMULATED_DEVICE_COUNT; ++k) {
        helper.UseSimulated(true, static_cast<SimulatedModel>(k));
        o.Dev.ApiNumber = 99;
        ASSERT_TRUE(helper.ApplyDevices(o));
        EXPECT_EQ(stream->GetOutDevice(), SimulatedDeviceIndex(static_cast<SimulatedModel>(k)));
        EXPECT_EQ(stream->GetInDevice(), stream->GetOutDevice());
    }
    EXPECT_TRUE(fe.Log().empty());
}

TEST_F(DeviceChoice, AMissingHostApiOrDeviceIsRefusedNeverReplaced) {
    ScriptedFrontEnd fe;
    AudioHelper helper(fe);
    Conf::OptionsField& o = Conf::Options::Field;
    o.Signal.SignalLength = 14;
    helper.ApplyOptions(o);
    const int sim = SimulatedHostApiIndex();
    o.Dev.ApiNumber = sim;
    ASSERT_TRUE(helper.ApplyDevices(o));
    StreamInitializer* stream = StreamInitializer::Get();
    const int loopback = SimulatedDeviceIndex(SimulatedModel::Loopback);
    struct Case {
        int api, out, in;
        std::string text;
    };
    for (const Case& c :
         {Case{sim + 1, 0, 0, ", " + std::to_string(sim) + " Simulated)"},
          Case{-1, 0, 0,
               "There is no host audio interface number -1 (the host audio interfaces "
               "are 0 "},
          Case{sim, 4, 0,
               "The host audio interface Simulated has no output device number 4 (they "
               "are 0 .. 3)"},
          Case{sim, 0, -1, "The host audio interface Simulated has no input device number -1"},
          Case{0, 1000, 0, " has no output device number 1000 ("}}) {
        fe = ScriptedFrontEnd();
        o.Dev.ApiNumber = c.api;
        o.Dev.OutputNumber = c.out;
        o.Dev.InputNumber = c.in;
        EXPECT_FALSE(helper.ApplyDevices(o)) << c.text;
        EXPECT_TRUE(fe.Saw(c.text)) << c.text;
        EXPECT_EQ(stream->GetOutDevice(), loopback) << c.text;
        EXPECT_EQ(stream->GetInDevice(), loopback) << c.text;
    }
    EXPECT_NE(SonvelTest::ReadLog().find("WARNING AudioHelper::ApplyDevices() There is no host"),
              std::string::npos);

    // A measurement on such options tells why and does not start.
    fe = ScriptedFrontEnd();
    Kedra::Measure::Measurement m("A");
    EXPECT_FALSE(helper.PerformMeasurement(m, "A"));
    EXPECT_TRUE(fe.Saw("has no output device number 1000"));
    EXPECT_FALSE(fe.Saw("Starting Audiostream"));
    EXPECT_FALSE(m.IsInitialized());
}

} // namespace
