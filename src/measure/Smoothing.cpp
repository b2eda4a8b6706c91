#include "measure/Smoothing.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include "foundation/Interpolator.h"
#include "foundation/MathHelpers.h"
#include "foundation/Mem.h"

namespace Kedra::Measure {

namespace {

using Cd = std::complex<double>;

// The point, as a fraction of the half width, where the Blackman shape falls to one half.
constexpr double BLACKMAN_HALF_GAIN = 0.40547865;

// Bins are gathered up to four at a time; arrays carry this much slack past the last bin.
constexpr int LANES = 4;
// The vector helpers are internal and always inlined, so the wide-vector calling convention
// GCC warns about never crosses a boundary.
#pragma GCC diagnostic ignored "-Wpsabi"
// Four lanes fill an AVX register; without AVX two-lane vectors compile far better.
typedef double V4 __attribute__((vector_size(4 * sizeof(double))));
typedef double V2 __attribute__((vector_size(2 * sizeof(double))));

template <typename V>
[[gnu::always_inline]] inline V Load(const double* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename V>
[[gnu::always_inline]] inline V Splat(double x) {
    return V{} + x;
}

template <typename V>
[[gnu::always_inline]] inline double Sum(const V& v) {
    double s = 0.0;
    for (std::size_t l = 0; l < sizeof(V) / sizeof(double); ++l)
        s += v[l];
    return s;
}

// Blackman weight 0.42 + 0.5 cos(x) + 0.08 cos(2x) for |x| <= pi, with cos(2x) = 2 cos^2 x - 1.
// cos(x) = -sin(|x| - pi/2), and sin on [-pi/2, pi/2] by its Taylor series to u^17, whose
// remainder (pi/2)^19/19! is below 5e-14; branch-free so that four lanes run at once.
template <typename V>
[[gnu::always_inline]] inline V BlackmanWeight(const V& x, double halfPi) {
    const V ax = x < 0.0 ? -x : x;
    const V u = ax - halfPi;
    const V u2 = u * u;
    V p = Splat<V>(-1.0 / 355687428096000.0); // -1/17!
    p = p * u2 + 1.0 / 1307674368000.0;
    p = p * u2 - 1.0 / 6227020800.0;
    p = p * u2 + 1.0 / 39916800.0;
    p = p * u2 - 1.0 / 362880.0;
    p = p * u2 + 1.0 / 5040.0;
    p = p * u2 - 1.0 / 120.0;
    p = p * u2 + 1.0 / 6.0;
    p = p * u2 - 1.0;
    const V c = p * u; // -(sin u) carried through the sign of the last coefficient
    return 0.34 + c * (0.5 + 0.16 * c);
}

struct BandSums {
    double re;
    double im;
    double mag;
    double weight;
};

// Weighted sums over bins first..last, all of which lie inside the band around tc.
// mag may be null (complex smoothing needs no magnitude mean).
template <typename V>
[[gnu::always_inline]] inline BandSums
SumBandImpl(const double* logBin, const double* invBin, const double* re, const double* im,
            const double* mag, int first, int last, double tc, double scale, double halfPi) {
    constexpr int lanes = static_cast<int>(sizeof(V) / sizeof(double));
    static_assert(lanes <= LANES);
    V sr = Splat<V>(0.0), si = Splat<V>(0.0), sm = Splat<V>(0.0), sw = Splat<V>(0.0);
    const V lastLane = Splat<V>(static_cast<double>(last));
    V index = Splat<V>(static_cast<double>(first));
    for (int l = 0; l < lanes; ++l)
        index[l] += l;
    for (int i = first; i <= last; i += lanes) {
        const V x = (tc - Load<V>(logBin + i)) * scale;
        V w = BlackmanWeight(x, halfPi) * Load<V>(invBin + i);
        // Lanes past the last bin read padding or bins outside the band: weight 0.
        w = index <= lastLane ? w : 0.0;
        sr += w * Load<V>(re + i);
        si += w * Load<V>(im + i);
        if (mag != nullptr)
            sm += w * Load<V>(mag + i);
        sw += w;
        index += static_cast<double>(lanes);
    }
    return {Sum(sr), Sum(si), Sum(sm), Sum(sw)};
}

BandSums SumBandGeneric(const double* logBin, const double* invBin, const double* re,
                        const double* im, const double* mag, int first, int last, double tc,
                        double scale, double halfPi) {
    return SumBandImpl<V2>(logBin, invBin, re, im, mag, first, last, tc, scale, halfPi);
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2,fma"))) BandSums SumBandAvx2(const double* logBin, const double* invBin,
                                                         const double* re, const double* im,
                                                         const double* mag, int first, int last,
                                                         double tc, double scale, double halfPi) {
    return SumBandImpl<V4>(logBin, invBin, re, im, mag, first, last, tc, scale, halfPi);
}
#endif

using SumBandFn = BandSums (*)(const double*, const double*, const double*, const double*,
                               const double*, int, int, double, double, double);

std::atomic<bool> vectorKernelsEnabled{true};

SumBandFn PickSumBand() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    if (avx2 && vectorKernelsEnabled.load(std::memory_order_relaxed))
        return SumBandAvx2;
#endif
    return SumBandGeneric;
}

// log10(i) and 1/i for bins 0 .. capacity-1 plus lane padding. They do not depend on the
// spectrum length, so one table per thread only ever grows; per thread, because the
// smoothers run on whichever thread calls them.
struct BinTables {
    Mem::Array<double> log10Bin;
    Mem::Array<double> invBin;
    int capacity = 0;

