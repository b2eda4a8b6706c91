#include "audio/SineLogSweep.h"

#include <cmath>
#include <limits>

#include "audio/StreamInitializer.h"
#include "foundation/MathConstants.h"

namespace Kedra::PAudioII {

namespace {

bool SweepIsValid(std::int32_t n, std::int32_t fs, double f1, double f2) {
    return n > 0 && fs > 0 && std::isfinite(f1) && std::isfinite(f2) && f1 > 0.0 && f2 > f1;
}

} // namespace

SineLogSweep::SineLogSweep()
    : PCMGeneratorFading(GENERATOR_KIND_LOG_SWEEP), endFrequency(0.5 * sampleRate) {
    Reset();
}

void SineLogSweep::Reset() {
    index = 0;
    sampleRate = StreamInitializer::Get()->GetSamplerate();
    valid_ = SweepIsValid(length, sampleRate, startFrequency, endFrequency);
    active = valid_;
    if (valid_) {
        const double logRatio = std::log(endFrequency / startFrequency);
        rateConstant = logRatio / length;
        phaseScale = length * startFrequency / sampleRate / logRatio;
    } else {
        rateConstant = 0.0;
        phaseScale = 0.0;
    }
    SetUpFades();
}

bool SineLogSweep::NextSample(float* out, bool* isFirst) noexcept {
    *isFirst = index == 0;
    float sample = 0.0f;
    if (active) {
        sample = static_cast<float>(
            std::sin(Math::TWOPI * phaseScale * (std::exp(index * rateConstant) - 1.0)));
        sample = ApplyFades(sample, index, length);
    }
    *out = sample;
    active = valid_ && index < length;
    // Saturates, so that silence pulled for hours cannot overflow the index.
    if (index < std::numeric_limits<std::int32_t>::max())
        ++index;
    return active;
}

bool SineLogSweep::ParamsChanged() {
    if (startFrequency == lastStartFrequency && endFrequency == lastEndFrequency)
        return false;
    lastStartFrequency = startFrequency;
    lastEndFrequency = endFrequency;
    return true;
}

double SineLogSweep::GetHDTimeConstant() const {
    if (!SweepIsValid(length, sampleRate, startFrequency, endFrequency))
        return 0.0;
    return (static_cast<double>(length) / sampleRate) / std::log(endFrequency / startFrequency);
}

} // namespace Kedra::PAudioII
