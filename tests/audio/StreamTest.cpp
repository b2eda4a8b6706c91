#include "audio/StreamInitializer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "audio/Pcm.h"
#include "audio/SimulatedSoundCard.h"
#include "support/TestSupport.h"

namespace {

using namespace Kedra::PAudioII;

// Every test starts from a fresh stream singleton.
class StreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        StreamInitializer::Destroy();
        stream = StreamInitializer::Get();
        stream->SetSamplerate(48000);
    }
    void TearDown() override { StreamInitializer::Destroy(); }

    StreamInitializer* stream = nullptr;
};

class Recorder : public StreamInBuffer {
public:
    using StreamInBuffer::StreamInBuffer;
    void OnFull() override {}
    std::vector<float> Contents() {
        int n = 0;
        const float* p = TakeBlock(&n);
        return std::vector<float>(p, p + n);
    }
};

// Gives `preRoll` samples before its first one, so the trigger falls inside a block.
class DelayedStart : public PCMGenerator {
public:
    explicit DelayedStart(int preRoll) : PCMGenerator(GENERATOR_KIND_PLAIN), preRoll_(preRoll) {}
    bool NextSample(float* out, bool* isFirst) noexcept override {
        *isFirst = calls_ == preRoll_;
        *out = static_cast<float>(calls_ + 1);
        ++calls_;
        return true;
    }
    void Reset() override { calls_ = 0; }

private:
    int preRoll_;
    int calls_ = 0;
};

int statusCalls = 0;
StreamStatus lastStatus = STREAM_STOPPED;
void CountStatus(StreamStatus s) {
    ++statusCalls;
    lastStatus = s;
}

TEST_F(StreamTest, ChannelMaskAndVolume) {
    stream->SetOutDevice(SimulatedDeviceIndex(SimulatedModel::Loopback), 4, true);
    stream->SetOutChMask(0b101);
    EXPECT_EQ(stream->GetChannelGain(0), 1.0f);
    EXPECT_EQ(stream->GetChannelGain(1), 0.0f);
    EXPECT_EQ(stream->GetChannelGain(2), 1.0f);
    EXPECT_EQ(stream->GetChannelGain(3), 0.0f);
    EXPECT_EQ(stream->GetOutChMask(), 5);
    stream->SetOutVolume(0.5f);
    EXPECT_EQ(stream->GetChannelVolume(0), 0.5f);
    EXPECT_EQ(stream->GetChannelVolume(1), 0.0f);
    EXPECT_EQ(stream->GetChannelVolume(2), 0.5f);
    // Bit 31 is the sign: it never selects a channel, and -1 selects the four there are.
    stream->SetOutChMask(-1);
    EXPECT_EQ(stream->GetOutChMask(), 15);
    // A new device resets the mask and keeps the volume.
    stream->SetOutDevice(SimulatedDeviceIndex(SimulatedModel::Loopback), 2, false);
    EXPECT_EQ(stream->GetOutChMask(), 3);
    EXPECT_EQ(stream->GetChannelVolume(1), 0.5f);
    EXPECT_DOUBLE_EQ(stream->GetOutParams()->suggestedLatency, 0.1);
}

TEST_F(StreamTest, StatusCallbacksStartFailureAndStopRules) {
    statusCalls = 0;
    stream->AddStatusCallback(CountStatus);
    stream->AddStatusCallback(CountStatus);
    const std::size_t logBefore = SonvelTest::ReadLog().size();
    stream->Stop();
    EXPECT_EQ(statusCalls, 0);
    EXPECT_EQ(SonvelTest::ReadLog().find("StreamInitializer::Stop()", logBefore),
              std::string::npos);

    // No such device: the open fails, the status says so once, the error text is there.
    stream->SetOutDevice(100000, 2, true);
    stream->SetInDevice(100000, 2, true);
    EXPECT_NE(SonvelTest::ReadLog().find("StreamInitializer::SetOutDevice(100000, 2) Failed. "
                                         "Pa_GetDeviceInfo returned 0"),
              std::string::npos);
    stream->Start();
    EXPECT_EQ(stream->GetStatus(), STREAM_START_FAILED);
    EXPECT_EQ(statusCalls, 1);
    EXPECT_EQ(lastStatus, STREAM_START_FAILED);
    EXPECT_FALSE(stream->GetPaErrorText().empty());
    EXPECT_NE(SonvelTest::ReadLog().find("WARNING StreamInitializer::Start() - ERROR : " +
                                         stream->GetPaErrorText()),
              std::string::npos);
    stream->Stop();
    EXPECT_EQ(statusCalls, 1);

    // A failed start can be retried with a device that exists.
    stream->SetOutDevice(SimulatedDeviceIndex(SimulatedModel::Loopback), 2, true);
    stream->SetInDevice(SimulatedDeviceIndex(SimulatedModel::Loopback), 2, true);
    stream->Start();
    EXPECT_EQ(stream->GetStatus(), STREAM_RUNNING);
    EXPECT_EQ(lastStatus, STREAM_RUNNING);
    stream->Stop();
    EXPECT_EQ(stream->GetStatus(), STREAM_STOPPED);
    EXPECT_EQ(statusCalls, 3);
    stream->RemoveStatusCallback(CountStatus);
    stream->Start();
    stream->Stop();
    EXPECT_EQ(statusCalls, 3);
}

