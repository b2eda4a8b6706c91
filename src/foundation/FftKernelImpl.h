#pragma once
// Shared between the portable kernels (FftKernel.cpp) and the vector ones (FftKernelAvx2.cpp,
// FftKernelAvx512.cpp). The complex transform is a radix-4 decimation in frequency whose
// result is in bit-reversed order: permuted afterwards, or, by the vector kernels up to a
// size, stored at its place by the last stage.

#include <cmath>
#include <complex>
#include <cstddef>
#include <vector>

namespace Kedra::Math::detail::fft {

// Sub-transforms up to this many points run pass by pass; larger ones recurse so that
// every sub-transform of this size is done while it sits in L1.
inline constexpr unsigned BLOCK_LOG2 = 11;
inline constexpr std::size_t BLOCK = std::size_t{1} << BLOCK_LOG2;

// Levels up to this size keep w^2j and w^3j in their tables too. Larger ones form them from
// w^j: at 2^12 samples the tables of all powers no longer fit in L1 beside the data.
inline constexpr unsigned TRIPLE_LOG2 = 7;

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
    // TRIPLE_LOG2 then add w^2j and w^3j the same way. Larger levels derive those from w^j:
    // their passes are bound by memory traffic, which a three times larger table adds to.
    std::vector<double> split;
    // L >= 32, for the AVX-512 passes: per group of eight j, the real parts and then the
    // imaginary parts of w^j in natural order, and of w^2j and w^3j as `split` has them.
    std::vector<double> split8;
};

// Thread-safe; the reference stays valid for the life of the process.
const Level& GetLevel(unsigned log2L);

// The twiddle tables a complex transform of 2^log2m points reads: levels log2m, log2m-2, ...
struct LevelSet {
    const Level* at[64] = {};
    // The passes are the AVX-512 ones.
    bool wide = false;
};

// m = 2^log2m >= 2 points into z, read from `in` (which may be z itself). The result is
// left in z in bit-reversed order, or, when `reversed` is given (m >= 8), put into
// `reversed` in natural order, z then serving as the work area.
void DifAvx2(double* z, const double* in, std::size_t m, unsigned log2m, bool inverse,
             const LevelSet& levels, double* reversed);

// The split step of the real transform on m = n/2 packed points, pairs i, m-i for
// 1 <= i <= m/2; w is Level(n).w1.
void RealSplitAvx2(double* z, std::size_t m, bool inverse, const double* w);

// The forward split step that ends in the n/2+1 bins of the public transforms: negative
// exponent, times scale, bin k negated for odd k when centred, and bins 1 .. m-1 multiplied
// by e^(i k rotation). z has room for m+1 points.
void SplitToBinsAvx2(double* z, std::size_t m, const double* w, double scale, bool centred,
                     double rotation);

// The inverse split step that starts from the n/2+1 bins `in`, scaled and centred as above,
// into the m packed points at z (in may be z itself).
void SplitFromBinsAvx2(const double* in, double* z, std::size_t m, const double* w, double scale,
                       bool centred);

// The split step on one pair (i, k = m - i), i <= k, reading src and writing dst (which may
// be the same array). The real parts read are multiplied by a, the imaginary parts by b.
// The vector kernels use it for the pairs their loop leaves.
template <typename T, bool Inv>
inline void SplitPairScalar(const std::complex<T>* src, std::complex<T>* dst, std::size_t i,
                            std::size_t k, const double* w, T a, T b) {
    const T sg = Inv ? T(-1) : T(1);
    const T half = T(0.5);
    const T ar = a * src[i].real();
    const T ai = b * src[i].imag();
    const T br = a * src[k].real();
    const T bi = b * src[k].imag();
    const T h1r = half * (ar + br);
    const T h1i = half * (ai - bi);
    const T h2r = half * sg * (ai + bi);
    const T h2i = -half * sg * (ar - br);
    const T wr = static_cast<T>(w[2 * i]);
    const T wi = static_cast<T>(sg * w[2 * i + 1]);
    const T tr = wr * h2r - wi * h2i;
    const T ti = wr * h2i + wi * h2r;
    dst[i] = {h1r + tr, h1i + ti};
    dst[k] = {h1r - tr, ti - h1i};
}

// The forward split step on one pair, in place, ending as the bins i and k times s.
template <typename T>
inline void SplitPairToBins(std::complex<T>* z, std::size_t i, std::size_t k, const double* w,
                            T s) {
    SplitPairScalar<T, false>(z, z, i, k, w, T(1), T(1));
    // The split leaves the positive exponent in both; the bins want the negative one.
    z[i] = {s * z[i].real(), -s * z[i].imag()};
    if (k != i) {
        z[k] = {s * z[k].real(), -s * z[k].imag()};
    }
}

// Bin k times e^(i k a), the angle formed exactly.
template <typename T>
inline void RotateBin(std::complex<T>& bin, std::size_t k, double a) {
    const double angle = static_cast<double>(k) * a;
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    const double re = bin.real();
    const double im = bin.imag();
    bin = {static_cast<T>(re * c - im * s), static_cast<T>(re * s + im * c)};
}

// One radix-4 level of length span (>= 32) over the L points at x, read from `in`:
// interleaved points, or the eight-point groups of an earlier such pass. It writes
// eight-point groups, or, with toSplit4, the four-point groups of the AVX2 kernels.
void PassAvx512(double* x, const double* in, std::size_t L, std::size_t span, const double* tw8,
                bool inverse, bool fromInterleaved, bool triple, bool toSplit4);

bool CpuHasAvx2Fma();
bool CpuHasAvx512();

// For tests of the portable path on machines that have AVX2, and of the AVX2 passes on
// machines that have AVX-512.
void SetVectorKernelsEnabled(bool enabled);
void SetWideKernelsEnabled(bool enabled);

} // namespace Kedra::Math::detail::fft
