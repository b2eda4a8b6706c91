#include "audio/PCMGenerator.h"

#include <cmath>

#include "audio/StreamInitializer.h"
#include "foundation/MathConstants.h"

namespace Kedra::PAudioII {

namespace {

int StreamRate() {
    return StreamInitializer::Get()->GetSamplerate();
}

// floor(fs * ms / 1000 + 0.5); a fade that is negative, not a number or shorter than half a
// sample has no samples, and a huge one stops at a length no run can reach.
std::int32_t FadeSamples(std::int32_t fs, float ms) {
    const double samples = std::floor(static_cast<double>(fs) * ms / 1000.0 + 0.5);
    if (!(samples > 0.0))
        return 0;
    if (samples > 2147483647.0)
        return 2147483647;
    return static_cast<std::int32_t>(samples);
}

// Quarter turn held as a float, so that the steps are the same single-precision values
// wherever they are derived.
float QuarterTurnStep(std::int32_t samples) {
    return samples > 0 ? (Math::PI_F * 0.5f) / static_cast<float>(samples) : 0.0f;
}

} // namespace

PCMGenerator::PCMGenerator(std::int32_t generatorKind)
    : length(StreamRate()), kind(generatorKind), sampleRate(length) {}

bool PCMGenerator::NextSample(float* out, bool* isFirst) noexcept {
    *out = 0.0f;
    *isFirst = false;
    return true;
}

bool PCMGenerator::NextFrame(float* frame, int channels, bool* isFirst) noexcept {
    float sample = 0.0f;
    const bool more = NextSample(&sample, isFirst);
    for (int ch = 0; ch < channels; ++ch)
        frame[ch] = sample;
    return more;
}

bool PCMGenerator::HasChanged() {
    sampleRate = StreamRate();
    const bool paramsChanged = ParamsChanged();
    if (!paramsChanged && length == lastLength && lastSampleRate == sampleRate)
        return false;
    lastSampleRate = sampleRate;
    lastLength = length;
    return true;
}

bool PCMGenerator::ParamsChanged() {
    return false;
}

float PCMGenerator::Amplitude() {
    float sample = 0.0f;
    bool first = false;
    NextSample(&sample, &first);
    return sample;
}

bool PCMGeneratorFading::HasChanged() {
    const bool changed = PCMGenerator::HasChanged();
    if (fadeInEnabled != lastFadeInEnabled || fadeOutEnabled != lastFadeOutEnabled ||
        fadeInMs != lastFadeInMs || fadeOutMs != lastFadeOutMs) {
        lastFadeInEnabled = fadeInEnabled;
        lastFadeOutEnabled = fadeOutEnabled;
        lastFadeInMs = fadeInMs;
        lastFadeOutMs = fadeOutMs;
        return true;
    }
    return changed;
}

void PCMGeneratorFading::SetUpFades() {
    const std::int32_t fs = StreamRate();
    fadeInSamples = FadeSamples(fs, fadeInMs);
    fadeOutSamples = FadeSamples(fs, fadeOutMs);
    fadeInStep = QuarterTurnStep(fadeInSamples);
    fadeOutStep = QuarterTurnStep(fadeOutSamples);
}

float PCMGeneratorFading::ApplyFades(float sample, std::int32_t i, std::int32_t n) const noexcept {
    if (fadeInEnabled && i < fadeInSamples)
        sample *= std::sin(fadeInStep * static_cast<float>(i));
    if (fadeOutEnabled) {
        // Widened so that a run near the int32 limit cannot overflow.
        const std::int64_t j = static_cast<std::int64_t>(n) - i;
        if (j < fadeOutSamples)
            sample *= std::sin(fadeOutStep * static_cast<float>(j));
    }
    return sample;
}

} // namespace Kedra::PAudioII
