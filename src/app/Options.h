#pragma once
// The live user settings and their XML file: one element per field, named like the field,
// in field order. The controller loads the autosaved file at start-up and autosaves at
// shut-down; the user may save to and load from any file. Loading never throws: a missing
// file is logged, and an incompatible or unreadable one keeps the current settings.
// Window's thread only.

#include "app/FilePath.h"
#include "app/OptionsField.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Kedra::Sonvel {
class FrontEnd;
}

namespace Kedra::Sonvel::Conf {

// The version this program writes into its files; a file from a later version is refused.
inline constexpr const char* PRODUCT_VERSION = "1.2.1.0";
// The oldest writer version whose files are read.
inline constexpr const char* OPTIONS_COMPAT_START = "1.1.1.1";
inline constexpr const char* OPTIONS_AUTOSAVE_FILENAME = "RazeriRerirov.xml";

// What the last LoadData found.
enum class LoadOutcome {
    None,       // nothing was loaded yet
    Missing,    // no such file
    Loaded,     // every field read
    InPart,     // read, but some fields were refused and hold their defaults
    Newer,      // written by a later version of the program
    Older,      // written by a version older than the oldest accepted one
    Unreadable, // not an options file, damaged, too large or not readable
};

class Options {
public:
    static inline OptionsField Field = OptionsField::Init(UserDirectory());

    // Where the messages of LoadData and LoadAutoSaved go; without one they are logged.
    static void SetFrontEnd(FrontEnd* frontEnd);

    // All defaults (the debug wave paths in the current user directory).
    static void Reset();

    // True when the file was read into Field. A missing file is logged and an incompatible
    // or unreadable one shown as a warning when `warn` is set; either keeps Field.
    static bool LoadData(const std::string& path, bool warn = true);
    // The same over the file's contents; `source` names them in messages and the log.
    static bool LoadText(std::string_view xml, bool warn, const std::string& source);

    // Writes Field (colours to text, this program's version) in one piece: a failed save
    // leaves the previous file as it was and returns false, with the reason logged.
    static bool SaveData(const std::string& path);
    // The file contents SaveData writes.
    static std::string SaveText();

    // SaveData to the autosaved file in the user directory (created when missing).
    static bool AutoSave();
    // LoadData of the autosaved file when it exists; otherwise a warning when `warn` is set.
    static bool LoadAutoSaved(bool warn);
    static std::string AutoSavePath();

    // Whether the file's writer version lies between OPTIONS_COMPAT_START and this
    // program's version. A file that cannot be read is refused with writer version "Unknown".
    static bool VerifyProductVersion(const std::string& path);
    static bool VerifyProductVersionText(std::string_view xml);
    // The writer version found by the last check.
    static const std::string& FileWriterVersion();
    static LoadOutcome LastLoadOutcome();

    // "p1.p2.p3.p4" as p1*1000000 + p2*10000 + p3*100 + p4 (parts after the fourth count
    // nothing); empty when a part is not a decimal number.
    static std::optional<std::int64_t> ProductVersionNumber(std::string_view version);
    static std::string ProgramVersion();

    // Largest options file read; anything bigger is not an options file.
    static constexpr std::size_t MAX_FILE_BYTES = 16u << 20;

    // Sets the field at a dotted path such as "Signal.SignalLength" from text, read by the
    // rules of the options file (numbers independent of the locale, true/false/1/0, lists of
    // whole numbers separated by commas). Field is untouched unless the result is Ok.
    enum class SetResult { Ok, NoField, BadValue, OutOfRange };
    static SetResult SetFromText(std::string_view path, std::string_view value);
    // The same, but a number outside the field's range (OptionsRange.h) is OutOfRange, with
    // `why` saying so, and Field is untouched: what the command line and scripts set.
    static SetResult SetInRange(std::string_view path, std::string_view value, std::string& why);
};

} // namespace Kedra::Sonvel::Conf
