#include "audio/Devices.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "audio/SimulatedSoundCard.h"
#include "audio/StreamInitializer.h"
#include "audio/VUMeterInBuffer.h"

namespace {

using namespace Kedra::PAudioII;

TEST(Devices, HostApiTextsAndChannelMasks) {
    EXPECT_EQ(HostApiTypeName(0), "MME");
    EXPECT_EQ(HostApiTypeName(2), "ASIO");
    EXPECT_EQ(HostApiTypeName(3), "ASIO");
    EXPECT_EQ(HostApiTypeName(6), "Unknown");
    EXPECT_EQ(HostApiTypeName(8), "ALSA");
    EXPECT_EQ(HostApiTypeName(12), "JACK");
    EXPECT_EQ(HostApiTypeName(14), "Unknown");
    EXPECT_EQ(HostApiTypeName(-1), "Unknown");
    EXPECT_FALSE(IsChInMask(31, -1));
    EXPECT_TRUE(IsChInMask(30, -1));
    EXPECT_TRUE(IsChInMask(0, 1));
    EXPECT_FALSE(IsChInMask(1, 1));
    EXPECT_FALSE(IsChInMask(-1, -1));
    EXPECT_EQ(ChToChMask(3), 8);
    EXPECT_EQ(ChToChMask(40), 0);
}

TEST(Devices, SimulatedDevicesAreListedLikeAnyOther) {
    const int api = SimulatedHostApiIndex();
    std::vector<int> expected;
    for (int i = 0; i < SIMULATED_DEVICE_COUNT; ++i)
        expected.push_back(SimulatedDeviceIndex(static_cast<SimulatedModel>(i)));
    EXPECT_EQ(GetOutDevices(api), expected);
    EXPECT_EQ(GetInDevices(api), expected);
    EXPECT_TRUE(GetOutDevices(api + 1000).empty());
    const int loopback = SimulatedDeviceIndex(SimulatedModel::Loopback);
    EXPECT_EQ(GetHostApiName(loopback), "Simulated");
    EXPECT_EQ(GetDeviceName(loopback, false), "Simulated loopback");
    EXPECT_EQ(GetDeviceName(loopback, true), "Simulated: Simulated loopback");
    EXPECT_EQ(GetHostApiName(-3), "Unknown");
    EXPECT_EQ(GetDeviceInfo(loopback + SIMULATED_DEVICE_COUNT), nullptr);

    std::ostringstream report;
    ShowDeviceInfo(report);
    const std::string text = report.str();
    EXPECT_EQ(text.rfind("PortAudio device information\n", 0), 0u);
    const std::string block = std::string(60, '-') + "\n" +
                              "Device number:         " + std::to_string(loopback) +
                              "\n"
                              "Name:                  Simulated loopback\n"
                              "API:                   Simulated\n"
                              "Default samplerate:    48kHz\n"
                              "Input channels:        11\n"
                              "Output channels:       8\n"
                              "Samplerates [kHz]:     8  -  9.6  -  11.025  -  12  -  16  -  "
                              "22.05  -  24  -  32  -  44.1  -  48  -  88.2  -  96  -  192\n";
    EXPECT_NE(text.find(block), std::string::npos) << text;
    EXPECT_NE(text.find("Name:                  Simulated dead\n"), std::string::npos);
}

class Meter : public ::testing::Test {
protected:
    void SetUp() override {
        StreamInitializer::Destroy();
        stream = StreamInitializer::Get();
        stream->SetSamplerate(48000);
        stream->SetInDevice(SimulatedDeviceIndex(SimulatedModel::Loopback), 2, true);
        stream->PrepareDirectCallback(2, 0);
    }
    void TearDown() override { StreamInitializer::Destroy(); }

    // One block of 48 frames: channel 0 reaches `peak0`, channel 1 stays negative.
    void Feed(float peak0) {
        std::vector<float> in(96);
        for (int f = 0; f < 48; ++f) {
            in[static_cast<std::size_t>(2 * f)] = peak0 * (f == 20 ? 1.0f : 0.25f);
            in[static_cast<std::size_t>(2 * f + 1)] = -0.5f;
        }
        stream->ProcessBlock(in.data(), nullptr, 48);
    }

    StreamInitializer* stream = nullptr;
};

TEST_F(Meter, BlockLevelsHeldLevelAndPeak) {
    // 1 ms blocks (48 frames of two channels), held over 4 ms.
    VUMeterInBuffer meter(stream, 0.001f, 0.004f);
    EXPECT_EQ(meter.GetCapacity(), 96);
    EXPECT_EQ(meter.GetBlockFrames(), 48);
    EXPECT_EQ(meter.GetHistoryLength(), 4);
    EXPECT_EQ(meter.GetOwner(), stream);
    VUMeterInBuffer::Levels levels;
    Feed(0.5f);
    meter.ReadLevels(levels);
    EXPECT_EQ(levels.blocks, 1u);
    EXPECT_EQ(levels.channels, 2);
    EXPECT_NEAR(levels.current[0], -6.0206f, 1e-3);
    EXPECT_EQ(levels.current[1], -100000.0f); // only positive excursions count
    EXPECT_NEAR(levels.held[0], -6.0206f, 1e-3);
    EXPECT_NEAR(levels.peak[0], -6.0206f, 1e-3);

    // Quieter blocks: the held level stays for the history length, then follows.
    for (int i = 1; i < 4; ++i) {
        Feed(0.1f);
        meter.ReadLevels(levels);
        EXPECT_NEAR(levels.current[0], -20.0f, 1e-3);
        EXPECT_NEAR(levels.held[0], -6.0206f, 1e-3) << i;
    }
    Feed(0.1f);
    meter.ReadLevels(levels);
    EXPECT_NEAR(levels.held[0], -20.0f, 1e-3);
    EXPECT_NEAR(levels.peak[0], -6.0206f, 1e-3);

    meter.ResetPeak();
    meter.ReadLevels(levels);
    EXPECT_EQ(levels.peak[0], -100000.0f);
    Feed(0.0f);
    meter.ReadLevels(levels);
    EXPECT_EQ(levels.current[0], -100000.0f);
    EXPECT_NEAR(levels.peak[0], -20.0f, 1e-3);
}

TEST_F(Meter, LevelCallbackSeesEveryBlockAndDestructionDetaches) {
    static int calls = 0;
    static float last = 0.0f;
    calls = 0;
    {
        VUMeterInBuffer meter(stream, 0.001f, 0.002f);
        meter.SetLevelCallback([](const float* current, const float*, const float*, int ch) {
            ++calls;
            last = current[0];
            EXPECT_EQ(ch, 2);
        });
        Feed(0.25f);
        Feed(0.25f);
        EXPECT_EQ(calls, 2);
        EXPECT_NEAR(last, -12.0412f, 1e-3);
        EXPECT_EQ(stream->InputBufferCount(), 1);
    }
    EXPECT_EQ(stream->InputBufferCount(), 0);
    Feed(0.25f);
    EXPECT_EQ(calls, 2);
}

TEST_F(Meter, StreamWithoutInputGivesAnEmptyMeter) {
    StreamInitializer::Destroy();
    stream = StreamInitializer::Get();
    VUMeterInBuffer meter(stream, 0.1f, 1.0f);
    EXPECT_EQ(meter.GetChannels(), 0);
    EXPECT_EQ(meter.GetCapacity(), 0);
    EXPECT_EQ(meter.GetOwner(), nullptr);
    VUMeterInBuffer::Levels levels;
    meter.ReadLevels(levels);
    EXPECT_EQ(levels.blocks, 0u);
}

} // namespace
