#pragma once
// The record of every user setting, with its defaults and the order its fields take in the
// options file. Each record lists its fields once, in Visit; the file reader and writer walk
// that list, so a field added there is saved and loaded without further code.
// All of it belongs to the window's thread.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace Kedra::Sonvel::Conf {

struct Color {
    std::uint8_t R = 0;
    std::uint8_t G = 0;
    std::uint8_t B = 0;
    std::uint8_t A = 255;

    friend bool operator==(const Color&, const Color&) = default;
};

// "R, G, B", or "A, R, G, B" when the colour is not opaque.
std::string ColorToText(Color c);
// Reads what ColorToText writes, "#RRGGBB", "#AARRGGBB" and a few colour names (as older
// files wrote the named default colours). On failure `error` says why and `c` is untouched.
bool ColorFromText(std::string_view text, Color& c, std::string& error);

// What PlotOptions::ImpulseGraphMode holds: the impulse in dB (its magnitude), the step
// response (the impulse's running sum), or the impulse itself.
enum class ImpulseGraphMode { Db = 0, Step = 1, Linear = 2 };

struct PlotOptions {
    double PlotFreqMin = 20.0;
    double PlotFreqMax = 22000.0;
    double PlotDbMin = -70.0;
    double PlotDbMax = 10.0;
    double PlotImpulseDBMin = -70.0;
    int GraphicsNumberOfXTics = 30;
    int GraphicsNumberOfYTics = 20;
    int LineWidth = 2;
    int ImpulseGraphMode = 2;
    double HidePhaseWhenBelowDB = -50.0;
    double HideHDWhenBelowDB = -50.0;
    bool FreqLogAxis = true;
    bool AmpDBAxis = true;
    bool PlotPhase = true;
    bool PlotAmplitude = true;
    bool PlotHD = false;
    bool ImpulseInterpolate = true;
    bool ImpulseShowHD = true;
    bool FreqShowGating = true;
    std::string ColorFgString = "0, 0, 0";
    std::string ColorBgString = "240, 240, 240";
    std::string ColorMeasAString = "0, 0, 139";
    std::string ColorMeasBString = "139, 0, 0";
    std::string ColorMeasCString = "0, 100, 0";
    std::string ColorSignalString = "50, 50, 50";
    // The colours themselves travel in the ...String fields above.
    Color ColorFg{0, 0, 0};
    Color ColorBg{240, 240, 240};
    Color ColorMeasA{0, 0, 139};
    Color ColorMeasB{139, 0, 0};
    Color ColorMeasC{0, 100, 0};
    Color ColorSignal{50, 50, 50};
    // The colour picker's custom colours; the front end keeps them here.
    std::vector<int> CustomColors;

    void Reset() { *this = PlotOptions{}; }
    // Colours to their text form, before every write.
    void SaveColors();
    // Text form back to colours, after every read; false (and `error`) on a broken text,
    // in which case no colour has changed.
    bool LoadColors(std::string& error);
    // After a read: the colours, or all plot defaults when a colour text is broken (false);
    // then the floors of older files.
    bool PostLoad();

    template <class V>
    void Visit(V& v) {
        v("PlotFreqMin", PlotFreqMin);
        v("PlotFreqMax", PlotFreqMax);
        v("PlotDbMin", PlotDbMin);
        v("PlotDbMax", PlotDbMax);
        v("PlotImpulseDBMin", PlotImpulseDBMin);
        v("GraphicsNumberOfXTics", GraphicsNumberOfXTics);
        v("GraphicsNumberOfYTics", GraphicsNumberOfYTics);
        v("LineWidth", LineWidth);
        v("ImpulseGraphMode", ImpulseGraphMode);
        v("HidePhaseWhenBelowDB", HidePhaseWhenBelowDB);
        v("HideHDWhenBelowDB", HideHDWhenBelowDB);
        v("FreqLogAxis", FreqLogAxis);
        v("AmpDBAxis", AmpDBAxis);
        v("PlotPhase", PlotPhase);
        v("PlotAmplitude", PlotAmplitude);
        v("PlotHD", PlotHD);
        v("ImpulseInterpolate", ImpulseInterpolate);
        v("ImpulseShowHD", ImpulseShowHD);
        v("FreqShowGating", FreqShowGating);
        v("ColorFgString", ColorFgString);
        v("ColorBgString", ColorBgString);
        v("ColorMeasAString", ColorMeasAString);
        v("ColorMeasBString", ColorMeasBString);
        v("ColorMeasCString", ColorMeasCString);
        v("ColorSignalString", ColorSignalString);
        v("CustomColors", CustomColors);
    }

