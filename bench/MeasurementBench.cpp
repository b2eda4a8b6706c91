// What a user feels while dragging a view control: the magnitude view of a 2^16 record after
// a change of the window end or of the smoothing width.

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "measure/MeasurementCore.h"

namespace {

using Kedra::Measure::MeasurementCore;

constexpr int P = 16;
constexpr int N = 1 << P;

void InitRoomLikeImpulse(MeasurementCore& m) {
    std::vector<double> raw(2 * N);
    unsigned state = 12345;
    for (int i = 0; i < 2 * N; ++i) {
        const double t = i - N;
        state = state * 1664525u + 1013904223u;
        const double noise = (state >> 8) / double(1 << 24) - 0.5;
        raw[static_cast<std::size_t>(i)] =
            t >= 0 ? std::exp(-t / 3000.0) * (std::sin(0.07 * t) + 0.3 * noise) : 0.0;
    }
    m.InitializeImpulse(raw.data(), 2 * N, N, 48000, P, 0, 0.0, 0.0, true);
}

void BM_GetAAfterWindowEndChange(benchmark::State& state) {
    MeasurementCore m("bench");
    InitRoomLikeImpulse(m);
    m.SetImpulseWindowEnabled(true);
    m.SetImpulseWindowEnd(5000);
    m.GetA();
    int end = 5000;
    for (auto _ : state) {
        end = end == 5000 ? 5001 : 5000;
        m.SetImpulseWindowEnd(end);
        benchmark::DoNotOptimize(m.GetA());
    }
}
BENCHMARK(BM_GetAAfterWindowEndChange)->Unit(benchmark::kMillisecond);

void BM_GetAAfterSmoothingChange(benchmark::State& state) {
    const bool complexSmoothing = state.range(0) != 0;
    const double nOct = static_cast<double>(state.range(1));
    MeasurementCore m("bench");
    InitRoomLikeImpulse(m);
    m.SetSmoothingEnabled(true);
    m.SetSmoothingComplex(complexSmoothing);
    m.SetSmoothNOct(nOct);
    m.GetA();
    bool flip = false;
    for (auto _ : state) {
        flip = !flip;
        m.SetSmoothNOct(flip ? nOct * 1.0001 : nOct);
        benchmark::DoNotOptimize(m.GetA());
    }
    state.SetLabel(std::string(complexSmoothing ? "complex" : "magnitude") + " 1/" +
                   std::to_string(state.range(1)));
}
BENCHMARK(BM_GetAAfterSmoothingChange)
    ->Args({0, 3})
    ->Args({0, 48})
    ->Args({1, 3})
    ->Args({1, 48})
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
