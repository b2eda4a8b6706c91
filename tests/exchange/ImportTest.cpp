#include "exchange/ImpulseImporter.h"
#include "exchange/MeasurementImporter.h"

#include "foundation/MathHelpers.h"
#include "measure/Measurement.h"
#include "support/CommaLocale.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

using Kedra::Math::DBToAmplitude;
using Kedra::Measure::ImpulseImporter;
using Kedra::Measure::Measurement;
using Kedra::Measure::MeasurementImporter;
using cd = std::complex<double>;

namespace {

constexpr double PI = 3.14159265358979323846;
using Bytes = std::vector<unsigned char>;

// A record that a refused import must leave exactly as it is.
struct Untouched {
    Measurement m{"before"};
    Untouched() { m.InitializeDirac(8, 48000, 0.5); }
    void Check(const std::string& what) {
        EXPECT_TRUE(m.IsInitialized()) << what;
        EXPECT_EQ(m.GetN(), 256) << what;
        EXPECT_EQ(m.GetSamplerate(), 48000) << what;
        EXPECT_EQ(m.GetI()[0], 0.5) << what;
        EXPECT_EQ(m.GetAmplitude(), 1.0) << what;
    }
};

TEST(ImpulseImporterText, SampleLinesAndTheirNumbers) {
    ImpulseImporter imp;
    imp.alignPeak = false;
    Measurement m("m");
    ASSERT_TRUE(imp.ImportTextMemory(m, "Impulse of a woofer\n-0,5\n1\n0.25\n"));
    EXPECT_EQ(imp.GetSamplesRead(), 3);
    EXPECT_EQ(m.GetN(), 2048);
    EXPECT_EQ(m.GetSamplerate(), 44100);
    const double* i = m.GetI();
    EXPECT_NEAR(i[0], -0.5, 1e-12);
    EXPECT_NEAR(i[1], 1.0, 1e-12);
    EXPECT_NEAR(i[2], 0.25, 1e-12);
    EXPECT_NEAR(i[3], 0.0, 1e-12);
    EXPECT_NEAR(i[-1], 0.0, 1e-12);
    EXPECT_EQ(m.GetBaseOffset(), 0.0);

    // Blanks and tabs before a number are skipped; "+1", ".5", "- 1" are no samples; a
    // number ends where it cannot go on; Windows line ends and a byte-order mark read alike.
    imp.samplerate = 96000;
    ASSERT_TRUE(imp.ImportTextMemory(m, "\xEF\xBB\xBF"
                                        "0.75\r\n  \t2,5;7\n+1\n.5\n- 1\n-x\n# 3\nabc 4\n"
                                        "1e-1 trailing\n-3\r\n\n"));
    EXPECT_EQ(imp.GetSamplesRead(), 4);
    EXPECT_EQ(m.GetSamplerate(), 96000);
    const double* j = m.GetI();
    EXPECT_NEAR(j[0], 0.75, 1e-12);
    EXPECT_NEAR(j[1], 2.5, 1e-12);
    EXPECT_NEAR(j[2], 0.1, 1e-12);
    EXPECT_NEAR(j[3], -3.0, 1e-12);
}

TEST(ImpulseImporterText, TransformLengthHoldsTheSamplesTwice) {
    EXPECT_EQ(ImpulseImporter::TransformLength(1), 2048);
    EXPECT_EQ(ImpulseImporter::TransformLength(1000), 2048);
    EXPECT_EQ(ImpulseImporter::TransformLength(1024), 2048);
    EXPECT_EQ(ImpulseImporter::TransformLength(1025), 4096);
    EXPECT_EQ(ImpulseImporter::TransformLength(4096), 8192);
    EXPECT_EQ(ImpulseImporter::TransformLength(4097), 16384);

    std::string text;
    for (int k = 0; k < 1025; ++k)
        text += std::to_string(std::sin(0.01 * k)) + "\n";
    ImpulseImporter imp;
    imp.alignPeak = false;
    Measurement m("m");
    ASSERT_TRUE(imp.ImportTextMemory(m, text));
    EXPECT_EQ(m.GetN(), 4096);
    EXPECT_NEAR(m.GetI()[1024], std::sin(10.24), 1e-6);
    EXPECT_NEAR(m.GetI()[1025], 0.0, 1e-12);
}

TEST(ImpulseImporterText, PeakMovedToTimeZeroAndRemembered) {
    const std::string text = "0\n0.1\n-0.2\n0\n0\n1\n0.3\n-0.1\n";
    ImpulseImporter imp;
    Measurement m("m");
    ASSERT_TRUE(imp.ImportTextMemory(m, text));
    const double* i = m.GetI();
    EXPECT_NEAR(i[0], 1.0, 1e-12);
    EXPECT_NEAR(i[1], 0.3, 1e-12);
    EXPECT_NEAR(i[-4], 0.1, 1e-12);
    EXPECT_NEAR(i[-3], -0.2, 1e-12);
    EXPECT_EQ(m.GetBaseOffset(), 5.0);
    EXPECT_EQ(m.GetCurrentOffset(), 5.0);

    // An earlier shift of the slot's record does not survive a plain import.
    imp.alignPeak = false;
    ASSERT_TRUE(imp.ImportTextMemory(m, text));
    EXPECT_NEAR(m.GetI()[0], 0.0, 1e-12);
    EXPECT_NEAR(m.GetI()[5], 1.0, 1e-12);
    EXPECT_EQ(m.GetBaseOffset(), 0.0);
    EXPECT_EQ(m.GetCurrentOffset(), 0.0);

    // Silence has no peak to find and imports as it is.
    imp.alignPeak = true;
    ASSERT_TRUE(imp.ImportTextMemory(m, "0\n0\n0\n"));
    EXPECT_EQ(m.GetBaseOffset(), 0.0);
    EXPECT_EQ(m.GetMaxAbsImpulse(), 0.0);
}

TEST(ImpulseImporterText, MalformedTextIsRefused) {
    ImpulseImporter imp;
    Untouched u;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"empty", ""},
        {"words only", "impulse\n# none here\n+1\n.5\n"},
        {"infinite", "0.5\n1e999\n"},
        {"negative infinite", "0.5\n-1e999\n"},
        {"hex overflow", "0x1p99999\n"},
        {"long line", "0.5\n" + std::string(10 * 1024 * 1024, '7') + "\n0.25\n"},
        {"long header line", std::string(200, '#') + "\n0.5\n"},
    };
    for (const auto& [what, text] : cases) {
        EXPECT_FALSE(imp.ImportTextMemory(u.m, text)) << what;
        u.Check(what);
    }
    EXPECT_NE(SonvelTest::ReadLog().find("is longer than 79 characters -> nothing imported"),
              std::string::npos);
    // "nan" and "inf" do not start with a digit: no sample lines at all.
    EXPECT_FALSE(imp.ImportTextMemory(u.m, "nan\ninf\n-nan\n"));
    u.Check("nan");
    imp.samplerate = 0;
    EXPECT_FALSE(imp.ImportTextMemory(u.m, "1\n"));
    u.Check("rate 0");

    // Random bytes: refused, or read as finite samples; never a crash.
    std::mt19937 rng(7);
    for (int trial = 0; trial < 50; ++trial) {
        std::string garbage(4096, '\0');
        for (char& c : garbage)
            c = static_cast<char>(rng() & 0xFF);
        imp.samplerate = 44100;
        Measurement m("g");
        if (imp.ImportTextMemory(m, garbage)) {
            EXPECT_TRUE(std::isfinite(m.GetMaxAbsImpulse()));
        }
    }
}

