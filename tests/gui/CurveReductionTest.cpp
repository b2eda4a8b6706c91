#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <vector>

#include "gui/CurveReduction.h"

namespace {

using namespace Kedra::Sonvel::Gui;

// The column of a key, straight from the definition (log10 on a logarithmic span).
int BruteColumn(double key, const ColumnSpan& s) {
    const bool log = s.scale == AxisScale::Logarithmic;
    const double t =
        log ? (std::log10(key) - std::log10(s.lo)) / (std::log10(s.hi) - std::log10(s.lo))
            : (key - s.lo) / (s.hi - s.lo);
    return std::min(static_cast<int>(std::floor(t * s.columns)), s.columns - 1);
}

struct Column {
    int count = 0;
    double min = INFINITY;
    double max = -INFINITY;
};

std::map<int, Column> Columns(const std::vector<ReducedPoint>& points, const ColumnSpan& s) {
    std::map<int, Column> columns;
    for (const ReducedPoint& p : points) {
        if (p.key < s.lo || p.key > s.hi)
            continue;
        Column& c = columns[BruteColumn(p.key, s)];
        ++c.count;
        c.min = std::min(c.min, p.value);
        c.max = std::max(c.max, p.value);
    }
    return columns;
}

TEST(CurveReduction, KeepsEachColumnsExtremesEverySparsePointAndOneNeighbourOutside) {
    std::mt19937 rng(20240611);
    std::normal_distribution<double> noise(0.0, 1.0);
    struct Case {
        double origin, step;
        int count;
        ColumnSpan span;
    };
    // Dense and sparse columns on both scales; a log span over bins from 0 Hz like a spectrum.
    const Case cases[] = {
        {0.0, 0.3662, 65537, {20.0, 20000.0, 1500, AxisScale::Logarithmic}},
        {0.0, 0.3662, 65537, {1000.0, 1010.0, 800, AxisScale::Logarithmic}},
        {-2730.7, 0.0208, 262144, {-3.1, 17.9, 1200, AxisScale::Linear}},
        {-5.05, 0.173, 300, {-2.0, 40.0, 5000, AxisScale::Linear}},
    };
    for (const Case& c : cases) {
        std::vector<double> values(static_cast<std::size_t>(c.count));
        for (double& v : values)
            v = noise(rng);
        std::vector<ReducedPoint> out;
        ReduceToColumns({c.origin, c.step, values.data(), c.count}, c.span, out);

        std::vector<ReducedPoint> all;
        int below = 0, above = 0;
        for (int i = 0; i < c.count; ++i) {
            const double key = c.origin + i * c.step;
            if (c.span.scale == AxisScale::Logarithmic && key <= 0.0)
                continue;
            if (key < c.span.lo)
                ++below;
            else if (key > c.span.hi)
                ++above;
            else
                all.push_back({key, values[static_cast<std::size_t>(i)]});
        }
        const auto truth = Columns(all, c.span);
        const auto reduced = Columns(out, c.span);
        ASSERT_EQ(reduced.size(), truth.size()) << c.span.lo;
        for (const auto& [column, t] : truth) {
            const Column& r = reduced.at(column);
            EXPECT_EQ(r.min, t.min) << column;
            EXPECT_EQ(r.max, t.max) << column;
            EXPECT_EQ(r.count, t.count <= 2 ? t.count : (t.min == t.max ? 1 : 2)) << column;
        }
        // Every kept point is a point of the curve, in key order.
        for (std::size_t i = 0; i < out.size(); ++i) {
            const double index = (out[i].key - c.origin) / c.step;
            const auto k = static_cast<std::size_t>(std::lround(index));
            ASSERT_NEAR(index, static_cast<double>(k), 1e-6);
            EXPECT_EQ(out[i].value, values[k]);
            if (i > 0) {
                EXPECT_LT(out[i - 1].key, out[i].key);
            }
        }
        const auto outside = [&](bool low) {
            return std::count_if(out.begin(), out.end(), [&](const ReducedPoint& p) {
                return low ? p.key < c.span.lo : p.key > c.span.hi;
            });
        };
        EXPECT_EQ(outside(true), std::min(below, 1));
        EXPECT_EQ(outside(false), std::min(above, 1));
    }
}

TEST(CurveReduction, UnusableCurvesAndSpansGiveNoPoints) {
    const std::vector<double> v(100, 1.0);
    std::vector<ReducedPoint> out{{1.0, 1.0}};
    const ColumnSpan linear{0.0, 10.0, 50, AxisScale::Linear};
    ReduceToColumns({0.0, 1.0, nullptr, 100}, linear, out);
    EXPECT_TRUE(out.empty());
    for (const UniformCurve& c :
         {UniformCurve{0.0, 1.0, v.data(), 0}, UniformCurve{0.0, 0.0, v.data(), 100},
          UniformCurve{0.0, -1.0, v.data(), 100}}) {
        ReduceToColumns(c, linear, out);
        EXPECT_TRUE(out.empty());
    }
    for (const ColumnSpan& s : {ColumnSpan{0.0, 10.0, 0, AxisScale::Linear},
                                ColumnSpan{10.0, 10.0, 50, AxisScale::Linear},
                                ColumnSpan{0.0, 10.0, 50, AxisScale::Logarithmic},
                                ColumnSpan{-5.0, 10.0, 50, AxisScale::Logarithmic}}) {
        ReduceToColumns({0.0, 1.0, v.data(), 100}, s, out);
        EXPECT_TRUE(out.empty());
    }
    // A span beside the data keeps only the nearest point, so the line can run to it.
    ReduceToColumns({0.0, 1.0, v.data(), 100}, {500.0, 600.0, 50, AxisScale::Linear}, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].key, 99.0);
}

} // namespace
