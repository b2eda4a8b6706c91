#include "analyze/ResponseAnalysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "foundation/Fft.h"
#include "foundation/MathConstants.h"

namespace {

using namespace Kedra::Measure;
using cd = std::complex<double>;
const double PI = Kedra::Math::PI;

// An exponential sweep of n samples from 20 Hz to 20 kHz at 48 kHz.
std::vector<float> Sweep(int n) {
    std::vector<float> x(static_cast<std::size_t>(n));
    const double f1 = 20.0, f2 = 20000.0, fs = 48000.0;
    const double k = std::log(f2 / f1);
    for (int i = 0; i < n; ++i)
        x[static_cast<std::size_t>(i)] =
            static_cast<float>(std::sin(2.0 * PI * f1 * n / fs / k * (std::exp(i * k / n) - 1.0)));
    return x;
}

// The recording of a system h (taps at integer delays) in a frame of c samples.
std::vector<float> Record(const std::vector<float>& x, int c,
                          const std::vector<std::pair<int, double>>& h) {
    std::vector<float> r(static_cast<std::size_t>(c), 0.0f);
    for (const auto& [delay, gain] : h)
        for (std::size_t i = 0; i < x.size(); ++i)
            if (i + delay < r.size())
                r[i + static_cast<std::size_t>(delay)] += static_cast<float>(gain * x[i]);
    return r;
}

std::vector<double> Impulse(const std::vector<cd>& spectrum, int n) {
    std::vector<double> h(static_cast<std::size_t>(n));
    Kedra::Math::FFTPow2FreqToTime(spectrum.data(), h.data() + n / 2, n, true, false);
    return h;
}

TEST(ResponseAnalysis, TransformLengthIsThePowerOfTwoAboveSignalAndTail) {
    EXPECT_EQ(TransformLength(65536, 24000), 131072);
    EXPECT_EQ(TransformLength(65536, 65536), 262144);
    EXPECT_EQ(TransformLength(1 << 28, 1 << 29), 1 << 30);
    EXPECT_EQ(TransformLength(1 << 30, 1), 0);
}

TEST(ResponseAnalysis, NormalisesQuietRecordingsOnlyAndFindsTheDelay) {
    const int n = 8192, c = 16384;
    const auto x = Sweep(n);
    ReferenceInverse ref;
    ASSERT_TRUE(ref.Build(x.data(), n, c));
    ResponseSettings settings;
    std::vector<cd> spectrum(static_cast<std::size_t>(n / 2 + 1));
    ResponseResult result;

    // Half the level, 300 samples late: scaled by 2 on the way, impulse of 1 at 300.
    auto rec = Record(x, c, {{300, 0.5}});
    const float peak = *std::max_element(rec.begin(), rec.end());
    ASSERT_TRUE(AnalyzeRecording(rec.data(), ref, settings, spectrum.data(), result));
    EXPECT_FLOAT_EQ(static_cast<float>(result.recordedPeak), peak);
    EXPECT_NEAR(result.appliedGain, 1.0 / peak, 1e-6);
    EXPECT_EQ(result.timeOffset, 300.0);
    auto h = Impulse(spectrum, n);
    EXPECT_NEAR(h[n / 2], 0.5 / peak, 1e-3);

    // Louder than full scale: left as it is.
    rec = Record(x, c, {{20, 2.0}});
    ASSERT_TRUE(AnalyzeRecording(rec.data(), ref, settings, spectrum.data(), result));
    EXPECT_EQ(result.appliedGain, 1.0);
    EXPECT_EQ(result.timeOffset, 20.0);
    h = Impulse(spectrum, n);
    EXPECT_NEAR(h[n / 2], 2.0, 1e-3);

    // Silence: nothing to scale, no division by zero, no crash.
    std::vector<float> silent(static_cast<std::size_t>(c), 0.0f);
    ASSERT_TRUE(AnalyzeRecording(silent.data(), ref, settings, spectrum.data(), result));
    EXPECT_EQ(result.recordedPeak, 0.0);
    EXPECT_EQ(result.appliedGain, 1.0);
    for (const cd& z : spectrum)
        ASSERT_TRUE(std::isfinite(z.real()) && std::isfinite(z.imag()));
}

TEST(ResponseAnalysis, LockedOffsetTakesTheImpulseThereAndShiftsTheRest) {
    const int n = 8192, c = 16384;
    const auto x = Sweep(n);
    ReferenceInverse ref;
    ASSERT_TRUE(ref.Build(x.data(), n, c));
    ResponseSettings settings;
    settings.normalizeRecording = false;
    settings.lockTimeOffset = true;
    settings.lockedTimeOffset = 10.4;
    auto rec = Record(x, c, {{10, 1.0}});
    std::vector<cd> spectrum(static_cast<std::size_t>(n / 2 + 1));
    ResponseResult result;
    ASSERT_TRUE(AnalyzeRecording(rec.data(), ref, settings, spectrum.data(), result));
    EXPECT_EQ(result.timeOffset, 10.4);
    // The impulse was at sample 10: taken at N + 10 and delayed by the remaining 0.4 samples,
    // it sits at the locked offset, 0.4 samples after the window's centre.
    for (int k : {10, 300, 1000, 3000}) {
        const cd expected = std::polar(1.0, -2.0 * PI * k * 0.4 / n);
        EXPECT_LT(std::abs(spectrum[static_cast<std::size_t>(k)] - expected), 2e-3) << k;
    }
}

TEST(ResponseAnalysis, SubSampleAlignmentAndCalibrationFreeSizesAreChecked) {
    const int n = 8192, c = 16384;
    const auto x = Sweep(n);
    ReferenceInverse ref;
    ASSERT_TRUE(ref.Build(x.data(), n, c));
    ResponseSettings settings;
    settings.subSampleAlign = true;
    // Two taps make a peak between samples 400 and 401, nearer 401.
    auto rec = Record(x, c, {{400, 0.4}, {401, 0.6}});
    std::vector<cd> spectrum(static_cast<std::size_t>(n / 2 + 1));
    ResponseResult result;
    ASSERT_TRUE(AnalyzeRecording(rec.data(), ref, settings, spectrum.data(), result));
    EXPECT_GT(result.timeOffset, 400.5);
    EXPECT_LT(result.timeOffset, 401.0);

    ReferenceInverse bad;
    EXPECT_FALSE(bad.Build(x.data(), n, 10000));
    EXPECT_FALSE(bad.Build(x.data(), 2 * c, c));
    EXPECT_FALSE(bad.Build(nullptr, n, c));
    EXPECT_FALSE(AnalyzeRecording(rec.data(), bad, settings, spectrum.data(), result));
    EXPECT_FALSE(AnalyzeRecording(nullptr, ref, settings, spectrum.data(), result));
}

} // namespace
