#include "audio/PCMGenerator.h"
#include "audio/Pcm.h"
#include "audio/SineLogSweep.h"
#include "audio/SineSweepSingle.h"
#include "audio/SineTone.h"
#include "audio/SquareNoise.h"
#include "audio/StreamInitializer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

using namespace Kedra::PAudioII;

namespace {

constexpr double kPi = std::numbers::pi;

// Every generator reads the rate of the stream singleton; each test starts at 48 kHz and
// leaves the rate as it found it.
class Generators : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = StreamInitializer::Get()->GetSamplerate();
        StreamInitializer::Get()->SetSamplerate(48000);
    }
    void TearDown() override { StreamInitializer::Get()->SetSamplerate(saved_); }

private:
    int saved_ = 44100;
};

struct Pulled {
    std::vector<float> samples;
    std::vector<bool> more;
    std::vector<bool> first;
};

Pulled Pull(PCMGenerator& g, int calls) {
    Pulled p;
    for (int i = 0; i < calls; ++i) {
        float s = 12345.0f;
        bool first = false;
        p.more.push_back(g.NextSample(&s, &first));
        p.samples.push_back(s);
        p.first.push_back(first);
    }
    return p;
}

// Linearly interpolated upward and downward zero crossings, in samples.
std::vector<double> ZeroCrossings(const std::vector<float>& x, int end) {
    std::vector<double> c;
    for (int i = 1; i < end; ++i) {
        const double a = x[i - 1], b = x[i];
        if ((a < 0.0 && b >= 0.0) || (a > 0.0 && b <= 0.0))
            c.push_back(i - 1 + a / (a - b));
    }
    return c;
}

// The run of a sweep of length n: n + 1 samples, the last call already false, then silence.
void ExpectSweepRunShape(PCMGenerator& g, int n) {
    const Pulled p = Pull(g, n + 4);
    for (int i = 0; i < n; ++i)
        ASSERT_TRUE(p.more[i]) << i;
    EXPECT_FALSE(p.more[n]);
    EXPECT_NE(p.samples[n], 0.0f) << "the final call still carries sample n";
    for (int i = n + 1; i < n + 4; ++i) {
        EXPECT_FALSE(p.more[i]);
        EXPECT_EQ(p.samples[i], 0.0f);
    }
    for (int i = 0; i < n + 4; ++i)
        EXPECT_EQ(p.first[i], i == 0) << i;
}

} // namespace

TEST_F(Generators, ConstructionReadsTheStreamRate) {
    SineLogSweep log;
    EXPECT_EQ(log.kind, 7);
    EXPECT_EQ(log.length, 48000);
    EXPECT_EQ(log.sampleRate, 48000);
    EXPECT_EQ(log.startFrequency, 5.0);
    EXPECT_EQ(log.endFrequency, 24000.0);
    EXPECT_EQ(log.lastLength, -1);
    EXPECT_FALSE(log.triggerMode);
    // Reset ran in the constructor: 10 ms and 1 ms at 48 kHz.
    EXPECT_EQ(log.fadeInSamples, 480);
    EXPECT_EQ(log.fadeOutSamples, 48);

    SineSweepSingle single;
    EXPECT_EQ(single.kind, 9);
    EXPECT_EQ(single.span, 990.0);
    EXPECT_EQ(single.fadeInSamples, 480);
    EXPECT_TRUE(single.active);

    SquareNoise noise;
    Pcm pcm;
    EXPECT_EQ(noise.kind, 0);
    EXPECT_EQ(pcm.kind, 0);
    EXPECT_EQ(pcm.length, 48000);
    pcm.SetTriggerMode(true);
    EXPECT_TRUE(pcm.triggerMode);
}

