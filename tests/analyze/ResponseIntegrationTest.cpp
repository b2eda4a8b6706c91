#include "analyze/Response.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>
#include <thread>
#include <vector>

#include "analyze/MeasurementViews.h"
#include "audio/SimulatedSoundCard.h"
#include "audio/SineLogSweep.h"
#include "audio/StreamInitializer.h"
#include "exchange/Calibrator.h"
#include "filter/Design.h"
#include "foundation/Fft.h"
#include "foundation/MathConstants.h"
#include "measure/Measurement.h"
#include "support/TestSupport.h"

namespace {

using namespace Kedra::PAudioII;
using Kedra::Measure::Response;
using cd = std::complex<double>;
const double PI = Kedra::Math::PI;

std::vector<std::string> statusTexts;
Response* running = nullptr;
std::string abortAt;

void Collect(const std::string& text) {
    statusTexts.push_back(text);
    if (running != nullptr && text == abortAt)
        running->Abort();
}

bool Saw(const std::string& text) {
    return std::find(statusTexts.begin(), statusTexts.end(), text) != statusTexts.end();
}

class ResponseTest : public ::testing::Test {
protected:
    void SetUp() override {
        StreamInitializer::Destroy();
        SimulatedSoundCard::ResetParams();
        stream = StreamInitializer::Get();
        stream->SetSamplerate(48000);
        Use(SimulatedModel::Loopback);
        response = std::make_unique<Response>();
        response->statusCallback = Collect;
        // As the controller leaves it by default: spectra in the recording's own level.
        response->normalizeRecording = false;
        statusTexts.clear();
        running = response.get();
        abortAt.clear();
        sweep.startFrequency = 10.0;
        sweep.endFrequency = 24000.0;
    }
    void TearDown() override {
        running = nullptr;
        response.reset();
        StreamInitializer::Destroy();
        SimulatedSoundCard::ResetParams();
    }
    void Use(SimulatedModel model) {
        stream->SetOutDevice(SimulatedDeviceIndex(model), 2, true);
        stream->SetInDevice(SimulatedDeviceIndex(model), 2, true);
        stream->SetOutChMask(1);
    }
    // Measures 2^e samples; the spectrum of the impulse window.
    bool Run(int e, std::vector<cd>& spectrum, bool filtered = false) {
        spectrum.assign(static_cast<std::size_t>((1 << e) / 2 + 1), cd());
        return filtered ? response->MeasureFiltered(e, spectrum.data(), 0, &sweep)
                        : response->Measure(e, spectrum.data(), 0, &sweep);
    }
    static double Db(cd z) { return 20.0 * std::log10(std::abs(z)); }
    // The speaker's linear response as a full-scale sweep sees it: the cubic term of its
    // polynomial adds 3/4 a3 to the fundamental of a sine of amplitude 1.
    static cd SpeakerTruth(const DeviceModel& model, double f) {
        return model.Response(f) * (1.0 + 0.75 * model.Params().a3);
    }

