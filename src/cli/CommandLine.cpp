#include "cli/CommandLine.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <utility>

#include "analyze/MeasurementViews.h"
#include "app/MainCtrl.h"
#include "app/Options.h"
#include "app/SplReference.h"
#include "audio/Devices.h"
#include "audio/SimulatedSoundCard.h"
#include "audio/StreamInitializer.h"
#include "audio/VUMeterInBuffer.h"
#include "cli/ConsoleFrontEnd.h"
#include "cli/Demo.h"
#include "cli/EqCommand.h"
#include "cli/Interrupt.h"
#include "cli/ServeCommand.h"
#include "cli/SplCommand.h"
#include "cli/TfCommand.h"
#include "exchange/Calibrator.h"
#include "exchange/ImpulseImporter.h"
#include "exchange/MeasurementExporter.h"
#include "exchange/MeasurementImporter.h"
#include "exchange/TextFile.h"
#include "exchange/WaveFile.h"
#include "foundation/KedraLogger.h"
#include "foundation/MathHelpers.h"
#include "foundation/Mem.h"
#include "live/FrequencyWeighting.h"
#include "live/LiveInput.h"
#include "live/RtaAnalysis.h"
#include "measure/MeasurementCore.h"
#include "measure/MeasurementFile.h"
#ifdef SONVEL_HAS_GUI
#include "gui/PlotFile.h"
#endif

namespace Kedra::Sonvel {

namespace fs = std::filesystem;
using Kedra::Measure::Measurement;
using Kedra::PAudioII::SimulatedModel;

namespace {

// A failure the user caused by the way the command was written: exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The controller refused and told the user why; the run ends with status 1 and no second
// message.
struct AlreadyTold {};

// ---- options given on the command line: Section.Field=VALUE ---------------------------

void SetOption(const std::string& assignment) {
    const auto dot = assignment.find('.');
    const auto eq = assignment.find('=');
    if (dot == std::string::npos || eq == std::string::npos || eq < dot)
        throw UsageError("--set needs Section.Field=VALUE, not '" + assignment + "'");
    const std::string path = assignment.substr(0, eq);
    const std::string value = assignment.substr(eq + 1);
    std::string why;
    switch (Conf::Options::SetInRange(path, value, why)) {
    case Conf::Options::SetResult::Ok:
        return;
    case Conf::Options::SetResult::OutOfRange:
        throw UsageError("--set: " + why);
    case Conf::Options::SetResult::NoField:
        throw UsageError("--set: there is no option " + path +
                         " (sections Plot, Misc, Dev, Signal, Analysis, ImExport, Filter, "
                         "MakeMicCal, Window)");
    case Conf::Options::SetResult::BadValue:
        throw UsageError("--set: '" + value + "' is not a value for " + path);
    }
}

// ---- slots -------------------------------------------------------------------------------

int ParseSlot(MainCtrl& ctrl, const std::string& text) {
    if (text == "A" || text == "a")
        return ctrl.PresenterSlot(MainCtrl::PRESENTER_A);
    if (text == "B" || text == "b")
        return ctrl.PresenterSlot(MainCtrl::PRESENTER_B);
    if (text == "C" || text == "c")
        return ctrl.PresenterSlot(MainCtrl::PRESENTER_C);
    int slot = -1;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), slot);
    if (ec != std::errc() || end != text.data() + text.size() || slot < 0 ||
        slot >= ctrl.List().GetSize())
        throw UsageError("'" + text + "' is not a slot: use A, B, C or 0 .. " +
                         std::to_string(ctrl.List().GetSize() - 1));
    return slot;
}

std::string PresenterLetter(MainCtrl& ctrl, int slot) {
    std::string letters;
    for (int p = MainCtrl::PRESENTER_A; p <= MainCtrl::PRESENTER_C; ++p)
        if (ctrl.PresenterSlot(p) == slot)
            letters += static_cast<char>('A' + p);
    return letters;
}

Measurement& FilledSlot(MainCtrl& ctrl, int slot) {
    Measurement* m = ctrl.List().No(slot);
    if (m == nullptr || !m->IsInitialized())
        throw std::runtime_error("slot " + std::to_string(slot) + " holds no measurement");
    return *m;
}

// The room parameters as a table, or as comma-separated values with an empty field where a
// value could not be found. A clarity whose late part lies under the noise is the bound the
// noise allows: "> x" in the table, x and a last column `clarity_is_bound` in the values.
// `verbose` adds why each value is left out or a bound (to stderr beside the values).
void PrintAcoustics(Measurement& m, bool csv, bool verbose) {
    const auto bands = Kedra::Measure::RoomAcousticsOf(m);
    if (bands.empty())
        throw std::runtime_error("no room parameters: the impulse is too short or silent");
    const auto field = [csv](double x, int decimals, bool bound = false) -> std::string {
        if (!std::isfinite(x))
            return csv ? "" : "-";
        return (bound && !csv ? "> " : "") + Kedra::Text::FormatFixed(x, decimals);
    };
    if (csv)
        std::printf("band,edt_s,t20_s,t30_s,c50_db,c80_db,d50_pct,ts_ms,clarity_is_bound\n");
    else
        std::printf("%-10s %7s %7s %7s %7s %7s %7s %7s\n", "band", "EDT s", "T20 s", "T30 s",
                    "C50 dB", "C80 dB", "D50 %", "Ts ms");
    std::vector<std::string> notes;
    for (const auto& b : bands) {
        const Kedra::Measure::RoomParameters& p = b.parameters;
        const std::string values[] = {field(p.edt, 3),
                                      field(p.t20, 3),
                                      field(p.t30, 3),
                                      field(p.c50, 2, p.c50IsBound),
                                      field(p.c80, 2, p.c80IsBound),
                                      field(p.d50, 1),
                                      field(p.ts, 1)};
        const std::string name = b.midband > 0.0 ? b.name + " Hz" : b.name;
        if (csv) {
            std::string line = b.name;
            for (const std::string& v : values) {
                line += ',';
                line += v;
            }
            line += p.c50IsBound || p.c80IsBound ? ",1" : ",0";
            std::printf("%s\n", line.c_str());
        } else {
            std::printf("%-10s", name.c_str());
            for (const std::string& v : values)
                std::printf(" %7s", v.c_str());
            std::printf("\n");
        }
        const std::pair<const char*, const Kedra::Measure::RoomOmissionNote*> times[] = {
            {"EDT", &p.edtNote}, {"T20", &p.t20Note}, {"T30", &p.t30Note}};
        for (const auto& [what, note] : times)
            if (note->why != Kedra::Measure::RoomOmission::None)
                notes.push_back(name + " " + what + ": " + Kedra::Measure::RoomOmissionText(*note));
        const std::tuple<const char*, double, bool> clarities[] = {{"C50", p.c50, p.c50IsBound},
                                                                   {"C80", p.c80, p.c80IsBound}};
        for (const auto& [what, value, bound] : clarities)
            if (bound && std::isfinite(value))
                notes.push_back(name + " " + what +
                                ": the late energy lies under the noise; at least " +
                                Kedra::Text::FormatFixed(value, 2) + " dB");
    }
    if (verbose)
        for (const std::string& n : notes)
            std::fprintf(csv ? stderr : stdout, "%s\n", n.c_str());
}

SimulatedModel ParseModel(const std::string& name) {
    SimulatedModel model;
    if (!Kedra::PAudioII::SimulatedModelFromName(name, &model))
        throw UsageError("--sim takes loopback, speaker, room or dead, not '" + name + "'");
    return model;
}

// The devices of the options, or the simulated card; they are applied when the stream is
// used. A machine without sound card is told how to measure anyway.
void ChooseDevices(MainCtrl& ctrl, const std::string& sim) {
    if (!sim.empty()) {
        ctrl.Audio().UseSimulated(true, ParseModel(sim));
        return;
    }
    ctrl.Audio().UseSimulated(false, SimulatedModel::Loopback);
    // Only for a host API of PortAudio's: for any other number the controller says what is
    // wrong.
    const int api = Conf::Options::Field.Dev.ApiNumber;
    if (api >= 0 && api < Kedra::PAudioII::SimulatedHostApiIndex() &&
        Kedra::PAudioII::PortAudioDeviceCount() == 0)
        throw std::runtime_error("no sound card found; use --sim loopback|speaker|room|dead "
                                 "to measure on the simulated sound card");
}

// ---- several inputs and a timing reference ----------------------------------------------

