#pragma once
// Evaluation of sampled curves at any abscissa. Interpolators do not own the samples they are
// given, only the coefficients they derive from them; those are prepared lazily, once per
// change of the samples (SetSamples marks them stale).

#include <cmath>
#include <complex>
#include <memory>

#include "foundation/MathConstants.h"
#include "foundation/Mem.h"

namespace Kedra::Math {

namespace detail {

// Magnitude and phase curves of a polar interpolator, each with its own real interpolator.
template <typename Inner>
struct PolarParts {
    std::unique_ptr<Inner> magnitude;
    std::unique_ptr<Inner> phase;
    Mem::Array<double> magnitudes;
    Mem::Array<double> phases;

    void Reserve(std::size_t n) {
        if (magnitudes.size() != n) {
            magnitudes = Mem::Array<double>(n);
            phases = Mem::Array<double>(n);
        }
    }
    void Release() {
        if (magnitude)
            magnitude->Release();
        if (phase)
            phase->Release();
        magnitudes = Mem::Array<double>();
        phases = Mem::Array<double>();
    }
    std::complex<double> Value(double x) const {
        const double r = magnitude->Value(x);
        const double phi = phase->Value(x);
        return {r * std::cos(phi), r * std::sin(phi)};
    }
};

} // namespace detail

// Equidistant abscissa: sample k sits at x = k, first <= k <= last. Between samples the base
// class yields 0.
template <typename T>
class Interpolator {
public:
    Interpolator() = default;
    Interpolator(const Interpolator&) = delete;
    Interpolator& operator=(const Interpolator&) = delete;
    // Virtual so that an owner holding the base type frees the coefficients of the real one.
    virtual ~Interpolator() = default;

    // samples[k] must be valid for first <= k <= last.
    void SetSamples(int first, int last, const T* samples) {
        if (first != first_ || last != last_) {
            Release();
            first_ = first;
            last_ = last;
            count_ = last - first + 1;
        }
        samples_ = samples;
        dirty_ = true;
    }
    void SetSamples(int count, const T* samples) { SetSamples(0, count - 1, samples); }

    void SetZeroOutside(bool zeroOutside) { zeroOutside_ = zeroOutside; }
    bool GetZeroOutside() const { return zeroOutside_; }
    int First() const { return first_; }
    int Last() const { return last_; }
    int Count() const { return count_; }

    T Value(double x) {
        if (samples_ == nullptr || count_ < 1)
            return T{};
        if (x >= first_ && x <= last_) {
            if (dirty_) {
                Prepare();
                dirty_ = false;
            }
            const int k = static_cast<int>(std::floor(x));
            if (x == static_cast<double>(k))
                return samples_[k];
            return InterpolateBetween(x, k);
        }
        if (zeroOutside_)
            return T{};
        return x < first_ ? samples_[first_] : samples_[last_];
    }

    virtual void Prepare() {}
    virtual void Release() {}

protected:
    virtual T InterpolateBetween(double /*x*/, int /*k*/) { return T{}; }

    bool zeroOutside_ = true;
    int first_ = 0;
    int last_ = 0;
    int count_ = 1;
    const T* samples_ = nullptr;
    bool dirty_ = true;
};

template <typename T>
class InterpolatorLinear : public Interpolator<T> {
protected:
    T InterpolateBetween(double x, int k) override {
        const T* s = this->samples_;
        return s[k] + (s[k + 1] - s[k]) * (x - k);
    }
};

// Natural cubic spline over unit spacing.
class InterpolatorCubicSpline : public Interpolator<double> {
public:
    ~InterpolatorCubicSpline() override { Release(); }
    void Prepare() override;
    // Freed coefficients are rebuilt on the next Value.
    void Release() override {
        y2_ = Mem::Array<double>();
        dirty_ = true;
    }

protected:
    double InterpolateBetween(double x, int k) override;

private:
    Mem::Array<double> y2_; // second derivatives, index k - first
};

// Complex samples interpolated as magnitude and phase (unwrapped unless told otherwise).
class InterpolatorPolar : public Interpolator<std::complex<double>> {
public:
    ~InterpolatorPolar() override { Release(); }
    void SetUnwrap(bool unwrap) {
        unwrap_ = unwrap;
        dirty_ = true;
    }
    bool GetUnwrap() const { return unwrap_; }
    void SetUnwrapThreshold(double threshold) {
        threshold_ = threshold;
        dirty_ = true;
    }

