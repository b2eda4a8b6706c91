#include "audio/Pcm.h"

namespace Kedra::PAudioII {

Pcm::Pcm() : PCMGenerator(GENERATOR_KIND_PLAIN) {}

bool Pcm::NextSample(float* out, bool* isFirst) noexcept {
    *isFirst = position == 0;
    // hasData alone is not trusted: a null array reads as silence.
    *out = hasData && data != nullptr && position < dataLength ? data[position] : 0.0f;
    ++position;
    return position < length;
}

void Pcm::Reset() {
    position = 0;
}

bool Pcm::ParamsChanged() {
    return false;
}

void Pcm::SetData(const float* samples, std::int32_t count) {
    data = samples;
    dataLength = count;
    hasData = samples != nullptr && count > 0;
}

} // namespace Kedra::PAudioII
