#include <gtest/gtest.h>
#include <sndfile.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "exchange/Calibrator.h"
#include "exchange/TextFile.h"
#include "exchange/WaveFile.h"
#include "foundation/Mem.h"
#include "measure/MeasurementList.h"
#include "measure/Package.h"
#include "measure/ZipForge.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

using Session = SonvelTest::ProgramRun;

// One session of the program in its own user directory.
class CommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        dir =
            SonvelTest::TempDir() /
            ("cli-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }

    Session Sonvel(const std::string& args) {
        return SonvelTest::RunProgram(SONVEL_BINARY, dir, args);
    }
    // The same with the user directory as the working directory, so that files are named short.
    Session Here(const std::string& args) {
        return SonvelTest::RunProgram("cd '" + dir.string() + "' && " + SONVEL_BINARY, dir, args);
    }
    static std::string Read(const fs::path& p) { return SonvelTest::ReadBytes(p); }
    // The measurements as the last session left them.
    std::unique_ptr<Kedra::Measure::MeasurementList> Autosaved() {
        auto list = std::make_unique<Kedra::Measure::MeasurementList>(40);
        EXPECT_TRUE(list->OpenTry((dir / "MeasAutosaved.zip").string(), false));
        return list;
    }

    fs::path dir;
};

// The level at `hz` and the spread of the levels between `from` and `to` in a response export.
void LevelsOf(const std::string& text, double hz, double from, double to, double& at,
              double& spread) {
    double low = 1e9, high = -1e9, nearest = 1e9;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || !std::isdigit(static_cast<unsigned char>(line[0])))
            continue;
        const double f = std::stod(line);
        const double db = std::stod(line.substr(line.find(';') + 1));
        if (f >= from && f <= to) {
            low = std::min(low, db);
            high = std::max(high, db);
        }
        if (std::fabs(f - hz) < nearest) {
            nearest = std::fabs(f - hz);
            at = db;
        }
    }
    spread = high - low;
}

TEST_F(CommandLine, SplReferenceFromTheOwnToneMakesLaterSweepsReadDbSpl) {
    Session r = Sonvel("--set Dev.OutputPCMAmplitude=0.5 cal spl --level 94 --play tone --sim "
                       "loopback");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("94.00 dB SPL = -6.02 dBFS, 1000.0 Hz"), std::string::npos) << r.out;
    EXPECT_NE(Sonvel("cal spl --show").out.find("(offset 100.02 dB)"), std::string::npos);

    // A at 0.25 as it is; B normalised, whose gains must not move its SPL.
    ASSERT_EQ(Sonvel("--set Dev.OutputPCMAmplitude=0.25 --set Analysis.TimeWindowAutoApply=false "
                     "measure A --sim loopback")
                  .status,
              0);
    ASSERT_EQ(Sonvel("--set Analysis.NormalizeTo0dB=true measure B --sim loopback").status, 0);
    // C through a microphone calibration 3 dB down everywhere: it shapes, the reference sets
    // the level, so C reads as A does.
    std::ofstream(dir / "mic.txt") << "20 -3\n20000 -3\n";
    ASSERT_EQ(Sonvel("cal mic '" + (dir / "mic.txt").string() + "'").status, 0);
    ASSERT_EQ(Sonvel("--set Analysis.NormalizeTo0dB=false measure C --sim loopback").status, 0);
    ASSERT_EQ(Sonvel("cal off mic").status, 0);
    for (const char* slot : {"A", "B", "C"}) {
        const fs::path file = dir / (std::string(slot) + ".txt");
        ASSERT_EQ(Sonvel(std::string("export ") + slot + " '" + file.string() +
                         "' --mode 0 --from 100 --to 10000")
                      .status,
                  0);
        const std::string text = Read(file);
        EXPECT_NE(text.find("Amplitude [dB SPL]"), std::string::npos) << slot;
        double at = 0.0, spread = 0.0;
        LevelsOf(text, 1000.0, 100.0, 10000.0, at, spread);
        EXPECT_NEAR(at, 94.0 - 6.02, 0.1) << slot;
        EXPECT_LT(spread, 0.2) << slot;
    }
    // The energy-time curve peaks at the loopback's level; the distortion rows read SPL too.
    const fs::path etc = dir / "etc.txt";
    ASSERT_EQ(Sonvel("export A '" + etc.string() + "' --kind etc").status, 0);
    const std::string etcText = Read(etc);
    EXPECT_NE(etcText.find("Energy [dB SPL]"), std::string::npos);
    double peak = -1e9;
    std::istringstream etcLines(etcText);
    for (std::string line; std::getline(etcLines, line);)
        if (!line.empty() && (std::isdigit(static_cast<unsigned char>(line[0])) || line[0] == '-'))
            peak = std::max(peak, std::stod(line.substr(line.find(';') + 1)));
    EXPECT_NEAR(peak, 94.0 - 6.02, 0.5);
    const fs::path hd = dir / "hd.txt";
    ASSERT_EQ(Sonvel("export A '" + hd.string() + "' --kind distortion").status, 0);
    EXPECT_EQ(Read(hd).rfind("Frequency [Hz];Fundamental [dB SPL];THD [dB SPL]", 0), 0u);

    // A measured again keeps the earlier one elsewhere; their average reads dB SPL as they do.
    ASSERT_EQ(Sonvel("measure A --sim loopback").status, 0);
    ASSERT_EQ(Sonvel("average A 3 --into 6").status, 0);
    const fs::path mean = dir / "mean.txt";
    ASSERT_EQ(Sonvel("export 6 '" + mean.string() + "' --mode 0 --from 100 --to 10000").status, 0);
    double at = 0.0, spread = 0.0;
    LevelsOf(Read(mean), 1000.0, 100.0, 10000.0, at, spread);
    EXPECT_NEAR(at, 94.0 - 6.02, 0.1);

    // The saved record keeps it; a record measured after --clear reads dB as before.
    ASSERT_EQ(Sonvel("cal spl --clear --sim loopback").status, 0);
    ASSERT_EQ(Sonvel("measure C --sim loopback").status, 0);
    const std::string list = Sonvel("list").out;
    std::istringstream lines(list);
    std::map<char, bool> spl;
    for (std::string line; std::getline(lines, line);)
        if (line.size() > 4)
            spl[line[4]] = line.find("dB SPL") != std::string::npos;
    EXPECT_TRUE(spl['A'] && spl['B']) << list;
    EXPECT_FALSE(spl['C']) << list;
    EXPECT_NE(Sonvel("info C").out.find("no SPL reference"), std::string::npos);
}

