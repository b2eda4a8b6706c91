#include "live/LiveThread.h"

#include <future>
#include <memory>

namespace Kedra::Live {

bool LiveThread::Start(Kedra::PAudioII::StreamInitializer* stream, int channel, Sink sink) {
    if (thread_.joinable())
        return false;
    cancel_.store(false, std::memory_order_release);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ended_.reset();
    }
    auto listening = std::make_shared<std::promise<void>>();
    std::future<void> ready = listening->get_future();
    thread_ = std::thread([this, stream, channel, sink = std::move(sink), listening] {
        bool told = false;
        const auto tell = [&] {
            if (!told) {
                told = true;
                listening->set_value();
            }
        };
        LiveRun run = RunLive(stream, channel, FOREVER_SECONDS, sink, &cancel_, tell);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            ended_ = std::move(run);
        }
        tell();
    });
    ready.wait();
    return true;
}

LiveRun LiveThread::Stop() {
    if (!thread_.joinable())
        return Ended().value_or(LiveRun{});
    cancel_.store(true, std::memory_order_release);
    thread_.join();
    return Ended().value_or(LiveRun{});
}

std::optional<LiveRun> LiveThread::Ended() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
}

} // namespace Kedra::Live
