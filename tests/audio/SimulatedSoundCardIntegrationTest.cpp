#include "audio/SimulatedSoundCard.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <complex>
#include <random>
#include <thread>
#include <vector>

#include "audio/Pcm.h"
#include "audio/StreamInitializer.h"
#include "audio/VUMeterInBuffer.h"
#include "foundation/MathConstants.h"

namespace {

using namespace Kedra::PAudioII;
using cd = std::complex<double>;
const double PI = Kedra::Math::PI;

class Recorder : public StreamInBuffer {
public:
    using StreamInBuffer::StreamInBuffer;
    void OnFull() override {}
};

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Plays `signal` on output channel 0 of a simulated device and records input channel 0 from
// the generator's first sample on.
std::vector<float> PlayAndRecord(SimulatedModel model, const std::vector<float>& signal,
                                 int recordLength, int timeoutMs = 10000) {
    StreamInitializer::Destroy();
    StreamInitializer* stream = StreamInitializer::Get();
    stream->SetSamplerate(48000);
    stream->SetOutDevice(SimulatedDeviceIndex(model), 2, true);
    stream->SetInDevice(SimulatedDeviceIndex(model), 2, true);
    stream->SetOutChMask(1);
    stream->SetOutputEnabled(false);
    stream->Start();
    EXPECT_EQ(stream->GetStatus(), STREAM_RUNNING);

    Recorder recorder(recordLength, false, true);
    Pcm pcm;
    pcm.SetData(signal.data(), static_cast<int>(signal.size()));
    pcm.length = static_cast<int>(signal.size());
    pcm.SetTriggerMode(true);
    pcm.Reset();
    stream->AddInputBuffer(&recorder);
    stream->SetGenerator(&pcm);
    stream->SetOutputEnabled(true);
    WaitFor([&] { return recorder.Available() >= recordLength; }, timeoutMs);
    stream->RemoveInputBuffer(&recorder);
    stream->SetOutputEnabled(false);
    stream->SetGenerator(nullptr);
    stream->Stop();
    int n = 0;
    const float* p = recorder.TakeBlock(&n);
    StreamInitializer::Destroy();
    return std::vector<float>(p, p + n);
}

std::vector<float> RandomSignal(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-0.9f, 0.9f);
    std::vector<float> v(static_cast<std::size_t>(n));
    for (float& x : v)
        x = u(rng);
    return v;
}

TEST(SimulatedSoundCard, LoopbackGivesBackThePlayedSignal480SamplesLate) {
    const auto signal = RandomSignal(10000, 7);
    const int length = 12000;
    const auto rec = PlayAndRecord(SimulatedModel::Loopback, signal, length);
    ASSERT_EQ(rec.size(), static_cast<std::size_t>(length));
    for (int i = 0; i < 480; ++i)
        ASSERT_EQ(rec[static_cast<std::size_t>(i)], 0.0f) << i;
    for (int i = 0; i < 10000; ++i)
        ASSERT_EQ(rec[static_cast<std::size_t>(480 + i)], signal[static_cast<std::size_t>(i)]) << i;
    for (int i = 10480; i < length; ++i)
        ASSERT_EQ(rec[static_cast<std::size_t>(i)], 0.0f) << i;
}

TEST(SimulatedSoundCard, DeadDeviceNeverDeliversInput) {
    const auto signal = RandomSignal(1000, 3);
    const auto rec = PlayAndRecord(SimulatedModel::Dead, signal, 2000, 300);
    EXPECT_TRUE(rec.empty());
}

TEST(SimulatedSoundCard, SpeakerRecordingMatchesTheOfflineModel) {
    // The card runs the model in blocks on its own thread; the offline run must agree exactly,
    // noise included, since both start from the same seed.
    const auto signal = RandomSignal(6000, 11);
    const auto rec = PlayAndRecord(SimulatedModel::Speaker, signal, 8000);
    ASSERT_EQ(rec.size(), 8000u);
    DeviceModel model(DeviceModelParams::For(SimulatedModel::Speaker, 48000));
    std::vector<float> drive(signal);
    drive.resize(8000, 0.0f);
    // The card's model ran through silence before the trigger; only the noise differs then.
    const auto offline = model.Run(drive.data(), 8000);
    double signalPower = 0.0, errorPower = 0.0;
    for (int i = 700; i < 8000; ++i) {
        const double d = rec[static_cast<std::size_t>(i)] - offline[static_cast<std::size_t>(i)];
        errorPower += d * d;
        signalPower +=
            double(offline[static_cast<std::size_t>(i)]) * offline[static_cast<std::size_t>(i)];
    }
    // What differs is two independent stretches of -90 dB noise, against a signal that
    // arrives 12 dB below full scale.
    EXPECT_LT(10.0 * std::log10(errorPower / signalPower), -58.0);
}