TEST_F(CommandLine, SplReferenceIsRefusedWithItsReason) {
    // A calibrator path on a loopback hears nothing; a dead input delivers nothing.
    Session r = Sonvel("cal spl --level 94 --sim loopback");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("No tone arrived at the input"), std::string::npos) << r.err;
    r = Sonvel("cal spl --level 94 --sim dead");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("No signal arrived on input 1"), std::string::npos) << r.err;
    r = Sonvel("cal spl --level 0 --play tone --sim loopback");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("above 0"), std::string::npos) << r.err;
    EXPECT_EQ(Sonvel("cal spl --sim loopback").status, 2);
    EXPECT_NE(Sonvel("cal spl --show").out.find("No SPL reference is stored"), std::string::npos);
}

TEST_F(CommandLine, ThreeSpeakerMeasurementsDividedGiveAFlatC) {
    for (const char* who : {"A", "B", "C"}) {
        const Session r =
            Sonvel(std::string("--set Dev.OutputPCMAmplitude=0.5 --set Dev.SamplerateNo=1 "
                               "measure ") +
                   who + " --sim speaker");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(std::string("Measured ") + who), std::string::npos);
    }
    const Session op = Sonvel("op div");
    ASSERT_EQ(op.status, 0) << op.err;
    auto list = Autosaved();
    Kedra::Measure::Measurement* c = list->No(2);
    ASSERT_TRUE(c != nullptr && c->IsInitialized());
    EXPECT_EQ(c->GetLabel(), "(Unnamed-0) / (Unnamed-1)");
    const double* a = c->GetA();
    double worst = 0.0;
    for (int k = 1; k < c->GetNHalf(); ++k) {
        const double f = k * c->GetHzPerBin();
        if (f >= 50.0 && f <= 15000.0)
            worst = std::max(worst, std::fabs(20.0 * std::log10(a[k])));
    }
    // The card's noise falls differently on each sweep (where it starts depends on the
    // machine's load): a busy machine saw 0.104 dB once.
    EXPECT_LT(worst, 0.15);
    const Session listed = Sonvel("list");
    EXPECT_NE(listed.out.find("  2 C   (Unnamed-0) / (Unnamed-1)"), std::string::npos)
        << listed.out;

    // B played 6.02 dB softer than A: matching A to B says it lowered A by that much.
    ASSERT_EQ(Sonvel("--set Dev.OutputPCMAmplitude=0.25 --set Dev.SamplerateNo=1 measure B "
                     "--sim speaker")
                  .status,
              0);
    const Session matched = Sonvel("match");
    ASSERT_EQ(matched.status, 0) << matched.err;
    const std::size_t at = matched.out.find("A's level changed by ");
    ASSERT_NE(at, std::string::npos) << matched.out;
    EXPECT_NEAR(std::stod(matched.out.substr(at + 21)), -6.02, 0.2) << matched.out;
    const std::string kept = (dir / "kept.zip").string();
    EXPECT_NE(Sonvel("save '" + kept + "'").out.find("Saved the list to " + kept),
              std::string::npos);
}

TEST_F(CommandLine, AmplitudeValidationMessages) {
    struct Case {
        const char* volume;
        const char* text;
        int status;
    };
    for (const Case c : {Case{"0.9995", "Recording amplitude indicates digital clipping.", 0},
                         Case{"0.005", "Recording amplitude is low: -46 dB", 0},
                         Case{"0.0002", "Recording amplitude is to low:! (Below -70 dB)", 0}}) {
        const Session r = Sonvel(std::string("--set Dev.OutputPCMAmplitude=") + c.volume +
                                 " --set Signal.SignalLength=15 measure --sim loopback");
        EXPECT_EQ(r.status, c.status) << c.volume << r.err;
        EXPECT_NE(r.err.find(c.text), std::string::npos) << c.volume << r.err;
    }
}

