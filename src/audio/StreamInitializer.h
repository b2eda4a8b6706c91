#pragma once
// The process-wide full-duplex sound-card stream (32-bit float). It plays the generator
// installed on it and hands the recorded input to the attached input buffers.
//
// Threads: the IO callback runs on the audio thread (PortAudio's, or the simulated sound
// card's). It reads the installed generator, the output flags, the ramp, the channel volumes
// and the attached buffers through atomics, writes into the buffers, and never allocates,
// locks or blocks (apart from the one trigger log line). Everything else runs on the caller's
// thread. Removing a generator or a buffer waits until the callback no longer uses it, so the
// caller may destroy it right after the call returns.

#include <portaudio.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/StreamInBuffer.h"

namespace Kedra::PAudioII {

class PCMGenerator;
class StreamInitializer;
class SimulatedSoundCard;

enum StreamStatus : std::int32_t {
    STREAM_RUNNING = 0,
    STREAM_OPEN = 1,
    STREAM_STOPPED = 2,
    STREAM_START_FAILED = 3,
};

using StatusCallback = void (*)(StreamStatus);
using CallbackHook = void (*)(StreamInitializer*);

// Guards PortAudio's initialisation; one per process.
class PaInitializer {
public:
    static bool EnsureInitialized();
    static bool Terminate();
    static void ReInitialize();
    static bool IsInitialized();
    static PaError LastError();
    // Terminates and forgets the instance (used by CleanUp).
    static void Destroy();

private:
    PaInitializer() = default;
    static PaInitializer*& Instance();

    bool initialized_ = false;
    PaError lastError_ = paNoError;
};

class StreamInitializer {
public:
    static constexpr int MAX_CHANNELS = 64;
    static constexpr int MAX_INPUT_BUFFERS = 16;

    // Creating the stream leaves PortAudio alone; Start and choosing a device initialise it.
    static StreamInitializer* Get();
    // Stops the stream, detaches every buffer and forgets the instance (used by CleanUp).
    static void Destroy();

    StreamInitializer(const StreamInitializer&) = delete;
    StreamInitializer& operator=(const StreamInitializer&) = delete;

    void SetSamplerate(int rate);
    int GetSamplerate() const { return sampleRate_.load(std::memory_order_relaxed); }

    // Device indices count PortAudio's devices first, then the simulated sound card's.
    void SetOutDevice(int device, int channels, bool lowLatency);
    void SetInDevice(int device, int channels, bool lowLatency);
    int GetOutDevice() const { return outParams_ ? outParams_->device : -1; }
    int GetInDevice() const { return inParams_ ? inParams_->device : -1; }
    int GetOutChannels() const { return outParams_ ? outParams_->channelCount : 0; }
    int GetInChannels() const { return inParams_ ? inParams_->channelCount : 0; }
    const PaStreamParameters* GetOutParams() const { return outParams_.get(); }
    const PaStreamParameters* GetInParams() const { return inParams_.get(); }

    void Start();
    void Stop();
    StreamStatus GetStatus() const { return status_.load(std::memory_order_acquire); }
    PaError GetLastError() const { return lastError_; }
    std::string GetPaErrorText() const;

    void SetInInverted(bool inverted) { inInverted_.store(inverted, std::memory_order_relaxed); }
    bool GetInInverted() const { return inInverted_.load(std::memory_order_relaxed); }
    void SetOutVolume(float v);
    float GetOutVolume() const { return outVolume_; }
    void SetOutChMask(int mask);
    int GetOutChMask() const;
    float GetChannelGain(int channel) const;
    float GetChannelVolume(int channel) const;

    // The generator is borrowed. Installing null waits until the callback has let go of the
    // previous one.
    void SetGenerator(PCMGenerator* generator);
    PCMGenerator* GetGenerator() const { return generator_.load(std::memory_order_acquire); }
    void SetOutputEnabled(bool enabled) {
        outputEnabled_.store(enabled, std::memory_order_release);
    }
    bool GetOutputEnabled() const { return outputEnabled_.load(std::memory_order_acquire); }

