#pragma once
// Shared between the portable kernels (FftKernel.cpp) and the AVX2 ones (FftKernelAvx2.cpp).
// The complex transform is a radix-4 decimation in frequency that leaves its result in
// bit-reversed order; the caller then permutes.

#include <cstddef>
#include <vector>

namespace Kedra::Math::detail::fft {

// Twiddles of one level of length L (complex points), w^k = e^(+i 2 pi k / L); the inverse
// multiplies by the conjugates. Built once per L, never modified after publication.
struct Level {
    // w^j for j = 0 .. L/4 inclusive, interleaved re, im.
    std::vector<double> w1;
    // Levels up to TRIPLE_MAX_LOG2 only, for j < L/4 taken in pairs: w^j, w^(j+1), then
    // w^2j, w^2(j+1), then w^3j, w^3(j+1). Larger levels derive w^2j and w^3j from w^j: their
    // passes are bound by memory traffic, which a third of the table size would add to.
    std::vector<double> w123;
};

inline constexpr unsigned TRIPLE_MAX_LOG2 = 12;

// Sub-transforms up to this many points run pass by pass; larger ones recurse so that
// every sub-transform of this size is done while it sits in L1.
inline constexpr std::size_t BLOCK = 2048;

// Thread-safe; the reference stays valid for the life of the process.
const Level& GetLevel(unsigned log2L);

// The twiddle tables a complex transform of 2^log2m points reads: levels log2m, log2m-2, ...
struct LevelSet {
    const Level* at[64] = {};
};

// In place, m = 2^log2m >= 2 points, result in bit-reversed order.
void DifAvx2(double* z, std::size_t m, unsigned log2m, bool inverse, const LevelSet& levels);

// The split step of the real transform on m = n/2 packed points, pairs i, m-i for
// 1 <= i <= m/2; w is Level(n).w1.
void RealSplitAvx2(double* z, std::size_t m, bool inverse, const double* w);

bool CpuHasAvx2Fma();

// For tests of the portable path on machines that have AVX2.
void SetVectorKernelsEnabled(bool enabled);

} // namespace Kedra::Math::detail::fft
