// Our power-of-two real transforms against FFTW's r2c / c2r at the same lengths. FFTW is
// here only as the yardstick; nothing in the engine links it.
#include "foundation/Fft.h"
#include "foundation/FftKernelImpl.h"

#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <complex>
#include <cstring>
#include <random>
#include <vector>

namespace {

using Kedra::Math::FFTPow2FreqToTime;
using Kedra::Math::FFTPow2TimeToFreq;
using Kedra::Math::MixedRadixFFT;

std::vector<double> RandomSamples(int n) {
    std::mt19937 rng(12345);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> v(static_cast<std::size_t>(n));
    for (double& x : v) {
        x = dist(rng);
    }
    return v;
}

std::vector<std::complex<double>> RandomSpectrum(int n) {
    const std::vector<double> re = RandomSamples(n / 2 + 1);
    const std::vector<double> im = RandomSamples(n / 2 + 3);
    std::vector<std::complex<double>> v(static_cast<std::size_t>(n / 2 + 1));
    for (std::size_t k = 0; k < v.size(); ++k) {
        v[k] = {re[k], im[k + 2]};
    }
    v.front() = {v.front().real(), 0.0};
    v.back() = {v.back().real(), 0.0};
    return v;
}

void SetCounters(benchmark::State& state, int n) {
    state.SetItemsProcessed(state.iterations() * n);
}

void OursTimeToFreq(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<double> in = RandomSamples(n);
    std::vector<std::complex<double>> out(static_cast<std::size_t>(n / 2 + 1));
    for (auto _ : state) {
        FFTPow2TimeToFreq(in.data(), out.data(), n, false, false); // not centred, unscaled
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    SetCounters(state, n);
}

void OursFreqToTime(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<std::complex<double>> in = RandomSpectrum(n);
    std::vector<double> out(static_cast<std::size_t>(n));
    for (auto _ : state) {
        FFTPow2FreqToTime(in.data(), out.data(), n, false, true); // not centred, input scaled
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    SetCounters(state, n);
}

// The same on the AVX2 kernels alone, which machines without AVX-512 run.
void OursTimeToFreqAvx2(benchmark::State& state) {
    Kedra::Math::detail::fft::SetWideKernelsEnabled(false);
    OursTimeToFreq(state);
    Kedra::Math::detail::fft::SetWideKernelsEnabled(true);
}

void OursFreqToTimeAvx2(benchmark::State& state) {
    Kedra::Math::detail::fft::SetWideKernelsEnabled(false);
    OursFreqToTime(state);
    Kedra::Math::detail::fft::SetWideKernelsEnabled(true);
}

// Owns one FFTW plan and its aligned buffers.
class FftwReal {
public:
    FftwReal(int n, bool forward, unsigned flags)
        : n_(n), real_(fftw_alloc_real(static_cast<std::size_t>(n))),
          spectrum_(fftw_alloc_complex(static_cast<std::size_t>(n / 2 + 1))) {
        // Planning with FFTW_MEASURE overwrites the arrays, so they are filled afterwards.
        plan_ = forward ? fftw_plan_dft_r2c_1d(n, real_, spectrum_, flags | FFTW_MEASURE)
                        : fftw_plan_dft_c2r_1d(n, spectrum_, real_, flags | FFTW_MEASURE);
        const std::vector<double> samples = RandomSamples(n);
        std::memcpy(real_, samples.data(), samples.size() * sizeof(double));
        const std::vector<std::complex<double>> bins = RandomSpectrum(n);
        std::memcpy(spectrum_, bins.data(), bins.size() * sizeof(bins[0]));
    }
    FftwReal(const FftwReal&) = delete;
    FftwReal& operator=(const FftwReal&) = delete;
    ~FftwReal() {
        fftw_destroy_plan(plan_);
        fftw_free(real_);
        fftw_free(spectrum_);
    }

    void Run() { fftw_execute(plan_); }
    fftw_complex* Spectrum() { return spectrum_; }
    double* Real() { return real_; }
    int Length() const { return n_; }

private:
    int n_;
    double* real_;
    fftw_complex* spectrum_;
    fftw_plan plan_ = nullptr;
};

void FftwR2c(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    FftwReal fft(n, true, 0);
    for (auto _ : state) {
        fft.Run();
        benchmark::DoNotOptimize(fft.Spectrum());
        benchmark::ClobberMemory();
    }
    SetCounters(state, n);
}

// c2r that keeps its input, as ours does.
void FftwC2rPreserve(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    FftwReal fft(n, false, FFTW_PRESERVE_INPUT);
    for (auto _ : state) {
        fft.Run();
        benchmark::DoNotOptimize(fft.Real());
        benchmark::ClobberMemory();
    }
    SetCounters(state, n);
}

// FFTW's default c2r, free to destroy its input: the spectrum is restored each time,
// and that copy is timed, like the copy ours makes into its work area.
void FftwC2rDestroy(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    FftwReal fft(n, false, FFTW_DESTROY_INPUT);
    const std::vector<std::complex<double>> bins = RandomSpectrum(n);
    for (auto _ : state) {
        std::memcpy(fft.Spectrum(), bins.data(), bins.size() * sizeof(bins[0]));
        fft.Run();
        benchmark::DoNotOptimize(fft.Real());
        benchmark::ClobberMemory();
    }
    SetCounters(state, n);
}

// The arbitrary-length complex transform, separate real and imaginary arrays, against
// FFTW's plan for the same split layout. No target: the lengths show what users meet.
void OursMixedRadix(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<double> re = RandomSamples(n);
    std::vector<double> im = RandomSamples(n + 1);
    im.erase(im.begin());
    std::vector<double> outRe(re.size());
    std::vector<double> outIm(re.size());
    for (auto _ : state) {
        MixedRadixFFT(n, re.data(), im.data(), outRe.data(), outIm.data());
        benchmark::DoNotOptimize(outRe.data());
        benchmark::ClobberMemory();
    }
    SetCounters(state, n);
}

void FftwSplitComplex(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const auto count = static_cast<std::size_t>(n);
    double* block = fftw_alloc_real(4 * count);
    double* re = block;
    double* im = block + count;
    double* outRe = block + 2 * count;
    double* outIm = block + 3 * count;
    fftw_iodim dim{n, 1, 1};
    fftw_plan plan =
        fftw_plan_guru_split_dft(1, &dim, 0, nullptr, re, im, outRe, outIm, FFTW_MEASURE);
    const std::vector<double> samples = RandomSamples(2 * n);
    std::memcpy(block, samples.data(), samples.size() * sizeof(double));
    for (auto _ : state) {
        fftw_execute(plan);
        benchmark::DoNotOptimize(outRe);
        benchmark::ClobberMemory();
    }
    SetCounters(state, n);
    fftw_destroy_plan(plan);
    fftw_free(block);
}

// 104743 is the first prime above 104729, the largest factor done without Bluestein.
void UserLengths(benchmark::internal::Benchmark* b) {
    for (int n : {44100, 48000, 96000, 104743}) {
        b->Arg(n);
    }
    b->Unit(benchmark::kMicrosecond);
}

void Lengths(benchmark::internal::Benchmark* b) {
    for (int log2n : {12, 14, 16, 18, 20}) {
        b->Arg(1 << log2n);
    }
    b->Unit(benchmark::kMicrosecond);
}

BENCHMARK(OursTimeToFreq)->Apply(Lengths);
BENCHMARK(FftwR2c)->Apply(Lengths);
BENCHMARK(OursFreqToTime)->Apply(Lengths);
BENCHMARK(OursTimeToFreqAvx2)->Apply(Lengths);
BENCHMARK(OursFreqToTimeAvx2)->Apply(Lengths);
BENCHMARK(FftwC2rPreserve)->Apply(Lengths);
BENCHMARK(FftwC2rDestroy)->Apply(Lengths);
BENCHMARK(OursMixedRadix)->Apply(UserLengths);
BENCHMARK(FftwSplitComplex)->Apply(UserLengths);

} // namespace

BENCHMARK_MAIN();