TEST_F(StreamTest, SimulatedAndRealDevicesDoNotMix) {
    stream->SetOutDevice(SimulatedDeviceIndex(SimulatedModel::Speaker), 1, true);
    stream->SetInDevice(SimulatedDeviceIndex(SimulatedModel::Speaker) + 100, 1, true);
    stream->Start();
    EXPECT_EQ(stream->GetStatus(), STREAM_START_FAILED);
}

TEST_F(StreamTest, GeneratorEndingMidBlockSilencesTheRest) {
    const std::vector<float> data{0.5f, -0.25f, 1.0f, 0.75f, -1.0f};
    Pcm pcm;
    pcm.SetData(data.data(), 5);
    pcm.length = 5;
    pcm.Reset();
    stream->SetOutDevice(SimulatedDeviceIndex(SimulatedModel::Loopback), 2, true);
    stream->SetOutChMask(0b11);
    stream->SetOutVolume(0.5f);
    stream->PrepareDirectCallback(0, 2);
    stream->SetOutputEnabled(false);
    stream->SetGenerator(&pcm);
    stream->SetOutputEnabled(true);
    std::vector<float> out(16 * 2, 99.0f);
    stream->ProcessBlock(nullptr, out.data(), 16);
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(out[2 * k], 0.5f * data[k]) << k;
        EXPECT_EQ(out[2 * k + 1], 0.5f * data[k]) << k;
    }
    for (int k = 5; k < 16; ++k)
        ASSERT_EQ(out[2 * k] + out[2 * k + 1], 0.0f) << k;
    EXPECT_FALSE(stream->GetOutputEnabled());
    std::fill(out.begin(), out.end(), 99.0f);
    stream->ProcessBlock(nullptr, out.data(), 16);
    for (float v : out)
        ASSERT_EQ(v, 0.0f);
    EXPECT_EQ(stream->GetLastFrameCount(), 16u);
    stream->SetGenerator(nullptr);
}

TEST_F(StreamTest, TriggerWaitingRecorderStartsAtTheFirstSample) {
    stream->SetOutDevice(SimulatedDeviceIndex(SimulatedModel::Loopback), 1, true);
    stream->SetInDevice(SimulatedDeviceIndex(SimulatedModel::Loopback), 1, true);
    stream->PrepareDirectCallback(1, 1);
    Recorder waiting(64, false, true);
    Recorder free(64, false, false);
    ASSERT_TRUE(stream->AddInputBuffer(&waiting));
    ASSERT_TRUE(stream->AddInputBuffer(&free));
    EXPECT_EQ(waiting.GetOwner(), stream);
    std::vector<float> in(8), out(8);
    for (int i = 0; i < 8; ++i)
        in[static_cast<std::size_t>(i)] = 100.0f + i;

    // No generator yet: the free recorder hears everything, the waiting one nothing.
    stream->ProcessBlock(in.data(), out.data(), 8);
    EXPECT_EQ(free.Available(), 8);
    EXPECT_EQ(waiting.Available(), 0);

    DelayedStart gen(3);
    stream->SetOutputEnabled(false);
    stream->SetGenerator(&gen);
    stream->SetOutputEnabled(true);
    const std::size_t logBefore = SonvelTest::ReadLog().size();
    stream->ProcessBlock(in.data(), out.data(), 8);
    EXPECT_TRUE(waiting.GetTriggered());
    EXPECT_EQ(waiting.Contents(), (std::vector<float>{103, 104, 105, 106, 107}));
    EXPECT_NE(SonvelTest::ReadLog().find("INFO    StreamInitializer::PaIOCallback -> Triggered!",
                                         logBefore),
              std::string::npos);
    // Later blocks from their first frame.
    stream->ProcessBlock(in.data(), out.data(), 8);
    EXPECT_EQ(waiting.Contents().size(), 8u);
    EXPECT_EQ(free.Contents().size(), 24u);

    stream->SetGenerator(nullptr);
    stream->RemoveInputBuffer(&waiting);
    EXPECT_EQ(waiting.GetOwner(), nullptr);
    EXPECT_EQ(stream->InputBufferCount(), 1);
}

