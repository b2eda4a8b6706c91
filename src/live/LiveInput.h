#pragma once
// The live instruments' input: a stream input buffer that, on the audio thread, only copies
// each block of one input channel (or interleaved frames of two) into a SampleRing; RunLive drains
// the ring on the calling thread into whatever analyses it, so a live run feeds the same code as a
// file does.
//
// Threads: OnFull runs on the audio thread inside Write (no allocation, no lock); Read and
// Dropped on the analysis thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "audio/StreamInBuffer.h"
#include "live/SampleRing.h"

namespace Kedra::PAudioII {
class StreamInitializer;
}

namespace Kedra::Live {

class LiveInput : public Kedra::PAudioII::StreamInBuffer {
public:
    // Samples handed over per block: small, so the analysis sees the input soon.
    static constexpr int BLOCK = 128;

    explicit LiveInput(int ringCapacity);
    void OnFull() override;

    int Read(float* out, int capacity) noexcept { return ring_.Pop(out, capacity); }
    std::uint64_t Dropped() const { return ring_.Dropped(); }

private:
    SampleRing ring_;
};

struct LiveRun {
    bool ok = false;
    // Why it failed, in words a user can act on.
    std::string why;
    std::uint64_t samples = 0; // handed to the sink
    std::uint64_t dropped = 0; // lost because the analysis fell behind
};

// The input stops counting as alive when it delivers nothing for this long.
inline constexpr double LIVE_SILENT_INPUT_SECONDS = 2.0;

// Hands `seconds` of input channel `channel` of the stream (started here when it is not
// running, and then stopped again unless another input buffer still listens) to `sink`, on the
// calling thread, block after block, until that much has come or `cancel` is set.
// `listening`, when given, is called once the input is on the stream; `lost`, when given,
// follows LiveRun::dropped while it runs.
LiveRun RunLive(Kedra::PAudioII::StreamInitializer* stream, int channel, double seconds,
                const std::function<void(const float*, int)>& sink,
                const std::atomic<bool>* cancel = nullptr,
                const std::function<void()>& listening = {},
                std::atomic<std::uint64_t>* lost = nullptr);

// The same for two inputs at once, for the dual-channel instruments: the audio thread hands
// over interleaved frames (in rising channel order), and `sink` gets `count` samples of each,
// `first`'s and `second`'s, in the order asked. The two channels must differ.
LiveRun
RunLivePair(Kedra::PAudioII::StreamInitializer* stream, int first, int second, double seconds,
            const std::function<void(const float* first, const float* second, int count)>& sink,
            const std::atomic<bool>* cancel = nullptr, const std::function<void()>& listening = {},
            std::atomic<std::uint64_t>* lost = nullptr);

} // namespace Kedra::Live
