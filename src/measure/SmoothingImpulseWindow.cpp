#include "measure/SmoothingImpulseWindow.h"

#include <cmath>

#include "foundation/MathConstants.h"

namespace Kedra::Measure {

namespace {

// Fraction of the half width at which 0.42 + 0.5 cos(pi u) + 0.08 cos(2 pi u) equals 0.5.
constexpr double HALF_GAIN_POINT = 0.40547865;
// 0.5 / HALF_GAIN_POINT: turns the quarter period pi/2 of the step into the half-gain distance.
constexpr double HALF_GAIN_DIVISOR = 1.2331105472507615;

} // namespace

SmoothingImpulseWindow::SmoothingImpulseWindow(double nOct, int sampleRate, double frequency)
    : nOct_(nOct), frequency_(frequency), sampleRate_(sampleRate) {
    UpdateConstants();
}

void SmoothingImpulseWindow::SetFrequency(double frequency) {
    frequency_ = frequency;
    UpdateConstants();
}

void SmoothingImpulseWindow::UpdateConstants() {
    // Band edges f/k and f*k of a 1/n-octave band centred on f.
    const double k = std::pow(2.0, 0.5 / nOct_);
    const double bandwidth = frequency_ * (k - 1.0 / k);
    const double h = (0.5 * sampleRate_) / bandwidth / HALF_GAIN_POINT;
    if (nOct_ > 0.0 && sampleRate_ > 0 && frequency_ > 0.0 && std::isfinite(h) && h > 0.0) {
        halfWidth_ = h;
        step_ = Kedra::Math::PI / h;
    } else {
        halfWidth_ = 0.0;
        step_ = 0.0;
    }
}

double SmoothingImpulseWindow::Amplitude(double x) const {
    if (!(std::fabs(x) < halfWidth_))
        return 0.0;
    return 0.42 + 0.5 * std::cos(step_ * x) + 0.08 * std::cos(2.0 * step_ * x);
}

double SmoothingImpulseWindow::GetMiddle() const {
    if (step_ == 0.0)
        return 0.0;
    return Kedra::Math::HALFPI / step_ / HALF_GAIN_DIVISOR;
}

} // namespace Kedra::Measure