// Steady-state amplitude and phase of a sine through the offline model, by correlation over
// whole periods: the independent check of the analytic response.
cd MeasuredResponse(DeviceModel& model, double f, int fs) {
    const int settle = 48000;
    const int periods = static_cast<int>(std::round(f * 0.25));
    const int n = static_cast<int>(std::round(periods * fs / f));
    const double fExact = periods * double(fs) / n;
    std::vector<float> drive(static_cast<std::size_t>(settle + n));
    for (std::size_t i = 0; i < drive.size(); ++i)
        drive[i] = static_cast<float>(0.5 * std::sin(2.0 * PI * fExact * i / fs));
    model.Reset();
    const auto out = model.Run(drive.data(), static_cast<int>(drive.size()));
    cd acc = 0.0;
    for (int i = settle; i < settle + n; ++i)
        acc +=
            double(out[static_cast<std::size_t>(i)]) * std::polar(1.0, -2.0 * PI * fExact * i / fs);
    // A sine of amplitude 0.5 starting at phase 0: acc = 0.5 H n / (2i).
    return acc * cd(0.0, 2.0) / (0.5 * n);
}

TEST(SimulatedSoundCard, SpeakerModelResponseIsTheOneDescribed) {
    DeviceModelParams p = DeviceModelParams::For(SimulatedModel::Speaker, 48000);
    p.nonlinear = false;
    p.noiseDbfs = -INFINITY;
    DeviceModel model(p);
    EXPECT_NEAR(model.DelaySamples(), 480.0 + 48000.0 / 343.0, 1e-9);
    auto dB = [](cd h) { return 20.0 * std::log10(std::abs(h)); };
    // Second-order high-pass of Q 0.7 at 60 Hz: |H(fc)| = Q; the peak: +4 dB at 1.2 kHz; the
    // low-pass of Q 1/sqrt(2) at 18 kHz: -3 dB there (bilinear, so within a few tenths); all
    // 12 dB down on the way to the microphone.
    const double g = -12.0;
    EXPECT_EQ(p.acousticGainDb, g);
    EXPECT_NEAR(dB(model.Response(60.0)), g + 20.0 * std::log10(0.7), 0.05);
    EXPECT_NEAR(dB(model.Response(1200.0)), g + 4.0, 0.05);
    EXPECT_NEAR(dB(model.Response(18000.0)), g - 3.01, 0.3);
    EXPECT_NEAR(dB(model.Response(400.0)), g, 0.5);
    EXPECT_LT(dB(model.Response(10.0)), g - 30.0);
    for (double f : {50.0, 237.0, 1200.0, 3100.0, 9000.0, 17000.0}) {
        const cd truth = model.Response(f);
        const cd seen = MeasuredResponse(model, f, 48000);
        EXPECT_NEAR(std::abs(seen) / std::abs(truth), 1.0, 1e-3) << f;
        EXPECT_NEAR(std::arg(seen / truth), 0.0, 2e-3) << f;
    }
}

TEST(SimulatedSoundCard, PureDelayModelHasTheFractionalAcousticDelay) {
    DeviceModelParams p = DeviceModelParams::For(SimulatedModel::Speaker, 48000);
    p.nonlinear = false;
    p.filtersEnabled = false;
    p.noiseDbfs = -INFINITY;
    p.acousticGainDb = 0.0;
    DeviceModel model(p);
    const double delay = 480.0 + 48000.0 / 343.0;
    // Group delay from the phase slope, and flat magnitude up to 20 kHz.
    for (double f : {100.0, 1000.0, 10000.0, 20000.0}) {
        const double df = 1.0;
        const double phi1 =
            std::arg(model.Response(f) * std::polar(1.0, 2.0 * PI * f * delay / 48000));
        const double phi2 =
            std::arg(model.Response(f + df) * std::polar(1.0, 2.0 * PI * (f + df) * delay / 48000));
        EXPECT_NEAR(phi1, 0.0, 1e-3) << f;
        EXPECT_NEAR(phi2 - phi1, 0.0, 1e-5) << f;
        EXPECT_NEAR(std::abs(model.Response(f)), 1.0, 2e-3) << f;
    }
}

