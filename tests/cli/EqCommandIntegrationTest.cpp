#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

class EqCommand : public ::testing::Test {
protected:
    void SetUp() override {
        dir =
            SonvelTest::TempDir() /
            ("eq-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        const auto m = Sonvel("measure --sim room");
        ASSERT_EQ(m.status, 0) << m.err;
        ASSERT_EQ(Sonvel("window A --off").status, 0);
    }
    SonvelTest::ProgramRun Sonvel(const std::string& args) {
        return SonvelTest::RunProgram(SONVEL_BINARY, dir, args);
    }
    fs::path dir;
};

TEST_F(EqCommand, BadRequestsExitWithTheReasonAndWriteNothing) {
    SonvelTest::WriteBytes(dir / "garbage.txt", "not a response\n\x01\x02\n");
    SonvelTest::WriteBytes(dir / "level.txt", "# Hz dB\n1000 abc\n");
    SonvelTest::WriteBytes(dir / "twice.txt", "20 0\n100 5\n100 -5\n");
    SonvelTest::WriteBytes(dir / "one.txt", "1000 0\n");
    const std::string out = (dir / "eq.txt").string();
    const struct {
        std::string args, says;
    } cases[] = {
        {"eq 7", "holds no measurement"},
        {"eq A --from 10 --to 30000", "--from 10 --to 30000"},
        {"eq A --q 5,1", "--q 5,1"},
        {"eq A --max-boost 0 --max-cut 0", "not both 0"},
        {"eq A --device minidsp-2x4hd --filters 12", "1 to 10"},
        {"eq A --target house:6", "LF_DB,LF_HZ,HF_DB"},
        {"eq A --target '" + (dir / "garbage.txt").string() + "'", "cannot read the target"},
        {"eq A --target '" + (dir / "missing.txt").string() + "'", "cannot read the target"},
        {"eq A --target '" + (dir / "level.txt").string() + "'",
         "line 2: 'abc' is not a level in dB"},
        {"eq A --target '" + (dir / "twice.txt").string() + "'",
         "line 3: 100 Hz does not rise above the 100 Hz of line 2"},
        {"eq A --target '" + (dir / "one.txt").string() + "'", "only one point"},
    };
    for (const auto& c : cases) {
        const auto r = Sonvel(c.args + " --out '" + out + "' --into 6");
        EXPECT_EQ(r.status, 1) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << "\n" << r.err;
        EXPECT_FALSE(fs::exists(out)) << c.args;
    }
    EXPECT_EQ(Sonvel("info 6").status, 1) << "no prediction was placed";
}

TEST_F(EqCommand, FitsWritesTheFormatAndPredictsIntoASlot) {
    // A target file in the response import's format: a house curve by points.
    SonvelTest::WriteBytes(dir / "target.frd", "20 6\n100 3\n300 0\n20000 -3\n");
    const std::string out = (dir / "eq.txt").string();
    const auto r = Sonvel("eq A --target '" + (dir / "target.frd").string() +
                          "' --from 30 --to 300 --format apo --out '" + out + "' --into 6");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("after RMS"), std::string::npos) << r.out;
    const std::string apo = SonvelTest::ReadBytes(out);
    EXPECT_EQ(apo.rfind("Preamp: -", 0), 0u) << apo;
    EXPECT_NE(apo.find("Filter 1: ON PK Fc "), std::string::npos) << apo;
    EXPECT_FALSE(fs::exists(out + ".sonvel-part"));
    const auto info = Sonvel("info 6");
    EXPECT_EQ(info.status, 0) << info.err;
}

} // namespace
