#include "exchange/Calibrator.h"
#include "exchange/TextFile.h"

#include "foundation/MathHelpers.h"
#include "support/Sanitizers.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#if SONVEL_TEST_ASAN
#include <sanitizer/lsan_interface.h>
#endif

#include <algorithm>
#include <clocale>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <locale>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using Kedra::Measure::Calibrator;
using Kedra::Measure::MeasurementCore;
using cd = std::complex<double>;
namespace fs = std::filesystem;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double PI = 3.14159265358979323846;
constexpr int FS = 48000;

double Db(cd z) {
    return 20.0 * std::log10(std::abs(z));
}
double Deg(cd z) {
    return std::arg(z) * 180.0 / PI;
}

fs::path Dir() {
    const fs::path dir = SonvelTest::TempDir() / "calibrator";
    fs::create_directories(dir);
    return dir;
}

fs::path WriteFile(const std::string& name, const std::string& contents) {
    const fs::path path = Dir() / name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A measurement whose impulse is the FIR `taps` starting exactly at time zero, so that its
// spectrum is H(f) = sum taps[n] e^(-j 2 pi f n / fs).
void MakeFir(MeasurementCore& m, const std::vector<double>& taps, int p) {
    const int n = 1 << p;
    std::vector<double> raw(static_cast<std::size_t>(n), 0.0);
    for (std::size_t i = 0; i < taps.size(); ++i)
        raw[static_cast<std::size_t>(n / 2) + i] = taps[i];
    m.InitializeImpulse(raw.data(), n, n / 2, FS, p, 0, 0.0, 0.0, true);
}

cd FirResponse(const std::vector<double>& taps, double f) {
    cd h = 0.0;
    for (std::size_t i = 0; i < taps.size(); ++i)
        h += taps[i] * std::polar(1.0, -2.0 * PI * f * static_cast<double>(i) / FS);
    return h;
}

// The level Import normalises to: the mean magnitude over the bins of 1 kHz to 2 kHz on a
// grid of `bins` bins up to half the sample rate.
double FirNormalisation(const std::vector<double>& taps, int bins = 16384) {
    const double binWidth = FS / (2.0 * bins);
    const int lo = static_cast<int>(std::floor(1000.0 / binWidth + 0.5));
    const int hi = static_cast<int>(std::floor(2000.0 / binWidth + 0.5));
    double sum = 0.0;
    for (int k = lo; k < hi; ++k)
        sum += std::abs(FirResponse(taps, k * binWidth));
    return sum / (hi - lo);
}

// The table, loaded and active, that every refused input must leave untouched.
struct Snapshot {
    std::vector<double> frequencies;
    std::vector<cd> response;
    explicit Snapshot(const Calibrator& c)
        : frequencies(c.GetFrequencies(), c.GetFrequencies() + c.GetCount()),
          response(c.GetResponse(), c.GetResponse() + c.GetCount()) {}
    bool operator==(const Snapshot&) const = default;
};

const char* const KNOWN_TABLE = "#header\n100 -6 30\n200 0 -30\n";

} // namespace

TEST(Calibrator, ReadsTheDocumentedLineForms) {
    Calibrator c;
    ASSERT_TRUE(c.OpenText("Frequency;Gain [dB]; Phase [degrees]\n"
                           "1000,5;-3,25;10\n#1 2\n+5 3\n.5 3\n\"7 1\"\nabc\n5\n"
                           "20 0\n  100\t\t-1\r\n"));
    ASSERT_EQ(c.GetCount(), 3);
    const double f[] = {20.0, 100.0, 1000.5};
    const double db[] = {0.0, -1.0, -3.25};
    const double deg[] = {0.0, 0.0, 10.0};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(c.GetFrequencies()[i], f[i]);
        EXPECT_NEAR(Db(c.GetResponse()[i]), db[i], 1e-12);
        EXPECT_NEAR(Deg(c.GetResponse()[i]), deg[i], 1e-12);
    }
    EXPECT_TRUE(c.IsValid());
    EXPECT_FALSE(c.IsActive());

    // Radians in the third column, and a table above 0 dB shifted to peak at 0 dB.
    c.phaseUnit = 1;
    ASSERT_TRUE(c.OpenText("100 3 1.5\n200 1 -0.5\n"));
    EXPECT_NEAR(Db(c.GetResponse()[0]), 0.0, 1e-12);
    EXPECT_NEAR(Db(c.GetResponse()[1]), -2.0, 1e-12);
    EXPECT_NEAR(std::arg(c.GetResponse()[0]), 1.5, 1e-12);
}

