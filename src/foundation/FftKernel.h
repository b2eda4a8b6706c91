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

} // namespace Kedra::Math::detail