TEST(SimulatedSoundCard, SpeakerNonlinearityGivesTheStatedHarmonics) {
    DeviceModelParams p = DeviceModelParams::For(SimulatedModel::Speaker, 48000);
    p.filtersEnabled = false;
    p.noiseDbfs = -INFINITY;
    DeviceModel model(p);
    // Full-scale sine of 1 kHz, 48 periods in 2304 samples; a naive DFT reads the harmonics.
    const int n = 2304, settle = 1024;
    std::vector<float> drive(static_cast<std::size_t>(n + settle + 1024));
    for (std::size_t i = 0; i < drive.size(); ++i)
        drive[i] = static_cast<float>(std::sin(2.0 * PI * 1000.0 * i / 48000.0));
    const auto out = model.Run(drive.data(), static_cast<int>(drive.size()));
    auto level = [&](int harmonic) {
        cd acc = 0.0;
        for (int i = 0; i < n; ++i)
            acc += double(out[static_cast<std::size_t>(settle + i)]) *
                   std::polar(1.0, -2.0 * PI * harmonic * 1000.0 * i / 48000.0);
        return 2.0 * std::abs(acc) / n;
    };
    // The level falls after the polynomial, so the harmonics keep their share of the
    // fundamental at a given drive.
    const double fundamental = level(1);
    EXPECT_NEAR(fundamental, (1.0 + 0.75 * p.a3) * std::pow(10.0, p.acousticGainDb / 20.0), 1e-4);
    EXPECT_NEAR(20.0 * std::log10(level(2) / fundamental), -40.0, 0.01);
    EXPECT_NEAR(20.0 * std::log10(level(3) / fundamental), -50.46, 0.01);
}

TEST(SimulatedSoundCard, NoiseHasItsLevelAndItsSeed) {
    DeviceModelParams p = DeviceModelParams::For(SimulatedModel::Speaker, 48000);
    DeviceModel a(p), b(p);
    std::vector<float> silence(48000, 0.0f);
    const auto na = a.Run(silence.data(), 48000);
    const auto nb = b.Run(silence.data(), 48000);
    EXPECT_EQ(na, nb);
    double power = 0.0;
    for (float x : na)
        power += double(x) * x;
    EXPECT_NEAR(10.0 * std::log10(power / 48000), -90.0, 0.2);
    p.noiseSeed += 1;
    DeviceModel c(p);
    EXPECT_NE(c.Run(silence.data(), 48000), na);
}

TEST(SimulatedSoundCard, RoomAddsReflectionsAndADecayingTail) {
    DeviceModelParams p = DeviceModelParams::For(SimulatedModel::Room, 48000);
    p.nonlinear = false;
    p.filtersEnabled = false;
    p.noiseDbfs = -INFINITY;
    p.distanceMetres = 0.0;
    p.acousticGainDb = 0.0;
    DeviceModel model(p);
    std::vector<float> click(30000, 0.0f);
    click[0] = 1.0f;
    const auto out = model.Run(click.data(), 30000);
    EXPECT_EQ(out[480], 1.0f);
    for (const Reflection& r : p.reflections) {
        const int at = 480 + static_cast<int>(std::lround(r.delaySeconds * 48000));
        EXPECT_NEAR(out[static_cast<std::size_t>(at)], r.gain, 1e-6) << at;
    }
    // Energy of the tail in 50 ms slices falls by about 60 dB per T60.
    auto sliceDb = [&](double fromSeconds) {
        double e = 0.0;
        const int from = 480 + static_cast<int>(fromSeconds * 48000);
        for (int i = from; i < from + 2400; ++i)
            e += double(out[static_cast<std::size_t>(i)]) * out[static_cast<std::size_t>(i)];
        return 10.0 * std::log10(e);
    };
    const double slope = (sliceDb(0.05) - sliceDb(0.35)) / 0.3;
    EXPECT_NEAR(slope * p.t60Seconds, 60.0, 6.0);
    // The analytic response holds the same taps.
    const cd h = model.Response(1000.0);
    cd truth = 0.0;
    for (const auto& [lag, gain] : model.RoomTaps())
        truth += gain * std::polar(1.0, -2.0 * PI * 1000.0 * (480 + lag) / 48000.0);
    EXPECT_NEAR(std::abs(h - truth), 0.0, 1e-9);
}

