#include "measure/ImpulseWindow.h"

#include <algorithm>
#include <cmath>

#include "foundation/MathHelpers.h"

namespace Kedra::Measure {

using Kedra::Math::PI;
using Kedra::Math::ToIntRound;

namespace {
// Far beyond any record, and far enough from the int limits that the taper arithmetic
// cannot overflow.
constexpr int LIMIT = 1 << 28;
int Bounded(int x) {
    return std::clamp(x, -LIMIT, LIMIT);
}
} // namespace

bool ImpulseWindow::SetStart(int start) {
    start = Bounded(start);
    if (start == start_)
        return false;
    start_ = start;
    dirty_ = true;
    return true;
}

bool ImpulseWindow::SetEnd(int end) {
    end = Bounded(end);
    if (end == end_)
        return false;
    end_ = end;
    dirty_ = true;
    return true;
}

void ImpulseWindow::Update() {
    if (!dirty_)
        return;
    if (start_ <= 0 && end_ >= 0) {
        left_ = ToIntRound(8.0 * std::sqrt(-static_cast<double>(start_)));
        right_ = std::min(ToIntRound(8.0 * std::sqrt(static_cast<double>(end_))), end_);
    } else {
        // An inverted window (end before start) gets no tapers and passes nothing.
        left_ = right_ =
            ToIntRound(6.0 * std::sqrt(std::max(0.0, static_cast<double>(end_) - start_)));
    }
    leftFlat_ = start_ + left_ / 2;
    leftZero_ = leftFlat_ - left_;
    rightFlat_ = end_ - right_ / 2;
    rightZero_ = rightFlat_ + right_;
    // A zero-length taper is a hard edge; its step is never used.
    leftStep_ = left_ > 0 ? PI / left_ : 0.0;
    rightStep_ = right_ > 0 ? PI / right_ : 0.0;
    dirty_ = false;
}

double ImpulseWindow::Amplitude(double x) {
    Update();
    if (x <= leftZero_ || x >= rightZero_)
        return 0.0;
    const bool inLeft = x < leftFlat_;
    const bool inRight = x > rightFlat_;
    if (inLeft && inRight)
        return 0.25 * (1.0 + std::cos(leftStep_ * (leftFlat_ - x))) *
               (1.0 + std::cos(rightStep_ * (x - rightFlat_)));
    if (inLeft)
        return 0.5 * (1.0 + std::cos(leftStep_ * (leftFlat_ - x)));
    if (inRight)
        return 0.5 * (1.0 + std::cos(rightStep_ * (x - rightFlat_)));
    return 1.0;
}

int ImpulseWindow::GetLeftTaper() {
    Update();
    return left_;
}
int ImpulseWindow::GetRightTaper() {
    Update();
    return right_;
}
int ImpulseWindow::GetLeftZero() {
    Update();
    return leftZero_;
}
int ImpulseWindow::GetLeftFlat() {
    Update();
    return leftFlat_;
}
int ImpulseWindow::GetRightFlat() {
    Update();
    return rightFlat_;
}
int ImpulseWindow::GetRightZero() {
    Update();
    return rightZero_;
}

} // namespace Kedra::Measure
