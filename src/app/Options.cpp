#include "app/Options.h"

#include "app/FrontEnd.h"
#include "app/OptionsRange.h"
#include "exchange/TextFile.h"
#include "foundation/KedraLogger.h"

#include <pugixml.hpp>

#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>
#include <system_error>
#include <type_traits>
#include <vector>

namespace Kedra::Sonvel::Conf {
namespace {

FrontEnd* frontEnd = nullptr;
std::string fileWriterVersion;
LoadOutcome lastOutcome = LoadOutcome::None;
int refusedFields = 0;

// Longest piece of a refused field value quoted in the log.
constexpr std::size_t MAX_QUOTED = 40;

// Whitespace-only text is kept when it is all an element holds (a comment of blanks), and
// line ends are not rewritten, so a "\r\n" inside a text reads back as written.
constexpr unsigned PARSE_FLAGS =
    (pugi::parse_default & ~pugi::parse_eol) | pugi::parse_ws_pcdata_single;

void Log(const std::string& text) {
    Kedra::Logging::KedraLogger::LogText(text + "\n");
}

void Show(const std::string& title, const std::string& text) {
    if (frontEnd != nullptr)
        frontEnd->ShowMessage(MessageKind::Warning, title, text);
    else
        Log("WARNING " + title + ": " + text);
}

// from_chars knows no leading '+', which XML numbers may carry.
template <class T>
bool ParseNumber(std::string_view text, T& out) {
    text = Kedra::Text::TrimBlanks(text);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty())
        return false;
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return false;
    if constexpr (std::is_floating_point_v<T>) {
        if (!std::isfinite(value))
            return false;
    }
    out = value;
    return true;
}

bool ParseBool(std::string_view text, bool& out) {
    text = Kedra::Text::TrimBlanks(text);
    if (text == "true" || text == "1") {
        out = true;
        return true;
    }
    if (text == "false" || text == "0") {
        out = false;
        return true;
    }
    return false;
}

template <class T>
std::string FormatNumber(T value) {
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return ec == std::errc() ? std::string(buffer, end) : std::string();
}

std::string FormatValue(bool v) {
    return v ? "true" : "false";
}
std::string FormatValue(int v) {
    return FormatNumber(v);
}
std::string FormatValue(double v) {
    return FormatNumber(v);
}
std::string FormatValue(float v) {
    return FormatNumber(v);
}

struct Reader;

template <class T>
concept Record = requires(T& t, Reader& r) {
    t.Visit(r);
};

// All text of an element, also when a comment splits it; false when the element holds
// elements, which no plain field does.
bool TextOf(pugi::xml_node node, std::string& text) {
    text.clear();
    for (pugi::xml_node c : node.children()) {
        if (c.type() == pugi::node_element)
            return false;
        if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata)
            text += c.value();
    }
    return true;
}

struct Reader {
    pugi::xml_node node;
    std::string prefix;
    const std::string& source;

    void Refuse(const std::string& name, std::string_view text, const char* kind) const {
        ++refusedFields;
        std::string quoted(text.substr(0, MAX_QUOTED));
        if (text.size() > MAX_QUOTED)
            quoted += "...";
        Log("WARNING Options::LoadData(" + source + ") - " + prefix + name + ": \"" + quoted +
            "\" is not " + kind + " -> default kept");
    }

    template <class T>
    void operator()(const char* name, T& value) {
        const pugi::xml_node child = node.child(name);
        if (!child)
            return;
        if constexpr (Record<T>) {
            Reader sub{child, prefix + name + ".", source};
            value.Visit(sub);
        } else if constexpr (std::is_same_v<T, std::vector<int>>) {
            std::vector<int> items;
            for (pugi::xml_node item : child.children()) {
                if (item.type() == pugi::node_pcdata || item.type() == pugi::node_cdata) {
                    if (!Kedra::Text::TrimBlanks(item.value()).empty()) {
                        Refuse(name, item.value(), "a list of whole numbers");
                        return;
                    }
                }
                if (item.type() != pugi::node_element)
                    continue;
                std::string text;
                int v = 0;
                if (!TextOf(item, text) || !ParseNumber(text, v)) {
                    Refuse(name, text, "a list of whole numbers");
                    return;
                }
                items.push_back(v);
            }
            value = std::move(items);
        } else {
            std::string text;
            if (!TextOf(child, text)) {
                Refuse(name, "<elements>", "a plain value");
                return;
            }
            if constexpr (std::is_same_v<T, std::string>) {
                value = std::move(text);
            } else if constexpr (std::is_same_v<T, bool>) {
                if (!ParseBool(text, value))
                    Refuse(name, text, "true or false");
            } else if constexpr (std::is_same_v<T, int>) {
                if (!ParseNumber(text, value))
                    Refuse(name, text, "a whole number");
            } else {
                if (!ParseNumber(text, value))
                    Refuse(name, text, "a finite number");
            }
        }
    }
};

