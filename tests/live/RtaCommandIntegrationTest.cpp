#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "exchange/WaveFile.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

// The path in single quotes for the shell, built by appending (g++ 12 warns falsely on a
// literal added in front of a string).
std::string Q(const std::string& path) {
    std::string q(1, '\'');
    q.append(path);
    q.push_back('\'');
    return q;
}

class RtaCommand : public ::testing::Test {
protected:
    void SetUp() override {
        dir =
            SonvelTest::TempDir() /
            ("rta-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    // The exit status; stdout and stderr in out and err.
    int Sonvel(const std::string& args) {
        const SonvelTest::ProgramRun run =
            SonvelTest::RunProgram(SONVEL_BINARY, dir, "rta " + args);
        out = run.out;
        err = run.err;
        return run.status;
    }
    static std::string Read(const fs::path& p) { return SonvelTest::ReadBytes(p); }
    std::string Sine(const std::string& name, double frequency, double amplitude, int rate,
                     double seconds) {
        std::vector<float> x(static_cast<std::size_t>(seconds * rate));
        for (std::size_t i = 0; i < x.size(); ++i)
            x[i] = static_cast<float>(amplitude *
                                      std::sin(2.0 * std::acos(-1.0) * frequency * i / rate));
        const std::string path = (dir / name).string();
        EXPECT_GT(Kedra::WaveImExport::ArrayWaveExport(
                      x.data(), static_cast<int>(x.size()), rate, path,
                      Kedra::WaveImExport::WaveFormat::Float32, "", false),
                  0);
        return path;
    }
    // The row whose frequency lies nearest `hz`, {frequency, leq, max}, of the rows under the
    // header; `rows` receives their count (the program's last line follows on stdout).
    static std::vector<double> RowNear(const std::string& csv, double hz, int& rows) {
        std::istringstream in(csv.substr(std::min(csv.size(), csv.find("frequency_hz"))));
        std::string line;
        std::getline(in, line);
        EXPECT_EQ(line, "frequency_hz,leq_db,max_db");
        std::vector<double> best(3, 1e9);
        std::vector<double> row(3);
        for (rows = 0; std::getline(in, line) &&
                       std::sscanf(line.c_str(), "%lf,%lf,%lf", &row[0], &row[1], &row[2]) == 3;
             ++rows)
            if (std::abs(row[0] - hz) < std::abs(best[0] - hz))
                best = row;
        return best;
    }

    fs::path dir;
    std::string out, err;
};

} // namespace

// A sine of amplitude 0.5 reads -6.02 dB in its 1/3-octave band (Leq and maximum) and on its
// bin, whatever the FFT's average; the CSV holds one row per band or bin.
TEST_F(RtaCommand, ASineReadsItsLevelInItsBandAndOnItsBin) {
    const double hz = 171.0 * 48000.0 / 8192.0; // on a bin of an FFT of 8192
    const std::string wave = Sine("sine.wav", hz, 0.5, 48000, 3.0);
    const std::string csv = (dir / "rta.csv").string();
    ASSERT_EQ(Sonvel(Q(wave) + " --bands 3 --csv " + Q(csv)), 0) << err;
    EXPECT_NE(out.find("Wrote 31 rows"), std::string::npos) << out;
    int rows = 0;
    auto row = RowNear(Read(csv), 1000.0, rows);
    EXPECT_EQ(rows, 31);
    EXPECT_NEAR(row[0], 1000.0, 0.001);
    EXPECT_NEAR(row[1], -6.02, 0.1);
    EXPECT_NEAR(row[2], -6.02, 0.1);
    for (const char* average : {"inf", "fifo:3", "exp:0.5"}) {
        ASSERT_EQ(Sonvel(Q(wave) + " --fft 8192 --average " + average), 0) << err;
        row = RowNear(out, hz, rows);
        EXPECT_EQ(rows, 4097) << average;
        EXPECT_NEAR(row[1], -6.02, 0.01) << average;
        EXPECT_NEAR(row[2], -6.02, 0.01) << average;
    }
}

// A-weighting takes 19.1 dB off a 100 Hz sine (the weighting's nominal value there), C 0.3;
// --seconds reads only the start of the file; a live run goes through the same analysis.
TEST_F(RtaCommand, WeightingsSecondsAndTheLiveInput) {
    const std::string wave = Sine("sine.wav", 100.0, 0.5, 48000, 3.0);
    int rows = 0;
    for (const auto& [weighting, nominal] :
         std::vector<std::pair<std::string, double>>{{"A", -19.1}, {"C", -0.3}}) {
        ASSERT_EQ(Sonvel(Q(wave) + " --bands 3 --weighting " + weighting), 0) << err;
        EXPECT_NE(out.find(weighting + "-weighted"), std::string::npos) << out;
        EXPECT_NEAR(RowNear(out, 100.0, rows)[1], -6.02 + nominal, 0.15) << weighting;
    }
    ASSERT_EQ(Sonvel(Q(wave) + " --fft 8192 --seconds 0.5"), 0) << err;
    EXPECT_NE(out.find("0.500 s at 48000 Hz"), std::string::npos) << out;

    ASSERT_EQ(Sonvel("--sim loopback --seconds 1 --bands 1 --weighting A"), 0) << err;
    EXPECT_NE(out.find("Simulated loopback ch 1: 1.000 s at 44100 Hz"), std::string::npos) << out;
    RowNear(out, 1000.0, rows);
    EXPECT_EQ(rows, 9); // 31.5 Hz to 8 kHz below 22.05 kHz
    EXPECT_NE(Sonvel("--sim loopback --weighting B"), 0);
    EXPECT_NE(err.find("A, C or Z"), std::string::npos) << err;
}

TEST_F(RtaCommand, BadInputEndsWithAReasonAndWritesNothing) {
    const std::string wave = Sine("sine.wav", 1000.0, 0.5, 48000, 0.01);
    std::ofstream(dir / "text.wav") << "frequency_hz,leq_db\n1000,0\n";
    const std::string csv = " --csv " + Q((dir / "rta.csv").string());
    std::vector<float> broken(4800, 0.25f);
    broken[100] = std::nanf("");
    broken[200] = INFINITY;
    ASSERT_GT(
        Kedra::WaveImExport::ArrayWaveExport(broken.data(), 4800, 48000, (dir / "nan.wav").string(),
                                             Kedra::WaveImExport::WaveFormat::Float32, "", false),
        0);
    struct Case {
        std::string args;
        int status;
        std::string says;
    };
    const Case cases[] = {
        {Q((dir / "text.wav").string()), 1, "not a wave, FLAC or AIFF file"},
        {Q((dir / "missing.wav").string()), 1, "cannot analyse"},
        {Q(Sine("slow.wav", 100.0, 0.5, 4000, 1.0)), 1, "8 to 384 kHz"},
        {Q(wave) + " --fft 1024", 1, "fewer than one FFT frame"},
        {Q((dir / "nan.wav").string()), 1, "2 of its samples are not numbers"},
        {Q(wave) + " --bands 5", 2, "1, 3, 6, 12, 24 or 48"},
        {Q(wave) + " --fft 100", 2, "power of two from 1024 to 65536"},
        {Q(wave) + " --fft 1024 --bands 3", 2, "not both"},
        {Q(wave) + " --fft 1024 --average fifo:200", 2, "fifo:N (1 to 128 frames)"},
        {Q(wave) + " --average exp:1", 2, "Leq over the whole run"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Sonvel(c.args + csv), c.status) << c.args;
        EXPECT_NE(err.find(c.says), std::string::npos) << c.args << ": " << err;
        EXPECT_FALSE(fs::exists(dir / "rta.csv")) << c.args;
    }
}
