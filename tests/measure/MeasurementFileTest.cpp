// The info text and the data files of a measurement, from memory: key list and number
// format, the reader's tolerance and its refusals, FLAC and wave data against the samples
// they were made from.
#include "measure/MeasurementFile.h"

#include "analyze/SequenceAnalysis.h"
#include "exchange/WaveFile.h"
#include "measure/FlacData.h"
#include "measure/Measurement.h"
#include "support/CommaLocale.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <random>
#include <span>
#include <string>
#include <vector>

using namespace Kedra::Measure;
namespace MF = Kedra::Measure::MeasurementFile;

namespace {

std::vector<double> Noise(int n, double peak, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-peak, peak);
    std::vector<double> v(static_cast<std::size_t>(n));
    for (double& x : v)
        x = u(rng);
    return v;
}

std::span<const unsigned char> Bytes(const std::vector<unsigned char>& v) {
    return {v.data(), v.size()};
}

// The info text of a valid FLAC measurement of `n` samples, with `change` applied to its keys.
std::string InfoText(int n, const std::string& format, double amplitude,
                     void (*change)(MF::KeyMap&) = nullptr) {
    MF::KeyMap k{{"File_Version", "104"},
                 {"Data_FileFormat", format},
                 {"Data_L", std::to_string(n)},
                 {"Data_Samplerate", "48000"},
                 {"Data_Offset", "10"}};
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof(buf), amplitude);
    k["Data_Amplitude"] = std::string(buf, r.ptr);
    if (change != nullptr)
        change(k);
    return MF::RenderInfo(k);
}

std::string Printf30(double x) {
    char buf[64];
    std::snprintf(buf, sizeof(buf), "%.30g", x);
    return buf;
}

} // namespace

TEST(MeasurementInfo, LinesAreKeyTabEqualsValueInByteOrder) {
    EXPECT_EQ(MF::RenderInfo({{"b", "2"}, {"a", "x y"}, {"B", ""}}), "B\t= \na\t= x y\nb\t= 2\n");

    Measurement m("label");
    const std::vector<double> s = Noise(64, 0.5, 1);
    m.InitializeImpulse(s.data(), 64, 32, 48000, 6, 0, 0.0, 0.0, true);
    const std::string info = MF::GetInfo(m);
    // Upper case sorts before lower case: "FR_" comes before "File_", "ImpulseW" before "Info_".
    EXPECT_LT(info.find("FR_LowpassStart\t= "), info.find("File_Version\t= 104\n"));
    EXPECT_LT(info.find("ImpulseWindow_StartSample"), info.find("Info_Amplified"));
    std::string previous;
    std::size_t lines = 0;
    for (std::size_t pos = 0; pos < info.size(); ++lines) {
        const std::size_t end = info.find('\n', pos);
        ASSERT_NE(end, std::string::npos);
        const std::string key = info.substr(pos, info.find('\t', pos) - pos);
        EXPECT_LT(previous, key);
        previous = key;
        pos = end + 1;
    }
    // Every key but the two a save adds, and Plot_Shown while the record does not know it.
    EXPECT_EQ(lines, 34u);
    EXPECT_NE(info.find("Plot_Colour\t= \n"), std::string::npos);
    EXPECT_EQ(info.find("Plot_Shown"), std::string::npos);
    EXPECT_EQ(info.find("Data_FileFormat"), std::string::npos);
    EXPECT_NE(info.find("Info_Label\t= label\n"), std::string::npos);
    EXPECT_NE(info.find("Rec_TimeZeroMethod\t= PostivePeak\n"), std::string::npos);

    Measurement empty("e");
    EXPECT_EQ(MF::GetInfo(empty), "Not initialized");
}

