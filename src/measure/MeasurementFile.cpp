#include "measure/MeasurementFile.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <system_error>

#include "analyze/SequenceAnalysis.h"
#include "exchange/TextFile.h"
#include "exchange/WaveFile.h"
#include "foundation/KedraLogger.h"
#include "measure/FlacData.h"

namespace Kedra::Measure::MeasurementFile {
namespace {

// libsndfile reads a 24-bit code c as c / 2^23, while the data file was written with full
// scale 2^23 - 1: this factor makes the stored peak restore the written values exactly.
constexpr double WAVE_READ_CORRECTION = 8388608.0 / 8388607.0;

std::string IntText(long long v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof(buf), v);
    return std::string(buf, r.ptr);
}

// %.30g in the "C" locale.
std::string DoubleText(double v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof(buf), v, std::chars_format::general, 30);
    return std::string(buf, r.ptr);
}

std::string BoolText(bool b) {
    return b ? "1" : "0";
}

// A line feed inside a text would start a new key on reading.
std::string OneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    return text;
}

std::string_view Trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

bool ParseInt(std::string_view text, int& out) {
    long long v = 0;
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, v);
    if (r.ec != std::errc() || r.ptr != end || v < std::numeric_limits<int>::min() ||
        v > std::numeric_limits<int>::max())
        return false;
    out = static_cast<int>(v);
    return true;
}

bool ParseDouble(std::string_view text, double& out) {
    double v = 0.0;
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, v);
    if (r.ec != std::errc() || r.ptr != end || !std::isfinite(v))
        return false;
    out = v;
    return true;
}

// "#rrggbb", or empty for none (-1).
std::string ColourText(int colour) {
    if (colour < 0)
        return {};
    static const char* const HEX = "0123456789abcdef";
    std::string text = "#";
    for (int shift = 20; shift >= 0; shift -= 4)
        text += HEX[(colour >> shift) & 0xF];
    return text;
}

// -1 for an empty text, -2 for one that is not "#rrggbb".
int ParseColour(std::string_view text) {
    if (text.empty())
        return -1;
    int v = 0;
    if (text.size() != 7 || text[0] != '#')
        return -2;
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data() + 1, end, v, 16);
    return r.ec == std::errc() && r.ptr == end && v >= 0 ? v : -2;
}

enum class Type { Int, Bool, Double, Text };

struct KeyType {
    const char* key;
    Type type;
};

// Every key the writer writes; numbers among them must read back as numbers.
constexpr KeyType KEYS[] = {
    {"Application_Atrrib1", Type::Int},
    {"Application_Atrrib2", Type::Int},
    {"Application_Id", Type::Text},
    {"Application_info", Type::Text},
    {"Data_Amplitude", Type::Double},
    {"Data_FileFormat", Type::Text},
    {"Data_L", Type::Int},
    {"Data_Offset", Type::Int},
    {"Data_Samplerate", Type::Int},
    {"FR_HighpassEnabled", Type::Bool},
    {"FR_HighpassLength", Type::Double},
    {"FR_HighpassStart", Type::Double},
    {"FR_LowpassEnabled", Type::Bool},
    {"FR_LowpassLength", Type::Double},
    {"FR_LowpassStart", Type::Double},
    {"FR_Smoothing_Complex", Type::Bool},
    {"FR_Smoothing_Enabled", Type::Bool},
    {"FR_Smoothing_NOct", Type::Double},
    {"File_Version", Type::Int},
    {"ImpulseWindow_Enabled", Type::Bool},
    {"ImpulseWindow_EndSample", Type::Int},
    {"ImpulseWindow_LockStart", Type::Bool},
    {"ImpulseWindow_StartSample", Type::Int},
    {"Info_Amplified", Type::Double},
    {"Info_Inverted", Type::Bool},
    {"Info_Label", Type::Text},
    {"Info_Offset", Type::Double},
    {"Rec_Channels", Type::Int},
    {"Rec_Date", Type::Text},
    {"Rec_MaxAmplitude", Type::Double},
    {"Rec_Offset", Type::Double},
    {"Rec_TimeZeroMethod", Type::Text},
    {"Signal_Type", Type::Text},
    {"Signal_TypeFactor1", Type::Double},
    {"Signal_TypeFactor2", Type::Double},
};

