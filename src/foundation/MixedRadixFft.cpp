#include "foundation/Fft.h"

#include "foundation/FftKernel.h"
#include "foundation/KedraLogger.h"
#include "foundation/MathConstants.h"
#include "foundation/Mem.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

namespace Kedra::Math {
namespace {

using Cplx = std::complex<double>;

// Factors above this are evaluated with Bluestein's chirp transform instead of a direct
// O(r^2) DFT, so that any length, prime or not, costs O(n log n) and never fails.
constexpr int DIRECT_FACTOR_LIMIT = 256;

// The plain product: std::complex's operator* also checks for infinities and NaN, which
// the inner loops here cannot meet and should not pay for.
inline Cplx Mul(Cplx a, Cplx b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

// One r-point DFT, negative exponent, in place on t[0..r-1].
class FactorDft {
public:
    // tw: e^(-2 pi i j / n) for j < n; r divides n.
    FactorDft(int r, const Cplx* tw, std::size_t n) : r_(r), scratch_(r) {
        if (r_ > DIRECT_FACTOR_LIMIT) {
            PrepareBluestein();
        } else if (r_ > 4 && r_ != 5 && r_ != 8 && r_ != 10) { // those have butterflies
            cos_.resize(r);
            sin_.resize(r);
            for (std::size_t e = 0; e < static_cast<std::size_t>(r); ++e) {
                cos_[e] = tw[e * (n / static_cast<std::size_t>(r))].real();
                sin_[e] = -tw[e * (n / static_cast<std::size_t>(r))].imag();
            }
            sums_.resize(r);
        }
    }

    void operator()(Cplx* t) {
        switch (r_) {
        case 1:
            return;
        case 2: {
            const Cplx a = t[0], b = t[1];
            t[0] = a + b;
            t[1] = a - b;
            return;
        }
        case 3: {
            constexpr double s60 = 0.86602540378443864676;
            const Cplx a = t[0], b = t[1], c = t[2];
            const Cplx sum = b + c;
            const Cplx mid = a - 0.5 * sum;
            const Cplx diff = b - c;
            const Cplx rot(diff.imag() * s60, -diff.real() * s60); // -i sin60 (b - c)
            t[0] = a + sum;
            t[1] = mid + rot;
            t[2] = mid - rot;
            return;
        }
        case 4:
            Radix4(t[0], t[1], t[2], t[3], t);
            return;
        case 5:
            Radix5(t[0], t[1], t[2], t[3], t[4], t);
            return;
        case 8:
            Radix8(t);
            return;
        case 10:
            Radix10(t);
            return;
        default:
            if (r_ > DIRECT_FACTOR_LIMIT) {
                Bluestein(t);
            } else {
                Direct(t);
            }
        }
    }

private:
    static Cplx MinusI(Cplx a) { return {a.imag(), -a.real()}; }

    // Four points a..d, the bins into out[0..3].
    static void Radix4(Cplx a, Cplx b, Cplx c, Cplx d, Cplx* out) {
        const Cplx s0 = a + c, d0 = a - c, s1 = b + d, d1 = MinusI(b - d);
        out[0] = s0 + s1;
        out[1] = d0 + d1;
        out[2] = s0 - s1;
        out[3] = d0 - d1;
    }

    // Five points a..e, the bins into out[0], out[step], ... out[4 step].
    static void Radix5(Cplx a, Cplx b, Cplx c, Cplx d, Cplx e, Cplx* out, std::size_t step = 1) {
        constexpr double C1 = 0.30901699437494742410;  // cos 72
        constexpr double C2 = -0.80901699437494742410; // cos 144
        constexpr double S1 = 0.95105651629515357212;  // sin 72
        constexpr double S2 = 0.58778525229247312917;  // sin 144
        const Cplx t1 = b + e, t2 = c + d, t3 = b - e, t4 = c - d;
        const Cplx a1 = a + C1 * t1 + C2 * t2;
        const Cplx a2 = a + C2 * t1 + C1 * t2;
        const Cplx b1 = MinusI(S1 * t3 + S2 * t4);
        const Cplx b2 = MinusI(S2 * t3 - S1 * t4);
        out[0] = a + t1 + t2;
        out[step] = a1 + b1;
        out[2 * step] = a2 + b2;
        out[3 * step] = a2 - b2;
        out[4 * step] = a1 - b1;
    }

    // Two radix-5 halves over the even and odd points, joined by e^(-2 pi i k / 10).
    static void Radix10(Cplx* t) {
        constexpr double C36 = 0.80901699437494742410;
        constexpr double S36 = 0.58778525229247312917;
        constexpr double C72 = 0.30901699437494742410;
        constexpr double S72 = 0.95105651629515357212;
        static const Cplx W[5] = {{1.0, 0.0}, {C36, -S36}, {C72, -S72}, {-C72, -S72}, {-C36, -S36}};
        Cplx even[5];
        Cplx odd[5];
        Radix5(t[0], t[2], t[4], t[6], t[8], even);
        Radix5(t[1], t[3], t[5], t[7], t[9], odd);
        for (std::size_t k = 0; k < 5; ++k) {
            const Cplx o = Mul(odd[k], W[k]);
            t[k] = even[k] + o;
            t[k + 5] = even[k] - o;
        }
    }

    // Two radix-4 halves over the even and odd points, joined by e^(-2 pi i k / 8).
    static void Radix8(Cplx* t) {
        constexpr double R = 0.70710678118654752440; // 1/sqrt 2
        Cplx even[4];
        Cplx odd[4];
        Radix4(t[0], t[2], t[4], t[6], even);
        Radix4(t[1], t[3], t[5], t[7], odd);
        const Cplx o[4] = {odd[0],
                           R * Cplx(odd[1].real() + odd[1].imag(), odd[1].imag() - odd[1].real()),
                           MinusI(odd[2]),
                           R * Cplx(odd[3].imag() - odd[3].real(), -odd[3].real() - odd[3].imag())};
        for (std::size_t k = 0; k < 4; ++k) {
            t[k] = even[k] + o[k];
            t[k + 4] = even[k] - o[k];
        }
    }

    // The points q and r-q together: t_q w^pq + t_(r-q) w^-pq is
    // (t_q + t_(r-q)) cos - i (t_q - t_(r-q)) sin, and bin r-p differs only in the sign of
    // the sine part, so each pair of bins costs a quarter of the plain sums.
    void Direct(Cplx* t) {
        const auto r = static_cast<std::size_t>(r_);
        const std::size_t h = (r - 1) / 2;
        Cplx* s = sums_.data();     // s[q] = t_q + t_(r-q)
        Cplx* d = sums_.data() + h; // d[q-1] = t_q - t_(r-q)
        Cplx total = t[0];
        for (std::size_t q = 1; q <= h; ++q) {
            s[q - 1] = t[q] + t[r - q];
            d[q - 1] = t[q] - t[r - q];
            total += s[q - 1];
        }
        const bool even = r % 2 == 0;
        const Cplx middle = even ? t[r / 2] : Cplx(0.0, 0.0);
        scratch_[0] = total + middle;
        for (std::size_t p = 1; p <= r / 2; ++p) {
            Cplx a = t[0];
            Cplx b(0.0, 0.0);
            std::size_t e = 0;
            for (std::size_t q = 1; q <= h; ++q) {
                e += p;
                if (e >= r) {
                    e -= r;
                }
                a += s[q - 1] * cos_[e];
                b += d[q - 1] * sin_[e];
            }
            if (even) {
                a += (p % 2 == 0) ? middle : -middle;
            }
            const Cplx minusIb(b.imag(), -b.real());
            scratch_[p] = a + minusIb;
            scratch_[r - p] = a - minusIb;
        }
        std::copy(scratch_.begin(), scratch_.end(), t);
    }

    // e^(-i pi j^2 / r), with j^2 reduced mod 2r so that large j keep full precision.
    Cplx Chirp(std::int64_t j) const {
        const std::int64_t twoR = 2 * static_cast<std::int64_t>(r_);
        const std::int64_t e = ((j % twoR) * (j % twoR)) % twoR;
        return std::polar(1.0, -PI * static_cast<double>(e) / r_);
    }

    void PrepareBluestein() {
        m_ = 1;
        while (m_ < 2 * static_cast<std::size_t>(r_) - 1) {
            m_ <<= 1;
        }
        chirp_.resize(r_);
        for (int j = 0; j < r_; ++j) {
            chirp_[j] = Chirp(j);
        }
        kernel_.assign(m_, Cplx(0.0, 0.0));
        for (int j = 0; j < r_; ++j) {
            kernel_[j] = std::conj(chirp_[j]);
            if (j > 0) {
                kernel_[m_ - j] = std::conj(chirp_[j]);
            }
        }
        detail::ComplexTransformPow2(kernel_.data(), m_, -1);
        work_.resize(m_);
    }

    void Bluestein(Cplx* t) {
        std::fill(work_.begin(), work_.end(), Cplx(0.0, 0.0));
        for (int j = 0; j < r_; ++j) {
            work_[j] = Mul(t[j], chirp_[j]);
        }
        detail::ComplexTransformPow2(work_.data(), m_, -1);
        for (std::size_t k = 0; k < m_; ++k) {
            work_[k] = Mul(work_[k], kernel_[k]);
        }
        detail::ComplexTransformPow2(work_.data(), m_, +1);
        const double inv = 1.0 / static_cast<double>(m_);
        for (int k = 0; k < r_; ++k) {
            t[k] = Mul(work_[k], chirp_[k]) * inv;
        }
    }

    int r_;
    std::vector<Cplx> scratch_;
    std::vector<double> cos_; // cos(2 pi e / r)
    std::vector<double> sin_; // sin(2 pi e / r)
    std::vector<Cplx> sums_;
    std::size_t m_ = 0;
    std::vector<Cplx> chirp_;
    std::vector<Cplx> kernel_;
    std::vector<Cplx> work_;
};

struct Plan {
    std::size_t n;
    std::vector<int> factors;
    std::vector<Cplx> twiddles; // e^(-2 pi i j / n)
    std::vector<FactorDft> dfts;
    std::vector<Cplx> gather;
    // Per level, the twiddles in the order the level reads them: for each k < m, those of
    // q = 1 .. r-1. The whole table would be read with a stride of q k.
    std::vector<std::vector<Cplx>> levelTwiddles;
};

// The tables of the last length, per thread: callers transform many blocks of one length
// in a row. Released with the workspace.
std::unique_ptr<Plan>& KeptPlan() {
    thread_local std::unique_ptr<Plan> kept;
    return kept;
}

// Decimation in time, out of place from the strided input into y; the factors are used
// in pass order, the first one splitting the whole length.
void Recurse(Plan& plan, std::size_t level, const double* xRe, const double* xIm,
             std::size_t stride, Cplx* y, std::size_t n) {
    if (n == 1) {
        y[0] = {xRe[0], xIm[0]};
        return;
    }
    const auto r = static_cast<std::size_t>(plan.factors[level]);
    const std::size_t m = n / r;
    for (std::size_t q = 0; q < r; ++q) {
        Recurse(plan, level + 1, xRe + q * stride, xIm + q * stride, stride * r, y + q * m, m);
    }
    Cplx* t = plan.gather.data();
    FactorDft& dft = plan.dfts[level];
    const Cplx* tw = plan.levelTwiddles[level].data();
    for (std::size_t k = 0; k < m; ++k, tw += r - 1) {
        t[0] = y[k];
        for (std::size_t q = 1; q < r; ++q) {
            t[q] = Mul(y[q * m + k], tw[q - 1]);
        }
        dft(t);
        for (std::size_t p = 0; p < r; ++p) {
            y[k + p * m] = t[p];
        }
    }
}

} // namespace

std::vector<int> MixedRadixFactors(int n) {
    std::vector<int> factors;
    if (n < 1) {
        return factors;
    }
    if (n == 1) {
        return {1};
    }
    static constexpr int RADICES[] = {10, 8, 5, 4, 3, 2};
    int remainder = n;
    for (int radix : RADICES) {
        while (remainder > 1 && remainder % radix == 0) {
            factors.push_back(radix);
            remainder /= radix;
        }
    }
    // A trailing 2 after an 8 is better done as 4 x 4.
    if (!factors.empty() && factors.back() == 2) {
        for (auto it = factors.rbegin() + 1; it != factors.rend(); ++it) {
            if (*it == 8) {
                *it = 4;
                factors.back() = 4;
                break;
            }
        }
    }
    for (int k = 2; remainder > 1 && static_cast<double>(k) * k < std::sqrt(remainder) + 1.0; ++k) {
        while (remainder % k == 0) {
            factors.push_back(k);
            remainder /= k;
        }
    }
    if (remainder > 1) {
        factors.push_back(remainder);
    }
    std::reverse(factors.begin(), factors.end());
    return factors;
}

bool MixedRadixFFT(int n, const double* xRe, const double* xIm, double* yRe, double* yIm) {
    if (n < 1 || xRe == nullptr || xIm == nullptr || yRe == nullptr || yIm == nullptr) {
        Kedra::Logging::KedraLogger::LogText("WARNING MixedRadixFFT: invalid length or array ( " +
                                             std::to_string(n) + " )\n");
        return false;
    }
    std::unique_ptr<Plan>& kept = KeptPlan();
    if (kept == nullptr || kept->n != static_cast<std::size_t>(n)) {
        kept.reset();
        kept = std::make_unique<Plan>();
        Plan& fresh = *kept;
        fresh.n = static_cast<std::size_t>(n);
        fresh.factors = MixedRadixFactors(n);
        fresh.twiddles.resize(fresh.n);
        for (std::size_t j = 0; j < fresh.n; ++j) {
            fresh.twiddles[j] =
                std::polar(1.0, -TWOPI * static_cast<double>(j) / static_cast<double>(n));
        }
        int largest = 1;
        fresh.dfts.reserve(fresh.factors.size());
        for (int f : fresh.factors) {
            fresh.dfts.emplace_back(f, fresh.twiddles.data(), fresh.n);
            largest = std::max(largest, f);
        }
        fresh.gather.resize(static_cast<std::size_t>(largest));
        std::size_t length = fresh.n;
        for (int f : fresh.factors) {
            const auto r = static_cast<std::size_t>(f);
            const std::size_t m = length / r;
            const std::size_t step = fresh.n / length;
            std::vector<Cplx>& table = fresh.levelTwiddles.emplace_back((r - 1) * m);
            for (std::size_t k = 0; k < m; ++k) {
                for (std::size_t q = 1; q < r; ++q) {
                    table[k * (r - 1) + q - 1] = fresh.twiddles[q * k * step];
                }
            }
            length = m;
        }
    }
    Plan& plan = *kept;
    std::vector<Cplx> y(plan.n);
    Recurse(plan, 0, xRe, xIm, 1, y.data(), plan.n);
    for (std::size_t k = 0; k < plan.n; ++k) {
        yRe[k] = y[k].real();
        yIm[k] = y[k].imag();
    }
    return true;
}

FFTWorkspace* g_workspace = nullptr;

FFTWorkspace& FFTWorkspace::Instance() {
    if (g_workspace == nullptr) {
        g_workspace = new FFTWorkspace();
    }
    return *g_workspace;
}

void FFTWorkspace::ReleaseInstance() {
    delete g_workspace;
    g_workspace = nullptr;
    KeptPlan().reset();
}

FFTWorkspace::~FFTWorkspace() {
    Mem::FreeArray(inRe_);
    Mem::FreeArray(inIm_);
    Mem::FreeArray(outRe_);
    Mem::FreeArray(outIm_);
}

void FFTWorkspace::SetLength(int n) {
    if (n == n_) {
        return;
    }
    Mem::FreeArray(inRe_);
    Mem::FreeArray(inIm_);
    Mem::FreeArray(outRe_);
    Mem::FreeArray(outIm_);
    n_ = -1;
    half_ = 0;
    inverseN_ = 0.0;
    if (n < 1) {
        return;
    }
    const auto count = static_cast<std::size_t>(n);
    inRe_ = Mem::AllocateArray<double>(count);
    inIm_ = Mem::AllocateArray<double>(count);
    outRe_ = Mem::AllocateArray<double>(count);
    outIm_ = Mem::AllocateArray<double>(count);
    n_ = n;
    half_ = n / 2;
    inverseN_ = 1.0 / n;
}

void FFTWorkspace::Transform() {
    MixedRadixFFT(n_, inRe_, inIm_, outRe_, outIm_);
}

void FFTWorkspace::ScatterResult(double* t) const {
    for (int i = 0; i <= half_ && i < n_; ++i) {
        t[i] = outRe_[i] * inverseN_;
    }
    for (int i = half_ + 1; i < n_; ++i) {
        t[i - n_] = outRe_[i] * inverseN_;
    }
}

void FFTWorkspace::TimeToSpectrum(const double* t, std::complex<double>* spectrum) {
    if (n_ < 1) {
        return;
    }
    for (int i = 0; i <= half_ && i < n_; ++i) {
        inRe_[i] = t[i];
    }
    for (int i = half_ + 1; i < n_; ++i) {
        inRe_[i] = t[i - n_];
    }
    std::fill(inIm_, inIm_ + n_, 0.0);
    Transform();
    for (int i = 0; i <= half_ && i < n_; ++i) {
        spectrum[i] = {outRe_[i], outIm_[i]};
    }
}

void FFTWorkspace::RealSpectrumToTime(const double* realSpectrum, double* t) {
    if (n_ < 1) {
        return;
    }
    std::fill(inRe_, inRe_ + n_, 0.0);
    std::fill(inIm_, inIm_ + n_, 0.0);
    inRe_[0] = realSpectrum[0];
    for (int i = 1; i <= half_; ++i) {
        inRe_[i] = realSpectrum[i];
        inRe_[n_ - i] = realSpectrum[i];
    }
    Transform();
    ScatterResult(t);
}

void FFTWorkspace::SpectrumToTime(const std::complex<double>* spectrum, double* t) {
    if (n_ < 1) {
        return;
    }
    std::fill(inRe_, inRe_ + n_, 0.0);
    std::fill(inIm_, inIm_ + n_, 0.0);
    inRe_[0] = spectrum[0].real();
    inIm_[0] = -spectrum[0].imag();
    for (int i = 1; i <= half_; ++i) {
        inRe_[i] = spectrum[i].real();
        inIm_[i] = -spectrum[i].imag();
        inRe_[n_ - i] = spectrum[i].real();
        inIm_[n_ - i] = spectrum[i].imag();
    }
    Transform();
    ScatterResult(t);
}

} // namespace Kedra::Math
