#include "audio/SineSweepSingle.h"

#include <cmath>
#include <limits>

#include "foundation/MathConstants.h"

namespace Kedra::PAudioII {

SineSweepSingle::SineSweepSingle() : PCMGeneratorFading(GENERATOR_KIND_SINGLE_SWEEP) {
    Reset();
}

void SineSweepSingle::Reset() {
    phase = 0.0;
    index = 0;
    active = true;
    span = endFrequency - startFrequency;
    SetUpFades();
}

bool SineSweepSingle::NextSample(float* out, bool* isFirst) noexcept {
    *isFirst = index == 0;
    // Checked per sample: HasChanged may refresh sampleRate after Reset.
    const bool valid = length > 0 && sampleRate > 0 && std::isfinite(startFrequency) &&
                       std::isfinite(endFrequency) && startFrequency >= 0.0 &&
                       endFrequency >= 0.0 && std::isfinite(shape) && shape > 0.0;
    if (!valid)
        active = false;
    float sample = 0.0f;
    if (active) {
        sample = static_cast<float>(std::sin(phase));
        sample = ApplyFades(sample, index, length);
        const double x = static_cast<double>(index) / length;
        // The exact comparison keeps the linear chirp free of pow's rounding.
        const double f =
            shape == 1.0 ? startFrequency + span * x : startFrequency + span * std::pow(x, shape);
        phase += Math::TWOPI * f / sampleRate;
        if (phase > Math::TWOPI)
            phase -= Math::TWOPI;
        // Only a frequency above the sample rate steps further than one turn; keep the phase
        // small so that sin() stays accurate.
        if (phase > Math::TWOPI)
            phase = std::fmod(phase, Math::TWOPI);
    }
    *out = sample;
    active = active && index < length;
    if (index < std::numeric_limits<std::int32_t>::max())
        ++index;
    return active;
}

bool SineSweepSingle::ParamsChanged() {
    const bool changed = startFrequency != lastStartFrequency || endFrequency != lastEndFrequency ||
                         shape != lastShape;
    lastStartFrequency = startFrequency;
    lastEndFrequency = endFrequency;
    lastShape = shape;
    return changed;
}

} // namespace Kedra::PAudioII
