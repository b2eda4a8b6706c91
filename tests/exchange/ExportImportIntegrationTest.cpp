#include "exchange/ImpulseImporter.h"
#include "exchange/MeasurementExporter.h"
#include "exchange/MeasurementImporter.h"
#include "exchange/WaveFile.h"

#include "measure/Measurement.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using Kedra::Measure::ImpulseImporter;
using Kedra::Measure::Measurement;
using Kedra::Measure::MeasurementExporter;
using Kedra::Measure::MeasurementImporter;
using cd = std::complex<double>;
namespace fs = std::filesystem;

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr int FS = 48000;
constexpr int HALF = 8192;

fs::path Dir() {
    const fs::path dir = SonvelTest::TempDir() / "export-import";
    fs::create_directories(dir);
    return dir;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const fs::path& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary) << contents;
}

// A second-order band-pass around 300 Hz (Q 0.7, +6 dB at its peak) behind a delay of
// 37.25 samples: a response with a real level above 0 dB and a quickly turning phase.
cd Speaker(double f) {
    const double x = f / 300.0;
    const cd h = 2.0 * cd(0.0, x / 0.7) / cd(1.0 - x * x, x / 0.7);
    return h * std::polar(1.0, -2.0 * PI * f * 37.25 / FS);
}

void MakeSpeaker(Measurement& m) {
    std::vector<cd> bins(HALF + 1);
    for (int k = 0; k <= HALF; ++k)
        bins[static_cast<std::size_t>(k)] = Speaker(k * static_cast<double>(FS) / (2 * HALF));
    bins[0] = cd(bins[0].real(), 0.0);
    bins[HALF] = cd(std::abs(bins[HALF]), 0.0);
    m.InitializeFreq(bins.data(), HALF, FS, HALF, 0, 0.0, 0.0, true);
    ASSERT_TRUE(m.IsInitialized());
}

TEST(ExportImportRoundTrip, EveryBinBackWithinAHundredthOfADecibel) {
    Measurement source("speaker; near field");
    MakeSpeaker(source);
    for (const char decimal : {'.', ','}) {
        MeasurementExporter e;
        e.exportMode = 0;
        e.decimalSep = decimal;
        e.separator = decimal == ',' ? ';' : '\t';
        const fs::path path = Dir() / (decimal == ',' ? "comma.txt" : "point.txt");
        ASSERT_TRUE(e.Export(source, path.string()));

        MeasurementImporter imp;
        imp.importPhase = true;
        imp.length = HALF;
        imp.samplerate = FS;
        Measurement back("back");
        ASSERT_TRUE(imp.Import(back, path.string()));
        EXPECT_EQ(imp.GetPointsRead(), HALF);
        EXPECT_NEAR(imp.GetRemovedLevelDb(), 20.0 * std::log10(2.0), 0.01);

        const double* a0 = source.GetA();
        const cd* f0 = source.GetF();
        const double* a1 = back.GetA();
        const cd* f1 = back.GetF();
        double worstDb = 0.0;
        double worstDeg = 0.0;
        for (int k = 0; k < HALF; ++k) {
            const double f = k * static_cast<double>(FS) / (2 * HALF);
            if (f < 20.0 || f > 20000.0)
                continue;
            const double db = 20.0 * std::log10(a1[k] * back.GetAmplitude() / a0[k]);
            const double deg = std::arg(f1[k] / f0[k]) * 180.0 / PI;
            worstDb = std::max(worstDb, std::abs(db));
            worstDeg = std::max(worstDeg, std::abs(deg));
        }
        EXPECT_LT(worstDb, 0.01) << decimal;
        EXPECT_LT(worstDeg, 0.1) << decimal;
        // Compared with the analytic response too, not only with the exported record.
        const int k1k = static_cast<int>(std::lround(1000.0 * 2 * HALF / FS));
        const double f1k = k1k * static_cast<double>(FS) / (2 * HALF);
        EXPECT_NEAR(20.0 * std::log10(a1[k1k] * back.GetAmplitude()),
                    20.0 * std::log10(std::abs(Speaker(f1k))), 0.01);
    }
}

TEST(ExportImportRoundTrip, ImpulseThroughTextAndWave) {
    Measurement source("impulse");
    MakeSpeaker(source);
    const double* i0 = source.GetI();

    // Text with header and sample numbers: the importer skips the '#' lines and reads the
    // leading number of each line, so the sample numbers must be left out.
    MeasurementExporter e;
    e.decimalSep = ',';
    const fs::path text = Dir() / "impulse.txt";
    ASSERT_TRUE(e.ExportImpulse(source, text.string(), 0, 2047));
    ImpulseImporter imp;
    imp.alignPeak = false;
    imp.samplerate = FS;
    Measurement back("back");
    ASSERT_TRUE(imp.ImportText(back, text.string()));
    EXPECT_EQ(imp.GetSamplesRead(), 2048);
    EXPECT_EQ(back.GetN(), 4096);
    for (int k = 0; k < 2048; ++k)
        ASSERT_NEAR(back.GetI()[k], i0[k], 1e-11 * (1.0 + std::abs(i0[k]))) << k;

    // A float wave keeps the samples to single precision.
    const fs::path wave = Dir() / "impulse.wav";
    ASSERT_TRUE(Kedra::WaveImExport::ImpulseWaveExport(source, wave.string(), 0, 999, false,
                                                       Kedra::WaveImExport::WaveFormat::Float32));
    imp.alignPeak = true;
    ASSERT_TRUE(imp.ImportWave(back, wave.string()));
    EXPECT_EQ(back.GetSamplerate(), FS);
    EXPECT_EQ(back.GetN(), 2048);
    // The largest sample is where the delayed band-pass peaks; aligned, it is at 0.
    int peak = 0;
    for (int k = 1; k < 1000; ++k)
        if (i0[k] > i0[peak])
            peak = k;
    EXPECT_EQ(back.GetBaseOffset(), peak);
    EXPECT_NEAR(back.GetI()[0], i0[peak], 1e-6);
}

