#pragma once
// The measurement file: a text file (base path + ".info") with every setting and descriptive
// field of a record, one "key\t= value" line per key in byte order of the keys, and a data
// file (base path + ".flac" or ".wav") with the raw impulse. Numbers are written and read the
// same way whatever the process locale is.
//
// Reading happens in two steps: Load reads and checks everything (keys, ranges, the whole
// data file) without touching a record, and Apply hands the result to a record and cannot
// fail. So a caller that opens several measurements can refuse them all before changing any.

#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Mem.h"
#include "measure/MeasurementCore.h"

namespace Kedra::Measure::MeasurementFile {

inline constexpr int FILE_VERSION = 104;
// Data_L, Data_Offset, Data_Samplerate and the window's |start| and |end| beyond this are taken
// for damage, not data.
inline constexpr int MAX_SAMPLES = 1 << 27;
// |Rec_Offset| and |Info_Offset| beyond this would push the impulse position out of an int.
inline constexpr double MAX_OFFSET = 268435456.0;
// Beyond any microphone and sound card: a larger SPL offset is a broken file.
inline constexpr double MAX_SPL_OFFSET_DB = 1000.0;
// Longer info lines are cut; longer info files are refused.
inline constexpr std::size_t MAX_LINE = 4095;
inline constexpr std::size_t MAX_INFO_BYTES = 1 << 20;
// The longest data file a record's samples can need: 32-bit samples, plus room for headers.
inline constexpr std::uintmax_t MAX_DATA_FILE_BYTES =
    std::uintmax_t{4} * MeasurementCore::MAX_DATA_LENGTH + (1 << 16);

using KeyMap = std::map<std::string, std::string>;

// --- Writing -----------------------------------------------------------------------------

// Every key of the record except Data_Amplitude and Data_FileFormat, which belong to a save.
KeyMap SettingsKeys(const MeasurementCore& record);
// One line per key: key, tab, "= ", value, line feed.
std::string RenderInfo(const KeyMap& keys);
// The key list of an initialized record as the info file shows it, else "Not initialized".
std::string GetInfo(const MeasurementCore& record);

// A measurement rendered in memory: the info text and the data file's bytes.
struct Rendered {
    std::string info;
    std::vector<unsigned char> data;
    std::string format; // "flac" or "wav", also the data file's extension
};
// FLAC unless `asWave` (or unless FLAC cannot store the record, then wave). False for a record
// that holds no impulse.
bool Render(MeasurementCore& record, bool asWave, Rendered& out, std::string& error);
// Writes base + ".flac"/".wav" and then base + ".info", each replacing an existing file in one
// rename. Logs and returns false on failure.
bool Save(MeasurementCore& record, const std::string& basePath, bool asWave);

// --- Reading -----------------------------------------------------------------------------

// Splits each line at its first '=', trims blanks and tabs around key and value; a later line
// with the same key replaces the earlier one. Lines without '=' or without a key are ignored.
KeyMap ParseInfo(std::string_view text);

// A checked measurement, ready for Apply.
struct Loaded {
    KeyMap keys;
    Mem::Array<double> samples;
    int length = 0;
    int dataOffset = 0;
    int sampleRate = 0;
};

// Checks the keys of an info text: vital keys, every number well formed and finite, the data
// keys in range. On success `format` is "flac" or "wav". The texts of `error` are the tails of
// the warning lines ("Failed to read vital keys", ...).
bool CheckInfo(const KeyMap& keys, std::string& format, std::string& error);
// Info text and data file bytes to samples; `error` says what was wrong.
bool LoadFromMemory(std::string_view infoText, std::span<const unsigned char> data, Loaded& out,
                    std::string& error);
// Reads base + ".info" and the data file it names. Logs one WARNING line on failure, whose
// tail (what was wrong) also goes to `reason`.
bool Load(const std::string& basePath, Loaded& out, std::string* reason = nullptr,
          int maxLength = MeasurementCore::MAX_DATA_LENGTH);
// Hands a loaded measurement to a record with the analysis exponent p (moves the samples out).
// Settings that the info does not hold keep their defaults; a missing label is empty, a missing
// time-zero method the first (0, as an unknown name), and without Data_Amplitude the samples
// are taken as the data file holds them.
void Apply(Loaded& loaded, MeasurementCore& record, int p);
// Load then Apply; on failure the record is left without data (Uninitialize) and false.
bool Open(const std::string& basePath, MeasurementCore& record, int p);

} // namespace Kedra::Measure::MeasurementFile