    void Reserve(int bins) {
        if (bins <= capacity)
            return;
        const auto n = static_cast<std::size_t>(bins + LANES);
        Mem::Array<double> lg(n);
        Mem::Array<double> inv(n);
        lg[0] = 0.0;
        inv[0] = 0.0;
        for (int i = 1; i < bins; ++i) {
            lg[static_cast<std::size_t>(i)] = std::log10(static_cast<double>(i));
            inv[static_cast<std::size_t>(i)] = 1.0 / static_cast<double>(i);
        }
        // Finite padding: the lanes beyond the band are masked, and 0 * NaN would not be 0.
        for (std::size_t i = static_cast<std::size_t>(bins); i < n; ++i) {
            lg[i] = 0.0;
            inv[i] = 0.0;
        }
        log10Bin = std::move(lg);
        invBin = std::move(inv);
        capacity = bins;
    }
};

// Split copies of the input (re, im, |X|) with lane padding, reused between calls.
struct Workspace {
    Mem::Array<double> re, im, mag;
    Mem::Array<double> gridA, gridB;
    Mem::Array<Cd> gridComplex;

    static void Fit(Mem::Array<double>& a, std::size_t n) {
        if (a.size() < n)
            a = Mem::Array<double>(n);
    }
};

thread_local BinTables tables;
thread_local Workspace workspace;

// The grid in log10 of the bin number, shared by both smoothers.
struct Grid {
    int lastBin = 0;
    int points = 0;       // M; grid indices run 0 .. M
    double bandRatio = 0; // k
    double t0 = 0;
    double halfWidth = 0; // hw, decades
    double step = 0;      // w, decades
    int firstInterpolated = 0;

    // False where the settings leave no usable grid; the caller then copies the input.
    bool Make(int k, double nOct) {
        if (k < 3 || !std::isfinite(nOct) || nOct <= 0.0)
            return false;
        lastBin = k;
        points = SmoothingGridSize(k, nOct);
        bandRatio = std::pow(2.0, 0.5 / nOct);
        t0 = std::log10(bandRatio);
        halfWidth = t0 / BLACKMAN_HALF_GAIN;
        step = (std::log10(static_cast<double>(k - 1)) - t0) / points;
        // A band wider than the whole spectrum puts the grid start beyond its end.
        if (!(step > 0.0) || !std::isfinite(step))
            return false;
        firstInterpolated = Math::ToIntRound(bandRatio);
        return true;
    }

