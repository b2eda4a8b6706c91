// Wave files on disk: round trips, the measurement impulse export, the log lines, and writes
// that fail or replace a file without losing what was there.
#include "exchange/WaveFile.h"

#include "foundation/Mem.h"
#include "measure/MeasurementCore.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

using namespace Kedra::WaveImExport;
namespace fs = std::filesystem;
using SonvelTest::ReadBytes;
using SonvelTest::WriteBytes;

namespace {

fs::path Dir(const std::string& name) {
    const fs::path dir = SonvelTest::TempDir() / "wave" / name;
    fs::create_directories(dir);
    return dir;
}

std::vector<fs::path> Listing(const fs::path& dir) {
    std::vector<fs::path> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename());
    return names;
}

bool LogHas(const std::string& text) {
    return SonvelTest::ReadLog().find(text) != std::string::npos;
}

} // namespace

TEST(WaveFileIntegrationTest, RoundTripOfEveryFormatWithinItsQuantisationStep) {
    const fs::path dir = Dir("roundtrip");
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> dist(-0.99, 0.99);
    std::vector<double> x(1000);
    for (double& v : x)
        v = dist(rng);
    for (WaveFormat f :
         {WaveFormat::Float32, WaveFormat::Pcm16, WaveFormat::Pcm24, WaveFormat::Pcm32}) {
        const std::string path = (dir / (std::string(WaveFormatName(f)) + ".wav")).string();
        ASSERT_EQ(ArrayWaveExport(x.data(), 1000, 96000, path, f, "round trip", false), 1000);
        EXPECT_TRUE(LogHas("INFO    ArrayWaveExport( 1000 ) -> 1000 -> " + path + "\n"));

        const WaveInfo info = WaveFileInfo(path);
        EXPECT_EQ(info.samplerate, 96000);
        EXPECT_EQ(info.frames, 1000);
        EXPECT_EQ(info.channels, 1);

        // Writer rounds to half a step, the reader's power-of-two scale adds less than one more;
        // the path goes through floats both ways, whose steps below 1 are at most 2^-24.
        const double formatStep = f == WaveFormat::Float32
                                      ? 0.0
                                      : 1.0 / (std::ldexp(1.0, 8 * BytesPerSample(f) - 1) - 1.0);
        const double step = std::max(formatStep, std::ldexp(1.0, -24));
        WaveInfo got;
        float* samples = nullptr;
        ASSERT_EQ(ArrayWaveImport(path, got, samples), 1000);
        EXPECT_TRUE(LogHas("INFO    ArrayWaveImport(" + path + ")\n"));
        EXPECT_TRUE(LogHas("INFO    ArrayWaveImport 1 channel samples read = 1000\n"));
        std::vector<double> d(1000);
        ASSERT_TRUE(WaveFileToArray(path, d.data(), 1000, 1.0));
        for (std::size_t i = 0; i < x.size(); ++i) {
            ASSERT_LT(std::fabs(samples[i] - x[i]), 1.5 * step) << WaveFormatName(f) << i;
            ASSERT_LT(std::fabs(d[i] - x[i]), 1.5 * step) << WaveFormatName(f) << i;
        }
        Mem::FreeArray(samples);
    }
}

TEST(WaveFileIntegrationTest, ImpulseExportClampsTheRangeToTheCentredImpulse) {
    const fs::path dir = Dir("impulse");
    constexpr int P = 16;
    constexpr int N = 1 << P;
    std::vector<double> raw(N);
    for (int i = 0; i < N; ++i)
        raw[static_cast<std::size_t>(i)] = 0.5 * std::sin(0.37 * i) + 1e-4 * (i % 7);
    Kedra::Measure::MeasurementCore m("Woofer 1");
    m.InitializeImpulse(raw.data(), N, N / 2, 44100, P, 0, 0.0, 0.0, true);

    const std::string all = (dir / "all.wav").string();
    ASSERT_TRUE(ImpulseWaveExport(m, all, -1000000, 1000000, false, WaveFormat::Float32));
    const WaveInfo info = WaveFileInfo(all);
    EXPECT_EQ(info.frames, 65536);
    EXPECT_EQ(info.samplerate, 44100);
    EXPECT_NE(ReadBytes(all).find("Woofer 1"), std::string::npos);
    std::vector<float> back(N);
    ASSERT_TRUE(WaveFileToArray(all, back.data(), N, 1.0));
    // Time zero sits at raw index N/2, so sample -N/2 is raw[0].
    for (int i = 0; i < N; ++i)
        ASSERT_EQ(back[static_cast<std::size_t>(i)],
                  static_cast<float>(raw[static_cast<std::size_t>(i)]))
            << i;

    const std::string none = (dir / "none.wav").string();
    EXPECT_FALSE(ImpulseWaveExport(m, none, 40000, 50000, false, WaveFormat::Pcm16));
    Kedra::Measure::MeasurementCore empty("empty");
    EXPECT_FALSE(ImpulseWaveExport(empty, none, 0, 10, false, WaveFormat::Pcm16));
    EXPECT_FALSE(fs::exists(none));
}