const std::string* Find(const KeyMap& keys, const char* key) {
    const auto it = keys.find(key);
    return it == keys.end() ? nullptr : &it->second;
}

// Only called after CheckInfo, so present numbers parse.
int IntOr(const KeyMap& keys, const char* key, int fallback) {
    int v = fallback;
    if (const std::string* s = Find(keys, key))
        ParseInt(*s, v);
    return v;
}

double DoubleOr(const KeyMap& keys, const char* key, double fallback) {
    double v = fallback;
    if (const std::string* s = Find(keys, key))
        ParseDouble(*s, v);
    return v;
}

bool BoolOr(const KeyMap& keys, const char* key, bool fallback) {
    int v = fallback ? 1 : 0;
    if (const std::string* s = Find(keys, key))
        ParseInt(*s, v);
    return v != 0;
}

void Warn(const std::string& basePath, const std::string& tail) {
    Kedra::Logging::KedraLogger::LogText("WARNING MeasurementCore::Open( " + basePath + " ) - " +
                                         tail + "\n");
}

// Reads a whole file of at most `limit` bytes.
bool ReadWhole(const std::string& path, std::uintmax_t limit, std::string& out,
               std::string& error) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) {
        error = ec.message();
        return false;
    }
    if (size > limit) {
        error = "larger than " + std::to_string(limit) + " bytes";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot be read";
        return false;
    }
    out.resize(static_cast<std::size_t>(size));
    in.read(out.data(), static_cast<std::streamsize>(size));
    if (in.gcount() != static_cast<std::streamsize>(size)) {
        error = "could not be read to its end";
        return false;
    }
    return true;
}

bool CheckRange(const KeyMap& keys, const char* key, int low, int high, std::string& error) {
    const int v = IntOr(keys, key, 0);
    if (v < low || v > high) {
        error = std::string("Data out of range: ") + key + " = " + IntText(v);
        return false;
    }
    return true;
}

// `amplitude` null: the info names no scale (a file made by another program or by hand), and
// the samples are read as the data file holds them, full scale being 1.0.
bool DecodeData(const std::string& format, std::span<const unsigned char> data, int length,
                const double* amplitude, Mem::Array<double>& out, std::string& error) {
    if (format == "flac") {
        std::string why;
        if (!Kedra::Measure::Flac::Decode(data, length, amplitude ? *amplitude : 1.0, out, why)) {
            error = "Failed to read the FLAC data: " + why;
            return false;
        }
        return true;
    }
    std::string why = "not a readable wave file";
    const Kedra::WaveImExport::WaveInfo info = Kedra::WaveImExport::WaveMemoryInfo(data, &why);
    if (info.frames <= 0) {
        error = "Failed to read the wave data: " + why;
        return false;
    }
    if (info.frames < length) {
        error = "Failed to read the wave data: the data file ends early, after " +
                IntText(info.frames) + " of " + IntText(length) + " samples";
        return false;
    }
    Mem::Array<double> samples(static_cast<std::size_t>(length));
    const double scale = amplitude ? *amplitude * WAVE_READ_CORRECTION : 1.0;
    if (!Kedra::WaveImExport::WaveMemoryToArray(data, samples.data(), length, scale)) {
        error = "Failed to read the wave data";
        return false;
    }
    out = std::move(samples);
    return true;
}

} // namespace

