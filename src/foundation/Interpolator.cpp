#include "foundation/Interpolator.h"

#include <algorithm>
#include <cmath>

#include "foundation/MathHelpers.h"

namespace Kedra::Math {

void InterpolatorCubicSpline::Prepare() {
    const int n = count_;
    if (n < 1)
        return;
    if (y2_.size() != static_cast<std::size_t>(n))
        y2_ = Mem::Array<double>(static_cast<std::size_t>(n));
    Mem::Array<double> u(static_cast<std::size_t>(n));
    const double* s = samples_ + first_;
    double* y2 = y2_.data();
    y2[0] = 0.0;
    u[0] = 0.0;
    for (int i = 1; i < n - 1; ++i) {
        const double p = 0.5 * y2[i - 1] + 2.0;
        y2[i] = -0.5 / p;
        u[i] = (3.0 * (s[i + 1] - 2.0 * s[i] + s[i - 1]) - 0.5 * u[i - 1]) / p;
    }
    y2[n - 1] = 0.0;
    for (int i = n - 2; i >= 1; --i)
        y2[i] = y2[i] * y2[i + 1] + u[i];
}

double InterpolatorCubicSpline::InterpolateBetween(double x, int /*k*/) {
    const double t = x - first_;
    const int j = static_cast<int>(std::floor(t));
    const double a = j + 1 - t;
    const double b = t - j;
    const double* s = samples_ + first_;
    const double* y2 = y2_.data();
    return a * s[j] + b * s[j + 1] + ((a * a * a - a) * y2[j] + (b * b * b - b) * y2[j + 1]) / 6.0;
}

void InterpolatorPolar::Prepare() {
    if (count_ < 1)
        return;
    // The inner interpolators address the arrays by the same index k as the samples. With a
    // positive first index the arrays start at k = 0, so that no pointer points before them.
    const int base = std::min(first_, 0);
    parts_.Reserve(static_cast<std::size_t>(last_ - base + 1));
    double* magnitudes = parts_.magnitudes.data() - base;
    double* phases = parts_.phases.data() - base;
    const std::complex<double>* z = samples_;
    PhaseUnwrapper unwrapper(threshold_);
    for (int k = first_; k <= last_; ++k) {
        magnitudes[k] = std::abs(z[k]);
        phases[k] = unwrap_ ? unwrapper.Next(z[k]) : Phase(z[k]);
    }
    parts_.magnitude->SetSamples(first_, last_, magnitudes);
    parts_.phase->SetSamples(first_, last_, phases);
}

void InterpolatorPolar::Release() {
    parts_.Release();
    // The inner interpolators point into the freed arrays: the next Value must prepare anew.
    dirty_ = true;
}

std::complex<double> InterpolatorPolar::InterpolateBetween(double x, int /*k*/) {
    return parts_.Value(x);
}

void InterpolatorNonEqPolar::Prepare() {
    if (n_ < 1)
        return;
    parts_.Reserve(static_cast<std::size_t>(n_));
    // Always unwrapped, with the jump rule of the equidistant case at a threshold of pi.
    PhaseUnwrapper unwrapper(PI);
    for (int i = 0; i < n_; ++i) {
        const auto u = static_cast<std::size_t>(i);
        parts_.magnitudes[u] = std::abs(samples_[i]);
        parts_.phases[u] = unwrapper.Next(samples_[i]);
    }
    parts_.magnitude->SetSamples(n_, parts_.magnitudes.data(), abscissas_);
    parts_.phase->SetSamples(n_, parts_.phases.data(), abscissas_);
}

void InterpolatorNonEqPolar::Release() {
    parts_.Release();
    dirty_ = true;
}

std::complex<double> InterpolatorNonEqPolar::InterpolateBetween(double x, int /*k*/) {
    return parts_.Value(x);
}

} // namespace Kedra::Math