TEST(Calibrator, ReadsAMicrophoneFileWithAllItsPoints) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> gain(-6.0, 2.5);
    std::string text = "\"Sens Factor =-1.378dB, SERNO: 7023270\"\r\n";
    std::vector<double> f, g;
    for (int i = 0; i < 120; ++i) {
        f.push_back(10.0 * std::pow(2400.0, i / 119.0));
        g.push_back(gain(rng));
        std::ostringstream line;
        line.precision(9);
        line << f.back() << (i % 2 ? "\t" : " ") << g.back();
        if (i % 3 == 0)
            line << "\t" << 5.0 * (i % 7);
        text += line.str() + "\r\n";
    }
    const fs::path path = WriteFile("mic.txt", "Sens Factor =-1.378dB, SERNO: 7023270\n" + text);
    Calibrator c;
    ASSERT_TRUE(c.Open(path.string()));
    ASSERT_EQ(c.GetCount(), 120);
    const double peak = *std::max_element(g.begin(), g.end());
    for (std::size_t i = 0; i < f.size(); ++i) {
        EXPECT_NEAR(c.GetFrequencies()[i], f[i], 1e-6 * f[i]);
        EXPECT_NEAR(Db(c.GetResponse()[i]), g[i] - peak, 1e-6);
        EXPECT_NEAR(Deg(c.GetResponse()[i]), i % 3 == 0 ? 5.0 * (i % 7) : 0.0, 1e-9);
    }
}

TEST(Calibrator, SaveWritesTheLayoutAndOpenReadsItBack) {
    Calibrator c;
    c.comment = "loopback\nTwo 1000 50\r";
    ASSERT_TRUE(c.OpenText("123456789 -6 90\n1000 0 0\n20.0012345 -2000000 0\n"));
    const std::string expected = "#This file has been saved using Vaviv Uradavadu software\n"
                                 "#https://sonvel.example.org\n"
                                 "#Fileversion = 0\n"
                                 "#Comment     = loopback Two 1000 50 \n"
                                 "Frequency;Gain [dB]; Phase [degrees]\n"
                                 "20.0012; -2e+06;0\n"
                                 "1000; 0;0\n"
                                 "1.23457e+08; -6;90\n";
    EXPECT_EQ(c.SaveText(), expected);

    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::string text;
    for (int i = 0; i < 200; ++i)
        text += std::to_string(5.0 + i * 117.3 + u(rng)) + ";" + std::to_string(-40.0 * u(rng)) +
                ";" + std::to_string(359.0 * u(rng) - 179.5) + "\n";
    ASSERT_TRUE(c.OpenText(text));
    const fs::path path = Dir() / "round.cal";
    ASSERT_TRUE(c.Save(path.string()));
    Calibrator back;
    ASSERT_TRUE(back.Open(path.string()));
    ASSERT_EQ(back.GetCount(), c.GetCount());
    for (int i = 0; i < c.GetCount(); ++i) {
        const cd a = c.GetResponse()[i];
        const cd b = back.GetResponse()[i];
        EXPECT_NEAR(back.GetFrequencies()[i], c.GetFrequencies()[i], 5e-6 * c.GetFrequencies()[i]);
        EXPECT_NEAR(Db(b), Db(a), 5e-6 * std::max(1.0, std::abs(Db(a))));
        EXPECT_NEAR(Deg(b), Deg(a), 5e-6 * std::max(1.0, std::abs(Deg(a))));
    }
}

