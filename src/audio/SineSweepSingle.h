#pragma once
// Phase-accumulating sine sweep with a power-law frequency course,
// f(x) = f1 + (f2 - f1) * x^shape for x = index / length: shape 1 is a linear chirp, a larger
// shape lingers at the low frequencies.

#include <cstdint>

#include "audio/PCMGenerator.h"

namespace Kedra::PAudioII {

class SineSweepSingle : public PCMGeneratorFading {
public:
    SineSweepSingle();

    // Yields length + 1 sweep samples (the call for the last one already returns false), then
    // silence. The phase step uses sampleRate as refreshed by HasChanged. Settings that admit
    // no sweep (length or sample rate not positive, a negative or non-finite frequency, a
    // shape that is not positive and finite) give one silent sample at index 0 and end there.
    bool NextSample(float* out, bool* isFirst) noexcept override;
    void Reset() override;
    bool ParamsChanged() override;

    double startFrequency = 10.0;
    double endFrequency = 1000.0;
    double shape = 1.0;
    double lastStartFrequency = -1.0;
    double lastEndFrequency = -1.0;
    double lastShape = -1.0;
    double span = 990.0;
    double phase = 0.0; // radians
    std::int32_t index = 0;
    bool active = true;
};

} // namespace Kedra::PAudioII
