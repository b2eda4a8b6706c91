#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "LiveTestSignals.h"
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

// After a loud second and two quiet ones, a reset brings each peak down to the present level
// (the bank's F and S, the FFT's last frame) and leaves the levels and averages alone.
TEST(RtaAnalysis, ResetPeaksStartsThePeaksAgainAndLeavesTheAverages) {
    const double fs = 48000.0;
    const double f = 85 * fs / 4096; // on a bin of the FFT, in the 1 kHz band
    const std::vector<float> loud = LiveTest::Sine(f, fs, 48000, 0.5);
    const std::vector<float> quiet = LiveTest::Sine(f, fs, 96000, 0.05); // 20 dB lower
    for (int fftSize : {0, 4096}) {
        RtaChoice c;
        c.fftSize = c.fft.fftSize = fftSize;
        c.fft.average = RtaAverage::Infinite;
        RtaAnalysis a(fs, c);
        a.Process(loud.data(), static_cast<int>(loud.size()));
        a.Process(quiet.data(), static_cast<int>(quiet.size()));
        std::vector<RtaReading> before, after;
        a.Readings(RtaLevel::Fast, before);
        a.ResetPeaks();
        a.Readings(RtaLevel::Fast, after);
        const auto at1k = [f](const std::vector<RtaReading>& r) {
            std::size_t best = 0;
            for (std::size_t i = 0; i < r.size(); ++i)
                if (std::fabs(r[i].frequency - f) < std::fabs(r[best].frequency - f))
                    best = i;
            return r[best];
        };
        const double quietDb = 20.0 * std::log10(0.05);
        EXPECT_NEAR(at1k(before).peakDb, quietDb + 20.0, 0.3) << fftSize;
        EXPECT_NEAR(at1k(after).peakDb, quietDb, 0.3) << fftSize;
        // The level shown stays; the FFT's average still holds the loud second.
        EXPECT_EQ(at1k(after).levelDb, at1k(before).levelDb) << fftSize;
        if (fftSize != 0) {
            EXPECT_GT(at1k(after).levelDb, quietDb + 5.0);
        } else {
            // S, still falling from the loud second, is its own peak again.
            a.Readings(RtaLevel::Slow, after);
            EXPECT_NEAR(at1k(after).peakDb, at1k(after).levelDb, 1e-9);
            EXPECT_GT(at1k(after).levelDb, quietDb + 1.0);
        }
    }
}
