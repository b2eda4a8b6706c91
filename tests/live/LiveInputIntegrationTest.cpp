#include "live/LiveInput.h"
#include "live/LiveThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/AudioHelper.h"
#include "app/FrontEnd.h"
#include "app/Options.h"
#include "audio/SimulatedSoundCard.h"
#include "audio/SineTone.h"
#include "audio/StreamInitializer.h"
#include "live/SoundLevelMeter.h"
#include "support/TestSupport.h"

namespace {

namespace Conf = Kedra::Sonvel::Conf;
using Kedra::PAudioII::SimulatedModel;
using Kedra::PAudioII::SimulatedSoundCard;
using Kedra::PAudioII::StreamInitializer;

TEST(SampleRing, CarriesEverySampleInOrderAcrossThreadsAndCountsWhatOverflows) {
    Kedra::Live::SampleRing ring(1000); // 1024
    EXPECT_EQ(ring.GetCapacity(), 1024);
    constexpr int total = 1 << 20;
    std::thread producer([&] {
        std::vector<float> block(97);
        int next = 0;
        while (next < total) {
            const int n = std::min(static_cast<int>(block.size()), total - next);
            for (int i = 0; i < n; ++i)
                block[static_cast<std::size_t>(i)] = static_cast<float>(next + i);
            int pushed = 0;
            while (pushed < n)
                pushed += ring.Push(block.data() + pushed, n - pushed);
            next += n;
        }
    });
    std::vector<float> out(61);
    int expected = 0;
    bool inOrder = true;
    while (expected < total) {
        const int n = ring.Pop(out.data(), static_cast<int>(out.size()));
        for (int i = 0; i < n; ++i)
            inOrder = inOrder && out[static_cast<std::size_t>(i)] == static_cast<float>(expected++);
    }
    producer.join();
    EXPECT_TRUE(inOrder);

    // The producer above retried what a full ring refused; each refusal counts.
    const std::uint64_t before = ring.Dropped();
    const std::vector<float> big(1500, 1.0f);
    EXPECT_EQ(ring.Push(big.data(), 1500), 1024);
    EXPECT_EQ(ring.Dropped() - before, 476u);
}

class LiveInputTest : public ::testing::Test {
protected:
    void SetUp() override {
        StreamInitializer::Destroy();
        SimulatedSoundCard::ResetParams();
        dir = SonvelTest::TempDir() / "live-input";
        std::filesystem::create_directories(dir);
        Conf::SetUserDirectory(dir);
        Conf::Options::Reset();
        helper = std::make_unique<Kedra::Sonvel::AudioHelper>(frontEnd);
    }
    void TearDown() override {
        helper.reset();
        StreamInitializer::Destroy();
        SimulatedSoundCard::ResetParams();
    }
    Kedra::Sonvel::ScriptedFrontEnd frontEnd;
    std::unique_ptr<Kedra::Sonvel::AudioHelper> helper;
    std::filesystem::path dir;
};

TEST_F(LiveInputTest, AToneOnTheSimulatedLoopbackReadsItsLevel) {
    helper->UseSimulated(true, SimulatedModel::Loopback);
    ASSERT_TRUE(helper->ApplyDevices(Conf::Options::Field));
    StreamInitializer* stream = StreamInitializer::Get();
    Kedra::PAudioII::SineTone tone;
    tone.frequency = 1000.0;
    tone.Reset();
    stream->SetOutVolume(0.25f);
    stream->SetOutChMask(1);
    stream->SetGenerator(&tone);
    stream->SetRampDown(false);
    stream->SetRampUp(false);
    stream->SetOutputEnabled(true);
    Kedra::Live::SoundLevelMeter meter(Kedra::Live::Weighting::A, stream->GetSamplerate());
    const Kedra::Live::LiveRun run =
        Kedra::Live::RunLive(stream, 0, 2.0, [&](const float* x, int n) { meter.Process(x, n); });
    stream->SetOutputEnabled(false);
    stream->SetGenerator(nullptr);
    ASSERT_TRUE(run.ok) << run.why;
    EXPECT_EQ(run.samples, static_cast<std::uint64_t>(2 * stream->GetSamplerate()));
    EXPECT_EQ(run.dropped, 0u);
    EXPECT_NEAR(meter.Readings().fast, 20.0 * std::log10(0.25), 0.05);
}

TEST_F(LiveInputTest, TheAnalysisThreadListensUntilStoppedRestartsAndSaysWhyARunEndedByItself) {
    helper->UseSimulated(true, SimulatedModel::Loopback);
    ASSERT_TRUE(helper->ApplyDevices(Conf::Options::Field));
    StreamInitializer* stream = StreamInitializer::Get();
    std::mutex mutex;
    long long taken = 0;
    const auto sink = [&](const float*, int n) {
        const std::lock_guard<std::mutex> lock(mutex);
        taken += n;
    };
    const auto takenSoFar = [&] {
        const std::lock_guard<std::mutex> lock(mutex);
        return taken;
    };
    const auto waitFor = [&](long long samples) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (takenSoFar() < samples && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    Kedra::Live::LiveThread thread;
    const long long half = stream->GetSamplerate() / 2;
    for (int round = 1; round <= 2; ++round) {
        ASSERT_TRUE(thread.Start(stream, 0, sink));
        EXPECT_FALSE(thread.Start(stream, 0, sink));
        waitFor(round * half);
        EXPECT_FALSE(thread.Ended().has_value());
        const Kedra::Live::LiveRun run = thread.Stop();
        EXPECT_FALSE(thread.Running());
        EXPECT_TRUE(run.ok) << run.why;
        EXPECT_EQ(run.dropped, 0u);
        EXPECT_GE(takenSoFar(), round * half);
    }
    // Nothing stays on the stream, which this thread started and so stops again.
    EXPECT_NE(stream->GetStatus(), Kedra::PAudioII::STREAM_RUNNING);

    ASSERT_TRUE(thread.Start(stream, 40, sink));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!thread.Ended() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(thread.Ended().has_value());
    EXPECT_TRUE(thread.Running());
    EXPECT_NE(thread.Stop().why.find("no input 41"), std::string::npos);
}

// An analysis slower than the card: what it lost is known while it runs, not only at the end.
TEST_F(LiveInputTest, SamplesLostByASlowAnalysisAreCountedWhileItRuns) {
    helper->UseSimulated(true, SimulatedModel::Loopback);
    ASSERT_TRUE(helper->ApplyDevices(Conf::Options::Field));
    StreamInitializer* stream = StreamInitializer::Get();
    Kedra::Live::LiveThread thread;
    std::atomic<bool> slow{true};
    ASSERT_TRUE(thread.Start(stream, 0, [&](const float*, int) {
        if (slow.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (thread.Dropped() == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::uint64_t seen = thread.Dropped();
    EXPECT_GT(seen, 0u);
    EXPECT_FALSE(thread.Ended().has_value());
    slow = false;
    const Kedra::Live::LiveRun run = thread.Stop();
    EXPECT_GE(run.dropped, seen);
    EXPECT_EQ(thread.Dropped(), run.dropped);
    // A new run counts its own.
    ASSERT_TRUE(thread.Start(stream, 0, [](const float*, int) {}));
    EXPECT_EQ(thread.Dropped(), 0u);
    thread.Stop();
}

TEST_F(LiveInputTest, AStopLeavesTheStreamItStartedToAListenerThatJoinedMeanwhile) {
    helper->UseSimulated(true, SimulatedModel::Loopback);
    ASSERT_TRUE(helper->ApplyDevices(Conf::Options::Field));
    StreamInitializer* stream = StreamInitializer::Get();
    ASSERT_NE(stream->GetStatus(), Kedra::PAudioII::STREAM_RUNNING);
    Kedra::Live::LiveThread first;
    ASSERT_TRUE(first.Start(stream, 0, [](const float*, int) {}));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (stream->InputBufferCount() == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(stream->GetStatus(), Kedra::PAudioII::STREAM_RUNNING);
    Kedra::Live::LiveInput other(4096);
    ASSERT_TRUE(stream->AddInputBuffer(&other));
    first.Stop();
    EXPECT_EQ(stream->GetStatus(), Kedra::PAudioII::STREAM_RUNNING);
    stream->RemoveInputBuffer(&other);
    stream->Stop();
}

} // namespace
