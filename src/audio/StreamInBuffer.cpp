#include "audio/StreamInBuffer.h"

#include <algorithm>
#include <cstring>

#include "audio/StreamInitializer.h"

namespace Kedra::PAudioII {

StreamInBuffer::StreamInBuffer(int capacity, bool doubleBuffered, bool waitForTrigger)
    : capacity_(std::max(capacity, 0)), doubleBuffered_(doubleBuffered),
      waitForTrigger_(waitForTrigger) {
    // One spare element keeps the arrays valid for a capacity of 0.
    bufferA_ = Mem::Array<float>::Zeros(static_cast<std::size_t>(capacity_) + 1);
    if (doubleBuffered_)
        bufferB_ = Mem::Array<float>::Zeros(static_cast<std::size_t>(capacity_) + 1);
    current_.store(bufferA_.data(), std::memory_order_relaxed);
}

StreamInBuffer::~StreamInBuffer() {
    if (StreamInitializer* owner = owner_.load(std::memory_order_acquire))
        owner->RemoveInputBuffer(this);
}

void StreamInBuffer::Write(const float* samples, int count) noexcept {
    if (count <= 0)
        return;
    float* cur = current_.load(std::memory_order_relaxed);
    const int w = writePos_.load(std::memory_order_relaxed);
    const int room = capacity_ - w;
    if (count < room && (doubleBuffered_ || !overflow_.load(std::memory_order_relaxed))) {
        std::memcpy(cur + w, samples, sizeof(float) * static_cast<std::size_t>(count));
        writePos_.store(w + count, std::memory_order_release);
        return;
    }
    const int fit = std::clamp(room, 0, count);
    std::memcpy(cur + w, samples, sizeof(float) * static_cast<std::size_t>(fit));
    if (!doubleBuffered_) {
        writePos_.store(w + fit, std::memory_order_release);
        // Once per filling: a full recorder is not told again for every later sample.
        if (overflow_.exchange(true, std::memory_order_acq_rel))
            return;
    } else {
        const bool wasA = cur == bufferA_.data();
        (wasA ? fullA_ : fullB_).store(true, std::memory_order_release);
        float* next = wasA ? bufferB_.data() : bufferA_.data();
        // A reader that has not taken the other block yet loses it: say so.
        if ((wasA ? fullB_ : fullA_).exchange(false, std::memory_order_acq_rel))
            overflow_.store(true, std::memory_order_release);
        const int rest = std::min(count - fit, capacity_);
        std::memcpy(next, samples + fit, sizeof(float) * static_cast<std::size_t>(rest));
        current_.store(next, std::memory_order_release);
        readPos_.store(0, std::memory_order_release);
        writePos_.store(rest, std::memory_order_release);
    }
    OnFull();
    if (FullCallback fn = fullCallback_.load(std::memory_order_acquire))
        fn(this);
}

int StreamInBuffer::Available() const {
    if (doubleBuffered_) {
        const bool currentIsA = current_.load(std::memory_order_acquire) == bufferA_.data();
        if ((currentIsA ? fullB_ : fullA_).load(std::memory_order_acquire))
            return capacity_;
    }
    return writePos_.load(std::memory_order_acquire) - readPos_.load(std::memory_order_acquire);
}

float* StreamInBuffer::TakeBlock(int* count) {
    overflow_.store(false, std::memory_order_release);
    if (doubleBuffered_) {
        float* cur = current_.load(std::memory_order_acquire);
        const bool currentIsA = cur == bufferA_.data();
        std::atomic<bool>& otherFull = currentIsA ? fullB_ : fullA_;
        if (otherFull.exchange(false, std::memory_order_acq_rel)) {
            *count = capacity_;
            return currentIsA ? bufferB_.data() : bufferA_.data();
        }
    }
    // From the first sample not yet taken, so that a second take never repeats old samples.
    const int w = writePos_.load(std::memory_order_acquire);
    const int r = readPos_.load(std::memory_order_acquire);
    *count = w - r;
    readPos_.store(w, std::memory_order_release);
    return current_.load(std::memory_order_acquire) + r;
}

const float* StreamInBuffer::LastFullBlock() const {
    if (!doubleBuffered_)
        return bufferA_.data();
    return current_.load(std::memory_order_acquire) == bufferA_.data() ? bufferB_.data()
                                                                       : bufferA_.data();
}

} // namespace Kedra::PAudioII