TEST(SimulatedSoundCard, RoomPathIsTheDirectSumOfItsTaps) {
    // The streaming model convolves the far part of the room by FFT blocks; the slow truth is
    // the sum over RoomTaps() (the taps Response() is made of). Blocks of 37 frames do not
    // line up with the FFT blocks; a tail from 0 s puts far taps right at the block edge.
    DeviceModelParams early = DeviceModelParams::For(SimulatedModel::Room, 48000);
    early.tailStartSeconds = 0.0;
    early.tailLengthSeconds = 0.1;
    early.tailDensity = 20000.0;
    for (DeviceModelParams p : {DeviceModelParams::For(SimulatedModel::Room, 44100),
                                DeviceModelParams::For(SimulatedModel::Room, 192000), early}) {
        SCOPED_TRACE(p.sampleRate);
        p.nonlinear = false;
        p.filtersEnabled = false;
        p.noiseDbfs = -INFINITY;
        p.distanceMetres = 0.0;
        p.acousticGainDb = 0.0;
        DeviceModel model(p);
        int maxLag = 0;
        for (const auto& tap : model.RoomTaps())
            maxLag = std::max(maxLag, tap.first);
        const int latency = p.latencySamples;
        const int length = latency + maxLag + 3000;
        const auto drive = RandomSignal(length, 13);
        std::vector<float> out(static_cast<std::size_t>(length));
        for (int at = 0; at < length; at += 37) {
            const int n = std::min(37, length - at);
            model.Input(out.data() + at, n);
            model.Drive(drive.data() + at, n);
        }
        double worst = 0.0;
        for (int i = 0; i < length; i += 3) {
            double truth = 0.0;
            for (const auto& [lag, gain] : model.RoomTaps())
                if (i - latency - lag >= 0)
                    truth += gain * drive[static_cast<std::size_t>(i - latency - lag)];
            worst = std::max(worst, std::fabs(out[static_cast<std::size_t>(i)] - truth));
        }
        // Float output of a sum of magnitude up to about 3.
        EXPECT_LT(worst, 1e-6);
    }
}

TEST(SimulatedSoundCard, DevicesFollowPortAudiosAndNamesRoundTrip) {
    StreamInitializer::Get();
    for (int i = 0; i < SIMULATED_DEVICE_COUNT; ++i) {
        const auto model = static_cast<SimulatedModel>(i);
        const int device = SimulatedDeviceIndex(model);
        EXPECT_EQ(device, PortAudioDeviceCount() + i);
        EXPECT_TRUE(IsSimulatedDevice(device));
        const PaDeviceInfo* info = DeviceInfoOf(device);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->hostApi, SimulatedHostApiIndex());
        EXPECT_GT(info->maxInputChannels, 0);
        SimulatedModel back;
        ASSERT_TRUE(SimulatedModelFromName(SimulatedModelName(model), &back));
        EXPECT_EQ(back, model);
    }
    EXPECT_FALSE(IsSimulatedDevice(PortAudioDeviceCount() + SIMULATED_DEVICE_COUNT));
    EXPECT_EQ(DeviceInfoOf(-1), nullptr);
    SimulatedModel unused;
    EXPECT_FALSE(SimulatedModelFromName("Loopback", &unused));
}

