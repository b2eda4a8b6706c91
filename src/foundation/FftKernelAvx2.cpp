// AVX2/FMA double kernels, called only after a runtime CPU check. One __m256d holds two
// interleaved complex values. The target is set per function rather than for the file: the
// inline library functions this file instantiates must stay baseline code, since the linker
// may keep this file's copy for the whole program. g++ and clang both honour the attribute
// (clang ignores GCC's target pragma).
#include "foundation/FftKernelImpl.h"

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <immintrin.h>

#define SONVEL_AVX2 __attribute__((target("avx2,fma")))

namespace Kedra::Math::detail::fft {
namespace {

using V = __m256d;

SONVEL_AVX2 inline V Load(const double* p) {
    return _mm256_loadu_pd(p);
}
SONVEL_AVX2 inline void Store(double* p, V v) {
    _mm256_storeu_pd(p, v);
}
SONVEL_AVX2 inline V Add(V a, V b) {
    return _mm256_add_pd(a, b);
}
SONVEL_AVX2 inline V Sub(V a, V b) {
    return _mm256_sub_pd(a, b);
}
SONVEL_AVX2 inline V SwapReIm(V v) {
    return _mm256_permute_pd(v, 0x5);
}

// x * w, or x * conj(w) for the inverse.
template <bool Inv>
SONVEL_AVX2 inline V Mul(V x, V w) {
    const V wr = _mm256_movedup_pd(w);
    const V wi = _mm256_permute_pd(w, 0xF);
    const V t = _mm256_mul_pd(SwapReIm(x), wi);
    return Inv ? _mm256_fmsubadd_pd(x, wr, t) : _mm256_fmaddsub_pd(x, wr, t);
}

// x * i for the forward direction, x * (-i) for the inverse.
template <bool Inv>
SONVEL_AVX2 inline V TimesI(V x) {
    const V mask = Inv ? _mm256_set_pd(-0.0, 0.0, -0.0, 0.0) : _mm256_set_pd(0.0, -0.0, 0.0, -0.0);
    return _mm256_xor_pd(SwapReIm(x), mask);
}

// The radix-4 butterfly on four registers, without loads and stores.
template <bool Inv>
SONVEL_AVX2 inline void Radix4(V& a, V& b, V& c, V& d, V w1, V w2, V w3) {
    const V t0 = Add(a, c);
    const V t1 = Sub(a, c);
    const V t2 = Add(b, d);
    const V t3 = TimesI<Inv>(Sub(b, d));
    a = Add(t0, t2);
    b = Mul<Inv>(Sub(t0, t2), w2);
    c = Mul<Inv>(Add(t1, t3), w1);
    d = Mul<Inv>(Sub(t1, t3), w3);
}

// Four points as real parts and imaginary parts, lanes in the order 0, 2, 1, 3.
struct Split {
    V re;
    V im;
};

SONVEL_AVX2 inline Split LoadSplit(const double* p) {
    return {Load(p), Load(p + 4)};
}
SONVEL_AVX2 inline void StoreSplit(double* p, Split c) {
    Store(p, c.re);
    Store(p + 4, c.im);
}
// Four interleaved points to the split form; unpacking is what puts the lanes in 0, 2, 1, 3.
SONVEL_AVX2 inline Split LoadInterleaved(const double* p) {
    const V a = Load(p);
    const V b = Load(p + 4);
    return {_mm256_unpacklo_pd(a, b), _mm256_unpackhi_pd(a, b)};
}
template <bool FromInterleaved>
SONVEL_AVX2 inline Split LoadGroup(const double* p) {
    return FromInterleaved ? LoadInterleaved(p) : LoadSplit(p);
}
// Back to interleaved: points 0, 1 in lo and 2, 3 in hi.
SONVEL_AVX2 inline void ToInterleaved(Split c, V& lo, V& hi) {
    lo = _mm256_unpacklo_pd(c.re, c.im);
    hi = _mm256_unpackhi_pd(c.re, c.im);
}

SONVEL_AVX2 inline Split AddS(Split a, Split b) {
    return {Add(a.re, b.re), Add(a.im, b.im)};
}
SONVEL_AVX2 inline Split SubS(Split a, Split b) {
    return {Sub(a.re, b.re), Sub(a.im, b.im)};
}

// x * w, or x * conj(w) for the inverse.
template <bool Inv>
SONVEL_AVX2 inline Split MulS(Split x, Split w) {
    if (Inv) {
        return {_mm256_fmadd_pd(x.re, w.re, _mm256_mul_pd(x.im, w.im)),
                _mm256_fmsub_pd(x.im, w.re, _mm256_mul_pd(x.re, w.im))};
    }
    return {_mm256_fmsub_pd(x.re, w.re, _mm256_mul_pd(x.im, w.im)),
            _mm256_fmadd_pd(x.re, w.im, _mm256_mul_pd(x.im, w.re))};
}

// The radix-4 butterfly on split registers; the factor +-i is folded into the additions.
template <bool Inv>
SONVEL_AVX2 inline void Radix4S(Split& a, Split& b, Split& c, Split& d, Split w1, Split w2,
                                Split w3) {
    const Split t0 = AddS(a, c);
    const Split t1 = SubS(a, c);
    const Split t2 = AddS(b, d);
    const Split u = SubS(b, d);
    const Split plusIu = {Sub(t1.re, u.im), Add(t1.im, u.re)};  // t1 + i u
    const Split minusIu = {Add(t1.re, u.im), Sub(t1.im, u.re)}; // t1 - i u
    a = AddS(t0, t2);
    b = MulS<Inv>(SubS(t0, t2), w2);
    c = MulS<Inv>(Inv ? minusIu : plusIu, w1);
    d = MulS<Inv>(Inv ? plusIu : minusIu, w3);
}

// Radix-4 passes of length span (>= 32) over every span-block of the L points at x, read
// from `in` (x itself, or the caller's samples on the first pass). The first pass of a
// transform reads interleaved points; every pass writes split groups.
// Triple: the level has w^j, w^2j, w^3j; otherwise w^j only.
template <bool Inv, bool FromInterleaved, bool Triple>
SONVEL_AVX2 void Pass(double* x, const double* in, std::size_t L, std::size_t span,
                      const double* tw) {
    const std::size_t q = span / 4;
    const std::ptrdiff_t from = in - x;
    for (std::size_t base = 0; base < L; base += span) {
        double* pa = x + 2 * base;
        double* pb = pa + 2 * q;
        double* pc = pb + 2 * q;
        double* pd = pc + 2 * q;
        for (std::size_t j = 0; j < q; j += 4) {
            Split w1;
            Split w2;
            Split w3;
            if (Triple) {
                const double* t = tw + 6 * j;
                w1 = LoadSplit(t);
                w2 = LoadSplit(t + 8);
                w3 = LoadSplit(t + 16);
            } else {
                w1 = LoadSplit(tw + 2 * j);
                w2 = MulS<false>(w1, w1);
                w3 = MulS<false>(w1, w2);
            }
            Split a = LoadGroup<FromInterleaved>(pa + from + 2 * j);
            Split b = LoadGroup<FromInterleaved>(pb + from + 2 * j);
            Split c = LoadGroup<FromInterleaved>(pc + from + 2 * j);
            Split d = LoadGroup<FromInterleaved>(pd + from + 2 * j);
            Radix4S<Inv>(a, b, c, d, w1, w2, w3);
            StoreSplit(pa + 2 * j, a);
            StoreSplit(pb + 2 * j, b);
            StoreSplit(pc + 2 * j, c);
            StoreSplit(pd + 2 * j, d);
        }
    }
}

// Radix-4 without twiddles on the four points held by v0 = (x0, x1) and v1 = (x2, x3).
template <bool Inv>
SONVEL_AVX2 inline void Leaf4(V& v0, V& v1) {
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
SONVEL_AVX2 inline V Leaf2(V v) {
    const V s = _mm256_permute2f128_pd(v, v, 0x01);
    return _mm256_blend_pd(Add(v, s), Sub(s, v), 0xC);
}

// Where the last stage puts its points: in place (dst == nullptr), or into dst in natural
// order. The stage's blocks, in bit-reversed order, are the whole transform's blocks
// phase, phase + step, phase + 2 step, ...
struct Reversed {
    double* dst = nullptr;
    std::size_t step = 1;
    std::size_t phase = 0;
};

// Counts 0, 1, 2, ... with its bits reversed over `width` bits. Adding one from the top:
// the leading ones and the first zero after them flip. Without a loop, since the number of
// ones changes from step to step and a loop on it mispredicts.
class ReversedCounter {
public:
    explicit ReversedCounter(unsigned width) : width_(width) {}
    std::size_t Value() const { return value_; }
    void Next() {
        if (width_ == 0) {
            return;
        }
        const auto ones = static_cast<unsigned>(std::countl_one(value_ << (64 - width_)));
        value_ =
            ones >= width_ ? 0 : value_ ^ (((std::uint64_t{2} << ones) - 1) << (width_ - 1 - ones));
    }

private:
    unsigned width_;
    std::uint64_t value_ = 0;
};

// The two points of v to their places.
SONVEL_AVX2 inline void Scatter(double* dst, std::size_t first, std::size_t second, V v) {
    _mm_storeu_pd(dst + 2 * first, _mm256_castpd256_pd128(v));
    _mm_storeu_pd(dst + 2 * second, _mm256_extractf128_pd(v, 1));
}

// The last two levels of one 16-point block, ending interleaved: a radix-4 pass of span 16
// on split groups, then radix 4 inside each group. out[2k] holds points 4k, 4k+1 and
// out[2k+1] points 4k+2, 4k+3.
template <bool Inv, bool FromInterleaved>
SONVEL_AVX2 inline void Block16(const double* q, const Split* w, V* out) {
    Split g[4];
    for (int k = 0; k < 4; ++k) {
        g[k] = LoadGroup<FromInterleaved>(q + 8 * k);
    }
    Radix4S<Inv>(g[0], g[1], g[2], g[3], w[0], w[1], w[2]);
    for (std::size_t k = 0; k < 4; ++k) {
        ToInterleaved(g[k], out[2 * k], out[2 * k + 1]);
        Leaf4<Inv>(out[2 * k], out[2 * k + 1]);
    }
}

// The last two levels of one 8-point block: a radix-4 pass of span 8, then radix 2.
// out[k] holds points 2k, 2k+1.
template <bool Inv, bool FromInterleaved>
SONVEL_AVX2 inline void Block8(const double* q, const V* w, V* out) {
    V a;
    V b;
    V c;
    V d;
    if (FromInterleaved) {
        a = Load(q);
        b = Load(q + 4);
        c = Load(q + 8);
        d = Load(q + 12);
    } else {
        ToInterleaved(LoadSplit(q), a, b);
        ToInterleaved(LoadSplit(q + 8), c, d);
    }
    Radix4<Inv>(a, b, c, d, w[0], w[1], w[2]);
    out[0] = Leaf2(a);
    out[1] = Leaf2(b);
    out[2] = Leaf2(c);
    out[3] = Leaf2(d);
}

// The last stage over every block of B points (8 or 16). Put in place, or, into
// reversed.dst, in the order of the results' places, which then fill line by line: point t
// of block b belongs at rev(b) + rev(t) * (number of blocks). When the stage is the whole
// transform, blocks 2k and 2k+1 of that order are neighbours there and go out in pairs,
// whole vectors at a time.
template <std::size_t B, typename Block, typename Tw>
SONVEL_AVX2 inline void LastStage(double* x, const double* in, std::size_t L, const Tw* w,
                                  Reversed reversed, Block block) {
    static constexpr std::size_t REV[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    constexpr std::size_t SHIFT = B == 16 ? 0 : 1;
    // Copied, so that the stores below cannot be taken to change them.
    double* const dst = reversed.dst;
    const std::size_t step = reversed.step;
    const std::size_t phase = reversed.phase;
    const std::size_t blocks = L / B;
    V out[B / 2];
    if (dst == nullptr) {
        for (std::size_t i = 0; i < L; i += B) {
            block(in + 2 * i, w, out);
            for (std::size_t k = 0; k < B / 2; ++k) {
                Store(x + 2 * i + 4 * k, out[k]);
            }
        }
        return;
    }
    const auto width = static_cast<unsigned>(std::countr_zero(blocks));
    if (step == 1 && blocks >= 2) {
        V other[B / 2];
        ReversedCounter source(width - 1);
        for (std::size_t n = 0; n < blocks; n += 2, source.Next()) {
            block(in + 2 * B * source.Value(), w, out);
            block(in + 2 * B * (source.Value() + blocks / 2), w, other);
            for (std::size_t k = 0; k < B / 2; ++k) {
                const std::size_t t = 2 * k;
                Store(dst + 2 * (n + (REV[t] >> SHIFT) * blocks),
                      _mm256_permute2f128_pd(out[k], other[k], 0x20));
                Store(dst + 2 * (n + (REV[t + 1] >> SHIFT) * blocks),
                      _mm256_permute2f128_pd(out[k], other[k], 0x31));
            }
        }
        return;
    }
    const std::size_t all = blocks * step;
    ReversedCounter source(width);
    for (std::size_t n = 0; n < blocks; ++n, source.Next()) {
        block(in + 2 * B * source.Value(), w, out);
        const std::size_t r = n * step + phase;
        for (std::size_t k = 0; k < B / 2; ++k) {
            Scatter(dst, r + (REV[2 * k] >> SHIFT) * all, r + (REV[2 * k + 1] >> SHIFT) * all,
                    out[k]);
        }
    }
}

template <bool Inv, bool FromInterleaved>
SONVEL_AVX2 void Last16(double* x, const double* in, std::size_t L, const double* tw16,
                        Reversed reversed) {
    const Split w[3] = {LoadSplit(tw16), LoadSplit(tw16 + 8), LoadSplit(tw16 + 16)};
    LastStage<16>(x, in, L, w, reversed, Block16<Inv, FromInterleaved>);
}

template <bool Inv, bool FromInterleaved>
SONVEL_AVX2 void Last8(double* x, const double* in, std::size_t L, const double* tw8,
                       Reversed reversed) {
    const V w[3] = {Load(tw8), Load(tw8 + 4), Load(tw8 + 8)};
    LastStage<8>(x, in, L, w, reversed, Block8<Inv, FromInterleaved>);
}

// `in` holds the interleaved points to transform: the caller's (which may be x itself) on
// the first call, x on the recursive ones (in == nullptr), where the points are split.
// Above BLOCK the passes go one radix-4 level at a time: a fused pair of levels reads 16
// rows a power of two apart, more than the L1 cache has ways, and was slower.
template <bool Inv>
SONVEL_AVX2 void Dif(double* x, const double* in, std::size_t L, unsigned log2L,
                     const LevelSet& levels, const Reversed& reversed) {
    if (L > BLOCK) {
        const Level& level = *levels.at[log2L];
        if (levels.wide) {
            PassAvx512(x, in != nullptr ? in : x, L, L, level.split8.data(), Inv, in != nullptr,
                       false, false);
        } else if (in != nullptr) {
            Pass<Inv, true, false>(x, in, L, L, level.split.data());
        } else {
            Pass<Inv, false, false>(x, x, L, L, level.split.data());
        }
        const std::size_t q = L / 4;
        for (std::size_t k = 0; k < 4; ++k) {
            // Quarter k holds the points whose top two index bits are k: reversed, the low two.
            static constexpr std::size_t REV2[4] = {0, 2, 1, 3};
            const Reversed part{reversed.dst, reversed.step * 4,
                                reversed.phase + REV2[k] * reversed.step};
            Dif<Inv>(x + 2 * k * q, nullptr, q, log2L - 2, levels, part);
        }
        return;
    }
    std::size_t span = L;
    unsigned b = log2L;
    bool interleaved = in != nullptr;
    const double* from = interleaved ? in : x;
    for (; span >= 32; span >>= 2, b -= 2) {
        const Level& level = *levels.at[b];
        const bool triple = b <= TRIPLE_LOG2;
        if (levels.wide) {
            // The leaf stages below read the AVX2 groups.
            PassAvx512(x, from, L, span, level.split8.data(), Inv, interleaved, triple,
                       span / 4 < 32);
        } else if (triple) {
            if (interleaved) {
                Pass<Inv, true, true>(x, from, L, span, level.split.data());
            } else {
                Pass<Inv, false, true>(x, x, L, span, level.split.data());
            }
        } else if (interleaved) {
            Pass<Inv, true, false>(x, from, L, span, level.split.data());
        } else {
            Pass<Inv, false, false>(x, x, L, span, level.split.data());
        }
        interleaved = false;
        from = x;
    }
    if (span == 16) {
        const double* tw = levels.at[4]->split.data();
        if (interleaved) {
            Last16<Inv, true>(x, from, L, tw, reversed);
        } else {
            Last16<Inv, false>(x, x, L, tw, reversed);
        }
    } else if (span == 8) {
        const double* tw = levels.at[3]->w123.data();
        if (interleaved) {
            Last8<Inv, true>(x, from, L, tw, reversed);
        } else {
            Last8<Inv, false>(x, x, L, tw, reversed);
        }
    } else if (span == 4) {
        V v0 = Load(from);
        V v1 = Load(from + 4);
        Leaf4<Inv>(v0, v1);
        Store(x, v0);
        Store(x + 4, v1);
    } else {
        Store(x, Leaf2(Load(from)));
    }
}

// x * (-i w) forward, x * conj(-i w) inverse, without forming -i w = (wi, -wr).
template <bool Inv>
SONVEL_AVX2 inline V MulMinusI(V x, V w) {
    const V t = _mm256_mul_pd(SwapReIm(x), _mm256_movedup_pd(w));
    const V wi = _mm256_permute_pd(w, 0xF);
    return Inv ? _mm256_fmaddsub_pd(x, wi, t) : _mm256_fmsubadd_pd(x, wi, t);
}

// One step of the real split on the pairs (i, i+1) and (k-1, k), k = m - i, reading from
// si and sk and writing to pi and pk. With s = zi + conj zk and d = zi - conj zk, it is
// zi' = (s + d (-i w)) / 2 and zk' = conj(s - d (-i w)) / 2 (conj w, +i, for the inverse).
// The factors, lane by lane (re, im of the first point, then the second), are applied to
// the values read (preI only if PreI) and written; the caller's conjugation, scaling and
// centring sign go there, and so do the conjugates and the halves of the step itself:
// preK carries conj zk, postI the half, postK the half and the conjugate. With Rotate, the
// results are then multiplied by rotI and rotK.
template <bool Inv, bool PreI, bool Rotate>
SONVEL_AVX2 inline void SplitPair(const double* si, const double* sk, double* pi, double* pk, V w,
                                  V preI, V preK, V postI, V postK, V rotI, V rotK) {
    const V zi = PreI ? _mm256_mul_pd(Load(si), preI) : Load(si);
    const V rawK = _mm256_mul_pd(Load(sk), preK);
    const V zk = _mm256_permute2f128_pd(rawK, rawK, 0x01);
    const V sum = Add(zi, zk);
    const V turned = MulMinusI<Inv>(Sub(zi, zk), w);
    const V outK = Sub(sum, turned);
    const V resultI = _mm256_mul_pd(Add(sum, turned), postI);
    const V resultK = _mm256_mul_pd(_mm256_permute2f128_pd(outK, outK, 0x01), postK);
    Store(pi, Rotate ? Mul<false>(resultI, rotI) : resultI);
    Store(pk, Rotate ? Mul<false>(resultK, rotK) : resultK);
}

// e^(i angle) in both points.
SONVEL_AVX2 inline V RotationTwice(double angle) {
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    return _mm256_set_pd(s, c, s, c);
}

// e^(i k a) and e^(i (k+1) a), the second from the first times e^(i a) = (c1, s1).
SONVEL_AVX2 inline V RotationPair(std::size_t k, double a, double c1, double s1) {
    const double angle = static_cast<double>(k) * a;
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    return _mm256_set_pd(c * s1 + s * c1, c * c1 - s * s1, s, c);
}

// Factors for the pair of points (j, j+1) with j odd, and for (j-1, j) with j odd: the
// conjugate times the scale, negated at odd points when centred.
SONVEL_AVX2 inline V ConjScaleOddFirst(double s, bool centred) {
    return centred ? _mm256_set_pd(-s, s, s, -s) : _mm256_set_pd(-s, s, -s, s);
}
SONVEL_AVX2 inline V ConjScaleOddSecond(double s, bool centred) {
    return centred ? _mm256_set_pd(s, -s, -s, s) : _mm256_set_pd(-s, s, -s, s);
}

// The vector part of a split step, from `in` to z (which may be the same): the pairs
// (i, i+1) and (m-i-1, m-i) from i = 1 on while they do not meet. Returns the first i left
// to the scalar step. With Rotate, point j is multiplied by e^(i j a): exact at an anchor
// every 128 points of a side, and the anchor times a tabled power between them, which keeps
// the error within a few units of rounding and the sines and cosines few.
template <bool Inv, bool PreI, bool Rotate = false>
SONVEL_AVX2 std::size_t SplitPairs(const double* in, double* z, std::size_t m, const double* w,
                                   V preI, V preK, V postI, V postK, double a = 0.0) {
    constexpr std::size_t SPAN = 64; // steps of the loop between anchors
    V anchorI = _mm256_setzero_pd();
    V anchorK = anchorI;
    V rotI = anchorI;
    V rotK = anchorI;
    // e^(2ija) twice, for j < SPAN: each step's factor is then one product away from its
    // anchor, and no chain of products runs through the loop.
    V powers[Rotate ? SPAN : 1];
    double c1 = 1.0;
    double s1 = 0.0;
    if (Rotate) {
        c1 = std::cos(a);
        s1 = std::sin(a);
        // As products of e^(2ira) and e^(16iqa), so that no power is more than 15 products
        // from exact values.
        const V fine = RotationTwice(2.0 * a);
        const V coarse = RotationTwice(16.0 * a);
        V low[8];
        V high[8];
        low[0] = high[0] = _mm256_set_pd(0.0, 1.0, 0.0, 1.0);
        for (std::size_t j = 1; j < 8; ++j) {
            low[j] = Mul<false>(low[j - 1], fine);
            high[j] = Mul<false>(high[j - 1], coarse);
        }
        for (std::size_t j = 0; j < SPAN; ++j) {
            powers[j] = Mul<false>(high[j / 8], low[j % 8]);
        }
    }
    std::size_t i = 1;
    for (; i + 1 < m - i - 1; i += 2) {
        const std::size_t k = m - i - 1;
        if (Rotate) {
            const std::size_t j = ((i - 1) / 2) % SPAN;
            if (j == 0) {
                anchorI = RotationPair(i, a, c1, s1);
                anchorK = RotationPair(k, a, c1, s1);
            }
            rotI = Mul<false>(anchorI, powers[j]);
            rotK = Mul<true>(anchorK, powers[j]);
        }
        SplitPair<Inv, PreI, Rotate>(in + 2 * i, in + 2 * k, z + 2 * i, z + 2 * k, Load(w + 2 * i),
                                     preI, preK, postI, postK, rotI, rotK);
    }
    return i;
}

template <bool Inv>
SONVEL_AVX2 void RealSplit(double* z, std::size_t m, const double* w) {
    const V conj = ConjScaleOddSecond(1.0, false);
    const V half = _mm256_set1_pd(0.5);
    const V halfConj = ConjScaleOddSecond(0.5, false);
    std::size_t i = SplitPairs<Inv, false>(z, z, m, w, half, conj, half, halfConj);
    auto* c = reinterpret_cast<std::complex<double>*>(z);
    for (; i <= m - i; ++i) {
        SplitPairScalar<double, Inv>(c, c, i, m - i, w, 1.0, 1.0);
    }
}

SONVEL_AVX2 void SplitToBins(double* z, std::size_t m, const double* w, double scale, bool centred,
                             double rotation) {
    // The bins are conjugates, and the split's zk' is one already: postK has no conjugate.
    const V conj = ConjScaleOddSecond(1.0, false);
    const V postI = ConjScaleOddFirst(0.5 * scale, centred);
    const V postK = _mm256_mul_pd(ConjScaleOddSecond(0.5 * scale, centred), conj);
    const double z0r = z[0];
    const double z0i = z[1];
    std::size_t i = rotation == 0.0 ? SplitPairs<false, false>(z, z, m, w, conj, conj, postI, postK)
                                    : SplitPairs<false, false, true>(z, z, m, w, conj, conj, postI,
                                                                     postK, rotation);
    auto* c = reinterpret_cast<std::complex<double>*>(z);
    for (; i <= m - i; ++i) {
        const double sign = centred && (i & 1) ? -scale : scale;
        SplitPairToBins(c, i, m - i, w, sign);
        if (rotation != 0.0) {
            RotateBin(c[i], i, rotation);
            if (m - i != i) {
                RotateBin(c[m - i], m - i, rotation);
            }
        }
    }
    c[0] = {scale * (z0r + z0i), 0.0};
    c[m] = {scale * (z0r - z0i), 0.0};
}

SONVEL_AVX2 void SplitFromBins(const double* in, double* z, std::size_t m, const double* w,
                               double scale, bool centred) {
    const V conj = ConjScaleOddSecond(1.0, false);
    const V preI = ConjScaleOddFirst(scale, centred);
    const V preK = _mm256_mul_pd(ConjScaleOddSecond(scale, centred), conj);
    const V half = _mm256_set1_pd(0.5);
    const V halfConj = ConjScaleOddSecond(0.5, false);
    std::size_t i = SplitPairs<true, true>(in, z, m, w, preI, preK, half, halfConj);
    const auto* b = reinterpret_cast<const std::complex<double>*>(in);
    auto* c = reinterpret_cast<std::complex<double>*>(z);
    for (; i <= m - i; ++i) {
        const double sign = centred && (i & 1) ? -scale : scale;
        SplitPairScalar<double, true>(b, c, i, m - i, w, sign, -sign);
    }
    const double s0 = scale * in[0];
    const double s1 = scale * in[2 * m];
    c[0] = {0.5 * (s0 + s1), 0.5 * (s0 - s1)};
}

} // namespace

SONVEL_AVX2 void DifAvx2(double* z, const double* in, std::size_t m, unsigned log2m, bool inverse,
                         const LevelSet& levels, double* reversed) {
    const Reversed sink{reversed, 1, 0};
    if (inverse) {
        Dif<true>(z, in, m, log2m, levels, sink);
    } else {
        Dif<false>(z, in, m, log2m, levels, sink);
    }
}

SONVEL_AVX2 void RealSplitAvx2(double* z, std::size_t m, bool inverse, const double* w) {
    if (inverse) {
        RealSplit<true>(z, m, w);
    } else {
        RealSplit<false>(z, m, w);
    }
}

SONVEL_AVX2 void SplitToBinsAvx2(double* z, std::size_t m, const double* w, double scale,
                                 bool centred, double rotation) {
    SplitToBins(z, m, w, scale, centred, rotation);
}

SONVEL_AVX2 void SplitFromBinsAvx2(const double* in, double* z, std::size_t m, const double* w,
                                   double scale, bool centred) {
    SplitFromBins(in, z, m, w, scale, centred);
}

} // namespace Kedra::Math::detail::fft

#undef SONVEL_AVX2
