#include "filter/EffectEqualizer.h"

#include "filter/Design.h"
#include "foundation/KedraLogger.h"
#include "foundation/MathHelpers.h"

#include <algorithm>
#include <cmath>

namespace Kedra::Filter {

EffectEqualizer::EffectEqualizer(Design& owner) : Effect(owner, "Equalizer") {
    // The end gains hold beyond the outer points.
    interpolator_.SetZeroOutside(false);
}

void EffectEqualizer::SetPoints(const std::vector<std::pair<int, double>>& points) {
    points_.clear();
    for (const auto& [f, gain] : points) {
        if (f > 0 && std::isfinite(gain)) {
            points_[f] = gain;
        }
    }
    logFrequencies_.clear();
    gainsDB_.clear();
    for (const auto& [f, gain] : points_) {
        logFrequencies_.push_back(Math::Log10Safe(static_cast<double>(f)));
        gainsDB_.push_back(Math::AmplitudeToDB(gain));
    }
    interpolator_.SetSamples(static_cast<int>(gainsDB_.size()), gainsDB_.data(),
                             logFrequencies_.data());
    ready_ = true;
    Update();
}

void EffectEqualizer::UpdateElement() {
    if (!ready_) {
        Logging::KedraLogger::LogText("WARNING EffectEqualizer::" + Owner().Name() +
                                      "::UpdateElement() Called without Design initialized.\n");
        return;
    }
    EffectResponse& r = Response();
    std::complex<double>* h = r.Raw();
    const double df = Grid().df;
    const double maxGain = Owner().GetMaxGain();
    const int bins = r.Bins();
    for (int i = 0; i < bins; ++i) {
        const double f = i * df;
        const double x = f < 1.0 ? 0.0 : std::log10(f);
        // An empty curve (no points) is flat at 0 dB.
        const double db = gainsDB_.empty() ? 0.0 : interpolator_.Value(x);
        h[i] = {std::min(std::pow(10.0, 0.05 * db), maxGain), 0.0};
    }
    r.MarkChanged();
    NotifyDependents();
}

} // namespace Kedra::Filter
