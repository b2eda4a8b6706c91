// End to end: a logarithmic sweep through a known system, deconvolved back to the
// system's impulse response.

#include "analyze/SequenceAnalysis.h"
#include "foundation/Fft.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <sstream>
#include <string>
#include <vector>

using namespace Kedra::Analyze;
using Cd = std::complex<double>;

namespace {

const double PI_ = std::acos(-1.0);
constexpr double FS = 48000.0;
constexpr int N = 1 << 16;  // sweep length
constexpr int L = 2 * N;    // transform length: holds the sweep and the system's tail
constexpr double F1 = 10.0; // sweep band
constexpr double F2 = 20000.0;
constexpr int FADE = 480; // 10 ms raised-cosine fades

// The system: a pure delay of 100 samples plus a few taps after it.
const std::vector<std::pair<int, double>> SYSTEM = {
    {100, 1.0}, {101, 0.35}, {102, -0.2}, {104, 0.1}, {109, -0.05}};

std::vector<float> Sweep() {
    std::vector<float> x(N);
    const double t = N / FS;
    const double rate = std::log(F2 / F1);
    for (int m = 0; m < N; ++m) {
        const double phase = 2.0 * PI_ * F1 * t / rate * (std::exp(m / FS * rate / t) - 1.0);
        double gain = 0.5;
        if (m < FADE) {
            gain *= 0.5 - 0.5 * std::cos(PI_ * m / FADE);
        } else if (m >= N - FADE) {
            gain *= 0.5 - 0.5 * std::cos(PI_ * (N - 1 - m) / FADE);
        }
        x[static_cast<std::size_t>(m)] = static_cast<float>(gain * std::sin(phase));
    }
    return x;
}

// Direct convolution with the system, rounded to float as a recording is.
std::vector<float> Record(const std::vector<float>& x) {
    std::vector<double> y(L, 0.0);
    for (int m = 0; m < N; ++m) {
        for (const auto& [delay, gain] : SYSTEM) {
            y[static_cast<std::size_t>(m + delay)] += gain * x[static_cast<std::size_t>(m)];
        }
    }
    return {y.begin(), y.end()};
}

// The system's analytic response at bin k of L, 2/L-scaled like the deconvolved spectrum.
Cd SystemBin(int k) {
    Cd sum = 0.0;
    for (const auto& [delay, gain] : SYSTEM) {
        sum += gain * std::polar(1.0, -2.0 * PI_ * static_cast<double>(k) * delay / L);
    }
    return sum * (2.0 / L);
}

// 1 from 40 Hz to 15 kHz with raised-cosine edges down to 20 Hz and up to 17 kHz: well
// inside the sweep's band and clear of its fades.
double BandWeight(int k) {
    const double f = k * FS / L;
    if (f <= 20.0 || f >= 17000.0) {
        return 0.0;
    }
    if (f < 40.0) {
        return 0.5 - 0.5 * std::cos(PI_ * (f - 20.0) / 20.0);
    }
    if (f > 15000.0) {
        return 0.5 + 0.5 * std::cos(PI_ * (f - 15000.0) / 2000.0);
    }
    return 1.0;
}

struct Deconvolved {
    std::vector<Cd> spectrum; // 2/L-scaled spectrum of the impulse response
    std::vector<double> impulse;
};

Deconvolved Deconvolve(const std::vector<float>& played, const std::vector<float>& recorded) {
    std::vector<double> reference(L, 0.0);
    std::copy(played.begin(), played.end(), reference.begin());
    std::vector<float> recording(L, 0.0f);
    std::copy(recorded.begin(), recorded.begin() + std::min<std::size_t>(recorded.size(), L),
              recording.begin());
    Deconvolved d{std::vector<Cd>(L / 2 + 1), std::vector<double>(L)};
    InverseSpectrum(reference.data(), L, d.spectrum.data());
    CorrelateSpectrum(recording.data(), L, d.spectrum.data(), d.spectrum.data());
    Kedra::Math::FFTPow2FreqToTime(d.spectrum.data(), d.impulse.data(), L, false,
                                   /*inputScaled=*/true);
    return d;
}

std::vector<double> BandLimitedImpulse(const std::vector<Cd>& spectrum) {
    std::vector<Cd> weighted(spectrum.size());
    for (std::size_t k = 0; k < spectrum.size(); ++k) {
        weighted[k] = spectrum[k] * BandWeight(static_cast<int>(k));
    }
    std::vector<double> h(L);
    Kedra::Math::FFTPow2FreqToTime(weighted.data(), h.data(), L, false, true);
    return h;
}

std::string Scientific(double v) {
    std::ostringstream text;
    text << std::scientific << v;
    return text.str();
}

} // namespace

