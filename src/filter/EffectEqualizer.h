#pragma once
// A gain curve through points, interpolated linearly in log10 frequency and decibels and
// limited to the design's maximum gain. Beyond the first and last point the end gains
// hold (a curve does not fall back to 0 dB outside the points).

#include <map>
#include <utility>
#include <vector>

#include "filter/Effect.h"
#include "foundation/Interpolator.h"

namespace Kedra::Filter {

class EffectEqualizer : public Effect {
public:
    explicit EffectEqualizer(Design& owner);

    // Frequency (Hz) to linear gain; a later point with the same frequency replaces an
    // earlier one. Points at 0 Hz or below are left out (a log frequency axis has no
    // place for them), and so are gains that are not finite. An empty list is a flat curve of 0 dB.
    // Marks the equalizer ready and updates it.
    void SetPoints(const std::vector<std::pair<int, double>>& points);
    const std::map<int, double>& GetPoints() const { return points_; }
    bool IsReady() const { return ready_; }

    // When ready, fills the response from the curve; else logs a warning and changes
    // nothing.
    void UpdateElement() override;

private:
    std::map<int, double> points_;
    bool ready_ = false;
    std::vector<double> logFrequencies_;
    std::vector<double> gainsDB_;
    Math::InterpolatorNonEqLinear interpolator_;
};

} // namespace Kedra::Filter