    friend bool operator==(const PlotOptions&, const PlotOptions&) = default;
};

struct MiscOptions {
    bool ShowToolTips = true;
    bool CheckForUpdate = true;
    // Write the debug waves of each measurement.
    bool SaveMeasureWaves = false;
    // List slots shown as measurements A, B and C.
    int ASlotNr = 0;
    int BSlotNr = 1;
    int CSlotNr = 2;
    int WaveFormat = 0;
    // Empty until Default or PostLoad fills them from the user directory.
    std::string SaveMeasureOutput;
    std::string SaveMeasureRec;
    std::string SaveMeasureCorr;
    // A measurement written over (measured, imported, an operation's result) first moves to
    // an empty slot instead of being lost.
    bool KeepReplacedMeasurements = true;

    static MiscOptions Default(const std::filesystem::path& userDirectory);
    // A debug wave path that is missing or empty gets its default.
    void PostLoad(const std::filesystem::path& userDirectory);

    template <class V>
    void Visit(V& v) {
        v("ShowToolTips", ShowToolTips);
        v("CheckForUpdate", CheckForUpdate);
        v("SaveMeasureWaves", SaveMeasureWaves);
        v("ASlotNr", ASlotNr);
        v("BSlotNr", BSlotNr);
        v("CSlotNr", CSlotNr);
        v("WaveFormat", WaveFormat);
        v("SaveMeasureOutput", SaveMeasureOutput);
        v("SaveMeasureRec", SaveMeasureRec);
        v("SaveMeasureCorr", SaveMeasureCorr);
        v("KeepReplacedMeasurements", KeepReplacedMeasurements);
    }

    friend bool operator==(const MiscOptions&, const MiscOptions&) = default;
};

struct DevOptions {
    // Index into 44100, 48000, 88200, 96000, 176400, 192000 Hz.
    int SamplerateNo = 0;
    int InputNumber = 0;
    int OutputNumber = 0;
    int ApiNumber = 0;
    // Bit 0 left, bit 1 right, bit 2 channel 3, bit 3 channel 4.
    int OutputChMask = 0;
    // 0 left, 1 right, 2 channel 3, 3 channel 4.
    int InputChannel = 0;
    bool InputInvert = false;
    double DelayMS = 1500.0;
    float OutputPCMAmplitude = 1.0f;
    bool KeepStreamActive = true;
    // The input (0-based) that carries the output back as a timing reference; -1 none.
    int ReferenceInput = -1;
    // The inputs (0-based) one sweep records together; empty: InputChannel alone.
    std::vector<int> InputChannels;

    template <class V>
    void Visit(V& v) {
        v("SamplerateNo", SamplerateNo);
        v("InputNumber", InputNumber);
        v("OutputNumber", OutputNumber);
        v("ApiNumber", ApiNumber);
        v("OutputChMask", OutputChMask);
        v("InputChannel", InputChannel);
        v("InputInvert", InputInvert);
        v("DelayMS", DelayMS);
        v("OutputPCMAmplitude", OutputPCMAmplitude);
        v("KeepStreamActive", KeepStreamActive);
        v("ReferenceInput", ReferenceInput);
        v("InputChannels", InputChannels);
    }

    friend bool operator==(const DevOptions&, const DevOptions&) = default;
};

