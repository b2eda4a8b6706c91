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

namespace {

// Hands `seconds` of the channels in `mask` (`width` of them, interleaved) to `sink` as whole
// frames; `listening`, when given, is called once the input is on the stream.
LiveRun RunFrames(Kedra::PAudioII::StreamInitializer* stream, int mask, int width, double seconds,
                  const std::function<void(const float*, int)>& sink,
                  const std::atomic<bool>* cancel, const std::function<void()>& listening,
                  std::atomic<std::uint64_t>* lost) {
    using Kedra::PAudioII::STREAM_RUNNING;
    LiveRun run;
    const int fs = stream->GetSamplerate();
    // Four seconds of slack for an analysis thread that the system holds up for a while.
    LiveInput input(4 * fs * width);
    input.SetChannelMask(mask);
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
    if (listening)
        listening();
    const auto wanted = static_cast<std::uint64_t>(std::llround(seconds * fs));
    // Whole frames only: the ring holds whole blocks of whole frames, and so does each read.
    std::array<float, 4096> block{};
    const auto framesPerRead = static_cast<std::uint64_t>(block.size()) / width;
    auto lastProgress = std::chrono::steady_clock::now();
    run.ok = true;
    while (run.samples < wanted) {
        if (cancel != nullptr && cancel->load(std::memory_order_acquire))
            break;
        const auto frames = std::min<std::uint64_t>(framesPerRead, wanted - run.samples);
        const int n = input.Read(block.data(), static_cast<int>(frames) * width) / width;
        if (n > 0) {
            if (lost != nullptr)
                lost->store(input.Dropped() / static_cast<std::uint64_t>(width),
                            std::memory_order_relaxed);
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
    // Another instrument that came to listen meanwhile keeps the stream running.
    if (started && stream->InputBufferCount() == 0)
        stream->Stop();
    run.dropped = input.Dropped() / static_cast<std::uint64_t>(width);
    if (lost != nullptr)
        lost->store(run.dropped, std::memory_order_relaxed);
    return run;
}

bool HasInput(Kedra::PAudioII::StreamInitializer* stream, int channel, LiveRun& run) {
    if (channel >= 0 && channel < std::min(stream->GetInChannels(), 31))
        return true;
    run.why = "the input device has no input " + std::to_string(channel + 1);
    return false;
}

} // namespace

LiveRun RunLive(Kedra::PAudioII::StreamInitializer* stream, int channel, double seconds,
                const std::function<void(const float*, int)>& sink, const std::atomic<bool>* cancel,
                const std::function<void()>& listening, std::atomic<std::uint64_t>* lost) {
    LiveRun run;
    if (!HasInput(stream, channel, run))
        return run;
    return RunFrames(stream, 1 << channel, 1, seconds, sink, cancel, listening, lost);
}

LiveRun RunLivePair(Kedra::PAudioII::StreamInitializer* stream, int first, int second,
                    double seconds,
                    const std::function<void(const float*, const float*, int)>& sink,
                    const std::atomic<bool>* cancel, const std::function<void()>& listening,
                    std::atomic<std::uint64_t>* lost) {
    LiveRun run;
    if (!HasInput(stream, first, run) || !HasInput(stream, second, run))
        return run;
    if (first == second) {
        run.why = "the two channels must be two different inputs, not input " +
                  std::to_string(first + 1) + " twice";
        return run;
    }
    // Frames come in rising channel order.
    const int a = first < second ? 0 : 1;
    std::array<float, 2048> x{}, y{};
    return RunFrames(
        stream, (1 << first) | (1 << second), 2, seconds,
        [&](const float* frames, int count) {
            for (int i = 0; i < count; ++i) {
                x[static_cast<std::size_t>(i)] = frames[2 * i + a];
                y[static_cast<std::size_t>(i)] = frames[2 * i + 1 - a];
            }
            sink(x.data(), y.data(), count);
        },
        cancel, listening, lost);
}

} // namespace Kedra::Live
