#include "measure/Measurement.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

#include "analyze/SequenceAnalysis.h"
#include "filter/Design.h"
#include "foundation/Fft.h"
#include "foundation/KedraLogger.h"
#include "foundation/MathHelpers.h"

namespace Kedra::Measure {

using Kedra::Math::FFTPow2FreqToTime;
using Kedra::Math::FFTPow2TimeToFreq;
using Kedra::Math::PI;

namespace {

// Every transform here uses the record's convention: centred on time zero, unscaled spectra.
constexpr bool CENTRED = true;
constexpr bool UNSCALED = false;

// The signal filter's record is at least this long, so that its spectrum resolves low
// frequencies well below the filter's own corners.
constexpr int MIN_FILTER_LENGTH = 16384;

// Suggested window end: level reference, band edges and the decay criterion.
constexpr double LOWEST_BAND_HZ = 50.0;
constexpr int REFERENCE_HALF_WIDTH = 10;
constexpr double SILENT_LEVEL = 1e-5;
constexpr double BAND_EDGE_DB = -6.0;
constexpr double HIGHEST_UPPER_EDGE_HZ = 5000.0;
// The envelope counts as decayed where it is no longer clearly above the noise (10 dB over
// the noise floor), and at the latest 120 dB below its peak, which is deeper than any real
// measurement's noise but ends the search on noise-free (synthetic) data.
constexpr double ABOVE_NOISE_DB = 10.0;
constexpr double DECAYED_DB = -120.0;
constexpr double NOT_DECAYED_DB = -20.0;

bool IsPow2(long long n) {
    return n > 0 && (n & (n - 1)) == 0;
}

int Log2(long long n) {
    int p = 0;
    while ((1LL << p) < n)
        ++p;
    return p;
}

Kedra::Analyze::TZM MethodOf(int value) {
    if (value < 0 || value > static_cast<int>(Kedra::Analyze::TZM::CausalImpulse))
        return Kedra::Analyze::TZM::FirstPostivePeak;
    return static_cast<Kedra::Analyze::TZM>(value);
}

} // namespace

bool Measurement::RefuseUnless(bool ok, const std::string& call) {
    if (!ok)
        Kedra::Logging::KedraLogger::LogText("WARNING Measurement::" + call + " refused - " +
                                             label_ + "\n");
    return ok;
}

void Measurement::InitializeDirac(int exponent, int sampleRate, double value) {
    if (!RefuseUnless(exponent >= 1 && exponent <= MAX_EXPONENT && sampleRate > 0,
                      "InitializeDirac(" + std::to_string(exponent) + ", " +
                          std::to_string(sampleRate) + ")"))
        return;
    const int n = 1 << exponent;
    auto samples = Mem::Array<double>::Zeros(static_cast<std::size_t>(n));
    samples[static_cast<std::size_t>(n / 2)] = value;
    InitializeImpulse(samples.data(), n, n / 2, sampleRate, exponent, 0, 0.0, 0.0, true);
    // A reused record may carry a view offset; the unit impulse is time zero by definition.
    PostInitSetOffset(0.0);
}

void Measurement::InitializeFreq(const std::complex<double>* spectrum, int count, int sampleRate,
                                 int halfSize, int signalType, double factor1, double factor2,
                                 bool resetSettings) {
    const long long length = 2LL * count;
    const long long n = 2LL * halfSize;
    if (!RefuseUnless(spectrum != nullptr && count >= 1 && length <= INT_MAX && IsPow2(length) &&
                          halfSize >= 1 && n <= (1LL << MAX_EXPONENT) && IsPow2(n) &&
                          sampleRate > 0,
                      "InitializeFreq(" + std::to_string(count) + ", " +
                          std::to_string(sampleRate) + ", " + std::to_string(halfSize) + ")"))
        return;
    Mem::Array<double> impulse(static_cast<std::size_t>(length));
    FFTPow2FreqToTime(spectrum, impulse.data() + count, static_cast<int>(length), CENTRED,
                      UNSCALED);
    InitializeImpulse(impulse.data(), static_cast<int>(length), count, sampleRate, Log2(n),
                      signalType, factor1, factor2, resetSettings);
}

void Measurement::InitializeFilter(Kedra::Filter::Design& filterChain) {
    const int taps = filterChain.Taps();
    long long length = MIN_FILTER_LENGTH;
    while (length < taps)
        length *= 2;
    if (!RefuseUnless(taps >= 1 && length <= (1LL << MAX_EXPONENT),
                      "InitializeFilter(" + std::to_string(taps) + ")"))
        return;
    const int half = taps / 2;
    const int middle = static_cast<int>(length / 2);
    auto samples = Mem::Array<double>::Zeros(static_cast<std::size_t>(length));
    const double* h = filterChain.Impulse();
    for (int i = -half; i <= half; ++i)
        samples[static_cast<std::size_t>(middle + i)] = h[i];
    InitializeImpulse(samples.data(), static_cast<int>(length), middle,
                      Kedra::Math::ToIntRound(filterChain.SampleRate()), Log2(length), 0, 0.0, 0.0,
                      true);
    PostInitSetOffset(0.0);
}

double Measurement::GetMaxImpulse() {
    if (!initialized_)
        return NO_LEVEL;
    return Kedra::Math::ArrayMax(GetI() - nHalf_, n_);
}

double Measurement::GetMinImpulse() {
    if (!initialized_)
        return NO_LEVEL;
    return Kedra::Math::ArrayMin(GetI() - nHalf_, n_);
}

double Measurement::GetMaxAbsImpulse() {
    if (!initialized_)
        return NO_LEVEL;
    return Kedra::Math::ArrayMaxAbs(GetI() - nHalf_, n_);
}

void Measurement::LocateImpulse() {
    if (!initialized_)
        return;
    const Kedra::Analyze::TZM method = MethodOf(timeZeroMethod_);
    const int index = Kedra::Analyze::LocateImpulse(GetI0(), n_, true, method, nullptr);
    if (index != 0)
        Offset(index);
    if (method == Kedra::Analyze::TZM::CausalImpulse)
        return;
    // The estimator reads seven samples on either side of the peak.
    const double estimate = nHalf_ >= 17 ? Kedra::Analyze::FractionalPeakOffset(GetI0()) : 0.0;
    const double delta = estimate - fraction_;
    if (delta != 0.0)
        Offset(delta);
}

double Measurement::MovingAveragePeak(const double* mags, int start, int end, int width,
                                      int* peakBin) const {
    const long long w = std::max(width, 0);
    const int first = std::max(start, 0);
    const int last = std::min(end, nHalf_);
    // Prefix sums keep wide averages linear in N; the extra precision keeps equal averages
    // equal enough that the first of them wins.
    Mem::Array<long double> prefix(static_cast<std::size_t>(nHalf_) + 1);
    prefix[0] = 0.0L;
    for (int k = 0; k < nHalf_; ++k)
        prefix[static_cast<std::size_t>(k) + 1] = prefix[static_cast<std::size_t>(k)] + mags[k];
    double best = 0.0;
    int bestBin = first;
    for (int b = first; b < last; ++b) {
        const long long lo = std::max(b - w, 0LL);
        const long long hi = std::min(b + w, static_cast<long long>(nHalf_) - 1);
        const double average = static_cast<double>(
            (prefix[static_cast<std::size_t>(hi) + 1] - prefix[static_cast<std::size_t>(lo)]) /
            static_cast<long double>(hi - lo + 1));
        if (b == first || average > best) {
            best = average;
            bestBin = b;
        }
    }
    if (peakBin != nullptr)
        *peakBin = bestBin;
    return best;
}

double Measurement::GetFreqPeak(int width, bool unprocessed, int* peakBin) {
    if (!initialized_) {
        if (peakBin != nullptr)
            *peakBin = 1;
        return NO_LEVEL;
    }
    if (!unprocessed)
        return MovingAveragePeak(GetA(), 0, nHalf_, width, peakBin);
    const std::complex<double>* f0 = GetF0();
    Mem::Array<double> mags(static_cast<std::size_t>(nBins_));
    for (int k = 0; k < nBins_; ++k)
        mags[static_cast<std::size_t>(k)] = std::abs(f0[k]);
    return MovingAveragePeak(mags.data(), 0, nHalf_, width, peakBin);
}

double Measurement::GetForgAvg(double fLow, double fHigh, bool logWeighted) {
    if (!initialized_ || !std::isfinite(fLow) || !std::isfinite(fHigh))
        return NO_LEVEL;
    // Negative frequencies read from DC rather than before the array.
    int lo = static_cast<int>(
        std::clamp(std::floor(fLow * binsPerHz_ + 0.5), 0.0, static_cast<double>(nHalf_ - 1)));
    int hi = static_cast<int>(
        std::clamp(std::floor(fHigh * binsPerHz_ + 0.5), 0.0, static_cast<double>(nHalf_)));
    if (logWeighted && lo == 0)
        lo = 1;
    // A band narrower than a bin still has a level: that of its nearest bin.
    if (hi <= lo)
        hi = lo + 1;
    const std::complex<double>* f0 = GetF0();
    double sum = 0.0;
    double weights = 0.0;
    for (int k = lo; k < hi; ++k) {
        // The share of a decade that bin k spans.
        const double w = logWeighted ? std::log10(1.0 / k + 1.0) : 1.0;
        sum += w * std::abs(f0[k]);
        weights += w;
    }
    return sum / weights;
}

// The window end is where the response in its main band has died away.
//  1. Level reference P: the largest 21-bin moving average of |F0| from 50 Hz up. Below 1e-5
//     the spectrum carries no level and the end is 10 samples.
//  2. Band: the highest bin (not below P's bin) and the lowest bin (from 50 Hz, not above
//     the upper one) whose magnitude is no more than 6 dB below P. The upper edge fu is
//     limited to 5000 Hz and raised to the lower edge when that is higher.
//  3. F0 is weighted by a raised cosine of half-width fu/2 centred on fu; the temporary
//     measurement is this band-limited response, held as its analytic signal (inverse
//     transforms of the weighted bins and of the same bins turned by -90 degrees), so that
//     its envelope is the magnitude and carries no ripple at the band frequency.
//  4. The envelope is smoothed (moving RMS over about 1 ms) so that single noise peaks do
//     not count. The noise floor is its median over the last quarter of the samples after
//     time zero, where a measurement holds only noise (or the very end of a long decay). The
//     threshold is the higher of the floor plus 10 dB and the peak minus 120 dB; a floor less
//     than 20 dB below the peak means no decay inside the data, and the end is the limit.
//     Otherwise the end is
//     the first sample after the envelope's peak where it has fallen below the threshold;
//     at least 1. So the window keeps what of the response stands above the noise in its
//     main band: the band kernel also carries a loudspeaker's slow low-frequency decay, and
//     the window is long enough that the spectrum is right from fs / end up. A reflection
//     that arrives after the direct sound has died into the noise is left out.
// searchLimit is the largest end returned, in samples after time zero: an envelope still
// above the threshold there gives searchLimit itself. 0 or negative means no limit but the
// data: the N/2 - 1 samples after time zero, to which a larger limit is reduced as well.
int Measurement::SuggestedImpulseWindowEnd(int searchLimit) {
    if (!initialized_)
        return SILENT_WINDOW_END;
    const std::complex<double>* f0 = GetF0();
    Mem::Array<double> mags(static_cast<std::size_t>(nBins_));
    for (int k = 0; k < nBins_; ++k)
        mags[static_cast<std::size_t>(k)] = std::abs(f0[k]);

    const int b50 = static_cast<int>(binsPerHz_ * LOWEST_BAND_HZ);
    int peakBin = 0;
    const double level =
        MovingAveragePeak(mags.data(), b50, nHalf_, REFERENCE_HALF_WIDTH, &peakBin);
    if (!(level >= SILENT_LEVEL))
        return SILENT_WINDOW_END;

    const double edgeLevel = level * std::pow(10.0, BAND_EDGE_DB / 20.0);
    int upper = peakBin;
    for (int k = nHalf_ - 1; k > peakBin; --k) {
        if (mags[static_cast<std::size_t>(k)] >= edgeLevel) {
            upper = k;
            break;
        }
    }
    int lower = upper;
    for (int k = std::max(b50, 0); k < upper; ++k) {
        if (mags[static_cast<std::size_t>(k)] >= edgeLevel) {
            lower = k;
            break;
        }
    }
    double fu = std::min(upper * hzPerBin_, HIGHEST_UPPER_EDGE_HZ);
    fu = std::max(fu, lower * hzPerBin_);
    // A band at DC (tiny records) would have no width at all.
    fu = std::max(fu, 2.0 * hzPerBin_);

    const double halfWidth = fu / 2.0;
    auto band = Mem::Array<std::complex<double>>::Zeros(static_cast<std::size_t>(nBins_));
    const int kLo = std::max(0, static_cast<int>(std::ceil((fu - halfWidth) * binsPerHz_)));
    const int kHi = std::min(nHalf_, static_cast<int>(std::floor((fu + halfWidth) * binsPerHz_)));
    for (int k = kLo; k <= kHi; ++k) {
        const double d = k * hzPerBin_ - fu;
        if (std::fabs(d) < halfWidth)
            band[static_cast<std::size_t>(k)] =
                f0[k] * (0.5 * (1.0 + std::cos(PI * d / halfWidth)));
    }
    Mem::Array<double> inPhase(static_cast<std::size_t>(n_));
    Mem::Array<double> quadrature(static_cast<std::size_t>(n_));
    double* re = inPhase.data() + nHalf_;
    double* im = quadrature.data() + nHalf_;
    FFTPow2FreqToTime(band.data(), re, n_, CENTRED, UNSCALED);
    // -i X gives the Hilbert transform; DC and Nyquist have none.
    band[0] = 0.0;
    band[static_cast<std::size_t>(nHalf_)] = 0.0;
    for (int k = 1; k < nHalf_; ++k)
        band[static_cast<std::size_t>(k)] *= std::complex<double>(0.0, -1.0);
    FFTPow2FreqToTime(band.data(), im, n_, CENTRED, UNSCALED);

    // The envelope, smoothed over about a millisecond so that single noise peaks do not count.
    const int smooth = std::max(8, sampleRate_ / 1000);
    std::vector<double> power(static_cast<std::size_t>(nHalf_));
    for (int t = 0; t < nHalf_; ++t)
        power[static_cast<std::size_t>(t)] = re[t] * re[t] + im[t] * im[t];
    std::vector<double> envelope(static_cast<std::size_t>(nHalf_));
    double running = 0.0;
    for (int t = 0; t < nHalf_; ++t) {
        running += power[static_cast<std::size_t>(t)];
        if (t >= smooth)
            running -= power[static_cast<std::size_t>(t - smooth)];
        envelope[static_cast<std::size_t>(t)] = std::sqrt(std::max(running, 0.0) / smooth);
    }
    double peak = 0.0;
    int peakAt = 0;
    for (int t = 0; t < nHalf_; ++t)
        if (envelope[static_cast<std::size_t>(t)] > peak) {
            peak = envelope[static_cast<std::size_t>(t)];
            peakAt = t;
        }
    std::vector<double> tail(envelope.end() - nHalf_ / 4, envelope.end());
    double noise = 0.0;
    if (!tail.empty()) {
        std::nth_element(tail.begin(), tail.begin() + static_cast<long>(tail.size() / 2),
                         tail.end());
        noise = tail[tail.size() / 2];
    }
    const double threshold = std::max(noise * std::pow(10.0, ABOVE_NOISE_DB / 20.0),
                                      peak * std::pow(10.0, DECAYED_DB / 20.0));
    const int limit = (searchLimit > 0 && searchLimit < nHalf_ - 1) ? searchLimit : nHalf_ - 1;
    // A "floor" hardly below the peak is a response that has not decayed within the data.
    if (noise > peak * std::pow(10.0, NOT_DECAYED_DB / 20.0))
        return std::max(limit, 1);
    int end = limit;
    for (int t = peakAt; t <= limit; ++t) {
        if (envelope[static_cast<std::size_t>(t)] < threshold) {
            end = t;
            break;
        }
    }
    return std::clamp(end, 1, std::max(limit, 1));
}

void Measurement::UseSuggestedImpulseWindowEnd() {
    if (!initialized_)
        return;
    if (signalType_ == 1) {
        // The second harmonic's impulse lies d samples before the linear one; the window
        // starts half-way to it.
        const double d = std::floor(std::log(2.0) * signalFactor1_ * sampleRate_ + 0.5);
        if (std::isfinite(d) && d >= 0.0 && d <= INT_MAX) {
            const int start = -(static_cast<int>(d) / 2);
            if (GetImpulseWindowStart() != start)
                SetImpulseWindowStart(start);
        }
    }
    SetImpulseWindowEnd(std::max(SuggestedImpulseWindowEnd(0), 0));
}

double Measurement::FrequencyValidityWithWindow() {
    if (!initialized_ || !GetImpulseWindowEnabled())
        return 1.0;
    const int end = GetImpulseWindowEnd();
    if (end < 2)
        return sampleRate_ / 2.0;
    return static_cast<double>(sampleRate_) / end;
}

bool Measurement::Invert() {
    if (!initialized_)
        return inverted_;
    Amplify(-1.0);
    inverted_ = !inverted_;
    return inverted_;
}

void Measurement::ApplyHighpass(int startHz, int lengthHz) {
    if (!initialized_)
        return;
    long long m = 2;
    while (m < dataLength_)
        m *= 2;
    if (!RefuseUnless(m <= INT_MAX / 2, "ApplyHighpass(" + std::to_string(dataLength_) + ")"))
        return;
    const int size = static_cast<int>(m);
    const int middle = size / 2;
    auto data = Mem::Array<double>::Zeros(static_cast<std::size_t>(size));
    std::copy(raw_.data(), raw_.data() + dataLength_, data.data());
    Mem::Array<std::complex<double>> bins(static_cast<std::size_t>(middle) + 1);
    FFTPow2TimeToFreq(data.data() + middle, bins.data(), size, CENTRED, UNSCALED, 0.0);
    HighpassSpectrum(bins.data(), bins.data(), middle, static_cast<double>(size) / sampleRate_,
                     startHz, lengthHz);
    FFTPow2FreqToTime(bins.data(), data.data() + middle, size, CENTRED, UNSCALED);
    // I0 and the impulse spline may point into the old raw array.
    FreeViews();
    raw_ = std::move(data);
    dataLength_ = size;
    UpdatePosition();
    config_.SetAllDirty();
    ReleaseHD();
}

void Measurement::PostMeasureStandard(int windowStart, int minimumEnd, int searchLimit,
                                      int applicationId, bool autoWindow) {
    if (!initialized_)
        return;
    if (autoWindow) {
        SetImpulseWindowStart(windowStart, true);
        SetImpulseWindowLockStart(true);
        SetImpulseWindowEnd(std::max(SuggestedImpulseWindowEnd(searchLimit), minimumEnd));
        SetImpulseWindowEnabled(true);
    }
    SetLowpassEnabled(false);
    SetHighpassEnabled(false);
    SetSmoothNOct(3.0);
    SetSmoothingEnabled(false);
    applicationId_ = applicationId;
}

} // namespace Kedra::Measure