KeyMap SettingsKeys(const MeasurementCore& r) {
    KeyMap k;
    k["File_Version"] = IntText(FILE_VERSION);
    k["ImpulseWindow_Enabled"] = BoolText(r.GetImpulseWindowEnabled());
    k["ImpulseWindow_StartSample"] = IntText(r.GetImpulseWindowStart());
    k["ImpulseWindow_EndSample"] = IntText(r.GetImpulseWindowEnd());
    k["ImpulseWindow_LockStart"] = BoolText(r.GetImpulseWindowLockStart());
    k["Application_Id"] = ApplicationIdToString(r.GetApplicationId());
    k["Application_Atrrib1"] = IntText(r.GetApplicationAttrib1());
    k["Application_Atrrib2"] = IntText(r.GetApplicationAttrib2());
    k["Application_info"] = OneLine(r.GetApplicationInfo());
    k["Rec_Channels"] = IntText(r.GetRecChannels());
    k["Rec_MaxAmplitude"] = DoubleText(r.GetRecMaxAmplitude());
    k["Rec_Offset"] = DoubleText(r.GetBaseOffset());
    k["Rec_TimeZeroMethod"] =
        Kedra::Analyze::TZMToString(static_cast<Kedra::Analyze::TZM>(r.GetTimeZeroMethod()));
    k["Rec_Date"] = OneLine(r.GetRecDate());
    k["Info_Offset"] = DoubleText(r.GetCurrentOffset());
    k["Info_Amplified"] = DoubleText(r.GetAmplitude());
    k["Info_Inverted"] = BoolText(r.GetInverted());
    k["Info_Label"] = OneLine(r.GetLabel());
    k["FR_Smoothing_Enabled"] = BoolText(r.GetSmoothingEnabled());
    k["FR_Smoothing_Complex"] = BoolText(r.GetSmoothingComplex());
    k["FR_Smoothing_NOct"] = DoubleText(r.GetSmoothNOct());
    k["Signal_Type"] = SignalTypeToString(r.GetSignalType());
    k["Signal_TypeFactor1"] = DoubleText(r.GetSignalTypeFactor1());
    k["Signal_TypeFactor2"] = DoubleText(r.GetSignalTypeFactor2());
    k["FR_LowpassEnabled"] = BoolText(r.GetLowpassEnabled());
    k["FR_LowpassStart"] = DoubleText(r.GetLowpassStart());
    k["FR_LowpassLength"] = DoubleText(r.GetLowpassLength());
    k["FR_HighpassEnabled"] = BoolText(r.GetHighpassEnabled());
    k["FR_HighpassStart"] = DoubleText(r.GetHighpassStart());
    k["FR_HighpassLength"] = DoubleText(r.GetHighpassLength());
    k["Data_L"] = IntText(r.GetDataLength());
    k["Data_Samplerate"] = IntText(r.GetSamplerate());
    k["Data_Offset"] = IntText(r.GetDataOffset());
    // Not known is not written: the next reader decides as for a file from before the key.
    if (r.GetPlotShown() >= 0)
        k["Plot_Shown"] = BoolText(r.GetPlotShown() == 1);
    k["Plot_Colour"] = ColourText(r.GetPlotColour());
    // Only with a reference: a reader that finds no offset takes the record as uncalibrated.
    if (r.HasSpl()) {
        k["Info_SplOffset"] = DoubleText(r.GetSplOffset());
        k["Info_SplReference"] = OneLine(r.GetSplReference());
    }
    if (r.HasDelays()) {
        k["Info_SystemDelay"] = DoubleText(r.GetSystemDelay());
        k["Info_AcousticDelay"] = DoubleText(r.GetAcousticDelay());
    }
    return k;
}

std::string RenderInfo(const KeyMap& keys) {
    std::string out;
    for (const auto& [key, value] : keys)
        out += key + "\t= " + value + "\n";
    return out;
}