TEST_F(CommandLine, LoopbackCalibrationIsWrittenEnabledAndFlat) {
    const Session cal = Sonvel("--yes --set Dev.SamplerateNo=1 cal loopback --sim loopback");
    ASSERT_EQ(cal.status, 0) << cal.err << cal.out;
    EXPECT_TRUE(fs::exists(dir / "CalibrationDacAdc.cal"));
    EXPECT_NE(Read(dir / "RazeriRerirov.xml").find("<DacAdcCalibration>true</DacAdcCalibration>"),
              std::string::npos);
    const Session with = Sonvel("--set Dev.OutputPCMAmplitude=0.5 measure A --sim speaker");
    ASSERT_EQ(with.status, 0) << with.err;
    const Session without =
        Sonvel("--set Dev.OutputPCMAmplitude=0.5 --set Analysis.DacAdcCalibration=false "
               "measure B --sim speaker");
    ASSERT_EQ(without.status, 0) << without.err;
    auto list = Autosaved();
    // The suggested window's end follows the noise, which depends on how long the simulated card
    // ran before each measurement; the comparison is of the calibration, under one window.
    list->No(1)->CopyImpulseWindowFrom(*list->No(0));
    const double* a = list->No(0)->GetA();
    const double* b = list->No(1)->GetA();
    const auto* m = list->No(0);
    double worst = 0.0;
    for (int k = 1; k < m->GetNHalf(); ++k) {
        const double f = k * m->GetHzPerBin();
        if (f >= 50.0 && f <= 15000.0)
            worst = std::max(worst, std::fabs(20.0 * std::log10(a[k] / b[k])));
    }
    EXPECT_LT(worst, 0.05);
}

