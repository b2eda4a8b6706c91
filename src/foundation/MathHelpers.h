#pragma once
// Decibels, phase, rounding, powers of ten and array shifting used throughout the engine.
// The decibel floors (-100000 for log10, -2000000 dB) are visible in exported files.

#include <complex>

#include "foundation/MathConstants.h"

namespace Kedra::Math {

inline constexpr double LOG10_FLOOR = -100000.0;
inline constexpr double DB_FLOOR = 20.0 * LOG10_FLOOR;

// 10^n as a product of tens for n > 0; 1 for every n <= 0.
double Pow10(int n);
// 10^n for either sign.
double NegPow10(int n);
// floor(x + 0.5): halves round upward, so -2.5 gives -2.
int ToIntRound(double x);
int ToIntFloor(double x);

// Angle in -pi..pi; 0 for a zero value, +pi on the negative real axis.
double Phase(std::complex<double> z);
double Sign(double x);
double Log10Safe(double x);
double AmplitudeToDB(double x);
float AmplitudeToDB(float x);
double DBToAmplitude(double x);
// 1/z without a guard: z = 0 gives non-finite parts.
std::complex<double> Inverse(std::complex<double> z);

// Moves the block right by shift with wrap-around. shift must lie in -n .. 2n. When centred,
// a points at the middle element and the array is a[-n/2] .. a[n - n/2 - 1].
void ArrayCircShift(double* a, int n, int shift, bool centred);

// Extremes over n values; the first element is the start value and wins ties. n <= 0 gives 0.
float ArrayMax(const float* a, int n);
double ArrayMax(const double* a, int n);
double ArrayMin(const double* a, int n);
double ArrayMaxAbs(const double* a, int n);
double ArrayMaxAbs(const std::complex<double>* a, int n);

// Unwraps a sequence of phases: a raw phase that falls by at least the threshold below the
// previous raw phase adds a turn, one that rises by more than the threshold removes one.
class PhaseUnwrapper {
public:
    explicit PhaseUnwrapper(double threshold = PI) : threshold_(threshold) {}

    void SetThreshold(double threshold) { threshold_ = threshold; }
    double GetThreshold() const { return threshold_; }

    // Begins a curve in -2pi .. 0 and returns its first unwrapped value.
    double Start(std::complex<double> z);
    double Next(std::complex<double> z);

private:
    double last_ = 0.0;
    double offset_ = 0.0;
    double threshold_;
    bool started_ = false;
};

} // namespace Kedra::Math