TEST(ImpulseImporterText, TenMillionLinesAreCappedAndReported) {
    std::string text;
    const int lines = 10000000;
    text.reserve(static_cast<std::size_t>(lines) * 5);
    for (int k = 0; k < lines; ++k)
        text += (k % 3 == 0) ? "0.25\n" : "-0.5\n";
    ImpulseImporter imp;
    imp.alignPeak = false;
    Measurement m("long");
    ASSERT_TRUE(imp.ImportTextMemory(m, text));
    EXPECT_TRUE(imp.WasTruncated());
    EXPECT_EQ(imp.GetSamplesRead(), ImpulseImporter::MAX_SAMPLES);
    EXPECT_EQ(m.GetN(), 2 * ImpulseImporter::MAX_SAMPLES);
    EXPECT_NEAR(m.GetI()[ImpulseImporter::MAX_SAMPLES - 1],
                (ImpulseImporter::MAX_SAMPLES - 1) % 3 == 0 ? 0.25 : -0.5, 1e-9);
    EXPECT_NE(SonvelTest::ReadLog().find("more than 2097152 samples -> only the first 2097152"),
              std::string::npos);

    // A short file afterwards is not reported as cut.
    ASSERT_TRUE(imp.ImportTextMemory(m, "1\n"));
    EXPECT_FALSE(imp.WasTruncated());
}

