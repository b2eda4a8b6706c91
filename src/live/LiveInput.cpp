#include "live/LiveInput.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <thread>

#include "audio/StreamInitializer.h"

namespace Kedra::Live {

LiveInput::LiveInput(int ringCapacity) : StreamInBuffer(BLOCK, true, false), ring_(ringCapacity) {}

void LiveInput::OnFull() {
    ring_.Push(LastFullBlock(), GetCapacity());
}

LiveRun RunLive(Kedra::PAudioII::StreamInitializer* stream, int channel, double seconds,
                const std::function<void(const float*, int)>& sink,
                const std::atomic<bool>* cancel) {
    using Kedra::PAudioII::STREAM_RUNNING;
    LiveRun run;
    const int fs = stream->GetSamplerate();
    if (channel < 0 || channel >= std::min(stream->GetInChannels(), 31)) {
        run.why = "the input device has no input " + std::to_string(channel + 1);
        return run;
    }
    // Four seconds of slack for an analysis thread that the system holds up for a while.
    LiveInput input(4 * fs);
    input.SetChannelMask(1 << channel);
    const bool started = stream->GetStatus() != STREAM_RUNNING;
    if (started)
        stream->Start();
    if (stream->GetStatus() != STREAM_RUNNING) {
        run.why = "the audio stream did not start: " + stream->GetPaErrorText();
        return run;
    }
    if (!stream->AddInputBuffer(&input)) {
        if (started)
            stream->Stop();
        run.why = "the audio stream takes no further input";
        return run;
    }
    const auto wanted = static_cast<std::uint64_t>(std::llround(seconds * fs));
    std::array<float, 4096> block{};
    auto lastProgress = std::chrono::steady_clock::now();
    run.ok = true;
    while (run.samples < wanted) {
        if (cancel != nullptr && cancel->load(std::memory_order_acquire))
            break;
        const int n = input.Read(block.data(), static_cast<int>(std::min<std::uint64_t>(
                                                   block.size(), wanted - run.samples)));
        if (n > 0) {
            sink(block.data(), n);
            run.samples += static_cast<std::uint64_t>(n);
            lastProgress = std::chrono::steady_clock::now();
            continue;
        }
        if (std::chrono::steady_clock::now() - lastProgress >
            std::chrono::duration<double>(LIVE_SILENT_INPUT_SECONDS)) {
            run.ok = false;
            run.why = "the input delivered nothing for " +
                      std::to_string(static_cast<int>(LIVE_SILENT_INPUT_SECONDS)) +
                      " s: is the device connected and not used by another program?";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    stream->RemoveInputBuffer(&input);
    // Another listener that joined meanwhile (a second live window) keeps its stream.
    if (started && stream->InputBufferCount() == 0)
        stream->Stop();
    run.dropped = input.Dropped();
    return run;
}

} // namespace Kedra::Live