TEST_F(CommandLine, SignalThenAnalyzeGivesADirac) {
    const fs::path sweepPath = dir / "sweep.wav";
    ASSERT_EQ(Sonvel("--set Signal.SignalLength=16 signal '" + sweepPath.string() + "'").status, 0);
    ASSERT_TRUE(fs::exists(sweepPath));
    // Without the corrective high-pass, whose slow ringing the window would cut.
    const std::string settings =
        "--set Signal.SignalLength=16 --set Analysis.HighpassResult=false ";
    const Session r = Sonvel(settings + "analyze '" + sweepPath.string() + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    auto list = Autosaved();
    auto* m = list->No(0);
    ASSERT_TRUE(m != nullptr && m->IsInitialized());
    const double* a = m->GetA();
    double worst = 0.0;
    for (int k = 1; k < m->GetNHalf(); ++k) {
        const double f = k * m->GetHzPerBin();
        if (f >= 40.0 && f <= 15000.0)
            worst = std::max(worst, std::fabs(20.0 * std::log10(a[k] / a[m->GetNHalf() / 4])));
    }
    EXPECT_LT(worst, 0.01);

    // The same sweep through a known filter made here: y[n] = 0.5 x[n] + 0.25 x[n-1].
    Kedra::WaveImExport::WaveInfo info;
    float* x = nullptr;
    const int count = Kedra::WaveImExport::ArrayWaveImport(sweepPath.string(), info, x);
    ASSERT_GT(count, 0);
    std::vector<float> y(static_cast<std::size_t>(count) + 16, 0.0f);
    for (int i = 0; i < count; ++i) {
        y[static_cast<std::size_t>(i)] += 0.5f * x[i];
        y[static_cast<std::size_t>(i + 1)] += 0.25f * x[i];
    }
    Mem::FreeArray(x);
    const fs::path filtered = dir / "filtered.wav";
    ASSERT_GT(Kedra::WaveImExport::ArrayWaveExport(
                  y.data(), static_cast<int>(y.size()), info.samplerate, filtered.string(),
                  Kedra::WaveImExport::WaveFormat::Float32, "", false),
              0);
    const Session f =
        Sonvel("--set Signal.SignalLength=16 --set Analysis.NormalizeTo0dB=false analyze '" +
               filtered.string() + "' --slot B --reference '" + sweepPath.string() + "'");
    ASSERT_EQ(f.status, 0) << f.err;
    list = Autosaved();
    m = list->No(1);
    a = m->GetA();
    // Normalisation may scale the whole response; its shape is the filter's.
    auto level = [&](double freq) {
        const int k = static_cast<int>(std::lround(freq / m->GetHzPerBin()));
        const double w = 2.0 * 3.141592653589793 * k * m->GetHzPerBin() / info.samplerate;
        return 20.0 * std::log10(a[k] / std::abs(0.5 + 0.25 * std::polar(1.0, -w)));
    };
    for (double freq : {100.0, 5000.0, 12000.0, 18000.0})
        EXPECT_NEAR(level(freq), level(1000.0), 0.01) << freq;
}

TEST_F(CommandLine, UsageErrorsAndFailedMeasurements) {
    const Session bad = Sonvel("frobnicate");
    EXPECT_EQ(bad.status, 2);
    EXPECT_FALSE(bad.err.empty());
    const Session badSet = Sonvel("--set Signal.NoSuchField=3 list");
    EXPECT_EQ(badSet.status, 2);
    EXPECT_NE(badSet.err.find("NoSuchField"), std::string::npos);
    const Session outOfRange = Sonvel("--set Dev.OutputPCMAmplitude=5 list");
    EXPECT_EQ(outOfRange.status, 2);
    EXPECT_NE(outOfRange.err.find("Dev.OutputPCMAmplitude must lie between 0 and 1, not 5"),
              std::string::npos)
        << outOfRange.err;
    const Session badSlot = Sonvel("info Q");
    EXPECT_EQ(badSlot.status, 2);
    const Session dead = Sonvel("--set Signal.SignalLength=14 measure --sim dead");
    EXPECT_EQ(dead.status, 1);
    EXPECT_NE(dead.out.find("Error while recording audiostream"), std::string::npos) << dead.out;
    // The reason once, from the controller; the command line adds no second message.
    const auto lines = [](const std::string& text) {
        return std::count(text.begin(), text.end(), '\n');
    };
    EXPECT_NE(dead.err.find("No signal arrived on input 1 of Simulated"), std::string::npos)
        << dead.err;
    EXPECT_EQ(lines(dead.err), 2) << dead.err; // "Measuring A failed." and the reason
    for (const char* refused :
         {"invert", "op add", "match", "qbox --from 20 --to 500", "minphase 5",
          "average 3 4 --into 5", "export 3 x --kind etc", "import nothing.txt --slot 3"}) {
        const Session r = Sonvel(refused);
        EXPECT_EQ(r.status, 1) << refused;
        EXPECT_EQ(lines(r.err), 1) << refused << ":\n" << r.err;
    }
    // A failed command still leaves the autosave behind.
    EXPECT_TRUE(fs::exists(dir / "MeasAutosaved.zip"));
    EXPECT_TRUE(fs::exists(dir / "RazeriRerirov.xml"));
    const Session empty = Sonvel("info 7");
    EXPECT_EQ(empty.status, 1);
    EXPECT_NE(empty.err.find("holds no measurement"), std::string::npos);
    EXPECT_EQ(Sonvel("measure --sim loopback --lock-time-zero").status, 2);
}

TEST_F(CommandLine, ADamagedPackageOpensInPartAndIsNamed) {
    const std::string settings = "--set Signal.SignalLength=14 --set Dev.OutputPCMAmplitude=0.5 ";
    const Session measured = Sonvel(settings + "measure A B --sim speaker --lock-time-zero");
    ASSERT_EQ(measured.status, 0) << measured.err;
    EXPECT_NE(measured.out.find(" samples (locked)"), std::string::npos) << measured.out;
    // Cut measurement-001's data file in half inside a copy of the autosave.
    const fs::path whole = dir / "whole.zip";
    fs::copy_file(dir / "MeasAutosaved.zip", whole);
    std::map<std::string, std::string> e;
    {
        Kedra::Measure::Package::TempDirectory unpacked(dir);
        std::vector<std::string> written;
        std::string error;
        ASSERT_TRUE(
            Kedra::Measure::Package::UnpackFile(whole.string(), unpacked.Path(), written, error));
        for (const std::string& name : written)
            e[name] = SonvelTest::ReadBytes(unpacked.Path() / name);
    }
    SonvelTest::WriteBytes(dir / "cut.zip", SonvelTest::WithSecondDataCut(e));
    const Session open = Sonvel("open --replace '" + (dir / "cut.zip").string() + "'");
    EXPECT_EQ(open.status, 1);
    EXPECT_NE(open.err.find("Opened 1 of 2 measurements from"), std::string::npos) << open.err;
    EXPECT_NE(open.err.find("measurement-001: Failed to read the FLAC data: the data file ends "
                            "early"),
              std::string::npos)
        << open.err;

    // The same damage in the autosave: the next command says so, moves it aside and fails.
    fs::copy_file(dir / "cut.zip", dir / "MeasAutosaved.zip", fs::copy_options::overwrite_existing);
    const Session listed = Sonvel("list");
    EXPECT_EQ(listed.status, 1);
    EXPECT_NE(listed.err.find("Opened 1 of 2 measurements of the autosaved package"),
              std::string::npos)
        << listed.err;
    EXPECT_NE(listed.err.find("MeasAutosaved.damaged-"), std::string::npos) << listed.err;
    EXPECT_NE(listed.out.find("  0 A "), std::string::npos) << listed.out;
    const Session again = Sonvel("list");
    EXPECT_EQ(again.status, 0) << again.err;
}

TEST_F(CommandLine, QuietOnStderrAndPortAudioOnlyForSound) {
    const Session list = Sonvel("list");
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.err, "");
    EXPECT_EQ(Read(dir / "KedraLogging.txt").find("Pa_Initialize"), std::string::npos);

    // The audio libraries' complaints about a machine without sound go to the log.
    const Session report = Sonvel("devices");
    EXPECT_EQ(report.status, 0);
    EXPECT_EQ(report.err, "");
    EXPECT_NE(report.out.find("API:                   Simulated\n"), std::string::npos);
    const Session meter = Sonvel("meter --seconds 0.3 --sim loopback");
    EXPECT_EQ(meter.status, 0) << meter.err;
    EXPECT_EQ(meter.err, "");
    EXPECT_NE(meter.out.find("ch0 "), std::string::npos);
    // Read through a pipe: a line per reading, no carriage returns.
    EXPECT_EQ(meter.out.find('\r'), std::string::npos);
    EXPECT_GE(std::count(meter.out.begin(), meter.out.end(), '\n'), 2);

    const Session missing = Sonvel("--set Dev.ApiNumber=99 meter --seconds 0.3");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("There is no host audio interface number 99"), std::string::npos)
        << missing.err;
}

} // namespace

namespace {

TEST_F(CommandLine, SimulatedRoomGivesItsReverberationTimeAndTheViewsExport) {
    ASSERT_EQ(Sonvel("--set Dev.OutputPCMAmplitude=0.5 measure A B --sim room").status, 0);
    const Session csv = Sonvel("acoustics A --csv");
    ASSERT_EQ(csv.status, 0) << csv.err;
    std::istringstream lines(csv.out);
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "band,edt_s,t20_s,t30_s,c50_db,c80_db,d50_pct,ts_ms,clarity_is_bound");
    int checked = 0;
    while (std::getline(lines, line)) {
        const auto fields = Kedra::Tokenize(line, ",");
        if (fields.size() < 4 || fields[0] == "broadband")
            continue;
        const double band = Kedra::Text::ParseNumber(fields[0]);
        if (band >= 250.0 && band <= 4000.0) {
            EXPECT_NEAR(Kedra::Text::ParseNumber(fields[3]), 0.4, 0.04) << line;
            ++checked;
        }
        EXPECT_EQ(fields.back(), "0") << line;
    }
    EXPECT_EQ(checked, 5) << csv.out;