TEST(Calibrator, CorrectionInterpolatesHoldsEndsAndIgnoresNaN) {
    Calibrator c;
    EXPECT_EQ(c.GetCorrection(100.0), cd(1.0));
    c.SetActive(true); // never loaded: stays inactive
    EXPECT_FALSE(c.IsActive());
    ASSERT_TRUE(c.OpenText(KNOWN_TABLE));
    EXPECT_EQ(c.GetCorrection(100.0), cd(1.0));
    c.SetActive(true);
    ASSERT_TRUE(c.IsActive());

    const double g0 = std::pow(10.0, 6.0 / 20.0);
    const cd low = std::polar(g0, -PI / 6.0);
    const cd high = std::polar(1.0, PI / 6.0);
    const auto near = [](cd a, cd b) { return std::abs(a - b) < 1e-12; };
    EXPECT_TRUE(near(c.GetCorrection(100.0), low));
    EXPECT_TRUE(near(c.GetCorrection(200.0), high));
    EXPECT_TRUE(near(c.GetCorrection(150.0), cd(0.5 * (g0 + 1.0), 0.0)));
    EXPECT_TRUE(near(c.GetCorrection(125.0), std::polar(0.75 * g0 + 0.25, -PI / 12.0)));
    for (double f : {99.9, 0.0, -5.0, -INF})
        EXPECT_TRUE(near(c.GetCorrection(f), low)) << f;
    for (double f : {200.1, 1e9, INF})
        EXPECT_TRUE(near(c.GetCorrection(f), high)) << f;
    EXPECT_EQ(c.GetCorrection(std::nan("")), cd(1.0));

    c.usePhase = false;
    EXPECT_TRUE(near(c.GetCorrection(125.0), cd(0.75 * g0 + 0.25, 0.0)));
    EXPECT_TRUE(near(c.GetCorrection(50.0), cd(g0, 0.0)));
    c.SetActive(false);
    EXPECT_EQ(c.GetCorrection(150.0), cd(1.0));

    // -30 dB and a zero response both hit the upper limit of +12 dB.
    ASSERT_TRUE(c.OpenText("100 -30\n200 -2000000\n300 0\n"));
    EXPECT_DOUBLE_EQ(c.GetCorrectionGain()[0], std::pow(10.0, 0.6));
    EXPECT_DOUBLE_EQ(c.GetCorrectionGain()[1], std::pow(10.0, 0.6));
    EXPECT_DOUBLE_EQ(c.GetCorrectionGain()[2], 1.0);
    // Duplicate end frequencies: the last point holds, as above the table.
    ASSERT_TRUE(c.OpenText("100 -6\n200 -1\n200 -3\n"));
    c.SetActive(true);
    EXPECT_NEAR(std::abs(c.GetCorrection(200.0)), std::pow(10.0, 3.0 / 20.0), 1e-12);
}

TEST(Calibrator, ImportOfAFlatResponseKeepsFivePoints) {
    MeasurementCore m("flat");
    MakeFir(m, {1.0}, 16);
    Calibrator c;
    ASSERT_TRUE(c.Import(m, 1.0, FS / 2.0));
    const double bw = FS / 32768.0;
    const double expected[] = {0.0, 8 * bw, 16382 * bw, 16383 * bw, FS / 2.0};
    ASSERT_EQ(c.GetCount(), 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_DOUBLE_EQ(c.GetFrequencies()[i], expected[i]);
        EXPECT_NEAR(std::abs(c.GetResponse()[i] - 1.0), 0.0, 1e-9);
    }
    EXPECT_EQ(c.comment, "flat");
    EXPECT_FALSE(c.IsActive());
}

TEST(Calibrator, ImportMatchesTheAnalyticResponseOfAnFir) {
    const std::vector<double> taps = {1.0, -0.6, 0.2};
    // p = 15 uses the bins as they are, p = 17 halves twice, p = 12 has fewer bins than usual.
    for (int p : {15, 17, 12}) {
        MeasurementCore m("fir");
        MakeFir(m, taps, p);
        const double scale = 1.0 / FirNormalisation(taps, std::min(1 << (p - 1), 16384));
        Calibrator c;
        ASSERT_TRUE(c.Import(m, 1.0, FS / 2.0)) << p;
        const int n = c.GetCount();
        ASSERT_GT(n, 20) << p;
        EXPECT_EQ(c.GetFrequencies()[n - 1], FS / 2.0);
        const double tolerance = p == 17 ? 1e-4 : 1e-9;
        for (int i = 1; i < n - 1; ++i) {
            const double f = c.GetFrequencies()[i];
            ASSERT_GT(f, c.GetFrequencies()[i - 1]);
            const cd h = FirResponse(taps, f) * scale;
            EXPECT_NEAR(std::abs(c.GetResponse()[i] - h), 0.0, tolerance * std::abs(h))
                << p << " " << f;
            EXPECT_NEAR(c.GetCorrectionGain()[i], 1.0 / std::abs(h), tolerance / std::abs(h));
            EXPECT_NEAR(c.GetCorrectionPhase()[i], -std::arg(h), tolerance);
        }
        if (p != 15)
            continue;
        // Every bin left out lies within the thresholds of the point kept before it.
        const double bw = FS / 32768.0;
        for (int i = 1; i + 2 < n; ++i) {
            const cd kept = c.GetResponse()[i];
            const int from = static_cast<int>(std::lround(c.GetFrequencies()[i] / bw));
            const int to = static_cast<int>(std::lround(c.GetFrequencies()[i + 1] / bw));
            for (int k = from + 1; k < to; ++k) {
                const cd h = FirResponse(taps, k * bw) * scale;
                EXPECT_LE(std::abs(Db(h) - Db(kept)), c.maxChangeDb + 1e-9) << k;
                EXPECT_LE(std::abs(Deg(h) - Deg(kept)), c.maxChangeDeg + 1e-9) << k;
            }
        }
    }
}