    void Prepare() override;
    void Release() override;

protected:
    InterpolatorPolar(std::unique_ptr<Interpolator<double>> magnitude,
                      std::unique_ptr<Interpolator<double>> phase) {
        parts_.magnitude = std::move(magnitude);
        parts_.phase = std::move(phase);
    }

    std::complex<double> InterpolateBetween(double x, int k) override;

private:
    bool unwrap_ = true;
    double threshold_ = PI;
    detail::PolarParts<Interpolator<double>> parts_;
};

class InterpolatorLinearPolar : public InterpolatorPolar {
public:
    InterpolatorLinearPolar()
        : InterpolatorPolar(std::make_unique<InterpolatorLinear<double>>(),
                            std::make_unique<InterpolatorLinear<double>>()) {}
};

class InterpolatorCubicPolar : public InterpolatorPolar {
public:
    InterpolatorCubicPolar()
        : InterpolatorPolar(std::make_unique<InterpolatorCubicSpline>(),
                            std::make_unique<InterpolatorCubicSpline>()) {}
};

// Non-equidistant abscissa: n samples at strictly ascending abscissas. Between samples the
// base class yields 0.
template <typename T>
class InterpolatorNonEq {
public:
    InterpolatorNonEq() = default;
    InterpolatorNonEq(const InterpolatorNonEq&) = delete;
    InterpolatorNonEq& operator=(const InterpolatorNonEq&) = delete;
    virtual ~InterpolatorNonEq() = default;

    void SetSamples(int n, const T* samples, const double* abscissas) {
        n_ = n;
        samples_ = samples;
        abscissas_ = abscissas;
        dirty_ = true;
    }
    void SetZeroOutside(bool zeroOutside) { zeroOutside_ = zeroOutside; }
    bool GetZeroOutside() const { return zeroOutside_; }
    int Count() const { return n_; }

    T Value(double x) {
        if (samples_ == nullptr || abscissas_ == nullptr || n_ < 1)
            return T{};
        const double* a = abscissas_;
        if (x >= a[0] && x <= a[n_ - 1]) {
            if (dirty_) {
                Prepare();
                dirty_ = false;
            }
            int lo = 0;
            int hi = n_ - 1;
            while (hi - lo >= 2) {
                const int mid = (lo + hi) / 2;
                if (x < a[mid])
                    hi = mid;
                else
                    lo = mid;
            }
            if (x == a[lo])
                return samples_[lo];
            // With n = 1 or x on the last abscissa, lo may be the last sample.
            if (lo + 1 >= n_ || x == a[lo + 1])
                return samples_[lo + 1 >= n_ ? lo : lo + 1];
            return InterpolateBetween(x, lo);
        }
        if (zeroOutside_)
            return T{};
        return x <= a[0] ? samples_[0] : samples_[n_ - 1];
    }

    virtual void Prepare() {}
    virtual void Release() {}

protected:
    virtual T InterpolateBetween(double /*x*/, int /*k*/) { return T{}; }

    bool zeroOutside_ = true;
    int n_ = 0;
    const T* samples_ = nullptr;
    const double* abscissas_ = nullptr;
    bool dirty_ = true;
};

class InterpolatorNonEqLinear : public InterpolatorNonEq<double> {
protected:
    double InterpolateBetween(double x, int k) override {
        const double* s = samples_;
        const double* a = abscissas_;
        return s[k] + (s[k + 1] - s[k]) / (a[k + 1] - a[k]) * (x - a[k]);
    }
};

// Polar interpolation over non-equidistant abscissas; the phase is always unwrapped.
class InterpolatorNonEqPolar : public InterpolatorNonEq<std::complex<double>> {
public:
    ~InterpolatorNonEqPolar() override { Release(); }
    void Prepare() override;
    void Release() override;

protected:
    InterpolatorNonEqPolar(std::unique_ptr<InterpolatorNonEq<double>> magnitude,
                           std::unique_ptr<InterpolatorNonEq<double>> phase) {
        parts_.magnitude = std::move(magnitude);
        parts_.phase = std::move(phase);
    }

    std::complex<double> InterpolateBetween(double x, int k) override;

private:
    detail::PolarParts<InterpolatorNonEq<double>> parts_;
};

class InterpolatorNonEqLinearPolar : public InterpolatorNonEqPolar {
public:
    InterpolatorNonEqLinearPolar()
        : InterpolatorNonEqPolar(std::make_unique<InterpolatorNonEqLinear>(),
                                 std::make_unique<InterpolatorNonEqLinear>()) {}
};

} // namespace Kedra::Math