TEST(MeasurementInfo, DoublesHaveThirtyDigitsAndReadBackExactly) {
    Measurement m("d");
    const std::vector<double> s = Noise(64, 0.5, 2);
    m.InitializeImpulse(s.data(), 64, 32, 48000, 6, 1, 0.1, 1e-300, true);
    m.PostInitSetOffset(-1.0 / 3.0);
    const MF::KeyMap keys = MF::SettingsKeys(m);
    EXPECT_EQ(keys.at("Signal_TypeFactor1"), Printf30(0.1));
    EXPECT_EQ(keys.at("Signal_TypeFactor1"), "0.100000000000000005551115123126");
    EXPECT_EQ(keys.at("Signal_TypeFactor2"), Printf30(1e-300));
    EXPECT_EQ(keys.at("Rec_Offset"), Printf30(-1.0 / 3.0));
    EXPECT_EQ(keys.at("FR_Smoothing_NOct"), "3");
    EXPECT_EQ(keys.at("Signal_Type"), "LogSweep");
    EXPECT_EQ(keys.at("Application_Id"), "Unknown");
}

TEST(MeasurementInfo, ParserTrimsSplitsAtFirstEqualsAndKeepsTheLastValue) {
    const MF::KeyMap k = MF::ParseInfo("  a \t=  1 \r\n"
                                       "no equals sign\n"
                                       "=orphan value\n"
                                       "label\t= x = y\n"
                                       "a\t= 2\n"
                                       "empty\t=\n"
                                       "\n"
                                       "last = no line end");
    EXPECT_EQ(k.size(), 4u);
    EXPECT_EQ(k.at("a"), "2");
    EXPECT_EQ(k.at("label"), "x = y");
    EXPECT_EQ(k.at("empty"), "");
    EXPECT_EQ(k.at("last"), "no line end");

    // An overlong line is cut, not carried into the next key.
    const std::string longValue(MF::MAX_LINE + 500, 'v');
    const MF::KeyMap cut = MF::ParseInfo("k = " + longValue + "\nnext = 1\n");
    EXPECT_EQ(cut.at("k").size(), MF::MAX_LINE - 4);
    EXPECT_EQ(cut.at("next"), "1");

    // Binary garbage gives some keys or none, never a crash.
    std::string garbage(4096, '\0');
    std::mt19937 rng(3);
    for (char& c : garbage)
        c = static_cast<char>(rng());
    MF::ParseInfo(garbage);
}

TEST(MeasurementInfo, RefusesMissingVitalKeysBadNumbersAndAbsurdDataKeys) {
    struct Case {
        const char* what;
        void (*change)(MF::KeyMap&);
        const char* error;
    };
    const Case cases[] = {
        {"no version", [](MF::KeyMap& k) { k.erase("File_Version"); }, "Failed to read vital keys"},
        {"no format", [](MF::KeyMap& k) { k.erase("Data_FileFormat"); },
         "Failed to read vital keys"},
        {"mp3", [](MF::KeyMap& k) { k["Data_FileFormat"] = "mp3"; },
         "Unsupported  Data_FileFormat: mp3"},
        {"2e9 samples", [](MF::KeyMap& k) { k["Data_L"] = "2000000000"; },
         "Data out of range: Data_L = 2000000000"},
        // No record holds more than 2^24 samples; FLAC would shrink a forged one 4000:1.
        {"2^24+1", [](MF::KeyMap& k) { k["Data_L"] = "16777217"; },
         "Data out of range: Data_L = 16777217 (at most 16777216 samples)"},
        {"zero length", [](MF::KeyMap& k) { k["Data_L"] = "0"; }, "Data out of range: Data_L = 0"},
        {"negative length", [](MF::KeyMap& k) { k["Data_L"] = "-5"; }, "Data_L = -5"},
        {"no length", [](MF::KeyMap& k) { k.erase("Data_L"); }, "Data_L = 0"},
        {"beyond int", [](MF::KeyMap& k) { k["Data_L"] = "99999999999999999999"; },
         "Not a number: Data_L"},
        {"trailing text", [](MF::KeyMap& k) { k["Data_L"] = "12abc"; }, "Not a number: Data_L"},
        {"zero rate", [](MF::KeyMap& k) { k["Data_Samplerate"] = "0"; }, "Data_Samplerate = 0"},
        {"negative offset", [](MF::KeyMap& k) { k["Data_Offset"] = "-1"; }, "Data_Offset = -1"},
        {"huge view offset", [](MF::KeyMap& k) { k["Info_Offset"] = "1e300"; }, "Info_Offset"},
        {"nan offset", [](MF::KeyMap& k) { k["Rec_Offset"] = "nan"; }, "Not a number: Rec_Offset"},
        {"infinite filter", [](MF::KeyMap& k) { k["FR_LowpassStart"] = "inf"; },
         "Not a number: FR_LowpassStart"},
        {"comma decimal", [](MF::KeyMap& k) { k["Info_Amplified"] = "0,5"; },
         "Not a number: Info_Amplified"},
        // Every later level change divides by it.
        {"zero amplitude", [](MF::KeyMap& k) { k["Info_Amplified"] = "-0"; },
         "Data out of range: Info_Amplified = -0"},
        {"window beyond any data",
         [](MF::KeyMap& k) { k["ImpulseWindow_StartSample"] = "-2147483648"; },
         "Data out of range: ImpulseWindow_StartSample = -2147483648"},
        {"window end beyond any data",
         [](MF::KeyMap& k) { k["ImpulseWindow_EndSample"] = "134217729"; },
         "ImpulseWindow_EndSample"},
        {"word for a flag", [](MF::KeyMap& k) { k["Info_Inverted"] = "yes"; }, "Info_Inverted"},
    };
    for (const Case& c : cases) {
        std::string format;
        std::string error;
        const MF::KeyMap keys = MF::ParseInfo(InfoText(100, "flac", 1.0, c.change));
        EXPECT_FALSE(MF::CheckInfo(keys, format, error)) << c.what;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
    }
    std::string format;
    std::string error;
    EXPECT_TRUE(MF::CheckInfo(MF::ParseInfo(InfoText(100, "wav", 1.0)), format, error)) << error;
    EXPECT_EQ(format, "wav");
}

