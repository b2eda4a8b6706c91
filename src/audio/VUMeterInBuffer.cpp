#include "audio/VUMeterInBuffer.h"

#include <algorithm>
#include <cmath>

#include "audio/StreamInitializer.h"

namespace Kedra::PAudioII {

namespace {

int MeterChannels(StreamInitializer* stream) {
    return std::clamp(stream != nullptr ? stream->GetInChannels() : 0, 0,
                      VUMeterInBuffer::MAX_METER_CHANNELS);
}

int RoundPositive(double x) {
    return std::isfinite(x) && x > 0.0 ? static_cast<int>(std::floor(x + 0.5)) : 0;
}

} // namespace

int VUMeterInBuffer::Capacity(StreamInitializer* stream, float blockSeconds) {
    const double rate = stream != nullptr ? stream->GetSamplerate() : 0.0;
    return RoundPositive(MeterChannels(stream) * rate * blockSeconds);
}

VUMeterInBuffer::VUMeterInBuffer(StreamInitializer* stream, float blockSeconds,
                                 float averageSeconds)
    : StreamInBuffer(Capacity(stream, blockSeconds), true, false), channels_(MeterChannels(stream)),
      historyLength_(std::max(
          1, blockSeconds > 0.0f ? RoundPositive(double(averageSeconds) / blockSeconds) : 1)),
      blockFrames_(channels_ > 0 ? GetCapacity() / channels_ : 0), averageSeconds_(averageSeconds),
      blockSeconds_(blockSeconds) {
    current_.fill(FLOOR_DB);
    peak_.fill(FLOOR_DB);
    held_.fill(FLOOR_DB);
    history_ = Mem::Array<float>(static_cast<std::size_t>(std::max(channels_, 1)) *
                                 static_cast<std::size_t>(historyLength_));
    std::fill(history_.data(), history_.data() + history_.size(), FLOOR_DB);
    Publish();
    SetChannelMask(0xFFFF);
    if (stream != nullptr && GetCapacity() > 0)
        stream->AddInputBuffer(this);
}

VUMeterInBuffer::~VUMeterInBuffer() {
    // Detach before the arrays go, so the audio thread never meters into freed memory.
    if (StreamInitializer* owner = GetOwner())
        owner->RemoveInputBuffer(this);
}

void VUMeterInBuffer::ClearPeak() {
    peak_.fill(FLOOR_DB);
}

void VUMeterInBuffer::OnFull() {
    if (resetPeak_.exchange(false, std::memory_order_acq_rel))
        ClearPeak();
    const float* block = LastFullBlock();
    const auto channels = static_cast<std::size_t>(channels_);
    current_.fill(FLOOR_DB);
    held_.fill(FLOOR_DB);
    for (int f = 0; f < blockFrames_; ++f) {
        for (std::size_t c = 0; c < channels; ++c) {
            const float s = block[static_cast<std::size_t>(f) * channels + c];
            // Only positive excursions count.
            if (s > 0.0f)
                current_[c] = std::max(current_[c], 20.0f * std::log10(s));
        }
    }
    const auto h = static_cast<std::size_t>(historyLength_);
    for (std::size_t c = 0; c < channels; ++c) {
        float* history = history_.data() + c * h;
        std::rotate(history, history + h - 1, history + h);
        history[0] = current_[c];
        held_[c] = *std::max_element(history, history + h);
        peak_[c] = std::max(peak_[c], held_[c]);
    }
    ++blocks_;
    Publish();
    if (LevelCallback fn = levelCallback_.load(std::memory_order_acquire))
        fn(current_.data(), held_.data(), peak_.data(), channels_);
}

void VUMeterInBuffer::Publish() {
    // Sequence lock: odd while writing. Every access is sequentially consistent, so a reader
    // that sees the same even number before and after its reads saw one block's values; the
    // values are atomics, so a torn read is only retried, never undefined.
    const std::uint64_t s = sequence_.load(std::memory_order_seq_cst);
    sequence_.store(s + 1, std::memory_order_seq_cst);
    for (std::size_t c = 0; c < MAX_METER_CHANNELS; ++c) {
        sharedCurrent_[c].store(current_[c], std::memory_order_seq_cst);
        sharedHeld_[c].store(held_[c], std::memory_order_seq_cst);
        sharedPeak_[c].store(peak_[c], std::memory_order_seq_cst);
    }
    sharedBlocks_.store(blocks_, std::memory_order_seq_cst);
    sequence_.store(s + 2, std::memory_order_seq_cst);
}

void VUMeterInBuffer::ReadLevels(Levels& out) const {
    for (;;) {
        const std::uint64_t before = sequence_.load(std::memory_order_seq_cst);
        if (before % 2 != 0)
            continue;
        for (std::size_t c = 0; c < MAX_METER_CHANNELS; ++c) {
            out.current[c] = sharedCurrent_[c].load(std::memory_order_seq_cst);
            out.held[c] = sharedHeld_[c].load(std::memory_order_seq_cst);
            out.peak[c] = sharedPeak_[c].load(std::memory_order_seq_cst);
        }
        out.blocks = sharedBlocks_.load(std::memory_order_seq_cst);
        if (sequence_.load(std::memory_order_seq_cst) == before)
            break;
    }
    out.channels = channels_;
}

void VUMeterInBuffer::ResetPeak() {
    StreamInitializer* owner = GetOwner();
    if (owner == nullptr || owner->GetStatus() != STREAM_RUNNING) {
        // Nobody meters now: clear here and publish.
        ClearPeak();
        Publish();
        return;
    }
    resetPeak_.store(true, std::memory_order_release);
}

} // namespace Kedra::PAudioII