// "1,2,3" (counted from 1) as 0-based inputs; a usage error for anything else.
std::vector<int> ParseInputList(const std::string& text) {
    std::vector<int> inputs;
    std::string_view rest = text;
    while (true) {
        const auto comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        while (!item.empty() && item.front() == ' ')
            item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ')
            item.remove_suffix(1);
        int value = 0;
        const auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), value);
        if (item.empty() || ec != std::errc() || end != item.data() + item.size())
            throw UsageError("--inputs takes input numbers counted from 1, separated by commas "
                             "(1,2,3), not '" +
                             text + "'");
        if (value < 1)
            throw UsageError("--inputs counts inputs from 1; there is no input " +
                             std::to_string(value));
        inputs.push_back(value - 1);
        if (comma == std::string_view::npos)
            return inputs;
        rest = rest.substr(comma + 1);
    }
}

// The inputs of `measure --inputs/--reference-input`, checked against the device and set for
// this run only: the stored options keep their own.
class InputsForRun {
public:
    InputsForRun(MainCtrl& ctrl, const std::string& text, bool withReference, int reference)
        : saved_(Conf::Options::Field.Dev) {
        if (text.empty() && !withReference)
            return;
        Conf::DevOptions& dev = Conf::Options::Field.Dev;
        dev.InputChannels = text.empty() ? std::vector<int>{} : ParseInputList(text);
        if (withReference && reference < 1)
            throw UsageError("--reference-input counts inputs from 1; there is no input " +
                             std::to_string(reference));
        dev.ReferenceInput = withReference ? reference - 1 : -1;
        active_ = true;
        if (!ctrl.Audio().ApplyDevices(Conf::Options::Field))
            throw AlreadyTold{};
        const std::string why =
            CheckInputs(MeasuredInputs(dev), dev.ReferenceInput,
                        Kedra::PAudioII::StreamInitializer::Get()->GetInChannels());
        if (!why.empty())
            throw UsageError(why);
    }
    ~InputsForRun() {
        if (active_) {
            Conf::Options::Field.Dev.InputChannels = saved_.InputChannels;
            Conf::Options::Field.Dev.ReferenceInput = saved_.ReferenceInput;
        }
    }
    InputsForRun(const InputsForRun&) = delete;
    InputsForRun& operator=(const InputsForRun&) = delete;

    // One line per input: its slot, label and delays.
    void Print(MainCtrl& ctrl) const {
        if (!active_)
            return;
        for (const auto& [input, slot] : ctrl.PlacedInputs()) {
            const Measurement* m = ctrl.List().No(slot);
            if (m == nullptr)
                continue;
            std::printf(
                "Input %d in slot %d: %s, recording peak %s dB, time offset %s samples", input + 1,
                slot, m->GetLabel().c_str(),
                Kedra::Text::FormatFixed(Kedra::Math::AmplitudeToDB(m->GetRecMaxAmplitude()), 2)
                    .c_str(),
                Kedra::Text::FormatFixed(m->GetCurrentOffset(), 3).c_str());
            if (m->HasDelays() && m->GetSamplerate() > 0) {
                const double fs = m->GetSamplerate();
                std::printf(
                    ", System delay %s ms, Acoustic delay %s ms",
                    Kedra::Text::FormatFixed(m->GetSystemDelay() * 1000.0 / fs, 3).c_str(),
                    Kedra::Text::FormatFixed(m->GetAcousticDelay() * 1000.0 / fs, 3).c_str());
            }
            std::printf("\n");
        }
    }

private:
    Conf::DevOptions saved_;
    bool active_ = false;
};

// ---- SPL reference -----------------------------------------------------------------------

struct SplArguments {
    std::optional<double> level;
    double seconds = 3.0;
    std::optional<double> frequency;
    std::string play;
    bool show = false;
    bool clear = false;
};

// `cal spl`: the stored references (--show), the current input's removed (--clear), or a new
// one recorded, judged and stored. 0, or 1 with the reason on stderr.
int SplCommand(MainCtrl& ctrl, const SplArguments& a, const std::string& sim) {
    if (a.show) {
        const auto all = ParseSplReferences(Conf::Options::Field.Spl.References);
        if (all.empty())
            std::printf("No SPL reference is stored\n");
        for (const SplReference& r : all)
            std::printf("%s (offset %s dB)\n", r.Describe().c_str(),
                        Kedra::Text::FormatFixed(r.Offset(), 2).c_str());
        return 0;
    }
    ChooseDevices(ctrl, sim);
    if (a.clear) {
        if (!ctrl.Audio().ApplyDevices(Conf::Options::Field))
            return 1;
        const std::string device = CurrentInputDevice();
        const int channel = Conf::Options::Field.Dev.InputChannel;
        if (ClearSplReference(device, channel))
            std::printf("Cleared the SPL reference of %s ch %d\n", device.c_str(), channel + 1);
        else
            std::printf("No SPL reference was stored for %s ch %d\n", device.c_str(), channel + 1);
        return 0;
    }
    // With --play and no level it only plays and reads, while the user reads the meter.
    const bool listen = !a.level && !a.play.empty();
    if (!a.level && !listen)
        throw UsageError("cal spl needs --level (the calibrator's level in dB SPL), --show or "
                         "--clear");
    SplRequest q;
    q.levelDb = listen ? 94.0 : *a.level;
    q.seconds = a.seconds;
    q.frequency = a.frequency ? *a.frequency : 1000.0;
    q.source = a.play == "tone"    ? SplSource::Tone
               : a.play == "noise" ? SplSource::Noise
                                   : SplSource::Calibrator;
    const SplResult r = TakeSplReference(ctrl.Audio(), q);
    if (r.reading.blocks > 0)
        std::printf(
            "Read %s dBFS at %s Hz (fluctuation %s dB, peak %s dBFS)\n",
            Kedra::Text::FormatFixed(r.reading.dbfs, 2).c_str(),
            Kedra::Text::FormatFixed(r.reading.frequency, 1).c_str(),
            Kedra::Text::FormatFixed(r.reading.fluctuationDb, 3).c_str(),
            Kedra::Text::FormatFixed(Kedra::Math::AmplitudeToDB(r.reading.peak), 2).c_str());
    if (!r.ok) {
        std::fprintf(stderr, "sonvel: no SPL reference taken: %s\n", r.why.c_str());
        return 1;
    }
    if (listen) {
        std::printf("Nothing stored: run again with --level and the SPL the meter showed\n");
        return 0;
    }
    StoreSplReference(r.reference);
    std::printf("SPL reference stored: %s (offset %s dB)\n", r.reference.Describe().c_str(),
                Kedra::Text::FormatFixed(r.reference.Offset(), 2).c_str());
    return 0;
}

// ---- real-time analyser over a wave file or the input --------------------------------------

struct RtaArguments {
    std::string file, average, csv, sim;
    std::string weighting = "Z";
    std::optional<int> bands, fft;
    std::optional<double> seconds;
};

// The rows written and told: what they are, then the CSV or the rows themselves.
int RtaReport(const Kedra::Live::RtaAnalysis& analysis, const Kedra::Live::RtaChoice& choice,
              const RtaArguments& a, const std::string& source, long long count, double offsetDb) {
    if (analysis.UsesFft() && analysis.Frames() == 0)
        throw std::runtime_error(source + " holds " + std::to_string(count) +
                                 " samples, fewer than one FFT frame of " +
                                 std::to_string(analysis.FrameSize()));
    auto rows = analysis.Rows();
    // Silence stays at the floor, in dB SPL as re full scale.
    const auto shift = [offsetDb](double& db) {
        if (db > Kedra::Live::LEVEL_FLOOR_DB)
            db += offsetDb;
    };
    for (Kedra::Live::RtaRow& row : rows) {
        shift(row.leqDb);
        shift(row.maxDb);
    }
    const std::string text = Kedra::Live::RtaRowsCsv(rows);
    if (!a.csv.empty()) {
        std::string error;
        if (!Kedra::Text::WriteFileAtomically(a.csv, text, error))
            throw std::runtime_error("could not write " + a.csv + ": " + error);
    }
    if (!analysis.UsesFft())
        std::printf("1/%d-octave filter bank: leq_db over the whole run, max_db the highest "
                    "F (125 ms) level\n",
                    choice.bandsPerOctave);
    else
        std::printf("FFT of %d samples, Hann window, 75 %% overlap, %lld frames: leq_db the "
                    "average at the end (a sine centred on a bin reads its own level), max_db the "
                    "peak hold\n",
                    analysis.FrameSize(), analysis.Frames());
    if (a.csv.empty())
        std::fputs(text.c_str(), stdout);
    else
        std::printf("Wrote %zu rows to %s\n", rows.size(), a.csv.c_str());
    return 0;
}

