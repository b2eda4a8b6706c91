#pragma once
// A lock-free ring of samples from one producer (the audio callback) to one consumer (the
// analysis thread). Push never waits, allocates or locks: what does not fit is dropped and
// counted, so a consumer that fell behind is told rather than fed a gap it cannot see.
//
// Threads: Push on the producer only; Pop on the consumer only; Dropped on any.

#include <atomic>
#include <cstdint>

#include "foundation/Mem.h"

namespace Kedra::Live {

class SampleRing {
public:
    // The capacity is rounded up to a power of two.
    explicit SampleRing(int capacity);

    int GetCapacity() const { return static_cast<int>(mask_ + 1); }
    // Returns the samples taken; the rest are dropped.
    int Push(const float* samples, int count) noexcept;
    // Returns the samples copied into `out`, at most `capacity`.
    int Pop(float* out, int capacity) noexcept;
    std::uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    Mem::Array<float> data_;
    std::uint64_t mask_;
    alignas(64) std::atomic<std::uint64_t> written_{0};
    alignas(64) std::atomic<std::uint64_t> read_{0};
    std::atomic<std::uint64_t> dropped_{0};
};

} // namespace Kedra::Live
