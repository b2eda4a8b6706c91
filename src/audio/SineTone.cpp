#include "audio/SineTone.h"

#include <cmath>

#include "foundation/MathConstants.h"

namespace Kedra::PAudioII {

SineTone::SineTone() : PCMGenerator(GENERATOR_KIND_PLAIN) {
    Reset();
}

bool SineTone::NextSample(float* out, bool* isFirst) noexcept {
    *isFirst = false;
    *out = static_cast<float>(std::sin(Math::TWOPI * phase_));
    phase_ += step_;
    phase_ -= std::floor(phase_);
    return true;
}

void SineTone::Reset() {
    HasChanged();
    phase_ = 0.0;
    // A rate or frequency that admits no tone plays silence.
    step_ = sampleRate > 0 && std::isfinite(frequency) && frequency > 0.0 &&
                    frequency < sampleRate / 2.0
                ? frequency / sampleRate
                : 0.0;
}

bool SineTone::ParamsChanged() {
    const bool changed = frequency != lastFrequency;
    lastFrequency = frequency;
    return changed;
}

} // namespace Kedra::PAudioII