// The input for --seconds (5 by default), through the same analysis as a file.
int RtaLive(MainCtrl& ctrl, const RtaArguments& a, const Kedra::Live::RtaChoice& choice,
            Kedra::Live::Weighting weighting, const std::string& weightedText) {
    ChooseDevices(ctrl, a.sim);
    if (!ctrl.Audio().ApplyDevices(Conf::Options::Field))
        throw std::runtime_error("the analyser has no input to listen to");
    auto* stream = Kedra::PAudioII::StreamInitializer::Get();
    const int fs = stream->GetSamplerate();
    if (const std::string bad = Kedra::Live::CheckRtaChoice(choice, fs); !bad.empty())
        throw std::runtime_error("cannot analyse the input: " + bad);
    if (weighting != Kedra::Live::Weighting::Z &&
        !Kedra::Live::FrequencyWeighting::SupportsRate(fs))
        throw std::runtime_error("cannot weight the input at " + std::to_string(fs) +
                                 " Hz; choose 44100 Hz or more in the options");
    const int channel = Conf::Options::Field.Dev.InputChannel;
    double offset = 0.0;
    std::string unit = "dB re full scale (a full-scale sine reads 0 dB)";
    if (const auto reference = FindSplReference(CurrentInputDevice(), channel)) {
        offset = reference->Offset();
        unit = "dB SPL";
    }
    Kedra::Live::WeightedRta rta(weighting, fs, choice);
    const InterruptScope interrupt;
    const Kedra::Live::LiveRun run = Kedra::Live::RunLive(
        stream, channel, a.seconds.value_or(5.0),
        [&](const float* block, int count) { rta.Process(block, count); }, InterruptScope::Flag());
    if (InterruptScope::Interrupted())
        std::printf("Stopped by Ctrl+C\n");
    if (!run.ok)
        throw std::runtime_error(run.why);
    if (run.dropped > 0)
        throw std::runtime_error(std::to_string(run.dropped) +
                                 " samples were lost because the analysis fell behind; nothing "
                                 "was written");
    std::printf("Input %s ch %d: %s s at %d Hz, levels in %s%s\n", CurrentInputDevice().c_str(),
                channel + 1,
                Kedra::Text::FormatFixed(static_cast<double>(run.samples) / fs, 3).c_str(), fs,
                unit.c_str(), weightedText.c_str());
    return RtaReport(rta.analysis, choice, a, "the input's recording",
                     static_cast<long long>(run.samples), offset);
}

// The band or bin levels of a whole file, read at its own rate as fast as it goes, or of the
// input for some seconds. 0, or an exception that says why (nothing written then).
int RtaCommand(MainCtrl& ctrl, const RtaArguments& a) {
    Kedra::Live::RtaChoice choice;
    if (a.bands && a.fft)
        throw UsageError("give --bands or --fft, not both");
    if (a.bands)
        choice.bandsPerOctave = *a.bands;
    if (a.fft)
        choice.fftSize = choice.fft.fftSize = *a.fft;
    choice.fft.average = Kedra::Live::RtaAverage::Infinite;
    if (!a.average.empty()) {
        const std::string why = Kedra::Live::ParseRtaAverage(a.average, choice.fft);
        if (!why.empty())
            throw UsageError(why);
        choice.averageGiven = true;
    }
    // What the arguments alone decide is a usage error; the file's rate is checked below.
    if (const std::string why = Kedra::Live::CheckRtaChoice(choice, 48000.0); !why.empty())
        throw UsageError(why);
    const auto weighting = Kedra::Live::ParseWeighting(a.weighting);
    if (!weighting)
        throw UsageError("--weighting must be A, C or Z, not '" + a.weighting + "'");
    if (a.seconds && !(*a.seconds > 0.0 && std::isfinite(*a.seconds)))
        throw UsageError("--seconds must be more than 0");
    if (!a.file.empty() && !a.sim.empty())
        throw UsageError("rta reads a FILE or listens (--sim, or the devices), not both");
    const bool weighted = *weighting != Kedra::Live::Weighting::Z;
    const std::string weightedText =
        weighted ? std::string(", ") + Kedra::Live::WeightingLetter(*weighting) + "-weighted" : "";
    if (a.file.empty())
        return RtaLive(ctrl, a, choice, *weighting, weightedText);

    Kedra::WaveImExport::WaveInfo info;
    float* samples = nullptr;
    std::string why;
    const int count = Kedra::WaveImExport::ArrayWaveImport(a.file, info, samples, &why);
    const std::unique_ptr<float, void (*)(float*)> owner(samples,
                                                         [](float* p) { Mem::FreeArrayNoRef(p); });
    if (count <= 0)
        throw std::runtime_error("cannot analyse " + a.file + ": " + why);
    if (const std::string bad = Kedra::Live::CheckRtaChoice(choice, info.samplerate); !bad.empty())
        throw std::runtime_error("cannot analyse " + a.file + ": " + bad);
    if (weighted && !Kedra::Live::FrequencyWeighting::SupportsRate(info.samplerate))
        throw std::runtime_error("cannot weight " + a.file + ": its rate of " +
                                 std::to_string(info.samplerate) +
                                 " Hz is below the 44100 Hz the weightings are made for");
    // One NaN would stay in every filter's state and silence the rest of the run.
    const auto broken =
        std::count_if(samples, samples + count, [](float x) { return !std::isfinite(x); });
    if (broken > 0)
        throw std::runtime_error("cannot analyse " + a.file + ": " + std::to_string(broken) +
                                 " of its samples are not numbers (NaN or infinite)");

    const int wanted =
        a.seconds
            ? static_cast<int>(std::min<double>(count, std::round(*a.seconds * info.samplerate)))
            : count;
    Kedra::Live::WeightedRta rta(*weighting, info.samplerate, choice);
    constexpr int BLOCK = 4096;
    for (int done = 0; done < wanted; done += BLOCK)
        rta.Process(samples + done, std::min(BLOCK, wanted - done));
    std::printf("%s: %s s at %d Hz, levels in dB re full scale (a full-scale sine reads 0 dB)%s\n",
                a.file.c_str(),
                Kedra::Text::FormatFixed(static_cast<double>(wanted) / info.samplerate, 3).c_str(),
                info.samplerate, weightedText.c_str());
    return RtaReport(rta.analysis, choice, a, a.file, wanted, 0.0);
}

// ---- shown slots -------------------------------------------------------------------------

void ShowSlots(MainCtrl& ctrl, const std::vector<std::string>& names, bool only, bool hide,
               const std::string& colourText) {
    if (only && hide)
        throw UsageError("show takes --only or --hide, not both");
    std::vector<int> slots;
    for (const std::string& name : names) {
        if (name == "all") {
            for (int i = 0; i < ctrl.List().GetSize(); ++i)
                if (ctrl.List().IsFilled(i))
                    slots.push_back(i);
            continue;
        }
        const int slot = ParseSlot(ctrl, name);
        FilledSlot(ctrl, slot);
        slots.push_back(slot);
    }
    if (slots.empty() && !(only && names.empty()))
        throw UsageError("show needs the slots to show (or hide), 'all', or --only alone to "
                         "hide every slot");
    Conf::Color colour;
    std::string why;
    if (!colourText.empty() && !Conf::ColorFromText(colourText, colour, why))
        throw UsageError("--colour " + colourText + ": " + why);
    if (only) {
        ctrl.SetShownSlots(slots);
    } else {
        for (int slot : slots)
            ctrl.SetSlotShown(slot, !hide);
    }
    if (!colourText.empty())
        for (int slot : slots)
            ctrl.SetSlotColour(slot, colour);
    const std::vector<int> shown = ctrl.ShownSlots();
    std::string text;
    for (int slot : shown)
        text += (text.empty() ? "" : ", ") + std::to_string(slot);
    std::printf("Shown: %s\n", shown.empty() ? "none" : text.c_str());
}

// ---- plot --------------------------------------------------------------------------------

struct PlotArguments {
    std::vector<std::string> slots;
    std::string graph = "response";
    std::string out;
    std::string size = "1600x900";
    double from = 20.0;
    double to = 20000.0;
    std::optional<double> dbMin;
    std::optional<double> dbMax;
    bool colourMap = false;
    bool shown = false;
};

// The waterfall's and the energy-time curve's settings, shared by export and plot.
struct ViewArguments {
    std::string preset = "speaker";
    std::vector<double> slices; // first, last, step in ms
    std::optional<double> sliceEnd, rise, smoothing, band;