    // The anechoic speaker: no decay in any band, each left-out value with its reason, and
    // its clarity the bound the noise allows, as a plain number flagged in the last column.
    ASSERT_EQ(Sonvel("measure C --sim speaker").status, 0);
    const Session table = Sonvel("acoustics C --verbose");
    ASSERT_EQ(table.status, 0) << table.err;
    EXPECT_NE(table.out.find("1000 Hz T30: decay shorter than the octave filters resolve"),
              std::string::npos)
        << table.out;
    EXPECT_NE(table.out.find(" > "), std::string::npos) << table.out;
    const Session values = Sonvel("acoustics C --csv --verbose");
    ASSERT_EQ(values.status, 0) << values.err;
    EXPECT_NE(values.out.find("\n1000,,,,"), std::string::npos) << values.out;
    EXPECT_EQ(values.out.find('>'), std::string::npos);
    EXPECT_NE(values.out.find(",1\n"), std::string::npos) << values.out;
    EXPECT_NE(values.err.find("C80: the late energy lies under the noise"), std::string::npos)
        << values.err;

    // Two measurements of the same room averaged: the level where both agree stays.
    ASSERT_EQ(Sonvel("average A B --into 5 --mode db").status, 0);
    auto list = Autosaved();
    const int k = static_cast<int>(1000.0 / list->No(0)->GetHzPerBin());
    EXPECT_NEAR(20.0 * std::log10(list->No(5)->GetA()[k]),
                10.0 * std::log10(list->No(0)->GetA()[k] * list->No(1)->GetA()[k]), 0.01);

    for (const char* kind : {"groupdelay", "etc", "waterfall", "decay"}) {
        const fs::path out = dir / (std::string(kind) + ".txt");
        const Session r = Sonvel("export A '" + out.string() + "' --kind " + kind);
        ASSERT_EQ(r.status, 0) << kind << ": " << r.err;
        EXPECT_GT(fs::file_size(out), 1000u) << kind;
    }
    // The room preset: 31 slices to 300 ms; a single setting can still be changed.
    const fs::path room = dir / "room-waterfall.txt";
    ASSERT_EQ(Sonvel("export A '" + room.string() +
                     "' --kind waterfall --preset room --slices "
                     "0,300,20")
                  .status,
              0);
    std::ifstream roomFile(room);
    std::string header;
    while (std::getline(roomFile, header) && header.rfind("#Frequency", 0) != 0) {
    }
    EXPECT_EQ(Kedra::Tokenize(header, ";").size(), 17u) << header;
    EXPECT_NE(header.find(";300 ms [dB]"), std::string::npos) << header;
    for (const char* bad : {"--smoothing -3", "--smoothing 0.5", "--preset hall"}) {
        const fs::path none = dir / "refused.txt";
        EXPECT_EQ(Sonvel("export A '" + none.string() + "' --kind waterfall " + bad).status, 2)
            << bad;
        EXPECT_FALSE(fs::exists(none)) << bad;
    }
    // Empty slots are refused and nothing is written.
    EXPECT_NE(Sonvel("average A 7 --into 8").status, 0);
    EXPECT_FALSE(Autosaved()->No(8)->IsInitialized());
    EXPECT_NE(Sonvel("acoustics 9").status, 0);
    EXPECT_NE(Sonvel("export 9 '" + (dir / "none.txt").string() + "' --kind etc").status, 0);
    EXPECT_FALSE(fs::exists(dir / "none.txt"));
}

} // namespace

namespace {

std::vector<std::string> DataLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#')
            lines.push_back(line);
    return lines;
}