std::string GetInfo(const MeasurementCore& record) {
    if (!record.IsInitialized())
        return "Not initialized";
    std::string text = RenderInfo(SettingsKeys(record));
    if (record.HasDelays() && record.GetSamplerate() > 0) {
        const auto line = [&](const char* what, double samples) {
            return std::string(what) + ": " +
                   Kedra::Text::FormatFixed(samples * 1000.0 / record.GetSamplerate(), 3) +
                   " ms (" + Kedra::Text::FormatFixed(samples, 2) + " samples)\n";
        };
        text += line("System delay", record.GetSystemDelay());
        text += line("Acoustic delay", record.GetAcousticDelay());
    }
    return text;
}

bool Render(MeasurementCore& record, bool asWave, Rendered& out, std::string& error) {
    out = {};
    if (!record.IsInitialized()) {
        error = "Not initialized";
        return false;
    }
    const double* samples = record.GetIData();
    const int length = record.GetDataLength();
    const int rate = record.GetSamplerate();
    double amplitude = 0.0;
    if (!asWave) {
        std::string why;
        if (Kedra::Measure::Flac::Encode24(samples, length, rate, amplitude, out.data, why)) {
            out.format = "flac";
        } else {
            Kedra::Logging::KedraLogger::LogText("WARNING MeasurementCore::Save() - FLAC failed (" +
                                                 why + "), saving wave data - " +
                                                 record.GetLabel() + "\n");
        }
    }
    if (out.format.empty()) {
        if (!Kedra::WaveImExport::ArrayToWaveMemory(samples, length, rate, amplitude, out.data)) {
            error = "the wave data could not be written";
            return false;
        }
        out.format = "wav";
    }
    KeyMap keys = SettingsKeys(record);
    keys["Data_Amplitude"] = DoubleText(amplitude);
    keys["Data_FileFormat"] = out.format;
    out.info = RenderInfo(keys);
    return true;
}

bool Save(MeasurementCore& record, const std::string& basePath, bool asWave) {
    Rendered rendered;
    std::string error;
    const auto writeData = [&] {
        const std::string_view data(reinterpret_cast<const char*>(rendered.data.data()),
                                    rendered.data.size());
        return Kedra::Text::WriteFileAtomically(basePath + "." + rendered.format, data, error);
    };
    bool ok = Render(record, asWave, rendered, error) && writeData();
    // A FLAC file that cannot be written (something in the way of its name, a refusing
    // target) falls back to wave data like a FLAC encoding that fails.
    if (!ok && rendered.format == "flac") {
        Kedra::Logging::KedraLogger::LogText("WARNING MeasurementCore::Save( " + basePath +
                                             " ) - FLAC failed (" + error +
                                             "), saving wave data\n");
        error.clear();
        ok = Render(record, true, rendered, error) && writeData();
    }
    ok = ok && Kedra::Text::WriteFileAtomically(basePath + ".info", rendered.info, error);
    if (!ok)
        Kedra::Logging::KedraLogger::LogText("WARNING MeasurementCore::Save( " + basePath +
                                             " ) - " + error + "\n");
    return ok;
}

KeyMap ParseInfo(std::string_view text) {
    KeyMap keys;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        line = line.substr(0, MAX_LINE);
        const auto eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        const std::string_view key = Trim(line.substr(0, eq));
        if (key.empty())
            continue;
        keys[std::string(key)] = std::string(Trim(line.substr(eq + 1)));
    }
    return keys;
}