// Sets the field at a dotted path ("Signal.SignalLength") from text, by the reader's rules.
struct TextSetter {
    std::string_view path;
    std::string_view value;
    Options::SetResult result = Options::SetResult::NoField;

    template <class T>
    void operator()(const char* name, T& target) {
        const std::string_view n(name);
        if constexpr (Record<T>) {
            if (path.size() > n.size() && path.substr(0, n.size()) == n && path[n.size()] == '.') {
                TextSetter sub{path.substr(n.size() + 1), value};
                target.Visit(sub);
                result = sub.result;
            }
        } else {
            if (path != n)
                return;
            bool ok = false;
            if constexpr (std::is_same_v<T, std::string>) {
                target = std::string(value);
                ok = true;
            } else if constexpr (std::is_same_v<T, bool>) {
                ok = ParseBool(value, target);
            } else if constexpr (std::is_same_v<T, std::vector<int>>) {
                std::vector<int> items;
                ok = true;
                std::string_view rest = value;
                while (ok && !rest.empty()) {
                    const auto comma = rest.find(',');
                    int v = 0;
                    ok = ParseNumber(rest.substr(0, comma), v);
                    items.push_back(v);
                    rest = comma == std::string_view::npos ? std::string_view()
                                                           : rest.substr(comma + 1);
                }
                if (ok)
                    target = std::move(items);
            } else {
                ok = ParseNumber(value, target);
            }
            result = ok ? Options::SetResult::Ok : Options::SetResult::BadValue;
        }
    }
};

struct Writer {
    pugi::xml_node node;

    template <class T>
    void operator()(const char* name, T& value) {
        pugi::xml_node child = node.append_child(name);
        if constexpr (Record<T>) {
            Writer sub{child};
            value.Visit(sub);
        } else if constexpr (std::is_same_v<T, std::vector<int>>) {
            for (int v : value)
                child.append_child("int")
                    .append_child(pugi::node_pcdata)
                    .set_value(FormatValue(v).c_str());
        } else if constexpr (std::is_same_v<T, std::string>) {
            if (!value.empty())
                child.append_child(pugi::node_pcdata).set_value(value.c_str());
        } else {
            child.append_child(pugi::node_pcdata).set_value(FormatValue(value).c_str());
        }
    }
};

struct StringWriter : pugi::xml_writer {
    std::string text;
    void write(const void* data, std::size_t size) override {
        text.append(static_cast<const char*>(data), size);
    }
};

// The document element when the text is an options file, else null with `why` set.
pugi::xml_node Parse(pugi::xml_document& doc, std::string_view xml, std::string& why) {
    if (xml.size() > Options::MAX_FILE_BYTES) {
        why = "larger than " + std::to_string(Options::MAX_FILE_BYTES) + " bytes";
        return {};
    }
    const pugi::xml_parse_result result = doc.load_buffer(xml.data(), xml.size(), PARSE_FLAGS);
    if (!result) {
        why = std::string("not well-formed XML (") + result.description() + " at byte " +
              std::to_string(result.offset) + ")";
        return {};
    }
    const pugi::xml_node root = doc.document_element();
    // pugixml reads fragments too; a document has one root element.
    for (pugi::xml_node n = root.next_sibling(); n; n = n.next_sibling()) {
        if (n.type() == pugi::node_element) {
            why = "not well-formed XML (a second root element)";
            return {};
        }
    }
    if (std::string_view(root.name()) != "OptionsField") {
        why = "no OptionsField element";
        return {};
    }
    return root;
}

