#include "app/FrontEnd.h"
#include "app/Options.h"
#include "app/OptionsTestRecords.h"

#include "support/CommaLocale.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Kedra::Sonvel::ScriptedFrontEnd;
using Kedra::Sonvel::Conf::Options;
using Kedra::Sonvel::Conf::OptionsField;
using OptionsTesting::EveryFieldChanged;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

class OptionsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = SonvelTest::TempDir() / "options" / info->name();
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        user_ = dir_ / "user";
        Kedra::Sonvel::Conf::SetUserDirectory(user_);
        Options::Reset();
        Options::SetFrontEnd(&frontEnd_);
    }
    void TearDown() override {
        Options::SetFrontEnd(nullptr);
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    }

    fs::path dir_;
    fs::path user_;
    ScriptedFrontEnd frontEnd_;
};

TEST_F(OptionsFileTest, EveryFieldRoundTripsThroughAFile) {
    OptionsField changed = EveryFieldChanged(user_);
    Options::Field = changed;
    const fs::path file = dir_ / "all.xml";
    ASSERT_TRUE(Options::SaveData(file.string()));
    const std::string text = ReadFile(file);
    EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<OptionsField", 0), 0u)
        << text.substr(0, 80);
    Options::Reset();
    ASSERT_TRUE(Options::VerifyProductVersion(file.string()));
    ASSERT_TRUE(Options::LoadData(file.string()));
    changed.WriterProductVersion = Options::ProgramVersion();
    EXPECT_EQ(Options::Field, changed);
    EXPECT_TRUE(frontEnd_.Log().empty());
}

TEST_F(OptionsFileTest, AMissingOrUnreadableFileKeepsTheOptions) {
    Options::Field.Comment = "kept";
    const fs::path missing = dir_ / "missing.xml";
    EXPECT_FALSE(Options::LoadData(missing.string()));
    EXPECT_NE(SonvelTest::ReadLog().find(
                  "WARNING Options::LoadData - File Does not exist: " + missing.string() + " In " +
                  fs::current_path().string() + "\n"),
              std::string::npos);
    // A directory is no file either; neither says more than the log line.
    EXPECT_FALSE(Options::LoadData(dir_.string()));
    EXPECT_FALSE(Options::VerifyProductVersion(missing.string()));
    EXPECT_EQ(Options::FileWriterVersion(), "Unknown");
    EXPECT_TRUE(frontEnd_.Log().empty());

    const fs::path garbage = dir_ / "garbage.xml";
    WriteFile(garbage, "<OptionsField><WriterProductVersion>1.2.0.0</Writer");
    EXPECT_FALSE(Options::LoadData(garbage.string(), true));
    EXPECT_TRUE(frontEnd_.Saw("File:    " + garbage.string() + "\nVersion: Unknown\n"));

    const fs::path locked = dir_ / "locked.xml";
    Options::Field.Comment = "locked";
    ASSERT_TRUE(Options::SaveData(locked.string()));
    Options::Field.Comment = "kept";
    fs::permissions(locked, fs::perms::none);
    if (::access(locked.c_str(), R_OK) == 0) {
        std::printf("  (running as a user who reads any file: the unreadable case is skipped)\n");
    } else {
        EXPECT_FALSE(Options::LoadData(locked.string(), false));
        EXPECT_NE(SonvelTest::ReadLog().find("WARNING Options::LoadData(" + locked.string() +
                                             ") - cannot open it -> options kept"),
                  std::string::npos);
    }
    EXPECT_EQ(Options::Field.Comment, "kept");
}

