// Filtering a test signal through the measuring pipeline's signal filter.

#include "filter/Design.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

void BM_SignalFilter1001Taps(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    Kedra::Filter::Design design("SignalFilter", 1001, 48000.0);
    design.SetHighpass(20.0);
    design.SetLowpass(20000.0, 1000.0);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> in(static_cast<std::size_t>(count)), out(in.size());
    for (auto& v : in) {
        v = u(rng);
    }
    design.Filter(in.data(), out.data(), count); // designs the impulse outside the loop
    for (auto _ : state) {
        design.Filter(in.data(), out.data(), count);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_SignalFilter1001Taps)->Arg(1 << 18)->Unit(benchmark::kMillisecond);

// Designing the filter: combined response, window and the 1001-point impulse.
void BM_SignalFilterDesign(benchmark::State& state) {
    Kedra::Filter::Design design("SignalFilter", 1001, 48000.0);
    double fc = 20.0;
    for (auto _ : state) {
        fc = fc > 100.0 ? 20.0 : fc + 1.0;
        design.SetHighpass(fc);
        design.SetLowpass(20000.0, 1000.0);
        benchmark::DoNotOptimize(design.Impulse());
    }
}
BENCHMARK(BM_SignalFilterDesign)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