TEST(Deconvolution, SweepThroughAKnownSystemGivesBackItsImpulseResponse) {
    const auto sweep = Sweep();
    const auto result = Deconvolve(sweep, Record(sweep));

    std::vector<Cd> truth(L / 2 + 1);
    double worstBin = 0.0;
    double truthPeakBin = 0.0;
    for (int k = 0; k <= L / 2; ++k) {
        truth[static_cast<std::size_t>(k)] = SystemBin(k);
        if (BandWeight(k) == 1.0) {
            worstBin = std::max(worstBin, std::abs(result.spectrum[static_cast<std::size_t>(k)] -
                                                   truth[static_cast<std::size_t>(k)]));
            truthPeakBin = std::max(truthPeakBin, std::abs(truth[static_cast<std::size_t>(k)]));
        }
    }
    const auto measured = BandLimitedImpulse(result.spectrum);
    const auto expected = BandLimitedImpulse(truth);
    double peak = 0.0;
    double worst = 0.0;
    for (int i = 0; i < L; ++i) {
        peak = std::max(peak, std::fabs(expected[static_cast<std::size_t>(i)]));
        worst = std::max(worst, std::fabs(measured[static_cast<std::size_t>(i)] -
                                          expected[static_cast<std::size_t>(i)]));
    }
    RecordProperty("impulse_error_of_peak", Scientific(worst / peak));
    RecordProperty("bin_error_of_peak", Scientific(worstBin / truthPeakBin));
    EXPECT_GT(peak, 0.5); // band-limiting to 15 kHz lowers the unit tap
    EXPECT_LT(worst / peak, 1e-5);
    EXPECT_LT(worstBin / truthPeakBin, 1e-5);
    EXPECT_EQ(std::max_element(measured.begin(), measured.end()) - measured.begin(), 100);

    for (TZM method :
         {TZM::FirstPostivePeak, TZM::PostivePeak, TZM::FirstMagnitudePeak, TZM::MagnitudePeak}) {
        bool inverted = true;
        EXPECT_EQ(FindImpulseIndex(result.impulse.data(), L, false, method, &inverted), 100)
            << TZMToString(method);
        EXPECT_FALSE(inverted);
    }
    const int rise = FindImpulseIndex(result.impulse.data(), L, false, TZM::CausalImpulse, nullptr);
    EXPECT_GE(rise, 95);
    EXPECT_LE(rise, 100);
}

TEST(Deconvolution, LoopbackGivesAUnitImpulse) {
    const auto sweep = Sweep();
    const auto result = Deconvolve(sweep, sweep);
    EXPECT_NEAR(result.impulse[0], 1.0, 1e-9);
    double rest = 0.0;
    for (int i = 1; i < L; ++i) {
        rest = std::max(rest, std::fabs(result.impulse[static_cast<std::size_t>(i)]));
    }
    EXPECT_LT(rest, 1e-9);

    // The same with the played signal inverted: the locator reports it.
    std::vector<float> inverted(sweep);
    for (float& v : inverted) {
        v = -v;
    }
    const auto flipped = Deconvolve(sweep, inverted);
    EXPECT_NEAR(flipped.impulse[0], -1.0, 1e-9);
    std::vector<double> centred(flipped.impulse);
    std::rotate(centred.begin(), centred.begin() + L / 2, centred.end()); // time zero in the middle
    bool isInverted = false;
    EXPECT_EQ(
        FindImpulseIndex(centred.data() + L / 2, L, true, TZM::FirstMagnitudePeak, &isInverted), 0);
    EXPECT_TRUE(isInverted);
}
