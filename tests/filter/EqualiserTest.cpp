#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "filter/Equaliser.h"
#include "filter/EqualiserExport.h"

namespace {

using namespace Kedra::Filter;
using Kedra::Measure::Measurement;
using Complex = std::complex<double>;

constexpr double PI = 3.14159265358979323846;

// An analogue second-order section: (s^2 + s w0/qz + w0^2) / (s^2 + s w0/qp + w0^2), of gain
// qp/qz at f0 and 1 far from it; qz >> qp gives a deep notch as narrow as f0/qp.
Complex Section(double f, double f0, double qz, double qp) {
    const Complex s(0.0, f / f0);
    return (s * s + s / qz + 1.0) / (s * s + s / qp + 1.0);
}

// A room-like response: two modes, a broad dip and a deep, narrow cancellation at 150 Hz.
Complex Modes(double f) {
    return 0.1 * Section(f, 45.0, 4.0, 12.0) * Section(f, 95.0, 3.0, 1.5) *
           Section(f, 230.0, 3.0, 8.0);
}
Complex Room(double f) {
    return Modes(f) * Section(f, 150.0, 1200.0, 30.0);
}

void MakeRoom(Measurement& m, Complex (*room)(double) = Room) {
    const int half = 1 << 15;
    const double fs = 48000.0;
    std::vector<Complex> h(half + 1);
    for (int k = 0; k <= half; ++k)
        h[static_cast<std::size_t>(k)] = room(k * fs / (2.0 * half));
    m.InitializeFreq(h.data(), half, static_cast<int>(fs), half, 0, 0.0, 0.0, true);
    m.SetImpulseWindowEnabled(false);
    m.SetSmoothingEnabled(false);
}

TEST(Equaliser, FitsTheModesWithinTheLimitsAndLeavesTheCancellationAlone) {
    Measurement room("room");
    MakeRoom(room);
    EqDevice device;
    ASSERT_TRUE(FindEqDevice("minidsp-2x4hd", device));
    EqTarget flat;
    EqLimits limits;
    limits.fromHz = 30.0;
    limits.toHz = 300.0;
    limits.maxBoostDb = 6.0;
    limits.maxCutDb = 12.0;
    limits.qMin = 0.7;
    limits.qMax = 8.0;
    EqFit fit;
    std::string why;
    ASSERT_TRUE(FitEqualiser(room, flat, limits, device, fit, why)) << why;
    ASSERT_FALSE(fit.filters.empty());
    EXPECT_LE(fit.filters.size(), 10u);
    for (const EqFilter& f : fit.filters) {
        EXPECT_GE(f.fc, 30.0);
        EXPECT_LE(f.fc, 300.0);
        EXPECT_EQ(f.fc, std::round(f.fc)) << "the device's 1 Hz grid";
        EXPECT_GE(f.q, 0.7);
        EXPECT_LE(f.q, 8.0);
        EXPECT_GE(f.gainDb, -12.0);
        EXPECT_LE(f.gainDb, 6.0);
        EXPECT_NEAR(f.gainDb * 10.0, std::round(f.gainDb * 10.0), 1e-9) << "0.1 dB steps";
    }
    // The modes' tops (9.5 and 8.5 dB) and the broad dip come to the target level (the fit
    // sees them 1/6-octave smoothed, which rounds the narrow mode's top).
    for (double f : {45.0, 95.0, 230.0})
        EXPECT_NEAR(20.0 * std::log10(std::abs(Room(f))) + FiltersDb(fit.filters, f, 96000.0),
                    fit.levelDb, 2.0)
            << f << " Hz";
    // The notch (32 dB deep, 5 Hz wide) is boosted no more than its trace in 1/3-octave
    // smoothing (filling it would take the full 6 dB), and the report names it.
    EXPECT_LT(FiltersDb(fit.filters, 150.0, 96000.0), 3.0);
    bool named = false;
    for (const EqDip& d : fit.dipsLeft)
        named = named || std::fabs(std::log2(d.hz / 150.0)) < 1.0 / 6.0;
    EXPECT_TRUE(named) << EqExportText(fit, EqFormat::Text, fit.rate);
    EXPECT_LT(fit.rmsAfter, 0.5 * fit.rmsBefore);
    EXPECT_DOUBLE_EQ(fit.rate, 96000.0);
}

TEST(Equaliser, FirOfEitherPhaseBringsTheModesToTheTarget) {
    Measurement room("modes");
    MakeRoom(room, Modes);
    EqTarget house;
    std::string why;
    ASSERT_TRUE(ParseEqTarget("house:4,60,0", house, why));
    EqLimits limits;
    limits.fromHz = 30.0;
    limits.toHz = 300.0;
    limits.maxBoostDb = 8.0;
    for (bool minimum : {true, false}) {
        EqFirSettings settings;
        settings.taps = 16384;
        settings.minimumPhase = minimum;
        std::vector<double> taps;
        EqFit fit;
        ASSERT_TRUE(DesignEqFir(room, house, limits, settings, taps, fit, why)) << why;
        ASSERT_EQ(taps.size(), 16384u);
        // The analytic room times the taps' own transform, against the target.
        double largest = 0.0;
        for (double f = 30.0; f <= 300.0; f *= std::exp2(1.0 / 24.0)) {
            Complex sum = 0.0;
            for (std::size_t t = 0; t < taps.size(); ++t)
                sum += taps[t] * std::polar(1.0, -2.0 * PI * f * t / 48000.0);
            const double db = 20.0 * std::log10(std::abs(Modes(f) * sum));
            largest = std::max(largest, std::fabs(db - fit.levelDb - EqTargetShapeDb(house, f)));
        }
        EXPECT_LT(largest, 1.0) << (minimum ? "minimum" : "linear") << " phase";
        // Linear phase: symmetric about the middle tap; minimum phase: front-loaded.
        if (!minimum)
            EXPECT_NEAR(taps[8192 - 100], taps[8192 + 100], 1e-9);
        else
            EXPECT_GT(std::fabs(taps[0]) + std::fabs(taps[1]), std::fabs(taps[8192]));
    }
    std::vector<double> taps;
    EqFit fit;
    EqFirSettings odd;
    odd.taps = 10000;
    EXPECT_FALSE(DesignEqFir(room, house, limits, odd, taps, fit, why));
    EXPECT_NE(why.find("power of two"), std::string::npos);
}

TEST(Equaliser, ImpossibleRequestsAreRefusedWithTheSetting) {
    Measurement room("room"), empty("empty");
    MakeRoom(room);
    EqDevice generic, minidsp;
    FindEqDevice("generic", generic);
    FindEqDevice("minidsp-2x4hd", minidsp);
    EXPECT_FALSE(FindEqDevice("behringer", generic));
    const struct {
        const char* what;
        std::function<void(EqLimits&)> change;
        bool onMiniDsp;
        const char* says;
    } cases[] = {
        {"above Nyquist", [](EqLimits& l) { l.toHz = 30000.0; }, false, "--to"},
        {"upside down", [](EqLimits& l) { l.fromHz = 300.0, l.toHz = 30.0; }, false, "--from"},
        {"no filters", [](EqLimits& l) { l.filters = 0; }, false, "--filters"},
        {"more than the device", [](EqLimits& l) { l.filters = 11; }, true, "1 to 10"},
        {"boost beyond the device", [](EqLimits& l) { l.maxBoostDb = 20.0; }, true, "16"},
        {"no boost nor cut", [](EqLimits& l) { l.maxBoostDb = l.maxCutDb = 0.0; }, false, "both"},
        {"Q upside down", [](EqLimits& l) { l.qMin = 5.0, l.qMax = 1.0; }, false, "--q"},
        {"Q between steps", [](EqLimits& l) { l.qMin = 1.001, l.qMax = 1.009; }, true, "step"},
        {"no smoothing", [](EqLimits& l) { l.smoothing = 0.0; }, false, "--smoothing"},
    };
    for (const auto& c : cases) {
        EqLimits limits;
        c.change(limits);
        EqFit fit;
        std::string why;
        EXPECT_FALSE(
            FitEqualiser(room, EqTarget{}, limits, c.onMiniDsp ? minidsp : generic, fit, why))
            << c.what;
        EXPECT_NE(why.find(c.says), std::string::npos) << c.what << ": " << why;
    }
    EqFit fit;
    std::string why;
    EXPECT_FALSE(FitEqualiser(empty, EqTarget{}, EqLimits{}, generic, fit, why));

    EqTarget t;
    for (const char* bad : {"house", "house:6,0,-2", "house:6,100", "house:a,b,c", "pink"})
        EXPECT_FALSE(ParseEqTarget(bad, t, why)) << bad;
    ASSERT_TRUE(ParseEqTarget("house:6,100,-3", t, why));
    EXPECT_NEAR(EqTargetShapeDb(t, 20.0), 6.0 / (1.0 + 0.04), 1e-9);
    EXPECT_NEAR(EqTargetShapeDb(t, 100.0), 3.0, 1e-9);
    EXPECT_NEAR(EqTargetShapeDb(t, 20000.0), 6.0 / (1.0 + 40000.0) - 3.0, 1e-9);
}

// The cookbook, written out again for the check.
struct Rbj {
    double b0, b1, b2, a0, a1, a2;
};
Rbj Cookbook(const std::string& type, double fs, double f0, double gain, double q) {
    const double A = std::pow(10.0, gain / 40.0), w0 = 2.0 * PI * f0 / fs;
    const double c = std::cos(w0), alpha = std::sin(w0) / (2.0 * q), r = 2.0 * std::sqrt(A) * alpha;
    if (type == "PK")
        return {1 + alpha * A, -2 * c, 1 - alpha * A, 1 + alpha / A, -2 * c, 1 - alpha / A};
    if (type == "LS")
        return {A * ((A + 1) - (A - 1) * c + r), 2 * A * ((A - 1) - (A + 1) * c),
                A * ((A + 1) - (A - 1) * c - r), (A + 1) + (A - 1) * c + r,
                -2 * ((A - 1) + (A + 1) * c),    (A + 1) + (A - 1) * c - r};
    return {A * ((A + 1) + (A - 1) * c + r), -2 * A * ((A - 1) + (A + 1) * c),
            A * ((A + 1) + (A - 1) * c - r), (A + 1) - (A - 1) * c + r,
            2 * ((A - 1) - (A + 1) * c),     (A + 1) - (A - 1) * c - r};
}

EqFit SomeFilters() {
    EqFit fit;
    fit.filters = {{EqFilterType::Peaking, 63.2, -5.5, 4.0},
                   {EqFilterType::Peaking, 120.0, 3.0, 2.5},
                   {EqFilterType::LowShelf, 40.0, 4.0, 0.707},
                   {EqFilterType::HighShelf, 8000.0, -2.0, 0.9}};
    return fit;
}

TEST(EqualiserExport, ApoAndCamillaDspReadBackToTheCookbookBiquads) {
    const EqFit fit = SomeFilters();
    const double fs = 48000.0;
    const std::map<std::string, std::string> apoType = {{"PK", "PK"}, {"LSC", "LS"}, {"HSC", "HS"}};
    const std::map<std::string, std::string> camillaType = {
        {"Peaking", "PK"}, {"Lowshelf", "LS"}, {"Highshelf", "HS"}};
    // Each read-back filter's biquad against the engine's, coefficient by coefficient.
    const auto check = [&](std::size_t i, const std::string& type, double f, double g, double q) {
        ASSERT_LT(i, fit.filters.size());
        const Rbj r = Cookbook(type, fs, f, g, q);
        const BiquadCoefficients e = RbjCoefficients(fit.filters[i], fs);
        EXPECT_STREQ(EqFilterTypeCode(fit.filters[i].type), type.c_str());
        EXPECT_NEAR(r.b0 / r.a0, e.b0, 1e-6);
        EXPECT_NEAR(r.b1 / r.a0, e.b1, 1e-6);
        EXPECT_NEAR(r.b2 / r.a0, e.b2, 1e-6);
        EXPECT_NEAR(r.a1 / r.a0, e.a1, 1e-6);
        EXPECT_NEAR(r.a2 / r.a0, e.a2, 1e-6);
    };

    std::istringstream apo(EqExportText(fit, EqFormat::Apo, fs));
    std::string line;
    std::getline(apo, line);
    double preamp = 0.0;
    ASSERT_EQ(std::sscanf(line.c_str(), "Preamp: %lf dB", &preamp), 1) << line;
    EXPECT_NEAR(-preamp, 4.0, 0.3) << "the largest boost: the low shelf's 4 dB";
    std::size_t n = 0;
    while (std::getline(apo, line)) {
        int index = 0;
        char type[8] = {};
        double f, g, q;
        ASSERT_EQ(std::sscanf(line.c_str(), "Filter %d: ON %7s Fc %lf Hz Gain %lf dB Q %lf", &index,
                              type, &f, &g, &q),
                  5)
            << line;
        EXPECT_EQ(index, static_cast<int>(n) + 1);
        check(n++, apoType.at(type), f, g, q);
    }
    EXPECT_EQ(n, fit.filters.size());

    // The YAML as a list of key: value lines under each eq_N filter.
    std::istringstream yaml(EqExportText(fit, EqFormat::CamillaDsp, fs));
    std::map<std::string, std::map<std::string, std::string>> filters;
    std::string current;
    std::vector<std::string> pipeline;
    while (std::getline(yaml, line)) {
        if (line.rfind("  eq_", 0) == 0 && line.back() == ':')
            current = line.substr(2, line.size() - 3);
        else if (line.rfind("      - ", 0) == 0)
            pipeline.push_back(line.substr(8));
        else if (const auto colon = line.find(": "); colon != std::string::npos && !current.empty())
            filters[current]
                   [line.substr(line.find_first_not_of(' '), colon - line.find_first_not_of(' '))] =
                       line.substr(colon + 2);
    }
    EXPECT_EQ(filters["eq_preamp"]["type"], "Gain");
    std::size_t biquads = 0;
    for (std::size_t at = 0; (at = yaml.str().find("    type: Biquad\n", at)) != std::string::npos;
         ++at)
        ++biquads;
    EXPECT_EQ(biquads, fit.filters.size());
    EXPECT_NEAR(std::stod(filters["eq_preamp"]["gain"]), preamp, 1e-9);
    ASSERT_EQ(pipeline.size(), fit.filters.size() + 1);
    EXPECT_EQ(pipeline.front(), "eq_preamp");
    for (std::size_t i = 0; i < fit.filters.size(); ++i) {
        auto& p = filters["eq_" + std::to_string(i + 1)];
        EXPECT_EQ(pipeline[i + 1], "eq_" + std::to_string(i + 1));
        // The filter's "type: Biquad" comes first, its parameters' type last.
        check(i, camillaType.at(p["type"]), std::stod(p["freq"]), std::stod(p["gain"]),
              std::stod(p["q"]));
    }
}

TEST(EqualiserExport, MiniDspBlocksRunWithTheirOwnSignAtTheDeviceRate) {
    const EqFit fit = SomeFilters();
    const double fs = 96000.0;
    std::istringstream text(EqExportText(fit, EqFormat::MiniDsp, fs));
    std::vector<std::map<std::string, double>> blocks;
    std::string line;
    while (std::getline(text, line)) {
        if (line.rfind("biquad", 0) == 0) {
            EXPECT_EQ(line, "biquad" + std::to_string(blocks.size() + 1) + ",");
            blocks.emplace_back();
            continue;
        }
        const auto eq = line.find('=');
        ASSERT_NE(eq, std::string::npos) << line;
        ASSERT_FALSE(blocks.empty());
        blocks.back()[line.substr(0, eq)] = std::stod(line.substr(eq + 1));
    }
    ASSERT_EQ(blocks.size(), fit.filters.size());
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        auto& b = blocks[i];
        const EqFilter& f = fit.filters[i];
        const Rbj r = Cookbook(EqFilterTypeCode(f.type), fs, f.fc, f.gainDb, f.q);
        EXPECT_NEAR(b["b0"], r.b0 / r.a0, 1e-12);
        EXPECT_NEAR(b["a1"], -r.a1 / r.a0, 1e-12) << "the negated denominator";
        EXPECT_NEAR(b["a2"], -r.a2 / r.a0, 1e-12);
        if (f.type != EqFilterType::Peaking)
            continue;
        // Run as that format means it, y = b0 x + b1 x1 + b2 x2 + a1 y1 + a2 y2, on a sine at
        // fc: the steady amplitude is the filter's gain.
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0, peak = 0;
        const int n = static_cast<int>(fs);
        for (int t = 0; t < n; ++t) {
            const double x = std::sin(2.0 * PI * f.fc * t / fs);
            const double y =
                b["b0"] * x + b["b1"] * x1 + b["b2"] * x2 + b["a1"] * y1 + b["a2"] * y2;
            x2 = x1, x1 = x, y2 = y1, y1 = y;
            if (t > n / 2)
                peak = std::max(peak, std::fabs(y));
        }
        EXPECT_NEAR(20.0 * std::log10(peak), f.gainDb, 0.05);
    }
}

} // namespace
