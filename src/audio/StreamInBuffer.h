#pragma once
// The base of everything that receives recorded input: the measuring recorder, the level
// meter. Write runs on the audio thread; Available and TakeBlock on the caller's thread.
// Positions and flags are atomics, so a reader sees samples only after they were written.

#include <atomic>
#include <cstdint>

#include "foundation/Mem.h"

namespace Kedra::PAudioII {

class StreamInitializer;

class StreamInBuffer {
public:
    using FullCallback = void (*)(StreamInBuffer*);

    StreamInBuffer(int capacity, bool doubleBuffered, bool waitForTrigger);
    StreamInBuffer(const StreamInBuffer&) = delete;
    StreamInBuffer& operator=(const StreamInBuffer&) = delete;
    // Detaches itself from the stream first, so the callback never writes into freed memory.
    virtual ~StreamInBuffer();

    // Called on the writing thread when a block is complete (single buffer: when it is full).
    virtual void OnFull() = 0;

    void Write(const float* samples, int count) noexcept;
    int Available() const;
    float* TakeBlock(int* count);

    void SetFullCallback(FullCallback fn) { fullCallback_.store(fn, std::memory_order_release); }
    int GetCapacity() const { return capacity_; }
    bool IsDoubleBuffered() const { return doubleBuffered_; }
    bool GetWaitForTrigger() const { return waitForTrigger_; }
    bool GetTriggered() const { return triggered_.load(std::memory_order_acquire); }
    void SetTriggered(bool t) { triggered_.store(t, std::memory_order_release); }
    bool GetOverflow() const { return overflow_.load(std::memory_order_acquire); }
    int GetChannelMask() const { return channelMask_.load(std::memory_order_relaxed); }
    void SetChannelMask(int mask) { channelMask_.store(mask, std::memory_order_relaxed); }
    StreamInitializer* GetOwner() const { return owner_.load(std::memory_order_acquire); }
    int GetWritePos() const { return writePos_.load(std::memory_order_acquire); }
    int GetReadPos() const { return readPos_.load(std::memory_order_acquire); }

protected:
    // The block that was filled last; for OnFull of double-buffered subclasses.
    const float* LastFullBlock() const;

private:
    friend class StreamInitializer;

    std::atomic<FullCallback> fullCallback_{nullptr};
    std::atomic<StreamInitializer*> owner_{nullptr};
    Mem::Array<float> bufferA_;
    Mem::Array<float> bufferB_;
    std::atomic<float*> current_{nullptr};
    std::atomic<bool> fullA_{false};
    std::atomic<bool> fullB_{false};
    int capacity_;
    std::atomic<int> writePos_{0};
    std::atomic<int> readPos_{0};
    bool doubleBuffered_;
    std::atomic<bool> overflow_{false};
    bool waitForTrigger_;
    std::atomic<bool> triggered_{false};
    std::atomic<int> channelMask_{1};
};

} // namespace Kedra::PAudioII
