#pragma once
// Exponential sine sweep: the instantaneous frequency runs from startFrequency at index 0 to
// endFrequency at index length, as f1 * exp(index * ln(f2/f1) / length).

#include <cstdint>

#include "audio/PCMGenerator.h"

namespace Kedra::PAudioII {

class SineLogSweep : public PCMGeneratorFading {
public:
    SineLogSweep();

    // Yields length + 1 sweep samples (the call for the last one already returns false), then
    // silence. Settings that admit no upward sweep (length or sample rate not positive,
    // startFrequency not positive, endFrequency not above it) give one silent sample at
    // index 0 and end there.
    bool NextSample(float* out, bool* isFirst) noexcept override;
    void Reset() override;
    bool ParamsChanged() override;

    // (length / sampleRate) / ln(f2 / f1) in seconds: the k-th harmonic's impulse lies ln(k)
    // times this before the linear one. 0 when the settings admit no upward sweep.
    double GetHDTimeConstant() const;

    double startFrequency = 5.0;
    double endFrequency;
    double lastStartFrequency = -1.0;
    double lastEndFrequency = -1.0;
    std::int32_t index = 0;
    bool active = false;
    double rateConstant = 0.0;
    double phaseScale = 0.0;

private:
    bool valid_ = false;
};

} // namespace Kedra::PAudioII
