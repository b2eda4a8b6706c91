#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/MainCtrl.h"
#include "app/Options.h"
#include "audio/SimulatedSoundCard.h"
#include "audio/StreamInitializer.h"
#include "measure/MeasurementFile.h"
#include "support/TestSupport.h"

namespace {

using namespace Kedra::Sonvel;
namespace fs = std::filesystem;
using Kedra::PAudioII::SimulatedModel;
using Kedra::PAudioII::SimulatedSoundCard;

class MultiInputTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = SonvelTest::TempDir() /
              ("multi-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        Conf::SetUserDirectory(dir);
        Conf::Options::Reset();
        Kedra::PAudioII::StreamInitializer::Destroy();
    }
    void TearDown() override {
        Kedra::PAudioII::StreamInitializer::Destroy();
        SimulatedSoundCard::ResetParams();
    }
    fs::path dir;
};

// The truth is the geometry: 1 m and 2 m of air at 343 m/s, whatever the card adds.
TEST_F(MultiInputTest, TheReferenceTakesTheCardsLatencyOutOfEachMicrophonesDelay) {
    constexpr int FS = 48000;
    constexpr int FAR_INPUT = Kedra::PAudioII::SIMULATED_REFERENCE_INPUT + 1;
    for (int latency : {480, 1733}) {
        SCOPED_TRACE("latency " + std::to_string(latency));
        auto params = Kedra::PAudioII::DeviceModelParams::For(SimulatedModel::Speaker, FS);
        params.latencySamples = latency;
        params.distanceMetres = 1.0;
        params.farMicrophonesMetres = {2.0, 3.0};
        SimulatedSoundCard::SetParams(params);
        Conf::Options::Reset();
        ScriptedFrontEnd fe;
        MainCtrl ctrl(fe);
        ctrl.StartUp("");
        Conf::Options::Field.Dev.SamplerateNo = 1;
        Conf::Options::Field.Dev.OutputChMask = 1;
        Conf::Options::Field.Signal.SignalLength = 16;
        Conf::Options::Field.Dev.InputChannels = {0, FAR_INPUT};
        Conf::Options::Field.Dev.ReferenceInput = Kedra::PAudioII::SIMULATED_REFERENCE_INPUT;
        ctrl.Audio().UseSimulated(true, SimulatedModel::Speaker);
        ctrl.ApplyOptions();
        ASSERT_TRUE(ctrl.Action_MeasStart(MainCtrl::PRESENTER_A));

        // One record per input, the first in A, none of the reference.
        const auto& placed = ctrl.PlacedInputs();
        ASSERT_EQ(placed.size(), 2u);
        EXPECT_EQ(placed[0].first, 0);
        EXPECT_EQ(placed[0].second, ctrl.PresenterSlot(MainCtrl::PRESENTER_A));
        EXPECT_EQ(placed[1].first, FAR_INPUT);
        int filled = 0;
        for (int i = 0; i < ctrl.List().GetSize(); ++i)
            filled += ctrl.List().No(i)->IsInitialized() ? 1 : 0;
        EXPECT_EQ(filled, 2);

        const double expected[] = {1.0 / 343.0, 2.0 / 343.0};
        for (std::size_t i = 0; i < 2; ++i) {
            const auto* m = ctrl.List().No(placed[i].second);
            EXPECT_NE(m->GetLabel().find("(input " + std::to_string(placed[i].first + 1) + ")"),
                      std::string::npos)
                << m->GetLabel();
            ASSERT_TRUE(m->HasDelays());
            EXPECT_NEAR(m->GetSystemDelay() / FS * 1000.0, latency * 1000.0 / FS, 0.05);
            EXPECT_NEAR(m->GetAcousticDelay() / FS * 1000.0, expected[i] * 1000.0, 0.05);
            // The time zero is the reference's: the card's latency.
            EXPECT_NEAR(m->GetBaseOffset(), m->GetSystemDelay(), 0.5);
            const std::string info = Kedra::Measure::MeasurementFile::GetInfo(*m);
            EXPECT_NE(info.find("System delay: "), std::string::npos);
            EXPECT_NE(info.find("Acoustic delay: "), std::string::npos);
        }
        Kedra::PAudioII::StreamInitializer::Destroy();
    }
}