bool CheckInfo(const KeyMap& keys, std::string& format, std::string& error) {
    const std::string* version = Find(keys, "File_Version");
    const std::string* fileFormat = Find(keys, "Data_FileFormat");
    if (version == nullptr || fileFormat == nullptr) {
        error = "Failed to read vital keys";
        return false;
    }
    if (*fileFormat != "wav" && *fileFormat != "flac") {
        error = "Unsupported  Data_FileFormat: " + *fileFormat;
        return false;
    }
    for (const KeyType& k : KEYS) {
        const std::string* value = Find(keys, k.key);
        if (value == nullptr || k.type == Type::Text)
            continue;
        int i = 0;
        double d = 0.0;
        const bool ok = k.type == Type::Double ? ParseDouble(*value, d) : ParseInt(*value, i);
        if (!ok) {
            error = std::string("Not a number: ") + k.key + " = " + *value;
            return false;
        }
    }
    if (!CheckRange(keys, "Data_L", 1, MeasurementCore::MAX_DATA_LENGTH, error)) {
        error += " (at most " + IntText(MeasurementCore::MAX_DATA_LENGTH) + " samples)";
        return false;
    }
    if (!CheckRange(keys, "Data_Samplerate", 1, MAX_SAMPLES, error) ||
        !CheckRange(keys, "Data_Offset", 0, MAX_SAMPLES, error))
        return false;
    // The window's taper arithmetic is in int; a window far beyond any data would overflow it.
    if (!CheckRange(keys, "ImpulseWindow_StartSample", -MAX_SAMPLES, MAX_SAMPLES, error) ||
        !CheckRange(keys, "ImpulseWindow_EndSample", -MAX_SAMPLES, MAX_SAMPLES, error))
        return false;
    // Every later change of level divides by it (non-finite numbers are refused above).
    if (Find(keys, "Info_Amplified") != nullptr) {
        if (DoubleOr(keys, "Info_Amplified", 1.0) == 0.0) {
            error = "Data out of range: Info_Amplified = " + *Find(keys, "Info_Amplified");
            return false;
        }
    }
    for (const char* key : {"Rec_Offset", "Info_Offset"}) {
        if (std::fabs(DoubleOr(keys, key, 0.0)) > MAX_OFFSET) {
            error = std::string("Data out of range: ") + key + " = " + *Find(keys, key);
            return false;
        }
    }
    format = *fileFormat;
    return true;
}

bool LoadFromMemory(std::string_view infoText, std::span<const unsigned char> data, Loaded& out,
                    std::string& error) {
    if (infoText.size() > MAX_INFO_BYTES) {
        error = "Info file too large";
        return false;
    }
    KeyMap keys = ParseInfo(infoText);
    std::string format;
    if (!CheckInfo(keys, format, error))
        return false;
    const int length = IntOr(keys, "Data_L", 0);
    Mem::Array<double> samples;
    // A missing scale is no scale: 0.0, which the wave reader would apply, would silence data
    // that is there. An explicit 0 stays 0, the scale a save writes for silence.
    const double amplitude = DoubleOr(keys, "Data_Amplitude", 1.0);
    const bool scaled = Find(keys, "Data_Amplitude") != nullptr;
    if (!DecodeData(format, data, length, scaled ? &amplitude : nullptr, samples, error))
        return false;
    out.length = length;
    out.dataOffset = IntOr(keys, "Data_Offset", 0);
    out.sampleRate = IntOr(keys, "Data_Samplerate", 0);
    out.samples = std::move(samples);
    out.keys = std::move(keys);
    return true;
}

bool Load(const std::string& basePath, Loaded& out, std::string* reason, int maxLength) {
    const auto fail = [&](const std::string& tail) {
        Warn(basePath, tail);
        if (reason != nullptr)
            *reason = tail;
        return false;
    };
    const std::string infoPath = basePath + ".info";
    std::string infoText;
    std::string error;
    if (!ReadWhole(infoPath, MAX_INFO_BYTES, infoText, error))
        return fail("Failed to open: " + infoPath);
    // The info names the data file; its keys are checked before the data is read.
    std::string format;
    const KeyMap keys = ParseInfo(infoText);
    if (!CheckInfo(keys, format, error))
        return fail(error);
    if (IntOr(keys, "Data_L", 0) > maxLength)
        return fail("Data_L = " + *Find(keys, "Data_L") + " is more than the " +
                    IntText(maxLength) + " samples left of what one package may hold");
    const std::string dataPath = basePath + "." + format;
    std::string data;
    if (!ReadWhole(dataPath, MAX_DATA_FILE_BYTES, data, error))
        return fail("Failed to open: " + dataPath + " (" + error + ")");
    const std::span<const unsigned char> bytes(reinterpret_cast<const unsigned char*>(data.data()),
                                               data.size());
    try {
        if (!LoadFromMemory(infoText, bytes, out, error))
            return fail(error);
    } catch (const std::bad_alloc&) {
        return fail("Out of memory");
    }
    return true;
}

