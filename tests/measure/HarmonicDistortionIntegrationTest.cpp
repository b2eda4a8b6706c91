// Harmonic distortion of real measurements on the simulated sound card, against the levels a
// memoryless polynomial y = x + a2 x^2 + a3 x^3 gives a sine of amplitude A: 2nd harmonic
// a2 A^2 / 2, 3rd a3 A^3 / 4, fundamental A (1 + 3/4 a3 A^2), each through the speaker's
// linear response at its own frequency.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

#include "analyze/Response.h"
#include "audio/SimulatedSoundCard.h"
#include "audio/SineLogSweep.h"
#include "audio/StreamInitializer.h"
#include "foundation/Fft.h"
#include "measure/MeasurementCore.h"

namespace {

using namespace Kedra::PAudioII;
using Kedra::Measure::MeasurementCore;
using Kedra::Measure::Response;
using cd = std::complex<double>;

constexpr int FS = 48000;
constexpr int EXPONENT = 18;

double Db(double x) {
    return 20.0 * std::log10(x);
}

class HarmonicDistortionIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        StreamInitializer::Destroy();
        SimulatedSoundCard::ResetParams();
        stream = StreamInitializer::Get();
        stream->SetSamplerate(FS);
        response = std::make_unique<Response>();
        sweep.startFrequency = 10.0;
        sweep.endFrequency = 24000.0;
    }
    void TearDown() override {
        response.reset();
        StreamInitializer::Destroy();
        SimulatedSoundCard::ResetParams();
    }
    // One sweep measurement of the speaker with these parameters, made into a record the way a
    // finished measurement is: the impulse window's spectrum back in time, time zero centred.
    bool Measure(const DeviceModelParams& params, MeasurementCore& record) {
        SimulatedSoundCard::SetParams(params);
        const int device = SimulatedDeviceIndex(SimulatedModel::Speaker);
        stream->SetOutDevice(device, 2, true);
        stream->SetInDevice(device, 2, true);
        stream->SetOutChMask(1);
        const int n = 1 << EXPONENT;
        std::vector<cd> spectrum(static_cast<std::size_t>(n / 2 + 1));
        if (!response->Measure(EXPONENT, spectrum.data(), 0, &sweep))
            return false;
        std::vector<double> impulse(static_cast<std::size_t>(n));
        Kedra::Math::FFTPow2FreqToTime(spectrum.data(), impulse.data() + n / 2, n, true, false);
        record.InitializeImpulse(impulse.data(), n, n / 2, FS, EXPONENT, 1,
                                 sweep.GetHDTimeConstant(), 0.0, true);
        return true;
    }

    StreamInitializer* stream = nullptr;
    std::unique_ptr<Response> response;
    SineLogSweep sweep;
};

struct Truth {
    double second;
    double third;
};

Truth PolynomialTruth(const DeviceModelParams& p, double f) {
    const DeviceModel model(p);
    const double h1 = std::abs(model.Response(f));
    const double fundamental = 1.0 + 0.75 * p.a3;
    return {p.a2 / 2.0 * std::abs(model.Response(2.0 * f)) / h1 / fundamental,
            p.a3 / 4.0 * std::abs(model.Response(3.0 * f)) / h1 / fundamental};
}

// Worst deviation in dB of the 2nd, 3rd and THD rows from the analytic levels between 100 Hz
// and 5 kHz, in 1/24-octave steps.
struct Deviation {
    double second = 0.0;
    double third = 0.0;
    double thd = 0.0;
};

Deviation WorstDeviation(MeasurementCore& record, const DeviceModelParams& p) {
    Deviation worst;
    for (double f = 100.0; f <= 5000.0; f *= std::pow(2.0, 1.0 / 24.0)) {
        const Truth t = PolynomialTruth(p, f);
        const double thd = std::sqrt(t.second * t.second + t.third * t.third);
        worst.second =
            std::max(worst.second, std::fabs(record.GetHDSmoothInterpolated(2, f) - Db(t.second)));
        worst.third =
            std::max(worst.third, std::fabs(record.GetHDSmoothInterpolated(3, f) - Db(t.third)));
        worst.thd = std::max(worst.thd, std::fabs(record.GetHDSmoothInterpolated(0, f) - Db(thd)));
    }
    return worst;
}