struct SignalOptions {
    // 0 logarithmic sweep, 1 chirp, 2 square noise.
    int SignalType = 0;
    // Power of two of the length in samples.
    int SignalLength = 18;
    double LogSweepStartFreq = 10.0;
    double ChirpStartFreq = 10.0;
    double ChirpPotens = 2.0;
    double SqNoiseFreq = 0.9;
    double SqNoiseAmplitude = 0.5;
    float FadeInms = 10.0f;
    float FadeOutms = 1.0f;
    bool FadeIn = true;
    bool FadeOut = true;

    template <class V>
    void Visit(V& v) {
        v("SignalType", SignalType);
        v("SignalLength", SignalLength);
        v("LogSweepStartFreq", LogSweepStartFreq);
        v("ChirpStartFreq", ChirpStartFreq);
        v("ChirpPotens", ChirpPotens);
        v("SqNoiseFreq", SqNoiseFreq);
        v("SqNoiseAmplitude", SqNoiseAmplitude);
        v("FadeInms", FadeInms);
        v("FadeOutms", FadeOutms);
        v("FadeIn", FadeIn);
        v("FadeOut", FadeOut);
    }

    friend bool operator==(const SignalOptions&, const SignalOptions&) = default;
};

struct AnalysisOptions {
    bool NormalizeTo0dB = false;
    bool TimeWindowAutoApply = true;
    int TimeZeroMethod = 2;
    bool TimeZeroInterpolate = true;
    bool MicCalibration = false;
    bool DacAdcCalibration = false;
    bool HighpassResult = true;
    bool ExtendToNyquist = false;
    double ExtendToNyquistFreq = 20000.0;
    // Power of two of the analysis length.
    int MAnalysis = 16;

    template <class V>
    void Visit(V& v) {
        v("NormalizeTo0dB", NormalizeTo0dB);
        v("TimeWindowAutoApply", TimeWindowAutoApply);
        v("TimeZeroMethod", TimeZeroMethod);
        v("TimeZeroInterpolate", TimeZeroInterpolate);
        v("MicCalibration", MicCalibration);
        v("DacAdcCalibration", DacAdcCalibration);
        v("HighpassResult", HighpassResult);
        v("ExtendToNyquist", ExtendToNyquist);
        v("ExtendToNyquistFreq", ExtendToNyquistFreq);
        v("MAnalysis", MAnalysis);
    }

    friend bool operator==(const AnalysisOptions&, const AnalysisOptions&) = default;
};

struct ImExportOptions {
    bool ExportPhase = true;
    bool PhaseUnwrap = true;
    int PhaseMode = 0;
    bool IncludeHeader = true;
    std::string CommentString = "#";
    // Character codes: '.' and ';'.
    int DecimalSep = 46;
    int Separator = 59;
    int ExportMode = 2;
    double LinearStepsHz = 5.0;
    double LogNofSteps = 1000.0;
    double NonEqDbChange = 0.1;
    double NonEqPhaseChange = 1.0;

    template <class V>
    void Visit(V& v) {
        v("ExportPhase", ExportPhase);
        v("PhaseUnwrap", PhaseUnwrap);
        v("PhaseMode", PhaseMode);
        v("IncludeHeader", IncludeHeader);
        v("CommentString", CommentString);
        v("DecimalSep", DecimalSep);
        v("Separator", Separator);
        v("ExportMode", ExportMode);
        v("LinearStepsHz", LinearStepsHz);
        v("LogNofSteps", LogNofSteps);
        v("NonEqDbChange", NonEqDbChange);
        v("NonEqPhaseChange", NonEqPhaseChange);
    }

    friend bool operator==(const ImExportOptions&, const ImExportOptions&) = default;
};

struct FilterOptions {
    bool HighpassEnabled = false;
    bool LowpassEnabled = false;
    double HighpassFreq = 500.0;
    double LowpassFreq = 5000.0;
    int NofTaps = 501;

    template <class V>
    void Visit(V& v) {
        v("HighpassEnabled", HighpassEnabled);
        v("LowpassEnabled", LowpassEnabled);
        v("HighpassFreq", HighpassFreq);
        v("LowpassFreq", LowpassFreq);
        v("NofTaps", NofTaps);
    }

    friend bool operator==(const FilterOptions&, const FilterOptions&) = default;
};

