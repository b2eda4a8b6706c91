#include "analyze/CalibratorTone.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

using namespace Kedra::Analyze;
constexpr double PI = 3.14159265358979323846;
constexpr int FS = 48000;

// Three seconds of a sine with a slow level wobble of `amDb` peak to peak (0: steady), cut at
// +-`clip`.
std::vector<float> Tone(double amplitude, double hz, double amDb = 0.0, double clip = 10.0) {
    std::vector<float> x(3 * FS);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double t = static_cast<double>(i) / FS;
        const double gain = std::pow(10.0, amDb / 40.0 * std::sin(2.0 * PI * 2.0 * t));
        x[i] = static_cast<float>(
            std::clamp(amplitude * gain * std::sin(2.0 * PI * hz * t + 0.3), -clip, clip));
    }
    return x;
}

ToneReading Read(const std::vector<float>& x) {
    ToneReading r;
    std::string why;
    EXPECT_TRUE(ReadTone(x.data(), static_cast<int>(x.size()), FS, r, why)) << why;
    return r;
}

TEST(CalibratorTone, SteadySineReadsItsAes17LevelAndFrequency) {
    // AES17: amplitude a reads 20*log10(a); an off-grid frequency is found to a few mHz.
    for (double amplitude : {0.99, 0.5, 0.01}) {
        const ToneReading r = Read(Tone(amplitude, 997.3));
        EXPECT_NEAR(r.dbfs, 20.0 * std::log10(amplitude), 0.005) << amplitude;
        EXPECT_NEAR(r.frequency, 997.3, 0.01);
        EXPECT_LT(r.fluctuationDb, 0.01);
        EXPECT_GT(r.purity, 0.999);
        EXPECT_EQ(JudgeTone(r, 1000.0), "");
    }
}

TEST(CalibratorTone, RefusesWithTheReason) {
    struct Case {
        std::vector<float> signal;
        double expectedHz;
        const char* reason;
    };
    std::vector<float> noise(3 * FS);
    std::mt19937 gen(7);
    std::normal_distribution<double> n(0.0, 0.1);
    for (float& v : noise)
        v = static_cast<float>(n(gen));
    const Case cases[] = {
        {Tone(0.5, 1000.0, 0.3), 1000.0, "fluctuates by 0.2"},
        {Tone(0.5, 1100.0), 1000.0, "1100.0 Hz, not within 5 % of 1000.0 Hz"},
        {Tone(1.2, 1000.0, 0.0, 1.0), 1000.0, "The input clips"},
        {std::vector<float>(3 * FS, 0.0f), 1000.0, "No tone arrived"},
        {noise, 1000.0, "no steady tone"},
    };
    for (const Case& c : cases) {
        const std::string why = JudgeTone(Read(c.signal), c.expectedHz);
        EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    }
    // The same 1.1 kHz tone is right when that is the frequency given.
    EXPECT_EQ(JudgeTone(Read(Tone(0.5, 1100.0)), 1100.0), "");
    // Just inside the limits is accepted: 0.08 dB of wobble, 4.9 % off.
    EXPECT_EQ(JudgeTone(Read(Tone(0.5, 1000.0, 0.08)), 1000.0), "");
    EXPECT_EQ(JudgeTone(Read(Tone(0.5, 1049.0)), 1000.0), "");
}

TEST(CalibratorTone, TooShortOrMissingInputIsRefused) {
    ToneReading r;
    std::string why;
    const std::vector<float> shortTone = Tone(0.5, 1000.0);
    EXPECT_FALSE(ReadTone(shortTone.data(), FS / 10, FS, r, why));
    EXPECT_NE(why.find("too short"), std::string::npos);
    EXPECT_FALSE(ReadTone(nullptr, 0, FS, r, why));
    EXPECT_FALSE(ReadTone(shortTone.data(), 3 * FS, 0, r, why));
}

} // namespace