TEST(Calibrator, ImportExtendsOutsideTheBandAndClampsCorrections) {
    // 1 - 0.99 z^-1 rises by about 40 dB from 0 Hz to 24 kHz.
    const std::vector<double> taps = {1.0, -0.99};
    MeasurementCore m("hp");
    MakeFir(m, taps, 15);
    Calibrator c;
    ASSERT_TRUE(c.Import(m, 200.0, 8000.0));
    const double scale = 1.0 / FirNormalisation(taps);
    // The extensions start from an average centred on the bin at or below each band edge.
    const double bw = FS / 32768.0;
    const double atLow = std::abs(FirResponse(taps, std::floor(200.0 / bw) * bw)) * scale;
    const double atHigh = std::abs(FirResponse(taps, std::floor(8000.0 / bw) * bw)) * scale;
    for (int i = 0; i < c.GetCount(); ++i) {
        const double f = c.GetFrequencies()[i];
        const double a = std::abs(c.GetResponse()[i]);
        if (f <= 195.0) {
            EXPECT_NEAR(a, atLow, 2e-3 * atLow) << f;
        }
        if (f >= 8100.0) {
            EXPECT_NEAR(a, atHigh, 2e-3 * atHigh) << f;
        }
    }
    // Below 200 Hz the phase runs linearly from 0 at 0 Hz.
    int below = 0;
    for (int i = 1; i < c.GetCount() && c.GetFrequencies()[i] <= 150.0; ++i, ++below)
        EXPECT_NEAR(std::arg(c.GetResponse()[i]) / c.GetFrequencies()[i],
                    std::arg(c.GetResponse()[1]) / c.GetFrequencies()[1], 1e-9);
    EXPECT_GT(below, 1);

    ASSERT_TRUE(c.Import(m, 1.0, FS / 2.0));
    const double maxGain = std::pow(10.0, 0.6);
    EXPECT_DOUBLE_EQ(c.GetCorrectionGain()[0], maxGain);                      // about -26 dB
    EXPECT_DOUBLE_EQ(c.GetCorrectionGain()[c.GetCount() - 1], 1.0 / maxGain); // about +20 dB
}

