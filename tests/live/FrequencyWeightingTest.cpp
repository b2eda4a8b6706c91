#include "live/FrequencyWeighting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "live/LiveTestSignals.h"

namespace {

using Kedra::Live::FrequencyWeighting;
using Kedra::Live::Weighting;

constexpr double INF = std::numeric_limits<double>::infinity();

// One row per 1/3-octave band of the weightings' table: the band's index (exact frequency
// 1000 * 10^(n/10)), the nominal A and C weightings and the class 1 tolerance limits, dB.
// The limits are the tighter (tolerance) ones, without the allowance for the uncertainty of
// measurement the acceptance limits add.
struct Row {
    int n;
    double a, c, up, down;
};
constexpr Row TABLE[] = {
    {-20, -70.4, -14.3, 3.0, INF}, {-19, -63.4, -11.2, 2.5, INF}, {-18, -56.7, -8.5, 2.0, 4.0},
    {-17, -50.5, -6.2, 2.0, 2.0},  {-16, -44.7, -4.4, 2.0, 1.5},  {-15, -39.4, -3.0, 1.5, 1.5},
    {-14, -34.6, -2.0, 1.0, 1.0},  {-13, -30.2, -1.3, 1.0, 1.0},  {-12, -26.2, -0.8, 1.0, 1.0},
    {-11, -22.5, -0.5, 1.0, 1.0},  {-10, -19.1, -0.3, 1.0, 1.0},  {-9, -16.1, -0.2, 1.0, 1.0},
    {-8, -13.4, -0.1, 1.0, 1.0},   {-7, -10.9, 0.0, 1.0, 1.0},    {-6, -8.6, 0.0, 1.0, 1.0},
    {-5, -6.6, 0.0, 1.0, 1.0},     {-4, -4.8, 0.0, 1.0, 1.0},     {-3, -3.2, 0.0, 1.0, 1.0},
    {-2, -1.9, 0.0, 1.0, 1.0},     {-1, -0.8, 0.0, 1.0, 1.0},     {0, 0.0, 0.0, 0.7, 0.7},
    {1, 0.6, 0.0, 1.0, 1.0},       {2, 1.0, -0.1, 1.0, 1.0},      {3, 1.2, -0.2, 1.0, 1.0},
    {4, 1.3, -0.3, 1.0, 1.0},      {5, 1.2, -0.5, 1.0, 1.0},      {6, 1.0, -0.8, 1.0, 1.0},
    {7, 0.5, -1.3, 1.5, 1.5},      {8, -0.1, -2.0, 1.5, 2.0},     {9, -1.1, -3.0, 1.5, 2.5},
    {10, -2.5, -4.4, 2.0, 3.0},    {11, -4.3, -6.2, 2.0, 5.0},    {12, -6.6, -8.5, 2.5, 16.0},
    {13, -9.3, -11.2, 3.0, INF},
};

// The level of a unit sine at f after the weighting, dB re its input, measured once the
// filter has settled, over whole periods.
double MeasuredGainDb(Weighting weighting, double f, double fs) {
    FrequencyWeighting filter(weighting, fs);
    const int settle = static_cast<int>(0.25 * fs);
    const int periods = static_cast<int>(std::ceil(0.2 * f));
    const int measure = static_cast<int>(std::lround(periods * fs / f));
    const std::vector<float> x = LiveTest::Sine(f, fs, settle + measure);
    std::vector<double> y(x.size());
    filter.Process(x.data(), y.data(), static_cast<int>(x.size()));
    double energy = 0.0;
    for (std::size_t i = static_cast<std::size_t>(settle); i < y.size(); ++i)
        energy += y[i] * y[i];
    return 10.0 * std::log10(2.0 * energy / measure);
}

TEST(FrequencyWeighting, MeetsClass1AtEveryThirdOctaveAtCommonRates) {
    for (const double fs : {44100.0, 48000.0, 96000.0}) {
        for (const Weighting weighting : {Weighting::A, Weighting::C, Weighting::Z}) {
            const char letter = Kedra::Live::WeightingLetter(weighting);
            double worst = 0.0, worstAt = 0.0;
            for (const Row& row : TABLE) {
                const double f = 1000.0 * std::pow(10.0, row.n / 10.0);
                const double nominal = weighting == Weighting::A   ? row.a
                                       : weighting == Weighting::C ? row.c
                                                                   : 0.0;
                const double measured = MeasuredGainDb(weighting, f, fs);
                const double deviation = measured - nominal;
                EXPECT_LE(deviation, row.up) << letter << " at " << f << " Hz, fs " << fs;
                EXPECT_GE(deviation, -row.down) << letter << " at " << f << " Hz, fs " << fs;
                // Against the analogue design goal, which the filter follows closely up to
                // 16 kHz.
                if (f <= 16000.0) {
                    const double goal = measured - LiveTest::AnalogueWeightingDb(letter, f);
                    EXPECT_NEAR(goal, 0.0, 0.1) << letter << " at " << f << " Hz, fs " << fs;
                    if (std::abs(goal) > std::abs(worst)) {
                        worst = goal;
                        worstAt = f;
                    }
                }
            }
            std::printf("%c at %.0f Hz: worst deviation from the design goal up to 16 kHz "
                        "%+.3f dB at %.0f Hz\n",
                        letter, fs, worst, worstAt);
        }
    }
}

TEST(FrequencyWeighting, ReadsTheWeightingLetters) {
    EXPECT_EQ(Kedra::Live::ParseWeighting("a"), Weighting::A);
    EXPECT_EQ(Kedra::Live::ParseWeighting("C"), Weighting::C);
    EXPECT_EQ(Kedra::Live::ParseWeighting("z"), Weighting::Z);
    EXPECT_FALSE(Kedra::Live::ParseWeighting("B"));
    EXPECT_FALSE(Kedra::Live::ParseWeighting("AA"));
    EXPECT_FALSE(Kedra::Live::ParseWeighting(""));
    EXPECT_FALSE(FrequencyWeighting::SupportsRate(32000.0));
    EXPECT_TRUE(FrequencyWeighting::SupportsRate(44100.0));
}

} // namespace
