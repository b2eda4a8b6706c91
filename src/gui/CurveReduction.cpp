#include "gui/CurveReduction.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace Kedra::Sonvel::Gui {

namespace {

// The first index whose key is at least `key`, within 0 .. count.
int FirstIndexAtOrAbove(const UniformCurve& c, double key) {
    const double x = std::ceil((key - c.origin) / c.step);
    if (!(x > 0.0))
        return 0;
    return x >= c.count ? c.count : static_cast<int>(x);
}

// The last index whose key is at most `key`, within -1 .. count - 1.
int LastIndexAtOrBelow(const UniformCurve& c, double key) {
    const double x = std::floor((key - c.origin) / c.step);
    if (!(x >= 0.0))
        return -1;
    return x >= c.count - 1 ? c.count - 1 : static_cast<int>(x);
}

} // namespace

void ReduceToColumns(const UniformCurve& curve, const ColumnSpan& span,
                     std::vector<ReducedPoint>& out) {
    out.clear();
    const bool log = span.scale == AxisScale::Logarithmic;
    if (curve.values == nullptr || curve.count <= 0 || !(curve.step > 0.0) || span.columns < 1 ||
        !(span.hi > span.lo) || (log && !(span.lo > 0.0)))
        return;
    auto key = [&](int i) { return curve.origin + i * curve.step; };
    auto push = [&](int i) { out.push_back({key(i), curve.values[i]}); };

    int first = FirstIndexAtOrAbove(curve, span.lo);
    const int last = LastIndexAtOrBelow(curve, span.hi);
    int lowest = 0; // no point below this index may be drawn at all
    if (log) {
        while (lowest < curve.count && !(key(lowest) > 0.0))
            ++lowest;
        first = std::max(first, lowest);
    }
    out.reserve(static_cast<std::size_t>(std::min(curve.count, 2 * span.columns + 2)));
    if (first - 1 >= lowest && first - 1 < curve.count)
        push(first - 1);

    // Column boundaries are found by index arithmetic, so no logarithm is taken per point.
    const double logLo = log ? std::log(span.lo) : 0.0;
    const double logWidth = log ? std::log(span.hi) - logLo : 0.0;
    auto boundary = [&](int c) {
        const double r = static_cast<double>(c) / span.columns;
        return log ? std::exp(logLo + r * logWidth) : span.lo + r * (span.hi - span.lo);
    };
    int i = first;
    for (int c = 0; c < span.columns && i <= last; ++c) {
        const int end = c + 1 == span.columns
                            ? last + 1
                            : std::clamp(FirstIndexAtOrAbove(curve, boundary(c + 1)), i, last + 1);
        const int n = end - i;
        if (n <= 2) {
            for (int j = i; j < end; ++j)
                push(j);
        } else {
            // NaN marks a gap in the curve; a column that holds one keeps one.
            int lo = -1, hi = -1, gap = -1;
            double low = std::numeric_limits<double>::infinity(), high = -low;
            for (int j = i; j < end; ++j) {
                const double v = curve.values[j];
                if (v < low) {
                    low = v;
                    lo = j;
                }
                if (v > high) {
                    high = v;
                    hi = j;
                }
                if (gap < 0 && std::isnan(v))
                    gap = j;
            }
            std::array<int, 3> keep{lo, hi, gap};
            std::sort(keep.begin(), keep.end());
            for (std::size_t k = 0; k < keep.size(); ++k)
                if (keep[k] >= 0 && (k == 0 || keep[k] != keep[k - 1]))
                    push(keep[k]);
        }
        i = end;
    }
    if (last + 1 < curve.count && last + 1 >= lowest)
        push(last + 1);
}

} // namespace Kedra::Sonvel::Gui
