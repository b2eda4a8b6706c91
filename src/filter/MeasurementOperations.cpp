#include "filter/MeasurementOperations.h"

#include <algorithm>
#include <cmath>

#include "foundation/Fft.h"
#include "foundation/KedraLogger.h"
#include "foundation/MathHelpers.h"
#include "foundation/Mem.h"

namespace Kedra::Measure {
namespace {

using Complex = std::complex<double>;
using Kedra::Math::PI;
using Kedra::Math::TWOPI;

constexpr bool CENTRED = true;
constexpr bool UNSCALED = false;
// Weight added to every bin of the triangular level window of Match.
constexpr double EDGE_WEIGHT = 5.0;

void Warn(const std::string& text) {
    Kedra::Logging::KedraLogger::LogText("WARNING Measure::" + text + "\n");
}

bool HoldData(Measurement& a, Measurement& b, const char* call) {
    if (a.IsInitialized() && b.IsInitialized() && a.GetNHalf() >= 1 && b.GetNHalf() >= 1)
        return true;
    Warn(std::string(call) + " without data -> nothing done - " + a.GetLabel() + ", " +
         b.GetLabel());
    return false;
}

bool SameGrid(const Measurement& a, const Measurement& b) {
    return a.GetNHalf() == b.GetNHalf() && a.GetSamplerate() == b.GetSamplerate();
}

// Bin numbers come from user frequencies; kept within int before the cast.
int RoundHalfUp(double x) {
    return static_cast<int>(std::clamp(std::floor(x + 0.5), -1e9, 1e9));
}

// Rounds by adding 0.5 and truncating toward zero (not the same as floor below -0.5).
int RoundTruncate(double x) {
    return static_cast<int>(x + 0.5);
}

struct BandHz {
    double lower;
    double upper;
};

// Below 0 the band starts at 0; beyond the higher of the two Nyquist frequencies it is
// pulled back under it.
BandHz BandOf(const Measurement& a, const Measurement& b, double fc, double bw) {
    const double nyquist = 0.5 * std::max(a.GetSamplerate(), b.GetSamplerate());
    double lower = fc - 0.5 * bw;
    if (lower < 0.0)
        lower = 0.0;
    if (lower > nyquist)
        lower = std::max(nyquist - bw, 0.0);
    const double upper = std::clamp(fc + 0.5 * bw, 0.0, nyquist);
    return {lower, upper};
}

bool ApplyOperator(char op, Complex a, Complex b, Complex& r) {
    switch (op) {
    case '/':
        r = a * Kedra::Math::Inverse(b);
        return true;
    case '*':
        r = a * b;
        return true;
    case '+':
        r = a + b;
        return true;
    case '-':
        r = a - b;
        return true;
    default:
        return false;
    }
}

// x's spectrum averaged onto bins 0 .. n of a grid at fs: mean magnitude of the input bins a
// result bin covers, with the phase of their complex sum.
void Resample(Measurement& x, int n, double fs, Complex* out) {
    const int nx = x.GetNHalf();
    const Complex* f = x.GetF();
    const double* amp = x.GetA();
    const double j = static_cast<double>(nx) * fs / (static_cast<double>(n) * x.GetSamplerate());
    for (int l = 0; l <= n; ++l) {
        const int first = std::clamp(RoundTruncate(j * (l - 0.5)), 0, nx - 1);
        // A tie at the upper edge belongs to the next result bin, as one at the lower edge
        // belongs to this one: an input already on the result grid maps bin to bin.
        const int lastTieDown = static_cast<int>(std::ceil(j * (l + 0.5) + 0.5)) - 1;
        const int last = std::max(std::min(lastTieDown, nx - 1), first);
        double magnitude = 0.0;
        Complex sum = 0.0;
        for (int k = first; k <= last; ++k) {
            magnitude += amp[k];
            sum += f[k];
        }
        magnitude /= (last - first + 1);
        const double phase = Kedra::Math::Phase(sum);
        out[l] = magnitude * Complex(std::cos(phase), std::sin(phase));
    }
}

// The order p of a zero at DC, from the rise over bins 1 and 2 (|h| ~ f^p), when bin 0 is
// next to nothing against bin 1; 0 otherwise.
double DcZeroOrder(const double* magnitude, int bins) {
    if (bins < 3 || !(magnitude[1] > 0.0) || !(magnitude[2] > magnitude[1]) ||
        !(magnitude[0] < 1e-3 * magnitude[1]))
        return 0.0;
    const double order = std::log(magnitude[2] / magnitude[1]) / std::log(2.0);
    return std::isfinite(order) ? order : 0.0;
}

} // namespace

bool Operation(const std::string& op, Measurement& a, Measurement& b, Measurement& result) {
    if (op != "/" && op != "*" && op != "+" && op != "-") {
        Warn("Operation(\"" + op + "\") unknown operator -> nothing done");
        return false;
    }
    if (!HoldData(a, b, "Operation()"))
        return false;
    const char code = op[0];
    const int n = std::max(a.GetNHalf(), b.GetNHalf());
    const int fs = std::max(a.GetSamplerate(), b.GetSamplerate());
    const auto bins = static_cast<std::size_t>(n) + 1;
    // Built apart from the result, which may be A or B itself.
    Mem::Array<Complex> r(bins);
    if (SameGrid(a, b)) {
        const Complex* fa = a.GetF();
        const Complex* fb = b.GetF();
        for (int k = 0; k <= n; ++k)
            ApplyOperator(code, fa[k], fb[k], r[static_cast<std::size_t>(k)]);
    } else {
        Mem::Array<Complex> ra(bins);
        Mem::Array<Complex> rb(bins);
        Resample(a, n, fs, ra.get());
        Resample(b, n, fs, rb.get());
        for (std::size_t k = 0; k < bins; ++k)
            ApplyOperator(code, ra[k], rb[k], r[k]);
    }
    const std::string name = "(" + a.GetLabel() + ") " + op + " (" + b.GetLabel() + ")";
    result.InitializeFreq(r.get(), n, fs, n, 0, 0.0, 0.0, true);
    result.PostInitSetOffset(0.0);
    result.SetLabel(name);
    return true;
}

bool Match(Measurement& a, Measurement& b, double fc, double bw, bool matchTime) {
    if (!HoldData(a, b, "Match()"))
        return false;
    if (!std::isfinite(fc) || !std::isfinite(bw)) {
        Warn("Match() band not finite -> nothing done - " + a.GetLabel());
        return false;
    }
    const BandHz band = BandOf(a, b, fc, bw);
    const double binsPerHzA = a.GetBinsPerHz();
    const int b1 = RoundHalfUp(band.lower * binsPerHzA);
    const int b2 = RoundHalfUp(band.upper * binsPerHzA);
    const int centre = RoundHalfUp(fc * binsPerHzA);
    const int halfBand = RoundHalfUp(bw * binsPerHzA * 0.5);
    const bool same = SameGrid(a, b);
    const double scaleToB = a.GetHzPerBin() * b.GetBinsPerHz();

    const Complex* fa = a.GetF();
    const double* ampA = a.GetA();
    const Complex* fb = b.GetF();
    const double* ampB = b.GetA();
    Complex sumA = 0.0;
    Complex sumB = 0.0;
    double levelA = 0.0;
    double levelB = 0.0;
    int used = 0;
    const int first = std::max(b1 + 1, 0);
    const int last = std::min(b2 - 1, a.GetNHalf());
    for (int j = first; j <= last; ++j) {
        const int k = same ? j : RoundHalfUp(j * scaleToB);
        if (k >= b.GetNBins())
            continue;
        const double w = halfBand - std::abs(j - centre) + EDGE_WEIGHT;
        sumA += w * fa[j];
        sumB += w * fb[k];
        levelA += ampA[j];
        levelB += ampB[k];
        ++used;
    }
    const double ratio = levelB / levelA;
    // An empty or silent band has no level to match; scaling by 0, infinity or NaN would
    // destroy A.
    if (used == 0 || !(ratio > 0.0) || !std::isfinite(ratio)) {
        Warn("Match(" + std::to_string(fc) + ", " + std::to_string(bw) +
             ") no level in the band -> nothing done - " + a.GetLabel());
        return false;
    }
    if (matchTime && fc > 0.0) {
        // The shorter way round: a difference of more than half a turn is the other sign.
        double d = Kedra::Math::Phase(sumA) - Kedra::Math::Phase(sumB);
        if (d > PI)
            d -= TWOPI;
        else if (d <= -PI)
            d += TWOPI;
        const double delta = -d * a.GetSamplerate() / (TWOPI * fc);
        if (delta != 0.0)
            a.Offset(delta);
    }
    a.Amplify(ratio);
    return true;
}

bool Stitch(Measurement& a, Measurement& b, double fc, double bw, bool matchTime,
            Measurement& result) {
    if (!HoldData(a, b, "Stitch()"))
        return false;
    if (!Match(a, b, fc, bw, matchTime))
        return false;
    const BandHz band = BandOf(a, b, fc, bw);
    // Cross-fade bins on B's grid, which is the result's; on the same grid they are A's.
    const int b1 = RoundHalfUp(band.lower * b.GetBinsPerHz());
    const int b2 = RoundHalfUp(band.upper * b.GetBinsPerHz());
    const int n = b.GetNHalf();
    const double dfB = b.GetHzPerBin();
    const bool same = SameGrid(a, b);
    const Complex* fa = a.GetF();
    const Complex* fb = b.GetF();
    auto valueA = [&](int k) { return same ? fa[k] : a.GetFInterpolated(k * dfB); };

    Mem::Array<Complex> r(static_cast<std::size_t>(n) + 1);
    for (int k = 0; k <= n; ++k) {
        Complex& out = r[static_cast<std::size_t>(k)];
        if (k <= b1) {
            out = valueA(k);
        } else if (k < b2) {
            const double t = static_cast<double>(k - b1) / (b2 - b1);
            out = (1.0 - t) * valueA(k) + t * fb[k];
        } else {
            out = fb[k];
        }
    }
    result.InitializeFreq(r.get(), n, b.GetSamplerate(), n, 0, 0.0, 0.0, true);
    result.PostInitSetOffset(0.0);
    return true;
}

void ApplyMinimumPhase(std::complex<double>* h, int count, double floor, bool causal) {
    if (h == nullptr || count < 1 || (count & (count - 1)) != 0 || count > (1 << 27)) {
        Warn("ApplyMinimumPhase(" + std::to_string(count) +
             ") needs a power of two -> nothing done");
        return;
    }
    const int n = 2 * count;
    const auto bins = static_cast<std::size_t>(count) + 1;
    Mem::Array<double> magnitude(bins);
    Mem::Array<double> logMagnitude(bins);
    Mem::Array<double> time(static_cast<std::size_t>(n));
    double* t = time.get() + count; // time zero, t[-count] .. t[count - 1]

    for (std::size_t k = 0; k < bins; ++k) {
        magnitude[k] = std::abs(h[k]);
        logMagnitude[k] = std::log(magnitude[k] + floor);
    }
    // A zero at DC would leave a floored spike in the log magnitude whose transform bends the
    // phase of every bin, by degrees well above a closed box's resonance. The zero's own
    // factor |2 sin(w/2)|^p, whose minimum phase is known, is taken out first and its phase
    // added back at the end.
    const double order = DcZeroOrder(magnitude.get(), count + 1);
    if (order > 0.0) {
        for (int k = 1; k <= count; ++k)
            logMagnitude[static_cast<std::size_t>(k)] -=
                order * std::log(2.0 * std::sin(0.5 * PI * k / count));
        logMagnitude[0] = logMagnitude[1];
    }
    // The real cepstrum folded onto positive times: its spectrum is i times the minimum phase.
    Kedra::Math::FFTPow2FreqRealToTime(logMagnitude.get(), t, n);
    t[0] = 0.0;
    for (int k = 1; k <= count; ++k)
        t[-k] = -t[-k];
    Kedra::Math::FFTPow2TimeToFreq(t, h, n, CENTRED, UNSCALED);
    // The zero's phase p (pi - w) / 2 has no value at DC itself, whose bin stays real.
    for (std::size_t k = 0; k < bins; ++k) {
        const double zeroPhase =
            k == 0 ? 0.0 : order * 0.5 * (PI - PI * static_cast<double>(k) / count);
        const double phi = h[k].imag() + zeroPhase;
        h[k] = magnitude[k] * Complex(std::cos(phi), std::sin(phi));
    }
    if (causal) {
        Kedra::Math::FFTPow2FreqToTime(h, t, n, CENTRED, UNSCALED);
        for (int k = 1; k <= count; ++k)
            t[-k] = 0.0;
        Kedra::Math::FFTPow2TimeToFreq(t, h, n, CENTRED, UNSCALED);
    }
}

bool Average(const std::vector<Measurement*>& inputs, AverageMode mode, bool align,
             Measurement& result) {
    if (inputs.size() < 2) {
        Warn("Average() needs two measurements at least -> nothing done");
        return false;
    }
    int n = 0, fs = 0;
    for (Measurement* m : inputs) {
        if (m == nullptr || !m->IsInitialized() || m->GetNHalf() < 1) {
            Warn("Average() with a measurement without data -> nothing done");
            return false;
        }
        n = std::max(n, m->GetNHalf());
        fs = std::max(fs, m->GetSamplerate());
    }
    // The result grid needs a power-of-two length for the minimum phase.
    const auto bins = static_cast<std::size_t>(n) + 1;
    Mem::Array<Complex> sum(bins), one(bins);
    std::fill(sum.get(), sum.get() + bins, Complex(0.0));
    const double reference = inputs.front()->GetCurrentOffset() / inputs.front()->GetSamplerate();
    for (Measurement* m : inputs) {
        if (m->GetNHalf() == n && m->GetSamplerate() == fs)
            std::copy(m->GetF(), m->GetF() + bins, one.get());
        else
            Resample(*m, n, fs, one.get());
        // Later by its offset than the first: that much more phase.
        const double lag = m->GetCurrentOffset() / m->GetSamplerate() - reference;
        for (std::size_t k = 0; k < bins; ++k) {
            const Complex h = one[k];
            switch (mode) {
            case AverageMode::Power:
                sum[k] += std::norm(h);
                break;
            case AverageMode::Db:
                sum[k] += 20.0 * std::log10(std::max(std::abs(h), 1e-15));
                break;
            case AverageMode::Vector:
                sum[k] += align ? h : h * std::polar(1.0, -TWOPI * k * fs / (2.0 * n) * lag);
                break;
            }
        }
    }
    const double count = static_cast<double>(inputs.size());
    for (std::size_t k = 0; k < bins; ++k) {
        switch (mode) {
        case AverageMode::Power:
            sum[k] = std::sqrt(sum[k].real() / count);
            break;
        case AverageMode::Db:
            sum[k] = std::pow(10.0, sum[k].real() / count / 20.0);
            break;
        case AverageMode::Vector:
            sum[k] /= count;
            break;
        }
    }
    if (mode != AverageMode::Vector)
        ApplyMinimumPhase(sum.get(), n, 1e-10, false);
    std::string name = "Average of " + std::to_string(inputs.size());
    name += mode == AverageMode::Power ? " (power)"
            : mode == AverageMode::Db  ? " (dB)"
                                       : " (vector)";
    result.InitializeFreq(sum.get(), n, fs, n, 0, 0.0, 0.0, true);
    result.PostInitSetOffset(0.0);
    result.SetLabel(name);
    return true;
}

} // namespace Kedra::Measure