    StreamInitializer* stream = nullptr;
    std::unique_ptr<Response> response;
    SineLogSweep sweep;
};

TEST_F(ResponseTest, LoopbackIsFlatAt480SamplesWithACleanImpulse) {
    std::vector<cd> x;
    ASSERT_TRUE(Run(18, x));
    const int n = 1 << 18;
    EXPECT_EQ(response->timeOffset, 480.0);
    EXPECT_GT(response->recordedPeak, 0.99);
    double worst = 0.0;
    for (int k = 0; k <= n / 2; ++k) {
        const double f = k * 48000.0 / n;
        if (f >= 20.0 && f <= 20000.0)
            worst = std::max(worst, std::fabs(Db(x[static_cast<std::size_t>(k)])));
    }
    EXPECT_LT(worst, 0.05);
    // The impulse: a unit peak at time zero and nothing but rounding elsewhere.
    std::vector<double> h(static_cast<std::size_t>(n));
    Kedra::Math::FFTPow2FreqToTime(x.data(), h.data() + n / 2, n, true, false);
    const double peak = h[static_cast<std::size_t>(n / 2)];
    EXPECT_NEAR(peak, 1.0, 1e-3);
    double floor = 0.0;
    for (int i = 0; i < n; ++i)
        if (std::abs(i - n / 2) > 200)
            floor = std::max(floor, std::fabs(h[static_cast<std::size_t>(i)]));
    EXPECT_LT(20.0 * std::log10(floor / peak), -120.0);
    EXPECT_TRUE(Saw("Generating signal"));
    EXPECT_TRUE(Saw("Starting Audiostream"));
    EXPECT_TRUE(Saw("Measuring done."));
    EXPECT_EQ(stream->GetStatus(), STREAM_STOPPED); // the run started it, so it stops it
}

TEST_F(ResponseTest, SpeakerMatchesItsModel) {
    Use(SimulatedModel::Speaker);
    std::vector<cd> x;
    ASSERT_TRUE(Run(18, x));
    const int n = 1 << 18;
    DeviceModel model(DeviceModelParams::For(SimulatedModel::Speaker, 48000));
    double worstDb = 0.0, worstDeg = 0.0;
    for (int k = 1; k < n / 2; k += 7) {
        const double f = k * 48000.0 / n;
        if (f < 40.0 || f > 16000.0)
            continue;
        // The spectrum is referred to the measured time offset; put that delay back.
        const cd measured = x[static_cast<std::size_t>(k)] *
                            std::polar(1.0, -2.0 * PI * f * response->timeOffset / 48000.0);
        const cd truth = SpeakerTruth(model, f);
        worstDb = std::max(worstDb, std::fabs(Db(measured) - Db(truth)));
        worstDeg = std::max(worstDeg, std::fabs(std::arg(measured / truth)) * 180.0 / PI);
    }
    EXPECT_LT(worstDb, 0.2);
    EXPECT_LT(worstDeg, 3.0);
}

TEST_F(ResponseTest, SpeakerMeasurementWithTheSuggestedWindow) {
    Use(SimulatedModel::Speaker);
    std::vector<cd> x;
    ASSERT_TRUE(Run(18, x));
    const int n = 1 << 18;
    Kedra::Measure::Measurement m("speaker");
    m.InitializeFreq(x.data(), n / 2, 48000, n / 2, 1, sweep.GetHDTimeConstant(), 0.0, true);
    response->PostInitializeMeasurement(m);
    EXPECT_EQ(m.GetCurrentOffset(), response->timeOffset);
    EXPECT_EQ(m.GetRecMaxAmplitude(), response->recordedPeak);
    EXPECT_EQ(m.GetAmplitude(), response->appliedGain);
    // As the controller does: the window starts half way to the second harmonic's impulse,
    // the end is suggested, at least 10 samples, searched over one second.
    const int d =
        static_cast<int>(std::floor(std::log(2.0) * sweep.GetHDTimeConstant() * 48000 + 0.5));
    m.PostMeasureStandard(-(d / 2), 10, 48000, 1, true);
    EXPECT_EQ(m.GetImpulseWindowStart(), -(d / 2));
    EXPECT_EQ(m.GetImpulseWindowEnd(), m.SuggestedImpulseWindowEnd(48000));
    ASSERT_TRUE(m.GetImpulseWindowEnabled());
    ASSERT_GT(m.GetImpulseWindowEnd(), 0);
    const double valid = m.FrequencyValidityWithWindow();
    EXPECT_NEAR(valid, 48000.0 / m.GetImpulseWindowEnd(), 1e-9);
    EXPECT_LT(valid, 200.0);
    DeviceModel model(DeviceModelParams::For(SimulatedModel::Speaker, 48000));
    const double* a = m.GetA();
    // The window cuts the high-pass's ringing: in the octave above `valid` that leaves a
    // ripple of up to 0.3 dB, its size set by where the noise lets the suggested end fall.
    // With two periods or more inside the window it stays near 0.1 dB.
    double worst = 0.0;
    for (int k = 1; k < n / 2; k += 7) {
        const double f = k * 48000.0 / n;
        if (f < 2.0 * valid || f > 16000.0)
            continue;
        worst = std::max(worst, std::fabs(20.0 * std::log10(a[k]) - Db(SpeakerTruth(model, f))));
    }
    EXPECT_LT(worst, 0.2);
}

TEST_F(ResponseTest, SpeakerWaterfallFrontSliceIsTheResponse) {
    Use(SimulatedModel::Speaker);
    // A time zero between samples: the peak's first half lies before the sample of time zero.
    response->subSampleAlign = true;
    std::vector<cd> x;
    ASSERT_TRUE(Run(18, x));
    ASSERT_NE(response->timeOffset, std::floor(response->timeOffset));
    const int n = 1 << 18;
    Kedra::Measure::Measurement m("speaker");
    m.InitializeFreq(x.data(), n / 2, 48000, n / 2, 1, sweep.GetHDTimeConstant(), 0.0, true);
    response->PostInitializeMeasurement(m);
    m.SetImpulseWindowEnabled(false);
    const auto w = Kedra::Measure::WaterfallOf(m, {});
    ASSERT_FALSE(w.levels.empty());
    const double* a = m.GetA();
    double worst = 0.0;
    for (std::size_t k = 1; k < w.levels[0].size(); ++k) {
        const double f = k * w.hzPerBin;
        if (f < 2000.0 || f > 10000.0)
            continue;
        const double response = 20.0 * std::log10(a[std::lround(f * m.GetBinsPerHz())]);
        worst = std::max(worst, std::fabs(w.levels[0][k] - response));
    }
    EXPECT_LT(worst, 1.0);
}

TEST_F(ResponseTest, RoomMatchesItsModelAtEveryRate) {
    // The window spans N/2 samples after the impulse: 0.74, 0.68 and 0.68 s here, more than
    // the 0.52 s the room's response lasts, so it cuts nothing of it. With the polynomial off
    // (it is not in the linear truth) what is left is the card's -90 dB noise and the float
    // recording: the worst bin lies near -72 dB of the response's mean power. A tail placed
    // one sample off shows at about 0 dB.
    for (const auto& [fs, e] :
         {std::pair{44100, 16}, std::pair{96000, 17}, std::pair{192000, 18}}) {
        SCOPED_TRACE(fs);
        stream->SetSamplerate(fs);
        DeviceModelParams p = DeviceModelParams::For(SimulatedModel::Room, fs);
        p.nonlinear = false;
        // The margin below is against the card's noise at the speaker's level.
        p.acousticGainDb = 0.0;
        SimulatedSoundCard::SetParams(p);
        Use(SimulatedModel::Room);
        response->tailSamples = fs;
        sweep.endFrequency = fs / 2.0;
        std::vector<cd> x;
        ASSERT_TRUE(Run(e, x));
        const int n = 1 << e;
        const DeviceModel model(SimulatedSoundCard::GetParams(SimulatedModel::Room, fs));
        // Against the mean power, since the reflections notch the response deeply. Every 5th
        // bin: the truth sums a thousand taps per frequency.
        double worst = 0.0, power = 0.0;
        int bins = 0;
        for (int k = 1; k < n / 2; k += 5) {
            const double f = k * double(fs) / n;
            if (f < 40.0 || f > 16000.0)
                continue;
            const cd measured = x[static_cast<std::size_t>(k)] *
                                std::polar(1.0, -2.0 * PI * f * response->timeOffset / fs);
            const cd truth = model.Response(f);
            worst = std::max(worst, std::norm(measured - truth));
            power += std::norm(truth);
            ++bins;
        }
        EXPECT_LT(10.0 * std::log10(worst / (power / bins)), -60.0);
    }
}

TEST_F(ResponseTest, ACardSlowerThanRealTimeStillDeliversTheMeasurement) {
    // Half real time: a wait that counted wall-clock time would give up at 1.2 times the
    // recording's length, long before this card has delivered it.
    const double speed = SimulatedSoundCard::GetSpeed();
    SimulatedSoundCard::SetSpeed(0.5);
    stream->Start();
    response->tailSamples = 4096;
    std::vector<cd> x;
    const bool measured = Run(13, x);
    SimulatedSoundCard::SetSpeed(speed);
    ASSERT_TRUE(measured);
    EXPECT_FALSE(Saw("Error while recording audiostream"));
    EXPECT_EQ(response->timeOffset, 480.0);
    EXPECT_NEAR(std::abs(x[1000]), 1.0, 1e-3);
}

TEST_F(ResponseTest, SubSampleAlignmentFindsTheAcousticDelay) {
    DeviceModelParams p = DeviceModelParams::For(SimulatedModel::Speaker, 48000);
    p.filtersEnabled = false;
    SimulatedSoundCard::SetParams(p);
    Use(SimulatedModel::Speaker);
    response->subSampleAlign = true;
    std::vector<cd> x;
    ASSERT_TRUE(Run(16, x));
    EXPECT_NEAR(response->timeOffset, 480.0 + 48000.0 / 343.0, 0.1);
}

TEST_F(ResponseTest, ActiveCalibrationChangesTheResponseByItsCorrection) {
    std::vector<cd> plain;
    ASSERT_TRUE(Run(16, plain));
    Kedra::Measure::Calibrator cal;
    ASSERT_TRUE(cal.OpenText("20 0\n200 3\n2000 -2\n20000 1\n"));
    cal.SetActive(true);
    response->AddCalibrator(&cal);
    std::vector<cd> corrected;
    ASSERT_TRUE(Run(16, corrected));
    EXPECT_TRUE(Saw("Applying calibration"));
    const int n = 1 << 16;
    double worst = 0.0;
    for (int k = 1; k < n / 2; k += 3) {
        const double f = k * 48000.0 / n;
        if (f < 30.0 || f > 19000.0)
            continue;
        const cd ratio =
            corrected[static_cast<std::size_t>(k)] / plain[static_cast<std::size_t>(k)];
        worst = std::max(worst,
                         std::abs(ratio - cal.GetCorrection(f)) / std::abs(cal.GetCorrection(f)));
    }
    EXPECT_LT(worst, 1e-3);
    // Switched off, it changes nothing.
    response->applyCalibration = false;
    std::vector<cd> again;
    ASSERT_TRUE(Run(16, again));
    EXPECT_LT(std::abs(again[1000] - plain[1000]), 1e-9 * std::abs(plain[1000]));
}

TEST_F(ResponseTest, SecondRunWithUnchangedSettingsDoesNotRenderAgain) {
    std::vector<cd> x;
    ASSERT_TRUE(Run(14, x));
    statusTexts.clear();
    ASSERT_TRUE(Run(14, x));
    EXPECT_FALSE(Saw("Generating signal"));
    sweep.startFrequency = 20.0;
    statusTexts.clear();
    ASSERT_TRUE(Run(14, x));
    EXPECT_TRUE(Saw("Generating signal"));
}

TEST_F(ResponseTest, AbortWhileWaiting) {
    abortAt = "Playing and Recording:";
    std::vector<cd> x;
    EXPECT_FALSE(Run(16, x));
    EXPECT_TRUE(Saw("Aborting!"));
    EXPECT_FALSE(Saw("Measuring done."));
    EXPECT_NE(SonvelTest::ReadLog().find("INFO    Response::Abort()"), std::string::npos);
    EXPECT_EQ(stream->InputBufferCount(), 0);
    EXPECT_EQ(stream->GetGenerator(), nullptr);
}

TEST_F(ResponseTest, DeadDeviceTimesOut) {
    Use(SimulatedModel::Dead);
    std::vector<cd> x;
    EXPECT_FALSE(Run(14, x));
    EXPECT_TRUE(Saw("Error while recording audiostream"));
    EXPECT_TRUE(Saw("Done"));
    EXPECT_NE(SonvelTest::ReadLog().find("WARNING Response::Meaure - Did not receive recording!"),
              std::string::npos);
    EXPECT_EQ(stream->InputBufferCount(), 0);
    EXPECT_EQ(stream->GetGenerator(), nullptr);
}

TEST_F(ResponseTest, FailingStreamStartReportsTheError) {
    stream->SetOutDevice(100000, 1, true);
    stream->SetInDevice(100000, 1, true);
    std::vector<cd> x;
    EXPECT_FALSE(Run(14, x));
    EXPECT_TRUE(Saw("ERROR while starting audiostream: " + stream->GetPaErrorText()));
    EXPECT_EQ(stream->GetGenerator(), nullptr);
}

// Records what was played.
class WatchingResponse : public Response {
public:
    void DebugOutput(const float* samples, int count) override {
        played.assign(samples, samples + count);
    }
    std::vector<float> played;
};

TEST_F(ResponseTest, FilteredMeasurementPlaysOnlyTheBandAboveTheHighpass) {
    Use(SimulatedModel::Speaker);
    auto watching = std::make_unique<WatchingResponse>();
    WatchingResponse& r = *watching;
    response = std::move(watching);
    running = response.get();
    response->statusCallback = Collect;
    response->normalizeRecording = false;
    response->SetFilterHighpass(500.0);
    std::vector<cd> x;
    ASSERT_TRUE(Run(17, x, true));
    EXPECT_TRUE(Saw("Applying filter"));
    const int n = 1 << 17;
    const double edge = 500.0 - response->SignalFilter().Highpass().GetFreqBand();
    const int start = static_cast<int>(n * std::log(edge / 10.0) / std::log(24000.0 / 10.0)) - 1;
    EXPECT_EQ(static_cast<int>(r.played.size()), n - start);
    DeviceModel model(DeviceModelParams::For(SimulatedModel::Speaker, 48000));
    double worstDb = 0.0;
    for (int k = 1; k < n / 2; k += 5) {
        const double f = k * 48000.0 / n;
        if (f < 1000.0 || f > 16000.0)
            continue;
        worstDb = std::max(
            worstDb, std::fabs(Db(x[static_cast<std::size_t>(k)]) - Db(SpeakerTruth(model, f))));
    }
    EXPECT_LT(worstDb, 0.2);
    // A second filtered run with the same filter reuses the filtered signal.
    statusTexts.clear();
    ASSERT_TRUE(Run(17, x, true));
    EXPECT_FALSE(Saw("Applying filter"));
}

} // namespace
