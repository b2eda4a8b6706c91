#include "audio/StreamInBuffer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

using Kedra::PAudioII::StreamInBuffer;

class CountingBuffer : public StreamInBuffer {
public:
    using StreamInBuffer::StreamInBuffer;
    void OnFull() override {
        ++fullCount;
        const float* block = LastFullBlock();
        lastBlock.assign(block, block + GetCapacity());
    }
    int fullCount = 0;
    std::vector<float> lastBlock;
};

std::vector<float> Ramp(int n, float start = 0.0f) {
    std::vector<float> v(static_cast<std::size_t>(n));
    std::iota(v.begin(), v.end(), start);
    return v;
}

TEST(StreamInBuffer, SingleBufferFillsOverflowsOnceAndHandsOutWhatItHolds) {
    CountingBuffer b(8, false, false);
    const auto data = Ramp(20, 1.0f);
    b.Write(data.data(), 3);
    EXPECT_EQ(b.Available(), 3);
    b.Write(data.data() + 3, 4);
    EXPECT_EQ(b.Available(), 7);
    EXPECT_FALSE(b.GetOverflow());
    EXPECT_EQ(b.fullCount, 0);
    // Exactly filling the buffer completes it.
    b.Write(data.data() + 7, 1);
    EXPECT_TRUE(b.GetOverflow());
    EXPECT_EQ(b.fullCount, 1);
    // Later samples are dropped and not reported again.
    b.Write(data.data() + 8, 5);
    EXPECT_EQ(b.fullCount, 1);
    int count = 0;
    const float* block = b.TakeBlock(&count);
    ASSERT_EQ(count, 8);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(block[i], data[static_cast<std::size_t>(i)]);
    EXPECT_FALSE(b.GetOverflow());
    EXPECT_EQ(b.Available(), 0);
}

TEST(StreamInBuffer, FullCallbackFollowsOnFull) {
    static int calls = 0;
    static int fullAtCall = -1;
    calls = 0;
    CountingBuffer b(4, false, false);
    static CountingBuffer* seen;
    seen = &b;
    b.SetFullCallback([](StreamInBuffer* buffer) {
        ++calls;
        fullAtCall = static_cast<CountingBuffer*>(buffer)->fullCount;
        EXPECT_EQ(buffer, seen);
    });
    const auto data = Ramp(6);
    b.Write(data.data(), 6);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(fullAtCall, 1);
}

TEST(StreamInBuffer, DoubleBufferSwitchesAndKeepsTheRemainder) {
    CountingBuffer b(4, true, false);
    const auto data = Ramp(11, 1.0f);
    b.Write(data.data(), 3);
    EXPECT_EQ(b.Available(), 3);
    // Completes block A (1..4) and starts B with 5, 6.
    b.Write(data.data() + 3, 3);
    EXPECT_EQ(b.fullCount, 1);
    EXPECT_EQ(b.lastBlock, (std::vector<float>{1, 2, 3, 4}));
    EXPECT_EQ(b.Available(), 4);
    int count = 0;
    const float* block = b.TakeBlock(&count);
    ASSERT_EQ(count, 4);
    EXPECT_EQ(std::vector<float>(block, block + 4), (std::vector<float>{1, 2, 3, 4}));
    EXPECT_EQ(b.Available(), 2);
    // Sample by sample, as the callback writes.
    for (int i = 6; i < 11; ++i)
        b.Write(data.data() + i, 1);
    EXPECT_EQ(b.fullCount, 2);
    EXPECT_EQ(b.lastBlock, (std::vector<float>{5, 6, 7, 8}));
    EXPECT_FALSE(b.GetOverflow());
}

TEST(StreamInBuffer, DoubleBufferReportsALostBlock) {
    CountingBuffer b(2, true, false);
    const auto data = Ramp(7);
    // A is completed and B receives what fits; the rest of one oversized write is dropped.
    b.Write(data.data(), 7);
    EXPECT_EQ(b.fullCount, 1);
    EXPECT_FALSE(b.GetOverflow());
    // Completing B switches back to A, which nobody has taken: that block is lost.
    b.Write(data.data(), 2);
    EXPECT_EQ(b.fullCount, 2);
    EXPECT_TRUE(b.GetOverflow());
    int count = 0;
    const float* block = b.TakeBlock(&count);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(std::vector<float>(block, block + 2), (std::vector<float>{2, 3}));
    EXPECT_FALSE(b.GetOverflow());
}

TEST(StreamInBuffer, DegenerateSizesAndCounts) {
    CountingBuffer zero(0, false, false);
    const float x = 1.0f;
    zero.Write(&x, 1);
    EXPECT_TRUE(zero.GetOverflow());
    int count = -1;
    zero.TakeBlock(&count);
    EXPECT_EQ(count, 0);
    CountingBuffer negative(-5, true, true);
    negative.Write(&x, 0);
    negative.Write(&x, -3);
    EXPECT_EQ(negative.Available(), 0);
    EXPECT_EQ(negative.GetChannelMask(), 1);
}

} // namespace
