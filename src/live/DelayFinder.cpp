#include "live/DelayFinder.h"

#include <algorithm>
#include <cmath>
#include <complex>

#include "foundation/Fft.h"
#include "foundation/MathConstants.h"

namespace Kedra::Live {

namespace {

using Kedra::Math::PI;

// Less than this, and the correlation has too little to go on.
constexpr double MIN_SECONDS = 0.05;
// Bins with less of the reference's power than this share of its mean count nothing.
constexpr double SILENT_BIN = 1e-10;
constexpr int NEWTON_STEPS = 8;

int PowerOfTwoAtLeast(long long n) {
    int p = 1;
    while (p < n)
        p <<= 1;
    return p;
}

// The whitened correlation between the samples, and its first two derivatives, at lag tau:
// the sum over the bins of Re(P e^(i w tau)).
struct Slope {
    double value, first, second;
};

Slope CorrelationAt(const std::vector<std::complex<double>>& p, int n, double tau) {
    Slope s{0.0, 0.0, 0.0};
    const double step = 2.0 * PI / n;
    for (std::size_t k = 1; k < p.size(); ++k) {
        const double w = step * static_cast<double>(k);
        const double c = std::cos(w * tau), sn = std::sin(w * tau);
        const double a = p[k].real(), b = p[k].imag();
        const double re = a * c - b * sn;
        s.value += re;
        s.first -= w * (a * sn + b * c);
        s.second -= w * w * re;
    }
    return s;
}

} // namespace

DelayFinder::DelayFinder(double sampleRate, double windowSeconds) : sampleRate_(sampleRate) {
    const double seconds = std::isfinite(windowSeconds) ? std::clamp(windowSeconds, 0.1, 60.0)
                                                        : DEFAULT_WINDOW_SECONDS;
    capacity_ = sampleRate > 0.0 && sampleRate <= 1e6
                    ? static_cast<int>(std::lround(seconds * sampleRate))
                    : 0;
    ref_.assign(static_cast<std::size_t>(capacity_), 0.0f);
    meas_.assign(static_cast<std::size_t>(capacity_), 0.0f);
}

void DelayFinder::Reset() {
    at_ = 0;
    held_ = 0;
}

void DelayFinder::Process(const float* ref, const float* meas, int count) noexcept {
    if (capacity_ == 0 || ref == nullptr || meas == nullptr)
        return;
    for (int i = 0; i < count; ++i) {
        ref_[static_cast<std::size_t>(at_)] = ref[i];
        meas_[static_cast<std::size_t>(at_)] = meas[i];
        at_ = at_ + 1 == capacity_ ? 0 : at_ + 1;
    }
    held_ = static_cast<int>(std::min<long long>(capacity_, static_cast<long long>(held_) + count));
}

DelayResult DelayFinder::Find() const {
    DelayResult r;
    const int n = held_;
    if (n < MIN_SECONDS * sampleRate_ || n < 64) {
        r.why = "the signals are too short to find a delay (at least 0.05 s are needed)";
        return r;
    }
    const int maxLag =
        std::min(n - 1, static_cast<int>(std::lround(MAX_DELAY_SECONDS * sampleRate_)));
    // Room for every searched lag without the correlation wrapping onto itself.
    const int size = PowerOfTwoAtLeast(static_cast<long long>(n) + maxLag);
    std::vector<double> x(static_cast<std::size_t>(size), 0.0), y(x);
    const int oldest = n == capacity_ ? at_ : 0;
    double ex = 0.0, ey = 0.0;
    for (int i = 0; i < n; ++i) {
        const auto from = static_cast<std::size_t>((oldest + i) % capacity_);
        x[static_cast<std::size_t>(i)] = ref_[from];
        y[static_cast<std::size_t>(i)] = meas_[from];
        ex += x[static_cast<std::size_t>(i)] * x[static_cast<std::size_t>(i)];
        ey += y[static_cast<std::size_t>(i)] * y[static_cast<std::size_t>(i)];
    }
    if (!(ex > 0.0) || !std::isfinite(ex)) {
        r.why = ex > 0.0 ? "the reference holds samples that are not numbers"
                         : "the reference is silent";
        return r;
    }
    if (!(ey > 0.0) || !std::isfinite(ey)) {
        r.why = ey > 0.0 ? "the measurement holds samples that are not numbers"
                         : "the measurement is silent";
        return r;
    }
    const auto bins = static_cast<std::size_t>(size / 2 + 1);
    std::vector<std::complex<double>> fx(bins), fy(bins);
    // Unscaled sums: the whitening below removes every scale.
    Kedra::Math::FFTPow2TimeToFreq(x.data(), fx.data(), size, false, false);
    Kedra::Math::FFTPow2TimeToFreq(y.data(), fy.data(), size, false, false);
    double meanPower = 0.0;
    for (const auto& v : fx)
        meanPower += std::norm(v);
    meanPower /= static_cast<double>(bins);
    // r(tau) = sum x[m] y[m + tau] has the spectrum conj(X) Y. DC and Nyquist carry no phase.
    std::vector<std::complex<double>> p(bins);
    for (std::size_t k = 1; k + 1 < bins; ++k) {
        const std::complex<double> c = std::conj(fx[k]) * fy[k];
        const double m = std::abs(c);
        p[k] =
            std::norm(fx[k]) > SILENT_BIN * meanPower && m > 0.0 ? c / m : std::complex<double>{};
    }
    // The inverse of an unscaled spectrum marked as scaled: the plain sum, twice the one-sided.
    std::vector<double> corr(static_cast<std::size_t>(size));
    Kedra::Math::FFTPow2FreqToTime(p.data(), corr.data(), size, false, true);
    int best = 0;
    double bestAbs = -1.0, squares = 0.0;
    for (int lag = -maxLag; lag <= maxLag; ++lag) {
        const double v = corr[static_cast<std::size_t>(lag < 0 ? lag + size : lag)];
        squares += v * v;
        if (std::fabs(v) > bestAbs) {
            bestAbs = std::fabs(v);
            best = lag;
        }
    }
    const double rms = std::sqrt(squares / (2.0 * maxLag + 1.0));
    r.peakToRms = rms > 0.0 ? bestAbs / rms : 0.0;
    if (!(r.peakToRms >= MIN_PEAK_TO_RMS)) {
        r.why = "the measurement does not follow the reference (no clear peak in their "
                "correlation within +/- 700 ms)";
        return r;
    }
    // A system that inverts the polarity has its peak downwards.
    const double sign =
        corr[static_cast<std::size_t>(best < 0 ? best + size : best)] < 0.0 ? -1.0 : 1.0;
    double tau = best;
    for (int i = 0; i < NEWTON_STEPS; ++i) {
        const Slope s = CorrelationAt(p, size, tau);
        // Only where the curve bends down towards a maximum is a Newton step one towards it.
        if (!(sign * s.second < 0.0))
            break;
        const double step = std::clamp(-s.first / s.second, -0.5, 0.5);
        tau = std::clamp(tau + step, best - 1.0, best + 1.0);
        if (std::fabs(step) < 1e-7)
            break;
    }
    r.found = true;
    r.samples = tau;
    r.milliseconds = 1000.0 * tau / sampleRate_;
    return r;
}

} // namespace Kedra::Live
