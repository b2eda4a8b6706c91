#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "exchange/WaveFile.h"
#include "live/LiveTestSignals.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

using Session = SonvelTest::ProgramRun;

class SplCommand : public ::testing::Test {
protected:
    void SetUp() override {
        dir =
            SonvelTest::TempDir() /
            ("spl-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    Session Sonvel(const std::string& args) {
        return SonvelTest::RunProgram(SONVEL_BINARY, dir, args);
    }
    static std::string Read(const fs::path& p) { return SonvelTest::ReadBytes(p); }
    std::string Wave(const std::string& name, const std::vector<float>& x, int rate) {
        const std::string path = (dir / name).string();
        EXPECT_EQ(Kedra::WaveImExport::ArrayWaveExport(
                      x.data(), static_cast<int>(x.size()), rate, path,
                      Kedra::WaveImExport::WaveFormat::Float32, "", false),
                  static_cast<int>(x.size()));
        return path;
    }
    fs::path dir;
};

// The number after `key` in the summary.
double SummaryValue(const std::string& out, const std::string& key) {
    const auto at = out.find("\n  " + key + " ");
    EXPECT_NE(at, std::string::npos) << key << " in\n" << out;
    return at == std::string::npos ? NAN : std::stod(out.substr(at + key.size() + 4));
}

TEST_F(SplCommand, AFileGivesItsLevelsRowsAndSummary) {
    // 2.5 s of a -12.04 dBFS 1 kHz sine at 44.1 kHz: C- and A-weighting are 0 dB there.
    const double level = 20.0 * std::log10(0.25);
    const std::string wave = Wave("tone.wav", LiveTest::Sine(1000.0, 44100.0, 110250, 0.25), 44100);
    const std::string csv = (dir / "levels.csv").string();
    const Session s = Sonvel("spl '" + wave + "' --weighting C --interval 0.5 --csv '" + csv + "'");
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_NEAR(SummaryValue(s.out, "LCeq"), level, 0.02);
    EXPECT_NEAR(SummaryValue(s.out, "LCFmax"), level, 0.02);
    EXPECT_NEAR(SummaryValue(s.out, "SEL"), level + 10.0 * std::log10(2.5), 0.02);
    EXPECT_NEAR(SummaryValue(s.out, "LCpeak"), level + 3.01, 0.35); // with the onset's transient
    EXPECT_EQ(SummaryValue(s.out, "overloads"), 0.0);

    std::ifstream in(csv);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "time_s,LCF,LCS,LCeq,LCpeak");
    std::vector<std::vector<double>> rows;
    while (std::getline(in, line)) {
        std::vector<double> row;
        std::stringstream fields(line);
        for (std::string f; std::getline(fields, f, ',');)
            row.push_back(std::stod(f));
        ASSERT_EQ(row.size(), 5u) << line;
        rows.push_back(row);
    }
    ASSERT_EQ(rows.size(), 5u); // whole intervals only
    EXPECT_DOUBLE_EQ(rows[0][0], 0.5);
    EXPECT_DOUBLE_EQ(rows[4][0], 2.5);
    EXPECT_NEAR(rows[4][1], level, 0.02);                                        // LCF settled
    EXPECT_NEAR(rows[4][2], level + 10.0 * std::log10(-std::expm1(-2.5)), 0.02); // LCS rising
    EXPECT_NEAR(rows[4][4], level + 3.01, 0.02); // a span without the onset

    // --seconds reads the file's start only; the A weighting names its columns.
    const Session a = Sonvel("spl '" + wave + "' --seconds 1.2 --interval 0.4");
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_NE(a.out.find("Summary over 1.200 s"), std::string::npos) << a.out;
    EXPECT_NE(a.out.find("LAF"), std::string::npos);
}