TEST(WaveFileIntegrationTest, FailedWritesLeaveExistingFilesAndNoLeftovers) {
    const fs::path dir = Dir("atomic");
    const std::string path = (dir / "keep.wav").string();
    const std::vector<float> a(100, 0.25f);
    ASSERT_EQ(ArrayWaveExport(a.data(), 100, 48000, path, WaveFormat::Pcm16, "a", false), 100);
    const std::string before = ReadBytes(path);

    // Refused by libsndfile (no sample rate) and refused before it (no samples).
    EXPECT_EQ(ArrayWaveExport(a.data(), 100, 0, path, WaveFormat::Pcm16, "b", false), 0);
    EXPECT_TRUE(LogHas("INFO    ArrayWaveExport( 100 ) -> 0 -> " + path + "\n"));
    double peak = 0;
    EXPECT_FALSE(ArrayToWaveFile(nullptr, 100, 48000, path, peak));
    EXPECT_EQ(ReadBytes(path), before);

    // A successful write replaces the file.
    const std::vector<float> b(10, -0.5f);
    ASSERT_EQ(ArrayWaveExport(b.data(), 10, 48000, path, WaveFormat::Pcm24, "b", false), 10);
    EXPECT_EQ(WaveFileInfo(path).frames, 10);
    EXPECT_EQ(Listing(dir), std::vector<fs::path>{"keep.wav"});

    // A directory in the way, or a missing directory: nothing written, nothing lost.
    fs::create_directories(dir / "sub");
    EXPECT_EQ(
        ArrayWaveExport(b.data(), 10, 48000, (dir / "sub").string(), WaveFormat::Pcm16, "", false),
        0);
    EXPECT_TRUE(fs::is_directory(dir / "sub"));
    EXPECT_EQ(ArrayWaveExport(b.data(), 10, 48000, (dir / "missing" / "x.wav").string(),
                              WaveFormat::Pcm16, "", false),
              0);
    EXPECT_FALSE(fs::exists(dir / "missing"));
    EXPECT_EQ(Listing(dir).size(), 2u);
}

TEST(WaveFileIntegrationTest, UnreadablePathsFailWithALogLine) {
    const fs::path dir = Dir("bad");
    const std::string missing = (dir / "nothing.wav").string();
    const std::string directory = dir.string();
    const std::string cut = (dir / "cut.wav").string();
    std::vector<double> x(64, 0.5);
    double peak = 0;
    ASSERT_TRUE(ArrayToWaveFile(x.data(), 64, 48000, cut, peak));
    const std::string whole = ReadBytes(cut);
    std::ofstream(cut, std::ios::binary) << whole.substr(0, 30);

    for (const std::string& path : {missing, directory, cut}) {
        const WaveInfo info = WaveFileInfo(path);
        EXPECT_EQ(info.samplerate + info.frames + info.channels, 0) << path;
        double d = 3.0;
        EXPECT_FALSE(WaveFileToArray(path, &d, 1, 1.0)) << path;
        EXPECT_EQ(d, 3.0);
        WaveInfo got;
        float* out = nullptr;
        EXPECT_EQ(ArrayWaveImport(path, got, out), 0) << path;
        EXPECT_EQ(out, nullptr);
        EXPECT_TRUE(LogHas("WARNING ArrayWaveImport( " + path + " ) - ")) << path;
    }
    EXPECT_TRUE(LogHas("WARNING WaveFileToArray( " + missing + " ) - no such file\n"));
    EXPECT_TRUE(LogHas("WARNING WaveFileInfo( " + directory + " ) - not a regular file\n"));
}