    void AddTo(CLI::App* command) {
        command
            ->add_option("--preset", preset,
                         "Waterfall: slice settings for a speaker (0-3 ms, end 5, rise 0.1, "
                         "unsmoothed) or a room (0-300 ms in 10 ms steps, end 500, rise 5, 1/6 "
                         "octave); the options below change single settings")
            ->check(CLI::IsMember({"speaker", "room"}));
        command
            ->add_option("--slices", slices,
                         "Waterfall: FIRST,LAST,STEP start times in ms (default 0,3,0.1)")
            ->delimiter(',')
            ->expected(3);
        command->add_option("--slice-end", sliceEnd,
                            "Waterfall: where every slice ends, ms "
                            "(default 5)");
        command->add_option("--rise", rise,
                            "Waterfall: raised-cosine rise before each slice's start, ms "
                            "(default 0.1)");
        command->add_option("--smoothing", smoothing,
                            "Waterfall: 1/N-octave smoothing of every slice, 0 off (default 0)");
        command->add_option("--band", band,
                            "Energy-time curve: octave band midband in Hz (default broadband)");
    }
    ViewSettings Settings() const {
        ViewSettings v;
        v.waterfall = Kedra::Measure::WaterfallPresetSettings(
            preset == "room" ? Kedra::Measure::WaterfallPreset::Room
                             : Kedra::Measure::WaterfallPreset::Speaker);
        if (slices.size() == 3) {
            v.waterfall.firstMs = slices[0];
            v.waterfall.lastMs = slices[1];
            v.waterfall.stepMs = slices[2];
        }
        v.waterfall.endMs = sliceEnd.value_or(v.waterfall.endMs);
        v.waterfall.riseMs = rise.value_or(v.waterfall.riseMs);
        v.waterfall.smoothingNOct = smoothing.value_or(v.waterfall.smoothingNOct);
        v.etcBandHz = band.value_or(0.0);
        const auto& w = v.waterfall;
        if (!(w.stepMs > 0.0) || !(w.lastMs >= w.firstMs) || !(w.endMs > w.lastMs) ||
            w.firstMs < 0.0 || w.riseMs < 0.0 ||
            Kedra::Measure::WaterfallSliceCount(w) > Kedra::Measure::WATERFALL_MAX_SLICES)
            throw UsageError("--slices needs 0 <= FIRST <= LAST < --slice-end and a STEP above "
                             "0 (at most 1000 slices), and --rise 0 or more");
        if (!(w.smoothingNOct == 0.0 || (w.smoothingNOct >= 1.0 && w.smoothingNOct <= 96.0)))
            throw UsageError("--smoothing must be 0 (off) or N of 1/N octave, 1 to 96");
        if (v.etcBandHz < 0.0)
            throw UsageError("--band must be an octave band's midband in Hz");
        return v;
    }
};

#ifdef SONVEL_HAS_GUI
std::pair<int, int> ParseImageSize(const std::string& text) {
    const auto x = text.find('x');
    auto number = [&](std::size_t from, std::size_t to) {
        int v = 0;
        const auto [end, ec] = std::from_chars(text.data() + from, text.data() + to, v);
        return ec == std::errc() && end == text.data() + to && from < to ? v : 0;
    };
    const int width = x == std::string::npos ? 0 : number(0, x);
    const int height = x == std::string::npos ? 0 : number(x + 1, text.size());
    constexpr int largest = 10000;
    if (width < 1 || height < 1 || width > largest || height > largest) {
        std::string message = "--size must be WIDTHxHEIGHT, each 1 .. 10000 pixels (e.g. "
                              "1600x900), not '";
        message += text;
        message += "'";
        throw std::runtime_error(message);
    }
    return {width, height};
}

void Plot(MainCtrl& ctrl, const PlotArguments& a, const ViewSettings& view) {
    const auto [width, height] = ParseImageSize(a.size);
    if (a.shown && !a.slots.empty())
        throw UsageError("plot draws the slots named or, with --shown, the slots the list shows; "
                         "not both");
    std::vector<int> slots;
    for (const std::string& text : a.slots)
        slots.push_back(ParseSlot(ctrl, text));
    if (a.shown) {
        slots = ctrl.ShownSlots();
        if (slots.empty())
            throw std::runtime_error("the list shows no measurement: nothing to plot");
    } else if (a.slots.empty()) {
        for (int p = MainCtrl::PRESENTER_A; p <= MainCtrl::PRESENTER_C; ++p) {
            Measurement* m = ctrl.Presenter(p);
            if (m != nullptr && m->IsInitialized())
                slots.push_back(ctrl.PresenterSlot(p));
        }
    }
    if (slots.empty())
        throw std::runtime_error("presenters A, B and C hold no measurement: nothing to plot");

    // Each curve in its slot's colour, as the window draws it.
    Gui::PlotFileRequest request;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        Measurement& m = FilledSlot(ctrl, slots[i]);
        const Conf::Color c = ctrl.SlotColour(slots[i]);
        const std::string letter = PresenterLetter(ctrl, slots[i]);
        std::string label = letter.empty() ? std::to_string(slots[i]) : letter;
        label += ": ";
        label += m.GetLabel();
        request.curves.push_back({&m, static_cast<int>(i), c.R, c.G, c.B, label});
    }
    request.graph = a.graph;
    request.path = a.out;
    request.width = width;
    request.height = height;
    request.from = a.from;
    request.to = a.to;
    request.levelsGiven = a.dbMin.has_value() || a.dbMax.has_value();
    request.dbMin = a.dbMin.value_or(-60.0);
    request.dbMax = a.dbMax.value_or(10.0);
    request.waterfall = view.waterfall;
    request.etcBandHz = view.etcBandHz;
    request.colourMap = a.colourMap;
    std::string error;
    if (!Gui::RenderPlotFile(request, error))
        throw std::runtime_error("plot: " + error);
    std::printf("Wrote the %s graph of %zu measurement%s to %s\n", a.graph.c_str(),
                request.curves.size(), request.curves.size() == 1 ? "" : "s", a.out.c_str());
}
#else
void Plot(MainCtrl&, const PlotArguments&, const ViewSettings&) {
    throw std::runtime_error("this build of sonvel has no graphs (it was built without Qt), so "
                             "it cannot plot");
}
#endif

} // namespace

