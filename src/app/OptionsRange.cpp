#include "app/OptionsRange.h"

#include "app/AudioHelper.h"
#include "exchange/TextFile.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace Kedra::Sonvel::Conf {
namespace {

// The dialog's number boxes, and the indices of its lists.
constexpr OptionRange RANGES[] = {
    {"Dev.SamplerateNo", 0, 5}, // 44100 .. 192000 Hz
    {"Dev.InputChannel", 0, 3},
    {"Dev.ReferenceInput", -1, 30},
    // The window asks for 0.001 at least; below it the level checks refuse the recording.
    {"Dev.OutputPCMAmplitude", 0.0, 1.0},
    {"Dev.DelayMS", 0.0, AudioHelper::MAX_DELAY_MS},
    {"Signal.SignalType", 0, 2},
    {"Signal.SignalLength", 12, 22},
    {"Signal.LogSweepStartFreq", 1.0, 1000.0},
    {"Signal.ChirpStartFreq", 1.0, 1000.0},
    {"Signal.ChirpPotens", 0.1, 10.0},
    {"Signal.SqNoiseFreq", 0.0, 1.0},
    {"Signal.SqNoiseAmplitude", 0.01, 1.0},
    {"Signal.FadeInms", 0.0, 1000.0},
    {"Signal.FadeOutms", 0.0, 1000.0},
    {"Analysis.TimeZeroMethod", 0, 4},
    {"Analysis.MAnalysis", 10, 24},
    {"Analysis.ExtendToNyquistFreq", 1000.0, 96000.0},
    {"Plot.PlotFreqMin", 1.0, 96000.0},
    {"Plot.PlotFreqMax", 1.0, 96000.0},
    {"Plot.PlotDbMin", -300.0, 100.0},
    {"Plot.PlotDbMax", -300.0, 100.0},
    {"Plot.PlotImpulseDBMin", -300.0, -20.0},
    {"Plot.HidePhaseWhenBelowDB", -200.0, 0.0},
    {"Plot.HideHDWhenBelowDB", -200.0, -1.0},
    {"Plot.GraphicsNumberOfXTics", 2, 100},
    {"Plot.GraphicsNumberOfYTics", 2, 100},
    {"Plot.LineWidth", 1, 10},
    {"Plot.ImpulseGraphMode", 0, 2},
    {"ImExport.PhaseMode", 0, 1},
    {"ImExport.ExportMode", 0, 3},
    {"ImExport.LinearStepsHz", 0.01, 10000.0},
    {"ImExport.LogNofSteps", 1.0, 100000.0},
    {"ImExport.NonEqDbChange", 0.001, 20.0},
    {"ImExport.NonEqPhaseChange", 0.01, 180.0},
    {"Filter.HighpassFreq", 1.0, 96000.0},
    {"Filter.LowpassFreq", 1.0, 96000.0},
    {"Filter.NofTaps", 3, 100001},
    {"Misc.WaveFormat", 0, 3},
    {"Window.RemotePort", 1, 65535},
};

} // namespace

std::span<const OptionRange> OptionRanges() {
    return RANGES;
}

const OptionRange* FindOptionRange(std::string_view path) {
    const auto* end = std::end(RANGES);
    const auto* it =
        std::find_if(std::begin(RANGES), end, [&](const OptionRange& r) { return r.path == path; });
    return it == end ? nullptr : it;
}

std::optional<std::string> OutOfRange(std::string_view path, std::string_view value) {
    const OptionRange* range = FindOptionRange(path);
    if (range == nullptr)
        return std::nullopt;
    std::string_view text = Kedra::Text::TrimBlanks(value);
    std::string_view number = text;
    if (!number.empty() && number.front() == '+')
        number.remove_prefix(1);
    double v = 0.0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), v);
    if (number.empty() || ec != std::errc() || end != number.data() + number.size() ||
        !std::isfinite(v) || (v >= range->lo && v <= range->hi))
        return std::nullopt;
    return std::string(path) + " must lie between " + Kedra::Text::FormatNumber(range->lo) +
           " and " + Kedra::Text::FormatNumber(range->hi) + ", not " + std::string(text);
}

} // namespace Kedra::Sonvel::Conf