TEST(ImpulseImporterWave, MonoStereoAndRefusedFiles) {
    ImpulseImporter imp;
    imp.alignPeak = false;
    Measurement m("w");
    const Bytes mono = SonvelTest::HandMadeWave(1, 48000, {0, 16384, -8192, 3277});
    ASSERT_TRUE(imp.ImportWaveMemory(m, mono));
    EXPECT_EQ(m.GetSamplerate(), 48000);
    EXPECT_EQ(m.GetN(), 2048);
    EXPECT_NEAR(m.GetI()[1], 0.5, 1e-9);
    EXPECT_NEAR(m.GetI()[2], -0.25, 1e-9);

    // Stereo: the left channel only.
    const Bytes stereo =
        SonvelTest::HandMadeWave(2, 44100, {1000, -30000, 2000, 30000, -4000, 12345});
    ASSERT_TRUE(imp.ImportWaveMemory(m, stereo));
    EXPECT_EQ(imp.GetSamplesRead(), 3);
    EXPECT_EQ(m.GetSamplerate(), 44100);
    EXPECT_NEAR(m.GetI()[0], 1000.0 / 32768.0, 1e-9);
    EXPECT_NEAR(m.GetI()[1], 2000.0 / 32768.0, 1e-9);
    EXPECT_NEAR(m.GetI()[2], -4000.0 / 32768.0, 1e-9);
    EXPECT_NEAR(m.GetI()[3], 0.0, 1e-12);

    Untouched u;
    const Bytes three = SonvelTest::HandMadeWave(3, 48000, {1, 2, 3, 4, 5, 6});
    EXPECT_FALSE(imp.ImportWaveMemory(u.m, three));
    u.Check("three channels");
    EXPECT_FALSE(imp.ImportWaveMemory(u.m, SonvelTest::HandMadeWave(1, 48000, {})));
    u.Check("no frames");
    Bytes truncated = mono;
    truncated.resize(20);
    EXPECT_FALSE(imp.ImportWaveMemory(u.m, truncated));
    u.Check("truncated header");
    std::mt19937 rng(3);
    Bytes garbage(2000);
    for (auto& b : garbage)
        b = static_cast<unsigned char>(rng());
    EXPECT_FALSE(imp.ImportWaveMemory(u.m, garbage));
    u.Check("garbage");
    EXPECT_FALSE(imp.ImportWaveMemory(u.m, Bytes{}));
    u.Check("empty");
}

// --- Frequency responses --------------------------------------------------------------

// 1 Hz per bin: bin k is k Hz.
MeasurementImporter OneHertzBins() {
    MeasurementImporter imp;
    imp.samplerate = 32768.0;
    imp.length = 16384;
    return imp;
}

double LevelDb(Measurement& m, int bin) {
    return 20.0 * std::log10(m.GetA()[bin] * m.GetAmplitude());
}

double PhaseDeg(Measurement& m, int bin) {
    return std::arg(m.GetF()[bin]) * 180.0 / PI;
}