// A sweep keeps more raw samples (2^16) than its analysis length (2^15): the list and the
// text exports name the same number, and every export format is reachable.
TEST_F(CommandLine, ExportsAgreeWithTheListAndReachEveryFormat) {
    const Session measured = Sonvel("--set Signal.SignalLength=16 --set Analysis.MAnalysis=15 "
                                    "--set Dev.OutputPCMAmplitude=0.5 measure A --sim speaker");
    ASSERT_EQ(measured.status, 0) << measured.err;
    // Opened as the sessions open it, at the analysis length kept in the options.
    Kedra::Measure::MeasurementList list(40);
    list.SetMAnalysis(15);
    ASSERT_TRUE(list.OpenTry((dir / "MeasAutosaved.zip").string(), false));
    Kedra::Measure::Measurement& m = *list.No(0);
    ASSERT_EQ(m.GetN(), 32768);
    ASSERT_NE(m.GetDataLength(), m.GetN());
    EXPECT_NE(Sonvel("list").out.find("N=32768 "), std::string::npos);
    const auto exported = [&](const std::string& name, const std::string& args) {
        const fs::path path = dir / name;
        const Session r = Sonvel("export A '" + path.string() + "' " + args);
        EXPECT_EQ(r.status, 0) << args << ": " << r.err;
        return Read(path);
    };
    const std::string lines = exported("lines.txt", "--mode 2 --step 1000");
    EXPECT_NE(lines.find("# Number of samples: 32768\n"), std::string::npos);

    // One line of (f;dB;deg) groups, one per point of the ordinary export, the same numbers.
    const std::string oneLine = exported("one.txt", "--mode 2 --step 1000 --one-line");
    const std::vector<std::string> rows = DataLines(lines);
    const std::vector<std::string> groups = DataLines(oneLine);
    ASSERT_EQ(groups.size(), 1u);
    ASSERT_GT(rows.size(), 20u);
    std::string expected;
    for (const std::string& row : rows)
        expected += "(" + row + ") ";
    EXPECT_EQ(groups[0], expected);

    const std::string plain = exported("imp.txt", "--kind impulse");
    const std::string numbered = exported("num.txt", "--kind impulse --sample-numbers");
    EXPECT_NE(numbered.find("# Number of samples: 32768\n"), std::string::npos);
    const std::vector<std::string> values = DataLines(plain);
    const std::vector<std::string> numberedRows = DataLines(numbered);
    ASSERT_EQ(values.size(), 32768u);
    ASSERT_EQ(numberedRows.size(), 32768u);
    for (std::size_t i = 0; i < values.size(); i += 997)
        EXPECT_EQ(numberedRows[i], std::to_string(static_cast<int>(i) - 16384) + ";" + values[i]);

    // A calibration file of the full range starts at 1 Hz, not at 20 Hz.
    const std::string cal = exported("a.cal", "--kind cal");
    Kedra::Measure::Calibrator truth;
    ASSERT_TRUE(truth.Import(m, 1.0, m.GetSamplerate() / 2.0));
    ASSERT_TRUE(truth.Save((dir / "truth.cal").string()));
    EXPECT_EQ(cal, Read(dir / "truth.cal"));
    ASSERT_TRUE(truth.Import(m, 20.0, m.GetSamplerate() / 2.0));
    ASSERT_TRUE(truth.Save((dir / "from20.cal").string()));
    EXPECT_NE(cal, Read(dir / "from20.cal"));

    EXPECT_EQ(
        Sonvel("export A '" + (dir / "x.txt").string() + "' --kind impulse --one-line").status, 2);
    EXPECT_EQ(Sonvel("export A '" + (dir / "x.txt").string() + "' --sample-numbers").status, 2);
    EXPECT_EQ(Sonvel("export A '" + (dir / "x.txt").string() + "' --from 100 --to 50").status, 2);
    // A range beyond the record, and text with no data in it, are refused with the reason.
    const Session beyond =
        Sonvel("export A '" + (dir / "x.txt").string() + "' --kind cal --from 30000");
    EXPECT_EQ(beyond.status, 1);
    EXPECT_NE(beyond.err.find("nothing to export from 30000 to 22050 Hz"), std::string::npos)
        << beyond.err;
    EXPECT_FALSE(fs::exists(dir / "x.txt"));
    std::ofstream(dir / "words.txt") << "Frequency response of nothing\n";
    for (const char* kind : {"impulse", "response"}) {
        const Session words =
            Sonvel("import '" + (dir / "words.txt").string() + "' --kind " + kind);
        EXPECT_EQ(words.status, 1) << kind;
        EXPECT_NE(words.err.find(std::string("it holds no ") +
                                 (kind[0] == 'i' ? "sample lines" : "lines of a frequency")),
                  std::string::npos)
            << words.err;
    }
}

// Impulses shared as FLAC or AIFF import sample for sample; a damaged one is refused, and the
// command says why, once.
TEST_F(CommandLine, FlacAndAiffImpulsesImportAndDamagedOnesSayWhy) {
    std::vector<double> x(3000);
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] = 0.3 * std::exp(-0.002 * static_cast<double>(i)) * std::cos(0.3 * i) - 0.05;
    x[3] = 0.95; // the peak, moved to time zero
    const auto write = [&](const fs::path& path, int format) {
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = 1;
        info.format = format;
        SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr) << path;
        sf_write_double(f, x.data(), static_cast<sf_count_t>(x.size()));
        sf_close(f);
    };
    write(dir / "shared.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    write(dir / "shared.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16);
    const Session flac =
        Sonvel("import '" + (dir / "shared.flac").string() + "' --kind impulse --slot 4");
    ASSERT_EQ(flac.status, 0) << flac.err;
    const Session aiff = Sonvel("import '" + (dir / "shared.aiff").string() + "' --slot 5");
    ASSERT_EQ(aiff.status, 0) << aiff.err;
    auto list = Autosaved();
    // Off by the writer's full scale (2^(bits-1) - 1 against the reader's 2^(bits-1)), its rounding
    // and the autosave's 24 bits.
    for (const auto& [slot, step] : {std::pair{4, 4.0 / 8388608.0}, std::pair{5, 2.0 / 32768.0}}) {
        Kedra::Measure::Measurement& m = *list->No(slot);
        ASSERT_TRUE(m.IsInitialized()) << slot;
        EXPECT_EQ(m.GetSamplerate(), 48000);
        EXPECT_EQ(m.GetBaseOffset(), 3.0) << slot;
        const double* zero = m.GetIData() + m.GetImpulsePosition() - 3;
        for (std::size_t i = 0; i < x.size(); ++i)
            ASSERT_NEAR(zero[i], x[i], step) << slot << " " << i;
    }

    const std::string bytes = SonvelTest::ReadBytes(dir / "shared.flac");
    SonvelTest::WriteBytes(dir / "cut.flac", bytes.substr(0, bytes.size() / 2));
    SonvelTest::WriteBytes(dir / "noise.aiff",
                           std::string("FORM\x01\x02\x03\x04") + "AIFFgarbage, not a chunk");
    for (const char* name : {"cut.flac", "noise.aiff"}) {
        const Session r = Sonvel("import '" + (dir / name).string() + "' --kind impulse --slot 6");
        EXPECT_EQ(r.status, 1) << name;
        const std::string why = std::string("Could not import ") + (dir / name).string() +
                                ": damaged " + (name[0] == 'c' ? "FLAC" : "AIFF") + " file (";
        EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("sonvel: error", r.err.find("sonvel: error") + 1), std::string::npos)
            << r.err;
    }
    EXPECT_FALSE(Autosaved()->No(6)->IsInitialized());
    const Session analyzed = Sonvel("analyze '" + (dir / "cut.flac").string() + "'");
    EXPECT_EQ(analyzed.status, 1);
    EXPECT_NE(analyzed.err.find("could not be read: damaged FLAC file ("), std::string::npos)
        << analyzed.err;
}

