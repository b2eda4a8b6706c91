#include "audio/StreamInitializer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "audio/AudioLibraryLog.h"
#include "audio/PCMGenerator.h"
#include "audio/SimulatedSoundCard.h"
#include "foundation/KedraLogger.h"

namespace Kedra::PAudioII {

using Kedra::Logging::KedraLogger;

namespace {

void LogInfo(const std::string& text) {
    KedraLogger::LogText("INFO    " + text + "\n");
}
void LogWarning(const std::string& text) {
    KedraLogger::LogText("WARNING " + text + "\n");
}

} // namespace

// ---------------------------------------------------------------------------------------------

PaInitializer*& PaInitializer::Instance() {
    static PaInitializer* instance = nullptr;
    return instance;
}

bool PaInitializer::EnsureInitialized() {
    PaInitializer*& self = Instance();
    if (self == nullptr) {
        LogInfo("PaInitializer::EnsureInstance() -> new PaInitializer()");
        self = new PaInitializer();
    }
    if (!self->initialized_) {
        LogInfo("PaInitializer::EnsureInitialized() -> Pa_Initialize()");
        RouteAudioLibraryMessagesToLog();
        self->lastError_ = Pa_Initialize();
        self->initialized_ = self->lastError_ == paNoError;
    }
    return self->initialized_;
}

bool PaInitializer::Terminate() {
    PaInitializer* self = Instance();
    if (self == nullptr)
        return true;
    if (self->initialized_) {
        LogInfo("PaInitializer::Terminate() -> Pa_Terminate()");
        self->lastError_ = Pa_Terminate();
        self->initialized_ = false;
    }
    return self->lastError_ == paNoError;
}

void PaInitializer::ReInitialize() {
    Terminate();
    EnsureInitialized();
}

bool PaInitializer::IsInitialized() {
    const PaInitializer* self = Instance();
    return self != nullptr && self->initialized_;
}

PaError PaInitializer::LastError() {
    const PaInitializer* self = Instance();
    return self != nullptr ? self->lastError_ : paNoError;
}

void PaInitializer::Destroy() {
    Terminate();
    delete Instance();
    Instance() = nullptr;
}

// ---------------------------------------------------------------------------------------------

StreamInitializer*& StreamInitializer::Instance() {
    static StreamInitializer* instance = nullptr;
    return instance;
}

StreamInitializer* StreamInitializer::Get() {
    StreamInitializer*& self = Instance();
    if (self == nullptr) {
        // PortAudio waits for the first open or device question: most commands never need it.
        LogInfo("StreamInitializer::Get() -> new StreamInitializer()");
        self = new StreamInitializer();
    }
    return self;
}

StreamInitializer* Stream() {
    return StreamInitializer::Get();
}

void StreamInitializer::Destroy() {
    delete Instance();
    Instance() = nullptr;
}

StreamInitializer::StreamInitializer() {
    for (auto& g : channelGain_)
        g.store(1.0f, std::memory_order_relaxed);
    for (auto& v : channelVolume_)
        v.store(1.0f, std::memory_order_relaxed);
}

StreamInitializer::~StreamInitializer() {
    Stop();
    if (simulated_)
        simulated_->Stop();
    if (stream_ != nullptr) {
        // A stream that opened but failed to start is still open.
        Pa_CloseStream(stream_);
        stream_ = nullptr;
    }
    for (auto& slot : inputBuffers_) {
        if (StreamInBuffer* b = slot.exchange(nullptr))
            b->owner_.store(nullptr, std::memory_order_release);
    }
}

void StreamInitializer::SetSamplerate(int rate) {
    sampleRate_.store(rate, std::memory_order_relaxed);
}

void StreamInitializer::SetParams(std::unique_ptr<PaStreamParameters>& params, int device,
                                  int channels, bool lowLatency, bool output) {
    const char* who = output ? "SetOutDevice" : "SetInDevice";
    if (channels > MAX_CHANNELS) {
        LogWarning("StreamInitializer::" + std::string(who) + "(" + std::to_string(device) + ", " +
                   std::to_string(channels) + ") limited to " + std::to_string(MAX_CHANNELS) +
                   " channels");
        channels = MAX_CHANNELS;
    }
    if (!params) {
        params = std::make_unique<PaStreamParameters>();
        params->sampleFormat = paFloat32;
        params->suggestedLatency = 0.0;
        params->hostApiSpecificStreamInfo = nullptr;
    }
    params->device = device;
    params->channelCount = channels;
    const PaDeviceInfo* info = DeviceInfoOf(device);
    if (info == nullptr) {
        LogWarning("StreamInitializer::" + std::string(who) + "(" + std::to_string(device) + ", " +
                   std::to_string(channels) + ") Failed. Pa_GetDeviceInfo returned 0");
        return;
    }
    if (output)
        params->suggestedLatency =
            lowLatency ? info->defaultLowOutputLatency : info->defaultHighOutputLatency;
    else
        params->suggestedLatency =
            lowLatency ? info->defaultLowInputLatency : info->defaultHighInputLatency;
}

void StreamInitializer::SetOutDevice(int device, int channels, bool lowLatency) {
    // An open stream plays on the devices it was opened with: a change takes a reopen.
    if (GetOutDevice() != device || GetOutChannels() != std::min(channels, MAX_CHANNELS))
        Stop();
    // Fixed arrays: a running callback never sees them reallocated.
    for (int i = 0; i < MAX_CHANNELS; ++i) {
        channelGain_[static_cast<std::size_t>(i)].store(1.0f, std::memory_order_relaxed);
        channelVolume_[static_cast<std::size_t>(i)].store(outVolume_, std::memory_order_relaxed);
    }
    SetParams(outParams_, device, channels, lowLatency, true);
}

void StreamInitializer::SetInDevice(int device, int channels, bool lowLatency) {
    if (GetInDevice() != device || GetInChannels() != std::min(channels, MAX_CHANNELS))
        Stop();
    SetParams(inParams_, device, channels, lowLatency, false);
}

std::string StreamInitializer::GetPaErrorText() const {
    return Pa_GetErrorText(lastError_);
}

void StreamInitializer::SetOutVolume(float v) {
    outVolume_ = v;
    if (!outParams_)
        return;
    for (int i = 0; i < outParams_->channelCount; ++i)
        channelVolume_[static_cast<std::size_t>(i)].store(
            channelGain_[static_cast<std::size_t>(i)].load(std::memory_order_relaxed) * v,
            std::memory_order_relaxed);
}

void StreamInitializer::SetOutChMask(int mask) {
    if (!outParams_)
        return;
    for (int i = 0; i < outParams_->channelCount; ++i) {
        // Signed test: bit 31 never selects a channel.
        const bool on = i < 31 && (mask & (1 << i)) > 0;
        channelGain_[static_cast<std::size_t>(i)].store(on ? 1.0f : 0.0f,
                                                        std::memory_order_relaxed);
        channelVolume_[static_cast<std::size_t>(i)].store(on ? outVolume_ : 0.0f,
                                                          std::memory_order_relaxed);
    }
}

int StreamInitializer::GetOutChMask() const {
    if (!outParams_)
        return 0;
    int mask = 0;
    for (int i = 0; i < std::min(outParams_->channelCount, 31); ++i)
        if (channelGain_[static_cast<std::size_t>(i)].load(std::memory_order_relaxed) > 0.0f)
            mask += 1 << i;
    return mask;
}

float StreamInitializer::GetChannelGain(int channel) const {
    if (channel < 0 || channel >= MAX_CHANNELS)
        return 0.0f;
    return channelGain_[static_cast<std::size_t>(channel)].load(std::memory_order_relaxed);
}

float StreamInitializer::GetChannelVolume(int channel) const {
    if (channel < 0 || channel >= MAX_CHANNELS)
        return 0.0f;
    return channelVolume_[static_cast<std::size_t>(channel)].load(std::memory_order_relaxed);
}

void StreamInitializer::WaitForCallbackToPass() const {
    const std::uint64_t seen = callbackEpoch_.load(std::memory_order_seq_cst);
    if (seen % 2 == 0)
        return;
    // A callback is inside; the next one will see the new state. Give up only if the audio
    // thread hangs, which would be a driver fault.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (callbackEpoch_.load(std::memory_order_seq_cst) == seen) {
        if (std::chrono::steady_clock::now() > deadline) {
            LogWarning("StreamInitializer::WaitForCallbackToPass() audio callback does not "
                       "return");
            return;
        }
        std::this_thread::yield();
    }
}

