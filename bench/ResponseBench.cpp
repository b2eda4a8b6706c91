// The analysis after a recording: a 2^18-sample sweep at 48 kHz in a 2^19-sample frame.

#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <vector>

#include "analyze/ResponseAnalysis.h"

namespace {

using namespace Kedra::Measure;

constexpr int N = 1 << 18;
constexpr int C = 1 << 19;

std::vector<float> Sweep() {
    std::vector<float> x(N);
    const double f1 = 10.0, f2 = 24000.0, fs = 48000.0, k = std::log(f2 / f1);
    for (int i = 0; i < N; ++i)
        x[static_cast<std::size_t>(i)] = static_cast<float>(
            std::sin(2.0 * 3.141592653589793 * f1 * N / fs / k * (std::exp(i * k / N) - 1.0)));
    return x;
}

void BM_AnalyzeRecording(benchmark::State& state) {
    const auto x = Sweep();
    ReferenceInverse ref;
    ref.Build(x.data(), N, C);
    std::vector<float> recording(C, 0.0f);
    for (int i = 0; i < N; ++i)
        recording[static_cast<std::size_t>(i + 480)] = 0.5f * x[static_cast<std::size_t>(i)];
    ResponseSettings settings;
    settings.subSampleAlign = state.range(0) != 0;
    std::vector<std::complex<double>> spectrum(N / 2 + 1);
    std::vector<float> work(C);
    for (auto _ : state) {
        work = recording;
        ResponseResult result;
        AnalyzeRecording(work.data(), ref, settings, spectrum.data(), result);
        benchmark::DoNotOptimize(spectrum.data());
    }
    state.SetLabel(settings.subSampleAlign ? "with sub-sample alignment" : "plain");
}
BENCHMARK(BM_AnalyzeRecording)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_ReferenceInverse(benchmark::State& state) {
    const auto x = Sweep();
    for (auto _ : state) {
        ReferenceInverse ref;
        ref.Build(x.data(), N, C);
        benchmark::DoNotOptimize(ref.Spectrum());
    }
}
BENCHMARK(BM_ReferenceInverse)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
