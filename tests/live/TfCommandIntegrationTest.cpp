// `sonvel tf` over files made here: a measurement that is the reference at half the level,
// 590 samples later, with a little uncorrelated noise.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <filesystem>
#include <numbers>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "audio/SimulatedSoundCard.h"
#include "exchange/WaveFile.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

using Session = SonvelTest::ProgramRun;

// Built by appending: g++ 12 warns falsely on a literal + temporary string at -O3.
std::string Quote(const fs::path& path) {
    std::string quoted(1, '\'');
    quoted.append(path.string()).push_back('\'');
    return quoted;
}

std::string Words(std::initializer_list<std::string> parts) {
    std::string joined;
    for (const std::string& p : parts)
        joined.append(joined.empty() ? "" : " ").append(p);
    return joined;
}

constexpr int FS = 48000;
constexpr int DELAY = 590; // 12.292 ms

class TfCommand : public ::testing::Test {
protected:
    void SetUp() override {
        dir =
            SonvelTest::TempDir() /
            ("tf-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::mt19937 random(17);
        std::normal_distribution<float> gauss(0.0f, 0.1f);
        ref.resize(4 * FS);
        for (float& v : ref)
            v = gauss(random);
        meas.assign(ref.size(), 0.0f);
        for (std::size_t n = 0; n < meas.size(); ++n)
            meas[n] = (n >= DELAY ? 0.5f * ref[n - DELAY] : 0.0f) + 0.001f * gauss(random);
    }
    Session Sonvel(const std::string& args) {
        return SonvelTest::RunProgram(SONVEL_BINARY, dir, args);
    }
    std::string Mono(const std::string& name, const std::vector<float>& x, int rate = FS) {
        const fs::path path = dir / name;
        EXPECT_EQ(Kedra::WaveImExport::ArrayWaveExport(
                      x.data(), static_cast<int>(x.size()), rate, path.string(),
                      Kedra::WaveImExport::WaveFormat::Float32, "", false),
                  static_cast<int>(x.size()));
        return Quote(path);
    }
    std::string Both(const std::string& name) {
        std::vector<std::int16_t> frames;
        for (std::size_t n = 0; n < ref.size(); ++n)
            for (const float v : {ref[n], meas[n]})
                frames.push_back(static_cast<std::int16_t>(std::lround(v * 32767.0f)));
        const auto bytes = SonvelTest::HandMadeWave(2, FS, frames);
        SonvelTest::WriteBytes(dir / name, std::string(bytes.begin(), bytes.end()));
        return Quote(dir / name);
    }
    std::string Csv() const { return Quote(dir / "tf.csv"); }
    fs::path dir;
    std::vector<float> ref, meas;
};

// Every row has four numbers: 0 dB - 6.02, no phase once the delay is out, coherence near 1.
void ExpectHalfLevel(const std::string& csv, std::size_t rows) {
    std::istringstream in(csv);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "frequency_hz,magnitude_db,phase_deg,coherence");
    std::size_t n = 0;
    double previous = 0.0;
    while (std::getline(in, line)) {
        double f, db, deg, coherence;
        char c1, c2, c3;
        std::istringstream row(line);
        ASSERT_TRUE(row >> f >> c1 >> db >> c2 >> deg >> c3 >> coherence) << line;
        EXPECT_TRUE(c1 == ',' && c2 == ',' && c3 == ',') << line;
        EXPECT_GT(f, previous);
        previous = f;
        EXPECT_NEAR(db, -6.02, 0.1) << line;
        EXPECT_NEAR(deg, 0.0, 2.0) << line;
        EXPECT_GT(coherence, 0.99) << line;
        EXPECT_LE(coherence, 1.0) << line;
        ++n;
    }
    EXPECT_EQ(n, rows);
}

TEST_F(TfCommand, TwoFilesOrOneTwoChannelFileGiveTheDelayAndTheCsv) {
    Session s = Sonvel(
        Words({"tf", Mono("ref.wav", ref), Mono("meas.wav", meas), "--fft 4096 --csv", Csv()}));
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.out.find("Delay: 12.292 ms (590.00 samples)\n"), std::string::npos) << s.out;
    ExpectHalfLevel(SonvelTest::ReadBytes(dir / "tf.csv"), 2048);

    // 1/24 octave: 4 s hold eight segments of 32768 (from 51.3 Hz) but not of 65536.
    s = Sonvel(Words({"tf", Both("both.wav"), "--csv", Csv(), "--into 7"}));
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.out.find("Delay: 12.292 ms (590.00 samples)\n"), std::string::npos) << s.out;
    EXPECT_NE(s.out.find("Note: up to 50.5 Hz left out"), std::string::npos) << s.out;
    ExpectHalfLevel(SonvelTest::ReadBytes(dir / "tf.csv"), 6u * 35u + 222u);
    EXPECT_NE(s.out.find("Stored in slot 7: TF both ch 2 vs ch 1, delay 12.292 ms"),
              std::string::npos)
        << s.out;
    // The stored impulse: half a unit at time zero (the delay is out).
    s = Sonvel(Words({"export 7 --kind impulse --sample-numbers", Quote(dir / "ir.txt")}));
    ASSERT_EQ(s.status, 0) << s.err;
    const std::string ir = SonvelTest::ReadBytes(dir / "ir.txt");
    const auto zero = ir.find("\n0;");
    ASSERT_NE(zero, std::string::npos) << ir.substr(0, 400);
    EXPECT_NEAR(std::stod(ir.substr(zero + 3)), 0.5, 0.02);
    EXPECT_NEAR(std::stod(ir.substr(ir.find("\n1;") + 3)), 0.0, 0.02);
}

