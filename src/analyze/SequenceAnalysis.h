#pragma once
// Deconvolution of a recording with its played test signal, and location of the impulse
// in the result.
//
// Scaling, end to end: the played sequence x and the recording r are both taken with the
// 2/N-scaled forward transform. InverseSpectrum stores 4/(N X) and CorrelateSpectrum
// multiplies 0.5 R by it, so the product 2R/(N X) is the 2/N-scaled spectrum of the
// impulse response h. FFTPow2FreqToTime(product, h, N, false, /*inputScaled=*/true)
// therefore returns h at its true level: a loopback gives a peak of exactly 1.
//
// All functions are plain functions of their arguments and may run on any thread except
// the audio callback (they allocate).

#include <complex>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace Kedra::Analyze {

// Time-zero method, stored with every measurement. The misspelt texts are the stored form.
enum class TZM : std::int32_t {
    FirstPostivePeak = 0,
    PostivePeak = 1,
    FirstMagnitudePeak = 2,
    MagnitudePeak = 3,
    CausalImpulse = 4,
};

// Unknown values give the text of FirstPostivePeak.
const char* TZMToString(TZM method);
// Exact and case-sensitive; no match gives FirstPostivePeak.
TZM StringToTZM(std::string_view text);

// max(2^ceil(log2 a), 2^ceil(log2 b)); lengths below 1 count as 1. Returns 0 (and logs)
// when the result would not fit in an int.
int CommonPow2Length(int a, int b);

// out[k] = 4 / (n X[k]) for k = 0 .. n/2, X the 2/n-scaled spectrum of the n samples.
// A bin whose inverse is not finite (X exactly zero) is written as 0 and one warning is
// logged per call, so that no NaN or infinity reaches an impulse response.
void InverseSpectrum(const double* sequence, int n, std::complex<double>* out);

// The same inverse in single precision, returned in the time domain. The float inverse
// transform is unscaled, so `out` holds n times the inverse filter g (g circularly
// convolved with `sequence` is a unit impulse): a caller multiplies by 1/n.
template <typename TIn, typename TOut>
void InverseSequence(const TIn* sequence, TOut* out, int n);
extern template void InverseSequence<float, float>(const float*, float*, int);

// out[k] = 0.5 R[k] inverse[k] for k = 0 .. n/2, R the 2/n-scaled spectrum of the n
// recorded samples. `out` may be the same array as `inverse`.
void CorrelateSpectrum(const float* recording, int n, const std::complex<double>* inverse,
                       std::complex<double>* out);

// Circular cross-correlation out[k] = sum over m of a[m] b[(m + k) mod n], unscaled; it
// peaks at k = d when b is a delayed by d samples. n must be a power of two (else a
// warning is logged and `out` is left untouched); `out` may be `a` or `b`.
template <typename TA, typename TB, typename TOut>
void CorrelateInTime(const TA* a, const TB* b, TOut* out, int n);
extern template void CorrelateInTime<double, double, double>(const double*, const double*, double*,
                                                             int);

// Index of time zero in n samples by `method`. With `centered`, `data` points at the
// middle of the array and the result is relative to it. `inverted` (may be null) tells
// whether a larger negative peak comes first or outweighs the positive one twice over. n < 3 or
// null data give index 0 of the array (-n/2 when centred).
int FindImpulseIndex(const double* data, int n, bool centered, TZM method, bool* inverted);

template <typename T>
int LocateImpulse(const T* data, int n, bool centered, TZM method, bool* inverted) {
    static_assert(std::is_same_v<T, double>, "the locator works on double impulses");
    return FindImpulseIndex(data, n, centered, method, inverted);
}

// Sub-sample position of the true peak relative to the sample at `around`, in samples
// (positive = later). Reads around[-7] .. around[7].
double FractionalPeakOffset(const double* around);

// Delays the n + 1 bins 0 .. n of a spectrum (n its Nyquist bin) by `delay` samples,
// positive = later. `in` and `out` may be the same array.
void DelaySpectrum(const std::complex<double>* in, std::complex<double>* out, int n, double delay);

// Replaces the bins above `cutoffBin` of the n + 1 bins of a spectrum (time zero at the
// centre, n a power of two above 32) by the level at the cut-off with a linear phase,
// when the smoothed level at the cut-off lies above `thresholdDb` relative to the largest
// one below it. Returns whether it extended. When `estimateDelay`, *delayOut receives the
// linear-phase slope as a time in samples by which the band-edge part of the impulse lies
// earlier than the centre (a caller subtracts it from its time offset); else 0.
bool ExtendToNyquist(std::complex<double>* spectrum, int n, int cutoffBin, double* delayOut,
                     bool estimateDelay, double thresholdDb);

} // namespace Kedra::Analyze