// Sets the remembered writer version; "Unknown" when there is none to read.
bool VerifyRoot(pugi::xml_node root) {
    std::string version;
    const pugi::xml_node element = root.child("WriterProductVersion");
    if (!root || !element || !TextOf(element, version)) {
        fileWriterVersion = "Unknown";
        return false;
    }
    fileWriterVersion = version;
    const auto number = Options::ProductVersionNumber(version);
    const auto oldest = Options::ProductVersionNumber(OPTIONS_COMPAT_START);
    const auto own = Options::ProductVersionNumber(Options::ProgramVersion());
    if (!number) {
        fileWriterVersion = "Unknown";
        return false;
    }
    return *oldest <= *number && *number <= *own;
}

enum class ReadResult { Ok, Missing, Failed };

// Regular files only; a directory or a device is no options file.
ReadResult ReadFile(const std::string& path, std::string& contents, std::string& why) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return ReadResult::Missing;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size > Options::MAX_FILE_BYTES) {
        why = ec ? "cannot read its size: " + ec.message()
                 : "larger than " + std::to_string(Options::MAX_FILE_BYTES) + " bytes";
        return ReadResult::Failed;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        why = "cannot open it";
        return ReadResult::Failed;
    }
    contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        why = "cannot read it";
        return ReadResult::Failed;
    }
    return ReadResult::Ok;
}

void ShowIncompatible(const std::string& source) {
    Show("Warning", "The version of the selected file is not compatible with this application.\n"
                    "The options cannot be loaded automatically.\n\n"
                    "File:    " +
                        source + "\nVersion: " + fileWriterVersion +
                        "\n\nVersion of this application: " + Options::ProgramVersion());
}

} // namespace

void Options::SetFrontEnd(FrontEnd* fe) {
    frontEnd = fe;
}

void Options::Reset() {
    Field = OptionsField::Init(UserDirectory());
}

bool Options::LoadData(const std::string& path, bool warn) {
    std::string contents;
    std::string why;
    switch (ReadFile(path, contents, why)) {
    case ReadResult::Missing: {
        std::error_code ec;
        Log("WARNING Options::LoadData - File Does not exist: " + path + " In " +
            std::filesystem::current_path(ec).string());
        lastOutcome = LoadOutcome::Missing;
        return false;
    }
    case ReadResult::Failed:
        Log("WARNING Options::LoadData(" + path + ") - " + why + " -> options kept");
        lastOutcome = LoadOutcome::Unreadable;
        fileWriterVersion = "Unknown";
        if (warn)
            ShowIncompatible(path);
        return false;
    case ReadResult::Ok:
        break;
    }
    return LoadText(contents, warn, path);
}

bool Options::LoadText(std::string_view xml, bool warn, const std::string& source) {
    pugi::xml_document doc;
    std::string why;
    const pugi::xml_node root = Parse(doc, xml, why);
    if (!root)
        Log("WARNING Options::LoadData(" + source + ") - " + why + " -> options kept");
    if (!VerifyRoot(root)) {
        lastOutcome = LoadOutcome::Unreadable;
        if (root && fileWriterVersion != "Unknown") {
            Log("WARNING Options::LoadData(" + source + ") - writer version " + fileWriterVersion +
                " not accepted -> options kept");
            const auto number = ProductVersionNumber(fileWriterVersion);
            const auto own = ProductVersionNumber(ProgramVersion());
            lastOutcome = number && own && *number > *own ? LoadOutcome::Newer : LoadOutcome::Older;
        }
        if (warn)
            ShowIncompatible(source);
        return false;
    }
    OptionsField read = OptionsField::Init(UserDirectory());
    refusedFields = 0;
    Reader reader{root, "", source};
    read.Visit(reader);
    const bool colours = read.PostLoad(UserDirectory());
    Field = std::move(read);
    lastOutcome = refusedFields == 0 && colours ? LoadOutcome::Loaded : LoadOutcome::InPart;
    return true;
}

