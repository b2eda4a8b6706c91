#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <pa_jack.h>
#include <unistd.h>

#include "audio/Devices.h"
#include "audio/Pcm.h"
#include "audio/StreamInitializer.h"

namespace {

using namespace Kedra::PAudioII;

class Recorder : public StreamInBuffer {
public:
    using StreamInBuffer::StreamInBuffer;
    void OnFull() override {}
};

// The first device of PortAudio's JACK host API, or -1 when no JACK server was running when
// PortAudio started.
int JackDevice() {
    if (!PaInitializer::EnsureInitialized())
        return -1;
    const PaHostApiIndex api = Pa_HostApiTypeIdToHostApiIndex(paJACK);
    if (api < 0)
        return -1;
    const PaHostApiInfo* info = Pa_GetHostApiInfo(api);
    if (info == nullptr || info->deviceCount < 1)
        return -1;
    return Pa_HostApiDeviceIndexToDeviceIndex(api, 0);
}

TEST(JackStream, PlayedSignalComesBackAtAConstantLatency) {
    // A name of our own, so that other processes talking to the same server (PortAudio opens a
    // client just to list devices) cannot take the default one.
    static const std::string client = "sonveltest" + std::to_string(getpid());
    PaJack_SetClientName(client.c_str());
    StreamInitializer* stream = StreamInitializer::Get();
    const int device = JackDevice();
    if (device < 0) {
        // CI starts a server and sets this, so that a missing server fails there.
        if (std::getenv("SONVEL_REQUIRE_JACK") != nullptr)
            FAIL() << "SONVEL_REQUIRE_JACK is set but no JACK server is running";
        GTEST_SKIP() << "No JACK server is running; start one with "
                        "'jackd --no-realtime -d dummy -r 48000' to run this test.";
    }
    stream->SetSamplerate(48000);
    stream->SetOutDevice(device, 1, true);
    stream->SetInDevice(device, 1, true);
    stream->SetOutputEnabled(false);
    stream->Start();
    ASSERT_EQ(stream->GetStatus(), STREAM_RUNNING) << stream->GetPaErrorText();

    // The stream's own output into its own input; the dummy capture adds only silence.
    const std::string connect = "jack_connect " + client + ":out_0 " + client + ":in_0";
    const int connected = std::system(connect.c_str());
    ASSERT_EQ(connected, 0) << "jack_connect failed";

    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-0.5f, 0.5f);
    std::vector<float> signal(9600);
    for (float& x : signal)
        x = u(rng);
    const int length = 9600 + 3 * 8192;
    Recorder recorder(length, false, true);
    Pcm pcm;
    pcm.SetData(signal.data(), static_cast<int>(signal.size()));
    pcm.length = static_cast<int>(signal.size());
    pcm.SetTriggerMode(true);
    pcm.Reset();
    stream->AddInputBuffer(&recorder);
    stream->SetGenerator(&pcm);
    stream->SetOutputEnabled(true);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (recorder.Available() < length && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stream->RemoveInputBuffer(&recorder);
    stream->SetOutputEnabled(false);
    stream->SetGenerator(nullptr);
    stream->Stop();
    CleanUp();

    int n = 0;
    const float* rec = recorder.TakeBlock(&n);
    ASSERT_EQ(n, length) << "the recording did not arrive";
    int lag = 0;
    while (lag < n && rec[lag] == 0.0f)
        ++lag;
    ASSERT_LT(lag + 9600, n) << "the played signal never came back";
    // One latency for the whole signal: every sample where it belongs, silence after it.
    for (int i = 0; i < 9600; ++i)
        ASSERT_EQ(rec[lag + i], signal[static_cast<std::size_t>(i)]) << "sample " << i;
    for (int i = lag + 9600; i < n; ++i)
        ASSERT_EQ(rec[i], 0.0f) << "sample " << i;
    RecordProperty("latency_samples", lag);
    std::printf("JACK loopback latency: %d samples\n", lag);
}

TEST(JackStream, DeviceReportListsTheJackDevice) {
    const int device = JackDevice();
    if (device < 0) {
        if (std::getenv("SONVEL_REQUIRE_JACK") != nullptr)
            FAIL() << "SONVEL_REQUIRE_JACK is set but no JACK server is running";
        GTEST_SKIP() << "No JACK server is running; start one with "
                        "'jackd --no-realtime -d dummy -r 48000' to run this test.";
    }
    EXPECT_EQ(GetHostApiName(device), "JACK");
    const PaHostApiIndex api = Pa_HostApiTypeIdToHostApiIndex(paJACK);
    const std::vector<int> outs = GetOutDevices(api);
    EXPECT_NE(std::find(outs.begin(), outs.end(), device), outs.end());
    std::ostringstream report;
    ShowDeviceInfo(report);
    const std::string text = report.str();
    const std::string name = GetDeviceName(device, false);
    EXPECT_NE(text.find("Device number:         " + std::to_string(device) +
                        "\nName:                  " + name + "\nAPI:                   JACK\n"),
              std::string::npos)
        << text;
    // The dummy server runs at 48 kHz only.
    EXPECT_TRUE(IsSampleRateSupported(device, 48000.0));
    EXPECT_NE(text.find("Name:                  Simulated speaker\n"), std::string::npos);
    CleanUp();
}

} // namespace