TEST_F(StreamTest, InputChannelsAreSelectedInterleavedAndInverted) {
    stream->PrepareDirectCallback(3, 0);
    Recorder r(64, false, false);
    r.SetChannelMask(0b101);
    stream->AddInputBuffer(&r);
    // Frames of (ch0, ch1, ch2).
    const std::vector<float> in{1, 2, 3, 4, 5, 6, 7, 8, 9};
    stream->ProcessBlock(in.data(), nullptr, 3);
    EXPECT_EQ(r.Contents(), (std::vector<float>{1, 3, 4, 6, 7, 9}));
    stream->SetInInverted(true);
    stream->ProcessBlock(in.data(), nullptr, 1);
    EXPECT_EQ(r.Contents(), (std::vector<float>{-1, -3}));
    // A buffer cannot be attached twice or to nothing.
    EXPECT_TRUE(stream->AddInputBuffer(&r));
    EXPECT_EQ(stream->InputBufferCount(), 1);
    EXPECT_FALSE(stream->AddInputBuffer(nullptr));
}

TEST_F(StreamTest, RampDownEndsTheOutputAndRampUpStopsAtZeroDb) {
    const std::vector<float> ones(64, 1.0f);
    Pcm pcm;
    pcm.SetData(ones.data(), 64);
    pcm.length = 64;
    pcm.Reset();
    stream->SetOutDevice(SimulatedDeviceIndex(SimulatedModel::Loopback), 1, true);
    stream->PrepareDirectCallback(0, 1);
    stream->SetGenerator(&pcm);
    stream->SetRampEnabled(true);
    stream->SetRampStepDb(20.0f);
    stream->SetRampGainDb(0.0f);
    stream->SetRampDown(true);
    std::vector<float> out(6);
    stream->ProcessBlock(nullptr, out.data(), 6);
    EXPECT_NEAR(out[0], 0.1f, 1e-6);   // -20 dB
    EXPECT_NEAR(out[1], 0.01f, 1e-7);  // -40 dB
    EXPECT_NEAR(out[2], 0.001f, 1e-8); // -60 dB: the ramp ends, output off
    EXPECT_EQ(out[3], 0.0f);
    EXPECT_FALSE(stream->GetOutputEnabled());
    EXPECT_FALSE(stream->GetRampDown());

    stream->SetRampUp(true);
    stream->SetOutputEnabled(true);
    stream->SetRampStepDb(25.0f);
    stream->ProcessBlock(nullptr, out.data(), 6);
    EXPECT_NEAR(out[0], std::pow(10.0f, -35.0f / 20.0f), 1e-7);
    EXPECT_NEAR(out[1], std::pow(10.0f, -10.0f / 20.0f), 1e-6);
    EXPECT_EQ(out[2], 1.0f); // clamped at 0 dB, ramp over
    EXPECT_EQ(out[5], 1.0f);
    EXPECT_FALSE(stream->GetRampUp());
    stream->SetGenerator(nullptr);
}

TEST_F(StreamTest, CleanUpStopsDetachesAndReleasesPortAudio) {
    stream->SetOutDevice(SimulatedDeviceIndex(SimulatedModel::Loopback), 1, true);
    stream->SetInDevice(SimulatedDeviceIndex(SimulatedModel::Loopback), 1, true);
    Recorder r(1000, false, false);
    stream->AddInputBuffer(&r);
    stream->Start();
    ASSERT_EQ(stream->GetStatus(), STREAM_RUNNING);
    CleanUp();
    EXPECT_EQ(r.GetOwner(), nullptr);
    EXPECT_FALSE(PaInitializer::IsInitialized());
    const std::string log = SonvelTest::ReadLog();
    EXPECT_NE(log.find("INFO    PAudioII::CleanUp()"), std::string::npos);
    EXPECT_NE(log.find("INFO    PaInitializer::Terminate() -> Pa_Terminate()"), std::string::npos);
    // A new stream comes without PortAudio, and its settings need none; a device brings it back.
    stream = StreamInitializer::Get();
    EXPECT_EQ(stream->GetStatus(), STREAM_STOPPED);
    stream->SetSamplerate(96000);
    stream->SetOutVolume(0.5f);
    stream->SetInInverted(true);
    EXPECT_FALSE(PaInitializer::IsInitialized());
    EXPECT_EQ(stream->GetSamplerate(), 96000);
    stream->SetOutDevice(SimulatedDeviceIndex(SimulatedModel::Loopback), 2, true);
    EXPECT_TRUE(PaInitializer::IsInitialized());
    EXPECT_EQ(stream->GetChannelVolume(1), 0.5f);
}

} // namespace
