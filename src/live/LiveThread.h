#pragma once
// A live instrument's analysis thread: RunLive on a thread of its own, handing one input
// channel of the stream to `sink` until Stop (or RunLivePair, two channels to a PairSink), so the
// window that owns it only polls what the sink leaves behind. Start and Stop belong to one thread
// (the window's); the sink runs on the analysis thread, so whatever it feeds needs its own lock
// against the window's reads.

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "live/LiveInput.h"

namespace Kedra::Live {

class LiveThread {
public:
    using Sink = std::function<void(const float*, int)>;
    using PairSink = std::function<void(const float* first, const float* second, int count)>;
    // Long enough to count as "until stopped", short enough to stay a sample count.
    static constexpr double FOREVER_SECONDS = 1.0e9;

    LiveThread() = default;
    LiveThread(const LiveThread&) = delete;
    LiveThread& operator=(const LiveThread&) = delete;
    ~LiveThread() { Stop(); }

    // Starts listening; false when already running. Returns once the run's input is on the
    // stream (or the run has ended), so that the stream is seen to have a listener from then on
    // and nothing on this thread stops it in between.
    bool Start(Kedra::PAudioII::StreamInitializer* stream, int channel, Sink sink);
    bool StartPair(Kedra::PAudioII::StreamInitializer* stream, int first, int second,
                   PairSink sink);
    // Ends the run and waits for the thread; the run's outcome (ok for a run this stopped).
    LiveRun Stop();
    bool Running() const { return thread_.joinable(); }

    // For a window that shares the process-wide stream with other listeners: starts the stream
    // on the calling thread when it is not running (so that it is never started or stopped from
    // two threads at once), then Start. Empty, or why it could not listen.
    std::string Listen(Kedra::PAudioII::StreamInitializer* stream, int channel, Sink sink);
    std::string ListenPair(Kedra::PAudioII::StreamInitializer* stream, int first, int second,
                           PairSink sink);
    // Stop, and the stream stopped too unless another input still listens to it.
    LiveRun StopListening();
    // The run's outcome once it has ended: while Running, that means it ended by itself (a
    // silent input, no such channel), and the window says why and may Stop and Start again.
    std::optional<LiveRun> Ended() const;
    // Samples of the input lost so far because the analysis fell behind (this run's).
    std::uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    using Run = std::function<LiveRun(const std::atomic<bool>* cancel,
                                      const std::function<void()>& listening,
                                      std::atomic<std::uint64_t>* lost)>;
    bool Begin(Run run);
    std::string BeginListening(Kedra::PAudioII::StreamInitializer* stream, Run run);

    Kedra::PAudioII::StreamInitializer* stream_ = nullptr;
    std::thread thread_;
    std::atomic<bool> cancel_{false};
    std::atomic<std::uint64_t> dropped_{0};
    mutable std::mutex mutex_;
    std::optional<LiveRun> ended_;
};

} // namespace Kedra::Live
