#pragma once
// The simulated sound card: host API "Simulated", whose devices follow PortAudio's in every
// device list. Each device is a model of a device under test between the card's output and
// input. Started, it runs the stream's IO callback on its own thread in blocks, faster than
// real time, and feeds the input from the model applied to the output.
//
// The models and their parameters are public so that tests can compute the exact truth
// (DeviceModel::Response) to compare a measurement against.

#include <portaudio.h>

#include <atomic>
#include <complex>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace Kedra::PAudioII {

class StreamInitializer;

enum class SimulatedModel : int { Loopback = 0, Speaker, Room, Dead };
inline constexpr int SIMULATED_DEVICE_COUNT = 4;
inline constexpr const char* SIMULATED_HOST_API_NAME = "Simulated";

// The inputs of every simulated device, 0-based (the user counts from 1):
//   0 .. 7  as they always were: on "loopback" input i carries output i after the card's
//           latency; on "speaker" and "room" each carries the microphone at distanceMetres.
//   8       the timing reference: the sum of all outputs after the card's latency alone, as a
//           loopback cable from the output to a second input would carry it.
//   9, 10   further microphones at farMicrophonesMetres (2 m and 3 m unless changed), each
//           the same model with its own distance, inverse-distance level and noise.
// The outputs are 0 .. 7. A microphone's acoustic delay is its distance / speedOfSound; its
// input lags the reference by exactly that.
inline constexpr int SIMULATED_OUTPUT_CHANNELS = 8;
inline constexpr int SIMULATED_REFERENCE_INPUT = 8;
inline constexpr int SIMULATED_FAR_MICROPHONES = 2;
inline constexpr int SIMULATED_INPUT_CHANNELS =
    SIMULATED_REFERENCE_INPUT + 1 + SIMULATED_FAR_MICROPHONES;

// "loopback", "speaker", "room", "dead".
const char* SimulatedModelName(SimulatedModel model);
// Accepts the names above; false for anything else.
bool SimulatedModelFromName(const std::string& name, SimulatedModel* model);

// PortAudio's device count (0 when PortAudio cannot be initialised or reports an error).
int PortAudioDeviceCount();
// The index of the "Simulated" host API: one past PortAudio's.
int SimulatedHostApiIndex();
bool IsSimulatedDevice(int device);
int SimulatedDeviceIndex(SimulatedModel model);
SimulatedModel SimulatedModelOf(int device);
// PortAudio's information for its devices, the simulated card's for the others, or null.
const PaDeviceInfo* DeviceInfoOf(int device);

struct Reflection {
    double delaySeconds;
    double gain;
};

struct DeviceModelParams {
    SimulatedModel model = SimulatedModel::Loopback;
    int sampleRate = 48000;
    // The card's own output-to-input latency.
    int latencySamples = 480;

    // Speaker: closed-box high-pass, a resonance, a treble roll-off (all biquads).
    bool filtersEnabled = true;
    double highpassHz = 60.0;
    double highpassQ = 0.7;
    double resonanceHz = 1200.0;
    double resonanceGainDb = 4.0;
    double resonanceQ = 4.0;
    double lowpassHz = 18000.0;
    double lowpassQ = 0.7071067811865476;
    // Acoustic path after the card's latency.
    double distanceMetres = 1.0;
    double speedOfSound = 343.0;
    // Inputs 9 and 10 (see SIMULATED_REFERENCE_INPUT).
    std::vector<double> farMicrophonesMetres{2.0, 3.0};
    // y = x + a2 x^2 + a3 x^3 before the filters. At full-scale drive (a sine of amplitude 1)
    // the 2nd harmonic is 1 % (-40 dB) and the 3rd 0.3 % (-50.5 dB) of the fundamental,
    // whose own level is 1 + 3/4 a3.
    bool nonlinear = true;
    double a2 = 0.02 * (1.0 + 0.75 * (0.003 / (0.25 - 0.75 * 0.003)));
    double a3 = 0.003 / (0.25 - 0.75 * 0.003);
    // Level from the driver's output to the microphone, after the polynomial: the harmonic
    // levels at a given drive stay as above, and a full-scale sweep through the resonance
    // and the room's reflections still arrives well below full scale.
    double acousticGainDb = -12.0;
    // White Gaussian noise at the input, RMS level relative to full scale (1.0).
    double noiseDbfs = -90.0;
    std::uint32_t noiseSeed = 20261208;

    // Room: reflections and an exponentially decaying, sparse random tail.
    std::vector<Reflection> reflections{{0.0031, 0.5}, {0.0053, -0.35}, {0.0089, 0.25}};
    double t60Seconds = 0.4;
    double tailStartSeconds = 0.012;
    double tailLengthSeconds = 0.5;
    double tailLevel = 0.08;     // gain of the tail's first taps
    double tailDensity = 2000.0; // taps per second
    std::uint32_t tailSeed = 4711;

