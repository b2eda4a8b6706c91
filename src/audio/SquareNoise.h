#pragma once
// Random square-wave noise of +/- amplitude: at every sample the sign flips with probability
// about 1 - holdProbability.

#include <atomic>
#include <cstdint>

#include "audio/PCMGenerator.h"

namespace Kedra::PAudioII {

class SquareNoise : public PCMGenerator {
public:
    static constexpr unsigned DEFAULT_SEED = 1u;
    static constexpr int RANDOM_MAX = 32767;

    SquareNoise();

    // Endless without trigger mode; with it, length samples and then silence and false.
    bool NextSample(float* out, bool* isFirst) noexcept override;
    void Reset() override;
    bool ParamsChanged() override;

    // Restarts this generator's random sequence. Reset does not, so that every run of an
    // endless noise differs.
    void Seed(unsigned seed);
    // The next draw, uniform in 0..RANDOM_MAX.
    int NextRandom() noexcept;

    double holdProbability = 0.5;
    double amplitude = 1.0;
    double lastHoldProbability = -1.0;
    double lastAmplitude = -1.0;
    std::int32_t count = 0;

private:
    std::uint64_t randomState_ = 0;
};

} // namespace Kedra::PAudioII