    double GridIndex(int bin) const {
        const auto lg = static_cast<float>(tables.log10Bin[static_cast<std::size_t>(bin)]);
        return (static_cast<double>(lg) - t0) / step;
    }
};

int ClampedRound(double x, int lo, int hi) {
    return Math::ToIntRound(std::clamp(x, static_cast<double>(lo), static_cast<double>(hi)));
}

bool AllFinite(const Cd* in, int lastBin) {
    for (int i = 1; i <= lastBin; ++i) {
        if (!std::isfinite(in[i].real()) || !std::isfinite(in[i].imag()))
            return false;
    }
    return true;
}

void CopyThrough(const Cd* in, Cd* out, int lastBin) {
    if (in != out)
        std::copy(in, in + lastBin + 1, out);
}

// Visits every grid point with its single bin (band narrower than one bin) or its weighted sums.
template <typename OnBin, typename OnSums>
void WalkGrid(const Grid& g, const double* re, const double* im, const double* mag, OnBin&& onBin,
              OnSums&& onSums) {
    const int k = g.lastBin;
    const double* lg = tables.log10Bin.data();
    const double* inv = tables.invBin.data();
    const double spread = std::pow(10.0, g.halfWidth);
    const double scale = Math::PI / g.halfWidth;
    const double halfPi = 0.5 * Math::PI;
    const SumBandFn sumBand = PickSumBand();
    for (int j = 0; j <= g.points; ++j) {
        const double tc = g.t0 + g.step * j;
        const double c = std::pow(10.0, tc);
        int lo = ClampedRound(c / spread, 1, k - 1);
        int hi = ClampedRound(c * spread, 1, k - 1);
        if (lo != hi) {
            // Only bins strictly inside the band count; they form one run, found from its ends.
            while (lo <= hi && !(std::fabs(tc - lg[lo]) < g.halfWidth))
                ++lo;
            while (hi >= lo && !(std::fabs(tc - lg[hi]) < g.halfWidth))
                --hi;
            if (lo <= hi) {
                const BandSums s = sumBand(lg, inv, re, im, mag, lo, hi, tc, scale, halfPi);
                if (s.weight > 0.0) {
                    onSums(j, s);
                    continue;
                }
            }
        }
        // No bin inside the band: the nearest bin stands for it.
        onBin(j, ClampedRound(c, 1, k));
    }
}

void SplitInput(const Cd* in, int lastBin, bool withMagnitude) {
    const auto n = static_cast<std::size_t>(lastBin + 1 + LANES);
    Workspace& ws = workspace;
    Workspace::Fit(ws.re, n);
    Workspace::Fit(ws.im, n);
    if (withMagnitude)
        Workspace::Fit(ws.mag, n);
    for (int i = 0; i <= lastBin; ++i) {
        ws.re[static_cast<std::size_t>(i)] = in[i].real();
        ws.im[static_cast<std::size_t>(i)] = in[i].imag();
        if (withMagnitude) {
            const double re = in[i].real();
            const double im = in[i].imag();
            double m = std::sqrt(re * re + im * im);
            // The squares overflow long before the modulus does.
            if (!std::isfinite(m))
                m = std::abs(in[i]);
            ws.mag[static_cast<std::size_t>(i)] = m;
        }
    }
    for (std::size_t i = static_cast<std::size_t>(lastBin + 1); i < n; ++i) {
        ws.re[i] = 0.0;
        ws.im[i] = 0.0;
        if (withMagnitude)
            ws.mag[i] = 0.0;
    }
}

// Shared entry checks; false when the output has already been filled with the input.
bool Begin(const Cd* in, Cd* out, int lastBin, double nOct, Grid& g) {
    if (in == nullptr || out == nullptr || lastBin < 0)
        return false;
    // A non-finite bin would spread through the whole spline (and stall the phase unwrap),
    // so such a spectrum is passed on unsmoothed.
    if (!g.Make(lastBin, nOct) || !AllFinite(in, lastBin)) {
        CopyThrough(in, out, lastBin);
        return false;
    }
    tables.Reserve(lastBin + 1);
    return true;
}

} // namespace

int SmoothingGridSize(int lastBin, double nOct) {
    if (lastBin < 1 || !(nOct > 0.0))
        return 0;
    const double m = std::clamp(std::round(lastBin * nOct / 256.0), 100.0, 10000.0);
    return std::min(static_cast<int>(m), lastBin);
}

void SmoothComplex(const Cd* in, Cd* out, int lastBin, double nOct) {
    Grid g;
    if (!Begin(in, out, lastBin, nOct, g))
        return;
    SplitInput(in, lastBin, false);
    Workspace& ws = workspace;
    const auto gridCount = static_cast<std::size_t>(g.points + 1);
    if (ws.gridComplex.size() < gridCount)
        ws.gridComplex = Mem::Array<Cd>(gridCount);
    Cd* grid = ws.gridComplex.data();
    WalkGrid(
        g, ws.re.data(), ws.im.data(), nullptr, [&](int j, int bin) { grid[j] = in[bin]; },
        [&](int j, const BandSums& s) { grid[j] = Cd(s.re / s.weight, s.im / s.weight); });

    // Bins below the band ratio lie under the first grid point and stay as they are.
    CopyThrough(in, out, std::min(g.firstInterpolated, lastBin + 1) - 1);
    Math::InterpolatorLinearPolar interp;
    // Rounding of log10 puts the lowest and the last bin a hair outside the grid; they take
    // the end values instead of 0.
    interp.SetZeroOutside(false);
    interp.SetSamples(g.points + 1, grid);
    for (int i = std::max(g.firstInterpolated, 0); i <= lastBin; ++i)
        out[i] = interp.Value(g.GridIndex(i));
}

void SmoothMagnitude(const Cd* in, Cd* out, int lastBin, double nOct) {
    Grid g;
    if (!Begin(in, out, lastBin, nOct, g))
        return;
    SplitInput(in, lastBin, true);
    Workspace& ws = workspace;
    const auto gridCount = static_cast<std::size_t>(g.points + 1);
    Workspace::Fit(ws.gridA, gridCount);
    Workspace::Fit(ws.gridB, gridCount);
    double* gridMag = ws.gridA.data();
    double* gridPhase = ws.gridB.data();
    WalkGrid(
        g, ws.re.data(), ws.im.data(), ws.mag.data(),
        [&](int j, int bin) {
            gridMag[j] = std::abs(in[bin]);
            gridPhase[j] = Math::Phase(in[bin]);
        },
        [&](int j, const BandSums& s) {
            gridMag[j] = s.mag / s.weight;
            gridPhase[j] = Math::Phase(Cd(s.re, s.im));
        });

    // Each raw step lies within -2pi .. 2pi, so one turn per step keeps neighbours within pi.
    double turns = 0.0;
    double previous = gridPhase[0];
    for (int j = 1; j <= g.points; ++j) {
        const double raw = gridPhase[j];
        if (raw - previous > Math::PI)
            turns -= Math::TWOPI;
        else if (raw - previous < -Math::PI)
            turns += Math::TWOPI;
        previous = raw;
        gridPhase[j] = raw + turns;
    }

    CopyThrough(in, out, std::min(g.firstInterpolated, lastBin + 1) - 1);
    Math::InterpolatorCubicSpline magnitude;
    Math::InterpolatorCubicSpline phase;
    magnitude.SetZeroOutside(false);
    phase.SetZeroOutside(false);
    magnitude.SetSamples(g.points + 1, gridMag);
    phase.SetSamples(g.points + 1, gridPhase);
    for (int i = std::max(g.firstInterpolated, 0); i <= lastBin; ++i) {
        const double x = g.GridIndex(i);
        const double r = magnitude.Value(x);
        const double phi = phase.Value(x);
        out[i] = Cd(r * std::cos(phi), r * std::sin(phi));
    }
}

namespace detail {

void SetSmoothingVectorKernelsEnabled(bool enabled) {
    vectorKernelsEnabled.store(enabled, std::memory_order_relaxed);
}

} // namespace detail

} // namespace Kedra::Measure
