// The analysers at 96 kHz on two channels, as a fraction of one core: the 1/3-octave filter
// bank, the FFT of 2^16 at 75 % overlap (exponential average), and both. `core_fraction` is
// the time one second of two-channel input takes, in seconds.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "live/NarrowbandRta.h"
#include "live/OctaveBandBank.h"

namespace {

constexpr double FS = 96000.0;
constexpr int CHANNELS = 2;
constexpr int BLOCK = 1024;

std::vector<float> Noise() {
    std::mt19937 random(5);
    std::normal_distribution<float> gauss(0.0f, 0.1f);
    std::vector<float> x(static_cast<std::size_t>(FS));
    for (float& v : x)
        v = gauss(random);
    return x;
}

void Run(benchmark::State& state, bool bank, bool fft) {
    const std::vector<float> input = Noise();
    std::vector<std::unique_ptr<Kedra::Live::OctaveBandBank>> banks;
    std::vector<std::unique_ptr<Kedra::Live::NarrowbandRta>> ffts;
    Kedra::Live::RtaSettings s;
    s.fftSize = 1 << 16;
    s.overlap = 0.75;
    s.average = Kedra::Live::RtaAverage::Exponential;
    for (int c = 0; c < CHANNELS; ++c) {
        if (bank)
            banks.push_back(std::make_unique<Kedra::Live::OctaveBandBank>(FS, 3));
        if (fft)
            ffts.push_back(std::make_unique<Kedra::Live::NarrowbandRta>(FS, s));
    }
    for (auto _ : state) {
        // One second of input per iteration, in the blocks a stream would deliver.
        for (std::size_t i = 0; i + BLOCK <= input.size(); i += BLOCK)
            for (int c = 0; c < CHANNELS; ++c) {
                if (bank)
                    banks[static_cast<std::size_t>(c)]->Process(input.data() + i, BLOCK);
                if (fft)
                    ffts[static_cast<std::size_t>(c)]->Process(input.data() + i, BLOCK);
            }
    }
    state.counters["core_fraction"] = benchmark::Counter(
        1.0, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_ThirdOctaveBank(benchmark::State& state) {
    Run(state, true, false);
}
void BM_Fft65536Overlap75(benchmark::State& state) {
    Run(state, false, true);
}
void BM_BankAndFft(benchmark::State& state) {
    Run(state, true, true);
}

} // namespace

BENCHMARK(BM_ThirdOctaveBank)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fft65536Overlap75)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BankAndFft)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
