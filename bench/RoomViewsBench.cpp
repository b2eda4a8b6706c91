// The views of a measured impulse beyond its response: all room parameters of a 2^18-sample
// room impulse at 48 kHz (eight octave bands and broadband), a 30-slice waterfall and the
// room preset's waterfall.

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "analyze/LoudspeakerViews.h"
#include "analyze/RoomAcoustics.h"

namespace {

using namespace Kedra::Measure;

constexpr int COUNT = 1 << 18;
constexpr double RATE = 48000.0;

// Direct sound, then an exponentially decaying noise tail (T60 0.6 s) over a noise floor
// 70 dB down: what the band filters, the backward integration and Lundeby's iteration see.
std::vector<double> RoomImpulse() {
    std::vector<double> x(COUNT, 0.0);
    unsigned state = 7u;
    auto noise = [&] {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) / double(1 << 24) - 0.5;
    };
    const int start = 2400;
    const double perSample = std::log(1000.0) / (0.6 * RATE); // 60 dB in amplitude over T60
    for (int i = 0; i < COUNT; ++i) {
        const int t = i - start;
        const double tail = t > 0 ? 0.3 * std::exp(-perSample * t) * noise() : 0.0;
        x[static_cast<std::size_t>(i)] = tail + 3e-4 * noise();
    }
    x[start] = 1.0;
    return x;
}

void BM_RoomParameters8BandsAndBroadband(benchmark::State& state) {
    const auto x = RoomImpulse();
    std::size_t bands = 0;
    for (auto _ : state) {
        const auto result = AnalyzeRoom(x.data(), COUNT, RATE);
        bands = result.size();
        benchmark::DoNotOptimize(result.data());
    }
    state.counters["bands"] = static_cast<double>(bands);
}
BENCHMARK(BM_RoomParameters8BandsAndBroadband)->Unit(benchmark::kMillisecond);

void BM_Waterfall(benchmark::State& state, WaterfallSettings settings) {
    const auto x = RoomImpulse();
    std::size_t slices = 0;
    for (auto _ : state) {
        const auto w = CumulativeSpectralDecay(x.data(), COUNT, 2400, RATE, settings);
        slices = w.levels.size();
        benchmark::DoNotOptimize(w.levels.data());
    }
    state.counters["slices"] = static_cast<double>(slices);
}
WaterfallSettings ThirtySlices() {
    WaterfallSettings settings;
    settings.lastMs = 2.9; // 0 .. 2.9 ms in 0.1 ms steps
    return settings;
}
BENCHMARK_CAPTURE(BM_Waterfall, 30Slices, ThirtySlices())->Unit(benchmark::kMillisecond);
// The room preset: 31 slices of up to 500 ms, each smoothed to 1/6 octave.
BENCHMARK_CAPTURE(BM_Waterfall, RoomPreset, WaterfallPresetSettings(WaterfallPreset::Room))
    ->Unit(benchmark::kMillisecond);

} // namespace
