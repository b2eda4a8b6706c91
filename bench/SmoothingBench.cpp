// Fractional-octave smoothing of a 2^16-point spectrum, as when the smoothing width is dragged.
#include "measure/Smoothing.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

namespace {

constexpr int LAST_BIN = 32768;

// A delayed, noisy response: the phase turns quickly, as in a real measurement.
std::vector<std::complex<double>> Spectrum() {
    std::mt19937 rng(4711);
    std::uniform_real_distribution<double> level(0.5, 1.5);
    const double tau = 2.0 * std::acos(-1.0);
    std::vector<std::complex<double>> x(LAST_BIN + 1);
    for (int k = 0; k <= LAST_BIN; ++k)
        x[static_cast<std::size_t>(k)] =
            std::polar(level(rng), -tau * k * 300.0 / (2.0 * LAST_BIN));
    return x;
}

template <void (*Smooth)(const std::complex<double>*, std::complex<double>*, int, double)>
void BM_Smooth(benchmark::State& state) {
    const std::vector<std::complex<double>> in = Spectrum();
    std::vector<std::complex<double>> out(in.size());
    const auto nOct = static_cast<double>(state.range(0));
    for (auto _ : state) {
        Smooth(in.data(), out.data(), LAST_BIN, nOct);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}

} // namespace

BENCHMARK_TEMPLATE(BM_Smooth, Kedra::Measure::SmoothComplex)
    ->Arg(3)
    ->Arg(48)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Smooth, Kedra::Measure::SmoothMagnitude)
    ->Arg(3)
    ->Arg(48)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
