#include "analyze/SequenceAnalysis.h"

#include "foundation/Fft.h"
#include "foundation/KedraLogger.h"
#include "foundation/MathConstants.h"
#include "foundation/Mem.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <string>

namespace Kedra::Analyze {
namespace {

using Kedra::Logging::KedraLogger;
using Kedra::Math::PI;

constexpr std::array<const char*, 5> TZM_TEXTS = {
    "FirstPostivePeak", "PostivePeak", "FirstMagnitudePeak", "MagnitudePeak", "CausalImpulse"};

// The locator's smoothing kernel; the side weight must stay (1 - 0.8) / 2 computed in
// double, 0.09999999999999998, not the literal 0.1.
constexpr double SMOOTH_CENTRE = 0.8;
constexpr double SMOOTH_SIDE = (1.0 - SMOOTH_CENTRE) / 2.0;
static_assert(SMOOTH_SIDE == 0.09999999999999998);

bool IsPow2(int n) {
    return n >= 1 && (n & (n - 1)) == 0;
}

bool CheckLength(int n, const char* what) {
    if (IsPow2(n)) {
        return true;
    }
    KedraLogger::LogText(std::string("WARNING ") + what + "(" + std::to_string(n) +
                         ") length is not a power of two\n");
    return false;
}

// Turns the 2/n-scaled spectrum X into 4 / (n X) in place. A bin whose inverse is not
// finite becomes 0 rather than spreading NaN or infinity through the impulse response.
template <typename T>
void InvertBins(std::complex<T>* bins, int n, const char* what) {
    const T scale = static_cast<T>(n);
    int missing = 0;
    for (int k = 0; k <= n / 2; ++k) {
        const T re = bins[k].real();
        const T im = bins[k].imag();
        const T factor = T(4) / ((re * re + im * im) * scale);
        const T outRe = re * factor;
        const T outIm = -im * factor;
        if (std::isfinite(outRe) && std::isfinite(outIm)) {
            bins[k] = {outRe, outIm};
        } else {
            bins[k] = {T(0), T(0)};
            ++missing;
        }
    }
    if (missing > 0) {
        KedraLogger::LogText(std::string("WARNING ") + what + "(" + std::to_string(n) + ") " +
                             std::to_string(missing) +
                             " bins of the sequence are zero, their inverse is set to 0\n");
    }
}

int FirstDominantIndex(double maxValue, int maxIndex, double minValue, int minIndex) {
    // Magnitudes, not signed values: a signed 2*max < min never picks a negative peak
    // while any sample is positive, so an inverted impulse would be missed.
    const double negative = std::fabs(minValue);
    if (2.0 * maxValue < negative) {
        return minIndex;
    }
    if (maxValue > 2.0 * negative) {
        return maxIndex;
    }
    return std::min(maxIndex, minIndex);
}

} // namespace

const char* TZMToString(TZM method) {
    const auto value = static_cast<std::int32_t>(method);
    if (value < 0 || value >= static_cast<std::int32_t>(TZM_TEXTS.size())) {
        return TZM_TEXTS[0];
    }
    return TZM_TEXTS[static_cast<std::size_t>(value)];
}

TZM StringToTZM(std::string_view text) {
    for (std::size_t i = 0; i < TZM_TEXTS.size(); ++i) {
        if (text == TZM_TEXTS[i]) {
            return static_cast<TZM>(i);
        }
    }
    return TZM::FirstPostivePeak;
}

int CommonPow2Length(int a, int b) {
    // Integer arithmetic gives exactly 2^ceil(log2 x) without rounding doubts.
    auto pow2Ceil = [](int x) {
        long long p = 1;
        while (p < x) {
            p <<= 1;
        }
        return p;
    };
    const long long result = std::max(pow2Ceil(a), pow2Ceil(b));
    if (result > INT_MAX) {
        KedraLogger::LogText("WARNING CommonPow2Length(" + std::to_string(a) + ", " +
                             std::to_string(b) + ") no power of two of that size fits\n");
        return 0;
    }
    return static_cast<int>(result);
}

void InverseSpectrum(const double* sequence, int n, std::complex<double>* out) {
    if (sequence == nullptr || out == nullptr || !CheckLength(n, "InverseSpectrum")) {
        return;
    }
    // Scaled (2/n), matching the always-scaled transform of the recording.
    Kedra::Math::FFTPow2TimeToFreq(sequence, out, n, /*centred=*/false, /*scaled=*/true);
    InvertBins(out, n, "InverseSpectrum");
}

template <typename TIn, typename TOut>
void InverseSequence(const TIn* sequence, TOut* out, int n) {
    static_assert(std::is_same_v<TIn, float> && std::is_same_v<TOut, float>,
                  "only the single-precision variant exists");
    if (sequence == nullptr || out == nullptr || !CheckLength(n, "InverseSequence")) {
        return;
    }
    Mem::Array<std::complex<float>> spectrum(static_cast<std::size_t>(n / 2 + 1));
    // The float forward transform is always scaled by 2/n.
    Kedra::Math::FFTPow2TimeToFreq(sequence, spectrum.get(), n, 0.0f);
    InvertBins(spectrum.get(), n, "InverseSequence");
    // Unscaled float inverse of 4/(n X) = 2/X_plain: n times the inverse filter.
    Kedra::Math::FFTPow2FreqToTime(spectrum.get(), out, n);
}

template void InverseSequence<float, float>(const float*, float*, int);

void CorrelateSpectrum(const float* recording, int n, const std::complex<double>* inverse,
                       std::complex<double>* out) {
    if (recording == nullptr || inverse == nullptr || out == nullptr ||
        !CheckLength(n, "CorrelateSpectrum")) {
        return;
    }
    const auto bins = static_cast<std::size_t>(n / 2 + 1);
    Mem::Array<std::complex<double>> separate;
    std::complex<double>* spectrum = out;
    if (out == inverse) {
        separate = Mem::Array<std::complex<double>>(bins);
        spectrum = separate.get();
    }
    // This overload is always scaled by 2/n, as InverseSpectrum expects.
    Kedra::Math::FFTPow2TimeToFreq(recording, spectrum, n, 0.0);
    for (std::size_t k = 0; k < bins; ++k) {
        out[k] = (0.5 * spectrum[k]) * inverse[k];
    }
}

template <typename TA, typename TB, typename TOut>
void CorrelateInTime(const TA* a, const TB* b, TOut* out, int n) {
    static_assert(std::is_same_v<TA, double> && std::is_same_v<TB, double> &&
                      std::is_same_v<TOut, double>,
                  "the correlation works in double and uses `out` as its second buffer");
    if (a == nullptr || b == nullptr || out == nullptr || !CheckLength(n, "CorrelateInTime")) {
        return;
    }
    if (n == 1) {
        out[0] = a[0] * b[0];
        return;
    }
    Mem::Array<double> work(static_cast<std::size_t>(n));
    std::copy(a, a + n, work.get());
    if (out != b) {
        std::copy(b, b + n, out);
    }
    Kedra::Math::RealFFT(work.get(), n, Kedra::Math::FFT_FORWARD);
    Kedra::Math::RealFFT(out, n, Kedra::Math::FFT_FORWARD);
    // Packed layout: slots 0 and 1 are the real DC and Nyquist bins. conj(A) B is the
    // spectrum of the correlation in either exponent convention.
    out[0] *= work[0];
    out[1] *= work[1];
    for (int k = 1; k < n / 2; ++k) {
        const double ar = work[2 * k];
        const double ai = work[2 * k + 1];
        const double br = out[2 * k];
        const double bi = out[2 * k + 1];
        out[2 * k] = ar * br + ai * bi;
        out[2 * k + 1] = ar * bi - ai * br;
    }
    Kedra::Math::RealFFT(out, n, Kedra::Math::FFT_INVERSE);
    const double scale = 2.0 / n; // the packed inverse returns n/2 times the samples
    for (int i = 0; i < n; ++i) {
        out[i] *= scale;
    }
}

template void CorrelateInTime<double, double, double>(const double*, const double*, double*, int);

int FindImpulseIndex(const double* data, int n, bool centered, TZM method, bool* inverted) {
    if (inverted != nullptr) {
        *inverted = false;
    }
    const int shift = (centered && n > 0) ? n / 2 : 0;
    if (data == nullptr || n < 3) {
        return -shift;
    }
    const double* d = data - shift;
    auto smoothed = [d](int i) {
        return SMOOTH_CENTRE * d[i] + SMOOTH_SIDE * (d[i - 1] + d[i + 1]);
    };

    const bool firstPeak = method != TZM::PostivePeak && method != TZM::MagnitudePeak;
    double maxValue = d[0];
    double minValue = d[0];
    int maxIndex = 0;
    int minIndex = 0;
    bool raising = false;
    bool lowering = false;
    for (int i = 1; i <= n - 2; ++i) {
        const double y = smoothed(i);
        if (firstPeak) {
            // Hysteresis: a later peak wins only when it is more than twice as large.
            raising = y > 2.0 * maxValue || (raising && y > maxValue);
            if (raising) {
                maxValue = y;
                maxIndex = i;
            }
            lowering = y < 2.0 * minValue || (lowering && y < minValue);
            if (lowering) {
                minValue = y;
                minIndex = i;
            }
        } else {
            if (y > maxValue) {
                maxValue = y;
                maxIndex = i;
            }
            if (y < minValue) {
                minValue = y;
                minIndex = i;
            }
        }
    }

    int result = maxIndex;
    switch (method) {
    case TZM::MagnitudePeak:
        result = std::fabs(minValue) <= maxValue ? maxIndex : minIndex;
        break;
    case TZM::FirstMagnitudePeak:
        result = FirstDominantIndex(maxValue, maxIndex, minValue, minIndex);
        break;
    case TZM::CausalImpulse: {
        // Starts from the dominant peak, not merely the earlier extreme: a pulse without
        // any negative sample keeps its minimum at index 0 and would be located there.
        int j = FirstDominantIndex(maxValue, maxIndex, minValue, minIndex);
        const double threshold = std::fabs(d[j]) * std::pow(10.0, -1.5);
        while (j > 2) {
            if (std::fabs(d[j]) <= threshold ||
                std::fabs(smoothed(j - 1)) >= std::fabs(smoothed(j))) {
                break;
            }
            --j;
        }
        result = j;
        break;
    }
    default:
        break;
    }
    if (inverted != nullptr) {
        // Also when the negative peak outweighs the positive one twice over: else the
        // positive sidelobe before an inverted band-limited pulse (or an untouched maximum
        // at index 0) would hide the inversion.
        const double negative = std::fabs(minValue);
        *inverted = negative > maxValue && (minIndex < maxIndex || negative > 2.0 * maxValue);
    }
    return result - shift;
}

double FractionalPeakOffset(const double* around) {
    if (around == nullptr) {
        return 0.0;
    }
    std::array<double, 16> v{};
    v[8] = around[0];
    for (int k = 1; k <= 7; ++k) {
        const double w = (std::cos(PI * k * 0.125) + 1.0) / 2.0;
        v[static_cast<std::size_t>(8 - k)] = around[-k] * w;
        v[static_cast<std::size_t>(8 + k)] = around[k] * w;
    }
    if (around[0] < 0.0) {
        for (double& x : v) {
            x = -x;
        }
    }
    // Centred on position 8, so that a peak exactly there has zero phase in every bin.
    std::array<std::complex<double>, 9> bins;
    Kedra::Math::FFTPow2TimeToFreq(v.data() + 8, bins.data(), 16, /*centred=*/true,
                                   /*scaled=*/false);
    double largest = 0.0;
    for (std::size_t k = 0; k < 8; ++k) {
        largest = std::max(largest, std::abs(bins[k]));
    }
    const std::complex<double> z = bins[7];
    const double magnitude = std::abs(z);
    double offset = 0.0;
    if (magnitude > 0.1 * largest) {
        double phi = std::acos(std::clamp(z.real() / magnitude, -1.0, 1.0));
        if (z.imag() < 0.0) {
            phi = -phi;
        }
        offset = phi * -8.0 / 7.0 / PI;
    } else {
        // Little energy at bin 7: take the phase step between neighbouring bins, which a
        // delay of t samples makes -pi t / 8. Summing bin k times conj(bin k-1) over
        // k = 1..7 weights each step by its level and needs no phase unwrapping.
        std::complex<double> steps = 0.0;
        for (std::size_t k = 1; k <= 7; ++k) {
            steps += bins[k] * std::conj(bins[k - 1]);
        }
        offset = -8.0 / PI * std::arg(steps);
    }
    return std::isfinite(offset) ? offset : 0.0;
}

void DelaySpectrum(const std::complex<double>* in, std::complex<double>* out, int n, double delay) {
    if (in == nullptr || out == nullptr || n < 0) {
        return;
    }
    if (delay == 0.0 || n == 0) {
        if (in != out) {
            std::copy(in, in + n + 1, out);
        }
        return;
    }
    const double theta = -PI * delay / n;
    out[0] = in[0];
    for (int k = 1; k < n; ++k) {
        out[k] = in[k] * std::complex<double>(std::cos(k * theta), std::sin(k * theta));
    }
    // The Nyquist bin stays real and takes the sign of the real part of its rotation. The
    // sine would put that sign at the mercy of rounding for whole-sample delays, where it
    // is zero, and would flip the bin for any small positive delay.
    out[n] = std::cos(n * theta) < 0.0 ? -in[n] : in[n];
}

bool ExtendToNyquist(std::complex<double>* spectrum, int n, int cutoffBin, double* delayOut,
                     bool estimateDelay, double thresholdDb) {
    if (delayOut != nullptr) {
        *delayOut = 0.0;
    }
    const int c = cutoffBin;
    if (spectrum == nullptr || n <= 32 || !IsPow2(n) || c < 2 || c + 1 >= n) {
        return false;
    }
    auto smoothedLevel = [spectrum](int b) {
        return 0.25 * std::abs(spectrum[b - 1]) + 0.5 * std::abs(spectrum[b]) +
               0.25 * std::abs(spectrum[b + 1]);
    };
    double reference = 0.0;
    for (int b = 1; b < c; ++b) {
        reference = std::max(reference, smoothedLevel(b));
    }
    const double edge = smoothedLevel(c);
    if (!(reference > 0.0) || !(edge > 0.0) ||
        !(20.0 * std::log10(edge / reference) > thresholdDb)) {
        return false;
    }

    // The level and phase at the cut-off are read from the impulse's first +-32 samples,
    // which smooths away the ripple of a single bin. Forward and inverse are a matched
    // pair (inverse applies 2/N, forward is the plain sum), so the spectrum's own
    // scaling carries over whatever it is.
    const int length = 2 * n;
    Mem::Array<double> time(static_cast<std::size_t>(length));
    double* centre = time.get() + n;
    Kedra::Math::FFTPow2FreqToTime(spectrum, centre, length, /*centred=*/true,
                                   /*inputScaled=*/false);
    constexpr int KEEP = 21;
    constexpr int ZERO = 32;
    const double w = Kedra::Math::TWOPI * c / length;
    std::complex<double> atCutoff = 0.0;
    for (int m = -ZERO + 1; m < ZERO; ++m) {
        const int distance = std::abs(m);
        const double taper =
            distance <= KEEP ? 1.0 : 0.5 * (1.0 + std::cos(PI * (distance - KEEP) / (ZERO - KEEP)));
        atCutoff += taper * centre[m] * std::complex<double>(std::cos(m * w), -std::sin(m * w));
    }
    const double level = std::abs(atCutoff);
    const double phasePerBin = std::arg(atCutoff) / c;
    if (estimateDelay && delayOut != nullptr) {
        // A delay of t samples turns the phase by -pi t / n per bin.
        *delayOut = phasePerBin * n / PI;
    }

    // Raised-cosine cross-fade from the measured bins over (n - c) / 100 bins, so that
    // the extension does not start with a step.
    const int fade = (n - c) / 100;
    for (int k = c + 1; k < n; ++k) {
        const std::complex<double> target = std::polar(level, phasePerBin * k);
        if (k <= c + fade) {
            const double mix = 0.5 - 0.5 * std::cos(PI * (k - c) / (fade + 1));
            spectrum[k] = (1.0 - mix) * spectrum[k] + mix * target;
        } else {
            spectrum[k] = target;
        }
    }
    spectrum[n] = {std::cos(phasePerBin * n) < 0.0 ? -level : level, 0.0};
    return true;
}

} // namespace Kedra::Analyze
