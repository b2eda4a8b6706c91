// AVX2/FMA double kernels, called only after a runtime CPU check. One __m256d holds two
// interleaved complex values. Nothing from the standard library is used below the target
// pragma, so no inline library function gets compiled here with instructions the baseline
// build must not contain.
#include "foundation/FftKernelImpl.h"

#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("avx2,fma")

namespace Kedra::Math::detail::fft {
namespace {

using V = __m256d;

inline V Load(const double* p) {
    return _mm256_loadu_pd(p);
}
inline void Store(double* p, V v) {
    _mm256_storeu_pd(p, v);
}
inline V Add(V a, V b) {
    return _mm256_add_pd(a, b);
}
inline V Sub(V a, V b) {
    return _mm256_sub_pd(a, b);
}
inline V SwapReIm(V v) {
    return _mm256_permute_pd(v, 0x5);
}

// x * w, or x * conj(w) for the inverse.
template <bool Inv>
inline V Mul(V x, V w) {
    const V wr = _mm256_movedup_pd(w);
    const V wi = _mm256_permute_pd(w, 0xF);
    const V t = _mm256_mul_pd(SwapReIm(x), wi);
    return Inv ? _mm256_fmsubadd_pd(x, wr, t) : _mm256_fmaddsub_pd(x, wr, t);
}

// x * i for the forward direction, x * (-i) for the inverse.
template <bool Inv>
inline V TimesI(V x) {
    const V mask = Inv ? _mm256_set_pd(-0.0, 0.0, -0.0, 0.0) : _mm256_set_pd(0.0, -0.0, 0.0, -0.0);
    return _mm256_xor_pd(SwapReIm(x), mask);
}

// The radix-4 butterfly on four registers, without loads and stores.
template <bool Inv>
inline void Radix4(V& a, V& b, V& c, V& d, V w1, V w2, V w3) {
    const V t0 = Add(a, c);
    const V t1 = Sub(a, c);
    const V t2 = Add(b, d);
    const V t3 = TimesI<Inv>(Sub(b, d));
    a = Add(t0, t2);
    b = Mul<Inv>(Sub(t0, t2), w2);
    c = Mul<Inv>(Add(t1, t3), w1);
    d = Mul<Inv>(Sub(t1, t3), w3);
}

template <bool Inv>
inline void Butterfly4(double* a, double* b, double* c, double* d, V w1, V w2, V w3) {
    V va = Load(a);
    V vb = Load(b);
    V vc = Load(c);
    V vd = Load(d);
    Radix4<Inv>(va, vb, vc, vd, w1, w2, w3);
    Store(a, va);
    Store(b, vb);
    Store(c, vc);
    Store(d, vd);
}

// Radix-4 passes of length span (>= 8) over every span-block of the L points at x.
template <bool Inv>
void PassTriple(double* x, std::size_t L, std::size_t span, const double* tw) {
    const std::size_t q = span / 4;
    for (std::size_t base = 0; base < L; base += span) {
        double* a = x + 2 * base;
        for (std::size_t j = 0; j < q; j += 2) {
            const double* w = tw + 6 * j;
            Butterfly4<Inv>(a + 2 * j, a + 2 * (j + q), a + 2 * (j + 2 * q), a + 2 * (j + 3 * q),
                            Load(w), Load(w + 4), Load(w + 8));
        }
    }
}

template <bool Inv>
void PassCompact(double* x, std::size_t span, const double* w1) {
    const std::size_t q = span / 4;
    for (std::size_t j = 0; j < q; j += 2) {
        const V w = Load(w1 + 2 * j);
        const V w2 = Mul<false>(w, w);
        const V w3 = Mul<false>(w, w2);
        Butterfly4<Inv>(x + 2 * j, x + 2 * (j + q), x + 2 * (j + 2 * q), x + 2 * (j + 3 * q), w, w2,
                        w3);
    }
}

// Radix-4 without twiddles on the four points held by v0 = (x0, x1) and v1 = (x2, x3).
template <bool Inv>
inline void Leaf4(V& v0, V& v1) {
    const V s = Add(v0, v1);
    const V d = Sub(v0, v1);
    const V p = _mm256_permute2f128_pd(s, d, 0x20);
    V r = _mm256_permute2f128_pd(s, d, 0x31);
    r = _mm256_blend_pd(r, TimesI<Inv>(r), 0xC);
    const V lo = Add(p, r); // y0 y2
    const V hi = Sub(p, r); // y1 y3
    v0 = _mm256_permute2f128_pd(lo, hi, 0x20);
    v1 = _mm256_permute2f128_pd(lo, hi, 0x31);
}

// Radix-2 on the two points of v.
inline V Leaf2(V v) {
    const V s = _mm256_permute2f128_pd(v, v, 0x01);
    return _mm256_blend_pd(Add(v, s), Sub(s, v), 0xC);
}

// The last two levels of every 16-point block: a radix-4 pass of span 16, then radix 4.
template <bool Inv>
void Last16(double* x, std::size_t L, const double* tw16) {
    const V w1a = Load(tw16);
    const V w2a = Load(tw16 + 4);
    const V w3a = Load(tw16 + 8);
    const V w1b = Load(tw16 + 12);
    const V w2b = Load(tw16 + 16);
    const V w3b = Load(tw16 + 20);
    for (std::size_t i = 0; i < L; i += 16) {
        double* p = x + 2 * i;
        V v[8];
        for (int k = 0; k < 8; ++k) {
            v[k] = Load(p + 4 * k);
        }
        Radix4<Inv>(v[0], v[2], v[4], v[6], w1a, w2a, w3a);
        Radix4<Inv>(v[1], v[3], v[5], v[7], w1b, w2b, w3b);
        for (int k = 0; k < 8; k += 2) {
            Leaf4<Inv>(v[k], v[k + 1]);
        }
        for (int k = 0; k < 8; ++k) {
            Store(p + 4 * k, v[k]);
        }
    }
}

// The last two levels of every 8-point block: a radix-4 pass of span 8, then radix 2.
template <bool Inv>
void Last8(double* x, std::size_t L, const double* tw8) {
    const V w1 = Load(tw8);
    const V w2 = Load(tw8 + 4);
    const V w3 = Load(tw8 + 8);
    for (std::size_t i = 0; i < L; i += 8) {
        double* p = x + 2 * i;
        V a = Load(p);
        V b = Load(p + 4);
        V c = Load(p + 8);
        V d = Load(p + 12);
        Radix4<Inv>(a, b, c, d, w1, w2, w3);
        Store(p, Leaf2(a));
        Store(p + 4, Leaf2(b));
        Store(p + 8, Leaf2(c));
        Store(p + 12, Leaf2(d));
    }
}

template <bool Inv>
void Dif(double* x, std::size_t L, unsigned log2L, const LevelSet& levels) {
    if (L <= BLOCK) {
        std::size_t span = L;
        unsigned b = log2L;
        for (; span >= 32; span >>= 2, b -= 2) {
            PassTriple<Inv>(x, L, span, levels.at[b]->w123.data());
        }
        if (span == 16) {
            Last16<Inv>(x, L, levels.at[4]->w123.data());
        } else if (span == 8) {
            Last8<Inv>(x, L, levels.at[3]->w123.data());
        } else if (span == 4) {
            V v0 = Load(x);
            V v1 = Load(x + 4);
            Leaf4<Inv>(v0, v1);
            Store(x, v0);
            Store(x + 4, v1);
        } else {
            Store(x, Leaf2(Load(x)));
        }
        return;
    }
    PassCompact<Inv>(x, L, levels.at[log2L]->w1.data());
    const std::size_t q = L / 4;
    for (std::size_t k = 0; k < 4; ++k) {
        Dif<Inv>(x + 2 * k * q, q, log2L - 2, levels);
    }
}

template <bool Inv>
inline void SplitPair(double* pi, double* pk, V w) {
    const V conjMask = _mm256_set_pd(-0.0, 0.0, -0.0, 0.0);
    const V zi = Load(pi);
    const V zk = _mm256_xor_pd(_mm256_permute2f128_pd(Load(pk), Load(pk), 0x01), conjMask);
    const V half = _mm256_set1_pd(0.5);
    const V h1 = _mm256_mul_pd(half, Add(zi, zk));
    // h2 = -i/2 (zi - conj zk) forward, +i/2 (...) inverse: the i of TimesI<Inv> is -i then.
    const V h2 = _mm256_mul_pd(_mm256_set1_pd(-0.5), TimesI<Inv>(Sub(zi, zk)));
    const V wh2 = Mul<Inv>(h2, w);
    const V outK = _mm256_xor_pd(Sub(h1, wh2), conjMask);
    Store(pi, Add(h1, wh2));
    Store(pk, _mm256_permute2f128_pd(outK, outK, 0x01));
}

template <bool Inv>
void RealSplit(double* z, std::size_t m, const double* w) {
    std::size_t i = 1;
    for (; i + 1 < m - i - 1; i += 2) {
        SplitPair<Inv>(z + 2 * i, z + 2 * (m - i - 1), Load(w + 2 * i));
    }
    // The last pairs, and the middle point that pairs with itself: the same arithmetic.
    const double sign = Inv ? -1.0 : 1.0;
    for (; i <= m - i; ++i) {
        const std::size_t k = m - i;
        const double ar = z[2 * i];
        const double ai = z[2 * i + 1];
        const double br = z[2 * k];
        const double bi = z[2 * k + 1];
        const double h1r = 0.5 * (ar + br);
        const double h1i = 0.5 * (ai - bi);
        const double h2r = 0.5 * sign * (ai + bi);
        const double h2i = -0.5 * sign * (ar - br);
        const double wr = w[2 * i];
        const double wi = sign * w[2 * i + 1];
        const double tr = wr * h2r - wi * h2i;
        const double ti = wr * h2i + wi * h2r;
        z[2 * i] = h1r + tr;
        z[2 * i + 1] = h1i + ti;
        z[2 * k] = h1r - tr;
        z[2 * k + 1] = ti - h1i;
    }
}

} // namespace

void DifAvx2(double* z, std::size_t m, unsigned log2m, bool inverse, const LevelSet& levels) {
    if (inverse) {
        Dif<true>(z, m, log2m, levels);
    } else {
        Dif<false>(z, m, log2m, levels);
    }
}

void RealSplitAvx2(double* z, std::size_t m, bool inverse, const double* w) {
    if (inverse) {
        RealSplit<true>(z, m, w);
    } else {
        RealSplit<false>(z, m, w);
    }
}

} // namespace Kedra::Math::detail::fft

#pragma GCC pop_options