TEST_F(Generators, LogSweepFollowsTheExponentialPhaseLaw) {
    SineLogSweep g;
    const int n = 4096;
    const double f1 = 20.0, f2 = 20000.0, fs = 48000.0;
    g.length = n;
    g.startFrequency = f1;
    g.endFrequency = f2;
    g.Reset();
    ExpectSweepRunShape(g, n);

    g.Reset();
    const Pulled p = Pull(g, n + 1);
    const double logRatio = std::log(f2 / f1);
    const double scale = n * f1 / (fs * logRatio);
    for (int i = 0; i <= n; ++i) {
        const double truth = std::sin(2.0 * kPi * scale * std::expm1(i * logRatio / n));
        // float output: one rounding of a value in [-1, 1] plus the argument's double error.
        ASSERT_NEAR(p.samples[i], truth, 2e-6) << i;
    }
}

TEST_F(Generators, LogSweepFrequencyRunsFromStartToEnd) {
    SineLogSweep g;
    const int n = 1 << 17;
    const double f1 = 50.0, f2 = 12000.0, fs = 48000.0;
    g.length = n;
    g.startFrequency = f1;
    g.endFrequency = f2;
    g.Reset();
    const Pulled p = Pull(g, n + 1);
    const std::vector<double> c = ZeroCrossings(p.samples, n + 1);
    ASSERT_GT(c.size(), 100u);

    // Two crossings per cycle: count against the integral of f over the run.
    const double cycles = n / fs * (f2 - f1) / std::log(f2 / f1);
    EXPECT_NEAR(static_cast<double>(c.size()), 2.0 * cycles, 2.0);

    // Local frequency over windows of five cycles (ten crossings, which averages out the
    // interpolation error of single crossings near 4 samples per cycle), against
    // f1 * (f2/f1)^(t/n) at the window's middle.
    const std::size_t window = 10;
    double worst = 0.0;
    for (std::size_t k = window; k < c.size(); ++k) {
        const double mid = 0.5 * (c[k] + c[k - window]);
        const double measured = fs * (window / 2.0) / (c[k] - c[k - window]);
        const double expected = f1 * std::pow(f2 / f1, mid / n);
        worst = std::max(worst, std::abs(measured / expected - 1.0));
    }
    EXPECT_LT(worst, 0.005);

    // Extrapolated along the law from the first and last windows: f1 at index 0, f2 at n.
    auto windowAt = [&](std::size_t k, double* mid) {
        *mid = 0.5 * (c[k] + c[k - window]);
        return fs * (window / 2.0) / (c[k] - c[k - window]);
    };
    double mid = 0.0;
    const double firstF = windowAt(window, &mid);
    EXPECT_NEAR(firstF * std::pow(f2 / f1, -mid / n), f1, 0.005 * f1);
    const double lastF = windowAt(c.size() - 1, &mid);
    EXPECT_NEAR(lastF * std::pow(f2 / f1, (n - mid) / n), f2, 0.005 * f2);
}

TEST_F(Generators, HDTimeConstant) {
    SineLogSweep g;
    g.length = 65536;
    g.startFrequency = 5.0;
    g.endFrequency = 24000.0;
    g.Reset();
    EXPECT_DOUBLE_EQ(g.GetHDTimeConstant(), (65536.0 / 48000.0) / std::log(4800.0));
    // The stored rate counts, not the stream's current one.
    StreamInitializer::Get()->SetSamplerate(96000);
    EXPECT_DOUBLE_EQ(g.GetHDTimeConstant(), (65536.0 / 48000.0) / std::log(4800.0));

    g.endFrequency = 5.0;
    EXPECT_EQ(g.GetHDTimeConstant(), 0.0);
    g.endFrequency = 24000.0;
    g.startFrequency = 0.0;
    EXPECT_EQ(g.GetHDTimeConstant(), 0.0);
}