// Files written by other programs or by hand leave keys out: each missing one reads as its
// default, whatever the record held before, and the samples keep their level.
TEST(MeasurementInfo, MissingAmplitudeTimeZeroMethodAndLabelReadAsDefaults) {
    // 0.5 and -0.25 are exact 16-bit codes (16384 and -8192 of 32768).
    std::vector<unsigned char> wave;
    const std::vector<float> samples = {0.5f, -0.25f, 0.0f, 0.125f};
    ASSERT_EQ(Kedra::WaveImExport::ArrayWaveExportToMemory(samples.data(), 4, 48000,
                                                           Kedra::WaveImExport::WaveFormat::Pcm16,
                                                           "", false, wave),
              4);
    std::vector<unsigned char> flac;
    const std::vector<double> full = {1.0, -0.5, 0.25, 0.0};
    double flacScale = 0.0;
    std::string error;
    ASSERT_TRUE(Flac::Encode24(full.data(), 4, 48000, flacScale, flac, error));
    const std::string wholeInfo =
        "File_Version\t= 104\n"
        "Data_FileFormat\t= wav\n"
        "Data_L\t= 4\n"
        "Data_Samplerate = 48000\n"
        "Data_Offset=1\n"
        "Info_Label\t= by hand\n"
        "Rec_TimeZeroMethod\t= " +
        std::string(Kedra::Analyze::TZMToString(static_cast<Kedra::Analyze::TZM>(2))) + "\n";
    const auto without = [&](const std::string& key) {
        std::string text = wholeInfo;
        const auto at = text.find(key);
        return text.erase(at, text.find('\n', at) + 1 - at);
    };

    Measurement m("before");
    m.InitializeDirac(4, 44100, 1.0);
    m.SetTimeZeroMethod(2);
    m.SetSmoothingComplex(true);
    MF::Loaded loaded;
    // No Data_Amplitude: the wave's samples as libsndfile reads them, not silence.
    ASSERT_TRUE(MF::LoadFromMemory(wholeInfo, Bytes(wave), loaded, error)) << error;
    MF::Apply(loaded, m, 2);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(m.GetIData()[i], samples[static_cast<std::size_t>(i)]) << i;
    EXPECT_EQ(m.GetLabel(), "by hand");
    EXPECT_EQ(m.GetTimeZeroMethod(), 2);
    EXPECT_FALSE(m.GetSmoothingComplex());

    std::string flacInfo = wholeInfo;
    flacInfo.replace(flacInfo.find("wav"), 3, "flac");
    ASSERT_TRUE(MF::LoadFromMemory(flacInfo, Bytes(flac), loaded, error)) << error;
    for (int i = 0; i < 4; ++i)
        EXPECT_NEAR(loaded.samples.data()[i], full[static_cast<std::size_t>(i)], 1.0 / 8388607.0);

    // No time-zero method: the first, as for a name it does not know; not the one it held.
    ASSERT_TRUE(MF::LoadFromMemory(without("Rec_TimeZeroMethod"), Bytes(wave), loaded, error));
    MF::Apply(loaded, m, 2);
    EXPECT_EQ(m.GetTimeZeroMethod(), 0);
    // No label: empty, not the label of what the slot held before.
    ASSERT_TRUE(MF::LoadFromMemory(without("Info_Label"), Bytes(wave), loaded, error));
    MF::Apply(loaded, m, 2);
    EXPECT_EQ(m.GetLabel(), "");
    // An explicit zero scale is a saved silence and stays silent.
    ASSERT_TRUE(MF::LoadFromMemory(wholeInfo + "Data_Amplitude = 0\n", Bytes(wave), loaded, error));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(loaded.samples.data()[i], 0.0);
}

