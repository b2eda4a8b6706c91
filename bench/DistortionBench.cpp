// Harmonic distortion rows of a 2^18 logarithmic-sweep record: what the first look at the
// distortion view of a fresh measurement costs.

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "measure/MeasurementCore.h"

namespace {

using Kedra::Measure::MeasurementCore;

constexpr int P = 18;
constexpr int N = 1 << P;
constexpr int FS = 48000;

// A decaying linear impulse at N/2, weaker copies at the harmonics' places and noise.
void InitSweepRecord(MeasurementCore& m, double tau) {
    std::vector<double> raw(static_cast<std::size_t>(N));
    unsigned state = 2026;
    for (int i = 0; i < N; ++i) {
        state = state * 1664525u + 1013904223u;
        raw[static_cast<std::size_t>(i)] = 1e-5 * ((state >> 8) / double(1 << 24) - 0.5);
    }
    for (int k = 1; k <= 11; ++k) {
        const int at = N / 2 - static_cast<int>(std::log(k) * tau * FS);
        const double gain = k == 1 ? 1.0 : 0.01 / k;
        for (int t = 0; t < 2000; ++t)
            raw[static_cast<std::size_t>(at + t)] +=
                gain * std::exp(-t / 300.0) * std::sin(0.05 * t);
    }
    m.InitializeImpulse(raw.data(), N, N / 2, FS, P, 1, tau, 0.0, true);
}

void BM_HarmonicDistortionRows2e18(benchmark::State& state) {
    MeasurementCore m("bench");
    InitSweepRecord(m, (static_cast<double>(N) / FS) / std::log(24000.0 / 10.0));
    for (auto _ : state) {
        m.GetIBaseWriteable(); // a data change: the rows are stale
        benchmark::DoNotOptimize(m.GetHDSmooth(0));
    }
    state.counters["rows"] = m.GetHDSize();
}
BENCHMARK(BM_HarmonicDistortionRows2e18)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