int RunCommandLine(int argc, char** argv) {
    CLI::App app{"Sonvel: acoustic impulse and frequency response measurement", "sonvel"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "sonvel " + Conf::Options::ProgramVersion());
    std::string userDir;
    bool yes = false;
    std::vector<std::string> sets;
    app.add_option("--user-dir", userDir, "User directory (options, autosaved measurements)");
    app.add_flag("--yes", yes, "Answer every question with OK/Yes");
    bool replace = false;
    app.add_flag(
        "--replace", replace,
        "With every slot filled, a new measurement or result replaces the one in its "
        "slot (without it: refused; with an empty slot the earlier one moves there); open replaces "
        "a list that holds measurements");
    app.add_option("--set", sets, "Change an option for this run and keep it: Section.Field=VALUE")
        ->take_all();

    // measure
    std::vector<std::string> measureWho;
    std::string sim, measureName;
    bool lockTimeZero = false;
    auto* measure = app.add_subcommand("measure", "Measure into presenter A, B or C");
    measure->add_option("presenter", measureWho, "A, B or C, one or more in order (default A)")
        ->check(CLI::IsMember({"A", "B", "C"}));
    measure->add_option("--sim", sim, "Use the simulated sound card: loopback|speaker|room|dead");
    measure->add_option("--name", measureName, "Label of the new measurements");
    measure->add_flag("--lock-time-zero", lockTimeZero,
                      "Measure the second and later presenters with the first one's time zero");
    std::string inputsText;
    int referenceInput = 0;
    measure->add_option("--inputs", inputsText,
                        "Inputs recorded together in one sweep, counted from 1: 1,2,3 (the "
                        "first into the presenter, the others into empty slots)");
    measure->add_option("--reference-input", referenceInput,
                        "The input, counted from 1, that carries the output back (a loopback): "
                        "the time zero of every input, so their delays are the acoustic ones");

    auto* list = app.add_subcommand("list", "One line per filled slot");
    std::vector<std::string> showSlots;
    bool showOnly = false, showHide = false;
    std::string showColour;
    auto* showCmd = app.add_subcommand(
        "show", "Which slots the graphs draw (what plot --shown draws) and in which colour");
    showCmd->add_option("slots", showSlots, "A, B, C or slot numbers; all: every filled slot");
    showCmd->add_flag("--only", showOnly, "Show these and hide every other slot");
    showCmd->add_flag("--hide", showHide, "Hide these instead");
    showCmd->add_option("--colour", showColour,
                        "Draw these in this colour: #RRGGBB or R, G, B (palette: the slot's own)");
    std::string slotText;
    auto* info = app.add_subcommand("info", "The info text of a measurement");
    info->add_option("slot", slotText, "A, B, C or a slot number")->required();

    std::string file;
    bool append = false, wave = false;
    auto* open = app.add_subcommand("open", "Open a measurement package");
    open->add_option("file", file)->required();
    open->add_flag("--append", append, "Append to the filled slots");
    open->add_flag("--replace", replace, "Replace a list that holds measurements");
    auto* save = app.add_subcommand("save", "Save the measurements as a package");
    save->add_option("file", file)->required();
    save->add_flag("--wave", wave, "Wave data files instead of FLAC");
    auto* clear = app.add_subcommand("clear", "Empty every slot");
    auto* rearrange = app.add_subcommand("rearrange", "Move filled slots to the front");

    std::string opName;
    auto* op = app.add_subcommand("op", "C = A op B");
    op->add_option("operation", opName)
        ->required()
        ->check(CLI::IsMember({"add", "sub", "mul", "div"}));
    auto* invert = app.add_subcommand("invert", "B = 1/A");
    double fc = 1000.0, bw = 200.0;
    bool matchTime = false;
    auto* match = app.add_subcommand("match", "Match A's level (and time) to B in a band");
    match->add_option("--fc", fc, "Band centre in Hz (default 1000)");
    match->add_option("--bw", bw, "Band width in Hz (default 200)");
    match->add_flag("--time", matchTime, "Match the time too");
    auto* stitch = app.add_subcommand("stitch", "C = A (low) stitched to B (high)");
    stitch->add_option("--fc", fc, "Crossover centre in Hz")->required();
    stitch->add_option("--bw", bw, "Crossover width in Hz")->required();
    stitch->add_flag("--time", matchTime, "Match the time too");
    bool causal = false;
    auto* minphase = app.add_subcommand("minphase", "Replace a slot's phase by its minimum phase");
    minphase->add_option("slot", slotText)->required();
    minphase->add_flag("--causal", causal, "Cut the impulse to time zero and later");
    double from = 20.0, to = 500.0;
    auto* qbox = app.add_subcommand("qbox", "Fit a closed box to A, the model into C");
    qbox->add_option("--from", from, "Lower frequency in Hz")->required();
    qbox->add_option("--to", to, "Upper frequency in Hz")->required();

    bool csv = false;
    auto* acoustics = app.add_subcommand(
        "acoustics", "Room acoustic parameters per octave band and broadband, from the whole "
                     "impulse");
    acoustics->add_option("slot", slotText, "A, B, C or a slot number")->required();
    acoustics->add_flag("--csv", csv, "Comma-separated values instead of the table");
    bool verbose = false;
    acoustics->add_flag("--verbose", verbose,
                        "Say why a value is left out or only a bound (with --csv: on stderr)");
    std::vector<std::string> averageSlots;
    std::string averageInto, averageMode = "power";
    bool align = false;
    auto* average = app.add_subcommand("average", "The average of measurements into a slot");
    average->add_option("slots", averageSlots, "Two or more slots (A, B, C or numbers)")
        ->required()
        ->expected(2, 1 << 10);
    average->add_option("--into", averageInto, "The slot for the result")->required();
    average->add_option("--mode", averageMode, "power (default), vector or db")
        ->check(CLI::IsMember({"power", "vector", "db"}));
    average->add_flag("--align", align, "Vector mode: each taken from its own time zero");

    std::optional<int> windowStart, windowEnd;
    bool on = false, off = false, complexSmoothing = false;
    auto* window = app.add_subcommand("window", "The impulse window of a slot");
    window->add_option("slot", slotText)->required();
    window->add_option("--start", windowStart, "Start in samples");
    window->add_option("--end", windowEnd, "End in samples");
    window->add_flag("--on", on);
    window->add_flag("--off", off);
    double octave = 3.0;
    auto* smooth = app.add_subcommand("smooth", "The smoothing of a slot");
    smooth->add_option("slot", slotText)->required();
    smooth->add_option("--oct", octave, "1/N octave")->required();
    smooth->add_flag("--complex", complexSmoothing, "Complex smoothing instead of magnitude");
    smooth->add_flag("--on", on);
    smooth->add_flag("--off", off);
    std::vector<double> lowpass, highpass;
    auto* filter = app.add_subcommand("filter", "The low-pass and high-pass view of a slot");
    filter->add_option("slot", slotText)->required();
    filter->add_option("--lowpass", lowpass, "HZ,WIDTH (0 switches it off)")
        ->delimiter(',')
        ->expected(1, 2);
    filter->add_option("--highpass", highpass, "HZ,WIDTH (0 switches it off)")
        ->delimiter(',')
        ->expected(1, 2);

    std::string calWhat, calArg;
    auto* cal = app.add_subcommand(
        "cal", "Calibrations: mic FILE, dacadc FILE, on|off mic|dacadc, loopback, abc (the "
               "microphone's from the slots and windows of the MakeMicCal options), spl (the "
               "sound pressure level reference of the input)");
    cal->add_option("what", calWhat)
        ->required()
        ->check(CLI::IsMember({"mic", "dacadc", "on", "off", "loopback", "abc", "spl"}));
    cal->add_option("argument", calArg);
    cal->add_option("--sim", sim, "Measure on the simulated sound card");
    int calInput = 0;
    cal->add_option("--input", calInput,
                    "mic: the input, counted from 1, whose microphone this calibrates; measuring "
                    "several inputs (measure --inputs) uses it for that input");
    SplArguments splArgs;
    cal->add_option("--level", splArgs.level,
                    "spl: the calibrator's level in dB SPL (94, 104, 114 or any), or with --play "
                    "the level an external meter shows");
    cal->add_option("--seconds", splArgs.seconds, "spl: how long to record (default 3)");
    cal->add_option("--frequency", splArgs.frequency,
                    "spl: the calibrator's frequency in Hz (default 1000; refused beyond 5 %), or "
                    "that of the own tone");
    cal->add_option("--play", splArgs.play,
                    "spl without a calibrator: tone plays a 1 kHz sine (or --frequency), noise "
                    "pink noise in the octave 707 Hz - 1.4 kHz, at Dev.OutputPCMAmplitude on the "
                    "measuring outputs, while the input is read; --level is what an external "
                    "meter at the microphone shows for it (without --level it only plays and "
                    "reads, for reading the meter). Without --play nothing plays")
        ->check(CLI::IsMember({"tone", "noise"}));
    cal->add_flag("--show", splArgs.show, "spl: print the stored references");
    cal->add_flag("--clear", splArgs.clear, "spl: remove the reference of the current input");

    auto* signal = app.add_subcommand("signal", "Write the current test signal as a wave file");
    signal->add_option("file", file)->required();

    std::string recording, reference, analyzeSlot = "A";
    auto* analyze = app.add_subcommand("analyze", "Measure from a recorded wave file");
    analyze->add_option("recording", recording)->required();
    analyze->add_option("--slot", analyzeSlot, "A, B or C (default A)");
    analyze->add_option("--reference", reference, "The played signal as a wave file");

    std::string exportKind = "response";
    std::optional<int> exportMode;
    std::optional<double> exportFrom, exportTo, exportStep;
    bool radians = false, noPhase = false, noHeader = false, oneLine = false, sampleNumbers = false;
    auto* exportCmd = app.add_subcommand("export", "Export a measurement to a file");
    exportCmd->add_option("slot", slotText)->required();
    exportCmd->add_option("file", file)->required();
    exportCmd
        ->add_option("--kind", exportKind,
                     "response|impulse|wave|cal|distortion|groupdelay|etc|waterfall|decay")
        ->check(CLI::IsMember({"response", "impulse", "wave", "cal", "distortion", "groupdelay",
                               "etc", "waterfall", "decay"}));
    exportCmd
        ->add_option("--mode", exportMode,
                     "0 every bin, 1 changed bins, 2 linear steps, 3 per decade")
        ->check(CLI::Range(0, 3));
    exportCmd->add_option("--from", exportFrom, "Lowest frequency in Hz");
    exportCmd->add_option("--to", exportTo, "Highest frequency in Hz");
    exportCmd->add_option("--step", exportStep, "Step in Hz (mode 2)");
    exportCmd->add_flag("--radians", radians, "Phase in radians");
    exportCmd->add_flag("--no-phase", noPhase, "No phase column");
    exportCmd->add_flag("--no-header", noHeader, "No header lines");
    exportCmd->add_flag("--one-line", oneLine,
                        "Response: one line of (Freq, dB, phase) groups for circuit simulators");
    exportCmd->add_flag("--sample-numbers", sampleNumbers,
                        "Impulse: a sample-number column in front");
    ViewArguments viewArgs;
    viewArgs.AddTo(exportCmd);

    std::optional<int> importSlot;
    std::string importKind = "response";
    std::optional<double> importRate;
    bool importPhase = false;
    auto* importCmd = app.add_subcommand("import", "Import a response or an impulse");
    importCmd->add_option("file", file)->required();
    importCmd->add_option("--slot", importSlot, "Slot number (default the first empty one)");
    importCmd
        ->add_option("--kind", importKind,
                     "response|impulse (wave, FLAC and AIFF files are impulses)")
        ->check(CLI::IsMember({"response", "impulse"}));
    importCmd->add_option("--rate", importRate, "Sample rate in Hz");
    importCmd->add_flag("--phase", importPhase, "Read the phase column");

    auto* devices = app.add_subcommand("devices", "The device report");
    double seconds = 5.0;
    auto* meter = app.add_subcommand("meter", "Live input levels");
    meter->add_option("--seconds", seconds, "How long (default 5)");
    meter->add_option("--sim", sim, "Use the simulated sound card");

    SplCommandArguments splMeterArgs;
    auto* splMeter = AddSplCommand(app, splMeterArgs);
    TfCommandArguments tfArgs;
    auto* tf = AddTfCommand(app, tfArgs);
    EqCommandArguments eqArgs;
    auto* eq = AddEqCommand(app, eqArgs);
    ServeCommandArguments serveArgs;
    auto* serve = AddServeCommand(app, serveArgs);

    bool show = false, reset = false;
    std::string loadFile, saveFile;
    auto* options = app.add_subcommand("options", "Show, reset, load or save the options");
    options->add_flag("--show", show);
    options->add_flag("--reset", reset);
    options->add_option("--load", loadFile);
    options->add_option("--save", saveFile);

    PlotArguments plotArgs;
    auto* plot = app.add_subcommand("plot", "Draw a graph of measurements into a PNG, SVG or PDF "
                                            "file");
    plot->add_option("slot", plotArgs.slots,
                     "A, B, C or slot numbers (default the filled presenters A, B, C)");
    plot->add_option("--graph", plotArgs.graph,
                     "response|phase|impulse|distortion|groupdelay|etc|waterfall|decay (default "
                     "response; distortion, waterfall and decay of the first slot)")
        ->check(CLI::IsMember({"response", "phase", "impulse", "distortion", "groupdelay", "etc",
                               "waterfall", "decay"}));
    plot->add_option("--out", plotArgs.out, "Image file: .png, .svg or .pdf")->required();
    plot->add_option("--size", plotArgs.size, "WIDTHxHEIGHT in pixels (default 1600x900)");
    plot->add_option("--from", plotArgs.from, "Lowest frequency in Hz (default 20)");
    plot->add_option("--to", plotArgs.to, "Highest frequency in Hz (default 20000)");
    plot->add_option("--db-min", plotArgs.dbMin, "Lowest level in dB (default -60)");
    plot->add_option("--db-max", plotArgs.dbMax, "Highest level in dB (default 10)");
    plot->add_flag("--colour-map", plotArgs.colourMap, "Waterfall as a colour map, not lines");
    plot->add_flag("--shown", plotArgs.shown,
                   "Draw the slots the list shows (instead of naming slots)");
    viewArgs.AddTo(plot);

    RtaArguments rtaArgs;
    auto* rta = app.add_subcommand(
        "rta", "Band or narrowband levels of a wave file, or of the input for some seconds");
    rta->add_option("file", rtaArgs.file,
                    "Wave, FLAC or AIFF file (its first channel); without it the input is read");
    rta->add_option("--sim", rtaArgs.sim,
                    "Listen on the simulated sound card: loopback|speaker|room|dead");
    rta->add_option("--seconds", rtaArgs.seconds,
                    "How much to read (default: the whole file, or 5 s live)");
    rta->add_option("--weighting", rtaArgs.weighting,
                    "Frequency weighting A, C or Z before the analysis (default Z)");
    rta->add_option("--bands", rtaArgs.bands,
                    "Bands per octave: 1 or 3 (filter bank, default 3), 6, 12, 24 or 48 (from an "
                    "FFT of 65536)");
    rta->add_option("--fft", rtaArgs.fft,
                    "One row per bin of an FFT of N samples (a power of two, 1024 to 65536)");
    rta->add_option("--average", rtaArgs.average,
                    "The FFT's average: fifo:N (last N frames), exp:SECONDS or inf (default)");
    rta->add_option("--csv", rtaArgs.csv, "Write frequency_hz,leq_db,max_db to this file");

    auto* demo = app.add_subcommand("demo", "The self-checking deconvolution demo");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (demo->parsed())
        return RunDeconvolutionDemo();

    const fs::path user = userDir.empty() ? Conf::UserDirectory() : fs::path(userDir);
    // What these change lives only in the autosave: refused before any work is done when the
    // autosave cannot be written.
    bool changesList = true;
    for (const CLI::App* readOnly :
         {list, info, acoustics, exportCmd, devices, meter, rta, plot, signal, save, splMeter})
        changesList = changesList && !readOnly->parsed();
    if (options->parsed())
        changesList = reset || !loadFile.empty();
    const std::string unwritable = Conf::WriteProblem(user);
    if (changesList && !unwritable.empty()) {
        std::fprintf(stderr,
                     "sonvel: error: the user directory %s cannot be written (%s): give "
                     "--user-dir a writable directory\n",
                     user.string().c_str(), unwritable.c_str());
        return 1;
    }
    Conf::SetUserDirectory(user);
    Kedra::Logging::KedraLogger::Initialize(
        (user / Kedra::Logging::KedraLogger::DEFAULT_FILE_NAME).string());
    for (int i = 0; i < argc; ++i)
        Kedra::Logging::KedraLogger::LogText("INFO    Sonvel::main args[" + std::to_string(i) +
                                             "] = " + argv[i] + "\n");

    if (serve->parsed())
        return RunServeCommand(serveArgs, user, yes, replace, [&](MainCtrl& ctrl) {
            for (const std::string& s : sets)
                SetOption(s);
            if (!sets.empty())
                ctrl.ApplyOptions();
        });

    ConsoleFrontEnd front(yes);
    MainCtrl ctrl(front);
    // --yes answers questions; replacing a measurement that cannot be kept takes --replace.
    ctrl.SetReplacePolicy(replace ? ReplacePolicy::Replace : ReplacePolicy::Refuse,
                          ", or give --replace to replace it");
    int status = 0;
    try {
        ctrl.StartUp("");
        for (const std::string& s : sets)
            SetOption(s);
        if (!sets.empty())
            ctrl.ApplyOptions();

        if (measure->parsed()) {
            if (measureWho.empty())
                measureWho.push_back("A");
            if (lockTimeZero && measureWho.size() < 2)
                throw UsageError("--lock-time-zero needs two or more presenters: the first one "
                                 "finds the time zero, the others are measured with it");
            ChooseDevices(ctrl, sim);
            InputsForRun inputs(ctrl, inputsText, measure->count("--reference-input") > 0,
                                referenceInput);
            for (const std::string& who : measureWho) {
                const int presenter = who[0] - 'A';
                if (!ctrl.Action_MeasStart(presenter))
                    throw AlreadyTold{};
                front.EndProgressLine();
                Measurement* m = ctrl.Presenter(presenter);
                if (!measureName.empty())
                    m->SetLabel(measureName);
                // Each input's record says which input it is, also under its new name.
                for (const auto& [input, slot] : ctrl.PlacedInputs())
                    if (!measureName.empty())
                        ctrl.List().No(slot)->SetLabel(InputLabel(measureName, input));
                // This presenter's own input: the audio helper's last values are the last
                // input's when several were recorded.
                const AmplitudeVerdict v = JudgeAmplitude(m->GetRecMaxAmplitude());
                std::printf("Measured %s into slot %d: %s, recording peak %s dB (%s), time offset "
                            "%s samples%s\n",
                            who.c_str(), ctrl.PresenterSlot(presenter), m->GetLabel().c_str(),
                            Kedra::Text::FormatFixed(v.db, 2).c_str(),
                            Kedra::Text::FormatFixed(v.amplitude, 3).c_str(),
                            Kedra::Text::FormatFixed(m->GetCurrentOffset(), 3).c_str(),
                            ctrl.Audio().TimeZeroLocked() ? " (locked)" : "");
                inputs.Print(ctrl);
                if (lockTimeZero && !ctrl.Audio().TimeZeroLocked() && !ctrl.SetTimeZeroLock(true))
                    throw AlreadyTold{};
            }
        } else if (list->parsed()) {
            for (int i = 0; i < ctrl.List().GetSize(); ++i) {
                Measurement* m = ctrl.List().No(i);
                if (m == nullptr || !m->IsInitialized())
                    continue;
                const std::string letter = PresenterLetter(ctrl, i);
                std::printf("%3d %-3s %-30s %6d Hz  N=%-8d %-8s %s%s%s\n", i, letter.c_str(),
                            m->GetLabel().c_str(), m->GetSamplerate(), m->GetN(),
                            Kedra::Measure::SignalTypeToString(m->GetSignalType()).c_str(),
                            m->GetRecDate().c_str(), m->HasSpl() ? "  dB SPL" : "",
                            ctrl.SlotShown(i) ? "  shown" : "");
            }
        } else if (showCmd->parsed()) {
            ShowSlots(ctrl, showSlots, showOnly, showHide, showColour);
        } else if (info->parsed()) {
            Measurement& m = FilledSlot(ctrl, ParseSlot(ctrl, slotText));
            std::printf("%s", Kedra::Measure::MeasurementFile::GetInfo(m).c_str());
            if (m.HasSpl())
                std::printf("Levels in dB SPL (%s dB added to the level re full scale; "
                            "reference %s)\n",
                            Kedra::Text::FormatFixed(m.GetSplOffset(), 2).c_str(),
                            m.GetSplReference().c_str());
            else
                std::printf("Levels in dB re full scale (no SPL reference)\n");
        } else if (open->parsed()) {
            // The window asks first; here the measurements only the autosave holds would be
            // gone without a word.
            int filled = 0;
            for (int i = 0; i < ctrl.List().GetSize(); ++i)
                filled += ctrl.List().IsFilled(i) ? 1 : 0;
            if (!append && !replace && filled > 0) {
                front.ShowMessage(MessageKind::Warning, "Sonvel Warning",
                                  "The list holds " + std::to_string(filled) +
                                      (filled == 1 ? " measurement" : " measurements") +
                                      " that opening " + file +
                                      " would replace; nothing was opened. Give --replace to "
                                      "replace them, use open --append to add to them, or save "
                                      "them first (sonvel save FILE).");
                throw AlreadyTold{};
            }
            if (!(append ? ctrl.Action_OpenAppendFile(file) : ctrl.Action_OpenFile(file)))
                status = 1;
        } else if (save->parsed()) {
            if (!ctrl.Action_SaveFile(file, wave))
                status = 1;
            else
                std::printf("Saved the list to %s\n", file.c_str());
        } else if (clear->parsed()) {
            ctrl.Action_ClearMeasurements();
        } else if (rearrange->parsed()) {
            ctrl.Action_Rearange();
        } else if (op->parsed()) {
            const std::string symbol = opName == "add"   ? "+"
                                       : opName == "sub" ? "-"
                                       : opName == "mul" ? "*"
                                                         : "/";
            if (!ctrl.Action_MeasOperationABC(symbol))
                throw AlreadyTold{};
        } else if (invert->parsed()) {
            if (!ctrl.Action_MeasOperationAB())
                throw AlreadyTold{};
        } else if (match->parsed()) {
            const Measurement* a = ctrl.Presenter(MainCtrl::PRESENTER_A);
            const double before = a != nullptr ? a->GetAmplitude() : 1.0;
            if (!ctrl.Action_MatchAToB(fc, bw, matchTime))
                throw AlreadyTold{};
            std::printf(
                "Matched A to B: A's level changed by %s dB\n",
                Kedra::Text::FormatFixed(Kedra::Math::AmplitudeToDB(a->GetAmplitude() / before), 2)
                    .c_str());
        } else if (stitch->parsed()) {
            if (!ctrl.Action_AbcStitch(fc, bw, matchTime))
                status = 1;
        } else if (minphase->parsed()) {
            if (!ctrl.Action_MinimumPhase(ParseSlot(ctrl, slotText), causal))
                throw AlreadyTold{};
        } else if (acoustics->parsed()) {
            PrintAcoustics(FilledSlot(ctrl, ParseSlot(ctrl, slotText)), csv, verbose);
        } else if (average->parsed()) {
            std::vector<int> slots;
            for (const std::string& text : averageSlots)
                slots.push_back(ParseSlot(ctrl, text));
            const auto mode = averageMode == "vector" ? Kedra::Measure::AverageMode::Vector
                              : averageMode == "db"   ? Kedra::Measure::AverageMode::Db
                                                      : Kedra::Measure::AverageMode::Power;
            if (!ctrl.Action_Average(slots, ParseSlot(ctrl, averageInto), mode, align))
                throw AlreadyTold{};
            std::printf("Averaged %zu measurements into slot %d\n", slots.size(),
                        ParseSlot(ctrl, averageInto));
        } else if (qbox->parsed()) {
            if (!(from > 0.0 && to > from))
                throw UsageError("qbox needs 0 < --from < --to");
            if (!ctrl.Action_QBox(from, to))
                throw AlreadyTold{};
            std::printf("Qtc = %s  Fb = %s Hz  gain = %s\n",
                        Kedra::Text::FormatFixed(ctrl.LastQ(), 3).c_str(),
                        Kedra::Text::FormatFixed(ctrl.LastFc(), 1).c_str(),
                        Kedra::Text::FormatFixed(ctrl.LastGain(), 4).c_str());
        } else if (window->parsed()) {
            Measurement& m = FilledSlot(ctrl, ParseSlot(ctrl, slotText));
            if (windowStart)
                m.SetImpulseWindowStart(*windowStart, true);
            if (windowEnd)
                m.SetImpulseWindowEnd(*windowEnd);
            if (on || off)
                m.SetImpulseWindowEnabled(on);
            std::printf("window %d .. %d %s\n", m.GetImpulseWindowStart(), m.GetImpulseWindowEnd(),
                        m.GetImpulseWindowEnabled() ? "on" : "off");
        } else if (smooth->parsed()) {
            Measurement& m = FilledSlot(ctrl, ParseSlot(ctrl, slotText));
            if (!(octave > 0.0))
                throw UsageError("--oct must be above 0");
            m.SetSmoothNOct(octave);
            m.SetSmoothingComplex(complexSmoothing);
            m.SetSmoothingEnabled(!off);
        } else if (filter->parsed()) {
            Measurement& m = FilledSlot(ctrl, ParseSlot(ctrl, slotText));
            if (!lowpass.empty()) {
                m.SetLowpassEnabled(lowpass[0] > 0.0);
                if (lowpass[0] > 0.0)
                    m.SetLowpass(lowpass[0], lowpass.size() > 1 ? lowpass[1] : lowpass[0] / 2);
            }
            if (!highpass.empty()) {
                m.SetHighpassEnabled(highpass[0] > 0.0);
                if (highpass[0] > 0.0)
                    m.SetHighpass(highpass[0], highpass.size() > 1 ? highpass[1] : highpass[0] / 2);
            }
        } else if (cal->parsed()) {
            if (calWhat == "mic" || calWhat == "dacadc") {
                if (calArg.empty())
                    throw UsageError("cal " + calWhat + " needs a calibration file");
                if (calInput != 0 && (calWhat != "mic" || calInput < 1))
                    throw UsageError("--input takes the input, counted from 1, of a microphone "
                                     "calibration (cal mic FILE --input N)");
                const bool ok =
                    calWhat == "mic"
                        ? (calInput > 0 ? ctrl.Audio().ImportMicCalibration(calArg, calInput - 1)
                                        : ctrl.Audio().ImportMicCalibration(calArg))
                        : ctrl.Audio().ImportDacAdcCalibration(calArg);
                status = ok ? 0 : 1;
            } else if (calWhat == "on" || calWhat == "off") {
                if (calArg != "mic" && calArg != "dacadc")
                    throw UsageError("cal on|off takes mic or dacadc");
                const bool wanted = calWhat == "on";
                const bool ok = calArg == "mic" ? ctrl.Audio().SetMicCalibration(wanted)
                                                : ctrl.Audio().SetDacAdcCalibration(wanted);
                if (!ok)
                    throw std::runtime_error("no saved " + calArg + " calibration to switch on");
            } else if (calWhat == "abc") {
                if (!ctrl.Action_AbcCalib())
                    status = 1;
            } else if (calWhat == "spl") {
                status = SplCommand(ctrl, splArgs, sim);
            } else {
                ChooseDevices(ctrl, sim);
                if (!ctrl.Action_CalDacAdcMake())
                    status = 1;
            }
        } else if (signal->parsed()) {
            std::vector<float> samples;
            ctrl.Audio().RenderSignal(samples);
            const auto format =
                Kedra::WaveImExport::NumberToWaveFormat(Conf::Options::Field.Misc.WaveFormat);
            if (Kedra::WaveImExport::ArrayWaveExport(
                    samples.data(), static_cast<int>(samples.size()), ctrl.Audio().SampleRate(),
                    file, format, "Sonvel test signal", false) <= 0)
                throw std::runtime_error("could not write " + file);
            std::printf("Wrote %zu samples at %d Hz to %s\n", samples.size(),
                        ctrl.Audio().SampleRate(), file.c_str());
        } else if (analyze->parsed()) {
            const int slot = ParseSlot(ctrl, analyzeSlot);
            if (!ctrl.Action_AnalyzeFile(slot, recording, reference))
                status = 1;
        } else if (exportCmd->parsed()) {
            if (oneLine && exportKind != "response")
                throw UsageError("--one-line is a format of --kind response");
            if (sampleNumbers && exportKind != "impulse")
                throw UsageError("--sample-numbers is a column of --kind impulse");
            if (exportFrom && exportTo && !(*exportFrom < *exportTo))
                throw UsageError("--from must lie below --to");
            Measurement& m = FilledSlot(ctrl, ParseSlot(ctrl, slotText));
            bool ok = false;
            if (exportKind == "response" || exportKind == "impulse") {
                Kedra::Measure::MeasurementExporter ex = ctrl.ConfiguredExporter();
                ex.exportPhase = ex.exportPhase && !noPhase;
                if (radians)
                    ex.phaseMode = 1;
                ex.includeHeader = ex.includeHeader && !noHeader;
                if (exportMode)
                    ex.exportMode = *exportMode;
                if (exportStep)
                    ex.linearStepHz = *exportStep;
                ex.format = oneLine ? 1 : 0;
                ex.sampleNumbers = sampleNumbers;
                if (exportKind == "impulse")
                    ok = ex.ExportImpulse(m, file, -m.GetNHalf(), m.GetNHalf() - 1);
                else if (exportFrom || exportTo)
                    ok = ex.Export(m, file, exportFrom ? *exportFrom : 0.0,
                                   exportTo ? *exportTo : m.GetSamplerate() / 2.0);
                else
                    ok = ex.Export(m, file);
            } else if (exportKind == "wave") {
                ok = Kedra::WaveImExport::ImpulseWaveExport(
                    m, file, -m.GetNHalf(), m.GetNHalf() - 1, true,
                    Kedra::WaveImExport::NumberToWaveFormat(Conf::Options::Field.Misc.WaveFormat));
            } else if (exportKind == "cal") {
                ExportChoices range;
                range.fromHz = exportFrom ? *exportFrom : 0.0;
                range.toHz = exportTo ? *exportTo : 0.0;
                if (!ctrl.Action_Export(ParseSlot(ctrl, slotText), "cal", file, {}, range))
                    throw AlreadyTold{};
                ok = true;
            } else if (!ctrl.Action_Export(ParseSlot(ctrl, slotText), exportKind, file,
                                           viewArgs.Settings())) {
                throw AlreadyTold{};
            } else {
                ok = true;
            }
            if (!ok)
                throw std::runtime_error("could not export to " + file + " (see the log file)");
            std::printf("Exported %s of slot %s to %s\n", exportKind.c_str(), slotText.c_str(),
                        file.c_str());
        } else if (importCmd->parsed()) {
            int slot = importSlot ? *importSlot : -1;
            if (!importSlot) {
                for (int i = 0; i < ctrl.List().GetSize() && slot < 0; ++i)
                    if (!ctrl.List().No(i)->IsInitialized())
                        slot = i;
                if (slot < 0)
                    throw std::runtime_error("every slot is filled; name one with --slot");
            } else if (slot < 0 || slot >= ctrl.List().GetSize()) {
                throw UsageError("--slot must lie in 0 .. " +
                                 std::to_string(ctrl.List().GetSize() - 1));
            }
            const int rate =
                importRate ? static_cast<int>(std::lround(*importRate)) : ctrl.Audio().SampleRate();
            // The controller has said why.
            if (!ctrl.Action_Import(slot, file, importKind == "impulse", rate, importPhase))
                throw AlreadyTold{};
            std::printf("Imported %s into slot %d\n", file.c_str(), slot);
        } else if (devices->parsed()) {
            Kedra::PAudioII::ShowDeviceInfo(std::cout);
        } else if (splMeter->parsed()) {
            status =
                RunSplCommand(ctrl, splMeterArgs, [&] { ChooseDevices(ctrl, splMeterArgs.sim); });
        } else if (tf->parsed()) {
            status = RunTfCommand(
                ctrl, tfArgs, [&](const std::string& text) { return ParseSlot(ctrl, text); },
                [&] { ChooseDevices(ctrl, tfArgs.sim); });
        } else if (eq->parsed()) {
            status = RunEqCommand(ctrl, eqArgs,
                                  [&](const std::string& text) { return ParseSlot(ctrl, text); });
        } else if (meter->parsed()) {
            ChooseDevices(ctrl, sim);
            if (!ctrl.Audio().ApplyDevices(Conf::Options::Field))
                throw std::runtime_error("the level meter has no devices to listen to");
            auto* stream = Kedra::PAudioII::StreamInitializer::Get();
            Kedra::PAudioII::VUMeterInBuffer vu(stream, 0.1f, 1.0f);
            stream->Start();
            if (stream->GetStatus() != Kedra::PAudioII::STREAM_RUNNING)
                throw std::runtime_error("the audio stream did not start: " +
                                         stream->GetPaErrorText());
            const auto until =
                std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
            Kedra::PAudioII::VUMeterInBuffer::Levels levels;
            // A terminal shows one line that updates; a pipe or file gets a line per reading.
            const bool terminal = ::isatty(::fileno(stdout)) != 0;
            while (std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                vu.ReadLevels(levels);
                std::string line = terminal ? "\r" : "";
                for (int c = 0; c < levels.channels; ++c)
                    line += "ch" + std::to_string(c) + " " +
                            Kedra::Text::FormatFixed(
                                std::max(levels.current[static_cast<std::size_t>(c)], -120.0f), 1) +
                            " dB  ";
                std::fputs((terminal ? line : line + "\n").c_str(), stdout);
                std::fflush(stdout);
            }
            if (terminal)
                std::fputc('\n', stdout);
            stream->Stop();
        } else if (rta->parsed()) {
            status = RtaCommand(ctrl, rtaArgs);
        } else if (plot->parsed()) {
            Plot(ctrl, plotArgs, viewArgs.Settings());
        } else if (options->parsed()) {
            if (reset)
                ctrl.Action_OptionsReset();
            if (!loadFile.empty() && !ctrl.Action_OptionsLoad(loadFile))
                status = 1;
            if (!saveFile.empty() && !ctrl.Action_OptionsSave(saveFile))
                status = 1;
            if (show)
                std::printf("%s", Conf::Options::SaveText().c_str());
        }
        front.EndProgressLine();
        // What start-up could not open was named already; the run did not see all the data.
        if (!ctrl.StartUpComplete())
            status = 1;
        if (!ctrl.ShutDown()) {
            // What this command changed and could not keep is no success.
            if (changesList && !ctrl.ListAutosaved()) {
                front.ShowMessage(MessageKind::Error, "",
                                  "autosave failed: " + ctrl.AutosaveProblem() +
                                      "; what this command did is lost");
                status = 1;
            } else {
                front.ShowMessage(MessageKind::Warning, "",
                                  "autosave failed: " + ctrl.AutosaveProblem());
            }
        }
    } catch (const AlreadyTold&) {
        front.EndProgressLine();
        ctrl.ShutDown();
        return 1;
    } catch (const UsageError& e) {
        front.EndProgressLine();
        std::fprintf(stderr, "sonvel: %s\n", e.what());
        ctrl.ShutDown();
        return 2;
    } catch (const std::exception& e) {
        front.EndProgressLine();
        Kedra::Logging::KedraLogger::LogText(
            std::string("WARNING Sonvel::main - Top Level Exception:\n") + e.what() + "\n");
        std::fprintf(stderr, "sonvel: error: %s\n", e.what());
        ctrl.ShutDown();
        return 1;
    }
    return status;
}

} // namespace Kedra::Sonvel
