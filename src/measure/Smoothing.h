#pragma once
// Fractional-octave smoothing of a one-sided spectrum (bins 0 .. lastBin), on a logarithmic
// grid with Blackman weights whose half-gain points sit at +-half a 1/nOct-octave band.
// in and out may be the same array.

#include <complex>

namespace Kedra::Measure {

// Averages the complex values: level drops where the phase turns within a band.
void SmoothComplex(const std::complex<double>* in, std::complex<double>* out, int lastBin,
                   double nOct);

// Averages magnitudes and takes the phase of the complex mean: level is kept.
void SmoothMagnitude(const std::complex<double>* in, std::complex<double>* out, int lastBin,
                     double nOct);

// Number of grid steps M (grid points 0 .. M): round(lastBin * nOct / 256) within 100 .. 10000,
// and at most lastBin; 0 for lastBin < 1 or nOct not above 0.
int SmoothingGridSize(int lastBin, double nOct);

namespace detail {
// Lets tests run the portable band sums on a machine that has AVX2.
void SetSmoothingVectorKernelsEnabled(bool enabled);
} // namespace detail

} // namespace Kedra::Measure