TEST_F(CommandLine, MeasuringTwiceIntoAKeepsBothAndAFullListIsReplacedOnlyWithReplace) {
    const std::string settings = "--set Signal.SignalLength=14 --set Dev.OutputPCMAmplitude=0.5 ";
    ASSERT_EQ(Sonvel(settings + "measure A --sim loopback --name first").status, 0);
    const Session again = Sonvel(settings + "measure A --sim loopback");
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_NE(again.out.find("The earlier measurement of A is now in slot 3\n"), std::string::npos)
        << again.out;
    auto list = Autosaved();
    EXPECT_EQ(list->No(3)->GetLabel(), "first");
    EXPECT_EQ(list->No(0)->GetLabel(), "Unnamed-0");

    {
        Kedra::Measure::MeasurementList full(40);
        for (int i = 0; i < full.GetSize(); ++i) {
            full.No(i)->InitializeDirac(10, 44100, 1.0);
            full.No(i)->SetLabel("old " + std::to_string(i));
        }
        ASSERT_TRUE(full.Save((dir / "MeasAutosaved.zip").string()));
    }
    // --yes answers questions; it does not replace.
    for (const char* yes : {"", "--yes "}) {
        const Session refused = Sonvel(yes + settings + "measure A --sim loopback");
        EXPECT_EQ(refused.status, 1) << yes;
        EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;
        EXPECT_NE(refused.err.find("Every slot is filled, so the earlier measurement of A (old 0) "
                                   "cannot be kept; nothing was written. Clear a slot first, or "
                                   "give --replace to replace it."),
                  std::string::npos)
            << refused.err;
        EXPECT_EQ(Autosaved()->No(0)->GetLabel(), "old 0");
    }
    const Session replaced = Sonvel("--replace " + settings + "measure A --sim loopback");
    ASSERT_EQ(replaced.status, 0) << replaced.err;
    list = Autosaved();
    EXPECT_EQ(list->No(0)->GetSignalType(), 1);
    EXPECT_EQ(list->No(1)->GetLabel(), "old 1");

    // Switched off, a filled list is written over as before.
    const Session off = Sonvel("--set Misc.KeepReplacedMeasurements=false " + settings +
                               "measure B --sim loopback --name new");
    ASSERT_EQ(off.status, 0) << off.err;
    EXPECT_EQ(Autosaved()->No(1)->GetLabel(), "new");
}

