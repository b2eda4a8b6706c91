#pragma once
// The inner power-of-two kernels behind the public transforms of Fft.h. Internal:
// callers outside foundation/ use Fft.h.

#include <complex>
#include <cstddef>

namespace Kedra::Math::detail {

// In place, unscaled: z[k] <- sum z[j] e^(direction i 2 pi k j / m); m a power of two.
void ComplexTransformPow2(std::complex<double>* z, std::size_t m, int direction);
void ComplexTransformPow2(std::complex<float>* z, std::size_t m, int direction);

// In place on n reals, the packed layout and scaling of RealFFT (Fft.h).
void RealTransformPow2(double* data, std::size_t n, int direction);
void RealTransformPow2(float* data, std::size_t n, int direction);

// The n samples at `in` (which may be the bins' own storage) to the n/2+1 bins at out, with
// the public transforms' conventions: negative exponent, times scale, bin k negated for odd
// k when centred, and bins 1 .. n/2-1 multiplied by e^(i k rotation) (a delay of
// rotation n / 2 pi samples removed). Any other overlap of in and out is the caller's to
// avoid.
void RealToBins(const double* in, std::complex<double>* out, std::size_t n, double scale,
                bool centred, double rotation);
void RealToBins(const float* in, std::complex<float>* out, std::size_t n, float scale, bool centred,
                double rotation);

// The inverse: n/2+1 bins, times scale and the centring sign, to n samples (in may share
// out's storage, as above). As RealFFT's inverse, the result is n/2 times the inverse
// transform of the scaled bins, so a scale of 2/n gives the samples back.
void BinsToReal(const std::complex<double>* in, double* out, std::size_t n, double scale,
                bool centred);
void BinsToReal(const std::complex<float>* in, float* out, std::size_t n, float scale,
                bool centred);

} // namespace Kedra::Math::detail
