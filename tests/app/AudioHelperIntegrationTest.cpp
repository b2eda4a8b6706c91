#include "app/AudioHelper.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <filesystem>
#include <fstream>
#include <vector>

#include "app/FrontEnd.h"
#include "app/Options.h"
#include "audio/StreamInitializer.h"
#include "exchange/WaveFile.h"
#include "foundation/MathHelpers.h"
#include "support/TestSupport.h"

namespace {

using namespace Kedra::Sonvel;
using Kedra::Measure::Measurement;
using Kedra::PAudioII::SimulatedModel;
using Kedra::PAudioII::SimulatedSoundCard;
using Kedra::PAudioII::StreamInitializer;

class AudioHelperTest : public ::testing::Test {
protected:
    void SetUp() override {
        StreamInitializer::Destroy();
        SimulatedSoundCard::ResetParams();
        dir =
            SonvelTest::TempDir() / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::create_directories(dir);
        Conf::SetUserDirectory(dir);
        Conf::Options::Reset();
        Conf::Options::Field.Dev.SamplerateNo = 1;
        Conf::Options::Field.Dev.OutputChMask = 1;
        Conf::Options::Field.Signal.SignalLength = 16;
        helper = std::make_unique<AudioHelper>(frontEnd);
        helper->UseSimulated(true, SimulatedModel::Loopback);
        helper->ApplyOptions(Conf::Options::Field);
    }
    void TearDown() override {
        helper.reset();
        StreamInitializer::Destroy();
        SimulatedSoundCard::ResetParams();
    }

