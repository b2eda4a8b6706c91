#include "app/OptionsField.h"

#include "app/Options.h"
#include "exchange/TextFile.h"
#include "foundation/KedraLogger.h"

#include <array>
#include <cctype>
#include <charconv>

namespace Kedra::Sonvel::Conf {
namespace {

struct NamedColor {
    const char* name;
    Color color;
};

// The names older files used for the default colours, and the plainest others.
constexpr std::array<NamedColor, 10> NAMED_COLORS{{
    {"Black", {0, 0, 0, 255}},
    {"White", {255, 255, 255, 255}},
    {"Red", {255, 0, 0, 255}},
    {"Green", {0, 128, 0, 255}},
    {"Blue", {0, 0, 255, 255}},
    {"Yellow", {255, 255, 0, 255}},
    {"Gray", {128, 128, 128, 255}},
    {"DarkRed", {139, 0, 0, 255}},
    {"DarkGreen", {0, 100, 0, 255}},
    {"DarkBlue", {0, 0, 139, 255}},
}};

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool ParseByte(std::string_view text, int base, std::uint8_t& out) {
    text = Kedra::Text::TrimBlanks(text);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value > 255)
        return false;
    out = static_cast<std::uint8_t>(value);
    return true;
}

// Built by appending: g++ 12 warns falsely (-Wrestrict) about "\"" + std::string(...).
std::string NotAColour(std::string_view text, std::string_view detail) {
    std::string message(1, '"');
    message += text;
    message += "\" is not a colour";
    message += detail;
    return message;
}

bool Migrate(std::int64_t writer, const char* below) {
    const auto limit = Options::ProductVersionNumber(below);
    return limit && writer < *limit;
}

} // namespace

std::string ColorToText(Color c) {
    std::string text;
    if (c.A != 255)
        text = std::to_string(c.A) + ", ";
    return text + std::to_string(c.R) + ", " + std::to_string(c.G) + ", " + std::to_string(c.B);
}

bool ColorFromText(std::string_view text, Color& c, std::string& error) {
    const std::string_view t = Kedra::Text::TrimBlanks(text);
    if (!t.empty() && t.front() == '#') {
        const std::string_view hex = t.substr(1);
        if (hex.size() == 6 || hex.size() == 8) {
            std::array<std::uint8_t, 4> v{255, 0, 0, 0};
            const std::size_t first = hex.size() == 8 ? 0 : 1;
            bool ok = true;
            for (std::size_t i = 0; i * 2 < hex.size() && ok; ++i)
                ok = ParseByte(hex.substr(i * 2, 2), 16, v[first + i]);
            if (ok) {
                c = {v[1], v[2], v[3], v[0]};
                return true;
            }
        }
        error = NotAColour(t, "");
        return false;
    }
    if (t.find(',') == std::string_view::npos) {
        for (const NamedColor& n : NAMED_COLORS) {
            if (EqualNoCase(t, n.name)) {
                c = n.color;
                return true;
            }
        }
        error = NotAColour(t, "");
        return false;
    }
    std::array<std::uint8_t, 4> parts{};
    std::size_t count = 0;
    std::string_view rest = t;
    while (true) {
        const std::size_t comma = rest.find(',');
        if (count == parts.size() || !ParseByte(rest.substr(0, comma), 10, parts[count])) {
            error = NotAColour(t, " (three or four numbers 0..255)");
            return false;
        }
        ++count;
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
    }
    if (count == 3) {
        c = {parts[0], parts[1], parts[2], 255};
    } else if (count == 4) {
        c = {parts[1], parts[2], parts[3], parts[0]};
    } else {
        error = NotAColour(t, " (three or four numbers 0..255)");
        return false;
    }
    return true;
}

void PlotOptions::SaveColors() {
    ColorFgString = ColorToText(ColorFg);
    ColorBgString = ColorToText(ColorBg);
    ColorMeasAString = ColorToText(ColorMeasA);
    ColorMeasBString = ColorToText(ColorMeasB);
    ColorMeasCString = ColorToText(ColorMeasC);
    ColorSignalString = ColorToText(ColorSignal);
}

bool PlotOptions::LoadColors(std::string& error) {
    std::array<Color, 6> read{};
    const std::array<const std::string*, 6> texts{&ColorFgString,    &ColorBgString,
                                                  &ColorMeasAString, &ColorMeasBString,
                                                  &ColorMeasCString, &ColorSignalString};
    for (std::size_t i = 0; i < texts.size(); ++i)
        if (!ColorFromText(*texts[i], read[i], error))
            return false;
    ColorFg = read[0];
    ColorBg = read[1];
    ColorMeasA = read[2];
    ColorMeasB = read[3];
    ColorMeasC = read[4];
    ColorSignal = read[5];
    return true;
}

bool PlotOptions::PostLoad() {
    std::string error;
    const bool colours = LoadColors(error);
    if (!colours) {
        Kedra::Logging::KedraLogger::LogText("WARNING PlotOptions::PostLoad() Exception:\n " +
                                             error + "\n Using default colors\n");
        Reset();
    }
    if (HideHDWhenBelowDB > -1.0)
        HideHDWhenBelowDB = -10.0;
    if (PlotImpulseDBMin > -20.0)
        PlotImpulseDBMin = -70.0;
    return colours;
}

MiscOptions MiscOptions::Default(const std::filesystem::path& userDirectory) {
    MiscOptions m;
    m.PostLoad(userDirectory);
    return m;
}

void MiscOptions::PostLoad(const std::filesystem::path& userDirectory) {
    if (SaveMeasureOutput.empty())
        SaveMeasureOutput = (userDirectory / "Output.wav").string();
    if (SaveMeasureRec.empty())
        SaveMeasureRec = (userDirectory / "Recording.wav").string();
    if (SaveMeasureCorr.empty())
        SaveMeasureCorr = (userDirectory / "Correlation.wav").string();
}

OptionsField OptionsField::Init(const std::filesystem::path& userDirectory) {
    OptionsField f;
    f.Misc = MiscOptions::Default(userDirectory);
    return f;
}

bool OptionsField::PostLoad(const std::filesystem::path& userDirectory) {
    const bool colours = Plot.PostLoad();
    if (Analysis.MAnalysis < 10)
        Analysis.MAnalysis = 16;
    // A version that cannot be read is taken for the oldest: every migration applies.
    const std::int64_t writer = Options::ProductVersionNumber(WriterProductVersion).value_or(0);
    if (Migrate(writer, "1.1.5.2")) {
        Plot.ImpulseShowHD = true;
        Plot.FreqShowGating = true;
    }
    if (Migrate(writer, "1.1.9.9")) {
        Dev.KeepStreamActive = true;
        Dev.DelayMS = 1500.0;
    }
    if (Migrate(writer, "1.2.0.4")) {
        Analysis.ExtendToNyquist = false;
        Analysis.ExtendToNyquistFreq = 20000.0;
    }
    Misc.PostLoad(userDirectory);
    return colours;
}

} // namespace Kedra::Sonvel::Conf
