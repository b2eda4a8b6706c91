#include "foundation/Fft.h"

#include "foundation/FftKernel.h"
#include "foundation/KedraLogger.h"
#include "foundation/Mem.h"

#include "foundation/MathConstants.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace Kedra::Math {
namespace {

bool IsPow2(int n) {
    return n >= 1 && (n & (n - 1)) == 0;
}

bool CheckPow2(int n, const char* what) {
    if (IsPow2(n)) {
        return true;
    }
    Kedra::Logging::KedraLogger::LogText(std::string("WARNING ") + what + std::to_string(n) + "\n");
    return false;
}

bool Overlap(const void* a, std::size_t aBytes, const void* b, std::size_t bBytes) {
    const auto* pa = static_cast<const char*>(a);
    const auto* pb = static_cast<const char*>(b);
    return std::less<>{}(pa, pb + bBytes) && std::less<>{}(pb, pa + aBytes);
}

// The transform reads the caller's samples directly. Samples that lie partly in the bins
// (not exactly at their start) are moved there first, so that they are not overwritten
// before they are read.
template <typename T>
void ForwardInBins(const T* in, std::complex<T>* out, int n, bool centred, T scale, double delay) {
    if (!CheckPow2(n, "FFTPow2TimeToFreq called with non power of two: ")) {
        return;
    }
    const auto count = static_cast<std::size_t>(n);
    const T* src = centred ? in - n / 2 : in;
    T* work = reinterpret_cast<T*>(out);
    if (src != work && Overlap(src, count * sizeof(T), out, (count / 2 + 1) * sizeof(out[0]))) {
        std::memmove(work, src, count * sizeof(T));
        src = work;
    }
    detail::RealToBins(src, out, count, scale, centred, delay * TWOPI / n);
}

template <typename T>
void InverseFromBins(const std::complex<T>* in, T* out, int n, bool centred, T scale) {
    const auto count = static_cast<std::size_t>(n);
    T* work = centred ? out - n / 2 : out;
    const std::size_t binBytes = (count / 2 + 1) * sizeof(in[0]);
    if (static_cast<const void*>(in) != work && Overlap(in, binBytes, work, count * sizeof(T))) {
        const std::vector<std::complex<T>> copy(in, in + count / 2 + 1);
        detail::BinsToReal(copy.data(), work, count, scale, centred);
        return;
    }
    detail::BinsToReal(in, work, count, scale, centred);
}

} // namespace

void FFTPow2TimeToFreq(const double* in, std::complex<double>* out, int n, bool centred,
                       bool scaled, double delay) {
    ForwardInBins(in, out, n, centred, scaled ? 2.0 / n : 1.0, delay);
}

void FFTPow2TimeToFreq(const float* in, std::complex<double>* out, int n, double delay) {
    if (!CheckPow2(n, "FFTPow2TimeToFreq called with non power of two: ")) {
        return;
    }
    // Widened into the bins' storage first; a float array cannot serve a double transform.
    auto* work = reinterpret_cast<double*>(out);
    std::copy(in, in + n, work);
    ForwardInBins<double>(work, out, n, false, 2.0 / n, delay);
}

void FFTPow2TimeToFreq(const float* in, std::complex<float>* out, int n, float delay) {
    ForwardInBins(in, out, n, false, 2.0f / static_cast<float>(n), static_cast<double>(delay));
}

void FFTPow2FreqToTime(const std::complex<double>* in, double* out, int n, bool centred,
                       bool inputScaled) {
    if (!CheckPow2(n, "FFTPow2FreqToTime called with non power of two: ")) {
        return;
    }
    InverseFromBins(in, out, n, centred, inputScaled ? 1.0 : 2.0 / n);
}

void FFTPow2FreqToTime(const std::complex<float>* in, float* out, int n) {
    if (!CheckPow2(n, "FFTPow2FreqToTime called with non power of two: ")) {
        return;
    }
    InverseFromBins(in, out, n, false, 1.0f);
}

void FFTPow2FreqRealToTime(const double* in, double* out, int n) {
    if (!CheckPow2(n, "FFTPow2FreqRealToTime called with non power of two: ")) {
        return;
    }
    double* work = out - n / 2;
    const int half = n / 2;
    for (int k = 0; k < half; ++k) {
        work[2 * k] = (k & 1) ? -in[k] : in[k];
        work[2 * k + 1] = 0.0;
    }
    if (n >= 2) {
        work[1] = in[half];
    } else {
        work[0] = in[0];
    }
    detail::RealTransformPow2(work, static_cast<std::size_t>(n), FFT_INVERSE);
    const double s = 2.0 / n;
    for (int i = 0; i < n; ++i) {
        work[i] *= s;
    }
}

void FFTPow2TimeToAbsFreq(const float* in, float* out, int n) {
    if (!CheckPow2(n, "FFTPow2TimeToAbsFreq called with non power of two: ")) {
        return;
    }
    Mem::Array<float> work(static_cast<std::size_t>(n));
    std::copy(in - n / 2, in - n / 2 + n, work.get());
    detail::RealTransformPow2(work.get(), static_cast<std::size_t>(n), FFT_FORWARD);
    const int half = n / 2;
    for (int k = 1; k < half; ++k) {
        out[k] = std::sqrt(work[2 * k] * work[2 * k] + work[2 * k + 1] * work[2 * k + 1]);
    }
    if (n >= 2) {
        out[half] = std::fabs(work[1]);
    }
    out[0] = std::fabs(work[0]);
}

void RealFFT(double* data, int n, int direction) {
    if (CheckPow2(n, "RealFFT called with non power of two: ")) {
        detail::RealTransformPow2(data, static_cast<std::size_t>(n), direction);
    }
}

void RealFFT(float* data, int n, int direction) {
    if (CheckPow2(n, "RealFFT called with non power of two: ")) {
        detail::RealTransformPow2(data, static_cast<std::size_t>(n), direction);
    }
}

void ComplexFFTPow2(double* data, int n, int direction) {
    if (CheckPow2(n, "ComplexFFTPow2 called with non power of two: ")) {
        detail::ComplexTransformPow2(reinterpret_cast<std::complex<double>*>(data),
                                     static_cast<std::size_t>(n / 2), direction);
    }
}

void ComplexFFTPow2(float* data, int n, int direction) {
    if (CheckPow2(n, "ComplexFFTPow2 called with non power of two: ")) {
        detail::ComplexTransformPow2(reinterpret_cast<std::complex<float>*>(data),
                                     static_cast<std::size_t>(n / 2), direction);
    }
}

} // namespace Kedra::Math