TEST(Calibrator, RefusedInputKeepsThePreviousTable) {
    Calibrator c;
    ASSERT_TRUE(c.OpenText(KNOWN_TABLE));
    c.SetActive(true);
    c.comment = "kept";
    const Snapshot before(c);
    const cd correction = c.GetCorrection(130.0);

    std::mt19937 rng(5);
    std::string garbage(4096, '\0');
    for (char& ch : garbage)
        ch = static_cast<char>(rng());
    const std::string hugeLine = "300 -1 " + std::string(10 * 1024 * 1024, '7') + "\n400 -2\n";
    const std::vector<std::pair<std::string, std::string>> texts = {
        {"", "0 data points"},
        {"#only\nFrequency;Gain\n", "0 data points"},
        {"1000 -3 10\n", "1 data point, at least 2 needed"},
        {garbage, "at least 2 needed"},
        {hugeLine, "is longer than 79 characters"},
        {"100 -1\n200 nan\n", "line 2 holds a number that is not finite"},
        {"100 -1\n200 -3 inf\n", "not finite"},
        {"100 -1\n200 -1e999\n", "not finite"},
        {"100 -1\n1e999 -3\n", "not finite"},
        {"100 -1\n200 -3 1e308\n", "not finite"}, // overflows when turned into radians
    };
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const auto& [text, message] = texts[i];
        const std::string tag = "case" + std::to_string(i);
        EXPECT_FALSE(c.OpenText(text, tag)) << tag;
        EXPECT_NE(SonvelTest::ReadLog().find("Calibrator::Open(" + tag + ") : "), std::string::npos)
            << tag;
        EXPECT_NE(SonvelTest::ReadLog().find(message), std::string::npos) << tag;
        EXPECT_TRUE(Snapshot(c) == before) << tag;
        EXPECT_TRUE(c.IsActive() && c.IsValid()) << tag;
        EXPECT_EQ(c.GetCorrection(130.0), correction) << tag;
    }
    EXPECT_FALSE(c.Open(WriteFile("huge.cal", hugeLine).string()));
    EXPECT_FALSE(c.Open((Dir() / "missing.cal").string()));
    EXPECT_NE(SonvelTest::ReadLog().find("missing.cal) : cannot open the file"), std::string::npos);
    EXPECT_FALSE(c.Open(Dir().string()));
    EXPECT_NE(SonvelTest::ReadLog().find("not a regular file"), std::string::npos);

    MeasurementCore empty("empty");
    MeasurementCore fir("fir");
    MakeFir(fir, {1.0, 0.5}, 14);
    EXPECT_FALSE(c.Import(empty, 1.0, 20000.0));
    EXPECT_FALSE(c.Import(fir, std::nan(""), 20000.0));
    EXPECT_FALSE(c.Import(fir, 5000.0, 4000.0));
    EXPECT_FALSE(c.Import(fir, 30000.0, INF));
    EXPECT_NE(SonvelTest::ReadLog().find("Calibrator::Import(empty, 1, 20000) : the measurement "
                                         "holds no data -> previous table kept"),
              std::string::npos);
    EXPECT_TRUE(Snapshot(c) == before);
    EXPECT_EQ(c.comment, "kept");
    EXPECT_EQ(c.GetCorrection(130.0), correction);

    // The cut line itself is still read, so a long last line after good ones loads.
    ASSERT_TRUE(c.OpenText("100 -1\n" + hugeLine));
    EXPECT_EQ(c.GetCount(), 2);
    EXPECT_TRUE(c.IsActive());
}

// Short random texts over the characters numbers are made of: whatever loads is a sound
// table, whatever does not leaves the previous one.
TEST(Calibrator, RandomTextLoadsSoundTablesOrNothing) {
    const std::string alphabet = "0123456789012345.,;-+eExXpinfa \t\t\n\n\n\r#";
    std::mt19937 rng(17);
    Calibrator c;
    ASSERT_TRUE(c.OpenText(KNOWN_TABLE));
    Snapshot previous(c);
    int loaded = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string text(rng() % 200, ' ');
        for (char& ch : text)
            ch = alphabet[rng() % alphabet.size()];
        if (!c.OpenText(text)) {
            ASSERT_TRUE(Snapshot(c) == previous) << text;
            continue;
        }
        ++loaded;
        ASSERT_GE(c.GetCount(), 2);
        for (int i = 0; i < c.GetCount(); ++i) {
            ASSERT_TRUE(std::isfinite(c.GetFrequencies()[i])) << text;
            ASSERT_LE(std::abs(c.GetResponse()[i]), 1.0) << text;
            ASSERT_TRUE(i == 0 || c.GetFrequencies()[i] >= c.GetFrequencies()[i - 1]) << text;
            ASSERT_GE(c.GetCorrectionGain()[i], c.minCorrection);
            ASSERT_LE(c.GetCorrectionGain()[i], c.maxCorrection);
        }
        previous = Snapshot(c);
    }
    EXPECT_GT(loaded, 100);
}

TEST(Calibrator, DescendingFrequenciesAreSortedStably) {
    Calibrator c;
    ASSERT_TRUE(c.OpenText("300 -1\n200 -2\n200 -3\n100 -4\n"));
    const double f[] = {100.0, 200.0, 200.0, 300.0};
    const double db[] = {-4.0, -2.0, -3.0, -1.0};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(c.GetFrequencies()[i], f[i]);
        EXPECT_NEAR(Db(c.GetResponse()[i]), db[i], 1e-12);
    }
    EXPECT_NE(SonvelTest::ReadLog().find("frequencies not ascending -> points sorted"),
              std::string::npos);
}

