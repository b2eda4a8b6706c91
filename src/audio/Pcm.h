#pragma once
// Plays a borrowed array of float samples.

#include <cstdint>

#include "audio/PCMGenerator.h"

namespace Kedra::PAudioII {

class Pcm : public PCMGenerator {
public:
    Pcm();

    // Yields length samples: data[position] while data is set and position < dataLength,
    // otherwise 0; the call for the last of them returns false.
    bool NextSample(float* out, bool* isFirst) noexcept override;
    void Reset() override;
    // Pcm data is not compared: the caller owns it and re-renders when it changes.
    bool ParamsChanged() override;

    // Borrows samples (not copied; must outlive the playback) and sets hasData.
    void SetData(const float* samples, std::int32_t count);

    std::int64_t position = 0;
    bool hasData = false;
    const float* data = nullptr;
    std::int32_t dataLength = 0;
};

} // namespace Kedra::PAudioII
