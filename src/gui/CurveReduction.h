#pragma once
// Long curves reduced to what a pixel column can show before the plot library sees them:
// a curve of 2^17 bins over 1500 columns draws as fast as one of 3000 points and looks the
// same. Free of Qt so that tests and benchmarks drive it directly. Any thread.

#include <vector>

namespace Kedra::Sonvel::Gui {

enum class AxisScale { Linear, Logarithmic };

// The visible key range [lo, hi] of an axis split into equal pixel columns (equal in log10
// of the key on a logarithmic axis, where lo must be above 0).
struct ColumnSpan {
    double lo = 0.0;
    double hi = 1.0;
    int columns = 1;
    AxisScale scale = AxisScale::Linear;
};

// A uniformly sampled curve: point i lies at key origin + i * step (step > 0).
struct UniformCurve {
    double origin = 0.0;
    double step = 1.0;
    const double* values = nullptr;
    int count = 0;
};

struct ReducedPoint {
    double key;
    double value;
};

// The curve's points inside the span: every point of a column that holds two or fewer, else
// the column's minimum and maximum in the order they occur (and its first NaN, which the plot
// draws as a gap). The nearest point outside the span
// on either side is kept too, so that the line runs on to the plot's edges. On a logarithmic
// span keys at or below 0 are left out.
void ReduceToColumns(const UniformCurve& curve, const ColumnSpan& span,
                     std::vector<ReducedPoint>& out);

} // namespace Kedra::Sonvel::Gui
