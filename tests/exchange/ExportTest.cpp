#include "exchange/MeasurementExporter.h"
#include "exchange/TextFile.h"

#include "foundation/MathHelpers.h"
#include "measure/Measurement.h"
#include "support/CommaLocale.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

using Kedra::Measure::Measurement;
using Kedra::Measure::MeasurementCore;
using Kedra::Measure::MeasurementExporter;
using cd = std::complex<double>;

namespace {

constexpr double PI = 3.14159265358979323846;

// A record whose spectrum bin k (0 .. half) is spectrum(k); bins 0 and half must be real.
void FromSpectrum(Measurement& m, int half, int fs, const std::function<cd(int)>& spectrum) {
    std::vector<cd> bins(static_cast<std::size_t>(half) + 1);
    for (int k = 0; k <= half; ++k)
        bins[static_cast<std::size_t>(k)] = spectrum(k);
    m.InitializeFreq(bins.data(), half, fs, half, 0, 0.0, 0.0, true);
    ASSERT_TRUE(m.IsInitialized());
}

cd Polar(double magnitude, double degrees) {
    return std::polar(magnitude, degrees * PI / 180.0);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Data lines split on `sep`, numbers read with either decimal mark.
std::vector<std::vector<double>> Data(const std::string& text, char sep = ';') {
    std::vector<std::vector<double>> rows;
    for (const std::string& line : Lines(text)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<double> row;
        for (std::string_view t : Kedra::Tokenize(line, std::string(1, sep))) {
            std::string s(t);
            for (char& c : s)
                if (c == ',')
                    c = '.';
            row.push_back(Kedra::Text::ParseNumber(s));
        }
        rows.push_back(row);
    }
    return rows;
}

// 64-point record at 64 kHz: bin k is k kHz, half the sample rate is bin 32.
constexpr int HALF = 32;
constexpr int FS = 64000;
constexpr double DF = 1000.0;

TEST(MeasurementExporterFormat, DecimalCommaHeaderAndPhaseOff) {
    Measurement m("Woofer");
    FromSpectrum(m, HALF, FS, [](int k) {
        return k == 1 ? Polar(Kedra::Math::DBToAmplitude(-3.5), 45.0) : cd(0.1, 0.0);
    });
    MeasurementExporter e;
    e.decimalSep = ',';
    e.exportMode = 0;
    std::string text;
    ASSERT_TRUE(e.ExportText(m, 1000.0, 1000.0, text));
    EXPECT_EQ(text, "#\n"
                    "# Measurement exported using Vaviv Uradavadu software\n"
                    "# " +
                        std::string(Kedra::Text::PRODUCT_WEB_ADDRESS) +
                        "\n"
                        "#\n"
                        "# Note: Woofer\n"
                        "# Number of samples: 64\n"
                        "# Samplerate: 64000\n"
                        "#\n"
                        "# All discrete frequencies are included\n"
                        "#\n"
                        "# Frequency [Hz]; Amplitude [dB]; Phase\n"
                        "#\n"
                        "1000;-3,5;45\n");

    // Without phase: the heading stops after the level, two columns, radians never seen.
    e.exportPhase = false;
    e.phaseMode = 1;
    e.comment = "%";
    e.separator = '\t';
    e.decimalSep = '.';
    ASSERT_TRUE(e.ExportText(m, 0.0, 2500.0, text));
    const auto lines = Lines(text);
    EXPECT_EQ(lines[10], "% Frequency [Hz]\t Amplitude [dB]");
    EXPECT_EQ(lines[12], "0\t-20");
    EXPECT_EQ(lines[13], "1000\t-3.5");
    EXPECT_EQ(lines[14], "2000\t-20");
    EXPECT_EQ(lines.size(), 15u);

    // Radians when asked for.
    e.exportPhase = true;
    e.includeHeader = false;
    ASSERT_TRUE(e.ExportText(m, 1000.0, 1000.0, text));
    EXPECT_EQ(text, "1000\t-3.5\t0.785398163397\n");
}

TEST(MeasurementExporterFormat, HeaderLinesOfEveryMode) {
    Measurement m("x");
    m.InitializeDirac(6, FS, 1.0);
    MeasurementExporter e;
    std::string text;
    e.exportMode = 1;
    e.maxChangeDb = 0.25;
    e.maxChangePhase = PI / 4.0;
    ASSERT_TRUE(e.ExportText(m, text));
    auto lines = Lines(text);
    EXPECT_EQ(lines[8], "# Non-Equidistant frequency steps");
    EXPECT_EQ(lines[9], "# Max change [dB]: 0.25");
    EXPECT_EQ(lines[10], "# Max change [Deg]: 45");
    e.exportMode = 2;
    e.linearStepHz = 12.5;
    ASSERT_TRUE(e.ExportText(m, text));
    EXPECT_EQ(Lines(text)[8], "# Linear frequency steps of 12.5Hz ");
    e.exportMode = 3;
    e.logSteps = 1000.0;
    ASSERT_TRUE(e.ExportText(m, text));
    EXPECT_EQ(Lines(text)[8], "# Logarithmic frequency steps. (1000 steps) ");
}

// A measured sweep keeps more raw samples than its transform: the header counts the samples
// the exported bins come from (two per bin), as the list does, not the raw data.
TEST(MeasurementExporterFormat, NumberOfSamplesIsTheTransformLength) {
    Measurement m("long raw data");
    std::vector<cd> bins(65, cd(0.5, 0.0));
    m.InitializeFreq(bins.data(), 64, FS, 16, 0, 0.0, 0.0, true);
    ASSERT_EQ(m.GetDataLength(), 128);
    MeasurementExporter e;
    e.exportMode = 0;
    std::string text;
    ASSERT_TRUE(e.ExportText(m, text));
    const std::size_t bins0 = Data(text).size();
    EXPECT_EQ(Lines(text)[5], "# Number of samples: " + std::to_string(2 * bins0));
    ASSERT_TRUE(e.ExportImpulseText(m, -2, 2, text));
    EXPECT_EQ(Lines(text)[5], "# Number of samples: " + std::to_string(2 * bins0));
}

TEST(MeasurementExporterFormat, ZeroMagnitudeAndOneLineFormat) {
    Measurement silent("s");
    FromSpectrum(silent, HALF, FS, [](int) { return cd(0.0, 0.0); });
    MeasurementExporter e;
    e.exportMode = 0;
    e.includeHeader = false;
    std::string text;
    ASSERT_TRUE(e.ExportText(silent, 0.0, 2000.0, text));
    EXPECT_EQ(text, "0;-2000000;0\n1000;-2000000;0\n2000;-2000000;0\n");

    Measurement m("m");
    FromSpectrum(m, HALF, FS, [](int k) {
        return k == 2 ? Polar(0.5, -90.0) : k == 3 ? Polar(2.0, 30.0) : cd(1.0, 0.0);
    });
    e.format = 1;
    e.exportPhase = false; // the one-line format always carries the phase, in degrees
    e.phaseMode = 1;
    e.decimalSep = ',';
    ASSERT_TRUE(e.ExportText(m, 2000.0, 3000.0, text));
    EXPECT_EQ(text, "(2000;-6,02059991328;-90) (3000;6,02059991328;30) \n");
}

TEST(MeasurementExporterModes, NonEquidistantKeepsBinsThatMoved) {
    // Flat: bin 0 and the last bin of the range only.
    Measurement flat("flat");
    flat.InitializeDirac(6, FS, 1.0);
    MeasurementExporter e;
    e.exportMode = 1;
    e.includeHeader = false;
    std::string text;
    ASSERT_TRUE(e.ExportText(flat, text));
    EXPECT_EQ(text, "0;0;0\n31000;0;0\n");

    // Level steps of 0.05 dB (below the 0.1 dB threshold) and 0.2 dB, phase steps of 0.5 and
    // 1.6 rad (threshold 1 rad).
    const double small = Kedra::Math::DBToAmplitude(0.05);
    const double large = Kedra::Math::DBToAmplitude(0.2);
    Measurement m("steps");
    FromSpectrum(m, HALF, FS, [&](int k) {
        const double mag = k < 10 ? 1.0 : k < 20 ? small : large;
        const double phase = k == HALF ? 0.0 : k >= 28 ? 1.6 : k >= 25 ? 0.5 : 0.0;
        return std::polar(mag, phase);
    });
    ASSERT_TRUE(e.ExportText(m, text));
    std::vector<double> written;
    for (const auto& row : Data(text))
        written.push_back(row[0] / DF);
    EXPECT_EQ(written, (std::vector<double>{0, 20, 28, 31}));

    // A band that leaves out bin 0 starts from bin 0's level and a phase of 0.
    ASSERT_TRUE(e.ExportText(m, 5000.0, 29000.0, text));
    written.clear();
    for (const auto& row : Data(text))
        written.push_back(row[0] / DF);
    EXPECT_EQ(written, (std::vector<double>{20, 28, 29}));
}

TEST(MeasurementExporterModes, LinearStepsAverageOverTriangle) {
    // |X[k]| = 1 + k^2/100 with phase 3k degrees.
    auto mag = [](int k) { return 1.0 + k * k / 100.0; };
    auto x = [&](int k) { return k == 0 || k == HALF ? cd(mag(k), 0.0) : Polar(mag(k), 3.0 * k); };
    Measurement m("ramp");
    FromSpectrum(m, HALF, FS, x);

    // Step 4 kHz = 4 bins: half-width u = 3, weights 1 2 3 2 1 around the bin below v.
    MeasurementExporter e;
    e.exportMode = 2;
    e.linearStepHz = 4000.0;
    e.includeHeader = false;
    std::string text;
    ASSERT_TRUE(e.ExportText(m, 0.0, 40000.0, text));
    const auto rows = Data(text);
    ASSERT_EQ(rows.size(), 9u); // 0, 4, ..., 28 kHz, then 32 kHz
    auto expect = [&](const std::vector<double>& row, double freq,
                      const std::vector<std::pair<int, double>>& weights) {
        double sw = 0.0, sm = 0.0;
        cd sz = 0.0;
        for (const auto& [k, w] : weights) {
            sw += w;
            sm += w * mag(k);
            sz += w * x(k);
        }
        EXPECT_DOUBLE_EQ(row[0], freq);
        EXPECT_NEAR(row[1], 20.0 * std::log10(sm / sw), 1e-9) << freq;
        EXPECT_NEAR(row[2], std::arg(sz) * 180.0 / PI, 1e-8) << freq;
    };
    expect(rows[0], 0.0, {{0, 3}, {1, 2}, {2, 1}});
    expect(rows[2], 8000.0, {{6, 1}, {7, 2}, {8, 3}, {9, 2}, {10, 1}});
    // Half the sample rate: bin 32 itself is left out, its neighbours below count.
    expect(rows[8], 32000.0, {{30, 1}, {31, 2}});

    // A step that is not a whole number of bins: v = 1500 Hz lies in bin 1, u = 2.
    e.linearStepHz = 2500.0;
    ASSERT_TRUE(e.ExportText(m, 1500.0, 4000.0, text));
    const auto r2 = Data(text);
    ASSERT_EQ(r2.size(), 2u);
    expect(r2[0], 1500.0, {{0, 1}, {1, 2}, {2, 1}});
    expect(r2[1], 4000.0, {{3, 1}, {4, 2}, {5, 1}});
}

TEST(MeasurementExporterModes, LinearStepAtHalfSampleRateWithNarrowTriangle) {
    // With u = 1 the only weighted bin at half the sample rate is bin 32, which is not
    // exported: the nearest exported bin stands in, no 0/0.
    Measurement m("m");
    FromSpectrum(m, HALF, FS, [](int k) { return cd(k == 31 ? 0.5 : 1.0, 0.0); });
    MeasurementExporter e;
    e.exportMode = 2;
    e.linearStepHz = 1.0;
    e.includeHeader = false;
    std::string text;
    ASSERT_TRUE(e.ExportText(m, 31999.5, 40000.0, text));
    EXPECT_EQ(text, "31999.5;-6.02059991328;0\n32000;-6.02059991328;0\n");
}

TEST(MeasurementExporterModes, LogarithmicStepsPerDecade) {
    // |X[k]| = 0.1 + 0.01 k: between bins the points interpolate linearly.
    Measurement m("m");
    FromSpectrum(m, HALF, FS, [](int k) { return cd(0.1 + 0.01 * k, 0.0); });
    MeasurementExporter e;
    e.exportMode = 3;
    e.logSteps = 10.0;
    e.includeHeader = false;
    std::string text;
    ASSERT_TRUE(e.ExportText(m, text));
    const auto rows = Data(text);
    // 10^(i/10) Hz from the first bin (1 kHz) to 32 kHz: i = 30 .. 45.
    ASSERT_EQ(rows.size(), 16u);
    for (std::size_t r = 0; r < rows.size(); ++r)
        EXPECT_NEAR(rows[r][0], std::pow(10.0, (30.0 + r) / 10.0), 1e-6 * rows[r][0]);
    EXPECT_EQ(rows[0][0], 1000.0);
    EXPECT_EQ(rows[10][0], 10000.0);
    // Where the points lie closer than a bin: the ramp's value at the exact frequency.
    for (std::size_t r = 0; r < 6; ++r) {
        const double bin = rows[r][0] / DF;
        EXPECT_NEAR(rows[r][1], 20.0 * std::log10(0.1 + 0.01 * bin), 1e-9) << rows[r][0];
    }

    // A flat response stays flat whatever the window; a band keeps to its edges.
    Measurement flat("flat");
    flat.InitializeDirac(12, 48000, 0.5);
    e.logSteps = 1000.0;
    ASSERT_TRUE(e.ExportText(flat, 100.0, 1000.0, text));
    const auto band = Data(text);
    ASSERT_EQ(band.size(), 1001u);
    EXPECT_EQ(band.front()[0], 100.0);
    EXPECT_EQ(band.back()[0], 1000.0);
    for (const auto& row : band)
        EXPECT_NEAR(row[1], 20.0 * std::log10(0.5), 1e-9);
}

TEST(MeasurementExporterModes, UnwrappedPhaseOfADelay) {
    // A delay of 3 samples: phase -2 pi k 3 / 64, a straight line once unwrapped.
    constexpr int d = 3;
    Measurement m("delay");
    FromSpectrum(m, HALF, FS, [](int k) { return std::polar(1.0, -2.0 * PI * k * d / 64.0); });
    MeasurementExporter e;
    e.exportMode = 0;
    e.includeHeader = false;
    e.phaseUnwrap = true;
    std::string text;
    ASSERT_TRUE(e.ExportText(m, text));
    const auto rows = Data(text);
    ASSERT_EQ(rows.size(), 32u);
    for (std::size_t k = 0; k < rows.size(); ++k)
        EXPECT_NEAR(rows[k][2], -360.0 * k * d / 64.0, 1e-7) << k;

    // Wrapped, the same phases stay within +-180 degrees.
    e.phaseUnwrap = false;
    ASSERT_TRUE(e.ExportText(m, text));
    for (const auto& row : Data(text)) {
        EXPECT_LE(std::abs(row[2]), 180.0 + 1e-9);
        const double diff = std::remainder(row[2] + 360.0 * row[0] / DF * d / 64.0, 360.0);
        EXPECT_NEAR(diff, 0.0, 1e-7);
    }
}

TEST(MeasurementExporterImpulse, SingleAndSeveralAlignedOnTimeZero) {
    // Raw samples 1 .. 16 with time zero at index 8: sample s holds 9 + s.
    std::vector<double> a(16), b(32);
    for (int i = 0; i < 16; ++i)
        a[static_cast<std::size_t>(i)] = i + 1;
    for (int i = 0; i < 32; ++i)
        b[static_cast<std::size_t>(i)] = 100.5 + i;
    Measurement ma("a\nb"), mb("");
    ma.InitializeImpulse(a.data(), 16, 8, 48000, 4, 0, 0.0, 0.0, true);
    mb.InitializeImpulse(b.data(), 32, 16, 48000, 5, 0, 0.0, 0.0, true);

    MeasurementExporter e;
    e.sampleNumbers = true;
    e.decimalSep = ',';
    std::string text;
    ASSERT_TRUE(e.ExportImpulseText(ma, -10, 9, text));
    auto lines = Lines(text);
    ASSERT_EQ(lines.size(), 11u + 20u);
    EXPECT_EQ(lines[4], "# Note: a b"); // a line break in a label cannot start a data line
    EXPECT_EQ(lines[5], "# Number of samples: 16");
    EXPECT_EQ(lines[6], "# Samplerate: 48000");
    EXPECT_EQ(lines[7], "# First sample number in file: -10");
    EXPECT_EQ(lines[8], "# Last sample number in file: 9");
    EXPECT_EQ(lines[10], "# sample; Amplitude");
    EXPECT_EQ(lines[11], "-10;0");
    EXPECT_EQ(lines[13], "-8;1");
    EXPECT_EQ(lines[21], "0;9");
    EXPECT_EQ(lines[28], "7;16");
    EXPECT_EQ(lines[29], "8;0");

    e.sampleNumbers = false;
    ASSERT_TRUE(e.ExportImpulsesText({&ma, &mb}, -20, 19, text));
    lines = Lines(text);
    EXPECT_EQ(lines[4], "# Samplerate: 48000");
    EXPECT_EQ(lines[5], "# First sample number in file: -20");
    EXPECT_EQ(lines[6], "# Last sample number in file: 19");
    EXPECT_EQ(lines[8], "# a b; Amplitude 2");
    const auto rows = Data(text);
    ASSERT_EQ(rows.size(), 40u);
    for (int s = -20; s <= 19; ++s) {
        const auto& row = rows[static_cast<std::size_t>(s + 20)];
        ASSERT_EQ(row.size(), 2u);
        EXPECT_EQ(row[0], s >= -8 && s < 8 ? 9.0 + s : 0.0) << s;
        EXPECT_EQ(row[1], s >= -16 && s < 16 ? 116.5 + s : 0.0) << s;
    }

    // Different sample rates share no time axis; an empty record has no impulse.
    Measurement other("o"), empty("e");
    other.InitializeDirac(4, 44100, 1.0);
    EXPECT_FALSE(e.ExportImpulsesText({&ma, &other}, -2, 2, text));
    EXPECT_TRUE(text.empty());
    EXPECT_FALSE(e.ExportImpulsesText({&ma, &empty}, -2, 2, text));
    EXPECT_FALSE(e.ExportImpulseText(empty, -2, 2, text));
    EXPECT_FALSE(e.ExportImpulsesText({}, -2, 2, text));
    // An absurd range is refused rather than filling the disk with zeros.
    EXPECT_FALSE(e.ExportImpulseText(ma, -2000000000, 2000000000, text));
    // The frequency-point settings do not concern an impulse; the separators do.
    e.exportMode = 9;
    EXPECT_TRUE(e.ExportImpulseText(ma, 0, 1, text));
    e.separator = ',';
    EXPECT_FALSE(e.ExportImpulseText(ma, 0, 1, text));
    e.separator = ';';
    // An empty range gives the header alone.
    ASSERT_TRUE(e.ExportImpulseText(ma, 5, 4, text));
    EXPECT_TRUE(Data(text).empty());
}

TEST(MeasurementExporterRefusals, BadSettingsAndEmptyRecords) {
    Measurement m("m");
    m.InitializeDirac(6, FS, 1.0);
    Measurement empty("e");
    std::string text = "old";
    MeasurementExporter e;
    EXPECT_FALSE(e.ExportText(empty, text));
    EXPECT_TRUE(text.empty());
    EXPECT_FALSE(e.ExportText(empty, 0.0, 100.0, text));

    auto refused = [&](const std::function<void(MeasurementExporter&)>& set) {
        MeasurementExporter x;
        set(x);
        std::string out;
        return !x.ExportText(m, out) && out.empty();
    };
    EXPECT_TRUE(refused([](MeasurementExporter& x) {
        x.separator = ',';
        x.decimalSep = ',';
    }));
    EXPECT_TRUE(refused([](MeasurementExporter& x) { x.separator = 'x'; }));
    EXPECT_TRUE(refused([](MeasurementExporter& x) { x.decimalSep = ';'; }));
    EXPECT_TRUE(refused([](MeasurementExporter& x) { x.exportMode = 4; }));
    EXPECT_TRUE(refused([](MeasurementExporter& x) { x.format = -1; }));
    EXPECT_TRUE(refused([](MeasurementExporter& x) { x.linearStepHz = 0.0; }));
    EXPECT_TRUE(refused([](MeasurementExporter& x) { x.linearStepHz = NAN; }));
    EXPECT_TRUE(refused([](MeasurementExporter& x) { x.linearStepHz = 1e-9; }));
    EXPECT_TRUE(refused([](MeasurementExporter& x) {
        x.exportMode = 3;
        x.logSteps = -1.0;
    }));
    EXPECT_TRUE(refused([](MeasurementExporter& x) {
        x.exportMode = 3;
        x.logSteps = 1e12;
    }));
    EXPECT_FALSE(e.ExportText(m, NAN, 100.0, text));

    // A comment with a line break cannot smuggle a data line into the header.
    e.comment = "#\n1000";
    e.exportMode = 0;
    ASSERT_TRUE(e.ExportText(m, 0.0, 1000.0, text));
    EXPECT_EQ(Data(text).size(), 2u) << text;
    // A band above half the sample rate holds no bins.
    ASSERT_TRUE(e.ExportText(m, 40000.0, 50000.0, text));
    EXPECT_TRUE(Data(text).empty());
}

TEST(MeasurementExporterLocale, CommaLocaleChangesNothing) {
    Measurement m("m");
    FromSpectrum(m, HALF, FS, [](int k) {
        return k == 0 || k == HALF ? cd(0.3, 0) : Polar(0.3 + 0.01 * k, 7.5 * k);
    });
    std::vector<std::string> plain;
    auto all = [&](std::vector<std::string>& out) {
        for (int mode = 0; mode < 4; ++mode) {
            MeasurementExporter e;
            e.exportMode = mode;
            e.linearStepHz = 1500.0;
            e.logSteps = 20.0;
            std::string text;
            EXPECT_TRUE(e.ExportText(m, text));
            out.push_back(text);
        }
        MeasurementExporter e;
        std::string text;
        EXPECT_TRUE(e.ExportImpulseText(m, -5, 5, text));
        out.push_back(text);
    };
    all(plain);
    EXPECT_NE(plain[2].find("1500;"), std::string::npos);
    SonvelTest::ScopedCommaLocale locale;
    if (locale.Name() == nullptr)
        GTEST_SKIP() << "no comma-decimal locale available";
    std::vector<std::string> comma;
    all(comma);
    EXPECT_EQ(plain, comma);
}

} // namespace
