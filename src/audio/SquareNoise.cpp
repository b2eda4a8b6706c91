#include "audio/SquareNoise.h"

#include <limits>

namespace Kedra::PAudioII {

namespace {

// The current sign is one value shared by every noise generator. One noise may play on the
// audio thread while another renders on the caller's thread, so each access is atomic; a
// flip is not, and two generators running at once may each lose the other's flips.
std::atomic<float> g_sign{1.0f};
static_assert(std::atomic<float>::is_always_lock_free, "the audio thread must not lock");

} // namespace

SquareNoise::SquareNoise() : PCMGenerator(GENERATOR_KIND_PLAIN) {
    Seed(DEFAULT_SEED);
}

void SquareNoise::Seed(unsigned seed) {
    randomState_ = seed;
}

int SquareNoise::NextRandom() noexcept {
    // SplitMix64: every seed, 0 included, gives a full-period sequence; the top 15 bits are
    // uniform in 0..32767.
    randomState_ += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = randomState_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<int>(z >> 49);
}

bool SquareNoise::NextSample(float* out, bool* isFirst) noexcept {
    *isFirst = count == 0;
    const int r = NextRandom();
    float sign = g_sign.load(std::memory_order_relaxed);
    if (holdProbability * RANDOM_MAX < r) {
        sign = -sign;
        g_sign.store(sign, std::memory_order_relaxed);
    }
    float sample = static_cast<float>(sign * amplitude);
    // Saturates, so that an endless noise cannot overflow the count.
    if (count < std::numeric_limits<std::int32_t>::max())
        ++count;
    bool more = true;
    if (triggerMode && count > length) {
        sample = 0.0f;
        more = false;
    }
    *out = sample;
    return more;
}

void SquareNoise::Reset() {
    count = 0;
}

bool SquareNoise::ParamsChanged() {
    const bool changed = holdProbability != lastHoldProbability || amplitude != lastAmplitude;
    lastHoldProbability = holdProbability;
    lastAmplitude = amplitude;
    return changed;
}

} // namespace Kedra::PAudioII
