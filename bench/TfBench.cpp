// The transfer function at 48 kHz as a fraction of one core: 1/24 octave from nine FFT lengths,
// one FFT of 16384, both at 50 % overlap, and the delay finder over its 4 s window. The
// instruments' `core_fraction` is the time one second of two-channel input takes, in seconds.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "live/DelayFinder.h"
#include "live/LiveInput.h"
#include "live/TfSession.h"
#include "live/TransferFunction.h"

namespace {

constexpr double FS = 48000.0;
constexpr int BLOCK = 512;

std::vector<float> Noise(unsigned seed, std::size_t count) {
    std::mt19937 random(seed);
    std::normal_distribution<float> gauss(0.0f, 0.1f);
    std::vector<float> x(count);
    for (float& v : x)
        v = gauss(random);
    return x;
}

void Run(benchmark::State& state, Kedra::Live::TfResolution resolution) {
    const std::vector<float> ref = Noise(5, static_cast<std::size_t>(FS));
    const std::vector<float> meas = Noise(6, static_cast<std::size_t>(FS));
    Kedra::Live::TfSettings s;
    s.resolution = resolution;
    Kedra::Live::TransferFunction tf(FS, s);
    tf.SetDelay(542.43);
    for (auto _ : state) {
        // One second of input per iteration, in the blocks a stream would deliver.
        for (std::size_t i = 0; i + BLOCK <= ref.size(); i += BLOCK)
            tf.Process(ref.data() + i, meas.data() + i, BLOCK);
        benchmark::DoNotOptimize(tf.Segments());
    }
    state.counters["core_fraction"] = benchmark::Counter(
        1.0, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_TfTwentyFourthOctave(benchmark::State& state) {
    Run(state, Kedra::Live::TfResolution::Constant);
}
void BM_TfFft16384(benchmark::State& state) {
    Run(state, Kedra::Live::TfResolution::Fixed);
}

// One search over a full window (a "find delay" press); the readings of a window refreshed
// ten times a second come from Points().
void BM_DelayFinderFourSeconds(benchmark::State& state) {
    const std::vector<float> x = Noise(7, static_cast<std::size_t>(4 * FS));
    Kedra::Live::DelayFinder finder(FS);
    finder.Process(x.data(), x.data(), static_cast<int>(x.size()));
    for (auto _ : state)
        benchmark::DoNotOptimize(finder.Find());
}

void BM_TfPointsTwentyFourthOctave(benchmark::State& state) {
    Kedra::Live::TfSettings s;
    s.resolution = Kedra::Live::TfResolution::Constant;
    Kedra::Live::TransferFunction tf(FS, s);
    for (auto _ : state)
        benchmark::DoNotOptimize(tf.Points());
}

// The live window's analysis: the session over the blocks the stream hands over, its points
// copied out 20 times a second, the coherence watched; arg 0: 1/24 octave, 1: FFT 16384.
void BM_TfWindowAnalysis(benchmark::State& state) {
    const std::vector<float> ref = Noise(5, static_cast<std::size_t>(FS));
    Kedra::Live::TfSettings s;
    s.resolution = state.range(0) == 0 ? Kedra::Live::TfResolution::Constant
                                       : Kedra::Live::TfResolution::Fixed;
    Kedra::Live::TfSession session(FS, s);
    session.SetRefindBelow(0.5);
    constexpr int PUBLISH = static_cast<int>(FS / 20);
    constexpr int IN = Kedra::Live::LiveInput::BLOCK;
    // Past the first search: what the window runs for as long as it stays open.
    for (int k = 0; k < 3; ++k)
        for (std::size_t i = 0; i + IN <= ref.size(); i += IN)
            session.Process(ref.data() + i, ref.data() + i, IN);
    int since = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i + IN <= ref.size(); i += IN) {
            // One signal on both: the coherence stays high, no search starts again.
            session.Process(ref.data() + i, ref.data() + i, IN);
            if ((since += IN) >= PUBLISH) {
                since = 0;
                benchmark::DoNotOptimize(session.Tf().Points());
            }
        }
    }
    state.counters["core_fraction"] = benchmark::Counter(
        1.0, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

} // namespace

BENCHMARK(BM_TfWindowAnalysis)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TfTwentyFourthOctave)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TfFft16384)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DelayFinderFourSeconds)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TfPointsTwentyFourthOctave)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