    ScriptedFrontEnd frontEnd;
    std::unique_ptr<AudioHelper> helper;
    std::filesystem::path dir;
};

TEST(AmplitudeJudgement, TheThreeMessagesAtThePartsLevels) {
    const AmplitudeVerdict clip = JudgeAmplitude(0.9995);
    EXPECT_TRUE(clip.accepted);
    EXPECT_EQ(clip.message,
              "Recording amplitude indicates digital clipping.\nMeasure at a lower volume to "
              "avoid this");
    const AmplitudeVerdict low = JudgeAmplitude(0.005);
    EXPECT_TRUE(low.accepted);
    EXPECT_EQ(low.message,
              "Recording amplitude is low: -46 dB\nMeasure at a higher volume to avoid this");
    EXPECT_EQ(low.red, 220);
    const AmplitudeVerdict rejected = JudgeAmplitude(0.0002);
    EXPECT_FALSE(rejected.accepted);
    EXPECT_EQ(rejected.message.rfind("Recording amplitude is to low:! (Below -70 dB)\n\nPlease "
                                     "make sure that:\n1. The microphone is connected",
                                     0),
              0u);
    EXPECT_EQ(rejected.red, 250);
    const AmplitudeVerdict fine = JudgeAmplitude(0.5);
    EXPECT_TRUE(fine.accepted);
    EXPECT_TRUE(fine.message.empty());
    EXPECT_EQ(fine.red, -1);
}

TEST(Normalisation, PeakHeldAtTenDbOrAverageAtZero) {
    // A flat response at level 0.25 with a 20-bin bump: 12 dB up and 6 dB up.
    for (double bumpDb : {12.0, 6.0}) {
        const int n = 1 << 14;
        std::vector<std::complex<double>> x(n / 2 + 1, 0.25);
        for (int k = 1000; k < 1020; ++k)
            x[static_cast<std::size_t>(k)] = 0.25 * Kedra::Math::DBToAmplitude(bumpDb);
        Measurement m("bump");
        m.InitializeFreq(x.data(), n / 2, 48000, n / 2, 0, 0.0, 0.0, true);
        const double avgBefore = m.GetForgAvg(20.0, 24000.0, true);
        const double peakBefore = m.GetFreqPeak(10, true);
        NormalizeMeasurement(m, 20.0, 24000.0);
        if (20.0 * std::log10(peakBefore / avgBefore) > 10.0)
            EXPECT_NEAR(20.0 * std::log10(m.GetFreqPeak(10, true)), 10.0, 1e-6) << bumpDb;
        else
            EXPECT_NEAR(20.0 * std::log10(m.GetForgAvg(20.0, 24000.0, true)), 0.0, 1e-6) << bumpDb;
    }
}

TEST_F(AudioHelperTest, MeasuresTheSimulatedSpeakerIntoAFinishedRecord) {
    helper->UseSimulated(true, SimulatedModel::Speaker);
    helper->ApplyOptions(Conf::Options::Field);
    Measurement m("A");
    ASSERT_TRUE(helper->PerformMeasurement(m, "A"));
    EXPECT_TRUE(m.IsInitialized());
    EXPECT_EQ(m.GetSamplerate(), 48000);
    EXPECT_EQ(m.GetSignalType(), 1);
    EXPECT_TRUE(m.GetImpulseWindowEnabled());
    EXPECT_NE(m.GetRecDate(), "NA");
    EXPECT_EQ(m.GetApplicationId(), 1);
    EXPECT_NEAR(helper->LastTimeOffset(), 480.0 + 48000.0 / 343.0, 1.0);
    EXPECT_TRUE(frontEnd.Saw("A - Out: Left - In: Left"));
    EXPECT_TRUE(frontEnd.Saw("Measuring done."));
    EXPECT_TRUE(frontEnd.Saw("Time offset: 13 ms"));
}

TEST_F(AudioHelperTest, DefaultOptionsMeasureTheSpeakerAndTheRoomWithoutClipping) {
    // A first measurement as a new user makes it: every option at its default.
    Conf::Options::Reset();
    for (SimulatedModel model : {SimulatedModel::Speaker, SimulatedModel::Room}) {
        helper->UseSimulated(true, model);
        helper->ApplyOptions(Conf::Options::Field);
        Measurement m("A");
        frontEnd = ScriptedFrontEnd();
        ASSERT_TRUE(helper->PerformMeasurement(m, "A"));
        const double peakDb = 20.0 * std::log10(m.GetRecMaxAmplitude());
        EXPECT_LT(peakDb, -3.0) << static_cast<int>(model);
        EXPECT_GT(peakDb, -30.0) << static_cast<int>(model);
        EXPECT_FALSE(frontEnd.Saw("clipping")) << static_cast<int>(model);
        EXPECT_FALSE(frontEnd.Saw("amplitude is low")) << static_cast<int>(model);
    }
}

TEST_F(AudioHelperTest, AmplitudeValidationOnTheLoopbacksGain) {
    struct Case {
        float volume;
        const char* fragment;
    };
    for (const Case c :
         {Case{0.9995f, "digital clipping"}, Case{0.005f, "amplitude is low: -46 dB"},
          Case{0.0002f, "amplitude is to low"}}) {
        Conf::Options::Field.Dev.OutputPCMAmplitude = c.volume;
        Measurement m("A");
        frontEnd = ScriptedFrontEnd();
        ASSERT_TRUE(helper->PerformMeasurement(m, "A")) << c.fragment;
        EXPECT_TRUE(frontEnd.Saw(c.fragment)) << c.fragment;
        EXPECT_NEAR(m.GetRecMaxAmplitude(), c.volume, 0.002 * c.volume) << c.fragment;
    }
}

TEST_F(AudioHelperTest, CalibrationFilesAreImportedSavedAndSwitched) {
    const auto path = dir / "mic.txt";
    std::ofstream(path) << "\"Sens Factor =-1.378dB, SERNO: 7023270\"\n20\t-1.0\n1000\t0.0\n"
                           "20000\t2.5\n";
    ASSERT_TRUE(helper->ImportMicCalibration(path.string()));
    EXPECT_TRUE(frontEnd.Saw("Microphone calibration successfully imported\n(The calibration is "
                             "actived)"));
    EXPECT_TRUE(std::filesystem::exists(dir / CAL_MIC_FILENAME));
    EXPECT_TRUE(helper->MicCalibrator().IsActive());
    EXPECT_TRUE(Conf::Options::Field.Analysis.MicCalibration);
    helper->SetMicCalibration(false);
    EXPECT_FALSE(helper->MicCalibrator().IsActive());
    EXPECT_TRUE(helper->SetMicCalibration(true));
    EXPECT_TRUE(helper->MicCalibrator().IsActive());

    // The sound-card file is imported but not switched on, and the message says no more.
    ASSERT_TRUE(helper->ImportDacAdcCalibration(path.string()));
    EXPECT_FALSE(helper->DacAdcCalibrator().IsActive());
    EXPECT_EQ(frontEnd.Log().back().text, "DAC-ADC calibration successfully imported\n");
    EXPECT_FALSE(helper->ImportDacAdcCalibration((dir / "missing.cal").string()));
    EXPECT_TRUE(frontEnd.Saw("DAC-ADC calibration could not be imported!"));
    std::filesystem::remove(dir / CAL_DACADC_FILENAME);
    EXPECT_FALSE(helper->SetDacAdcCalibration(true));
    EXPECT_FALSE(helper->DacAdcCalibrator().IsActive());
}

TEST_F(AudioHelperTest, DebugWavesAndAForeignRecordingLeaveTheMeasuringSetUp) {
    Conf::OptionsField& o = Conf::Options::Field;
    o.Misc.SaveMeasureWaves = true;
    // A delay no sound card can mean is held at the limit, not multiplied into an overflow.
    o.Dev.DelayMS = 1e300;
    Measurement m("A");
    ASSERT_TRUE(helper->PerformMeasurement(m, "A"));
    EXPECT_TRUE(frontEnd.Saw("The longest recording delay (Dev.DelayMS) must lie between 0 and "
                             "10000 ms; 10000 ms is used"));
    for (const std::string& path :
         {o.Misc.SaveMeasureOutput, o.Misc.SaveMeasureRec, o.Misc.SaveMeasureCorr}) {
        EXPECT_EQ(std::filesystem::path(path).parent_path(), dir) << path;
        EXPECT_GE(Kedra::WaveImExport::WaveFileInfo(path).frames, 1 << 16) << path;
    }
    // A 2^14 recording analysed with its own reference: the helper keeps measuring at 2^16.
    std::vector<float> reference;
    helper->RenderSignal(reference);
    reference.resize(1 << 14);
    std::vector<float> recording(reference.size() + 2000, 0.0f);
    std::copy(reference.begin(), reference.end(), recording.begin() + 100);
    Measurement analysed("file");
    ASSERT_TRUE(helper->AnalyzeRecording(analysed, recording.data(),
                                         static_cast<int>(recording.size()), 48000,
                                         reference.data(), static_cast<int>(reference.size())));
    EXPECT_NEAR(helper->LastTimeOffset(), 100.0, 0.01);
    EXPECT_EQ(helper->Length(), 1 << 16);
    Measurement again("B");
    ASSERT_TRUE(helper->PerformMeasurement(again, "B"));
    EXPECT_EQ(again.GetDataLength(), m.GetDataLength());
}

} // namespace
