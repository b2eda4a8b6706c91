#pragma once
// How long to wait for a recording: the time-out counts the frames the card has delivered,
// so a card that runs slower than real time (a simulation on a loaded machine) still
// completes, and one that stops delivering fails in real time, counted from its last frame.
// The waiting thread only.

#include <chrono>
#include <cstdint>

#include "audio/StreamInitializer.h"

namespace Kedra::PAudioII {

class DeliveryWatch {
public:
    // Expired after `frameLimit` frames from now, or `stall` without a new frame.
    DeliveryWatch(StreamInitializer* stream, std::uint64_t frameLimit,
                  std::chrono::milliseconds stall)
        : stream_(stream), began_(stream->GetProcessedFrames()), lastFrames_(began_),
          lastProgress_(std::chrono::steady_clock::now()), frameLimit_(frameLimit), stall_(stall) {}

    bool Expired() {
        const std::uint64_t frames = stream_->GetProcessedFrames();
        const auto now = std::chrono::steady_clock::now();
        if (frames != lastFrames_) {
            lastFrames_ = frames;
            lastProgress_ = now;
        }
        return frames - began_ >= frameLimit_ || now - lastProgress_ >= stall_;
    }

private:
    StreamInitializer* stream_;
    std::uint64_t began_;
    std::uint64_t lastFrames_;
    std::chrono::steady_clock::time_point lastProgress_;
    std::uint64_t frameLimit_;
    std::chrono::milliseconds stall_;
};

} // namespace Kedra::PAudioII