void StreamInitializer::SetGenerator(PCMGenerator* generator) {
    generator_.store(generator, std::memory_order_seq_cst);
    WaitForCallbackToPass();
}

bool StreamInitializer::AddInputBuffer(StreamInBuffer* buffer) {
    if (buffer == nullptr)
        return false;
    StreamInitializer* owner = buffer->owner_.load(std::memory_order_acquire);
    if (owner == this)
        return true;
    if (owner != nullptr)
        return false;
    for (auto& slot : inputBuffers_) {
        if (slot.load(std::memory_order_relaxed) == nullptr) {
            buffer->owner_.store(this, std::memory_order_release);
            slot.store(buffer, std::memory_order_seq_cst);
            return true;
        }
    }
    LogWarning("StreamInitializer::AddInputBuffer() no free slot for another input buffer");
    return false;
}

void StreamInitializer::RemoveInputBuffer(StreamInBuffer* buffer) {
    if (buffer == nullptr)
        return;
    for (auto& slot : inputBuffers_) {
        StreamInBuffer* expected = buffer;
        slot.compare_exchange_strong(expected, nullptr, std::memory_order_seq_cst);
    }
    buffer->owner_.store(nullptr, std::memory_order_release);
    WaitForCallbackToPass();
}

int StreamInitializer::InputBufferCount() const {
    int n = 0;
    for (const auto& slot : inputBuffers_)
        n += slot.load(std::memory_order_acquire) != nullptr ? 1 : 0;
    return n;
}

