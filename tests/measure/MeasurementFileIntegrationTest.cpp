// Measurements saved to and opened from files: every setting survives FLAC and wave, the
// refusals leave a record without data and say why in the log.
#include "measure/MeasurementFile.h"

#include "measure/Measurement.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

using namespace Kedra::Measure;
namespace MF = Kedra::Measure::MeasurementFile;
namespace fs = std::filesystem;
using SonvelTest::ReadBytes;
using SonvelTest::WriteBytes;

namespace {

fs::path Dir(const std::string& name) {
    const fs::path dir = SonvelTest::TempDir() / "measurement-file" / name;
    fs::create_directories(dir);
    return dir;
}

// A sweep record with every setting moved away from its default.
void FillChanged(Measurement& m, int n, int rate) {
    std::mt19937 rng(7);
    std::normal_distribution<double> g(0.0, 0.3);
    std::vector<double> s(static_cast<std::size_t>(n));
    for (double& x : s)
        x = g(rng);
    s[static_cast<std::size_t>(n / 4)] = -2.75;
    m.InitializeImpulse(s.data(), n, n / 4, rate, 14, 1, 0.125, 22.5, true);
    m.SetLabel("Woofer, 1 m = on axis");
    m.PostInitSetOffset(3.125);
    m.OffsetAbsolute(-17.0625);
    m.SetAmplitude(0.4375);
    m.SetInverted(true);
    m.SetRecChannels(2);
    m.SetRecMaxAmplitude(0.8125);
    m.SetTimeZeroMethod(3);
    m.SetRecDate("2026-12-08, 19:00:00");
    m.SetApplicationId(4);
    m.SetApplicationAttrib1(-7);
    m.SetApplicationAttrib2(12345);
    m.SetApplicationInfo("room A");
    m.SetLowpass(5000.5, 800.25);
    m.SetLowpassEnabled(true);
    m.SetHighpass(40.75, 20.5);
    m.SetHighpassEnabled(true);
    m.SetSmoothNOct(6.0);
    m.SetSmoothingEnabled(true);
    m.SetSmoothingComplex(true);
    m.SetImpulseWindowStart(-250, true);
    m.SetImpulseWindowEnd(3000);
    m.SetImpulseWindowEnabled(true);
    m.SetImpulseWindowLockStart(true);
}

} // namespace

TEST(MeasurementFileIntegration, EverySettingAndSampleSurvivesFlacAndWave) {
    Measurement original("o");
    FillChanged(original, 6000, 96000);
    const MF::KeyMap keys = MF::SettingsKeys(original);
    ASSERT_EQ(keys.at("Application_Id"), "LumadiRoom");
    double peak = 0.0;
    for (int i = 0; i < 6000; ++i)
        peak = std::max(peak, std::fabs(original.GetIData()[i]));

    for (const bool asWave : {false, true}) {
        const fs::path base = Dir(asWave ? "wave" : "flac") / "m";
        ASSERT_TRUE(MF::Save(original, base.string(), asWave));
        const std::string info = ReadBytes(base.string() + ".info");
        EXPECT_NE(info.find(asWave ? "Data_FileFormat\t= wav\n" : "Data_FileFormat\t= flac\n"),
                  std::string::npos);
        EXPECT_TRUE(fs::exists(base.string() + (asWave ? ".wav" : ".flac")));

        Measurement back("previous");
        const std::vector<double> other(100, 1.0);
        back.InitializeImpulse(other.data(), 100, 50, 44100, 8, 0, 0.0, 0.0, true);
        ASSERT_TRUE(MF::Open(base.string(), back, 15));
        EXPECT_EQ(MF::SettingsKeys(back), keys) << (asWave ? "wave" : "flac");
        EXPECT_EQ(back.GetExponent(), 15);
        EXPECT_EQ(back.GetN(), 1 << 15);
        EXPECT_EQ(back.GetFileVersion(), MF::FILE_VERSION);
        EXPECT_EQ(back.GetImpulsePosition(), original.GetImpulsePosition());
        EXPECT_EQ(back.GetHarmonicCount(), original.GetHarmonicCount());
        double worst = 0.0;
        for (int i = 0; i < 6000; ++i)
            worst = std::max(worst, std::fabs(back.GetIData()[i] - original.GetIData()[i]));
        EXPECT_LE(worst, peak / 8388607.0) << (asWave ? "wave" : "flac");
        EXPECT_GT(worst, 0.0) << "24-bit data cannot be exact for Gaussian noise";
    }
}

