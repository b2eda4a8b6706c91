// The sound level meters' share of one core: A, C and Z meters on two channels at 96 kHz, fed
// in the analysis thread's blocks. "core_share" is the CPU time per second of audio (7.97ms
// is 0.8 % of a core).

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "live/SoundLevelMeter.h"

namespace {

using Kedra::Live::SoundLevelMeter;
using Kedra::Live::Weighting;

constexpr int RATE = 96000;
constexpr int CHANNELS = 2;
constexpr int BLOCK = 4096;

void BM_SoundLevelMeters96kTwoChannels(benchmark::State& state) {
    const bool all = state.range(0) != 0;
    std::vector<std::vector<float>> input(CHANNELS, std::vector<float>(RATE));
    std::mt19937 random(5);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    for (auto& channel : input)
        for (float& x : channel)
            x = noise(random);
    std::vector<SoundLevelMeter> meters;
    for (int c = 0; c < CHANNELS; ++c) {
        if (all) {
            for (Weighting w : {Weighting::A, Weighting::C, Weighting::Z})
                meters.emplace_back(w, RATE);
        } else {
            meters.emplace_back(Weighting::A, RATE);
        }
    }
    const std::size_t perChannel = meters.size() / CHANNELS;
    for (auto _ : state) {
        for (int start = 0; start < RATE; start += BLOCK) {
            const int n = std::min(BLOCK, RATE - start);
            for (std::size_t m = 0; m < meters.size(); ++m)
                meters[m].Process(input[m / perChannel].data() + start, n);
        }
        benchmark::DoNotOptimize(meters.front().Readings().leq);
    }
    // One second of audio per iteration.
    state.counters["core_share"] = benchmark::Counter(
        1.0, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SoundLevelMeters96kTwoChannels)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("ACZ")
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