void StreamInitializer::AddStatusCallback(StatusCallback fn) {
    RemoveStatusCallback(fn);
    statusCallbacks_.push_back(fn);
}

void StreamInitializer::RemoveStatusCallback(StatusCallback fn) {
    statusCallbacks_.erase(std::remove(statusCallbacks_.begin(), statusCallbacks_.end(), fn),
                           statusCallbacks_.end());
}

void StreamInitializer::NotifyStatus() {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const StreamStatus now = GetStatus();
    // A copy, so that a callback may add or remove callbacks.
    const std::vector<StatusCallback> callbacks = statusCallbacks_;
    for (StatusCallback fn : callbacks)
        if (fn != nullptr)
            fn(now);
}

void StreamInitializer::Start() {
    PaInitializer::EnsureInitialized();
    const StreamStatus status = GetStatus();
    const bool simOut = outParams_ && IsSimulatedDevice(outParams_->device);
    const bool simIn = inParams_ && IsSimulatedDevice(inParams_->device);
    if (status == STREAM_OPEN) {
        if (simulated_) {
            simulated_->Start();
            lastError_ = paNoError;
        } else {
            lastError_ = Pa_StartStream(stream_);
        }
    } else if (status == STREAM_STOPPED || status == STREAM_START_FAILED) {
        // A failed start may be retried: close what the failed attempt left open.
        if (stream_ != nullptr) {
            Pa_CloseStream(stream_);
            stream_ = nullptr;
        }
        simulated_.reset();
        const int outChannels = outParams_ ? outParams_->channelCount : 0;
        const int inChannels = inParams_ ? inParams_->channelCount : 0;
        openOutChannels_.store(outChannels, std::memory_order_relaxed);
        openInChannels_.store(inChannels, std::memory_order_relaxed);
        if (simOut || simIn) {
            // The simulated card cannot be combined with a real device.
            if ((outParams_ && !simOut) || (inParams_ && !simIn) || outChannels < 0 ||
                inChannels < 0) {
                lastError_ = paInvalidDevice;
            } else {
                const SimulatedModel model =
                    SimulatedModelOf(simIn ? inParams_->device : outParams_->device);
                simulated_ = std::make_unique<SimulatedSoundCard>(this, model, GetSamplerate(),
                                                                  inChannels, outChannels);
                simulated_->Start();
                lastError_ = paNoError;
            }
        } else {
            PaStreamFlags flags = paNoFlag;
            if (inParams_)
                flags |= paNeverDropInput;
            if (outParams_)
                flags |= paPrimeOutputBuffersUsingStreamCallback;
            lastError_ = Pa_OpenStream(&stream_, inParams_.get(), outParams_.get(), GetSamplerate(),
                                       paFramesPerBufferUnspecified, flags,
                                       &StreamInitializer::PaCallback, this);
            if (lastError_ == paNoError)
                lastError_ = Pa_StartStream(stream_);
            else
                stream_ = nullptr;
        }
    }
    if (lastError_ == paNoError) {
        LogInfo("StreamInitializer::Start() - SUCCES");
        status_.store(STREAM_RUNNING, std::memory_order_release);
    } else {
        LogWarning("StreamInitializer::Start() - ERROR : " + GetPaErrorText());
        status_.store(STREAM_START_FAILED, std::memory_order_release);
    }
    NotifyStatus();
}

void StreamInitializer::Stop() {
    const StreamStatus status = GetStatus();
    if (status == STREAM_STOPPED || status == STREAM_START_FAILED)
        return;
    LogInfo("StreamInitializer::Stop()");
    if (simulated_) {
        simulated_->Stop();
        simulated_.reset();
        lastError_ = paNoError;
    } else if (stream_ != nullptr) {
        lastError_ = Pa_CloseStream(stream_);
        stream_ = nullptr;
    }
    status_.store(STREAM_STOPPED, std::memory_order_release);
    if (PCMGenerator* gen = GetGenerator())
        gen->Reset();
    NotifyStatus();
}

void StreamInitializer::PrepareDirectCallback(int inChannels, int outChannels) {
    if (GetStatus() == STREAM_RUNNING)
        return;
    openInChannels_.store(std::clamp(inChannels, 0, MAX_CHANNELS), std::memory_order_relaxed);
    openOutChannels_.store(std::clamp(outChannels, 0, MAX_CHANNELS), std::memory_order_relaxed);
}