TEST_F(Generators, FadesAreQuarterSines) {
    constexpr int n = 2000;
    auto makeSweep = [](bool fadeIn, bool fadeOut) {
        SineLogSweep g;
        g.length = n;
        g.startFrequency = 100.0;
        g.endFrequency = 10000.0;
        g.fadeInEnabled = fadeIn;
        g.fadeOutEnabled = fadeOut;
        g.fadeInMs = 10.0f; // 480 samples
        g.fadeOutMs = 2.0f; // 96 samples
        g.Reset();
        return Pull(g, n + 1).samples;
    };
    const std::vector<float> raw = makeSweep(false, false);
    const std::vector<float> faded = makeSweep(true, true);
    EXPECT_EQ(faded[0], 0.0f);
    EXPECT_EQ(faded[n], 0.0f);
    EXPECT_NE(raw[n], 0.0f);
    for (int i = 0; i <= n; ++i) {
        double gain = 1.0;
        if (i < 480)
            gain *= std::sin(0.5 * kPi * i / 480.0);
        if (n - i < 96)
            gain *= std::sin(0.5 * kPi * (n - i) / 96.0);
        if (gain == 1.0)
            ASSERT_EQ(faded[i], raw[i]) << i;
        else
            ASSERT_NEAR(faded[i], raw[i] * gain, 1e-6) << i;
    }

    // The single sweep fades the same way.
    SineSweepSingle s;
    s.length = n;
    s.fadeInEnabled = true;
    s.fadeOutEnabled = true;
    s.Reset();
    const Pulled p = Pull(s, n + 1);
    EXPECT_EQ(p.samples[0], 0.0f);
    EXPECT_EQ(p.samples[n], 0.0f);
    EXPECT_FALSE(p.more[n]);
}

TEST_F(Generators, DegenerateFadeLengthsAreHarmless) {
    for (float ms : {0.0f, 0.001f, -5.0f, std::numeric_limits<float>::quiet_NaN(), 1e30f}) {
        SineLogSweep g;
        g.length = 1000;
        g.fadeInEnabled = true;
        g.fadeOutEnabled = true;
        g.fadeInMs = ms;
        g.fadeOutMs = ms;
        g.Reset();
        EXPECT_GE(g.fadeInSamples, 0) << ms;
        EXPECT_TRUE(std::isfinite(g.fadeInStep)) << ms;
        EXPECT_TRUE(std::isfinite(g.fadeOutStep)) << ms;
        const Pulled p = Pull(g, 1001);
        for (float s : p.samples)
            ASSERT_TRUE(std::isfinite(s) && std::abs(s) <= 1.0f) << ms;
        if (!(ms > 0.01f)) {
            // No fade samples: the run is the unfaded sweep, last sample included.
            EXPECT_EQ(g.fadeInSamples, 0) << ms;
            EXPECT_NE(p.samples[1000], 0.0f) << ms;
        }
    }
}

TEST_F(Generators, LinearChirpMatchesTheSummedPhase) {
    SineSweepSingle g;
    const int n = 48000;
    const double f1 = 10.0, f2 = 20000.0, fs = 48000.0;
    g.length = n;
    g.startFrequency = f1;
    g.endFrequency = f2;
    g.shape = 1.0;
    g.Reset();
    g.HasChanged();
    ExpectSweepRunShape(g, n);

    g.Reset();
    const Pulled p = Pull(g, n + 1);
    // Phase before sample i is 2pi/fs * sum_{k<i} (f1 + span k/n)
    //   = 2pi/fs * (f1 i + span i(i-1)/(2n)).
    // The generator accumulates n doubles near 2pi (error about n * 1e-15 rad), far below the
    // float rounding of the output, so 1e-6 covers both.
    double worst = 0.0;
    for (int i = 0; i <= n; ++i) {
        const double di = i;
        const double phase = 2.0 * kPi / fs * (f1 * di + (f2 - f1) * di * (di - 1.0) / (2.0 * n));
        worst = std::max(worst, std::abs(p.samples[i] - std::sin(phase)));
    }
    EXPECT_LT(worst, 1e-6);
}