TEST(MeasurementImporterText, TwoColumnFrdWithStarComments) {
    MeasurementImporter imp = OneHertzBins();
    Measurement m("frd");
    ASSERT_TRUE(imp.ImportText(m, "* Woofer, on axis\n* Freq(Hz) SPL(dB)\n"
                                  "10 80.5\n20 81\n100 84.5\n1000 86\n10000 83\n"));
    EXPECT_EQ(imp.GetPointsRead(), 5);
    EXPECT_EQ(m.GetNHalf(), 16384);
    EXPECT_EQ(m.GetSamplerate(), 32768);
    // Stored peaking at 0 dB, the file's level kept as the amplitude.
    EXPECT_DOUBLE_EQ(imp.GetRemovedLevelDb(), 86.0);
    EXPECT_NEAR(m.GetAmplitude(), DBToAmplitude(86.0), 1e-9);
    EXPECT_NEAR(20.0 * std::log10(m.GetA()[1000]), 0.0, 1e-9);
    EXPECT_NEAR(LevelDb(m, 20), 81.0, 1e-9);
    EXPECT_NEAR(LevelDb(m, 100), 84.5, 1e-9);
    EXPECT_NEAR(LevelDb(m, 10000), 83.0, 1e-9);
    // The lowest point takes its neighbour's level, which holds down to 0 Hz; the last one
    // holds up to half the sample rate.
    EXPECT_NEAR(LevelDb(m, 10), 81.0, 1e-9);
    EXPECT_NEAR(LevelDb(m, 3), 81.0, 1e-9);
    EXPECT_NEAR(LevelDb(m, 16000), 83.0, 1e-9);
    // Between points the linear magnitude is interpolated.
    EXPECT_NEAR(LevelDb(m, 5500),
                20.0 * std::log10((DBToAmplitude(86.0) + DBToAmplitude(83.0)) / 2.0), 1e-9);
    EXPECT_NEAR(PhaseDeg(m, 1000), 0.0, 1e-9);
}

TEST(MeasurementImporterText, PhaseColumnInDegreesOrRadians) {
    const std::string text = "* freq dB deg\n10 -3 10\n100 0 -45\n1000 -1 -170\n2000 -2 170\n";
    MeasurementImporter imp = OneHertzBins();
    imp.importPhase = true;
    Measurement m("p");
    ASSERT_TRUE(imp.ImportText(m, text));
    EXPECT_EQ(imp.GetRemovedLevelDb(), 0.0);
    EXPECT_EQ(m.GetAmplitude(), 1.0);
    EXPECT_NEAR(PhaseDeg(m, 100), -45.0, 1e-8);
    EXPECT_NEAR(PhaseDeg(m, 1000), -170.0, 1e-8);
    EXPECT_NEAR(PhaseDeg(m, 2000), 170.0, 1e-8);
    EXPECT_NEAR(LevelDb(m, 1000), -1.0, 1e-9);
    // -170 to 170 degrees is a step of -20 through 180, not +340 through 0.
    EXPECT_NEAR(std::abs(PhaseDeg(m, 1500)), 180.0, 1e-6);

    imp.importPhase = false;
    ASSERT_TRUE(imp.ImportText(m, text));
    EXPECT_NEAR(PhaseDeg(m, 1000), 0.0, 1e-9);

    imp.importPhase = true;
    imp.phaseUnit = 1;
    ASSERT_TRUE(imp.ImportText(m, "50 0 0\n100 0 -0.785398163397\n200 0 1\n"));
    EXPECT_NEAR(PhaseDeg(m, 100), -45.0, 1e-8);
    EXPECT_NEAR(PhaseDeg(m, 200), 180.0 / PI, 1e-8);
}

