#pragma once
// Fast convolution of float signals with a fixed FIR filter (overlap-save with power-of-two
// real FFTs in double precision).

#include <cstddef>

#include "foundation/Mem.h"

namespace Kedra::Filter {

class FastConvolver {
public:
    // taps coefficients h[0 .. taps-1]; `centre` is the index of time zero, so that
    // out[i] = sum over j of h[j] in[i + centre - j]. Allocates; returns false for
    // taps < 1, a null array or a centre outside 0 .. taps-1.
    bool Prepare(const double* h, int taps, int centre);
    bool IsPrepared() const { return taps_ > 0; }
    int Taps() const { return taps_; }

    // Samples outside in[0 .. count-1] count as 0; out has count samples. in and out may
    // be the same array, else must not overlap. Allocates its work buffers per call.
    bool Process(const float* in, float* out, int count);

private:
    void PrepareSpectrum(int nfft);

    Mem::Array<double> h_;
    int taps_ = 0;
    int centre_ = 0;
    int nfft_ = 0;
    Mem::Array<double> spectrum_; // packed real FFT of h, scaled for the inverse
};

// The direct sum, O(count taps); the reference and the path for very short signals.
void ConvolveDirect(const double* h, int taps, int centre, const float* in, float* out, int count);

} // namespace Kedra::Filter