TEST_F(CommandLine, SeveralInputsWithAReferenceAndTheListsThatAreRefused) {
    const std::string measure = "--set Signal.SignalLength=14 measure --sim speaker ";
    for (const char* bad : {"--inputs 0", "--inputs 1,1", "--inputs 1,12", "--inputs 1,x",
                            "--inputs 1,9 --reference-input 9", "--inputs 1 --reference-input 0"}) {
        const Session r = Sonvel(measure + bad);
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("nput "), std::string::npos) << bad << ":\n" << r.err;
    }
    EXPECT_NE(Sonvel(measure + "--inputs 1,12").err.find("There is no input 12"),
              std::string::npos);
    const Session ok = Sonvel(measure + "--inputs 1,10 --reference-input 9 --name Mic");
    ASSERT_EQ(ok.status, 0) << ok.err;
    EXPECT_NE(ok.out.find("Input 1 in slot 0: Mic (input 1)"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("Input 10 in slot 3: Mic (input 10)"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find(", Acoustic delay 5.8"), std::string::npos) << ok.out;
    const Session info = Sonvel("info A");
    EXPECT_NE(info.out.find("System delay: 10.88"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Acoustic delay: 2.9"), std::string::npos) << info.out;
    // The lists were for that run; the options keep their own.
    EXPECT_NE(Read(dir / "RazeriRerirov.xml").find("<ReferenceInput>-1</ReferenceInput>"),
              std::string::npos);
    // A loopback calibration measures its one input and leaves the stored lists alone.
    ASSERT_EQ(Sonvel("--yes --set Dev.InputChannels=0,9 --set Dev.ReferenceInput=8 cal loopback "
                     "--sim loopback")
                  .status,
              0);
    EXPECT_NE(Read(dir / "RazeriRerirov.xml").find("<ReferenceInput>8</ReferenceInput>"),
              std::string::npos);
    auto list = Autosaved();
    int inputRecords = 0;
    for (int i = 0; i < list->GetSize(); ++i)
        inputRecords += list->No(i)->GetLabel().find("(input") != std::string::npos ? 1 : 0;
    EXPECT_EQ(inputRecords, 2) << "only the two of the measurement above";
}

} // namespace

namespace {

// A user directory under a plain file stops even root: refused before any work is done.
TEST_F(CommandLine, AnUnwritableUserDirectoryIsRefusedBeforeAnyWork) {
    SonvelTest::WriteBytes(dir / "afile", "x");
    const fs::path bad = dir / "afile" / "sub";
    const auto run = [&](const std::string& args) {
        const std::string command = std::string(SONVEL_BINARY) + " --user-dir '" + bad.string() +
                                    "' " + args + " >'" + (dir / "o.txt").string() + "' 2>'" +
                                    (dir / "e.txt").string() + "'";
        const int raw = std::system(command.c_str());
        return Session{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Read(dir / "o.txt"),
                       Read(dir / "e.txt")};
    };
    for (const char* args : {"--set Signal.SignalLength=14 measure A --sim loopback", "clear"}) {
        const Session r = run(args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_EQ(r.out.find("Measured"), std::string::npos) << r.out;
        EXPECT_NE(r.err.find("the user directory " + bad.string() +
                             " cannot be written (Not a directory): give --user-dir a writable "
                             "directory"),
                  std::string::npos)
            << r.err;
    }
    // Only reading: nothing to lose.
    EXPECT_EQ(run("list").status, 0);
}

TEST_F(CommandLine, OpeningOverAListOfMeasurementsTakesReplace) {
    {
        Kedra::Measure::MeasurementList list(40);
        list.No(0)->InitializeDirac(10, 44100, 1.0);
        ASSERT_TRUE(list.Save((dir / "w.zip").string()));
        for (int i = 1; i < 6; ++i)
            list.No(i)->InitializeDirac(10, 44100, 1.0);
        ASSERT_TRUE(list.Save((dir / "MeasAutosaved.zip").string()));
    }
    const auto filled = [&] {
        int n = 0;
        auto list = Autosaved();
        for (int i = 0; i < list->GetSize(); ++i)
            n += list->IsFilled(i) ? 1 : 0;
        return n;
    };
    const Session refused = Here("--yes open w.zip");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("The list holds 6 measurements that opening w.zip would replace; "
                               "nothing was opened. Give --replace"),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(filled(), 6);
    ASSERT_EQ(Here("open --append w.zip").status, 0);
    EXPECT_EQ(filled(), 7);
    ASSERT_EQ(Here("open --replace w.zip").status, 0);
    EXPECT_EQ(filled(), 1);
}

TEST_F(CommandLine, SilentOrBrokenRecordingsAreNotAnalysed) {
    ASSERT_EQ(Here("signal sweep.wav").status, 0);
    std::vector<float> samples(44100 * 6, 0.0f);
    const auto write = [&](const char* name) {
        ASSERT_GT(Kedra::WaveImExport::ArrayWaveExport(
                      samples.data(), static_cast<int>(samples.size()), 44100,
                      (dir / name).string(), Kedra::WaveImExport::WaveFormat::Float32, "", false),
                  0);
    };
    write("sil.wav");
    samples[1000] = 0.5f;
    samples[2000] = std::numeric_limits<float>::quiet_NaN();
    write("nan.wav");
    samples[2000] = std::numeric_limits<float>::infinity();
    write("inf.wav");
    const Session silent = Here("analyze sil.wav --reference sweep.wav");
    EXPECT_EQ(silent.status, 1);
    EXPECT_NE(silent.err.find("Recording amplitude is to low:! (Below -70 dB)"), std::string::npos)
        << silent.err;
    for (const char* args :
         {"analyze nan.wav --reference sweep.wav", "analyze inf.wav --reference sweep.wav",
          "analyze sweep.wav "
          "--reference inf.wav"}) {
        const Session r = Here(args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_NE(r.err.find("holds 1 samples that are not numbers (NaN or infinite)"),
                  std::string::npos)
            << args << r.err;
    }
    EXPECT_EQ(Here("list").out.find("sil"), std::string::npos);
}

TEST_F(CommandLine, EachInputLineNamesItsOwnValues) {
    const Session r = Sonvel("--set Signal.SignalLength=14 measure C --sim loopback --inputs 1,11");
    ASSERT_EQ(r.status, 0) << r.err;
    auto list = Autosaved();
    const auto offset = [&](int slot) {
        return Kedra::Text::FormatFixed(list->No(slot)->GetCurrentOffset(), 3);
    };
    ASSERT_NE(offset(2), offset(3)) << "the inputs must differ for this test to tell them apart";
    EXPECT_NE(r.out.find("Measured C into slot 2: Unnamed-2 (input 1), recording peak "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("time offset " + offset(2) + " samples\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Input 11 in slot 3: Unnamed-2 (input 11), recording peak "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("time offset " + offset(3) + " samples\n"), std::string::npos) << r.out;
}

TEST_F(CommandLine, CalibrationsThatCannotBeImportedSayWhy) {
    SonvelTest::WriteBytes(dir / "one.cal", "# one point\n100 0\n");
    const Session missing = Here("cal mic nothere.cal");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("Microphone calibration could not be imported!\nno such file: "
                               "nothere.cal"),
              std::string::npos)
        << missing.err;
    const Session one = Here("cal dacadc one.cal");
    EXPECT_EQ(one.status, 1);
    EXPECT_NE(one.err.find("DAC-ADC calibration could not be imported!\none data line"),
              std::string::npos)
        << one.err;
}

} // namespace