TEST_F(Generators, PowerLawChirpMatchesTheSummedPhase) {
    SineSweepSingle g;
    const int n = 24000;
    const double f1 = 100.0, f2 = 15000.0, fs = 48000.0;
    g.length = n;
    g.startFrequency = f1;
    g.endFrequency = f2;
    g.shape = 2.0;
    g.Reset();
    g.HasChanged();
    const Pulled p = Pull(g, n + 1);
    // sum_{k<i} k^2 = (i-1) i (2i-1) / 6.
    double worst = 0.0;
    for (int i = 0; i <= n; ++i) {
        const double di = i;
        const double sumSquares = (di - 1.0) * di * (2.0 * di - 1.0) / 6.0;
        const double phase = 2.0 * kPi / fs * (f1 * di + (f2 - f1) * sumSquares / (1.0 * n * n));
        worst = std::max(worst, std::abs(p.samples[i] - std::sin(phase)));
    }
    EXPECT_LT(worst, 1e-6);
}

TEST_F(Generators, ShapeOneIsExactlyTheLinearBranch) {
    constexpr int n = 48000;
    auto run = [](double shape) {
        SineSweepSingle g;
        g.length = n;
        g.startFrequency = 10.0;
        g.endFrequency = 20000.0;
        g.shape = shape;
        g.Reset();
        return Pull(g, n + 1).samples;
    };
    const std::vector<float> linear = run(1.0);
    const std::vector<float> almost = run(1.0000001);
    double worst = 0.0;
    for (int i = 0; i <= n; ++i) {
        const double di = i;
        const double phase =
            2.0 * kPi / 48000.0 * (10.0 * di + 19990.0 * di * (di - 1.0) / (2.0 * n));
        ASSERT_NEAR(linear[i], std::sin(phase), 1e-6) << i;
        worst = std::max(worst, std::abs(almost[i] - std::sin(phase)));
    }
    // x^1.0000001 lags x by about 1e-7 * x * |ln x| of the span: some 1e-3 rad over the run.
    EXPECT_GT(worst, 1e-4);
    EXPECT_LT(worst, 1e-1);
}

TEST_F(Generators, SingleSweepUsesTheRateRefreshedByHasChanged) {
    SineSweepSingle g;
    g.length = 100;
    g.startFrequency = 1000.0;
    g.endFrequency = 1000.0;
    StreamInitializer::Get()->SetSamplerate(96000);
    g.Reset();
    EXPECT_EQ(g.sampleRate, 48000);
    g.HasChanged();
    EXPECT_EQ(g.sampleRate, 96000);
    const Pulled p = Pull(g, 3);
    EXPECT_NEAR(p.samples[1], std::sin(2.0 * kPi * 1000.0 / 96000.0), 1e-7);
    EXPECT_NEAR(p.samples[2], std::sin(4.0 * kPi * 1000.0 / 96000.0), 1e-7);
}

TEST_F(Generators, SingleSweepPhaseStaysWithinOneTurn) {
    // Above the sample rate one step is more than a turn; the phase must not grow anyway.
    SineSweepSingle g;
    g.length = 10000;
    g.startFrequency = 100000.0;
    g.endFrequency = 300000.0;
    g.Reset();
    g.HasChanged();
    for (int i = 0; i <= 10000; ++i) {
        float s = 0.0f;
        bool first = false;
        g.NextSample(&s, &first);
        ASSERT_GE(g.phase, 0.0);
        ASSERT_LE(g.phase, 2.0 * kPi);
    }
}

