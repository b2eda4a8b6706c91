#include "foundation/MathHelpers.h"

#include <cmath>
#include <cstring>

#include "foundation/Mem.h"

namespace Kedra::Math {

double Pow10(int n) {
    double r = 1.0;
    for (int i = 0; i < n; ++i)
        r *= 10.0;
    return r;
}

double NegPow10(int n) {
    if (n >= 0)
        return Pow10(n);
    return 1.0 / Pow10(-n);
}

int ToIntRound(double x) {
    return static_cast<int>(std::floor(x + 0.5));
}

int ToIntFloor(double x) {
    return static_cast<int>(std::floor(x));
}

double Phase(std::complex<double> z) {
    const double m = std::abs(z);
    if (m == 0.0)
        return 0.0;
    // Rounding can put re/m a hair outside -1..1, where acos has no value.
    double c = z.real() / m;
    c = c > 1.0 ? 1.0 : (c < -1.0 ? -1.0 : c);
    const double p = std::acos(c);
    return z.imag() < 0.0 ? -p : p;
}

double Sign(double x) {
    return x < 0.0 ? -1.0 : 1.0;
}

double Log10Safe(double x) {
    return x > 0.0 ? std::log10(x) : LOG10_FLOOR;
}

double AmplitudeToDB(double x) {
    return x > 0.0 ? 20.0 * std::log10(x) : DB_FLOOR;
}

float AmplitudeToDB(float x) {
    return x > 0.0f ? 20.0f * std::log10(x) : static_cast<float>(DB_FLOOR);
}

double DBToAmplitude(double x) {
    return std::pow(10.0, x * 0.05);
}

std::complex<double> Inverse(std::complex<double> z) {
    const double d = z.real() * z.real() + z.imag() * z.imag();
    return {z.real() / d, -z.imag() / d};
}

void ArrayCircShift(double* a, int n, int shift, bool centred) {
    if (n <= 0)
        return;
    if (shift < 0)
        shift += n;
    else if (shift > n)
        shift -= n;
    if (shift == 0 || shift == n)
        return;
    double* base = centred ? a - n / 2 : a;
    Mem::Array<double> tmp(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        tmp[static_cast<std::size_t>((i + shift) % n)] = base[i];
    std::memcpy(base, tmp.data(), sizeof(double) * static_cast<std::size_t>(n));
}

namespace {

template <typename T, typename Key, typename Better>
T Extreme(const T* a, int n, Key key, Better better) {
    if (n <= 0)
        return T{};
    T best = a[0];
    auto bestKey = key(best);
    for (int i = 1; i < n; ++i) {
        const auto k = key(a[i]);
        if (better(k, bestKey)) {
            best = a[i];
            bestKey = k;
        }
    }
    return best;
}

const auto identity = [](auto v) { return v; };
const auto greater = [](auto x, auto y) { return x > y; };
const auto less = [](auto x, auto y) { return x < y; };

} // namespace

float ArrayMax(const float* a, int n) {
    return Extreme(a, n, identity, greater);
}

double ArrayMax(const double* a, int n) {
    return Extreme(a, n, identity, greater);
}

double ArrayMin(const double* a, int n) {
    return Extreme(a, n, identity, less);
}

double ArrayMaxAbs(const double* a, int n) {
    return n <= 0 ? 0.0
                  : std::fabs(Extreme(
                        a, n, [](double v) { return std::fabs(v); }, greater));
}

double ArrayMaxAbs(const std::complex<double>* a, int n) {
    return n <= 0 ? 0.0
                  : std::abs(Extreme(
                        a, n, [](std::complex<double> v) { return std::abs(v); }, greater));
}

double PhaseUnwrapper::Start(std::complex<double> z) {
    started_ = true;
    last_ = Phase(z);
    offset_ = last_ > 0.0 ? -TWOPI : 0.0;
    return last_ + offset_;
}

double PhaseUnwrapper::Next(std::complex<double> z) {
    const double p = Phase(z);
    if (!started_)
        started_ = true;
    else if (p <= last_ - threshold_)
        offset_ += TWOPI;
    else if (p > last_ + threshold_)
        offset_ -= TWOPI;
    last_ = p;
    return p + offset_;
}

} // namespace Kedra::Math