float StreamInitializer::AdvanceRamp() noexcept {
    float gain = rampGainDb_.load(std::memory_order_relaxed);
    const float step = rampStepDb_.load(std::memory_order_relaxed);
    if (rampDown_.load(std::memory_order_acquire)) {
        gain -= step;
        if (gain <= -50.0f) {
            rampDown_.store(false, std::memory_order_release);
            outputEnabled_.store(false, std::memory_order_release);
        }
    } else if (rampUp_.load(std::memory_order_acquire)) {
        gain += step;
        if (gain >= 0.0f) {
            gain = 0.0f;
            rampUp_.store(false, std::memory_order_release);
        }
    } else {
        gain = 0.0f;
    }
    rampGainDb_.store(gain, std::memory_order_relaxed);
    return std::pow(10.0f, gain * 0.05f);
}

int StreamInitializer::ProcessBlock(const float* input, float* output,
                                    unsigned long frames) noexcept {
    callbackEpoch_.fetch_add(1, std::memory_order_seq_cst);
    lastFrameCount_.store(frames, std::memory_order_relaxed);
    const int nOut = std::min(openOutChannels_.load(std::memory_order_relaxed), MAX_CHANNELS);
    const int nIn = std::min(openInChannels_.load(std::memory_order_relaxed), MAX_CHANNELS);
    const auto count = static_cast<long>(frames);
    long trigger = 0;
    bool triggeredNow = false;

    if (output != nullptr && nOut > 0) {
        PCMGenerator* gen = generator_.load(std::memory_order_seq_cst);
        for (long k = 0; k < count; ++k) {
            float* frame = output + k * nOut;
            if (gen != nullptr && outputEnabled_.load(std::memory_order_acquire)) {
                bool isFirst = false;
                if (!gen->NextFrame(frame, nOut, &isFirst))
                    outputEnabled_.store(false, std::memory_order_release);
                if (isFirst) {
                    LogInfo("StreamInitializer::PaIOCallback -> Triggered!");
                    trigger = k;
                    triggeredNow = true;
                    for (auto& slot : inputBuffers_)
                        if (StreamInBuffer* b = slot.load(std::memory_order_seq_cst))
                            b->triggered_.store(true, std::memory_order_release);
                }
                for (int ch = 0; ch < nOut; ++ch)
                    frame[ch] *= channelVolume_[static_cast<std::size_t>(ch)].load(
                        std::memory_order_relaxed);
                if (rampEnabled_.load(std::memory_order_relaxed) &&
                    (rampUp_.load(std::memory_order_acquire) ||
                     rampDown_.load(std::memory_order_acquire))) {
                    const float g = AdvanceRamp();
                    for (int ch = 0; ch < nOut; ++ch)
                        frame[ch] *= g;
                }
            } else {
                std::fill(frame, frame + nOut, 0.0f);
            }
        }
    }

    if (input != nullptr && nIn > 0) {
        const bool inverted = inInverted_.load(std::memory_order_relaxed);
        for (auto& slot : inputBuffers_) {
            StreamInBuffer* b = slot.load(std::memory_order_seq_cst);
            if (b == nullptr)
                continue;
            long from = 0;
            if (b->waitForTrigger_) {
                if (!b->triggered_.load(std::memory_order_acquire))
                    continue;
                from = triggeredNow ? trigger : 0;
            }
            const int mask = b->channelMask_.load(std::memory_order_relaxed);
            for (long k = from; k < count; ++k) {
                for (int ch = 0; ch < std::min(nIn, 31); ++ch) {
                    if ((mask & (1 << ch)) > 0) {
                        const float s = input[k * nIn + ch];
                        const float v = inverted ? -s : s;
                        b->Write(&v, 1);
                    }
                }
            }
        }
    }

    if (CallbackHook hook = callbackHook_.load(std::memory_order_acquire))
        hook(this);
    processedFrames_.fetch_add(frames, std::memory_order_release);
    callbackEpoch_.fetch_add(1, std::memory_order_seq_cst);
    return paContinue;
}

int StreamInitializer::PaCallback(const void* input, void* output, unsigned long frames,
                                  const PaStreamCallbackTimeInfo* /*timeInfo*/,
                                  PaStreamCallbackFlags /*statusFlags*/, void* userData) {
    auto* self = static_cast<StreamInitializer*>(userData);
    return self->ProcessBlock(static_cast<const float*>(input), static_cast<float*>(output),
                              frames);
}

void CleanUp() {
    LogInfo("PAudioII::CleanUp()");
    StreamInitializer::Destroy();
    PaInitializer::Destroy();
}

} // namespace Kedra::PAudioII
