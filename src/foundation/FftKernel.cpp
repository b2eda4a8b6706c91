#include "foundation/FftKernel.h"

#include "foundation/FftKernelImpl.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <complex>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

namespace Kedra::Math::detail {
namespace fft {
namespace {

constexpr double TWO_PI = 6.283185307179586476925286766559;

// e^(i 2 pi k / L) for k < L, from an angle of at most pi/4 so that sin and cos stay at
// rounding level, and exact on the axes.
std::complex<double> UnitRoot(std::size_t k, std::size_t L) {
    if (L < 4) {
        return (2 * k == L) ? std::complex<double>(-1.0, 0.0) : std::complex<double>(1.0, 0.0);
    }
    const std::size_t quarter = L / 4;
    const std::size_t quadrant = k / quarter;
    const std::size_t r = k % quarter;
    std::complex<double> w;
    if (2 * r <= quarter) {
        const double a = TWO_PI * static_cast<double>(r) / static_cast<double>(L);
        w = {r == 0 ? 1.0 : std::cos(a), r == 0 ? 0.0 : std::sin(a)};
    } else {
        const double a = TWO_PI * static_cast<double>(quarter - r) / static_cast<double>(L);
        w = {std::sin(a), std::cos(a)};
    }
    for (std::size_t i = 0; i < quadrant; ++i) {
        w = {-w.imag(), w.real()};
    }
    return w;
}

std::unique_ptr<Level> BuildLevel(unsigned log2L) {
    auto level = std::make_unique<Level>();
    const std::size_t L = std::size_t{1} << log2L;
    const std::size_t quarter = L / 4;
    level->w1.resize(2 * (quarter + 1));
    for (std::size_t j = 0; j <= quarter; ++j) {
        const std::complex<double> w = UnitRoot(j, L);
        level->w1[2 * j] = w.real();
        level->w1[2 * j + 1] = w.imag();
    }
    if (log2L == 3) {
        level->w123.resize(6 * quarter);
        for (std::size_t j = 0; j < quarter; ++j) {
            double* block = level->w123.data() + 12 * (j / 2) + 2 * (j % 2);
            for (std::size_t p = 1; p <= 3; ++p) {
                const std::complex<double> w = UnitRoot((p * j) % L, L);
                block[4 * (p - 1)] = w.real();
                block[4 * (p - 1) + 1] = w.imag();
            }
        }
    }
    if (log2L >= 4) {
        constexpr std::size_t LANE_POINT[4] = {0, 2, 1, 3};
        const std::size_t powers = log2L <= TRIPLE_LOG2 ? 3 : 1;
        level->split.resize(2 * powers * quarter);
        for (std::size_t g = 0; g < quarter / 4; ++g) {
            double* group = level->split.data() + 8 * powers * g;
            for (std::size_t lane = 0; lane < 4; ++lane) {
                const std::size_t j = 4 * g + LANE_POINT[lane];
                for (std::size_t p = 1; p <= powers; ++p) {
                    const std::complex<double> w = UnitRoot((p * j) % L, L);
                    group[8 * (p - 1) + lane] = w.real();
                    group[8 * (p - 1) + 4 + lane] = w.imag();
                }
            }
        }
    }
    if (log2L >= 5) {
        const std::size_t powers = log2L <= TRIPLE_LOG2 ? 3 : 1;
        level->split8.resize(2 * powers * quarter);
        for (std::size_t g = 0; g < quarter / 8; ++g) {
            double* group = level->split8.data() + 16 * powers * g;
            for (std::size_t lane = 0; lane < 8; ++lane) {
                const std::size_t j = 8 * g + lane;
                for (std::size_t p = 1; p <= powers; ++p) {
                    const std::complex<double> w = UnitRoot((p * j) % L, L);
                    group[16 * (p - 1) + lane] = w.real();
                    group[16 * (p - 1) + 8 + lane] = w.imag();
                }
            }
        }
    }
    return level;
}

// Readers take the published pointer without locking; a level is built outside the lock
// and the first one published wins.
struct LevelCache {
    std::array<std::atomic<const Level*>, 64> published{};
    std::array<std::unique_ptr<Level>, 64> owned;
    std::mutex mutex;
};

LevelCache& Cache() {
    static LevelCache cache;
    return cache;
}

std::atomic<bool> vectorKernelsEnabled{true};
std::atomic<bool> wideKernelsEnabled{true};

bool UseAvx2() {
    return vectorKernelsEnabled.load(std::memory_order_relaxed) && CpuHasAvx2Fma();
}

bool UseAvx512() {
    return wideKernelsEnabled.load(std::memory_order_relaxed) && CpuHasAvx512();
}

template <typename T>
std::complex<T> Mul(std::complex<T> a, std::complex<T> b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

template <typename T, bool Inv>
std::complex<T> TimesI(std::complex<T> a) {
    return Inv ? std::complex<T>(a.imag(), -a.real()) : std::complex<T>(-a.imag(), a.real());
}

// Twiddles are formed in double and rounded once to T.
template <typename T, bool Inv>
std::complex<T> Twiddle(std::complex<double> w) {
    return {static_cast<T>(w.real()), static_cast<T>(Inv ? -w.imag() : w.imag())};
}

template <typename T, bool Inv>
void PortablePass(std::complex<T>* x, std::size_t L, std::size_t span, const Level& level) {
    const std::size_t q = span / 4;
    const double* w1 = level.w1.data();
    for (std::size_t base = 0; base < L; base += span) {
        std::complex<T>* a = x + base;
        for (std::size_t j = 0; j < q; ++j) {
            const std::complex<double> wd(w1[2 * j], w1[2 * j + 1]);
            const std::complex<double> w2d = Mul(wd, wd);
            const std::complex<T> w = Twiddle<T, Inv>(wd);
            const std::complex<T> w2 = Twiddle<T, Inv>(w2d);
            const std::complex<T> w3 = Twiddle<T, Inv>(Mul(wd, w2d));
            const std::complex<T> t0 = a[j] + a[j + 2 * q];
            const std::complex<T> t1 = a[j] - a[j + 2 * q];
            const std::complex<T> t2 = a[j + q] + a[j + 3 * q];
            const std::complex<T> t3 = TimesI<T, Inv>(a[j + q] - a[j + 3 * q]);
            a[j] = t0 + t2;
            a[j + q] = Mul(t0 - t2, w2);
            a[j + 2 * q] = Mul(t1 + t3, w);
            a[j + 3 * q] = Mul(t1 - t3, w3);
        }
    }
}

template <typename T, bool Inv>
void PortableDif(std::complex<T>* x, std::size_t L, unsigned log2L, const LevelSet& levels) {
    if (L <= BLOCK) {
        std::size_t span = L;
        unsigned b = log2L;
        for (; span >= 4; span >>= 2, b -= 2) {
            PortablePass<T, Inv>(x, L, span, *levels.at[b]);
        }
        if (span == 2) {
            for (std::size_t i = 0; i < L; i += 2) {
                const std::complex<T> a = x[i];
                x[i] = a + x[i + 1];
                x[i + 1] = a - x[i + 1];
            }
        }
        return;
    }
    PortablePass<T, Inv>(x, L, L, *levels.at[log2L]);
    const std::size_t q = L / 4;
    for (std::size_t k = 0; k < 4; ++k) {
        PortableDif<T, Inv>(x + k * q, q, log2L - 2, levels);
    }
}

// Same arithmetic as RealSplitAvx2.
template <typename T, bool Inv>
void PortableRealSplit(std::complex<T>* z, std::size_t m, const double* w1) {
    const T half = T(0.5);
    for (std::size_t i = 1; i <= m - i; ++i) {
        const std::size_t k = m - i;
        const std::complex<T> zi = z[i];
        const std::complex<T> zk = std::conj(z[k]);
        const std::complex<T> h1 = half * (zi + zk);
        const std::complex<T> h2 = -half * TimesI<T, Inv>(zi - zk);
        const std::complex<T> wh2 = Mul(h2, Twiddle<T, Inv>({w1[2 * i], w1[2 * i + 1]}));
        z[i] = h1 + wh2;
        z[k] = std::conj(h1 - wh2);
    }
}

// In-place bit reversal of 2^bits elements. Large arrays go tile by tile: the index is
// split into top, middle and bottom fields, and the tile of one middle value (all top and
// bottom values) is exchanged with the tile of the reversed middle value. Rows are read
// and written whole; the transposition happens in padded buffers, since the array rows
// are a power-of-two stride apart and would thrash one cache set.
template <typename E>
void BitReverse(E* x, unsigned bits) {
    constexpr unsigned TILE_BITS = 4;
    constexpr std::size_t TILE = std::size_t{1} << TILE_BITS;
    constexpr std::size_t PITCH = TILE + 1;
    auto reverse = [](std::size_t v, unsigned width) {
        std::size_t r = 0;
        for (unsigned i = 0; i < width; ++i, v >>= 1) {
            r = (r << 1) | (v & 1);
        }
        return r;
    };
    const std::size_t n = std::size_t{1} << bits;
    if (bits < 2 * TILE_BITS) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t j = reverse(i, bits);
            if (i < j) {
                std::swap(x[i], x[j]);
            }
        }
        return;
    }
    const unsigned midBits = bits - 2 * TILE_BITS;
    const std::size_t rowStride = std::size_t{1} << (bits - TILE_BITS);
    std::array<std::size_t, TILE> rev{};
    for (std::size_t i = 0; i < TILE; ++i) {
        rev[i] = reverse(i, TILE_BITS);
    }
    E tileA[TILE * PITCH];
    E tileB[TILE * PITCH];
    auto load = [&](E* tile, const E* rows) {
        for (std::size_t a = 0; a < TILE; ++a) {
            for (std::size_t c = 0; c < TILE; ++c) {
                tile[a * PITCH + c] = rows[a * rowStride + c];
            }
        }
    };
    // Element (a, c) of a tile goes to row rev(c), column rev(a) of the partner tile.
    auto storeTransposed = [&](E* rows, const E* tile) {
        for (std::size_t r = 0; r < TILE; ++r) {
            for (std::size_t col = 0; col < TILE; ++col) {
                rows[r * rowStride + col] = tile[rev[col] * PITCH + rev[r]];
            }
        }
    };
    for (std::size_t mid = 0; mid < (std::size_t{1} << midBits); ++mid) {
        const std::size_t midRev = reverse(mid, midBits);
        if (midRev < mid) {
            continue;
        }
        E* src = x + (mid << TILE_BITS);
        E* dst = x + (midRev << TILE_BITS);
        load(tileA, src);
        if (midRev != mid) {
            load(tileB, dst);
            storeTransposed(src, tileB);
        }
        storeTransposed(dst, tileA);
    }
}

// Moved as opaque words: one 16- or 8-byte move per element instead of two halves.
template <typename T>
void BitReverseComplex(std::complex<T>* z, unsigned bits) {
    struct Word {
        T v[2];
    };
    static_assert(sizeof(Word) == sizeof(std::complex<T>));
    BitReverse(reinterpret_cast<Word*>(z), bits);
}

// Up to this many points, the last stage of the vector kernels stores each point at its
// bit-reversed place, which saves the separate permutation while both arrays stay in cache.
constexpr std::size_t SCATTER_MAX = std::size_t{1} << 13;

// Per thread, grown as needed and kept: the transforms run often and at few sizes. Aligned
// to a cache line, so that no vector load or store of the passes straddles two lines.
double* Scratch(std::size_t doubles) {
    constexpr std::size_t LINE_DOUBLES = 8;
    thread_local std::vector<double> scratch;
    if (scratch.size() < doubles + LINE_DOUBLES) {
        scratch.resize(doubles + LINE_DOUBLES);
    }
    void* p = scratch.data();
    std::size_t space = scratch.size() * sizeof(double);
    return static_cast<double*>(std::align(64, doubles * sizeof(double), p, space));
}

// z receives the transform of the m points at src (which may be z itself).
template <typename T>
void ComplexKernel(std::complex<T>* z, const std::complex<T>* src, std::size_t m, int direction) {
    if (m < 2) {
        if (m == 1) {
            z[0] = src[0];
        }
        return;
    }
    const bool inverse = direction < 0;
    const auto log2m = static_cast<unsigned>(std::countr_zero(m));
    LevelSet levels;
    for (unsigned b = log2m; b >= 2; b -= 2) {
        levels.at[b] = &GetLevel(b);
    }
    if constexpr (std::is_same_v<T, double>) {
        if (UseAvx2()) {
            levels.wide = UseAvx512();
            auto* out = reinterpret_cast<double*>(z);
            const auto* in = reinterpret_cast<const double*>(src);
            if (m >= 8 && m <= SCATTER_MAX) {
                // Worked in a scratch area; the last stage puts each point in its place.
                double* work = Scratch(2 * m);
                DifAvx2(work, in, m, log2m, inverse, levels, out);
                return;
            }
            DifAvx2(out, in, m, log2m, inverse, levels, nullptr);
            BitReverseComplex(z, log2m);
            return;
        }
    }
    if (src != z) {
        std::copy(src, src + m, z);
    }
    if (inverse) {
        PortableDif<T, true>(z, m, log2m, levels);
    } else {
        PortableDif<T, false>(z, m, log2m, levels);
    }
    BitReverseComplex(z, log2m);
}

template <typename T>
void RealSplit(T* d, std::size_t n, bool inverse) {
    const std::size_t m = n / 2;
    if (m < 2) {
        return;
    }
    const double* w = GetLevel(static_cast<unsigned>(std::countr_zero(n))).w1.data();
    if constexpr (std::is_same_v<T, double>) {
        if (UseAvx2()) {
            RealSplitAvx2(d, m, inverse, w);
            return;
        }
    }
    auto* z = reinterpret_cast<std::complex<T>*>(d);
    if (inverse) {
        PortableRealSplit<T, true>(z, m, w);
    } else {
        PortableRealSplit<T, false>(z, m, w);
    }
}

template <typename T>
void RealKernel(T* d, std::size_t n, int direction) {
    if (n < 2) {
        return;
    }
    auto* z = reinterpret_cast<std::complex<T>*>(d);
    if (direction >= 0) {
        ComplexKernel(z, z, n / 2, +1);
        RealSplit(d, n, false);
        const T s0 = d[0];
        d[0] = s0 + d[1];
        d[1] = s0 - d[1];
    } else {
        RealSplit(d, n, true);
        const T s0 = d[0];
        d[0] = T(0.5) * (s0 + d[1]);
        d[1] = T(0.5) * (s0 - d[1]);
        ComplexKernel(z, z, n / 2, -1);
    }
}

const double* SplitTwiddles(std::size_t n) {
    return GetLevel(static_cast<unsigned>(std::countr_zero(n))).w1.data();
}

// Multiplies bins 1 .. half-1 by e^(i k a). The rotation is advanced by multiplication
// and re-anchored with an exact sincos every 64 bins, so the error stays at rounding level.
template <typename T>
void RotateBins(std::complex<T>* out, std::size_t half, double a) {
    constexpr std::size_t ANCHOR = 64;
    const double stepRe = std::cos(a);
    const double stepIm = std::sin(a);
    double re = 1.0;
    double im = 0.0;
    for (std::size_t k = 1; k < half; ++k) {
        if ((k - 1) % ANCHOR == 0) {
            re = std::cos(static_cast<double>(k) * a);
            im = std::sin(static_cast<double>(k) * a);
        } else {
            const double next = re * stepRe - im * stepIm;
            im = re * stepIm + im * stepRe;
            re = next;
        }
        const double x = out[k].real();
        const double y = out[k].imag();
        out[k] = {static_cast<T>(x * re - y * im), static_cast<T>(x * im + y * re)};
    }
}

template <typename T>
void ForwardBins(const T* in, std::complex<T>* out, std::size_t n, T scale, bool centred,
                 double rotation) {
    if (n < 4) {
        const T a = in[0];
        const T b = n == 2 ? in[1] : T(0);
        out[0] = {scale * (a + b), T(0)};
        if (n == 2) {
            out[1] = {scale * (a - b), T(0)};
        }
        return;
    }
    const std::size_t m = n / 2;
    ComplexKernel(out, reinterpret_cast<const std::complex<T>*>(in), m, +1);
    const double* w = SplitTwiddles(n);
    if constexpr (std::is_same_v<T, double>) {
        if (UseAvx2()) {
            SplitToBinsAvx2(reinterpret_cast<double*>(out), m, w, scale, centred, rotation);
            return;
        }
    }
    const std::complex<T> z0 = out[0];
    for (std::size_t i = 1; i <= m - i; ++i) {
        SplitPairToBins(out, i, m - i, w, centred && (i & 1) ? -scale : scale);
    }
    out[0] = {scale * (z0.real() + z0.imag()), T(0)};
    out[m] = {scale * (z0.real() - z0.imag()), T(0)};
    if (rotation != 0.0) {
        RotateBins(out, m, rotation);
    }
}

template <typename T>
void InverseBins(const std::complex<T>* in, T* out, std::size_t n, T scale, bool centred) {
    if (n < 4) {
        const T s0 = scale * in[0].real();
        if (n == 2) {
            const T s1 = scale * in[1].real();
            out[0] = T(0.5) * (s0 + s1);
            out[1] = T(0.5) * (s0 - s1);
        } else {
            out[0] = s0;
        }
        return;
    }
    const std::size_t m = n / 2;
    auto* z = reinterpret_cast<std::complex<T>*>(out);
    const double* w = SplitTwiddles(n);
    bool done = false;
    if constexpr (std::is_same_v<T, double>) {
        if (UseAvx2()) {
            SplitFromBinsAvx2(reinterpret_cast<const double*>(in), out, m, w, scale, centred);
            done = true;
        }
    }
    if (!done) {
        for (std::size_t i = 1; i <= m - i; ++i) {
            const T s = centred && (i & 1) ? -scale : scale;
            SplitPairScalar<T, true>(in, z, i, m - i, w, s, -s);
        }
        const T s0 = scale * in[0].real();
        const T s1 = scale * in[m].real();
        z[0] = {T(0.5) * (s0 + s1), T(0.5) * (s0 - s1)};
    }
    ComplexKernel(z, z, m, -1);
}

} // namespace

const Level& GetLevel(unsigned log2L) {
    LevelCache& cache = Cache();
    if (const Level* level = cache.published[log2L].load(std::memory_order_acquire)) {
        return *level;
    }
    std::unique_ptr<Level> built = BuildLevel(log2L);
    const std::lock_guard<std::mutex> lock(cache.mutex);
    if (const Level* level = cache.published[log2L].load(std::memory_order_relaxed)) {
        return *level;
    }
    cache.owned[log2L] = std::move(built);
    cache.published[log2L].store(cache.owned[log2L].get(), std::memory_order_release);
    return *cache.owned[log2L];
}

bool CpuHasAvx2Fma() {
    static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return has;
}

void SetVectorKernelsEnabled(bool enabled) {
    vectorKernelsEnabled.store(enabled, std::memory_order_relaxed);
}

void SetWideKernelsEnabled(bool enabled) {
    wideKernelsEnabled.store(enabled, std::memory_order_relaxed);
}

} // namespace fft

