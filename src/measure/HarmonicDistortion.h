#pragma once
// Harmonic distortion curves of a logarithmic-sweep impulse response. A log sweep turns the
// k-th harmonic of the device into its own impulse, ln(k) sweep time constants before the
// linear one; each is cut out, transformed and referred to the linear impulse at the
// fundamental's frequency. Computes on the caller's thread and owns nothing but its result.

#include <vector>

#include "foundation/Mem.h"

namespace Kedra::Measure {

struct HarmonicDistortionInput {
    const double* samples = nullptr; // the raw impulse
    int length = 0;
    double impulseAt = 0.0; // index of the linear impulse in samples, may be fractional
    int sampleRate = 0;
    double timeConstant = 0.0; // the sweep's harmonic time constant, seconds
    int harmonicCount = 0;     // highest harmonic analysed (at least 2 for any result)
};

// One cut out of the raw impulse, in sample indices: it spans begin .. end, rises over the
// first `rise` samples and falls over the last `fall` (half-cosine tapers). The samples used
// are [first, last), the part of it inside the data; `at` is where the impulse is expected.
struct HarmonicWindow {
    double begin = 0.0;
    double end = 0.0;
    double rise = 0.0;
    double fall = 0.0;
    double at = 0.0;
    int first = 0;
    int last = 0;
    bool usable = false;

    double Amplitude(double i) const;
};

// The row values that mean "no data here" (harmonic beyond the Nyquist frequency, no
// fundamental to refer to, window outside the data) and the floor of a vanishing ratio.
inline constexpr float HD_NO_DATA_DB = -1000.0f;
inline constexpr float HD_FLOOR_DB = -300.0f;

// Index 0: the noise stretch; 1: the fundamental; k = 2 .. harmonicCount: the k-th harmonic.
// Empty when the input cannot hold harmonics.
std::vector<HarmonicWindow> HarmonicWindows(const HarmonicDistortionInput& in);

// Rows 0 (THD), 1 (noise), 2 .. harmonicCount (k-th harmonic), each gridSize + 1 values in dB
// relative to the fundamental at the frequencies g * fs / (2 gridSize). False, with the rows
// cleared, when the input cannot hold harmonics.
bool ComputeHarmonicDistortion(const HarmonicDistortionInput& in, int gridSize,
                               std::vector<Mem::Array<float>>& rows);

} // namespace Kedra::Measure
