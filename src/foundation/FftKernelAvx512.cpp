// AVX-512 radix-4 passes for the double kernels, called only after a runtime CPU check. A
// group of eight points is held as eight real parts and eight imaginary parts, in natural
// order. The last pass before the AVX2 leaf stages (FftKernelAvx2.cpp) writes their
// four-point groups instead. As there, the target is set per function.
#include "foundation/FftKernelImpl.h"

#include <immintrin.h>

#define SONVEL_AVX512 __attribute__((target("avx512f,avx512dq,avx2,fma")))

namespace Kedra::Math::detail::fft {
namespace {

using W = __m512d;

struct Split8 {
    W re;
    W im;
};

SONVEL_AVX512 inline Split8 LoadSplit8(const double* p) {
    return {_mm512_loadu_pd(p), _mm512_loadu_pd(p + 8)};
}

SONVEL_AVX512 inline void StoreSplit8(double* p, Split8 c) {
    _mm512_storeu_pd(p, c.re);
    _mm512_storeu_pd(p + 8, c.im);
}

SONVEL_AVX512 inline Split8 LoadInterleaved8(const double* p) {
    const W a = _mm512_loadu_pd(p);
    const W b = _mm512_loadu_pd(p + 8);
    const __m512i re = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14);
    const __m512i im = _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15);
    return {_mm512_permutex2var_pd(a, re, b), _mm512_permutex2var_pd(a, im, b)};
}

// The AVX2 kernels' two four-point groups: real parts of points 0, 2, 1, 3, then their
// imaginary parts, for points 0..3 and again for 4..7.
SONVEL_AVX512 inline void StoreSplit4Pair(double* p, Split8 c) {
    const __m512i lo = _mm512_setr_epi64(0, 2, 1, 3, 8, 10, 9, 11);
    const __m512i hi = _mm512_setr_epi64(4, 6, 5, 7, 12, 14, 13, 15);
    _mm512_storeu_pd(p, _mm512_permutex2var_pd(c.re, lo, c.im));
    _mm512_storeu_pd(p + 8, _mm512_permutex2var_pd(c.re, hi, c.im));
}

SONVEL_AVX512 inline Split8 Add(Split8 a, Split8 b) {
    return {_mm512_add_pd(a.re, b.re), _mm512_add_pd(a.im, b.im)};
}

SONVEL_AVX512 inline Split8 Sub(Split8 a, Split8 b) {
    return {_mm512_sub_pd(a.re, b.re), _mm512_sub_pd(a.im, b.im)};
}

// x * w, or x * conj(w) for the inverse.
template <bool Inv>
SONVEL_AVX512 inline Split8 Mul(Split8 x, Split8 w) {
    if (Inv) {
        return {_mm512_fmadd_pd(x.re, w.re, _mm512_mul_pd(x.im, w.im)),
                _mm512_fmsub_pd(x.im, w.re, _mm512_mul_pd(x.re, w.im))};
    }
    return {_mm512_fmsub_pd(x.re, w.re, _mm512_mul_pd(x.im, w.im)),
            _mm512_fmadd_pd(x.re, w.im, _mm512_mul_pd(x.im, w.re))};
}

// The same butterfly as the AVX2 kernels' Radix4S.
template <bool Inv>
SONVEL_AVX512 inline void Radix4(Split8& a, Split8& b, Split8& c, Split8& d, Split8 w1, Split8 w2,
                                 Split8 w3) {
    const Split8 t0 = Add(a, c);
    const Split8 t1 = Sub(a, c);
    const Split8 t2 = Add(b, d);
    const Split8 u = Sub(b, d);
    const Split8 plusIu = {_mm512_sub_pd(t1.re, u.im), _mm512_add_pd(t1.im, u.re)};
    const Split8 minusIu = {_mm512_add_pd(t1.re, u.im), _mm512_sub_pd(t1.im, u.re)};
    a = Add(t0, t2);
    b = Mul<Inv>(Sub(t0, t2), w2);
    c = Mul<Inv>(Inv ? minusIu : plusIu, w1);
    d = Mul<Inv>(Inv ? plusIu : minusIu, w3);
}

template <bool Inv, bool FromInterleaved, bool Triple, bool ToSplit4>
SONVEL_AVX512 void Pass(double* x, const double* in, std::size_t L, std::size_t span,
                        const double* tw) {
    const std::size_t q = span / 4;
    const std::ptrdiff_t from = in - x;
    for (std::size_t base = 0; base < L; base += span) {
        double* p[4];
        for (std::size_t r = 0; r < 4; ++r) {
            p[r] = x + 2 * (base + r * q);
        }
        for (std::size_t j = 0; j < q; j += 8) {
            Split8 w1;
            Split8 w2;
            Split8 w3;
            if (Triple) {
                const double* t = tw + 6 * j;
                w1 = LoadSplit8(t);
                w2 = LoadSplit8(t + 16);
                w3 = LoadSplit8(t + 32);
            } else {
                w1 = LoadSplit8(tw + 2 * j);
                w2 = Mul<false>(w1, w1);
                w3 = Mul<false>(w1, w2);
            }
            Split8 g[4];
            for (std::size_t r = 0; r < 4; ++r) {
                const double* src = p[r] + from + 2 * j;
                g[r] = FromInterleaved ? LoadInterleaved8(src) : LoadSplit8(src);
            }
            Radix4<Inv>(g[0], g[1], g[2], g[3], w1, w2, w3);
            for (std::size_t r = 0; r < 4; ++r) {
                if (ToSplit4) {
                    StoreSplit4Pair(p[r] + 2 * j, g[r]);
                } else {
                    StoreSplit8(p[r] + 2 * j, g[r]);
                }
            }
        }
    }
}

template <bool Inv, bool FromInterleaved, bool Triple>
SONVEL_AVX512 void PassTo(double* x, const double* in, std::size_t L, std::size_t span,
                          const double* tw, bool toSplit4) {
    if (toSplit4) {
        Pass<Inv, FromInterleaved, Triple, true>(x, in, L, span, tw);
    } else {
        Pass<Inv, FromInterleaved, Triple, false>(x, in, L, span, tw);
    }
}

template <bool Inv, bool FromInterleaved>
SONVEL_AVX512 void PassTriple(double* x, const double* in, std::size_t L, std::size_t span,
                              const double* tw, bool triple, bool toSplit4) {
    if (triple) {
        PassTo<Inv, FromInterleaved, true>(x, in, L, span, tw, toSplit4);
    } else {
        PassTo<Inv, FromInterleaved, false>(x, in, L, span, tw, toSplit4);
    }
}

template <bool Inv>
SONVEL_AVX512 void PassFrom(double* x, const double* in, std::size_t L, std::size_t span,
                            const double* tw, bool fromInterleaved, bool triple, bool toSplit4) {
    if (fromInterleaved) {
        PassTriple<Inv, true>(x, in, L, span, tw, triple, toSplit4);
    } else {
        PassTriple<Inv, false>(x, in, L, span, tw, triple, toSplit4);
    }
}

} // namespace

SONVEL_AVX512 void PassAvx512(double* x, const double* in, std::size_t L, std::size_t span,
                              const double* tw8, bool inverse, bool fromInterleaved, bool triple,
                              bool toSplit4) {
    if (inverse) {
        PassFrom<true>(x, in, L, span, tw8, fromInterleaved, triple, toSplit4);
    } else {
        PassFrom<false>(x, in, L, span, tw8, fromInterleaved, triple, toSplit4);
    }
}

bool CpuHasAvx512() {
    static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
    return has;
}

} // namespace Kedra::Math::detail::fft

#undef SONVEL_AVX512
