#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "live/RtaAnalysis.h"

using namespace Kedra::Live;

TEST(RtaAnalysis, AverageTextsAreReadOrRefused) {
    RtaSettings s;
    EXPECT_EQ(ParseRtaAverage("fifo:128", s), "");
    EXPECT_EQ(s.average, RtaAverage::Fifo);
    EXPECT_EQ(s.fifoFrames, 128);
    EXPECT_EQ(ParseRtaAverage("exp:0.25", s), "");
    EXPECT_EQ(s.average, RtaAverage::Exponential);
    EXPECT_EQ(s.timeConstant, 0.25);
    EXPECT_EQ(ParseRtaAverage("inf", s), "");
    EXPECT_EQ(s.average, RtaAverage::Infinite);
    for (const char* bad :
         {"", "fifo", "fifo:", "fifo:0", "fifo:129", "fifo:3x", "fifo:-1", "exp:0", "exp:-1",
          "exp:nan", "exp:inf", "exp:1e9", "inf:2", "lin:3", "exp: 1"}) {
        RtaSettings t;
        EXPECT_NE(ParseRtaAverage(bad, t).find("--average takes"), std::string::npos) << bad;
        EXPECT_EQ(t.average, RtaSettings{}.average) << bad;
    }
}

// Every band width reads a sine at one of its midbands within 0.1 dB, from the bank (1/1,
// 1/3) or summed from the FFT's bins (1/6 .. 1/48).
TEST(RtaAnalysis, EveryBandWidthReadsASineInItsBand) {
    const double fs = 48000.0;
    for (int b : {1, 3, 6, 12, 24, 48}) {
        RtaChoice c;
        c.bandsPerOctave = b;
        c.fft.average = RtaAverage::Infinite;
        ASSERT_EQ(CheckRtaChoice(c, fs), "");
        RtaAnalysis a(fs, c);
        const double f = ExactMidband(b == 1 ? 1 : b, b); // 2 kHz, or just above
        std::vector<float> x(static_cast<std::size_t>(3 * fs));
        for (std::size_t i = 0; i < x.size(); ++i)
            x[i] = static_cast<float>(0.1 * std::sin(2.0 * std::acos(-1.0) * f * i / fs));
        a.Process(x.data(), static_cast<int>(x.size()));
        bool found = false;
        for (const RtaRow& r : a.Rows())
            if (std::abs(r.frequency / f - 1.0) < 1e-9) {
                found = true;
                EXPECT_NEAR(r.leqDb, -20.0, 0.1) << "1/" << b;
                EXPECT_NEAR(r.maxDb, -20.0, 0.1) << "1/" << b;
            }
        EXPECT_TRUE(found) << "1/" << b;
    }
}