TEST_F(Generators, DegenerateSweepsGiveOneSilentSample) {
    auto expectSilentRun = [](PCMGenerator& g, const char* what) {
        const Pulled p = Pull(g, 5);
        EXPECT_TRUE(p.first[0]) << what;
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(p.samples[i], 0.0f) << what << " " << i;
            EXPECT_FALSE(p.more[i]) << what << " " << i;
        }
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct LogCase {
        const char* what;
        int length;
        double f1, f2;
    };
    for (const LogCase& c :
         {LogCase{"length 0", 0, 5.0, 24000.0}, LogCase{"negative length", -7, 5.0, 24000.0},
          LogCase{"f1 0", 1000, 0.0, 24000.0}, LogCase{"f1 negative", 1000, -5.0, 24000.0},
          LogCase{"f2 = f1", 1000, 1000.0, 1000.0}, LogCase{"f2 below f1", 1000, 1000.0, 500.0},
          LogCase{"f2 not a number", 1000, 20.0, nan},
          LogCase{"f2 infinite", 1000, 20.0, HUGE_VAL}}) {
        SineLogSweep g;
        g.length = c.length;
        g.startFrequency = c.f1;
        g.endFrequency = c.f2;
        g.fadeOutEnabled = true;
        g.Reset();
        expectSilentRun(g, c.what);
    }
    struct SingleCase {
        const char* what;
        int length;
        double f1, f2, shape;
    };
    for (const SingleCase& c : {SingleCase{"length 0", 0, 10.0, 1000.0, 1.0},
                                SingleCase{"negative length", -1, 10.0, 1000.0, 1.0},
                                SingleCase{"shape 0", 1000, 10.0, 1000.0, 0.0},
                                SingleCase{"negative shape", 1000, 10.0, 1000.0, -2.0},
                                SingleCase{"shape not a number", 1000, 10.0, 1000.0, nan},
                                SingleCase{"negative f1", 1000, -10.0, 1000.0, 1.0},
                                SingleCase{"f2 infinite", 1000, 10.0, HUGE_VAL, 1.0}}) {
        SineSweepSingle g;
        g.length = c.length;
        g.startFrequency = c.f1;
        g.endFrequency = c.f2;
        g.shape = c.shape;
        g.Reset();
        expectSilentRun(g, c.what);
    }

    // A stream without a rate.
    StreamInitializer::Get()->SetSamplerate(0);
    SineLogSweep log;
    log.length = 1000;
    log.startFrequency = 20.0;
    log.endFrequency = 2000.0;
    log.Reset();
    expectSilentRun(log, "log sweep at rate 0");
    EXPECT_EQ(log.GetHDTimeConstant(), 0.0);
    SineSweepSingle single;
    single.length = 1000;
    single.Reset();
    single.HasChanged();
    expectSilentRun(single, "single sweep at rate 0");
}

TEST_F(Generators, DownwardAndConstantChirpsAreSound) {
    // The chirp has no logarithm: a falling or constant course is a plain sinusoid.
    SineSweepSingle g;
    g.length = 1000;
    g.startFrequency = 3000.0;
    g.endFrequency = 3000.0;
    g.Reset();
    g.HasChanged();
    const Pulled p = Pull(g, 1001);
    for (int i = 0; i <= 1000; ++i)
        ASSERT_NEAR(p.samples[i], std::sin(2.0 * kPi * 3000.0 * i / 48000.0), 1e-6) << i;
    EXPECT_FALSE(p.more[1000]);
}

TEST_F(Generators, NextFrameCopiesOneSampleToAllChannels) {
    SineLogSweep a, b;
    for (SineLogSweep* g : {&a, &b}) {
        g->length = 300;
        g->startFrequency = 200.0;
        g->Reset();
    }
    float frame[3];
    for (int i = 0; i < 305; ++i) {
        bool firstFrame = true, firstSample = true;
        float s = 0.0f;
        const bool moreFrame = a.NextFrame(frame, 3, &firstFrame);
        const bool moreSample = b.NextSample(&s, &firstSample);
        ASSERT_EQ(moreFrame, moreSample) << i;
        ASSERT_EQ(firstFrame, i == 0) << i;
        ASSERT_EQ(firstSample, i == 0) << i;
        for (float v : frame)
            ASSERT_EQ(v, s) << i;
    }
    // A rewound generator triggers again.
    a.Reset();
    bool first = false;
    a.NextFrame(frame, 3, &first);
    EXPECT_TRUE(first);
}

