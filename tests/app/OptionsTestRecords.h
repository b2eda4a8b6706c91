#pragma once
// Records for the options tests: one with every field away from its default, and a flat
// list of (name, value text) of any record to compare field by field.

#include "app/Options.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace OptionsTesting {

using Kedra::Sonvel::Conf::OptionsField;

using FieldList = std::vector<std::pair<std::string, std::string>>;

// Values as text: %.17g for doubles (exact), so two lists differ when a value differs.
struct Flattener {
    FieldList& out;
    std::string prefix;

    template <class T>
    void operator()(const char* name, T& value) {
        const std::string key = prefix + name;
        if constexpr (std::is_same_v<T, std::string>) {
            out.emplace_back(key, value);
        } else if constexpr (std::is_same_v<T, std::vector<int>>) {
            std::string text;
            for (int v : value)
                text += std::to_string(v) + ",";
            out.emplace_back(key, text);
        } else if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, int>) {
            out.emplace_back(key, std::to_string(value));
        } else if constexpr (std::is_floating_point_v<T>) {
            char buffer[64];
            std::snprintf(buffer, sizeof(buffer), "%.17g", static_cast<double>(value));
            out.emplace_back(key, buffer);
        } else {
            Flattener sub{out, key + "."};
            value.Visit(sub);
        }
    }
};

inline FieldList Flatten(OptionsField f) {
    FieldList list;
    Flattener flattener{list, ""};
    f.Visit(flattener);
    return list;
}

// Every serialised field differs from its default; the values keep clear of the floors and
// migrations a read applies, and the texts carry what XML must escape.
inline OptionsField EveryFieldChanged(const std::filesystem::path& userDirectory) {
    OptionsField f = OptionsField::Init(userDirectory);
    f.WriterProductVersion = "1.1.1.1";
    f.Comment = " A & B <c> \"quoted\" 'single'\r\nsecond line\tÄÖü € \x01 end ";
    auto& p = f.Plot;
    p.PlotFreqMin = 0.1 + 0.2;
    p.PlotFreqMax = 19999.999999999996;
    p.PlotDbMin = -123.456789012345;
    p.PlotDbMax = 1e-300;
    p.PlotImpulseDBMin = -20.0;
    p.GraphicsNumberOfXTics = -2147483647 - 1;
    p.GraphicsNumberOfYTics = 2147483647;
    p.LineWidth = 7;
    p.ImpulseGraphMode = 0;
    p.HidePhaseWhenBelowDB = -1e300;
    p.HideHDWhenBelowDB = -1.0;
    p.FreqLogAxis = false;
    p.AmpDBAxis = false;
    p.PlotPhase = false;
    p.PlotAmplitude = false;
    p.PlotHD = true;
    p.ImpulseInterpolate = false;
    p.ImpulseShowHD = false;
    p.FreqShowGating = false;
    p.ColorFg = {1, 2, 3, 255};
    p.ColorBg = {255, 255, 255, 255};
    p.ColorMeasA = {10, 20, 30, 40};
    p.ColorMeasB = {0, 0, 0, 0};
    p.ColorMeasC = {200, 100, 50, 255};
    p.ColorSignal = {9, 99, 199, 128};
    p.SaveColors();
    p.CustomColors = {0, -1, 16777215, 2147483647};
    auto& m = f.Misc;
    m.ShowToolTips = false;
    m.CheckForUpdate = false;
    m.SaveMeasureWaves = true;
    m.ASlotNr = 5;
    m.BSlotNr = 6;
    m.CSlotNr = 7;
    m.WaveFormat = 3;
    m.SaveMeasureOutput = "/elsewhere/out put.wav";
    m.SaveMeasureRec = "/elsewhere/rec&<>.wav";
    m.SaveMeasureCorr = "relative/corr.wav";
    m.KeepReplacedMeasurements = false;
    auto& d = f.Dev;
    d.SamplerateNo = 5;
    d.InputNumber = 3;
    d.OutputNumber = 4;
    d.ApiNumber = 2;
    d.OutputChMask = 15;
    d.InputChannel = 3;
    d.InputInvert = true;
    d.DelayMS = 250.5;
    d.OutputPCMAmplitude = 0.3f;
    d.KeepStreamActive = false;
    d.ReferenceInput = 8;
    d.InputChannels = {0, 9, 10};
    auto& s = f.Signal;
    s.SignalType = 2;
    s.SignalLength = 20;
    s.LogSweepStartFreq = 5.25;
    s.ChirpStartFreq = 7.75;
    s.ChirpPotens = 1.0 / 3.0;
    s.SqNoiseFreq = 0.45;
    s.SqNoiseAmplitude = 0.05;
    s.FadeInms = 12.345f;
    s.FadeOutms = 1e-7f;
    s.FadeIn = false;
    s.FadeOut = false;
    auto& a = f.Analysis;
    a.NormalizeTo0dB = true;
    a.TimeWindowAutoApply = false;
    a.TimeZeroMethod = 4;
    a.TimeZeroInterpolate = false;
    a.MicCalibration = true;
    a.DacAdcCalibration = true;
    a.HighpassResult = false;
    a.ExtendToNyquist = true;
    a.ExtendToNyquistFreq = 18000.5;
    a.MAnalysis = 10;
    auto& x = f.ImExport;
    x.ExportPhase = false;
    x.PhaseUnwrap = false;
    x.PhaseMode = 1;
    x.IncludeHeader = false;
    x.CommentString = "  ";
    x.DecimalSep = 44;
    x.Separator = 9;
    x.ExportMode = 0;
    x.LinearStepsHz = 2.5;
    x.LogNofSteps = 333.0;
    x.NonEqDbChange = 0.01;
    x.NonEqPhaseChange = 2.5;
    auto& fi = f.Filter;
    fi.HighpassEnabled = true;
    fi.LowpassEnabled = true;
    fi.HighpassFreq = 123.0;
    fi.LowpassFreq = 4567.0;
    fi.NofTaps = 1001;
    auto& c = f.MakeMicCal;
    c.refCalSlot = 3;
    c.refLowSlot = 4;
    c.refHighSlot = 5;
    c.winHighcm = 61.0;
    c.winMidcm = 401.0;
    c.winLowcm = 2001.0;
    c.stitchHighCenter = 601.0;
    c.stitchHighWidth = 61.0;
    c.stitchLowCenter = 101.0;
    c.stitchLowWidth = 11.0;
    auto& w = f.Window;
    w.Geometry = "AdnQywADAAA=";
    w.State = "AAAA/wAAAAD9";
    w.GraphTab = 2;
    w.ImpulseTimeMinMs = -5.5;
    w.ImpulseTimeMaxMs = 120.25;
    w.RecentFiles = "/tmp/a b.zip\n/tmp/c.zip";
    w.RemotePort = 8123;
    f.Spl.References = "ALSA: card\t0\t94\t-26.5\t1000\t2026-12-09 15:40\tcalibrator\n";
    return f;
}

} // namespace OptionsTesting
