#include "live/LiveThread.h"

#include <future>
#include <memory>

#include "audio/StreamInitializer.h"

namespace Kedra::Live {

bool LiveThread::Begin(Run run) {
    if (thread_.joinable())
        return false;
    cancel_.store(false, std::memory_order_release);
    dropped_.store(0, std::memory_order_relaxed);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ended_.reset();
    }
    auto listening = std::make_shared<std::promise<void>>();
    std::future<void> ready = listening->get_future();
    thread_ = std::thread([this, run = std::move(run), listening] {
        bool told = false;
        const auto tell = [&] {
            if (!told) {
                told = true;
                listening->set_value();
            }
        };
        LiveRun outcome = run(&cancel_, tell, &dropped_);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            ended_ = std::move(outcome);
        }
        tell();
    });
    ready.wait();
    return true;
}

bool LiveThread::Start(Kedra::PAudioII::StreamInitializer* stream, int channel, Sink sink) {
    return Begin([stream, channel, sink = std::move(sink)](const std::atomic<bool>* cancel,
                                                           const std::function<void()>& tell,
                                                           std::atomic<std::uint64_t>* lost) {
        return RunLive(stream, channel, FOREVER_SECONDS, sink, cancel, tell, lost);
    });
}

bool LiveThread::StartPair(Kedra::PAudioII::StreamInitializer* stream, int first, int second,
                           PairSink sink) {
    return Begin([stream, first, second, sink = std::move(sink)](const std::atomic<bool>* cancel,
                                                                 const std::function<void()>& tell,
                                                                 std::atomic<std::uint64_t>* lost) {
        return RunLivePair(stream, first, second, FOREVER_SECONDS, sink, cancel, tell, lost);
    });
}

LiveRun LiveThread::Stop() {
    if (!thread_.joinable())
        return Ended().value_or(LiveRun{});
    cancel_.store(true, std::memory_order_release);
    thread_.join();
    return Ended().value_or(LiveRun{});
}

std::string LiveThread::BeginListening(Kedra::PAudioII::StreamInitializer* stream, Run run) {
    using Kedra::PAudioII::STREAM_RUNNING;
    if (thread_.joinable())
        return "the input is being analysed already";
    if (stream->GetStatus() != STREAM_RUNNING)
        stream->Start();
    if (stream->GetStatus() != STREAM_RUNNING)
        return "the audio stream did not start: " + stream->GetPaErrorText();
    stream_ = stream;
    Begin(std::move(run));
    return {};
}

std::string LiveThread::Listen(Kedra::PAudioII::StreamInitializer* stream, int channel, Sink sink) {
    return BeginListening(
        stream, [stream, channel, sink = std::move(sink)](const std::atomic<bool>* cancel,
                                                          const std::function<void()>& tell,
                                                          std::atomic<std::uint64_t>* lost) {
            return RunLive(stream, channel, FOREVER_SECONDS, sink, cancel, tell, lost);
        });
}

std::string LiveThread::ListenPair(Kedra::PAudioII::StreamInitializer* stream, int first,
                                   int second, PairSink sink) {
    return BeginListening(
        stream, [stream, first, second, sink = std::move(sink)](const std::atomic<bool>* cancel,
                                                                const std::function<void()>& tell,
                                                                std::atomic<std::uint64_t>* lost) {
            return RunLivePair(stream, first, second, FOREVER_SECONDS, sink, cancel, tell, lost);
        });
}
LiveRun LiveThread::StopListening() {
    if (!thread_.joinable())
        return Ended().value_or(LiveRun{});
    LiveRun run = Stop();
    if (stream_ != nullptr && stream_->InputBufferCount() == 0)
        stream_->Stop();
    return run;
}

std::optional<LiveRun> LiveThread::Ended() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
}

} // namespace Kedra::Live