TEST(MeasurementFileIntegration, RateFlacCannotStoreFallsBackToWave) {
    Measurement m("fast");
    const std::vector<double> s(512, 0.25);
    m.InitializeImpulse(s.data(), 512, 0, 2000000, 9, 0, 0.0, 0.0, true);
    const fs::path base = Dir("fallback") / "m";
    ASSERT_TRUE(MF::Save(m, base.string(), false));
    EXPECT_FALSE(fs::exists(base.string() + ".flac"));
    EXPECT_NE(ReadBytes(base.string() + ".info").find("Data_FileFormat\t= wav\n"),
              std::string::npos);
    Measurement back("b");
    ASSERT_TRUE(MF::Open(base.string(), back, 9));
    EXPECT_EQ(back.GetSamplerate(), 2000000);
    EXPECT_NEAR(back.GetIData()[100], 0.25, 0.25 / 8388607.0);
    EXPECT_NE(SonvelTest::ReadLog().find("FLAC failed"), std::string::npos);

    Measurement empty("e");
    EXPECT_FALSE(MF::Save(empty, (Dir("fallback") / "empty").string(), false));
    EXPECT_FALSE(fs::exists(Dir("fallback") / "empty.info"));
}

// The FLAC file itself cannot be written (a directory holds its name): wave data instead.
TEST(MeasurementFileIntegration, UnwritableFlacFallsBackToWave) {
    Measurement m("blocked");
    FillChanged(m, 3000, 48000);
    const fs::path base = Dir("blocked") / "m";
    fs::create_directories(base.string() + ".flac");
    ASSERT_TRUE(MF::Save(m, base.string(), false));
    EXPECT_TRUE(fs::is_directory(base.string() + ".flac"));
    EXPECT_TRUE(fs::is_regular_file(base.string() + ".wav"));
    EXPECT_NE(ReadBytes(base.string() + ".info").find("Data_FileFormat\t= wav\n"),
              std::string::npos);
    EXPECT_NE(SonvelTest::ReadLog().find("FLAC failed (cannot rename"), std::string::npos);
    Measurement back("b");
    ASSERT_TRUE(MF::Open(base.string(), back, 14));
    EXPECT_EQ(MF::SettingsKeys(back), MF::SettingsKeys(m));
    for (int i = 0; i < 3000; ++i)
        ASSERT_NEAR(back.GetIData()[i], m.GetIData()[i], 2.75 / 8388607.0) << i;
}

TEST(MeasurementFileIntegration, RefusedFilesLeaveNoDataAndOneWarning) {
    // Damaged data and absurd keys are tried from memory and in packages; here the file
    // handling and the warning texts.
    const fs::path dir = Dir("refused");
    Measurement good("g");
    FillChanged(good, 4000, 48000);
    ASSERT_TRUE(MF::Save(good, (dir / "good").string(), false));
    const std::string info = ReadBytes(dir / "good.info");
    auto replaced = [&](const std::string& key, const std::string& value) {
        MF::KeyMap k = MF::ParseInfo(info);
        if (value.empty())
            k.erase(key);
        else
            k[key] = value;
        return MF::RenderInfo(k);
    };
    struct Case {
        std::string name;
        std::string infoText; // written as name.info unless empty; no data file beside it
        std::string tail;
    };
    const std::vector<Case> cases = {
        {"missing", "", "Failed to open: " + (dir / "missing").string() + ".info\n"},
        {"novital", replaced("Data_FileFormat", ""), "Failed to read vital keys"},
        {"ogg", replaced("Data_FileFormat", "ogg"), "Unsupported  Data_FileFormat: ogg"},
        {"nodata", info, "Failed to open: " + (dir / "nodata").string() + ".flac ("},
    };
    for (const Case& c : cases) {
        const fs::path base = dir / c.name;
        if (!c.infoText.empty())
            WriteBytes(base.string() + ".info", c.infoText);
        Measurement m("held");
        FillChanged(m, 1000, 44100);
        EXPECT_FALSE(MF::Open(base.string(), m, 14)) << c.name;
        EXPECT_FALSE(m.IsInitialized()) << c.name;
        EXPECT_EQ(m.GetIData(), nullptr) << c.name;
        const std::string line =
            "WARNING MeasurementCore::Open( " + base.string() + " ) - " + c.tail;
        EXPECT_NE(SonvelTest::ReadLog().find(line), std::string::npos) << line;
    }
    Measurement m("p");
    EXPECT_FALSE(MF::Open((dir / "good").string(), m, 0));
    EXPECT_TRUE(MF::Open((dir / "good").string(), m, 12));
}
