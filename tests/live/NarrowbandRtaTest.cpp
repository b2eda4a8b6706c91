#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "live/NarrowbandRta.h"
#include "live/OctaveBandBank.h"

using namespace Kedra::Live;

namespace {

const double PI = std::acos(-1.0);
constexpr double FS = 48000.0;

std::vector<float> Sine(double frequency, double amplitude, int count) {
    std::vector<float> x(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        x[static_cast<std::size_t>(i)] =
            static_cast<float>(amplitude * std::sin(2.0 * PI * frequency * i / FS + 0.3));
    return x;
}

double HighestLevel(const NarrowbandRta& rta) {
    double best = LEVEL_FLOOR_DB;
    for (int k = 0; k < rta.BinCount(); ++k)
        best = std::max(best, rta.LevelDb(k));
    return best;
}

RtaSettings Settings(int size, RtaWindow window, RtaAverage average, int bands = 0) {
    RtaSettings s;
    s.bandsPerOctave = bands;
    s.fftSize = size;
    s.window = window;
    s.average = average;
    return s;
}

} // namespace

TEST(NarrowbandRta, SettingsOutOfRangeAreRefusedWithTheReason) {
    RtaSettings s;
    EXPECT_EQ(CheckRtaSettings(s), "");
    for (int size : {100, 512, 3000, 1 << 17}) {
        s.fftSize = size;
        EXPECT_NE(CheckRtaSettings(s).find("power of two from 1024 to 65536"), std::string::npos);
        EXPECT_EQ(NarrowbandRta(FS, s).BinCount(), 0);
    }
    s = RtaSettings{};
    s.average = RtaAverage::Fifo;
    s.fifoFrames = 129;
    EXPECT_NE(CheckRtaSettings(s), "");
    s.fifoFrames = 128;
    EXPECT_EQ(CheckRtaSettings(s), "");
    s.average = RtaAverage::Exponential;
    s.timeConstant = 0.0;
    EXPECT_NE(CheckRtaSettings(s), "");
    s = RtaSettings{};
    s.overlap = 1.0;
    EXPECT_NE(CheckRtaSettings(s), "");
}

// A sine on a bin reads its level; between bins it reads less by the window's scalloping,
// for Hann sinc(d) / (1 - d^2) at d bins off, and within 0.1 dB for the flat-top.
TEST(NarrowbandRta, SineReadsItsLevelWithinTheWindowsScalloping) {
    const int n = 4096;
    const double amplitude = 0.3;
    const double level = 20.0 * std::log10(amplitude);
    for (double offset : {0.0, 0.25, 0.5}) {
        const double f = (200.0 + offset) * FS / n;
        const auto x = Sine(f, amplitude, 8 * n);
        NarrowbandRta hann(FS, Settings(n, RtaWindow::Hann, RtaAverage::Infinite, 3));
        NarrowbandRta flat(FS, Settings(n, RtaWindow::FlatTop, RtaAverage::Infinite));
        hann.Process(x.data(), static_cast<int>(x.size()));
        flat.Process(x.data(), static_cast<int>(x.size()));
        const double scallop = offset == 0.0
                                   ? 0.0
                                   : 20.0 * std::log10(std::sin(PI * offset) / (PI * offset) /
                                                       (1.0 - offset * offset));
        EXPECT_NEAR(HighestLevel(hann), level + scallop, 0.01) << offset;
        EXPECT_NEAR(HighestLevel(flat), level, 0.1) << offset;
        // Summed over the band around it, the window's spread comes back whole.
        const auto bands = hann.Bands();
        const auto near = std::min_element(bands.begin(), bands.end(), [f](auto& a, auto& b) {
            return std::abs(std::log(a.midband / f)) < std::abs(std::log(b.midband / f));
        });
        ASSERT_NE(near, bands.end());
        EXPECT_NEAR(near->levelDb, level, 0.05) << near->midband;
    }
}

// White noise of variance s^2 has the one-sided density 2 s^2 / fs; a 1/6-octave band holds
// that times its width.
TEST(NarrowbandRta, WhiteNoiseReadsItsDensity) {
    std::mt19937 random(11);
    std::normal_distribution<double> gauss(0.0, 0.1);
    std::vector<float> x(1 << 20);
    for (float& v : x)
        v = static_cast<float>(gauss(random));
    const double density = 10.0 * std::log10(2.0 * 2.0 * 0.01 / FS);
    for (RtaWindow w : {RtaWindow::Hann, RtaWindow::FlatTop}) {
        NarrowbandRta rta(FS, Settings(8192, w, RtaAverage::Infinite, 6));
        rta.Process(x.data(), static_cast<int>(x.size()));
        double mean = 0.0;
        int bins = 0;
        for (int k = 20; k < rta.BinCount() - 20; ++k, ++bins)
            mean += std::pow(10.0, rta.DensityDb(k) / 10.0);
        EXPECT_NEAR(10.0 * std::log10(mean / bins), density, 0.05);
        int checked = 0;
        for (const RtaBand& b : rta.Bands())
            if (b.midband > 1000.0) {
                ++checked;
                const double width =
                    b.midband * (std::pow(10.0, 0.3 / 12) - std::pow(10.0, -0.3 / 12));
                EXPECT_NEAR(b.levelDb, density + 10.0 * std::log10(width), 0.5) << b.midband;
                // The loudest of 500 frames, not each bin's loudest (that would be 6 dB up).
                if (b.midband > 4000.0) {
                    EXPECT_GT(b.peakDb, b.levelDb + 0.3) << b.midband;
                    EXPECT_LT(b.peakDb, b.levelDb + 3.0) << b.midband;
                }
            }
        EXPECT_EQ(checked, 26); // 1059 Hz .. 18.8 kHz
    }
    EXPECT_NEAR(NarrowbandRta(FS, Settings(8192, RtaWindow::Hann, RtaAverage::Infinite))
                    .EquivalentNoiseBandwidth(),
                1.5, 1e-9);
}

// One steady sine, then one of half the amplitude, in whole frames (no overlap, whole periods
// per frame): each average is known from the frames' powers p1 = 1 and p2 = 1/4.
TEST(NarrowbandRta, AveragesAndPeakHoldFollowTheirDefinitions) {
    const int n = 1024;
    const double f = 64.0 * FS / n;
    const auto loud = Sine(f, 1.0, 10 * n), soft = Sine(f, 0.5, 3 * n);
    const auto run = [&](RtaSettings s) {
        s.overlap = 0.0;
        auto rta = std::make_unique<NarrowbandRta>(FS, s);
        rta->Process(loud.data(), static_cast<int>(loud.size()));
        rta->Process(soft.data(), static_cast<int>(soft.size()));
        return rta;
    };
    const auto db = [](double power) { return 10.0 * std::log10(power); };
    const auto fifo4 = run([] {
        RtaSettings s = Settings(n, RtaWindow::Hann, RtaAverage::Fifo);
        s.fifoFrames = 4;
        return s;
    }());
    EXPECT_NEAR(fifo4->LevelDb(64), db((1.0 + 3 * 0.25) / 4), 1e-6);
    const auto fifo1 = run([] {
        RtaSettings s = Settings(n, RtaWindow::Hann, RtaAverage::Fifo);
        s.fifoFrames = 1;
        return s;
    }());
    EXPECT_NEAR(fifo1->LevelDb(64), db(0.25), 1e-6);
    const auto all = run(Settings(n, RtaWindow::Hann, RtaAverage::Infinite));
    EXPECT_EQ(all->Frames(), 13);
    EXPECT_NEAR(all->LevelDb(64), db((10.0 + 3 * 0.25) / 13), 1e-6);
    EXPECT_NEAR(all->PeakDb(64), 0.0, 1e-6);
    const auto exp = run([] {
        RtaSettings s = Settings(n, RtaWindow::Hann, RtaAverage::Exponential);
        s.timeConstant = 0.05;
        return s;
    }());
    const double keep = std::exp(-n / (FS * 0.05));
    EXPECT_NEAR(exp->LevelDb(64), db(0.25 + 0.75 * std::pow(keep, 3)), 1e-6);
    exp->Reset();
    EXPECT_EQ(exp->Frames(), 0);
    EXPECT_EQ(exp->PeakDb(64), LEVEL_FLOOR_DB);
}
