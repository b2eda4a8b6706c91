// The self-checking deconvolution demo: a synthesised sweep through a known system,
// deconvolved and located. `sonvel demo` runs it; it exits non-zero if the result is wrong.

#include "cli/Demo.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <vector>

#include "SonvelEngine.h"

namespace {

constexpr double SAMPLE_RATE = 48000.0;
constexpr int SWEEP_LENGTH = 1 << 16;
constexpr int DELAY = 480;
constexpr double GAIN = 0.5;
constexpr int ECHO_DELAY = 600;
constexpr double ECHO_GAIN = 0.25;

// Logarithmic sine sweep from f1 to f2 with 2 ms raised-cosine fades at both ends.
std::vector<double> LogSweep(int length, double f1, double f2, double amplitude) {
    std::vector<double> x(static_cast<std::size_t>(length));
    const double duration = length / SAMPLE_RATE;
    const double rate = std::log(f2 / f1);
    const int fade = static_cast<int>(0.002 * SAMPLE_RATE);
    for (int i = 0; i < length; ++i) {
        const double t = i / SAMPLE_RATE;
        double v = amplitude * std::sin(Kedra::Math::TWOPI * f1 * duration / rate *
                                        (std::exp(t / duration * rate) - 1.0));
        const int edge = std::min(i, length - 1 - i);
        if (edge < fade) {
            v *= 0.5 - 0.5 * std::cos(Kedra::Math::PI * edge / fade);
        }
        x[static_cast<std::size_t>(i)] = v;
    }
    return x;
}

int RunDeconvolutionDemoImpl() {
    using namespace Kedra::Analyze;
    const std::vector<double> sweep = LogSweep(SWEEP_LENGTH, 10.0, 20000.0, 0.5);
    // The recording holds the sweep and the system's tail; both sit in one transform length.
    const int n = CommonPow2Length(SWEEP_LENGTH, SWEEP_LENGTH + DELAY + ECHO_DELAY);
    std::vector<double> played(static_cast<std::size_t>(n), 0.0);
    std::copy(sweep.begin(), sweep.end(), played.begin());

    std::vector<float> recording(static_cast<std::size_t>(n), 0.0f);
    for (int i = 0; i < SWEEP_LENGTH; ++i) {
        recording[static_cast<std::size_t>(i + DELAY)] += static_cast<float>(GAIN * sweep[i]);
        recording[static_cast<std::size_t>(i + DELAY + ECHO_DELAY)] +=
            static_cast<float>(GAIN * ECHO_GAIN * sweep[i]);
    }

    std::vector<std::complex<double>> spectrum(static_cast<std::size_t>(n / 2 + 1));
    InverseSpectrum(played.data(), n, spectrum.data());
    CorrelateSpectrum(recording.data(), n, spectrum.data(), spectrum.data());
    std::vector<double> impulse(static_cast<std::size_t>(n));
    // The product is a 2/N-scaled spectrum.
    Kedra::Math::FFTPow2FreqToTime(spectrum.data(), impulse.data(), n, false, true);

    bool inverted = false;
    const int index = FindImpulseIndex(impulse.data(), n, false, TZM::FirstPostivePeak, &inverted);
    const double peak = impulse[static_cast<std::size_t>(index)];
    const double echo = impulse[static_cast<std::size_t>(index + ECHO_DELAY)];
    const double offset = FractionalPeakOffset(impulse.data() + index);

    std::printf("Sonvel deconvolution demo\n");
    std::printf("  sweep          %d samples, 10 Hz .. 20 kHz at %.0f Hz\n", SWEEP_LENGTH,
                SAMPLE_RATE);
    std::printf("  system         delay %d samples, gain %.3f, echo %.3f after %d samples\n", DELAY,
                GAIN, GAIN * ECHO_GAIN, ECHO_DELAY);
    std::printf("  found impulse  at %d samples (%+.3f), peak %.6f, echo %.6f%s\n", index, offset,
                peak, echo, inverted ? ", inverted" : "");

    const bool ok = index == DELAY && std::fabs(peak - GAIN) < 1e-3 &&
                    std::fabs(echo - GAIN * ECHO_GAIN) < 1e-3 && std::fabs(offset) < 0.05 &&
                    !inverted;
    std::printf("  result         %s\n", ok ? "correct" : "WRONG");
    return ok ? 0 : 1;
}

} // namespace

namespace Kedra::Sonvel {
int RunDeconvolutionDemo() {
    return RunDeconvolutionDemoImpl();
}
} // namespace Kedra::Sonvel
