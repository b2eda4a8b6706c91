// Fitting the closed-box model over 20 .. 500 Hz of a 2^16-point record: the three exhaustive
// search passes, each candidate evaluated over every bin of the range.

#include "filter/QBox.h"
#include "filter/QBoxFit.h"

#include <benchmark/benchmark.h>

#include <complex>
#include <vector>

namespace {

void BM_QBoxFit(benchmark::State& state) {
    const int fs = 48000;
    const int nHalf = 1 << 15;
    const Kedra::Filter::QBox box(0.7, 60.0);
    std::vector<std::complex<double>> spectrum(static_cast<std::size_t>(nHalf) + 1);
    for (int k = 0; k <= nHalf; ++k)
        spectrum[static_cast<std::size_t>(k)] = 0.5 * box.Amplitude(k * 0.5 * fs / nHalf);
    Kedra::Measure::Measurement m("Box");
    m.InitializeFreq(spectrum.data(), nHalf, fs, nHalf, 0, 0.0, 0.0, true);
    m.GetA(); // the magnitude view is computed once, outside the loop
    for (auto _ : state) {
        double q = 0.0, fc = 0.0, gain = 0.0;
        Kedra::Measure::QBoxFit(m, 20.0, 500.0, q, fc, gain);
        benchmark::DoNotOptimize(q);
        benchmark::DoNotOptimize(fc);
        benchmark::DoNotOptimize(gain);
    }
}
BENCHMARK(BM_QBoxFit)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