TEST_F(Generators, EndingMidBlockSilencesTheRest) {
    // The stream's output loop in blocks of 64 frames, stereo.
    SineLogSweep g;
    const int n = 100;
    g.length = n;
    g.startFrequency = 500.0;
    g.Reset();
    bool outputEnabled = true;
    int endedAt = -1;
    std::vector<float> played;
    for (int block = 0; block < 3; ++block) {
        float out[64 * 2];
        for (int k = 0; k < 64; ++k) {
            float* frame = out + 2 * k;
            if (outputEnabled) {
                bool first = false;
                if (!g.NextFrame(frame, 2, &first)) {
                    outputEnabled = false;
                    endedAt = block * 64 + k;
                }
            } else {
                frame[0] = frame[1] = 0.0f;
            }
            played.push_back(frame[0]);
        }
    }
    EXPECT_EQ(endedAt, n);
    EXPECT_NE(played[n], 0.0f);
    for (std::size_t i = n + 1; i < played.size(); ++i)
        ASSERT_EQ(played[i], 0.0f) << i;

    // Pulled past its end, the generator itself gives silence on every channel.
    float frame[4] = {9.0f, 9.0f, 9.0f, 9.0f};
    bool first = true;
    EXPECT_FALSE(g.NextFrame(frame, 4, &first));
    EXPECT_FALSE(first);
    for (float v : frame)
        EXPECT_EQ(v, 0.0f);
}

TEST_F(Generators, AmplitudeAdvancesTheGenerator) {
    SineSweepSingle a, b;
    const Pulled p = Pull(b, 10);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(a.Amplitude(), p.samples[i]) << i;
    EXPECT_EQ(a.index, 10);
}

TEST_F(Generators, HasChangedReportsEachChangeOnce) {
    auto once = [](PCMGenerator& g, const char* what) {
        EXPECT_TRUE(g.HasChanged()) << what;
        EXPECT_FALSE(g.HasChanged()) << what;
    };
    auto common = [&](PCMGenerator& g) {
        once(g, "first call");
        g.length = 1024;
        once(g, "length");
        StreamInitializer::Get()->SetSamplerate(44100);
        once(g, "stream rate");
        EXPECT_EQ(g.sampleRate, 44100);
        StreamInitializer::Get()->SetSamplerate(48000);
        once(g, "stream rate back");
        g.Reset();
        EXPECT_FALSE(g.HasChanged()) << "Reset alone";
    };
    auto fades = [&](PCMGeneratorFading& g) {
        g.fadeInEnabled = true;
        once(g, "fade-in flag");
        g.fadeOutEnabled = true;
        once(g, "fade-out flag");
        g.fadeInMs = 20.0f;
        once(g, "fade-in length");
        g.fadeOutMs = 3.0f;
        once(g, "fade-out length");
    };

    SineLogSweep log;
    common(log);
    fades(log);
    log.startFrequency = 10.0;
    once(log, "log f1");
    log.endFrequency = 20000.0;
    once(log, "log f2");

    SineSweepSingle single;
    common(single);
    fades(single);
    single.startFrequency = 20.0;
    once(single, "single f1");
    single.endFrequency = 2000.0;
    once(single, "single f2");
    single.shape = 1.5;
    once(single, "shape");

    SquareNoise noise;
    common(noise);
    noise.holdProbability = 0.9;
    once(noise, "hold probability");
    noise.amplitude = 0.5;
    once(noise, "amplitude");
    noise.SetTriggerMode(true);
    EXPECT_FALSE(noise.HasChanged()) << "trigger mode is no parameter";

    Pcm pcm;
    common(pcm);
    const float data[4] = {1.0f, 2.0f, 3.0f, 4.0f};
    pcm.SetData(data, 4);
    EXPECT_FALSE(pcm.HasChanged()) << "data is not compared";
}