struct MakeMicCalOptions {
    int refCalSlot = 0;
    int refLowSlot = 1;
    int refHighSlot = 2;
    // Window lengths in centimetres of sound travel.
    double winHighcm = 60.0;
    double winMidcm = 400.0;
    double winLowcm = 2000.0;
    // Stitch bands in Hz.
    double stitchHighCenter = 600.0;
    double stitchHighWidth = 60.0;
    double stitchLowCenter = 100.0;
    double stitchLowWidth = 10.0;

    template <class V>
    void Visit(V& v) {
        v("refCalSlot", refCalSlot);
        v("refLowSlot", refLowSlot);
        v("refHighSlot", refHighSlot);
        v("winHighcm", winHighcm);
        v("winMidcm", winMidcm);
        v("winLowcm", winLowcm);
        v("stitchHighCenter", stitchHighCenter);
        v("stitchHighWidth", stitchHighWidth);
        v("stitchLowCenter", stitchLowCenter);
        v("stitchLowWidth", stitchLowWidth);
    }

    friend bool operator==(const MakeMicCalOptions&, const MakeMicCalOptions&) = default;
};

// What the desktop window keeps between sessions; the command line leaves it alone.
struct WindowOptions {
    // Qt's saved geometry and dock state, base64.
    std::string Geometry;
    std::string State;
    // 0 frequency response, 1 impulse response, 2 distortion.
    int GraphTab = 0;
    double ImpulseTimeMinMs = -2.0;
    double ImpulseTimeMaxMs = 20.0;
    // Newest first, one path per line.
    std::string RecentFiles;
    // Where Tools > Remote control serves (127.0.0.1 only).
    int RemotePort = 4735;

    template <class V>
    void Visit(V& v) {
        v("Geometry", Geometry);
        v("State", State);
        v("GraphTab", GraphTab);
        v("ImpulseTimeMinMs", ImpulseTimeMinMs);
        v("ImpulseTimeMaxMs", ImpulseTimeMaxMs);
        v("RecentFiles", RecentFiles);
        v("RemotePort", RemotePort);
    }

    friend bool operator==(const WindowOptions&, const WindowOptions&) = default;
};

// Sound pressure level references, one per input device and channel.
struct SplOptions {
    // One reference per line: device, input channel (from 0), level in dB SPL, the reading in
    // dBFS, frequency in Hz, date and source ("calibrator", "tone", "noise"), tab-separated.
    std::string References;

    template <class V>
    void Visit(V& v) {
        v("References", References);
    }

    friend bool operator==(const SplOptions&, const SplOptions&) = default;
};

struct OptionsField {
    // Four decimal numbers joined by full stops.
    std::string WriterProductVersion;
    std::string Comment;
    PlotOptions Plot;
    MiscOptions Misc;
    DevOptions Dev;
    SignalOptions Signal;
    AnalysisOptions Analysis;
    ImExportOptions ImExport;
    FilterOptions Filter;
    MakeMicCalOptions MakeMicCal;
    WindowOptions Window;
    SplOptions Spl;

    // Every section with its defaults; the debug wave paths lie in `userDirectory`.
    static OptionsField Init(const std::filesystem::path& userDirectory);
    // After a read: colours, floors of older files and the migrations by writer version.
    // A file's missing sections already hold their defaults, as it is read over Init. False
    // when the colours could not be read and the plot options were reset.
    bool PostLoad(const std::filesystem::path& userDirectory);

    template <class V>
    void Visit(V& v) {
        v("WriterProductVersion", WriterProductVersion);
        v("Comment", Comment);
        v("Plot", Plot);
        v("Misc", Misc);
        v("Dev", Dev);
        v("Signal", Signal);
        v("Analysis", Analysis);
        v("ImExport", ImExport);
        v("Filter", Filter);
        v("MakeMicCal", MakeMicCal);
        v("Window", Window);
        v("Spl", Spl);
    }

    friend bool operator==(const OptionsField&, const OptionsField&) = default;
};

} // namespace Kedra::Sonvel::Conf