std::string Options::SaveText() {
    Field.Plot.SaveColors();
    Field.WriterProductVersion = ProgramVersion();
    pugi::xml_document doc;
    pugi::xml_node declaration = doc.append_child(pugi::node_declaration);
    declaration.append_attribute("version") = "1.0";
    declaration.append_attribute("encoding") = "utf-8";
    pugi::xml_node root = doc.append_child("OptionsField");
    root.append_attribute("xmlns:xsi") = "http://www.w3.org/2001/XMLSchema-instance";
    root.append_attribute("xmlns:xsd") = "http://www.w3.org/2001/XMLSchema";
    Writer writer{root};
    Field.Visit(writer);
    StringWriter out;
    doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    return out.text;
}

bool Options::SaveData(const std::string& path) {
    std::string error;
    if (!Kedra::Text::WriteFileAtomically(path, SaveText(), error)) {
        Log("WARNING Options::SaveData(" + path + ") - " + error + " -> file not written");
        return false;
    }
    return true;
}

std::string Options::AutoSavePath() {
    return FilePath(OPTIONS_AUTOSAVE_FILENAME);
}

bool Options::AutoSave() {
    // The first run finds no user directory yet.
    std::error_code ec;
    std::filesystem::create_directories(UserDirectory(), ec);
    return SaveData(AutoSavePath());
}

bool Options::LoadAutoSaved(bool warn) {
    const std::string path = AutoSavePath();
    std::error_code ec;
    if (std::filesystem::exists(path, ec))
        return LoadData(path, warn);
    if (warn)
        Show("Sonvel - Warning", "Warning! Cannot find the autosaved options\n\n"
                                 "Details : The following file does not exist\n" +
                                     path);
    return false;
}

bool Options::VerifyProductVersion(const std::string& path) {
    std::string contents;
    std::string why;
    if (ReadFile(path, contents, why) != ReadResult::Ok) {
        fileWriterVersion = "Unknown";
        return false;
    }
    return VerifyProductVersionText(contents);
}

bool Options::VerifyProductVersionText(std::string_view xml) {
    pugi::xml_document doc;
    std::string why;
    return VerifyRoot(Parse(doc, xml, why));
}

const std::string& Options::FileWriterVersion() {
    return fileWriterVersion;
}

LoadOutcome Options::LastLoadOutcome() {
    return lastOutcome;
}

std::optional<std::int64_t> Options::ProductVersionNumber(std::string_view version) {
    std::int64_t number = 0;
    std::int64_t multiplier = 1000000;
    while (true) {
        const std::size_t dot = version.find('.');
        const std::string_view part = Kedra::Text::TrimBlanks(version.substr(0, dot));
        std::int64_t value = 0;
        // Nine digits at most: no sum of four parts can overflow.
        if (part.empty() || part.size() > 9 ||
            part.find_first_not_of("0123456789") != std::string_view::npos)
            return std::nullopt;
        std::from_chars(part.data(), part.data() + part.size(), value);
        number += value * multiplier;
        multiplier /= 100;
        if (dot == std::string_view::npos)
            return number;
        version.remove_prefix(dot + 1);
    }
}

std::string Options::ProgramVersion() {
    return PRODUCT_VERSION;
}

Options::SetResult Options::SetFromText(std::string_view path, std::string_view value) {
    // A colour travels as text, and every save writes the colours over their texts: a colour
    // text set here must reach its colour, or the next save brings the old one back.
    const bool colour = path.starts_with("Plot.Color") && path.ends_with("String");
    const PlotOptions before = Field.Plot;
    if (colour)
        Field.Plot.SaveColors();
    TextSetter setter{path, value};
    Field.Visit(setter);
    std::string error;
    if (colour && setter.result == SetResult::Ok && !Field.Plot.LoadColors(error)) {
        Field.Plot = before;
        return SetResult::BadValue;
    }
    return setter.result;
}

Options::SetResult Options::SetInRange(std::string_view path, std::string_view value,
                                       std::string& why) {
    if (std::optional<std::string> refusal = OutOfRange(path, value)) {
        why = std::move(*refusal);
        return SetResult::OutOfRange;
    }
    return SetFromText(path, value);
}

} // namespace Kedra::Sonvel::Conf