TEST(SimulatedSoundCard, MeterReadsTheLevelOfAPlayedSine) {
    StreamInitializer::Destroy();
    StreamInitializer* stream = StreamInitializer::Get();
    stream->SetSamplerate(48000);
    stream->SetOutDevice(SimulatedDeviceIndex(SimulatedModel::Loopback), 2, true);
    stream->SetInDevice(SimulatedDeviceIndex(SimulatedModel::Loopback), 2, true);
    stream->SetOutChMask(1);
    // 1 kHz at 48 kHz: every period holds its crest exactly, so the block level is 0.25.
    std::vector<float> sine(48000 * 2);
    for (std::size_t i = 0; i < sine.size(); ++i)
        sine[i] = static_cast<float>(0.25 * std::sin(2.0 * PI * 1000.0 * i / 48000.0));
    Pcm pcm;
    pcm.SetData(sine.data(), static_cast<int>(sine.size()));
    pcm.length = static_cast<int>(sine.size());
    pcm.Reset();
    VUMeterInBuffer meter(stream, 0.05f, 0.2f); // 50 ms blocks, held over 4 of them
    ASSERT_EQ(meter.GetHistoryLength(), 4);
    stream->SetOutputEnabled(false);
    stream->SetGenerator(&pcm);
    stream->SetOutputEnabled(true);
    stream->Start();
    VUMeterInBuffer::Levels levels;
    ASSERT_TRUE(WaitFor(
        [&] {
            meter.ReadLevels(levels);
            return levels.blocks >= 6;
        },
        5000));
    EXPECT_NEAR(levels.current[0], -12.04, 0.05);
    EXPECT_NEAR(levels.held[0], -12.04, 0.05);
    EXPECT_NEAR(levels.peak[0], -12.04, 0.05);
    EXPECT_EQ(levels.current[1], -100000.0f); // the muted channel hears nothing

    // Silence: the held level stays for four blocks, then the meter falls to the floor while
    // the peak remains, until it is reset.
    stream->SetOutputEnabled(false);
    ASSERT_TRUE(WaitFor(
        [&] {
            meter.ReadLevels(levels);
            return levels.held[0] == -100000.0f;
        },
        5000));
    EXPECT_NEAR(levels.peak[0], -12.04, 0.05);
    const std::uint64_t at = levels.blocks;
    meter.ResetPeak();
    ASSERT_TRUE(WaitFor(
        [&] {
            meter.ReadLevels(levels);
            return levels.blocks > at + 1;
        },
        5000));
    EXPECT_EQ(levels.peak[0], -100000.0f);
    stream->Stop();
    stream->SetGenerator(nullptr);
    StreamInitializer::Destroy();
}

TEST(SimulatedSoundCard, HeldLevelFollowsTheHistoryLength) {
    // Four 10 ms blocks of sine, then silence: held stays up for exactly the history length.
    StreamInitializer::Destroy();
    StreamInitializer* stream = StreamInitializer::Get();
    stream->SetSamplerate(48000);
    stream->SetOutDevice(SimulatedDeviceIndex(SimulatedModel::Loopback), 1, true);
    stream->SetInDevice(SimulatedDeviceIndex(SimulatedModel::Loopback), 1, true);
    static std::vector<float> held;
    held.clear();
    std::vector<float> burst(480 * 4);
    for (std::size_t i = 0; i < burst.size(); ++i)
        burst[i] = static_cast<float>(0.5 * std::sin(2.0 * PI * 1000.0 * i / 48000.0));
    Pcm pcm;
    pcm.SetData(burst.data(), static_cast<int>(burst.size()));
    pcm.length = static_cast<int>(burst.size());
    pcm.Reset();
    VUMeterInBuffer meter(stream, 0.01f, 0.03f);
    ASSERT_EQ(meter.GetHistoryLength(), 3);
    meter.SetLevelCallback(
        [](const float*, const float* h, const float*, int) { held.push_back(h[0]); });
    stream->SetOutputEnabled(false);
    stream->SetGenerator(&pcm);
    stream->SetOutputEnabled(true);
    stream->Start();
    WaitFor([&] { return stream->GetLastFrameCount() > 0 && !stream->GetOutputEnabled(); }, 5000);
    VUMeterInBuffer::Levels levels;
    WaitFor(
        [&] {
            meter.ReadLevels(levels);
            return levels.blocks >= 20;
        },
        5000);
    stream->Stop();
    stream->SetGenerator(nullptr);
    // The 480-sample latency is one block, so the burst fills exactly blocks 1 to 4; the held
    // level stays up for them and the two blocks after them that still remember one.
    ASSERT_GE(held.size(), 8u);
    std::vector<bool> up;
    for (float h : held)
        up.push_back(h > -7.0f);
    const std::vector<bool> expected{false, true, true, true, true, true, true, false};
    EXPECT_EQ(std::vector<bool>(up.begin(), up.begin() + 8), expected);
    StreamInitializer::Destroy();
}

} // namespace
