#include "analyze/RoomAcoustics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

using namespace Kedra::Measure;

constexpr double FS = 48000.0;

// Steady white noise `noiseDb` below the peak amplitude.
void AddNoise(std::vector<double>& h, double noiseDb) {
    std::mt19937 random(11);
    std::normal_distribution<double> gauss(0.0, 1.0);
    double peak = 0.0;
    for (double x : h)
        peak = std::max(peak, std::abs(x));
    const double level = peak * std::pow(10.0, noiseDb / 20.0);
    for (double& x : h)
        x += level * gauss(random);
}

// White noise whose level falls by 60 dB in `t60` seconds, plus steady noise `noiseDb` below
// the decay's peak amplitude (none when 0).
std::vector<double> DecayingNoise(double t60, int count, double noiseDb = 0.0) {
    std::mt19937 random(7);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::vector<double> h(static_cast<std::size_t>(count));
    for (int n = 0; n < count; ++n)
        h[static_cast<std::size_t>(n)] = gauss(random) * std::pow(10.0, -3.0 * n / FS / t60);
    if (noiseDb < 0.0)
        AddNoise(h, noiseDb);
    return h;
}

TEST(RoomAcoustics, OctaveFiltersLieInsideTheClassOneMask) {
    // Relative attenuation limits at midband * G^x, G = 10^0.3.
    struct Limit {
        double x, least, most;
    };
    const Limit mask[] = {{0.0, -0.4, 0.4},   {0.125, -0.4, 0.4}, {0.25, -0.4, 0.6},
                          {0.375, -0.4, 1.3}, {0.5, 2.0, 5.0},    {1.0, 17.5, 1e9},
                          {2.0, 42.0, 1e9},   {3.0, 61.0, 1e9},   {4.0, 70.0, 1e9}};
    for (double fs : {44100.0, 48000.0, 96000.0})
        for (const OctaveBand& band : RoomOctaveBands()) {
            const auto filter = OctaveBandFilter(band.midband, fs);
            for (const Limit& l : mask)
                for (double side : {-1.0, 1.0}) {
                    const double f = band.midband * std::pow(10.0, 0.3 * side * l.x);
                    if (f >= 0.5 * fs)
                        continue;
                    const double attenuation = -FilterLevelDb(filter, f, fs);
                    EXPECT_GE(attenuation, l.least)
                        << band.nominal << " Hz band at " << f << " Hz, " << fs << " Hz";
                    EXPECT_LE(attenuation, l.most)
                        << band.nominal << " Hz band at " << f << " Hz, " << fs << " Hz";
                }
        }
}

// One decaying tone at each band's midband, each with its own reverberation time: a band's
// decay is known exactly, where a single noise realisation would scatter by about
// 0.9 / sqrt(bandwidth * T) (10 % in the 250 Hz band at 0.4 s).
std::vector<double> DecayingTones(const std::vector<double>& t60, int count) {
    std::vector<double> h(static_cast<std::size_t>(count), 0.0);
    for (std::size_t b = 0; b < t60.size(); ++b) {
        const double f = RoomOctaveBands()[b].midband;
        for (int n = 0; n < count; ++n)
            h[static_cast<std::size_t>(n)] += std::pow(10.0, -3.0 * n / FS / t60[b]) *
                                              std::sin(2.0 * 3.141592653589793 * f * n / FS + b);
    }
    return h;
}

TEST(RoomAcoustics, ReverberationTimesOfKnownDecays) {
    const std::vector<double> t60 = {1.4, 1.2, 1.1, 1.0, 0.9, 0.8, 0.7, 0.6};
    const auto h = DecayingTones(t60, 1 << 18);
    const auto bands = AnalyzeRoom(h.data(), static_cast<int>(h.size()), FS);
    ASSERT_EQ(bands.size(), 9u);
    EXPECT_EQ(bands.back().name, "broadband");
    for (std::size_t b = 0; b < t60.size(); ++b) {
        SCOPED_TRACE(bands[b].name);
        EXPECT_NEAR(bands[b].parameters.edt, t60[b], 0.02 * t60[b]);
        EXPECT_NEAR(bands[b].parameters.t20, t60[b], 0.02 * t60[b]);
        EXPECT_NEAR(bands[b].parameters.t30, t60[b], 0.02 * t60[b]);
    }
    // Broadband noise is wide enough for its own scatter to stay small.
    const auto noise = DecayingNoise(1.2, 1 << 18);
    const RoomParameters p = AnalyzeDecay(noise.data(), static_cast<int>(noise.size()), FS);
    EXPECT_NEAR(p.t20, 1.2, 0.024);
    EXPECT_NEAR(p.t30, 1.2, 0.024);
}