TEST_F(MultiInputTest, AFullListKeepsEveryEarlierRecordAndSaysWhichInputWasLost) {
    ScriptedFrontEnd fe;
    MainCtrl ctrl(fe);
    ctrl.StartUp("");
    for (int i = 0; i < ctrl.List().GetSize(); ++i) {
        ctrl.List().No(i)->InitializeDirac(12, 48000, 1.0);
        ctrl.List().No(i)->SetLabel("old " + std::to_string(i));
    }
    Conf::Options::Field.Misc.KeepReplacedMeasurements = false;
    Conf::Options::Field.Dev.SamplerateNo = 1;
    Conf::Options::Field.Signal.SignalLength = 14;
    Conf::Options::Field.Dev.InputChannels = {0, 9};
    ctrl.Audio().UseSimulated(true, SimulatedModel::Speaker);
    ctrl.ApplyOptions();
    ASSERT_TRUE(ctrl.Action_MeasStart(MainCtrl::PRESENTER_A));
    EXPECT_TRUE(fe.Saw("the measurement of input 10 was not kept"));
    for (int i = 0; i < ctrl.List().GetSize(); ++i) {
        if (i != ctrl.PresenterSlot(MainCtrl::PRESENTER_A)) {
            EXPECT_EQ(ctrl.List().No(i)->GetLabel(), "old " + std::to_string(i));
        }
    }
}

// A microphone calibration of one input corrects that input alone.
TEST_F(MultiInputTest, AnInputsOwnMicrophoneCalibrationCorrectsThatInputOnly) {
    ScriptedFrontEnd fe;
    MainCtrl ctrl(fe);
    ctrl.StartUp("");
    Conf::Options::Field.Dev.SamplerateNo = 1;
    Conf::Options::Field.Signal.SignalLength = 14;
    Conf::Options::Field.Analysis.NormalizeTo0dB = false;
    Conf::Options::Field.Dev.InputChannels = {0, 9};
    ctrl.Audio().UseSimulated(true, SimulatedModel::Speaker);
    std::ofstream(dir / "flat.txt") << "20\t0.0\n20000\t0.0\n";
    std::ofstream(dir / "tilt.txt") << "20\t0.0\n1000\t0.0\n2000\t6.0\n20000\t6.0\n";
    ASSERT_TRUE(ctrl.Audio().ImportMicCalibration((dir / "flat.txt").string()));
    ctrl.ApplyOptions();
    // The level at 5 kHz re 1 kHz: what a calibration, whatever its own reference, changes.
    const auto levels = [&] {
        EXPECT_TRUE(ctrl.Action_MeasStart(MainCtrl::PRESENTER_A));
        std::vector<double> db;
        for (const auto& [input, slot] : ctrl.PlacedInputs()) {
            auto* m = ctrl.List().No(slot);
            const auto at = [m](double hz) {
                return m->GetA()[static_cast<int>(hz / m->GetHzPerBin() + 0.5)];
            };
            db.push_back(20.0 * std::log10(at(5000.0) / at(1000.0)));
        }
        return db;
    };
    const std::vector<double> before = levels();
    ASSERT_TRUE(ctrl.Audio().ImportMicCalibration((dir / "tilt.txt").string(), 9));
    EXPECT_TRUE(fs::exists(dir / MicCalibrationFileFor(9)));
    const std::vector<double> after = levels();
    ASSERT_EQ(before.size(), 2u);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_NEAR(after[0], before[0], 0.05);
    EXPECT_NEAR(std::fabs(after[1] - before[1]), 6.0, 0.1);
}

TEST(MeasuredInputs, ListsAreCheckedAgainstTheDevice) {
    EXPECT_EQ(CheckInputs({0, 9}, 8, 11), "");
    EXPECT_EQ(CheckInputs({0}, -1, 1), "");
    EXPECT_EQ(CheckInputs({0, 11}, -1, 11),
              "There is no input 12 (the input device has 11 inputs)");
    EXPECT_EQ(CheckInputs({1, 1}, -1, 11), "Input 2 is listed twice");
    EXPECT_EQ(CheckInputs({-1}, -1, 11), "There is no input 0 (the input device has 11 inputs)");
    EXPECT_EQ(CheckInputs({0, 8}, 8, 11),
              "Input 9 is the reference input; it cannot be measured as well");
    EXPECT_EQ(CheckInputs({0}, 2, 2),
              "There is no reference input 3 (the input device has 2 inputs)");
    EXPECT_EQ(InputLabel("Woofer (input 3)", 0), "Woofer (input 1)");
    EXPECT_EQ(InputLabel("Woofer (left)", 9), "Woofer (left) (input 10)");
}

} // namespace
