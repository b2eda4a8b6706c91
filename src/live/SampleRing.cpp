#include "live/SampleRing.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace Kedra::Live {

SampleRing::SampleRing(int capacity)
    : data_(
          Mem::Array<float>::Zeros(std::bit_ceil(static_cast<std::size_t>(std::max(capacity, 2))))),
      mask_(data_.size() - 1) {}

int SampleRing::Push(const float* samples, int count) noexcept {
    const std::uint64_t w = written_.load(std::memory_order_relaxed);
    const std::uint64_t r = read_.load(std::memory_order_acquire);
    const auto room = static_cast<int>(mask_ + 1 - (w - r));
    const int n = std::clamp(count, 0, room);
    const auto at = static_cast<std::size_t>(w & mask_);
    const std::size_t first = std::min(static_cast<std::size_t>(n), mask_ + 1 - at);
    std::memcpy(data_.data() + at, samples, first * sizeof(float));
    std::memcpy(data_.data(), samples + first,
                (static_cast<std::size_t>(n) - first) * sizeof(float));
    written_.store(w + static_cast<std::uint64_t>(n), std::memory_order_release);
    if (n < count)
        dropped_.fetch_add(static_cast<std::uint64_t>(count - n), std::memory_order_relaxed);
    return n;
}

int SampleRing::Pop(float* out, int capacity) noexcept {
    const std::uint64_t r = read_.load(std::memory_order_relaxed);
    const std::uint64_t w = written_.load(std::memory_order_acquire);
    const int n = std::clamp(static_cast<int>(w - r), 0, std::max(capacity, 0));
    const auto at = static_cast<std::size_t>(r & mask_);
    const std::size_t first = std::min(static_cast<std::size_t>(n), mask_ + 1 - at);
    std::memcpy(out, data_.data() + at, first * sizeof(float));
    std::memcpy(out + first, data_.data(), (static_cast<std::size_t>(n) - first) * sizeof(float));
    read_.store(r + static_cast<std::uint64_t>(n), std::memory_order_release);
    return n;
}

} // namespace Kedra::Live