namespace {

// How the record is drawn is no reason to refuse its data: a value that cannot be read
// counts as missing, and the log says so.
void ApplyPlotKeys(const KeyMap& k, MeasurementCore& record) {
    const auto ignored = [&](const char* key, const std::string& value) {
        Kedra::Logging::KedraLogger::LogText(
            "WARNING MeasurementCore::Open() - " + std::string(key) + " = '" + value +
            "' is not a value of it; ignored - " + record.GetLabel() + "\n");
    };
    int shown = -1;
    if (const std::string* s = Find(k, "Plot_Shown")) {
        if (*s == "0" || *s == "1")
            shown = *s == "1" ? 1 : 0;
        else
            ignored("Plot_Shown", *s);
    }
    record.SetPlotShown(shown);
    int colour = -1;
    if (const std::string* s = Find(k, "Plot_Colour")) {
        colour = ParseColour(*s);
        if (colour == -2) {
            ignored("Plot_Colour", *s);
            colour = -1;
        }
    }
    record.SetPlotColour(colour);
}

} // namespace

void Apply(Loaded& loaded, MeasurementCore& record, int p) {
    const KeyMap& k = loaded.keys;
    // The offsets come first: the harmonic count of a sweep record depends on where the
    // impulse lies when the data is taken.
    record.Uninitialize();
    record.PostInitSetOffset(DoubleOr(k, "Rec_Offset", 0.0));
    record.OffsetAbsolute(DoubleOr(k, "Info_Offset", 0.0));
    const int signalType = Find(k, "Signal_Type") ? StringToSignalType(*Find(k, "Signal_Type")) : 0;
    // The stored samples already carry amplitude and offsets: nothing is re-applied.
    record.InitializeImpulse(std::move(loaded.samples), loaded.dataOffset, loaded.sampleRate, p,
                             signalType, DoubleOr(k, "Signal_TypeFactor1", 0.0),
                             DoubleOr(k, "Signal_TypeFactor2", 0.0), true);
    loaded.samples = {};

    // A missing text is empty: the record must not keep what a slot held before.
    const std::string* label = Find(k, "Info_Label");
    record.SetLabel(label != nullptr ? *label : std::string());
    record.SetFileVersion(IntOr(k, "File_Version", -1));
    if (const std::string* s = Find(k, "Application_Id"))
        record.SetApplicationId(StringToApplicationId(*s));
    record.SetApplicationAttrib1(IntOr(k, "Application_Atrrib1", record.GetApplicationAttrib1()));
    record.SetApplicationAttrib2(IntOr(k, "Application_Atrrib2", record.GetApplicationAttrib2()));
    if (const std::string* s = Find(k, "Application_info"))
        record.SetApplicationInfo(*s);
    record.SetRecChannels(IntOr(k, "Rec_Channels", record.GetRecChannels()));
    record.SetRecMaxAmplitude(DoubleOr(k, "Rec_MaxAmplitude", record.GetRecMaxAmplitude()));
    // A missing method reads as an unknown name does: the first one.
    const std::string* method = Find(k, "Rec_TimeZeroMethod");
    record.SetTimeZeroMethod(
        static_cast<int>(Kedra::Analyze::StringToTZM(method != nullptr ? *method : "")));
    if (const std::string* s = Find(k, "Rec_Date"))
        record.SetRecDate(*s);
    record.SetAmplitude(DoubleOr(k, "Info_Amplified", record.GetAmplitude()));
    record.SetInverted(BoolOr(k, "Info_Inverted", record.GetInverted()));

    record.SetSmoothNOct(DoubleOr(k, "FR_Smoothing_NOct", record.GetSmoothNOct()));
    record.SetSmoothingEnabled(BoolOr(k, "FR_Smoothing_Enabled", record.GetSmoothingEnabled()));
    // The one setting the defaults leave as it was.
    record.SetSmoothingComplex(BoolOr(k, "FR_Smoothing_Complex", false));
    record.SetLowpass(DoubleOr(k, "FR_LowpassStart", record.GetLowpassStart()),
                      DoubleOr(k, "FR_LowpassLength", record.GetLowpassLength()));
    record.SetLowpassEnabled(BoolOr(k, "FR_LowpassEnabled", record.GetLowpassEnabled()));
    record.SetHighpass(DoubleOr(k, "FR_HighpassStart", record.GetHighpassStart()),
                       DoubleOr(k, "FR_HighpassLength", record.GetHighpassLength()));
    record.SetHighpassEnabled(BoolOr(k, "FR_HighpassEnabled", record.GetHighpassEnabled()));

    record.SetImpulseWindowLockStart(false);
    record.SetImpulseWindowStart(
        IntOr(k, "ImpulseWindow_StartSample", record.GetImpulseWindowStart()), true);
    record.SetImpulseWindowEnd(IntOr(k, "ImpulseWindow_EndSample", record.GetImpulseWindowEnd()));
    record.SetImpulseWindowEnabled(
        BoolOr(k, "ImpulseWindow_Enabled", record.GetImpulseWindowEnabled()));
    record.SetImpulseWindowLockStart(BoolOr(k, "ImpulseWindow_LockStart", false));
    ApplyPlotKeys(k, record);

    // Both or neither: a delay alone says nothing about where the time zero came from.
    const std::string* system = Find(k, "Info_SystemDelay");
    const std::string* acoustic = Find(k, "Info_AcousticDelay");
    if (system != nullptr || acoustic != nullptr) {
        double s = 0.0;
        double a = 0.0;
        constexpr double MAX_DELAY = 1e9;
        if (system != nullptr && acoustic != nullptr && ParseDouble(*system, s) &&
            ParseDouble(*acoustic, a) && std::fabs(s) < MAX_DELAY && std::fabs(a) < MAX_DELAY)
            record.SetDelays(s, a);
        else
            Kedra::Logging::KedraLogger::LogText(
                "WARNING MeasurementCore::Open() - Info_SystemDelay and Info_AcousticDelay are "
                "not two delays; they are left out - " +
                record.GetLabel() + "\n");
    }

    // A broken offset costs the record its calibration, not its data.
    if (const std::string* offset = Find(k, "Info_SplOffset")) {
        double value = 0.0;
        if (ParseDouble(*offset, value) && std::fabs(value) < MAX_SPL_OFFSET_DB) {
            const std::string* reference = Find(k, "Info_SplReference");
            record.SetSpl(value, reference != nullptr ? *reference : std::string());
        } else {
            Kedra::Logging::KedraLogger::LogText(
                "WARNING MeasurementCore::Open() - Info_SplOffset = " + *offset +
                " is no level offset; the record reads in dB re full scale - " + record.GetLabel() +
                "\n");
        }
    }
}

bool Open(const std::string& basePath, MeasurementCore& record, int p) {
    Loaded loaded;
    if (p < 1 || p > MeasurementCore::MAX_EXPONENT) {
        Warn(basePath, "Analysis exponent out of range: " + IntText(p));
        record.Uninitialize();
        return false;
    }
    if (!Load(basePath, loaded)) {
        record.Uninitialize();
        return false;
    }
    Apply(loaded, record, p);
    return true;
}

} // namespace Kedra::Measure::MeasurementFile
