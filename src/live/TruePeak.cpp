#include "live/TruePeak.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace Kedra::Live {

TruePeak::TruePeak() {
    const double pi = std::numbers::pi;
    for (int p = 1; p < FACTOR; ++p) {
        auto& taps = phases_[static_cast<std::size_t>(p - 1)];
        double sum = 0.0;
        for (int j = 0; j < TAPS; ++j) {
            // Distance from the point between samples HALF-1 and HALF of the window to tap j.
            const double d = HALF - 1 - j + static_cast<double>(p) / FACTOR;
            const double u = d / HALF;
            const double window = 0.42 + 0.5 * std::cos(pi * u) + 0.08 * std::cos(2.0 * pi * u);
            taps[static_cast<std::size_t>(j)] = window * std::sin(pi * d) / (pi * d);
            sum += taps[static_cast<std::size_t>(j)];
        }
        // Unit gain at DC in every phase, so a constant reads its own value.
        for (double& t : taps)
            t /= sum;
    }
}

double TruePeak::Process(double x) noexcept {
    history_[static_cast<std::size_t>(next_)] = x;
    history_[static_cast<std::size_t>(next_ + TAPS)] = x;
    next_ = (next_ + 1) % TAPS;
    const double* window = history_.data() + next_; // oldest first
    double peak = std::abs(window[HALF - 1]);
    for (const auto& taps : phases_) {
        double y = 0.0;
        for (int j = 0; j < TAPS; ++j)
            y += taps[static_cast<std::size_t>(j)] * window[j];
        peak = std::max(peak, std::abs(y));
    }
    return peak;
}

void TruePeak::Reset() noexcept {
    history_.fill(0.0);
    next_ = 0;
}

} // namespace Kedra::Live