TEST_F(Generators, SquareNoiseIsReproducibleFromItsSeed) {
    auto run = [](unsigned seed) {
        SquareNoise g;
        g.amplitude = 0.25;
        g.Seed(seed);
        return Pull(g, 4000).samples;
    };
    const std::vector<float> a = run(77), b = run(77), c = run(78);
    // The sign is shared by all noise generators, so a second run may start inverted; the
    // pattern of flips is what the seed fixes.
    const float polarity = b[0] / a[0];
    ASSERT_TRUE(polarity == 1.0f || polarity == -1.0f);
    int differentFromOtherSeed = 0;
    const float polarityC = c[0] / a[0];
    for (int i = 0; i < 4000; ++i) {
        ASSERT_TRUE(a[i] == 0.25f || a[i] == -0.25f) << i;
        ASSERT_EQ(b[i], polarity * a[i]) << i;
        differentFromOtherSeed += c[i] != polarityC * a[i];
    }
    EXPECT_GT(differentFromOtherSeed, 1000);

    // Reset rewinds the count, not the random sequence.
    SquareNoise g;
    const Pulled first = Pull(g, 200);
    g.Reset();
    const Pulled second = Pull(g, 200);
    EXPECT_TRUE(first.first[0]);
    EXPECT_TRUE(second.first[0]);
    int same = 0;
    for (int i = 1; i < 200; ++i)
        same += (first.samples[i] == first.samples[i - 1]) ==
                (second.samples[i] == second.samples[i - 1]);
    EXPECT_LT(same, 180);
}

TEST_F(Generators, SquareNoiseRandomDrawsAreUniform15Bit) {
    SquareNoise g;
    g.Seed(0);
    const int draws = 1 << 18;
    std::vector<int> histogram(8, 0);
    int lo = 1 << 20, hi = -1;
    for (int i = 0; i < draws; ++i) {
        const int r = g.NextRandom();
        lo = std::min(lo, r);
        hi = std::max(hi, r);
        ASSERT_GE(r, 0);
        ASSERT_LE(r, 32767);
        ++histogram[r >> 12];
    }
    EXPECT_EQ(lo, 0);
    EXPECT_EQ(hi, 32767);
    // Eight equal bins: expected draws/8 each, sigma about sqrt(draws/8).
    for (int count : histogram)
        EXPECT_NEAR(count, draws / 8, 5.0 * std::sqrt(draws / 8.0));
}

TEST_F(Generators, SquareNoiseFlipsWithTheComplementOfTheHoldProbability) {
    for (double hold : {0.0, 0.2, 0.5, 0.9, 1.0}) {
        SquareNoise g;
        g.Seed(12345);
        g.holdProbability = hold;
        const int n = 200000;
        const Pulled p = Pull(g, n + 1);
        int flips = 0;
        for (int i = 1; i <= n; ++i) {
            ASSERT_TRUE(p.samples[i] == 1.0f || p.samples[i] == -1.0f);
            flips += p.samples[i] != p.samples[i - 1];
        }
        // A draw r in 0..32767 flips when hold * 32767 < r.
        int flipping = 0;
        for (int r = 0; r <= 32767; ++r)
            flipping += hold * 32767.0 < r;
        const double q = flipping / 32768.0;
        EXPECT_NEAR(q, 1.0 - hold, 1e-4);
        const double sigma = std::sqrt(q * (1.0 - q) / n);
        EXPECT_NEAR(flips / double(n), q, 6.0 * sigma + 1e-9) << hold;
    }
}