TEST_F(OptionsFileTest, AutoSaveAndLoadAutoSavedUseTheUserDirectory) {
    const std::string expected = (user_ / "RazeriRerirov.xml").string();
    EXPECT_EQ(Options::AutoSavePath(), expected);
    EXPECT_FALSE(Options::LoadAutoSaved(false));
    EXPECT_TRUE(frontEnd_.Log().empty());
    EXPECT_FALSE(Options::LoadAutoSaved(true));
    ASSERT_EQ(frontEnd_.Log().size(), 1u);
    EXPECT_EQ(frontEnd_.Log()[0].title, "Sonvel - Warning");
    EXPECT_EQ(frontEnd_.Log()[0].text, "Warning! Cannot find the autosaved options\n\n"
                                       "Details : The following file does not exist\n" +
                                           expected);

    // The first autosave creates the user directory.
    ASSERT_FALSE(fs::exists(user_));
    Options::Field.Dev.SamplerateNo = 3;
    ASSERT_TRUE(Options::AutoSave());
    ASSERT_TRUE(fs::is_regular_file(expected));
    Options::Reset();
    EXPECT_TRUE(Options::LoadAutoSaved(true));
    EXPECT_EQ(Options::Field.Dev.SamplerateNo, 3);
    EXPECT_EQ(frontEnd_.Log().size(), 1u);
    EXPECT_EQ(Kedra::Sonvel::Conf::FilePath("x.cal"), (user_ / "x.cal").string());
}

TEST_F(OptionsFileTest, AFailedSaveKeepsThePreviousFile) {
    const fs::path file = dir_ / "opts.xml";
    Options::Field.Comment = "first";
    ASSERT_TRUE(Options::SaveData(file.string()));
    const std::string before = ReadFile(file);

    Options::Field.Comment = "second";
    for (const fs::path& bad : {dir_ / "no-dir" / "o.xml", file / "o.xml", dir_})
        EXPECT_FALSE(Options::SaveData(bad.string())) << bad;

    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
    if (::access(dir_.c_str(), W_OK) == 0) {
        fs::permissions(dir_, fs::perms::owner_all);
        GTEST_SKIP() << "running as a user who writes into a read-only directory (root): "
                        "a refused save cannot be made";
    }
    EXPECT_FALSE(Options::SaveData(file.string()));
    fs::permissions(dir_, fs::perms::owner_all);
    EXPECT_EQ(ReadFile(file), before);
    EXPECT_NE(SonvelTest::ReadLog().find("WARNING Options::SaveData(" + file.string() +
                                         ") - cannot create "),
              std::string::npos);
    for (const auto& e : fs::directory_iterator(dir_))
        EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
    Options::Reset();
    ASSERT_TRUE(Options::LoadData(file.string()));
    EXPECT_EQ(Options::Field.Comment, "first");
}

// A German desktop's locale must change neither the file nor what is read from it.
TEST_F(OptionsFileTest, NumbersIgnoreACommaDecimalLocale) {
    const fs::path file = dir_ / "locale.xml";
    Options::Field.Signal.SqNoiseAmplitude = 0.25;
    Options::Field.Dev.OutputPCMAmplitude = 0.5f;
    Options::Field.Plot.PlotDbMax = 1234567.5;
    ASSERT_TRUE(Options::SaveData(file.string()));
    const std::string inC = ReadFile(file);

    const SonvelTest::ScopedCommaLocale locale;
    if (locale.Name() == nullptr)
        GTEST_SKIP() << "no comma-decimal locale is installed (locale -a) and localedef could "
                        "not build de_DE.UTF-8";
    char probe[32];
    std::snprintf(probe, sizeof(probe), "%g", 0.5);
    ASSERT_STREQ(probe, "0,5");

    ASSERT_TRUE(Options::SaveData(file.string()));
    EXPECT_EQ(ReadFile(file), inC);
    EXPECT_NE(inC.find("<SqNoiseAmplitude>0.25</SqNoiseAmplitude>"), std::string::npos);
    EXPECT_NE(inC.find("<OutputPCMAmplitude>0.5</OutputPCMAmplitude>"), std::string::npos);
    Options::Reset();
    ASSERT_TRUE(Options::LoadData(file.string()));
    EXPECT_EQ(Options::Field.Signal.SqNoiseAmplitude, 0.25);
    EXPECT_EQ(Options::Field.Dev.OutputPCMAmplitude, 0.5f);
    EXPECT_EQ(Options::Field.Plot.PlotDbMax, 1234567.5);
    // A comma is as foreign to the file under this locale as under any other.
    ASSERT_TRUE(Options::LoadText(
        "<OptionsField><WriterProductVersion>" + Options::ProgramVersion() +
            "</WriterProductVersion><Signal><SqNoiseFreq>0,7</SqNoiseFreq></Signal></OptionsField>",
        false, "comma.xml"));
    EXPECT_EQ(Options::Field.Signal.SqNoiseFreq, 0.9);
}

} // namespace
