#pragma once
// Conversions between time and frequency.
//
// Conventions shared by every transform here:
//  - forward transforms use the negative exponent, X[k] = sum x[m] e^(-i 2 pi k m / N);
//  - a one-sided spectrum of N real samples has N/2+1 bins, and bins 0 and N/2 are real;
//  - "scaled" means the plain sum times 2/N, for every bin including DC and Nyquist;
//  - a centred array is passed by its time-zero pointer p and spans p[-N/2] .. p[N/2-1];
//    its spectrum is referred to p.
// The power-of-two family may run on any thread: its only shared state is the twiddle
// tables, built once per length and read-only after that.

#include <complex>
#include <cstddef>
#include <vector>

namespace Kedra::Math {

inline constexpr int FFT_FORWARD = 1;
inline constexpr int FFT_INVERSE = -1;

// N doubles -> N/2+1 bins. `delay` removes a delay of that many samples (bins 1..N/2-1
// are rotated; DC and Nyquist are not).
void FFTPow2TimeToFreq(const double* in, std::complex<double>* out, int n, bool centred,
                       bool scaled, double delay = 0.0);
// Float input, not centred, always scaled by 2/N.
void FFTPow2TimeToFreq(const float* in, std::complex<double>* out, int n, double delay = 0.0);
void FFTPow2TimeToFreq(const float* in, std::complex<float>* out, int n, float delay = 0.0f);

// N/2+1 bins -> N doubles. Unless `inputScaled`, the input is multiplied by 2/N first,
// so either way the inverse of the matching forward transform returns the samples.
void FFTPow2FreqToTime(const std::complex<double>* in, double* out, int n, bool centred,
                       bool inputScaled);
// Float, no scaling: the result is N/2 times the inverse transform.
void FFTPow2FreqToTime(const std::complex<float>* in, float* out, int n);

// N/2+1 real (zero-phase) bins -> N centred doubles, times 2/N.
void FFTPow2FreqRealToTime(const double* in, double* out, int n);

// N centred floats -> N/2+1 magnitudes of the unscaled sum.
void FFTPow2TimeToAbsFreq(const float* in, float* out, int n);

// In place on n reals. Packing: [0] = re bin 0, [1] = re bin n/2, [2k], [2k+1] = bin k.
// Forward uses the positive exponent, unscaled; inverse yields n/2 times the samples.
void RealFFT(double* data, int n, int direction);
void RealFFT(float* data, int n, int direction);

// In place on n/2 interleaved complex values (n doubles), unscaled,
// bin k = sum x[m] e^(direction i 2 pi k m / (n/2)).
void ComplexFFTPow2(double* data, int n, int direction);
void ComplexFFTPow2(float* data, int n, int direction);

// Forward complex transform of any length n >= 1, unscaled, negative exponent; x is
// not modified. Returns false (and logs) only for n < 1 or null arrays.
bool MixedRadixFFT(int n, const double* xRe, const double* xIm, double* yRe, double* yIm);

// The factor list MixedRadixFFT works with, in pass order.
std::vector<int> MixedRadixFactors(int n);

// The arbitrary-length work area of the filter effects. One per process, created on
// first use, released by ReleaseInstance (the filters' CleanUp). Not thread-safe: it is
// used on the thread that owns the filter being designed.
class FFTWorkspace {
public:
    static FFTWorkspace& Instance();
    static void ReleaseInstance();

    // Re-uses the arrays when n is unchanged.
    void SetLength(int n);
    int Length() const { return n_; }
    int Half() const { return half_; }

    // All three work with time zero at t: t[-half] .. t[n - half - 1].
    // Time to unscaled spectrum bins 0 .. half.
    void TimeToSpectrum(const double* t, std::complex<double>* spectrum);
    // Real zero-phase spectrum R[0 .. half] to time, divided by n.
    void RealSpectrumToTime(const double* realSpectrum, double* t);
    // Spectrum bins 0 .. half (conjugate-symmetric completion) to time, divided by n.
    void SpectrumToTime(const std::complex<double>* spectrum, double* t);

    FFTWorkspace(const FFTWorkspace&) = delete;
    FFTWorkspace& operator=(const FFTWorkspace&) = delete;
    ~FFTWorkspace();

private:
    FFTWorkspace() = default;
    void Transform();
    void ScatterResult(double* t) const;

    int n_ = -1;
    int half_ = 0;
    double inverseN_ = 0.0;
    double* inRe_ = nullptr;
    double* inIm_ = nullptr;
    double* outRe_ = nullptr;
    double* outIm_ = nullptr;
};

} // namespace Kedra::Math