TEST(Calibrator, FailedSaveLeavesFilesAlone) {
    const fs::path existing = WriteFile("existing.cal", "precious\n");
    Calibrator empty;
    EXPECT_FALSE(empty.Save(existing.string()));
    EXPECT_EQ(ReadFile(existing), "precious\n");
    EXPECT_NE(SonvelTest::ReadLog().find("no table loaded -> nothing written"), std::string::npos);

    Calibrator c;
    ASSERT_TRUE(c.OpenText(KNOWN_TABLE));
    const fs::path blocker = WriteFile("plain-file", "x");
    for (const fs::path& bad : {Dir() / "no-dir" / "a.cal", blocker / "a.cal", Dir()}) {
        EXPECT_FALSE(c.Save(bad.string())) << bad;
        EXPECT_NE(SonvelTest::ReadLog().find("Calibrator::Save(" + bad.string() + ") : cannot"),
                  std::string::npos)
            << bad;
    }
    ASSERT_TRUE(c.Save(existing.string()));
    EXPECT_EQ(ReadFile(existing), c.SaveText());
    for (const auto& e : fs::recursive_directory_iterator(SonvelTest::TempDir()))
        EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
}

// glibc keeps a block of the LOCPATH search list for good once a locale was loaded through
// it; that is the C library's, not ours, so the leak checker looks away meanwhile.
struct LeakCheckPause {
#if SONVEL_TEST_ASAN
    LeakCheckPause() {
        __lsan_disable();
    }
    ~LeakCheckPause() {
        __lsan_enable();
    }
#endif
};

// A comma-decimal locale: an installed one, else a German one built into the temporary
// directory (a bare system often ships none). Null when neither works.
const char* CommaLocale() {
    const auto usable = [](const char* name) {
        return std::setlocale(LC_ALL, name) != nullptr &&
               std::localeconv()->decimal_point[0] == ',';
    };
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "nl_NL.UTF-8"})
        if (usable(name))
            return name;
    const fs::path dir = SonvelTest::TempDir() / "locales";
    fs::create_directories(dir);
    const std::string command =
        "localedef -i de_DE -f UTF-8 '" + (dir / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) == 0 && ::setenv("LOCPATH", dir.c_str(), 1) == 0 &&
        usable("de_DE.UTF-8"))
        return "de_DE.UTF-8";
    return nullptr;
}

// A German desktop writes and reads "3,25"; the calibration files must not follow it.
TEST(Calibrator, FilesIgnoreACommaDecimalLocale) {
    [[maybe_unused]] const LeakCheckPause pause;
    const char* name = CommaLocale();
    if (name == nullptr) {
        std::setlocale(LC_ALL, "C");
        GTEST_SKIP() << "no comma-decimal locale is installed (locale -a) and localedef could "
                        "not build de_DE.UTF-8";
    }
    // Back to the "C" locale whatever happens below, for the tests that follow.
    struct Restore {
        std::locale previous;
        ~Restore() {
            std::locale::global(previous);
            std::setlocale(LC_ALL, "C");
        }
    } restore{std::locale::global(std::locale(name))};
    // The C library itself now reads and writes commas ...
    char probe[32];
    std::snprintf(probe, sizeof(probe), "%g", -3.25);
    EXPECT_STREQ(probe, "-3,25");
    // ... but the files do not.
    EXPECT_EQ(Kedra::Text::ParseNumber("1000.5"), 1000.5);
    EXPECT_EQ(Kedra::Text::ParseNumber("-3,25"), -3.0);
    EXPECT_EQ(Kedra::Text::FormatNumber(1234567.0), "1.23457e+06");
    Calibrator c;
    ASSERT_TRUE(c.OpenText("1000.5;-3.25;10\n2000,25 -1,5e0 -20,5\n"));
    EXPECT_EQ(c.GetFrequencies()[0], 1000.5);
    EXPECT_EQ(c.GetFrequencies()[1], 2000.25);
    EXPECT_NEAR(Db(c.GetResponse()[0]), -3.25, 1e-12);
    EXPECT_NEAR(Deg(c.GetResponse()[1]), -20.5, 1e-12);
    const std::string saved = c.SaveText();
    EXPECT_NE(saved.find("\n1000.5; -3.25;10\n2000.25; -1.5;-20.5\n"), std::string::npos) << saved;
}