TEST_F(Generators, SquareNoiseEndsOnlyInTriggerMode) {
    SquareNoise g;
    g.amplitude = 0.5;
    g.length = 10;
    const Pulled endless = Pull(g, 100000);
    for (int i = 0; i < 100000; ++i)
        ASSERT_TRUE(endless.more[i]) << i;

    g.Reset();
    g.SetTriggerMode(true);
    const Pulled p = Pull(g, 13);
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(p.more[i]) << i;
        EXPECT_EQ(std::abs(p.samples[i]), 0.5f) << i;
        EXPECT_EQ(p.first[i], i == 0) << i;
    }
    for (int i = 10; i < 13; ++i) {
        EXPECT_FALSE(p.more[i]) << i;
        EXPECT_EQ(p.samples[i], 0.0f) << i;
    }

    // Length 0 in trigger mode: nothing to give.
    g.length = 0;
    g.Reset();
    const Pulled none = Pull(g, 2);
    EXPECT_FALSE(none.more[0]);
    EXPECT_EQ(none.samples[0], 0.0f);
}

TEST_F(Generators, PcmPlaysItsDataThenSilence) {
    const float data[5] = {0.1f, -0.2f, 0.3f, -0.4f, 0.5f};
    Pcm g;
    g.SetData(data, 5);
    g.length = 8;
    g.Reset();
    const Pulled p = Pull(g, 10);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(p.samples[i], i < 5 ? data[i] : 0.0f) << i;
        EXPECT_EQ(p.more[i], i < 7) << i;
        EXPECT_EQ(p.first[i], i == 0) << i;
    }

    Pcm empty;
    empty.length = 100;
    const Pulled z = Pull(empty, 100);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(z.samples[i], 0.0f) << i;
        EXPECT_EQ(z.more[i], i < 99) << i;
    }

    // A caller that claims data but left the pointer null, or a negative data length.
    Pcm careless;
    careless.length = 4;
    careless.hasData = true;
    careless.dataLength = 4;
    const Pulled c = Pull(careless, 4);
    for (float s : c.samples)
        EXPECT_EQ(s, 0.0f);
    careless.data = data;
    careless.dataLength = -3;
    careless.Reset();
    for (float s : Pull(careless, 4).samples)
        EXPECT_EQ(s, 0.0f);
    careless.SetData(nullptr, 5);
    EXPECT_FALSE(careless.hasData);
}

TEST_F(Generators, BaseGeneratorIsEndlessSilence) {
    struct Silence : PCMGenerator {
        Silence() : PCMGenerator(0) {}
        void Reset() override {}
    } g;
    const Pulled p = Pull(g, 50);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(p.samples[i], 0.0f);
        EXPECT_TRUE(p.more[i]);
        EXPECT_FALSE(p.first[i]);
    }
    EXPECT_FALSE(g.ParamsChanged());
}

TEST_F(Generators, ToneIsAnEndlessSineWithoutTrigger) {
    SineTone tone;
    tone.frequency = 997.0;
    tone.Reset();
    // Long enough that a phase kept without wrapping would have drifted visibly.
    const int n = 48000 * 20;
    const Pulled p = Pull(tone, n);
    double worst = 0.0;
    for (int i = 0; i < n; i += 7)
        worst = std::max(worst, std::abs(p.samples[static_cast<std::size_t>(i)] -
                                         std::sin(2.0 * kPi * 997.0 * i / 48000.0)));
    EXPECT_LT(worst, 1e-5);
    for (int i = 0; i < n; ++i)
        ASSERT_TRUE(p.more[static_cast<std::size_t>(i)] && !p.first[static_cast<std::size_t>(i)]);

    // A new rate takes effect at Reset; a tone at or above Nyquist plays silence.
    StreamInitializer::Get()->SetSamplerate(44100);
    tone.Reset();
    EXPECT_NEAR(Pull(tone, 12).samples[11], std::sin(2.0 * kPi * 997.0 * 11 / 44100.0), 1e-6);
    tone.frequency = 22050.0;
    tone.Reset();
    for (float s : Pull(tone, 100).samples)
        ASSERT_EQ(s, 0.0f);
}