void ComplexTransformPow2(std::complex<double>* z, std::size_t m, int direction) {
    fft::ComplexKernel(z, z, m, direction);
}
void ComplexTransformPow2(std::complex<float>* z, std::size_t m, int direction) {
    fft::ComplexKernel(z, z, m, direction);
}
void RealTransformPow2(double* data, std::size_t n, int direction) {
    fft::RealKernel(data, n, direction);
}
void RealTransformPow2(float* data, std::size_t n, int direction) {
    fft::RealKernel(data, n, direction);
}

void RealToBins(const double* in, std::complex<double>* out, std::size_t n, double scale,
                bool centred, double rotation) {
    fft::ForwardBins(in, out, n, scale, centred, rotation);
}
void RealToBins(const float* in, std::complex<float>* out, std::size_t n, float scale, bool centred,
                double rotation) {
    fft::ForwardBins(in, out, n, scale, centred, rotation);
}
void BinsToReal(const std::complex<double>* in, double* out, std::size_t n, double scale,
                bool centred) {
    fft::InverseBins(in, out, n, scale, centred);
}
void BinsToReal(const std::complex<float>* in, float* out, std::size_t n, float scale,
                bool centred) {
    fft::InverseBins(in, out, n, scale, centred);
}

} // namespace Kedra::Math::detail