TEST(ExportImportFiles, RefusedExportsLeaveFilesAlone) {
    Measurement m("m");
    m.InitializeDirac(10, FS, 1.0);
    Measurement empty("e");
    const fs::path target = Dir() / "kept.txt";
    WriteFile(target, "previous contents\n");

    MeasurementExporter e;
    EXPECT_FALSE(e.Export(empty, target.string()));
    EXPECT_FALSE(e.ExportImpulse(empty, target.string(), 0, 10));
    e.decimalSep = ',';
    e.separator = ',';
    EXPECT_FALSE(e.Export(m, target.string(), 0.0, 1000.0));
    EXPECT_EQ(ReadFile(target), "previous contents\n");

    // No directory to write into: false, and nothing appears.
    const fs::path nowhere = Dir() / "missing-dir" / "out.txt";
    MeasurementExporter ok;
    EXPECT_FALSE(ok.Export(m, nowhere.string()));
    EXPECT_FALSE(fs::exists(nowhere));

    // A good export replaces the file whole and leaves no temporary beside it.
    ASSERT_TRUE(ok.Export(m, target.string()));
    const std::string written = ReadFile(target);
    EXPECT_EQ(written.rfind("#\n# Measurement exported using Vaviv Uradavadu software\n", 0), 0u);
    EXPECT_EQ(written.back(), '\n');
    int files = 0;
    for (const auto& entry : fs::directory_iterator(Dir()))
        files += entry.path().filename().string().find(".tmp") != std::string::npos;
    EXPECT_EQ(files, 0);
}

TEST(ExportImportFiles, ImportsFromFilesAndRefusals) {
    const fs::path frd = Dir() / "woofer.frd";
    WriteFile(frd, "* Woofer\r\n* Freq dB deg\r\n20 85 10\r\n200 88 -20\r\n2000 86 -90\r\n");
    MeasurementImporter mi;
    mi.importPhase = true;
    Measurement m("m");
    ASSERT_TRUE(mi.Import(m, frd.string()));
    EXPECT_EQ(mi.GetPointsRead(), 3);
    EXPECT_DOUBLE_EQ(mi.GetRemovedLevelDb(), 88.0);

    // A 16-bit mono wave on disk, at its own sample rate.
    const fs::path wave = Dir() / "short.wav";
    const double samples[] = {0.5, -0.25, 0.125};
    ASSERT_EQ(Kedra::WaveImExport::ArrayWaveExport(samples, 3, 22050, wave.string(),
                                                   Kedra::WaveImExport::WaveFormat::Pcm16, "t",
                                                   false),
              3);
    ImpulseImporter ii;
    ii.alignPeak = false;
    ASSERT_TRUE(ii.ImportWave(m, wave.string()));
    EXPECT_EQ(m.GetSamplerate(), 22050);
    EXPECT_NEAR(m.GetI()[0], 0.5, 1e-4);
    EXPECT_NEAR(m.GetI()[1], -0.25, 1e-4);
    EXPECT_NEAR(m.GetI()[2], 0.125, 1e-4);

    const fs::path missing = Dir() / "no-such-file.txt";
    Measurement keep("keep");
    keep.InitializeDirac(6, FS, 0.75);
    EXPECT_FALSE(mi.Import(keep, missing.string()));
    EXPECT_FALSE(ii.ImportText(keep, missing.string()));
    EXPECT_FALSE(ii.ImportWave(keep, missing.string()));
    EXPECT_FALSE(mi.Import(keep, Dir().string()));
    EXPECT_FALSE(ii.ImportText(keep, Dir().string()));
    const fs::path emptyFile = Dir() / "empty.txt";
    WriteFile(emptyFile, "");
    EXPECT_FALSE(ii.ImportText(keep, emptyFile.string()));
    EXPECT_FALSE(mi.Import(keep, emptyFile.string()));
    EXPECT_EQ(keep.GetN(), 64);
    EXPECT_EQ(keep.GetI()[0], 0.75);
    const std::string log = SonvelTest::ReadLog();
    EXPECT_NE(log.find("INFO    ImpulseImporter::ImportText(" + missing.string() + ")"),
              std::string::npos);
    EXPECT_NE(log.find("INFO    ImpulseImporter::ImportWave(" + wave.string() + ")"),
              std::string::npos);
}

} // namespace