TEST(RoomAcoustics, NoiseSixtyDecibelsDownIsCompensated) {
    const double t60 = 0.8;
    auto h = DecayingTones(std::vector<double>(ROOM_BAND_COUNT, t60), 1 << 18);
    AddNoise(h, -60.0);
    const auto bands = AnalyzeRoom(h.data(), static_cast<int>(h.size()), FS);
    const RoomBandResult& broadband = bands.back();
    EXPECT_NEAR(broadband.parameters.t30, t60, 0.05 * t60);
    EXPECT_LT(broadband.decay.truncation, static_cast<int>(h.size()) * 3 / 4)
        << "the integral stops where the decay meets the noise";
    for (const RoomBandResult& b : bands)
        if (b.midband > 200.0 && b.midband < 5000.0) {
            EXPECT_NEAR(b.parameters.t30, t60, 0.05 * t60) << b.name;
        }
}

TEST(RoomAcoustics, EnergyRatiosOfAnIdealExponentialDecayMatchTheirClosedForms) {
    for (double t60 : {0.3, 1.0, 2.5}) {
        const double a = 13.8155 / t60; // energy decay rate, 1/s
        std::vector<double> h(1 << 18);
        for (std::size_t n = 0; n < h.size(); ++n)
            h[n] = std::exp(-0.5 * a * static_cast<double>(n) / FS);
        const RoomParameters p = AnalyzeDecay(h.data(), static_cast<int>(h.size()), FS);
        SCOPED_TRACE(t60);
        EXPECT_NEAR(p.c80, 10.0 * std::log10(std::exp(a * 0.08) - 1.0), 0.1);
        EXPECT_NEAR(p.c50, 10.0 * std::log10(std::exp(a * 0.05) - 1.0), 0.1);
        EXPECT_NEAR(p.d50, 100.0 * (1.0 - std::exp(-a * 0.05)), 0.5);
        EXPECT_NEAR(p.ts, 1000.0 / a, 0.005 * 1000.0 / a);
        EXPECT_NEAR(p.edt, t60, 0.005 * t60);
    }
}

TEST(RoomAcoustics, StartIsTheFirstRiseToTwentyDecibelsBelowThePeak) {
    std::vector<double> h(4800, 0.0);
    h[100] = 0.05; // 26 dB down: before the start
    h[200] = -0.2; // 14 dB down: the start
    h[300] = 1.0;
    EXPECT_EQ(ImpulseStart(h.data(), static_cast<int>(h.size())), 200);
}

TEST(RoomAcoustics, TooShortARangeOrNoSoundGivesInvalidValuesNotACrash) {
    // Noise only 20 dB under the peak: T30 needs 45 dB, T20 35 dB.
    const auto h = DecayingNoise(0.5, 1 << 16, -20.0);
    const RoomParameters p = AnalyzeDecay(h.data(), static_cast<int>(h.size()), FS);
    EXPECT_TRUE(std::isnan(p.t30));
    EXPECT_TRUE(std::isnan(p.t20));
    const std::vector<double> silence(1 << 12, 0.0);
    const RoomParameters q = AnalyzeDecay(silence.data(), static_cast<int>(silence.size()), FS);
    EXPECT_TRUE(std::isnan(q.t30));
    EXPECT_TRUE(std::isnan(q.edt));
    EXPECT_TRUE(AnalyzeRoom(nullptr, 100, FS).empty());
    EXPECT_TRUE(AnalyzeRoom(silence.data(), 8, FS).empty());
}

} // namespace