TEST(MeasurementData, FlacCodesAreRoundedToTheSamplesOverTheirPeak) {
    // Samples placed at known codes (and 0.4 of a step off them) come back on those codes.
    const double peak = 0.75;
    const double step = peak / 8388607.0;
    std::vector<double> s = {peak,
                             -peak,
                             0.0,
                             1234567 * step,
                             (-4000000 + 0.4) * step,
                             (17 - 0.4) * step,
                             0.5 * step * 0.98};
    std::vector<unsigned char> flac;
    double scale = 0.0;
    std::string error;
    ASSERT_TRUE(Flac::Encode24(s.data(), static_cast<int>(s.size()), 48000, scale, flac, error))
        << error;
    EXPECT_EQ(scale, peak);
    const std::vector<double> expected = {peak,      -peak, 0.0, 1234567 * step, -4000000 * step,
                                          17 * step, 0.0};
    Mem::Array<double> out;
    ASSERT_TRUE(Flac::Decode(Bytes(flac), static_cast<int>(s.size()), scale, out, error)) << error;
    for (std::size_t i = 0; i < s.size(); ++i)
        EXPECT_NEAR(out.data()[i], expected[i], 1e-12 * peak) << i;

    // Silence has no peak to divide by.
    const std::vector<double> silence(1000, 0.0);
    ASSERT_TRUE(Flac::Encode24(silence.data(), 1000, 48000, scale, flac, error));
    EXPECT_EQ(scale, 1.0);
    ASSERT_TRUE(Flac::Decode(Bytes(flac), 1000, scale, out, error));
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(out.data()[i], 0.0);
}