TEST(MeasurementImporterText, FilesFromOtherPrograms) {
    MeasurementImporter imp = OneHertzBins();
    imp.importPhase = true;
    Measurement m("x");

    // A room-acoustics program's export: '*' comments, then "freq, SPL, phase".
    ASSERT_TRUE(imp.ImportText(m, "* Measurement data measured by a room acoustics program\n"
                                  "* Source: Left speaker, 1/24 octave smoothing\n"
                                  "* Format: frequency, SPL, phase\n"
                                  "*\n"
                                  "10.000000, 75.250, -12.50\n"
                                  "100.000000, 78.500, 45.00\n"
                                  "1000.000000, 80.000, 90.00\n"
                                  "8000.000000, 77.125, -30.25\n"));
    EXPECT_EQ(imp.GetPointsRead(), 4);
    EXPECT_NEAR(LevelDb(m, 100), 78.5, 1e-9);
    EXPECT_NEAR(LevelDb(m, 8000), 77.125, 1e-9);
    EXPECT_NEAR(PhaseDeg(m, 100), 45.0, 1e-8);
    EXPECT_NEAR(PhaseDeg(m, 8000), -30.25, 1e-8);

    // A measuring microphone's calibration file: a quoted first line, then tab columns.
    imp.importPhase = false;
    ASSERT_TRUE(imp.ImportText(m,
                               "\"Sens Factor =-.7dB, SERNO: 8000123\"\n"
                               "10.0\t-2.5\t0\n100.0\t0.3\t0\n1000.0\t0.0\t0\n15000.0\t1.2\t0\n"));
    EXPECT_EQ(imp.GetPointsRead(), 4);
    EXPECT_DOUBLE_EQ(imp.GetRemovedLevelDb(), 1.2);
    EXPECT_NEAR(LevelDb(m, 100), 0.3, 1e-9);
    EXPECT_NEAR(LevelDb(m, 1000), 0.0, 1e-9);
    EXPECT_NEAR(LevelDb(m, 15000), 1.2, 1e-9);

    // Decimal commas with ';' columns.
    imp.importPhase = true;
    ASSERT_TRUE(imp.ImportText(m, "Frequency;Level;Phase\n50;0;0\n100,0;-3,25;10,5\n"
                                  "200;-4,5;-20\n"));
    EXPECT_EQ(imp.GetPointsRead(), 3);
    EXPECT_NEAR(LevelDb(m, 100), -3.25, 1e-9);
    EXPECT_NEAR(PhaseDeg(m, 100), 10.5, 1e-8);
    EXPECT_NEAR(LevelDb(m, 200), -4.5, 1e-9);
    EXPECT_NEAR(PhaseDeg(m, 200), -20.0, 1e-8);
}

TEST(MeasurementImporterText, RangeOrderAndDefaults) {
    MeasurementImporter imp = OneHertzBins();
    Measurement m("r");
    // Outside 0 .. 16384 Hz dropped; a point at half the sample rate kept and not doubled.
    ASSERT_TRUE(imp.ImportText(m, "-10 5\n0 -1\n1000 -6\n16384 -20\n20000 10\n"));
    EXPECT_EQ(imp.GetPointsRead(), 3);
    EXPECT_EQ(imp.GetRemovedLevelDb(), 0.0);
    EXPECT_NEAR(LevelDb(m, 0), -6.0, 1e-9);
    EXPECT_NEAR(LevelDb(m, 16384), -20.0, 1e-9);

    // Unsorted points are put in order.
    ASSERT_TRUE(imp.ImportText(m, "1000 -6\n100 0\n10000 -12\n5000 -9\n"));
    EXPECT_NEAR(LevelDb(m, 1000), -6.0, 1e-9);
    EXPECT_NEAR(LevelDb(m, 5000), -9.0, 1e-9);
    EXPECT_NEAR(LevelDb(m, 10000), -12.0, 1e-9);
    EXPECT_NEAR(LevelDb(m, 100), -6.0, 1e-9); // lowest point replaced by its neighbour

    // A single point holds everywhere.
    ASSERT_TRUE(imp.ImportText(m, "440 -3\n"));
    EXPECT_NEAR(LevelDb(m, 10), -3.0, 1e-9);
    EXPECT_NEAR(LevelDb(m, 16000), -3.0, 1e-9);

    MeasurementImporter plain;
    ASSERT_TRUE(plain.ImportText(m, "100 0\n1000 0\n"));
    EXPECT_EQ(m.GetNHalf(), 65536);
    EXPECT_EQ(m.GetSamplerate(), 44100);
}

