#pragma once
// An endless sine of amplitude 1 at one frequency, for setting levels while metering; the
// stream's output volume and channel mask scale and route it. A tone has no start worth
// lining a recording up with, so it never marks a first sample (no trigger).

#include "audio/PCMGenerator.h"

namespace Kedra::PAudioII {

class SineTone : public PCMGenerator {
public:
    SineTone();

    bool NextSample(float* out, bool* isFirst) noexcept override;
    // Back to phase 0, with the phase step of `frequency` at the stream's sample rate.
    void Reset() override;
    bool ParamsChanged() override;

    double frequency = 1000.0;
    double lastFrequency = -1.0;

private:
    double phase_ = 0.0; // in turns, kept in [0, 1) so that precision never drifts
    double step_ = 0.0;  // turns per sample
};

} // namespace Kedra::PAudioII