TEST(MeasurementData, LoadsFlacAndWaveWithinOneStepOfThePeak) {
    const int n = 20000;
    const std::vector<double> s = Noise(n, 3.5, 4);
    double peak = 0.0;
    for (double x : s)
        peak = std::max(peak, std::fabs(x));

    std::vector<unsigned char> flac;
    double flacScale = 0.0;
    std::string error;
    ASSERT_TRUE(Flac::Encode24(s.data(), n, 44100, flacScale, flac, error));
    std::vector<unsigned char> wave;
    double waveScale = 0.0;
    ASSERT_TRUE(Kedra::WaveImExport::ArrayToWaveMemory(s.data(), n, 44100, waveScale, wave));

    for (const auto& [format, bytes, scale] :
         {std::tuple{"flac", &flac, flacScale}, std::tuple{"wav", &wave, waveScale}}) {
        MF::Loaded loaded;
        ASSERT_TRUE(MF::LoadFromMemory(InfoText(n, format, scale), Bytes(*bytes), loaded, error))
            << format << ": " << error;
        EXPECT_EQ(loaded.length, n);
        EXPECT_EQ(loaded.dataOffset, 10);
        EXPECT_EQ(loaded.sampleRate, 48000);
        double worst = 0.0;
        for (int i = 0; i < n; ++i)
            worst = std::max(worst,
                             std::fabs(loaded.samples.data()[i] - s[static_cast<std::size_t>(i)]));
        EXPECT_LE(worst, peak / 8388607.0) << format;

        // Fewer samples than the info promises.
        EXPECT_FALSE(
            MF::LoadFromMemory(InfoText(n + 1, format, scale), Bytes(*bytes), loaded, error))
            << format;
        // Cut in the middle.
        const std::vector<unsigned char> half(
            bytes->begin(), bytes->begin() + static_cast<long>(bytes->size() / 2));
        EXPECT_FALSE(MF::LoadFromMemory(InfoText(n, format, scale), Bytes(half), loaded, error))
            << format;
        // Not a data file at all.
        const std::vector<unsigned char> text = {'h', 'e', 'l', 'l', 'o'};
        EXPECT_FALSE(MF::LoadFromMemory(InfoText(n, format, scale), Bytes(text), loaded, error))
            << format;
        EXPECT_FALSE(MF::LoadFromMemory(InfoText(n, format, scale), {}, loaded, error)) << format;
    }
}

TEST(MeasurementData, DamagedFlacFramesAreRefused) {
    const int n = 50000;
    const std::vector<double> s = Noise(n, 1.0, 5);
    std::vector<unsigned char> flac;
    double scale = 0.0;
    std::string error;
    ASSERT_TRUE(Flac::Encode24(s.data(), n, 48000, scale, flac, error));
    for (std::size_t at : {flac.size() / 3, flac.size() / 2, flac.size() - 20}) {
        std::vector<unsigned char> damaged = flac;
        damaged[at] ^= 0x5a;
        Mem::Array<double> out;
        EXPECT_FALSE(Flac::Decode(Bytes(damaged), n, scale, out, error)) << at;
        EXPECT_EQ(out.data(), nullptr);
    }
    // A stream header promising fewer samples than wanted is refused before decoding.
    Mem::Array<double> out;
    EXPECT_FALSE(Flac::Decode(Bytes(flac), n + 1, scale, out, error));
    EXPECT_NE(error.find("holds 50000 samples"), std::string::npos) << error;
    // The data file cut short says so; another container never reaches the decoder.
    const std::vector<unsigned char> cut(flac.begin(), flac.begin() + flac.size() / 2);
    EXPECT_FALSE(Flac::Decode(Bytes(cut), n, scale, out, error));
    EXPECT_NE(error.find("the data file ends early, after "), std::string::npos) << error;
    std::vector<unsigned char> ogg = flac;
    std::memcpy(ogg.data(), "OggS", 4);
    EXPECT_FALSE(Flac::Decode(Bytes(ogg), n, scale, out, error));
    EXPECT_EQ(error, "not a FLAC stream (Ogg)");
}

TEST(MeasurementData, NumbersIgnoreACommaDecimalLocale) {
    Measurement m("locale");
    const std::vector<double> s = Noise(256, 0.5, 6);
    m.InitializeImpulse(s.data(), 256, 128, 48000, 8, 1, 0.25, 1.5, true);
    m.SetLowpass(1234.5, 100.25);
    std::vector<unsigned char> flac;
    double scale = 0.0;
    std::string error;
    ASSERT_TRUE(Flac::Encode24(s.data(), 256, 48000, scale, flac, error));

    const SonvelTest::ScopedCommaLocale locale;
    if (locale.Name() == nullptr)
        GTEST_SKIP() << "no comma-decimal locale is installed and none could be built";
    char probe[32];
    std::snprintf(probe, sizeof(probe), "%g", 0.5);
    ASSERT_STREQ(probe, "0,5") << "the locale did not take effect";

    const MF::KeyMap keys = MF::SettingsKeys(m);
    EXPECT_EQ(keys.at("FR_LowpassStart"), "1234.5");
    EXPECT_EQ(keys.at("Signal_TypeFactor1"), "0.25");
    MF::Loaded loaded;
    ASSERT_TRUE(MF::LoadFromMemory(
        InfoText(256, "flac", scale, [](MF::KeyMap& k) { k["FR_LowpassStart"] = "1234.5"; }),
        Bytes(flac), loaded, error))
        << error;
    Measurement back("back");
    MF::Apply(loaded, back, 8);
    EXPECT_EQ(back.GetLowpassStart(), 1234.5);
    EXPECT_NEAR(back.GetIData()[7], s[7], scale / 8388607.0);
}