    // Soft output ramp in dB per frame between 0 dB and -50 dB.
    void SetRampEnabled(bool enabled) { rampEnabled_.store(enabled, std::memory_order_relaxed); }
    bool GetRampEnabled() const { return rampEnabled_.load(std::memory_order_relaxed); }
    void SetRampStepDb(float step) { rampStepDb_.store(step, std::memory_order_relaxed); }
    float GetRampStepDb() const { return rampStepDb_.load(std::memory_order_relaxed); }
    void SetRampGainDb(float gain) { rampGainDb_.store(gain, std::memory_order_relaxed); }
    float GetRampGainDb() const { return rampGainDb_.load(std::memory_order_relaxed); }
    void SetRampUp(bool up) { rampUp_.store(up, std::memory_order_release); }
    bool GetRampUp() const { return rampUp_.load(std::memory_order_acquire); }
    void SetRampDown(bool down) { rampDown_.store(down, std::memory_order_release); }
    bool GetRampDown() const { return rampDown_.load(std::memory_order_acquire); }

    // Buffers are borrowed. Returns false when the buffer is attached elsewhere or the list is
    // full. RemoveInputBuffer waits until the callback has let go of it.
    bool AddInputBuffer(StreamInBuffer* buffer);
    void RemoveInputBuffer(StreamInBuffer* buffer);
    int InputBufferCount() const;

    void AddStatusCallback(StatusCallback fn);
    void RemoveStatusCallback(StatusCallback fn);

    void SetCallbackHook(CallbackHook hook) {
        callbackHook_.store(hook, std::memory_order_release);
    }
    unsigned long GetLastFrameCount() const {
        return lastFrameCount_.load(std::memory_order_relaxed);
    }
    // Frames of every IO callback so far: the device's own clock, for waits that must follow
    // what the card delivers rather than the wall clock.
    std::uint64_t GetProcessedFrames() const {
        return processedFrames_.load(std::memory_order_acquire);
    }

    // The IO callback itself, shared by PortAudio and the simulated sound card.
    int ProcessBlock(const float* input, float* output, unsigned long frames) noexcept;
    // Lets ProcessBlock be called directly, without a device, with these channel counts
    // (offline rendering and tests). Only while the stream is stopped.
    void PrepareDirectCallback(int inChannels, int outChannels);

private:
    StreamInitializer();
    ~StreamInitializer();
    static StreamInitializer*& Instance();
    static int PaCallback(const void* input, void* output, unsigned long frames,
                          const PaStreamCallbackTimeInfo* timeInfo,
                          PaStreamCallbackFlags statusFlags, void* userData);

    void NotifyStatus();
    // Returns once no callback that could have seen the old state is still running.
    void WaitForCallbackToPass() const;
    float AdvanceRamp() noexcept;
    void SetParams(std::unique_ptr<PaStreamParameters>& params, int device, int channels,
                   bool lowLatency, bool output);

    std::atomic<CallbackHook> callbackHook_{nullptr};
    PaError lastError_ = paNoError;
    PaStream* stream_ = nullptr;
    std::unique_ptr<SimulatedSoundCard> simulated_;
    std::atomic<StreamStatus> status_{STREAM_STOPPED};
    std::atomic<int> sampleRate_{44100};
    std::atomic<bool> outputEnabled_{true};
    std::unique_ptr<PaStreamParameters> outParams_;
    std::atomic<PCMGenerator*> generator_{nullptr};
    float outVolume_ = 1.0f;
    std::array<std::atomic<float>, MAX_CHANNELS> channelGain_{};
    std::array<std::atomic<float>, MAX_CHANNELS> channelVolume_{};
    std::atomic<bool> rampDown_{false};
    std::atomic<bool> rampUp_{false};
    std::atomic<bool> rampEnabled_{false};
    std::atomic<float> rampGainDb_{0.0f};
    std::atomic<float> rampStepDb_{0.0f};
    std::unique_ptr<PaStreamParameters> inParams_;
    std::atomic<bool> inInverted_{false};
    std::array<std::atomic<StreamInBuffer*>, MAX_INPUT_BUFFERS> inputBuffers_{};
    std::vector<StatusCallback> statusCallbacks_;
    std::atomic<unsigned long> lastFrameCount_{0};
    std::atomic<std::uint64_t> processedFrames_{0};
    // Channel counts of the stream as opened; the callback never reads the records above.
    std::atomic<int> openOutChannels_{0};
    std::atomic<int> openInChannels_{0};
    // Odd while a callback runs; lets the caller wait until a removed object is unused.
    mutable std::atomic<std::uint64_t> callbackEpoch_{0};
};

// The stream singleton, created on first use.
StreamInitializer* Stream();

// Releases the stream and PortAudio at the end of the process.
void CleanUp();

} // namespace Kedra::PAudioII
