#include <gtest/gtest.h>

#include <cmath>

#include "filter/MeasurementOperations.h"

namespace {

using namespace Kedra::Measure;

double LevelAt(Measurement& m, double hz) {
    return std::abs(m.GetF()[static_cast<int>(std::lround(hz / m.GetHzPerBin()))]);
}

double BinHz(Measurement& m, double hz) {
    return std::lround(hz / m.GetHzPerBin()) * m.GetHzPerBin();
}

TEST(Average, PowerDbAndVectorAgainstTheirDefinitions) {
    Measurement a("a"), b("b"), c("c"), result("result");
    a.InitializeDirac(12, 48000, 1.0);
    b.InitializeDirac(12, 48000, 3.0);
    // c on another grid: read at the frequency of each result bin.
    c.InitializeDirac(13, 96000, 3.0);

    ASSERT_TRUE(Average({&a, &b}, AverageMode::Power, false, result));
    EXPECT_NEAR(LevelAt(result, 1000.0), std::sqrt(5.0), 1e-6);
    EXPECT_NEAR(LevelAt(result, 15000.0), std::sqrt(5.0), 1e-6);
    ASSERT_TRUE(Average({&a, &b}, AverageMode::Db, false, result));
    EXPECT_NEAR(LevelAt(result, 1000.0), std::sqrt(3.0), 1e-6);
    ASSERT_TRUE(Average({&a, &c}, AverageMode::Power, false, result));
    EXPECT_EQ(result.GetSamplerate(), 96000);
    EXPECT_NEAR(LevelAt(result, 1000.0), std::sqrt(5.0), 1e-6);

    // The same sound, arrived 12 samples later in b: aligned at their time zeros the two
    // add up; as they arrived, they cancel where 12 samples are half a period.
    b.InitializeDirac(12, 48000, 1.0);
    b.PostInitSetOffset(12.0);
    ASSERT_TRUE(Average({&a, &b}, AverageMode::Vector, true, result));
    for (double hz : {500.0, 1000.0, 2000.0, 3000.0})
        EXPECT_NEAR(LevelAt(result, hz), 1.0, 1e-6) << hz;
    ASSERT_TRUE(Average({&a, &b}, AverageMode::Vector, false, result));
    for (double hz : {500.0, 1000.0, 2000.0, 3000.0})
        EXPECT_NEAR(LevelAt(result, hz),
                    std::abs(std::cos(M_PI * BinHz(result, hz) * 12.0 / 48000.0)), 1e-6)
            << hz;
}

TEST(Average, RefusedWithoutTwoFilledMeasurements) {
    Measurement a("a"), empty("empty"), result("result");
    a.InitializeDirac(12, 48000, 2.0);
    result.InitializeDirac(10, 44100, 1.0);
    EXPECT_FALSE(Average({&a}, AverageMode::Power, false, result));
    EXPECT_FALSE(Average({&a, &empty}, AverageMode::Power, false, result));
    EXPECT_FALSE(Average({&a, nullptr}, AverageMode::Vector, false, result));
    EXPECT_EQ(result.GetSamplerate(), 44100) << "the result is untouched";
}

} // namespace
