// The live transfer function's session over noise through a delay that jumps mid-stream: the
// first search finds the first delay, the fall in coherence after the jump finds the second.
#include "live/TfSession.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using Kedra::Live::TfSession;

constexpr double FS = 48000.0;

TEST(TfSession, FindsTheDelayThenFindsItAgainWhenTheCoherenceFallsAfterItMoves) {
    const int first = 290, second = 1710; // samples
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0.0f, 0.2f);
    const int total = static_cast<int>(20.0 * FS), jump = static_cast<int>(6.0 * FS);
    std::vector<float> ref(static_cast<std::size_t>(total)), meas(ref.size());
    for (float& x : ref)
        x = noise(random);
    for (int i = 0; i < total; ++i) {
        const int d = i < jump ? first : second;
        meas[static_cast<std::size_t>(i)] =
            i >= d ? 0.5f * ref[static_cast<std::size_t>(i - d)] : 0.0f;
    }
    Kedra::Live::TfSettings settings;
    settings.fftSize = 4096;
    settings.average = Kedra::Live::TfAverage::Exponential;
    settings.timeConstant = 0.5;
    TfSession session(FS, settings);
    session.SetRefindBelow(0.5);
    constexpr int BLOCK = 1024;
    int at = 0;
    const auto run = [&](int until) {
        for (; at + BLOCK <= until; at += BLOCK)
            session.Process(ref.data() + at, meas.data() + at, BLOCK);
    };
    run(static_cast<int>(1.9 * FS));
    EXPECT_FALSE(session.Aligned()) << "two seconds before the first search";
    run(jump);
    ASSERT_TRUE(session.Aligned());
    EXPECT_NEAR(session.Delay().samples, first, 1.0);
    EXPECT_EQ(session.CoherenceSearches(), 0);
    EXPECT_GT(session.MedianCoherence(), 0.99);
    // 0.5 s to fall, 3 s low, 2 s to find: within six seconds of the jump.
    run(jump + static_cast<int>(6.0 * FS));
    EXPECT_EQ(session.CoherenceSearches(), 1);
    EXPECT_NEAR(session.Delay().samples, second, 1.0);
    EXPECT_FALSE(session.Searching());
    run(total);
    EXPECT_GT(session.MedianCoherence(), 0.99) << "the averages restarted with the new delay";
    EXPECT_EQ(session.CoherenceSearches(), 1);
}

} // namespace