TEST_F(HarmonicDistortionIntegrationTest, SpeakerReadsItsPolynomialThroughItsFilters) {
    const DeviceModelParams p = DeviceModelParams::For(SimulatedModel::Speaker, FS);
    ASSERT_TRUE(p.nonlinear && p.filtersEnabled);
    MeasurementCore record("speaker");
    ASSERT_TRUE(Measure(p, record));
    ASSERT_EQ(record.GetHDSize(), 12);
    const Deviation worst = WorstDeviation(record, p);
    std::printf("speaker with filters, worst deviation 100 Hz - 5 kHz: 2nd %.3f dB, 3rd %.3f dB, "
                "THD %.3f dB\n",
                worst.second, worst.third, worst.thd);
    EXPECT_LT(worst.second, 1.0);
    EXPECT_LT(worst.third, 1.0);
    EXPECT_LT(worst.thd, 1.0);
}

TEST_F(HarmonicDistortionIntegrationTest, PolynomialAloneReadsItsExactLevels) {
    DeviceModelParams p = DeviceModelParams::For(SimulatedModel::Speaker, FS);
    p.filtersEnabled = false;
    MeasurementCore record("polynomial");
    ASSERT_TRUE(Measure(p, record));
    // Flat truth: 2nd a2/2, 3rd a3/4, both over the fundamental's 1 + 3/4 a3.
    EXPECT_NEAR(Db(PolynomialTruth(p, 1000.0).second), -40.0, 0.01);
    const Deviation worst = WorstDeviation(record, p);
    std::printf("polynomial without filters, worst deviation 100 Hz - 5 kHz: 2nd %.3f dB, "
                "3rd %.3f dB, THD %.3f dB\n",
                worst.second, worst.third, worst.thd);
    EXPECT_LT(worst.second, 1.0);
    EXPECT_LT(worst.third, 1.0);
    EXPECT_LT(worst.thd, 1.0);
}

// Without a nonlinearity the harmonic windows hold only the input noise: every harmonic row
// stays below -90 dB, and the 2nd reads what the noise row reads at twice the frequency, once
// that is referred to the fundamental at f instead of 2f. Both are narrow-band noise
// estimates, so they are compared as power means over wide bands.
TEST_F(HarmonicDistortionIntegrationTest, LinearSpeakerReadsTheNoiseFloorNotAHarmonic) {
    DeviceModelParams p = DeviceModelParams::For(SimulatedModel::Speaker, FS);
    p.nonlinear = false;
    const DeviceModel model(p);
    MeasurementCore record("linear");
    ASSERT_TRUE(Measure(p, record));
    ASSERT_EQ(record.GetHDSize(), 12);
    double loudest = -1000.0;
    double thd = -1000.0;
    double worstBand = 0.0;
    for (const auto& [low, high] : {std::pair{200.0, 1000.0}, std::pair{1000.0, 5000.0}}) {
        double second = 0.0;
        double floor = 0.0;
        for (double f = low; f < high; f *= std::pow(2.0, 1.0 / 48.0)) {
            second += std::pow(10.0, record.GetHDSmoothInterpolated(2, f) / 10.0);
            const double h = std::abs(model.Response(2.0 * f)) / std::abs(model.Response(f));
            floor += std::pow(10.0, record.GetHDSmoothInterpolated(1, 2.0 * f) / 10.0) * h * h;
        }
        worstBand = std::max(worstBand, std::fabs(10.0 * std::log10(second / floor)));
    }
    for (double f = 100.0; f <= 5000.0; f *= std::pow(2.0, 1.0 / 24.0)) {
        for (int k = 2; k <= 11; ++k)
            if (k * f < FS / 2.0)
                loudest = std::max(loudest, record.GetHDSmoothInterpolated(k, f));
        thd = std::max(thd, record.GetHDSmoothInterpolated(0, f));
    }
    std::printf("linear speaker 100 Hz - 5 kHz: loudest harmonic row %.2f dB, highest THD %.2f "
                "dB; 2nd row vs noise floor, worst band 200 Hz - 5 kHz: %.2f dB\n",
                loudest, thd, worstBand);
    // The card's noise is -90 dB re full scale; the speaker arrives acousticGainDb below that.
    EXPECT_LT(loudest, -90.0 - p.acousticGainDb);
    EXPECT_LT(worstBand, 1.0);
}

} // namespace