    // Defaults of the named model at a sample rate.
    static DeviceModelParams For(SimulatedModel model, int sampleRate);
    // The model between the output and input `input` of a card with these parameters (the
    // reference and the further microphones differ from the first eight inputs).
    DeviceModelParams ForInput(int input) const;
};

// The acoustic part of a model (speaker and room), applied to a mono drive signal.
class DeviceModel {
public:
    explicit DeviceModel(const DeviceModelParams& params);

    const DeviceModelParams& Params() const { return params_; }
    // Samples from the drive to the direct sound at the input: latency + distance.
    double DelaySamples() const { return delay_; }
    // The exact linear transfer function at f Hz: filters, delay interpolator, reflections
    // and tail. The noise and the polynomial are not in it.
    std::complex<double> Response(double f) const;
    // Taps of the room path (index 0 = direct sound at DelaySamples()); {1} without a room.
    const std::vector<std::pair<int, double>>& RoomTaps() const { return roomTaps_; }

    // Streaming use: first Input(out, frames) for the block at the current time, then
    // Drive(drive, frames) with the drive of that same block. The input depends only on drive
    // samples at least MinimumDelay() in the past, so a block may be up to that long.
    void Input(float* out, int frames);
    void Drive(const float* drive, int frames);
    int MinimumDelay() const { return minDelay_; }
    void Reset();

    // Offline: the whole input for a drive signal (Drive and Input interleaved per block).
    std::vector<float> Run(const float* drive, int frames);

private:
    double Shape(double x) const;
    double Filter(double x);
    void PlanRoom(int maxLag);
    // The far taps' share of the farBlock_ output samples from n on (n a multiple of it).
    void RunFarBlock(std::int64_t n);

    DeviceModelParams params_;
    struct Biquad {
        double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
        double z1 = 0, z2 = 0;
        double Step(double x);
        std::complex<double> At(double w) const;
    };
    std::vector<Biquad> biquads_;
    double delay_ = 0.0;
    int delayInt_ = 0;
    std::vector<double> fracTaps_; // windowed sinc around the fractional part
    int tapFirst_ = 0;             // fracTaps_[k - tapFirst_] is the tap at lag delayInt_ + k
    int tapLast_ = 0;
    std::vector<double> fracOldestFirst_; // fracTaps_ reversed, in the order of the history
    std::vector<std::pair<int, double>> roomTaps_;
    // The room path runs in two parts. Taps below farBlock_ are summed per sample; the others
    // by uniformly partitioned overlap-save convolution in blocks of farBlock_ samples, whose
    // input lies wholly in the past when a block begins. farBlock_ is 0 when all are near.
    std::vector<std::pair<int, double>> nearTaps_;
    int farBlock_ = 0;
    int farParts_ = 0;
    std::vector<double> farKernel_; // farParts_ spectra (RealFFT layout, 2 farBlock_ reals)
    std::vector<double> farInput_;  // the spectra of the last farParts_ input frames
    int farNewest_ = 0;
    std::vector<double> farSum_;
    std::vector<double> farOut_; // the far part of the current block
    int minDelay_ = 0;
    std::vector<double> history_; // filtered drive, ring buffer
    std::vector<double> delayed_; // history_ after the delay, ring buffer of the same size
    std::size_t historyMask_ = 0;
    std::int64_t time_ = 0;
    double acousticGain_ = 1.0;
    double noiseRms_ = 0.0;
    std::uint64_t noiseState_ = 0;
    double NextNoise();
    bool haveSpare_ = false;
    double spare_ = 0.0;
};

// Runs a stream's IO callback on its own thread, as a sound card would.
class SimulatedSoundCard {
public:
    static constexpr int BLOCK_FRAMES = 256;

    SimulatedSoundCard(StreamInitializer* stream, SimulatedModel model, int sampleRate,
                       int inChannels, int outChannels);
    ~SimulatedSoundCard();
    SimulatedSoundCard(const SimulatedSoundCard&) = delete;
    SimulatedSoundCard& operator=(const SimulatedSoundCard&) = delete;

    void Start();
    void Stop();
    bool IsRunning() const { return running_.load(std::memory_order_acquire); }
    const DeviceModel& Model() const { return model_; }

    // How many times faster than real time the card may run (0: unlimited). Process-wide.
    // Below 1 it runs slower than real time, as a simulation on a loaded machine may.
    static void SetSpeed(double factor);
    static double GetSpeed();
    // The parameters used for the next started card of a model (tests change them).
    static void SetParams(const DeviceModelParams& params);
    static DeviceModelParams GetParams(SimulatedModel model, int sampleRate);
    static void ResetParams();

private:
    void Run();

    StreamInitializer* stream_;
    SimulatedModel kind_;
    int sampleRate_;
    int inChannels_;
    int outChannels_;
    DeviceModel model_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stopRequested_{false};
};

} // namespace Kedra::PAudioII
