#pragma once
// Shared between the portable kernels (FftKernel.cpp) and the AVX2 ones (FftKernelAvx2.cpp).
// The complex transform is a radix-4 decimation in frequency that leaves its result in
// bit-reversed order; the caller then permutes.

#include <cstddef>
#include <vector>

namespace Kedra::Math::detail::fft {

// Sub-transforms up to this many points run pass by pass; larger ones recurse so that
// every sub-transform of this size is done while it sits in L1.
inline constexpr unsigned BLOCK_LOG2 = 11;
inline constexpr std::size_t BLOCK = std::size_t{1} << BLOCK_LOG2;

// Twiddles of one level of length L (complex points), w^k = e^(+i 2 pi k / L); the inverse
// multiplies by the conjugates. Built once per L, never modified after publication.
struct Level {
    // w^j for j = 0 .. L/4 inclusive, interleaved re, im.
    std::vector<double> w1;
    // L = 8 only, for j = 0, 1: w^0, w^1, then w^0, w^2, then w^0, w^3, interleaved.
    std::vector<double> w123;
    // L >= 16, for the vector kernels, which hold four points as four real parts and four
    // imaginary parts (lanes in the order 0, 2, 1, 3 that unpacking interleaved pairs gives).
    // Per group of four j: the real parts, then the imaginary parts, of w^j; levels up to
    // BLOCK then add w^2j and w^3j the same way. Larger levels derive those from w^j:
    // their passes are bound by memory traffic, which a three times larger table adds to.
    std::vector<double> split;
};

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