TEST(MeasurementImporterText, MalformedInputIsRefused) {
    Untouched u;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"empty", ""},
        {"no data", "* only\n* comments\nfreq dB\n"},
        {"one column", "100\n200\n"},
        {"nan", "100 0\n200 nan\n"},
        {"infinite frequency", "1e999 0\n"},
        {"infinite gain", "100 1e999\n"},
        {"absurd gain", "100 0\n200 1e6\n"},
        {"all above half the rate", "30000 0\n40000 0\n"},
        {"long line", "100 0\n" + std::string(10 * 1024 * 1024, '5') + "\n200 0\n"},
    };
    for (const auto& [what, text] : cases) {
        MeasurementImporter imp = OneHertzBins();
        EXPECT_FALSE(imp.ImportText(u.m, text)) << what;
        u.Check(what);
    }
    MeasurementImporter phase = OneHertzBins();
    phase.importPhase = true;
    EXPECT_FALSE(phase.ImportText(u.m, "100 0 inf\n"));
    u.Check("infinite phase");

    auto refusedWith = [&](const std::function<void(MeasurementImporter&)>& set) {
        MeasurementImporter imp;
        set(imp);
        const bool ok = imp.ImportText(u.m, "100 0\n1000 -3\n");
        u.Check("settings");
        return !ok;
    };
    EXPECT_TRUE(refusedWith([](MeasurementImporter& i) { i.length = 1000; }));
    EXPECT_TRUE(refusedWith([](MeasurementImporter& i) { i.length = 0; }));
    EXPECT_TRUE(refusedWith([](MeasurementImporter& i) { i.length = 1 << 30; }));
    EXPECT_TRUE(refusedWith([](MeasurementImporter& i) { i.samplerate = NAN; }));
    EXPECT_TRUE(refusedWith([](MeasurementImporter& i) { i.samplerate = 0.0; }));
    EXPECT_TRUE(refusedWith([](MeasurementImporter& i) { i.samplerate = 1e12; }));

    // More points than any response needs.
    std::string many;
    many.reserve((MeasurementImporter::MAX_POINTS + 1) * 4u);
    for (int k = 0; k <= MeasurementImporter::MAX_POINTS; ++k)
        many += "1 0\n";
    MeasurementImporter imp = OneHertzBins();
    EXPECT_FALSE(imp.ImportText(u.m, many));
    u.Check("too many points");

    std::mt19937 rng(11);
    for (int trial = 0; trial < 50; ++trial) {
        std::string garbage(4096, '\0');
        for (char& c : garbage)
            c = static_cast<char>(rng() & 0xFF);
        Measurement m("g");
        if (imp.ImportText(m, garbage)) {
            EXPECT_TRUE(std::isfinite(m.GetMaxAbsImpulse()));
        }
    }
}

TEST(ImportLocale, CommaLocaleReadsTheSame) {
    const std::string response = "20 -3,5 10\n100.5 -1.25 -45,5\n1000 0.5 90\n";
    const std::string impulse = "x\n0,125\n-0.5\n1e-2\n";
    auto read = [&](std::vector<double>& out) {
        MeasurementImporter imp = OneHertzBins();
        imp.importPhase = true;
        Measurement m("m");
        ASSERT_TRUE(imp.ImportText(m, response));
        for (int k : {20, 50, 100, 101, 1000, 5000}) {
            out.push_back(LevelDb(m, k));
            out.push_back(PhaseDeg(m, k));
        }
        ImpulseImporter ii;
        ii.alignPeak = false;
        ASSERT_TRUE(ii.ImportTextMemory(m, impulse));
        for (int k = 0; k < 3; ++k)
            out.push_back(m.GetI()[k]);
    };
    std::vector<double> plain;
    read(plain);
    EXPECT_NEAR(plain.back(), 0.01, 1e-12);
    SonvelTest::ScopedCommaLocale locale;
    if (locale.Name() == nullptr)
        GTEST_SKIP() << "no comma-decimal locale available";
    std::vector<double> comma;
    read(comma);
    EXPECT_EQ(plain, comma);
}

} // namespace