TEST_F(TfCommand, InputItCannotUseIsRefusedAndNothingIsWritten) {
    const std::string r = Mono("ref.wav", ref), m = Mono("meas.wav", meas);
    const std::vector<float> silent(ref.size(), 0.0f);
    SonvelTest::WriteBytes(dir / "text.wav", "frequency,level\n1000,0\n");
    const struct {
        std::string args;
        int status;
        std::string says;
    } cases[] = {
        {r, 1, "has one channel"},
        {Words({r, Both("both.wav")}), 1, "has two channels"},
        {Words({r, Mono("m44.wav", meas, 44100)}), 1, "need one sample rate"},
        {Words({r, Quote(dir / "text.wav")}), 1, "cannot read"},
        {Words({r, Quote(dir / "missing.wav")}), 1, "cannot read"},
        {Words({Mono("silent.wav", silent), m}), 1, "the reference is silent"},
        {Words({r, m, "--fft 262144"}), 1, "give at least"},
        {Words({r, m, "--fft 1000"}), 2, "power of two"},
        {Words({r, m, "--octave-resolution 5"}), 2, "3, 6, 12, 24 or 48"},
        {Words({r, m, "--into Z"}), 2, "is not a slot"},
    };
    for (const auto& c : cases) {
        const Session s = Sonvel(Words({"tf", c.args, "--csv", Csv()}));
        EXPECT_EQ(s.status, c.status) << c.args << "\n" << s.err;
        EXPECT_NE(s.err.find(c.says), std::string::npos) << c.args << "\n" << s.err;
        EXPECT_FALSE(fs::exists(dir / "tf.csv")) << c.args;
    }
}

// The simulated speaker 1 m away, its output looped back on input 9: the delay is the
// acoustic one (the card's latency is on both inputs), and the response the model's own.
TEST_F(TfCommand, LiveOnTheSimulatedSpeakerGivesTheAcousticDelayAndTheModelsResponse) {
    const Session s =
        Sonvel(Words({"tf --live --sim speaker --ref-input 9 --input 1 --seconds 8 --csv", Csv()}));
    ASSERT_EQ(s.status, 0) << s.err;
    const auto at = s.out.find("Delay: ");
    ASSERT_NE(at, std::string::npos) << s.out;
    const double ms = std::stod(s.out.substr(at + 7));
    const double samples = std::stod(s.out.substr(s.out.find('(', at) + 1));
    EXPECT_NEAR(ms, 1000.0 / 343.0, 0.05) << s.out;
    const double fs = 1000.0 * samples / ms;
    using namespace Kedra::PAudioII;
    const DeviceModel speaker(DeviceModelParams::For(SimulatedModel::Speaker, std::lround(fs)));
    const int latency = speaker.Params().latencySamples;
    std::istringstream in(SonvelTest::ReadBytes(dir / "tf.csv"));
    std::string line;
    std::getline(in, line);
    int checked = 0;
    while (std::getline(in, line)) {
        double f, db, deg, coherence;
        char c;
        std::istringstream row(line);
        ASSERT_TRUE(row >> f >> c >> db >> c >> deg >> c >> coherence) << line;
        if (f < 100.0 || f > 10000.0)
            continue;
        const double w = 2.0 * std::numbers::pi * f / fs;
        const std::complex<double> truth =
            speaker.Response(f) * std::polar(1.0, w * (latency + samples));
        EXPECT_NEAR(db, 20.0 * std::log10(std::abs(truth)), 0.3) << line;
        EXPECT_NEAR(std::remainder(deg - std::arg(truth) * 180.0 / std::numbers::pi, 360.0), 0.0,
                    3.0)
            << line;
        EXPECT_GT(coherence, 0.99) << line;
        ++checked;
    }
    EXPECT_GT(checked, 100);
    // The other way round, the microphone as the reference: the loopback comes first.
    const Session back =
        Sonvel("tf --live --sim speaker --ref-input 1 --input 9 --seconds 4 --fft 4096 --into 3");
    ASSERT_EQ(back.status, 0) << back.err;
    EXPECT_NEAR(std::stod(back.out.substr(back.out.find("Delay: ") + 7)), -1000.0 / 343.0, 0.05);
    EXPECT_NE(back.out.find("Stored in slot 3: TF input 9 vs input 1, delay -2.9"),
              std::string::npos)
        << back.out;
    // The same input twice has nothing to compare.
    EXPECT_EQ(Sonvel("tf --live --sim speaker --ref-input 1 --input 1").status, 2);
}

} // namespace