TEST(MeasurementInfo, DelaysOfATimingReferenceRoundTripAsAPairOrNotAtAll) {
    Measurement m("delays");
    m.InitializeDirac(6, 48000, 1.0);
    m.SetDelays(480.25, 139.9);
    MF::Rendered r;
    std::string error;
    ASSERT_TRUE(MF::Render(m, true, r, error)) << error;
    MF::Loaded loaded;
    Measurement back("back");
    ASSERT_TRUE(MF::LoadFromMemory(r.info, Bytes(r.data), loaded, error)) << error;
    MF::Apply(loaded, back, 6);
    ASSERT_TRUE(back.HasDelays());
    EXPECT_EQ(back.GetSystemDelay(), 480.25);
    EXPECT_EQ(back.GetAcousticDelay(), 139.9);
    EXPECT_NE(MF::GetInfo(back).find("Acoustic delay: 2.915 ms (139.90 samples)"),
              std::string::npos);
    for (const char* bad : {"Info_AcousticDelay\t= soon", "Info_AcousticDelay\t= inf", "X = 1"}) {
        std::string info = r.info;
        const auto at = info.find("Info_AcousticDelay");
        info.replace(at, info.find('\n', at) - at, bad);
        ASSERT_TRUE(MF::LoadFromMemory(info, Bytes(r.data), loaded, error)) << bad;
        MF::Apply(loaded, back, 6);
        EXPECT_TRUE(back.IsInitialized()) << bad;
        EXPECT_FALSE(back.HasDelays()) << bad;
    }
}

TEST(MeasurementInfo, SplOffsetRoundTripsAndIsOnlyWrittenWithAReference) {
    Measurement m("spl");
    m.InitializeDirac(6, 48000, 1.0);
    MF::Rendered plain;
    std::string error;
    ASSERT_TRUE(MF::Render(m, true, plain, error)) << error;
    // Older readers and older packages: no key at all when there is no reference.
    EXPECT_EQ(plain.info.find("Spl"), std::string::npos);
    MF::Loaded loaded;
    Measurement back("back");
    back.SetSpl(3.0, "stale");
    ASSERT_TRUE(MF::LoadFromMemory(plain.info, Bytes(plain.data), loaded, error)) << error;
    MF::Apply(loaded, back, 6);
    EXPECT_FALSE(back.HasSpl()) << "a package without the key opens uncalibrated";

    m.SetSpl(100.0205999132796, "94.00 dB SPL = -6.02 dBFS, 1000.0 Hz, card ch 1, 2026-12-09");
    MF::Rendered withSpl;
    ASSERT_TRUE(MF::Render(m, true, withSpl, error)) << error;
    ASSERT_TRUE(MF::LoadFromMemory(withSpl.info, Bytes(withSpl.data), loaded, error)) << error;
    MF::Apply(loaded, back, 6);
    ASSERT_TRUE(back.HasSpl());
    EXPECT_EQ(back.GetSplOffset(), 100.0205999132796);
    EXPECT_EQ(back.GetSplReference(), m.GetSplReference());

    // A broken offset costs the calibration, not the measurement.
    for (const char* bad : {"loud", "nan", "1e9", ""}) {
        std::string info = withSpl.info;
        const auto at = info.find("Info_SplOffset");
        info.replace(at, info.find('\n', at) - at, std::string("Info_SplOffset\t= ") + bad);
        ASSERT_TRUE(MF::LoadFromMemory(info, Bytes(withSpl.data), loaded, error)) << bad;
        MF::Apply(loaded, back, 6);
        EXPECT_TRUE(back.IsInitialized()) << bad;
        EXPECT_FALSE(back.HasSpl()) << bad;
    }
}
