#pragma once
// The level meter: an input buffer that turns every block of recorded input into per-channel
// levels (the block's largest positive excursion in dB), the level held over a history of
// blocks, and the peak since the last ResetPeak.
//
// Threads: OnFull runs on the audio thread inside Write; it allocates nothing and locks
// nothing. It publishes its levels through a sequence lock, so a front end may poll
// ReadLevels from any thread and never sees one block's current level with another's held
// level. levelCallback, when set, is called on the audio thread.

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "audio/StreamInBuffer.h"
#include "foundation/Mem.h"

namespace Kedra::PAudioII {

class VUMeterInBuffer : public StreamInBuffer {
public:
    static constexpr float FLOOR_DB = -100000.0f;
    static constexpr int MAX_METER_CHANNELS = 16;

    using LevelCallback = void (*)(const float* current, const float* held, const float* peak,
                                   int channels);

    struct Levels {
        int channels = 0;
        std::uint64_t blocks = 0; // blocks measured so far
        std::array<float, MAX_METER_CHANNELS> current{};
        std::array<float, MAX_METER_CHANNELS> held{};
        std::array<float, MAX_METER_CHANNELS> peak{};
    };

    // Attaches itself to the stream; the channel count is the stream's input channel count
    // (at most 16) as set now.
    VUMeterInBuffer(StreamInitializer* stream, float blockSeconds, float averageSeconds);
    ~VUMeterInBuffer() override;

    void OnFull() override;
    // Applied by the audio thread at the next block, or at once while nothing is recording.
    void ResetPeak();
    void ReadLevels(Levels& out) const;

    void SetLevelCallback(LevelCallback fn) { levelCallback_.store(fn, std::memory_order_release); }
    int GetChannels() const { return channels_; }
    int GetHistoryLength() const { return historyLength_; }
    int GetBlockFrames() const { return blockFrames_; }
    float GetAverageSeconds() const { return averageSeconds_; }
    float GetBlockSeconds() const { return blockSeconds_; }

private:
    static int Capacity(StreamInitializer* stream, float blockSeconds);
    void Publish();
    void ClearPeak();

    std::atomic<LevelCallback> levelCallback_{nullptr};
    int channels_;
    int historyLength_;
    int blockFrames_;
    // Owned by the audio thread; published through the sequence lock below.
    std::array<float, MAX_METER_CHANNELS> current_{};
    std::array<float, MAX_METER_CHANNELS> peak_{};
    std::array<float, MAX_METER_CHANNELS> held_{};
    Mem::Array<float> history_; // channel c at [c * historyLength], newest first
    float averageSeconds_;
    float blockSeconds_;
    std::atomic<bool> resetPeak_{false};
    std::uint64_t blocks_ = 0;

    mutable std::atomic<std::uint64_t> sequence_{0};
    std::array<std::atomic<float>, MAX_METER_CHANNELS> sharedCurrent_{};
    std::array<std::atomic<float>, MAX_METER_CHANNELS> sharedHeld_{};
    std::array<std::atomic<float>, MAX_METER_CHANNELS> sharedPeak_{};
    std::atomic<std::uint64_t> sharedBlocks_{0};
};

} // namespace Kedra::PAudioII
