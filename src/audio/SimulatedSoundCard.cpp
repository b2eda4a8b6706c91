#include "audio/SimulatedSoundCard.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <mutex>
#include <optional>

#include "audio/StreamInitializer.h"
#include "foundation/Fft.h"
#include "foundation/MathConstants.h"

namespace Kedra::PAudioII {

using Kedra::Math::PI;
using Kedra::Math::TWOPI;

namespace {

constexpr const char* MODEL_NAMES[SIMULATED_DEVICE_COUNT] = {"loopback", "speaker", "room", "dead"};
constexpr const char* DEVICE_NAMES[SIMULATED_DEVICE_COUNT] = {
    "Simulated loopback", "Simulated speaker", "Simulated room", "Simulated dead"};
// Half length of the windowed-sinc fractional delay: flat to about 20 kHz at 48 kHz.
constexpr int FRACTIONAL_HALF = 48;

std::mutex paramsMutex;
std::array<std::optional<DeviceModelParams>, SIMULATED_DEVICE_COUNT> paramsOverride;
std::atomic<double> speedFactor{64.0};

std::uint64_t SplitMix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Uniform in (0, 1), never 0 so that a logarithm of it is finite.
double Uniform(std::uint64_t& state) {
    return (static_cast<double>(SplitMix(state) >> 11) + 0.5) * (1.0 / 9007199254740992.0);
}

std::size_t PowerOfTwoAtLeast(std::size_t n) {
    std::size_t p = 1;
    while (p < n)
        p <<= 1;
    return p;
}

} // namespace

const char* SimulatedModelName(SimulatedModel model) {
    const int i = static_cast<int>(model);
    return (i >= 0 && i < SIMULATED_DEVICE_COUNT) ? MODEL_NAMES[i] : "unknown";
}

bool SimulatedModelFromName(const std::string& name, SimulatedModel* model) {
    for (int i = 0; i < SIMULATED_DEVICE_COUNT; ++i)
        if (name == MODEL_NAMES[i]) {
            *model = static_cast<SimulatedModel>(i);
            return true;
        }
    return false;
}

// Both ask PortAudio first: the simulated devices' indices must not depend on whether
// something else has initialised it yet.
int PortAudioDeviceCount() {
    if (!PaInitializer::EnsureInitialized())
        return 0;
    const int n = Pa_GetDeviceCount();
    return n > 0 ? n : 0;
}

int SimulatedHostApiIndex() {
    const int n = PaInitializer::EnsureInitialized() ? Pa_GetHostApiCount() : 0;
    return n > 0 ? n : 0;
}

bool IsSimulatedDevice(int device) {
    const int first = PortAudioDeviceCount();
    return device >= first && device < first + SIMULATED_DEVICE_COUNT;
}

int SimulatedDeviceIndex(SimulatedModel model) {
    return PortAudioDeviceCount() + static_cast<int>(model);
}

SimulatedModel SimulatedModelOf(int device) {
    return static_cast<SimulatedModel>(device - PortAudioDeviceCount());
}

const PaDeviceInfo* DeviceInfoOf(int device) {
    if (device < 0)
        return nullptr;
    if (!IsSimulatedDevice(device))
        return PaInitializer::EnsureInitialized() ? Pa_GetDeviceInfo(device) : nullptr;
    static thread_local std::array<PaDeviceInfo, SIMULATED_DEVICE_COUNT> infos{};
    const int i = device - PortAudioDeviceCount();
    PaDeviceInfo& info = infos[static_cast<std::size_t>(i)];
    info.structVersion = 2;
    info.name = DEVICE_NAMES[i];
    info.hostApi = SimulatedHostApiIndex();
    info.maxInputChannels = SIMULATED_INPUT_CHANNELS;
    info.maxOutputChannels = SIMULATED_OUTPUT_CHANNELS;
    info.defaultLowInputLatency = 0.01;
    info.defaultLowOutputLatency = 0.01;
    info.defaultHighInputLatency = 0.1;
    info.defaultHighOutputLatency = 0.1;
    info.defaultSampleRate = 48000.0;
    return &info;
}

DeviceModelParams DeviceModelParams::For(SimulatedModel model, int sampleRate) {
    DeviceModelParams p;
    p.model = model;
    p.sampleRate = sampleRate;
    if (model == SimulatedModel::Loopback) {
        p.acousticGainDb = 0.0;
        p.filtersEnabled = false;
        p.nonlinear = false;
        p.noiseDbfs = -INFINITY;
        p.distanceMetres = 0.0;
    }
    if (model != SimulatedModel::Room) {
        p.reflections.clear();
        p.tailLevel = 0.0;
    } else {
        // The reflections and the tail add up to about 8 dB more at the input than the
        // direct sound alone; the microphone stands further away.
        p.acousticGainDb = -20.0;
    }
    return p;
}

DeviceModelParams DeviceModelParams::ForInput(int input) const {
    if (input < SIMULATED_REFERENCE_INPUT)
        return *this;
    if (input == SIMULATED_REFERENCE_INPUT) {
        DeviceModelParams p = For(SimulatedModel::Loopback, sampleRate);
        p.latencySamples = latencySamples;
        return p;
    }
    DeviceModelParams p = *this;
    const auto far = static_cast<std::size_t>(input - SIMULATED_REFERENCE_INPUT - 1);
    if (far < farMicrophonesMetres.size()) {
        const double to = farMicrophonesMetres[far];
        if (distanceMetres > 0.0 && to > 0.0)
            p.acousticGainDb += 20.0 * std::log10(distanceMetres / to);
        p.distanceMetres = to;
    }
    p.noiseSeed = noiseSeed + static_cast<std::uint32_t>(input);
    return p;
}

double DeviceModel::Biquad::Step(double x) {
    // Transposed direct form II.
    const double y = b0 * x + z1;
    z1 = b1 * x - a1 * y + z2;
    z2 = b2 * x - a2 * y;
    return y;
}

std::complex<double> DeviceModel::Biquad::At(double w) const {
    const std::complex<double> z1v = std::polar(1.0, -w);
    const std::complex<double> z2v = std::polar(1.0, -2.0 * w);
    return (b0 + b1 * z1v + b2 * z2v) / (1.0 + a1 * z1v + a2 * z2v);
}

DeviceModel::DeviceModel(const DeviceModelParams& params) : params_(params) {
    const double fs = params_.sampleRate > 0 ? params_.sampleRate : 48000.0;
    params_.sampleRate = static_cast<int>(fs);
    auto design = [&](double f0, double q, double gainDb, int kind) {
        // Audio-EQ biquads (bilinear transform): 0 high-pass, 1 low-pass, 2 peaking.
        Biquad b;
        const double w0 = TWOPI * f0 / fs;
        const double c = std::cos(w0);
        const double alpha = std::sin(w0) / (2.0 * q);
        const double amp = std::pow(10.0, gainDb / 40.0);
        double b0, b1, b2, a0, a1, a2;
        if (kind == 0) {
            b0 = (1 + c) / 2, b1 = -(1 + c), b2 = (1 + c) / 2;
            a0 = 1 + alpha, a1 = -2 * c, a2 = 1 - alpha;
        } else if (kind == 1) {
            b0 = (1 - c) / 2, b1 = 1 - c, b2 = (1 - c) / 2;
            a0 = 1 + alpha, a1 = -2 * c, a2 = 1 - alpha;
        } else {
            b0 = 1 + alpha * amp, b1 = -2 * c, b2 = 1 - alpha * amp;
            a0 = 1 + alpha / amp, a1 = -2 * c, a2 = 1 - alpha / amp;
        }
        b.b0 = b0 / a0, b.b1 = b1 / a0, b.b2 = b2 / a0, b.a1 = a1 / a0, b.a2 = a2 / a0;
        biquads_.push_back(b);
    };
    if (params_.filtersEnabled) {
        const double nyquist = fs / 2;
        if (params_.highpassHz > 0 && params_.highpassHz < 0.49 * fs)
            design(params_.highpassHz, params_.highpassQ, 0.0, 0);
        if (params_.resonanceHz > 0 && params_.resonanceHz < 0.49 * fs)
            design(params_.resonanceHz, params_.resonanceQ, params_.resonanceGainDb, 2);
        // A roll-off above what the rate can carry is left out rather than folded down.
        if (params_.lowpassHz > 0 && params_.lowpassHz < 0.98 * nyquist)
            design(params_.lowpassHz, params_.lowpassQ, 0.0, 1);
    }

    const double acoustic =
        params_.speedOfSound > 0 ? params_.distanceMetres / params_.speedOfSound * fs : 0.0;
    delay_ = std::max(0, params_.latencySamples) + std::max(0.0, acoustic);
    delayInt_ = static_cast<int>(std::floor(delay_));
    const double frac = delay_ - delayInt_;
    if (frac == 0.0) {
        tapFirst_ = tapLast_ = 0;
        fracTaps_ = {1.0};
    } else {
        // y[n] = sum over k of h[k] x[n - delayInt - k], k = -H+1 .. H: a Blackman-windowed
        // sinc centred on the fractional part, scaled to unit gain at 0 Hz.
        tapFirst_ = -FRACTIONAL_HALF + 1;
        tapLast_ = FRACTIONAL_HALF;
        fracTaps_.clear();
        double sum = 0.0;
        for (int k = tapFirst_; k <= tapLast_; ++k) {
            const double t = k - frac;
            const double sinc = std::sin(PI * t) / (PI * t);
            const double win = 0.42 + 0.5 * std::cos(PI * t / FRACTIONAL_HALF) +
                               0.08 * std::cos(TWOPI * t / FRACTIONAL_HALF);
            fracTaps_.push_back(sinc * win);
            sum += sinc * win;
        }
        for (double& h : fracTaps_)
            h /= sum;
    }
    fracOldestFirst_.assign(fracTaps_.rbegin(), fracTaps_.rend());
    minDelay_ = delayInt_ + tapFirst_;

    roomTaps_ = {{0, 1.0}};
    for (const Reflection& r : params_.reflections)
        roomTaps_.emplace_back(static_cast<int>(std::lround(r.delaySeconds * fs)), r.gain);
    if (params_.tailLevel > 0.0 && params_.tailDensity > 0.0 && params_.t60Seconds > 0.0) {
        std::uint64_t state = params_.tailSeed;
        const double spacing = fs / params_.tailDensity;
        const int begin = static_cast<int>(std::lround(params_.tailStartSeconds * fs));
        const int end = begin + static_cast<int>(std::lround(params_.tailLengthSeconds * fs));
        // 60 dB of decay over T60, counted from the direct sound.
        const double decay = std::log(1000.0) / (params_.t60Seconds * fs);
        for (double start = begin; start < end; start += spacing) {
            const int at = static_cast<int>(start + Uniform(state) * spacing);
            const double sign = Uniform(state) < 0.5 ? -1.0 : 1.0;
            roomTaps_.emplace_back(at, sign * params_.tailLevel * std::exp(-decay * (at - begin)));
        }
    }
    int maxLag = 0;
    for (const auto& tap : roomTaps_)
        maxLag = std::max(maxLag, tap.first);
    PlanRoom(maxLag);
    // The far part reads back two of its blocks of the delayed signal.
    const int reach = farBlock_ > 0 ? std::max(maxLag, 2 * farBlock_) : maxLag;
    history_.assign(PowerOfTwoAtLeast(static_cast<std::size_t>(delayInt_ + tapLast_ + reach) +
                                      2 * SimulatedSoundCard::BLOCK_FRAMES),
                    0.0);
    delayed_.assign(history_.size(), 0.0);
    historyMask_ = history_.size() - 1;
    acousticGain_ = std::pow(10.0, params_.acousticGainDb / 20.0);
    noiseRms_ = std::isfinite(params_.noiseDbfs) ? std::pow(10.0, params_.noiseDbfs / 20.0) : 0.0;
    Reset();
}

void DeviceModel::PlanRoom(int maxLag) {
    // Per output sample, a block size P costs its near taps (lags below P), one complex
    // multiply-add per far partition, and a share of two transforms of 2P reals. A near tap,
    // read from scattered places in the history, costs about as much as a partition (timed
    // in bench/). P only sets the cost, never the result.
    auto nearCount = [&](int p) {
        return static_cast<double>(std::count_if(roomTaps_.begin(), roomTaps_.end(),
                                                 [p](const auto& tap) { return tap.first < p; }));
    };
    double best = 4.0 * nearCount(maxLag + 1);
    farBlock_ = 0;
    for (int p = 32; p <= 16384 && p <= maxLag; p *= 2) {
        const double parts = maxLag / p;
        const double cost = 4.0 * nearCount(p) + 4.0 * parts + 5.0 * std::log2(2.0 * p);
        if (cost < best) {
            best = cost;
            farBlock_ = p;
        }
    }
    nearTaps_.clear();
    farParts_ = farBlock_ > 0 ? maxLag / farBlock_ : 0;
    const std::size_t frame = 2 * static_cast<std::size_t>(farBlock_);
    farKernel_.assign(static_cast<std::size_t>(farParts_) * frame, 0.0);
    for (const auto& [lag, gain] : roomTaps_) {
        if (farBlock_ == 0 || lag < farBlock_) {
            nearTaps_.emplace_back(lag, gain);
            continue;
        }
        // Partition j >= 1 holds the lags jP .. jP + P - 1, at j - 1 in the kernel.
        const std::size_t j = static_cast<std::size_t>(lag / farBlock_);
        farKernel_[(j - 1) * frame + static_cast<std::size_t>(lag % farBlock_)] += gain;
    }
    // The inverse RealFFT returns P times the samples; the kernel takes the 1/P.
    for (int j = 0; j < farParts_; ++j) {
        double* h = farKernel_.data() + static_cast<std::size_t>(j) * frame;
        Kedra::Math::RealFFT(h, static_cast<int>(frame), Kedra::Math::FFT_FORWARD);
        for (std::size_t i = 0; i < frame; ++i)
            h[i] /= farBlock_;
    }
    farInput_.assign(farKernel_.size(), 0.0);
    farSum_.assign(frame, 0.0);
    farOut_.assign(static_cast<std::size_t>(farBlock_), 0.0);
}

void DeviceModel::RunFarBlock(std::int64_t n) {
    const std::size_t p = static_cast<std::size_t>(farBlock_);
    const std::size_t frame = 2 * p;
    // The frame of the delayed signal before n, n - 2P .. n - 1, joins the delay line.
    farNewest_ = (farNewest_ + 1) % farParts_;
    double* x = farInput_.data() + static_cast<std::size_t>(farNewest_) * frame;
    for (std::size_t i = 0; i < frame; ++i) {
        const std::int64_t m = n - static_cast<std::int64_t>(frame - i);
        x[i] = m >= 0 ? delayed_[static_cast<std::size_t>(m) & historyMask_] : 0.0;
    }
    Kedra::Math::RealFFT(x, static_cast<int>(frame), Kedra::Math::FFT_FORWARD);
    // Kernel part j (lags (j + 1)P ..) meets the frame that ended j blocks ago. Bins 0 and P
    // are real and packed into the first two slots.
    std::fill(farSum_.begin(), farSum_.end(), 0.0);
    for (int j = 0; j < farParts_; ++j) {
        const int slot = (farNewest_ - j + farParts_) % farParts_;
        const double* a = farInput_.data() + static_cast<std::size_t>(slot) * frame;
        const double* h = farKernel_.data() + static_cast<std::size_t>(j) * frame;
        double* s = farSum_.data();
        s[0] += a[0] * h[0];
        s[1] += a[1] * h[1];
        for (std::size_t k = 2; k < frame; k += 2) {
            s[k] += a[k] * h[k] - a[k + 1] * h[k + 1];
            s[k + 1] += a[k] * h[k + 1] + a[k + 1] * h[k];
        }
    }
    Kedra::Math::RealFFT(farSum_.data(), static_cast<int>(frame), Kedra::Math::FFT_INVERSE);
    // Overlap-save: the second half is the linear convolution.
    std::copy(farSum_.begin() + static_cast<std::ptrdiff_t>(p), farSum_.end(), farOut_.begin());
}

void DeviceModel::Reset() {
    std::fill(history_.begin(), history_.end(), 0.0);
    std::fill(delayed_.begin(), delayed_.end(), 0.0);
    std::fill(farInput_.begin(), farInput_.end(), 0.0);
    std::fill(farOut_.begin(), farOut_.end(), 0.0);
    farNewest_ = 0;
    for (Biquad& b : biquads_)
        b.z1 = b.z2 = 0.0;
    time_ = 0;
    noiseState_ = params_.noiseSeed;
    haveSpare_ = false;
}

double DeviceModel::Shape(double x) const {
    if (!params_.nonlinear)
        return x;
    return x + params_.a2 * x * x + params_.a3 * x * x * x;
}

double DeviceModel::Filter(double x) {
    for (Biquad& b : biquads_)
        x = b.Step(x);
    return acousticGain_ * x;
}

double DeviceModel::NextNoise() {
    // Box-Muller on a private generator, so that a seed gives the same noise everywhere.
    if (haveSpare_) {
        haveSpare_ = false;
        return spare_;
    }
    const double r = std::sqrt(-2.0 * std::log(Uniform(noiseState_)));
    const double phi = TWOPI * Uniform(noiseState_);
    spare_ = r * std::sin(phi);
    haveSpare_ = true;
    return r * std::cos(phi);
}

std::complex<double> DeviceModel::Response(double f) const {
    const double w = TWOPI * f / params_.sampleRate;
    std::complex<double> h = acousticGain_;
    for (const Biquad& b : biquads_)
        h *= b.At(w);
    std::complex<double> delay = 0.0;
    for (int k = tapFirst_; k <= tapLast_; ++k)
        delay += fracTaps_[static_cast<std::size_t>(k - tapFirst_)] *
                 std::polar(1.0, -w * (delayInt_ + k));
    std::complex<double> room = 0.0;
    for (const auto& [lag, gain] : roomTaps_)
        room += gain * std::polar(1.0, -w * lag);
    return h * delay * room;
}

void DeviceModel::Input(float* out, int frames) {
    for (int i = 0; i < frames; ++i) {
        const std::int64_t n = time_ + i;
        // The direct sound first, then the room's taps over what arrived directly.
        double d = 0.0;
        const std::int64_t oldest = n - delayInt_ - tapLast_;
        const std::size_t base = static_cast<std::size_t>(oldest) & historyMask_;
        const std::size_t taps = fracOldestFirst_.size();
        if (oldest >= 0 && n - delayInt_ - tapFirst_ < time_ && base + taps <= history_.size()) {
            // Four partial sums let the compiler keep several multiply-adds in flight.
            const double* x = history_.data() + base;
            const double* h = fracOldestFirst_.data();
            double s[4] = {0.0, 0.0, 0.0, 0.0};
            std::size_t k = 0;
            for (; k + 4 <= taps; k += 4)
                for (std::size_t j = 0; j < 4; ++j)
                    s[j] += h[k + j] * x[k + j];
            for (; k < taps; ++k)
                s[0] += h[k] * x[k];
            d = (s[0] + s[1]) + (s[2] + s[3]);
        } else {
            for (int k = tapFirst_; k <= tapLast_; ++k) {
                const std::int64_t m = n - delayInt_ - k;
                // A drive sample that has not been played yet cannot have arrived.
                if (m >= 0 && m < time_)
                    d += fracTaps_[static_cast<std::size_t>(k - tapFirst_)] *
                         history_[static_cast<std::size_t>(m) & historyMask_];
            }
        }
        delayed_[static_cast<std::size_t>(n) & historyMask_] = d;
        double y = 0.0;
        if (farBlock_ > 0) {
            const auto r = static_cast<std::size_t>(n & (farBlock_ - 1));
            if (r == 0)
                RunFarBlock(n);
            y = farOut_[r];
        }
        for (const auto& [lag, gain] : nearTaps_)
            if (n - lag >= 0)
                y += gain * delayed_[static_cast<std::size_t>(n - lag) & historyMask_];
        if (noiseRms_ > 0.0)
            y += noiseRms_ * NextNoise();
        out[i] = static_cast<float>(y);
    }
}

void DeviceModel::Drive(const float* drive, int frames) {
    for (int i = 0; i < frames; ++i)
        history_[static_cast<std::size_t>(time_ + i) & historyMask_] = Filter(Shape(drive[i]));
    time_ += frames;
}

std::vector<float> DeviceModel::Run(const float* drive, int frames) {
    std::vector<float> input(static_cast<std::size_t>(std::max(frames, 0)));
    const int block = std::clamp(minDelay_, 1, SimulatedSoundCard::BLOCK_FRAMES);
    for (int at = 0; at < frames; at += block) {
        const int n = std::min(block, frames - at);
        Input(input.data() + at, n);
        Drive(drive + at, n);
    }
    return input;
}

SimulatedSoundCard::SimulatedSoundCard(StreamInitializer* stream, SimulatedModel model,
                                       int sampleRate, int inChannels, int outChannels)
    : stream_(stream), kind_(model), sampleRate_(sampleRate), inChannels_(inChannels),
      outChannels_(outChannels), model_(GetParams(model, sampleRate)) {}

SimulatedSoundCard::~SimulatedSoundCard() {
    Stop();
}

void SimulatedSoundCard::SetSpeed(double factor) {
    speedFactor.store(factor > 0 ? factor : 0.0, std::memory_order_relaxed);
}

double SimulatedSoundCard::GetSpeed() {
    return speedFactor.load(std::memory_order_relaxed);
}

void SimulatedSoundCard::SetParams(const DeviceModelParams& params) {
    const int i = static_cast<int>(params.model);
    if (i < 0 || i >= SIMULATED_DEVICE_COUNT)
        return;
    std::lock_guard<std::mutex> lock(paramsMutex);
    paramsOverride[static_cast<std::size_t>(i)] = params;
}

DeviceModelParams SimulatedSoundCard::GetParams(SimulatedModel model, int sampleRate) {
    const int i = static_cast<int>(model);
    std::lock_guard<std::mutex> lock(paramsMutex);
    if (i >= 0 && i < SIMULATED_DEVICE_COUNT && paramsOverride[static_cast<std::size_t>(i)]) {
        DeviceModelParams p = *paramsOverride[static_cast<std::size_t>(i)];
        p.sampleRate = sampleRate;
        return p;
    }
    return DeviceModelParams::For(model, sampleRate);
}

void SimulatedSoundCard::ResetParams() {
    std::lock_guard<std::mutex> lock(paramsMutex);
    for (auto& p : paramsOverride)
        p.reset();
}

void SimulatedSoundCard::Start() {
    if (running_.load(std::memory_order_acquire))
        return;
    stopRequested_.store(false, std::memory_order_release);
    running_.store(true, std::memory_order_release);
    thread_ = std::thread([this] { Run(); });
}

void SimulatedSoundCard::Stop() {
    stopRequested_.store(true, std::memory_order_release);
    if (thread_.joinable())
        thread_.join();
    running_.store(false, std::memory_order_release);
}

void SimulatedSoundCard::Run() {
    // All models and buffers are made here, before the first callback, like a driver's.
    std::vector<DeviceModel> channelModels;
    if (kind_ == SimulatedModel::Loopback)
        channelModels.assign(
            static_cast<std::size_t>(std::min(outChannels_, SIMULATED_REFERENCE_INPUT)), model_);
    // The reference and the further microphones, by input from SIMULATED_REFERENCE_INPUT on;
    // they hear the sum of the outputs, as the speaker does.
    std::vector<DeviceModel> extraModels;
    for (int in = SIMULATED_REFERENCE_INPUT; in < inChannels_ && in < SIMULATED_INPUT_CHANNELS;
         ++in)
        extraModels.emplace_back(model_.Params().ForInput(in));
    int shortest = model_.MinimumDelay();
    for (const DeviceModel& m : extraModels)
        shortest = std::min(shortest, m.MinimumDelay());
    const int block = std::clamp(shortest, 1, BLOCK_FRAMES);
    std::vector<float> input(static_cast<std::size_t>(block) * std::max(inChannels_, 1), 0.0f);
    std::vector<float> output(static_cast<std::size_t>(block) * std::max(outChannels_, 1), 0.0f);
    std::vector<float> mono(static_cast<std::size_t>(block), 0.0f);
    std::vector<float> drive(static_cast<std::size_t>(block), 0.0f);
    const auto at = [&](int frame, int ch) {
        return static_cast<std::size_t>(frame * inChannels_ + ch);
    };

    const auto began = std::chrono::steady_clock::now();
    std::int64_t frames = 0;
    while (!stopRequested_.load(std::memory_order_acquire)) {
        if (kind_ == SimulatedModel::Dead) {
            // Its input never arrives: no callback at all.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        std::fill(input.begin(), input.end(), 0.0f);
        if (kind_ == SimulatedModel::Loopback) {
            for (std::size_t ch = 0;
                 ch < channelModels.size() && static_cast<int>(ch) < inChannels_; ++ch) {
                channelModels[ch].Input(mono.data(), block);
                for (int i = 0; i < block; ++i)
                    input[at(i, static_cast<int>(ch))] = mono[static_cast<std::size_t>(i)];
            }
        } else {
            model_.Input(mono.data(), block);
            for (int i = 0; i < block; ++i)
                for (int ch = 0; ch < std::min(inChannels_, SIMULATED_REFERENCE_INPUT); ++ch)
                    input[at(i, ch)] = mono[static_cast<std::size_t>(i)];
        }
        for (std::size_t e = 0; e < extraModels.size(); ++e) {
            extraModels[e].Input(mono.data(), block);
            const int ch = SIMULATED_REFERENCE_INPUT + static_cast<int>(e);
            for (int i = 0; i < block; ++i)
                input[at(i, ch)] = mono[static_cast<std::size_t>(i)];
        }

        stream_->ProcessBlock(inChannels_ > 0 ? input.data() : nullptr,
                              outChannels_ > 0 ? output.data() : nullptr,
                              static_cast<unsigned long>(block));

        if (kind_ == SimulatedModel::Loopback) {
            for (std::size_t ch = 0; ch < channelModels.size(); ++ch) {
                for (int i = 0; i < block; ++i)
                    mono[static_cast<std::size_t>(i)] =
                        output[static_cast<std::size_t>(i * outChannels_) + ch];
                channelModels[ch].Drive(mono.data(), block);
            }
        }
        // One loudspeaker, driven by every output channel.
        std::fill(drive.begin(), drive.end(), 0.0f);
        for (int i = 0; i < block; ++i)
            for (int ch = 0; ch < outChannels_; ++ch)
                drive[static_cast<std::size_t>(i)] +=
                    output[static_cast<std::size_t>(i * outChannels_ + ch)];
        if (kind_ != SimulatedModel::Loopback)
            model_.Drive(drive.data(), block);
        for (DeviceModel& m : extraModels)
            m.Drive(drive.data(), block);

        frames += block;
        const double speed = GetSpeed();
        if (speed > 0.0 && sampleRate_ > 0) {
            const auto due =
                began + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(static_cast<double>(frames) /
                                                          (sampleRate_ * speed)));
            std::this_thread::sleep_until(due);
        }
    }
}

} // namespace Kedra::PAudioII