TEST_F(SplCommand, ALiveRunReadsDbSplOnceTheInputHasAReference) {
    const std::string args = "spl --sim loopback --seconds 0.5 --interval 0.25";
    const Session before = Sonvel(args);
    ASSERT_EQ(before.status, 0) << before.err;
    EXPECT_NE(before.out.find("Summary over 0.500 s (dB re full scale)"), std::string::npos)
        << before.out;
    ASSERT_EQ(
        Sonvel("--set Dev.OutputPCMAmplitude=0.5 cal spl --sim loopback --play tone --level 94 "
               "--seconds 1")
            .status,
        0);
    const Session after = Sonvel(args);
    ASSERT_EQ(after.status, 0) << after.err;
    EXPECT_NE(after.out.find("Summary over 0.500 s (dB SPL)"), std::string::npos) << after.out;
    EXPECT_NE(after.out.find("     0.250 s  LAF"), std::string::npos) << after.out;
}

TEST_F(SplCommand, BadInputFailsClearlyAndWritesNothing) {
    const std::string csv = (dir / "levels.csv").string();
    const std::string tone = Wave("tone.wav", LiveTest::Sine(1000.0, 48000.0, 4800), 48000);
    const std::string slow = Wave("slow.wav", LiveTest::Sine(1000.0, 22050.0, 2205), 22050);
    std::ofstream(dir / "text.wav") << "not audio\n";
    const std::string cut = Wave("cut.wav", LiveTest::Sine(1000.0, 48000.0, 4800), 48000);
    fs::resize_file(cut, 30);
    struct Case {
        std::string args;
        int status;
        std::string says;
    };
    const Case cases[] = {
        {"spl '" + (dir / "text.wav").string() + "'", 1, "cannot read"},
        {"spl '" + (dir / "missing.wav").string() + "'", 1, "cannot read"},
        {"spl '" + cut + "'", 1, "cannot read"},
        {"spl '" + slow + "'", 1, "22050 Hz; the weightings are made for 44100"},
        {"spl '" + tone + "' --weighting B", 2, "--weighting must be A, C or Z"},
        {"spl '" + tone + "' --interval 0.0009", 2, "--interval must be at least 0.001 s"},
        {"spl '" + tone + "' --seconds 0", 2, "--seconds must be more than 0"},
        {"spl '" + tone + "' --sim loopback", 2, "not both"},
        {"spl --sim dead --seconds 1", 1, "the input delivered nothing"},
    };
    for (const Case& c : cases) {
        const Session s = Sonvel(c.args + " --csv '" + csv + "'");
        EXPECT_EQ(s.status, c.status) << c.args;
        EXPECT_NE(s.err.find(c.says), std::string::npos) << c.args << ": " << s.err;
        EXPECT_FALSE(fs::exists(csv)) << c.args;
    }
}

// Ctrl+C ends a live run as --seconds would: the summary and the CSV of what was measured,
// exit 0, rather than everything lost with the process.
TEST_F(SplCommand, CtrlCEndsALiveRunAndKeepsWhatWasMeasured) {
    const std::string csv = (dir / "l.csv").string();
    // Ctrl+C once the first reading is out, as a user presses it, however slow the start.
    const std::filesystem::path script = dir / "ctrl-c.sh";
    SonvelTest::WriteBytes(script, "\"$@\" & p=$!\n"
                                   "for i in $(seq 600); do\n"
                                   "  grep -q ' s  L' '" +
                                       (dir / "stdout.txt").string() +
                                       "' 2>/dev/null && break; sleep 0.05\n"
                                       "done\n"
                                       "kill -INT $p; wait $p\n");
    const Session s = SonvelTest::RunProgram("sh '" + script.string() + "' " + SONVEL_BINARY, dir,
                                             "spl --sim room --seconds 100000 --csv '" + csv + "'");
    ASSERT_EQ(s.status, 0) << s.out << s.err;
    EXPECT_NE(s.out.find("Stopped by Ctrl+C after"), std::string::npos) << s.out;
    std::istringstream in(Read(csv));
    std::string line;
    int rows = -1;
    while (std::getline(in, line))
        ++rows;
    EXPECT_GT(rows, 0);
    EXPECT_NE(s.out.find("Wrote " + std::to_string(rows) + " rows"), std::string::npos) << s.out;
}

} // namespace
