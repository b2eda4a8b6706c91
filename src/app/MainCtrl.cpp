#include "app/MainCtrl.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "analyze/MeasurementViews.h"
#include "app/Options.h"
#include "audio/Devices.h"
#include "audio/StreamInitializer.h"
#include "exchange/ImpulseImporter.h"
#include "exchange/MeasurementImporter.h"
#include "exchange/TextFile.h"
#include "exchange/WaveFile.h"
#include "filter/CleanUp.h"
#include "filter/MeasurementOperations.h"
#include "filter/QBox.h"
#include "filter/QBoxFit.h"
#include "foundation/Fft.h"
#include "foundation/KedraLogger.h"
#include "foundation/MathHelpers.h"
#include "foundation/Mem.h"
#include "measure/HarmonicDistortion.h"

namespace Kedra::Sonvel {

using Kedra::Logging::KedraLogger;
using Kedra::Measure::Measurement;
using Kedra::PAudioII::StreamInitializer;
namespace fs = std::filesystem;

namespace {

void Splash(const std::string& text) {
    KedraLogger::LogText("INFO    MainCtrl::SetSplashScreenStatusString(" + text + ")\n");
}

const char* PRESENTER_NAMES[] = {"A", "B", "C"};

// Samples of sound travel over `cm` centimetres at 343 m/s.
int CentimetresToSamples(double cm, int fs) {
    return std::max(1, Kedra::Math::ToIntRound(cm / 100.0 / 343.0 * fs));
}

// An action that cannot run says why, once, and does nothing.
bool Refuse(FrontEnd& frontEnd, const std::string& why) {
    KedraLogger::LogText("INFO    MainCtrl refused: " + why + "\n");
    frontEnd.ShowMessage(MessageKind::Warning, "Sonvel Warning", why);
    return false;
}

void WindowAt(Measurement& m, int end) {
    m.SetImpulseWindowStart(-std::max(1, end / 10), true);
    m.SetImpulseWindowEnd(end);
    m.SetImpulseWindowEnabled(true);
}

} // namespace

MainCtrl::MainCtrl(FrontEnd& frontEnd)
    : frontEnd_(frontEnd), list_(std::make_unique<Kedra::Measure::MeasurementList>(SLOT_COUNT)),
      audio_(std::make_unique<AudioHelper>(frontEnd)) {
    Conf::Options::SetFrontEnd(&frontEnd_);
}

MainCtrl::~MainCtrl() {
    audio_.reset();
    list_.reset();
    Conf::Options::SetFrontEnd(nullptr);
    Kedra::Filter::CleanUp();
    Kedra::PAudioII::CleanUp();
}

int MainCtrl::PresenterSlot(int presenter) const {
    const Conf::MiscOptions& misc = Conf::Options::Field.Misc;
    switch (presenter) {
    case PRESENTER_A:
        return misc.ASlotNr;
    case PRESENTER_B:
        return misc.BSlotNr;
    case PRESENTER_C:
        return misc.CSlotNr;
    default:
        return -1;
    }
}

Measurement* MainCtrl::Slot(int slot) {
    return list_->No(slot);
}

Measurement* MainCtrl::Presenter(int presenter) {
    if (presenter == PRESENTER_SIGNAL)
        return SignalMeasurement();
    return Slot(PresenterSlot(presenter));
}

Measurement* MainCtrl::SignalMeasurement(bool build) {
    const Conf::SignalOptions& now = Conf::Options::Field.Signal;
    const int fs = audio_->SampleRate();
    const bool current =
        signal_ && signal_->IsInitialized() && signalFrom_ == now && signalRate_ == fs;
    if (current || !build)
        return signal_ && signal_->IsInitialized() ? signal_.get() : nullptr;
    std::vector<float> samples;
    audio_->RenderSignal(samples);
    // Twice the signal's length, so that its end does not wrap round before time zero; the
    // longest record holds the signal once, wrapped, which changes only the phase.
    const int n = static_cast<int>(samples.size());
    const int length =
        std::min(2 * n, static_cast<int>(Kedra::Measure::MeasurementCore::MAX_DATA_LENGTH));
    const int half = length / 2;
    auto time = Mem::Array<double>::Zeros(static_cast<std::size_t>(length));
    for (int i = 0; i < n; ++i)
        time[static_cast<std::size_t>((half + i) % length)] += samples[static_cast<std::size_t>(i)];
    Mem::Array<std::complex<double>> spectrum(static_cast<std::size_t>(half) + 1);
    // Centred at time zero, unscaled: the bins are the signal's sums.
    Kedra::Math::FFTPow2TimeToFreq(time.data() + half, spectrum.data(), length, true, false);
    const char* kinds[] = {"Log sweep", "Chirp", "Square noise"};
    const std::string label = std::string("Test signal: ") +
                              kinds[std::clamp(now.SignalType, 0, 2)] + ", 2^" +
                              std::to_string(audio_->LengthExponent()) + " samples";
    if (!signal_)
        signal_ = std::make_unique<Measurement>(label);
    signal_->InitializeFreq(spectrum.data(), half, fs, half, 0, 0.0, 0.0, true);
    signal_->SetLabel(label);
    signalFrom_ = now;
    signalRate_ = fs;
    return signal_->IsInitialized() ? signal_.get() : nullptr;
}

void MainCtrl::ShowPresenter(int presenter) {
    SetSlotShown(PresenterSlot(presenter), true);
    frontEnd_.PresenterShown(presenter);
}

Conf::Color MainCtrl::PaletteColour(int slot) {
    const Conf::PlotOptions& plot = Conf::Options::Field.Plot;
    // Apart from each other, from A's, B's and C's dark blue, red and green and from the test
    // signal's dark grey, on the light background.
    static const Conf::Color OWN[PALETTE_SIZE - 3] = {
        {230, 120, 0},  {130, 30, 170},  {0, 150, 160}, {210, 0, 130},   {120, 85, 30},
        {30, 120, 255}, {170, 150, 0},   {80, 170, 20}, {255, 120, 200}, {100, 100, 100},
        {0, 210, 130},  {150, 150, 255}, {235, 40, 40}};
    const int i = ((slot % PALETTE_SIZE) + PALETTE_SIZE) % PALETTE_SIZE;
    switch (i) {
    case 0:
        return plot.ColorMeasA;
    case 1:
        return plot.ColorMeasB;
    case 2:
        return plot.ColorMeasC;
    default:
        return OWN[i - 3];
    }
}

bool MainCtrl::SlotShown(int slot) const {
    const Measurement* m = list_->No(slot);
    if (m == nullptr)
        return false;
    if (m->GetPlotShown() >= 0)
        return m->GetPlotShown() == 1;
    for (int p = PRESENTER_A; p <= PRESENTER_C; ++p)
        if (PresenterSlot(p) == slot)
            return true;
    return false;
}

void MainCtrl::SetSlotShown(int slot, bool shown) {
    Measurement* m = Slot(slot);
    if (m == nullptr || (m->GetPlotShown() >= 0 && SlotShown(slot) == shown))
        return;
    m->SetPlotShown(shown ? 1 : 0);
    frontEnd_.CurvesChanged();
}

Conf::Color MainCtrl::SlotColour(int slot) const {
    const Measurement* m = list_->No(slot);
    const int c = m != nullptr ? m->GetPlotColour() : -1;
    if (c < 0)
        return PaletteColour(slot);
    return Conf::Color{static_cast<std::uint8_t>(c >> 16), static_cast<std::uint8_t>(c >> 8),
                       static_cast<std::uint8_t>(c)};
}

void MainCtrl::SetSlotColour(int slot, Conf::Color colour) {
    Measurement* m = Slot(slot);
    if (m == nullptr)
        return;
    const Conf::Color palette = PaletteColour(slot);
    const bool own = colour.R != palette.R || colour.G != palette.G || colour.B != palette.B;
    const int c = own ? (colour.R << 16) | (colour.G << 8) | colour.B : -1;
    if (c == m->GetPlotColour())
        return;
    m->SetPlotColour(c);
    frontEnd_.CurvesChanged();
}

std::vector<int> MainCtrl::ShownSlots() const {
    std::vector<int> slots;
    for (int i = 0; i < list_->GetSize(); ++i)
        if (list_->No(i)->IsInitialized() && SlotShown(i))
            slots.push_back(i);
    return slots;
}

void MainCtrl::SetShownSlots(const std::vector<int>& slots) {
    bool changed = false;
    for (int i = 0; i < list_->GetSize(); ++i) {
        Measurement* m = Slot(i);
        if (!m->IsInitialized())
            continue;
        const int shown = std::find(slots.begin(), slots.end(), i) != slots.end() ? 1 : 0;
        changed = changed || m->GetPlotShown() != shown;
        m->SetPlotShown(shown);
    }
    if (changed)
        frontEnd_.CurvesChanged();
}

void MainCtrl::Received(int slot) {
    if (Measurement* m = Slot(slot))
        m->SetPlotShown(1);
}

void MainCtrl::DecideUnknownShown() {
    for (int i = 0; i < list_->GetSize(); ++i) {
        Measurement* m = Slot(i);
        if (m->IsInitialized() && m->GetPlotShown() < 0)
            m->SetPlotShown(SlotShown(i) ? 1 : 0);
    }
}

bool MainCtrl::BothFilled(Measurement* a, Measurement* b) {
    return a != nullptr && b != nullptr && a->IsInitialized() && b->IsInitialized();
}

void MainCtrl::ApplyOptions() {
    Conf::OptionsField& field = Conf::Options::Field;
    const bool rateChanged = appliedRateNo_ >= 0 && field.Dev.SamplerateNo != appliedRateNo_;
    appliedRateNo_ = field.Dev.SamplerateNo;
    audio_->ApplyOptions(field);
    list_->SetMAnalysis(field.Analysis.MAnalysis);
    if (rateChanged) {
        const int fs = SampleRateOfNumber(field.Dev.SamplerateNo);
        if (fs > 0 && field.Plot.PlotFreqMax < 0.4 * fs)
            field.Plot.PlotFreqMax = fs / 2;
        // A time zero in samples means nothing at another rate.
        audio_->SetTimeZeroLock(false, 0.0);
        timeZeroLockUsable_ = false;
    }
}

void MainCtrl::ResetSlotNumbers() {
    Conf::MiscOptions& misc = Conf::Options::Field.Misc;
    misc.ASlotNr = 0;
    misc.BSlotNr = 1;
    misc.CSlotNr = 2;
}

namespace {

std::string OpenDetails(const Kedra::Measure::OpenReport& r) {
    if (r.refused)
        return r.reason;
    if (r.found == 0)
        return "the package holds no measurements";
    std::string text;
    for (const std::string& f : r.failed)
        text += (text.empty() ? "" : "\n") + f;
    return text;
}

} // namespace

bool MainCtrl::OpenList(const std::string& path, bool append, bool reportFailure,
                        Kedra::Measure::OpenReport* report, bool keepSlots) {
    Kedra::Measure::OpenReport local;
    Kedra::Measure::OpenReport& r = report != nullptr ? *report : local;
    r = {};
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        r.refused = true;
        r.reason = fs::exists(path, ec) ? "not a file" : "the file does not exist";
    } else {
        list_->OpenTry(path, append, &r);
    }
    if (r.opened > 0) {
        if (!keepSlots)
            ResetSlotNumbers();
        DecideUnknownShown();
        AllChanged();
    }
    if (r.Complete() && r.found > 0)
        return true;
    KedraLogger::LogText("WARNING MainCtrl::OpenList(" + path + ") - opened " +
                         std::to_string(r.opened) + " of " + std::to_string(r.found) + "\n");
    if (!reportFailure)
        return false;
    if (r.opened == 0)
        frontEnd_.ShowMessage(MessageKind::Warning, "Sonvel Warning",
                              "File is invalid and can not be loaded.\n\nDetails:\n" +
                                  OpenDetails(r));
    else
        ReportPartialOpen(path, r);
    return false;
}

void MainCtrl::ReportPartialOpen(const std::string& path, const Kedra::Measure::OpenReport& r) {
    frontEnd_.ShowMessage(MessageKind::Warning, "Sonvel Warning",
                          "Opened " + std::to_string(r.opened) + " of " + std::to_string(r.found) +
                              " measurements from " + path + ".\nNot opened:\n" + OpenDetails(r));
}

bool MainCtrl::SetAside(const std::string& path, const std::string& tag,
                        const std::string& problem) {
    std::string error;
    const auto moved = Conf::MoveAside(path, tag, error);
    std::string text = problem;
    if (moved) {
        text += "\nThe file was moved to " + moved->string() + ".";
        KedraLogger::LogText("WARNING MainCtrl::SetAside(" + path + ") -> " + moved->string() +
                             "\n");
    } else {
        text += "\nThe file could not be moved aside (" + error +
                "); it stays as it is and is not autosaved over in this session.";
        KedraLogger::LogText("WARNING MainCtrl::SetAside(" + path + ") failed: " + error + "\n");
    }
    frontEnd_.ShowMessage(MessageKind::Warning, "Sonvel Warning", text);
    return moved.has_value();
}

void MainCtrl::SetAsideUnreadOptions() {
    const std::string path = Conf::Options::AutoSavePath();
    const std::string version = Conf::Options::FileWriterVersion();
    std::string tag = Conf::DamagedTag();
    std::string problem;
    switch (Conf::Options::LastLoadOutcome()) {
    case Conf::LoadOutcome::Newer:
        tag = "newer-" + version;
        problem = "The options file " + path + " was written by version " + version +
                  ", newer than this program (" + Conf::Options::ProgramVersion() +
                  "); the default options are used.";
        break;
    case Conf::LoadOutcome::Older:
        tag = "older-" + version;
        problem = "The options file " + path + " was written by version " + version +
                  ", older than this program reads (" + Conf::OPTIONS_COMPAT_START +
                  "); the default options are used.";
        break;
    case Conf::LoadOutcome::Unreadable:
        problem = "The options file " + path +
                  " could not be read; the default options are used (see the log file).";
        break;
    case Conf::LoadOutcome::InPart:
        problem = "Some options in " + path +
                  " could not be read and hold their defaults (see the log file).";
        break;
    default:
        return;
    }
    keepOptionsFile_ = !SetAside(path, tag, problem);
}

bool MainCtrl::StartUp(const std::string& path) {
    Splash("Loading options");
    // Saves that were killed halfway leave their new file beside the old one.
    Kedra::Text::RemoveStaleTemporaries(Conf::Options::AutoSavePath());
    Kedra::Text::RemoveStaleTemporaries(Conf::FilePath(AUTOSAVE_MEAS_FILENAME));
    // Defaults of this user directory (the debug wave paths live in it), then the file.
    Conf::Options::Reset();
    Conf::Options::LoadAutoSaved(false);
    SetAsideUnreadOptions();
    Splash("Constructing main form");
    Splash("Initializing");
    Splash("Initilizing components");
    Splash("Opening measurement file");
    bool opened = false;
    Kedra::Measure::OpenReport report;
    if (!path.empty()) {
        opened = OpenList(path, false, true, &report) || report.opened > 0;
        startUpComplete_ = report.Complete() && report.found > 0;
    }
    if (!opened) {
        const std::string autosave = Conf::FilePath(AUTOSAVE_MEAS_FILENAME);
        opened = OpenList(autosave, false, false, &report, true) || report.opened > 0;
        std::error_code ec;
        if (fs::exists(autosave, ec) && !report.Complete()) {
            startUpComplete_ = false;
            const std::string problem =
                report.opened > 0
                    ? "Opened " + std::to_string(report.opened) + " of " +
                          std::to_string(report.found) + " measurements of the autosaved package " +
                          autosave + ".\nNot opened:\n" + OpenDetails(report)
                    : "The autosaved package " + autosave + " could not be read:\n" +
                          OpenDetails(report);
            keepAutosave_ = !SetAside(autosave, Conf::DamagedTag(), problem);
        }
        const fs::path obsolete = Conf::FilePath(AUTOSAVE_MEAS_OBSOLETE);
        if (!opened && fs::exists(obsolete, ec)) {
            const fs::path dir = Conf::FilePath(AUTOSAVE_MEAS_OBSOLETE_DIR);
            fs::create_directories(dir, ec);
            const fs::path moved = dir / AUTOSAVE_MEAS_OBSOLETE;
            fs::rename(obsolete, moved, ec);
            if (ec)
                KedraLogger::LogText("WARNING MainCtrl::Run could not move " + obsolete.string() +
                                     ": " + ec.message() + "\n");
            else
                opened = OpenList(moved.string(), false, false, nullptr, true);
        }
    }
    ApplyOptions();
    Splash("Starting the Application");
    return opened;
}

bool MainCtrl::ShutDown() {
    frontEnd_.ReportProgress("Closing Sonvel (Autosaving)");
    StreamInitializer::Get()->Stop();
    bool options = !keepOptionsFile_;
    if (keepOptionsFile_)
        KedraLogger::LogText("WARNING MainCtrl::ShutDown - the unread options file is kept\n");
    else
        options = Conf::Options::AutoSave();
    const std::string why = Conf::WriteProblem(Conf::UserDirectory());
    const std::string because = why.empty() ? "" : " (" + why + ")";
    autosaveProblem_.clear();
    const auto also = [this](const std::string& text) {
        autosaveProblem_ += (autosaveProblem_.empty() ? "" : "; ") + text;
    };
    if (keepOptionsFile_)
        also("the unread options file " + Conf::Options::AutoSavePath() +
             " is kept, so the options were not written over it");
    else if (!options)
        also("the options could not be written to " + Conf::Options::AutoSavePath() + because);
    if (keepAutosave_) {
        KedraLogger::LogText("WARNING MainCtrl::ShutDown - the unread autosave is kept\n");
        listAutosaved_ = false;
        also("the unread autosave " + Conf::FilePath(AUTOSAVE_MEAS_FILENAME) +
             " is kept, so the measurements were not written over it");
        return false;
    }
    listAutosaved_ = list_->Save(Conf::FilePath(AUTOSAVE_MEAS_FILENAME));
    if (!listAutosaved_)
        also("the measurements could not be written to " + Conf::FilePath(AUTOSAVE_MEAS_FILENAME) +
             because);
    return options && listAutosaved_;
}

void MainCtrl::Crashed(const std::string& what) {
    frontEnd_.ShowMessage(MessageKind::Information, "Information",
                          std::string("The application crashed - We apologize\n") +
                              "The configuration and measurements will be autosaved\n" +
                              "Please restart the application\n\n" + "Details: " + what);
    ShutDown();
}

bool MainCtrl::MeasureInto(int slot, const std::string& name) {
    std::unique_ptr<Measurement> fresh = PrepareMeasurement(slot);
    if (!fresh || !MeasureDetached(*fresh, name))
        return false;
    return PlaceMeasurement(slot, std::move(fresh));
}

int MainCtrl::MeasurementSlot(int presenter) const {
    if (presenter < PRESENTER_A || presenter > PRESENTER_C)
        return -1;
    return PresenterSlot(presenter);
}

std::unique_ptr<Measurement> MainCtrl::PrepareMeasurement(int slot) {
    Measurement* m = Slot(slot);
    agreed_ = nullptr;
    if (m == nullptr) {
        frontEnd_.ShowMessage(MessageKind::Error, "Sonvel Warning",
                              "There is no slot " + std::to_string(slot) + " to measure into");
        return nullptr;
    }
    // Asked before the measurement runs, so that the answer does not wait on it.
    const bool askedNow = Keeps(slot) && KeepSlotFor(slot) < 0;
    if (!MayReplace(slot))
        return nullptr;
    if (Keeps(slot)) {
        // The earlier record keeps its label and view where it moves to.
        auto fresh =
            std::make_unique<Measurement>(Kedra::Measure::MeasurementList::EmptyLabel(slot));
        if (askedNow)
            agreed_ = fresh.get();
        return fresh;
    }
    // The copy keeps what the slot's record had beyond the measured data (label, view).
    auto fresh = std::make_unique<Measurement>(m->GetLabel());
    fresh->CopyAllFrom(*m);
    return fresh;
}

bool MainCtrl::MeasureDetached(Measurement& fresh, const std::string& name) {
    return audio_->PerformMeasurement(fresh, name);
}

bool MainCtrl::PlaceMeasurement(int slot, std::unique_ptr<Measurement> fresh) {
    const bool agreed = fresh && fresh.get() == agreed_;
    agreed_ = nullptr;
    if (!fresh || Slot(slot) == nullptr)
        return false;
    timeZeroLockUsable_ = true;
    auto more = audio_->TakeMoreInputs();
    if (!MakeRoom(slot, agreed))
        return false;
    if (fresh->GetLabel().rfind("Empty", 0) == 0)
        fresh->SetLabel("Unnamed-" + std::to_string(slot));
    const std::vector<int>& inputs = audio_->MeasuredInputsOfLast();
    const bool several = !Conf::Options::Field.Dev.InputChannels.empty() ||
                         Conf::Options::Field.Dev.ReferenceInput >= 0;
    if (several && !inputs.empty())
        fresh->SetLabel(InputLabel(fresh->GetLabel(), inputs.front()));
    const std::string label = fresh->GetLabel();
    list_->SetNo(std::move(fresh), slot);
    Received(slot);
    SlotChanged(slot);
    placedInputs_.clear();
    if (several && !inputs.empty())
        placedInputs_.emplace_back(inputs.front(), slot);
    // The other inputs go into empty slots, so that none overwrites another measurement.
    std::string lost;
    for (auto& [input, record] : more) {
        record->SetLabel(InputLabel(label, input));
        const int to = KeepSlotFor(slot);
        if (to >= 0 && PlaceResult(to, std::move(record)))
            placedInputs_.emplace_back(input, to);
        else
            lost += (lost.empty() ? "" : ", ") + std::to_string(input + 1);
    }
    if (!lost.empty())
        frontEnd_.ShowMessage(MessageKind::Warning, "Sonvel Warning",
                              "Every slot is filled, so the measurement of input " + lost +
                                  " was not kept. Clear a slot and measure again.");
    return true;
}

bool MainCtrl::PlaceResult(int slot, std::unique_ptr<Measurement> fresh) {
    if (!MakeRoom(slot))
        return false;
    list_->SetNo(std::move(fresh), slot);
    Received(slot);
    SlotChanged(slot);
    return true;
}

void MainCtrl::SetReplacePolicy(ReplacePolicy policy, const std::string& howToReplace) {
    replacePolicy_ = policy;
    howToReplace_ = howToReplace;
}

bool MainCtrl::Keeps(int slot) {
    const Measurement* m = Slot(slot);
    return m != nullptr && m->IsInitialized() && Conf::Options::Field.Misc.KeepReplacedMeasurements;
}

bool MainCtrl::PresenterShows(int slot) const {
    for (int p = PRESENTER_A; p <= PRESENTER_C; ++p)
        if (PresenterSlot(p) == slot)
            return true;
    return false;
}

std::string MainCtrl::SlotName(int slot) const {
    for (int p = PRESENTER_A; p <= PRESENTER_C; ++p)
        if (PresenterSlot(p) == slot)
            return PRESENTER_NAMES[p];
    return "slot " + std::to_string(slot);
}

int MainCtrl::KeepSlotFor(int slot) {
    int anyEmpty = -1;
    for (int i = 0; i < list_->GetSize(); ++i) {
        if (i == slot || list_->No(i)->IsInitialized())
            continue;
        // A slot a presenter shows is left for what the user measures into it next.
        if (!PresenterShows(i))
            return i;
        if (anyEmpty < 0)
            anyEmpty = i;
    }
    return anyEmpty;
}

bool MainCtrl::MayReplace(int slot) {
    if (!Keeps(slot) || KeepSlotFor(slot) >= 0)
        return true;
    const std::string what = "Every slot is filled, so the earlier measurement of " +
                             SlotName(slot) + " (" + Slot(slot)->GetLabel() + ") cannot be kept";
    switch (replacePolicy_) {
    case ReplacePolicy::Replace:
        return true;
    case ReplacePolicy::Refuse:
        return Refuse(frontEnd_,
                      what + "; nothing was written. Clear a slot first" + howToReplace_ + ".");
    case ReplacePolicy::Ask:
        break;
    }
    if (frontEnd_.AskOkCancel("Sonvel", what + ".\n\nReplace it?"))
        return true;
    ++declines_;
    return false;
}

bool MainCtrl::MakeRoom(int slot) {
    return MakeRoom(slot, false);
}

bool MainCtrl::MakeRoom(int slot, bool agreed) {
    // Whatever is written now is no longer the result a live update may recompute.
    if (slot == ownResultSlot_)
        ownResultSlot_ = -1;
    if (!Keeps(slot))
        return true;
    const int to = KeepSlotFor(slot);
    if (to < 0) {
        if (!agreed && !MayReplace(slot))
            return false;
        const std::string text =
            "Every slot is filled: the earlier measurement of " + SlotName(slot) + " was replaced";
        KedraLogger::LogText("INFO    MainCtrl::MakeRoom(" + std::to_string(slot) + ") " + text +
                             "\n");
        frontEnd_.ReportStatus(text);
        return true;
    }
    list_->Swap(slot, to);
    list_->No(slot)->SetLabel(Kedra::Measure::MeasurementList::EmptyLabel(slot));
    const std::string text =
        "The earlier measurement of " + SlotName(slot) + " is now in slot " + std::to_string(to);
    KedraLogger::LogText("INFO    MainCtrl::MakeRoom(" + std::to_string(slot) + ") " + text + "\n");
    SlotChanged(to);
    SlotChanged(slot);
    frontEnd_.ReportStatus(text);
    return true;
}

bool MainCtrl::HoldsOwnResult(int slot, LiveResult kind) {
    const Measurement* m = Slot(slot);
    return m != nullptr && kind == ownResultKind_ && slot == ownResultSlot_ && m == ownResult_ &&
           m->IsInitialized();
}

void MainCtrl::RememberOwnResult(int slot, LiveResult kind) {
    ownResultSlot_ = slot;
    ownResult_ = Slot(slot);
    ownResultKind_ = kind;
}

void MainCtrl::SetPresenterSlot(int presenter, int slot) {
    if (slot < 0 || slot >= list_->GetSize())
        return;
    Conf::MiscOptions& misc = Conf::Options::Field.Misc;
    int* field = presenter == PRESENTER_A   ? &misc.ASlotNr
                 : presenter == PRESENTER_B ? &misc.BSlotNr
                 : presenter == PRESENTER_C ? &misc.CSlotNr
                                            : nullptr;
    if (field == nullptr || *field == slot)
        return;
    *field = slot;
    // A slot chosen to be looked at is drawn.
    if (Slot(slot)->IsInitialized())
        Slot(slot)->SetPlotShown(1);
    frontEnd_.PresenterChanged(presenter);
}

void MainCtrl::SlotChanged(int slot) {
    frontEnd_.ListChanged();
    for (int p = PRESENTER_A; p <= PRESENTER_C; ++p)
        if (PresenterSlot(p) == slot)
            frontEnd_.PresenterChanged(p);
}

void MainCtrl::AllChanged() {
    ownResultSlot_ = -1;
    frontEnd_.ListChanged();
    for (int p = PRESENTER_A; p <= PRESENTER_C; ++p)
        frontEnd_.PresenterChanged(p);
}

bool MainCtrl::Changed(bool ok, int slot) {
    if (ok) {
        Received(slot);
        SlotChanged(slot);
    }
    return ok;
}

bool MainCtrl::SetTimeZeroLock(bool locked) {
    if (!locked) {
        audio_->SetTimeZeroLock(false, 0.0);
        return true;
    }
    if (!timeZeroLockUsable_) {
        frontEnd_.ShowMessage(MessageKind::Warning, "Sonvel Warning",
                              "The time zero can be locked only after a measurement");
        return false;
    }
    audio_->SetTimeZeroLock(true, audio_->LastTimeOffset());
    return true;
}

bool MainCtrl::Action_MeasStart(int presenter) {
    if (presenter < PRESENTER_A || presenter > PRESENTER_C)
        return Refuse(frontEnd_, "Only presenters A, B and C can be measured into");
    ShowPresenter(presenter);
    return MeasureInto(PresenterSlot(presenter), PRESENTER_NAMES[presenter]);
}

bool MainCtrl::Action_OpenFile(const std::string& path) {
    return OpenList(path, false, true);
}

bool MainCtrl::Action_OpenAppendFile(const std::string& path) {
    return OpenList(path, true, true);
}

bool MainCtrl::Action_SaveFile(const std::string& path, bool asWave) {
    list_->SetSaveAsWave(asWave);
    const bool ok = list_->Save(path);
    list_->SetSaveAsWave(false);
    if (!ok)
        frontEnd_.ShowMessage(MessageKind::Error, "Sonvel Warning",
                              "The measurements could not be saved to:\n" + path);
    return ok;
}

void MainCtrl::Action_ClearMeasurements() {
    list_->Clear();
    AllChanged();
}

bool MainCtrl::Action_ClearSlot(int slot) {
    Measurement* m = Slot(slot);
    if (m == nullptr)
        return Refuse(frontEnd_, "There is no slot " + std::to_string(slot));
    m->Reset(Kedra::Measure::MeasurementList::EmptyLabel(slot));
    SlotChanged(slot);
    return true;
}

bool MainCtrl::Action_Rename(int slot, const std::string& label) {
    Measurement* m = Slot(slot);
    if (m == nullptr)
        return Refuse(frontEnd_, "There is no slot " + std::to_string(slot) + " to rename");
    const auto first = label.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return Refuse(frontEnd_, "A measurement needs a label that is not empty");
    const std::string trimmed = label.substr(first, label.find_last_not_of(" \t\r\n") - first + 1);
    if (trimmed == m->GetLabel())
        return true;
    m->SetLabel(trimmed);
    SlotChanged(slot);
    return true;
}

void MainCtrl::Action_Rearange() {
    list_->Rearange();
    AllChanged();
}

bool MainCtrl::Action_DragAndDrop(const std::string& path) {
    if (!frontEnd_.AskOkCancel("Sonvel", "Open file as measurements?\n\nFile: " + path))
        return false;
    // The way File > Open goes: the presenters back on slots 0, 1, 2, and what a package
    // held but could not be opened named entry by entry.
    Kedra::Measure::OpenReport r;
    if (OpenList(path, false, false, &r))
        return true;
    if (r.opened > 0) {
        ReportPartialOpen(path, r);
        return false;
    }
    const std::string text = OpenDetails(r);
    KedraLogger::LogText("WARNING MainCtrl::Action_DragAndDrop Exception:\n" + text + "\n");
    frontEnd_.ShowMessage(MessageKind::Warning, "Sonvel Warning",
                          "Failed to open file:\n" + path + "\nException:\n" + text);
    return false;
}

bool MainCtrl::Action_MeasOperationABC(const std::string& op) {
    Measurement* a = Presenter(PRESENTER_A);
    Measurement* b = Presenter(PRESENTER_B);
    Measurement* c = Presenter(PRESENTER_C);
    if (c == nullptr || !BothFilled(a, b))
        return Refuse(frontEnd_, "C = A " + op + " B needs measurements in A and B");
    if (c == a || c == b)
        return Refuse(frontEnd_, "C = A " + op + " B needs C in a slot of its own, not A's or B's");
    if (op != "+" && op != "-" && op != "*" && op != "/")
        return Refuse(frontEnd_, "There is no operation '" + op + "' (use +, -, * or /)");
    if (!MakeRoom(PresenterSlot(PRESENTER_C)))
        return false;
    if (!Kedra::Measure::Operation(op, *a, *b, *Presenter(PRESENTER_C)))
        return Refuse(frontEnd_, "There is no operation '" + op + "' (use +, -, * or /)");
    ShowPresenter(PRESENTER_C);
    return Changed(true, PresenterSlot(PRESENTER_C));
}

namespace {

// A's response as its view shows it (window, smoothing, gain, time zero), before its low- and
// high-pass: B takes those as its own view, and a bin they silence in A would otherwise leave
// B nothing but the division guard there, which swamps B's impulse and its stored samples.
Mem::Array<std::complex<double>> ViewBeforeFilters(Measurement& a) {
    const bool lowpass = a.GetLowpassEnabled();
    const bool highpass = a.GetHighpassEnabled();
    a.SetLowpassEnabled(false);
    a.SetHighpassEnabled(false);
    const std::complex<double>* f = a.GetF();
    const auto bins = static_cast<std::size_t>(a.GetNHalf() + 1);
    Mem::Array<std::complex<double>> view(bins);
    std::copy(f, f + bins, view.data());
    a.SetLowpassEnabled(lowpass);
    a.SetHighpassEnabled(highpass);
    return view;
}

} // namespace

bool MainCtrl::Action_MeasOperationAB() {
    Measurement* a = Presenter(PRESENTER_A);
    Measurement* b = Presenter(PRESENTER_B);
    if (a == nullptr || !a->IsInitialized())
        return Refuse(frontEnd_, "B = 1/A needs a measurement in A");
    if (b == nullptr || a == b)
        return Refuse(frontEnd_, "B = 1/A needs B in a slot of its own, not A's");
    if (!MakeRoom(PresenterSlot(PRESENTER_B)))
        return false;
    b = Presenter(PRESENTER_B);
    // On A's analysis grid, the length every record of the list is viewed and stored at, so
    // that B reads after a save and reopen as it did when it was made.
    const Mem::Array<std::complex<double>> view = ViewBeforeFilters(*a);
    b->InitializeDirac(a->GetExponent(), a->GetSamplerate(), 1.0);
    std::complex<double>* spectrum = b->GetF0Writeable();
    for (int k = 0; k <= b->GetNHalf(); ++k) {
        const std::complex<double> x = view[static_cast<std::size_t>(k)];
        spectrum[k] = std::abs(x) > 1e-10 ? Kedra::Math::Inverse(x) : std::complex<double>(1e10);
    }
    b->F0Written();
    b->SetLabel("1/(" + a->GetLabel() + ")");
    // A's window is already inside the inverted view; cutting B's own impulse with it again
    // would no longer give 1/A. B keeps its settings, switched off, for the user to try.
    b->CopyImpulseWindowFrom(*a);
    b->SetImpulseWindowEnabled(false);
    b->CopyFilterFrom(*a);
    return Changed(true, PresenterSlot(PRESENTER_B));
}

namespace {

// A copy for the user: it reads as its original does, in dB SPL too (a record measured into
// takes only the view of the one it replaces, so the record's own copy leaves that out).
void CopyWhole(const Measurement& from, Measurement& to) {
    to.CopyAllFrom(from);
    if (from.HasSpl())
        to.SetSpl(from.GetSplOffset(), from.GetSplReference());
    else
        to.ClearSpl();
}

} // namespace

bool MainCtrl::Action_MeasCopyABC(int what) {
    Measurement* a = Presenter(PRESENTER_A);
    Measurement* b = Presenter(PRESENTER_B);
    Measurement* c = Presenter(PRESENTER_C);
    if (a == nullptr || !a->IsInitialized())
        return Refuse(frontEnd_, "A holds no measurement to copy");
    switch (what) {
    case 0:
        if (b == nullptr || b == a)
            return Refuse(frontEnd_, "B shows A's slot: there is nothing to copy A to");
        if (!MakeRoom(PresenterSlot(PRESENTER_B)))
            return false;
        // The copy takes A's shown flag with the rest, and reads as A does, in dB SPL too.
        CopyWhole(*a, *Presenter(PRESENTER_B));
        SlotChanged(PresenterSlot(PRESENTER_B));
        return true;
    case 1:
        if (c == nullptr || c == a)
            return Refuse(frontEnd_, "C shows A's slot: there is nothing to copy A to");
        if (!MakeRoom(PresenterSlot(PRESENTER_C)))
            return false;
        CopyWhole(*a, *Presenter(PRESENTER_C));
        SlotChanged(PresenterSlot(PRESENTER_C));
        return true;
    case 2:
    case 3:
        if (b != nullptr) {
            b->CopyImpulseWindowFrom(*a);
            frontEnd_.ViewChanged(PresenterSlot(PRESENTER_B));
        }
        if (what == 3 && c != nullptr) {
            c->CopyImpulseWindowFrom(*a);
            frontEnd_.ViewChanged(PresenterSlot(PRESENTER_C));
        }
        return true;
    default:
        return Refuse(frontEnd_, "There is no copy number " + std::to_string(what));
    }
}

bool MainCtrl::Action_AReset() {
    Measurement* a = Presenter(PRESENTER_A);
    if (a == nullptr || !a->IsInitialized())
        return Refuse(frontEnd_, "A holds no measurement to reset");
    a->AmplifyAbsolute(1.0);
    a->OffsetAbsolute(0.0);
    frontEnd_.ViewChanged(PresenterSlot(PRESENTER_A));
    return true;
}

bool MainCtrl::Action_AbcStitch(double fc, double bw, bool matchTime) {
    return AbcStitch(fc, bw, matchTime, false);
}

bool MainCtrl::Action_AbcStitchUpdate(double fc, double bw, bool matchTime) {
    return AbcStitch(fc, bw, matchTime, true);
}

bool MainCtrl::AbcStitch(double fc, double bw, bool matchTime, bool update) {
    Measurement* a = Presenter(PRESENTER_A);
    Measurement* b = Presenter(PRESENTER_B);
    Measurement* c = Presenter(PRESENTER_C);
    if (c == nullptr || !BothFilled(a, b) || a->GetSamplerate() != b->GetSamplerate() ||
        a->GetDataLength() != b->GetDataLength()) {
        frontEnd_.ShowMessage(
            MessageKind::Warning, "Sonvel Warning",
            std::string("Can only stitch measurement A to measurement B when:\n") +
                "- A & B are both not empty\n" + "- A & B have the same samplerate\n" +
                "- A & B have the same signal length\n");
        return false;
    }
    if (c == a || c == b)
        return Refuse(frontEnd_, "Stitching needs C in a slot of its own, not A's or B's");
    const int slot = PresenterSlot(PRESENTER_C);
    if (!(update && HoldsOwnResult(slot, LiveResult::Stitch)) && !MakeRoom(slot))
        return false;
    c = Slot(slot);
    if (!Kedra::Measure::Stitch(*a, *b, fc, bw, matchTime, *c))
        return false;
    // A new record has no name of its own yet.
    if (c->GetLabel().rfind("Empty", 0) == 0)
        c->SetLabel("(" + a->GetLabel() + ") stitched to (" + b->GetLabel() + ")");
    RememberOwnResult(slot, LiveResult::Stitch);
    return Changed(true, slot);
}

bool MainCtrl::Action_MatchAToB(double fc, double bw, bool matchTime) {
    Measurement* a = Presenter(PRESENTER_A);
    Measurement* b = Presenter(PRESENTER_B);
    if (!BothFilled(a, b))
        return Refuse(frontEnd_, "Matching needs measurements in A and B");
    return Changed(Kedra::Measure::Match(*a, *b, fc, bw, matchTime), PresenterSlot(PRESENTER_A));
}

bool MainCtrl::Action_QBox(double f1, double f2) {
    return QBox(f1, f2, false);
}

bool MainCtrl::Action_QBoxUpdate(double f1, double f2) {
    return QBox(f1, f2, true);
}

bool MainCtrl::QBox(double f1, double f2, bool update) {
    Measurement* a = Presenter(PRESENTER_A);
    Measurement* c = Presenter(PRESENTER_C);
    if (a == nullptr || !a->IsInitialized())
        return Refuse(frontEnd_, "The closed-box fit needs a measurement in A");
    if (c == nullptr || a == c)
        return Refuse(frontEnd_, "The closed-box fit needs C in a slot of its own, not A's");
    if (!(f1 > 0.0 && f2 > f1))
        return Refuse(frontEnd_, "The closed-box fit needs 0 < lower frequency < upper frequency");
    if (!Kedra::Measure::QBoxFit(*a, f1, f2, q_, fc_, gain_))
        return Refuse(frontEnd_, "No closed box fits A between " + Kedra::Text::FormatFixed(f1, 1) +
                                     " and " + Kedra::Text::FormatFixed(f2, 1) +
                                     " Hz: A has no level to fit there");
    const int slot = PresenterSlot(PRESENTER_C);
    if (!(update && HoldsOwnResult(slot, LiveResult::QBox)) && !MakeRoom(slot))
        return false;
    c = Slot(slot);
    // The model as a minimum-phase measurement at A's level.
    c->InitializeDirac(a->GetExponent(), a->GetSamplerate(), 1.0);
    std::complex<double>* spectrum = c->GetF0Writeable();
    const Kedra::Filter::QBox model(q_, fc_);
    for (int k = 0; k <= c->GetNHalf(); ++k)
        spectrum[k] = gain_ * model.Amplitude(k * c->GetHzPerBin());
    Kedra::Measure::ApplyMinimumPhase(spectrum, c->GetNHalf(), 1e-10, false);
    c->F0Written();
    c->SetLabel("QBox: Qtc = " + Kedra::Text::FormatFixed(q_, 3) +
                " Fb = " + Kedra::Text::FormatFixed(fc_, 0));
    RememberOwnResult(slot, LiveResult::QBox);
    return Changed(true, slot);
}

// The microphone calibration from three measurements of one loudspeaker:
//  - refCalSlot: made with the reference (calibrated) microphone;
//  - refLowSlot and refHighSlot: made with the microphone to calibrate, for the low and the
//    high frequencies.
// Each is windowed at its length of sound travel (refHigh at winHighcm, the reference at
// winMidcm, refLow at winLowcm; the window starts a tenth of that before time zero). The
// microphone under test is refLow stitched to refHigh over the high stitch band; the
// reference's own low end comes from the same reference measurement windowed at winLowcm,
// stitched to its mid window over the low stitch band. The calibration is the microphone's
// response divided by the reference's: it is shown in C and imported into the microphone
// calibrator, saved and switched on.
bool MainCtrl::Action_AbcCalib() {
    const Conf::MakeMicCalOptions& o = Conf::Options::Field.MakeMicCal;
    Measurement* ref = Slot(o.refCalSlot);
    Measurement* low = Slot(o.refLowSlot);
    Measurement* high = Slot(o.refHighSlot);
    Measurement* c = Presenter(PRESENTER_C);
    if (c == nullptr || !BothFilled(ref, low) || !BothFilled(low, high) || c == ref || c == low ||
        c == high) {
        frontEnd_.ShowMessage(MessageKind::Warning, "Sonvel Warning",
                              "The calibration needs the three measurement slots filled");
        return false;
    }
    const int fs = ref->GetSamplerate();
    Measurement lowWin("low"), highWin("high"), refMid("reference"), refLow("reference low");
    lowWin.CopyAllFrom(*low);
    highWin.CopyAllFrom(*high);
    refMid.CopyAllFrom(*ref);
    refLow.CopyAllFrom(*ref);
    WindowAt(lowWin, CentimetresToSamples(o.winLowcm, fs));
    WindowAt(highWin, CentimetresToSamples(o.winHighcm, fs));
    WindowAt(refMid, CentimetresToSamples(o.winMidcm, fs));
    WindowAt(refLow, CentimetresToSamples(o.winLowcm, fs));
    Measurement tested("tested"), reference("reference");
    auto result = std::make_unique<Measurement>("Microphone calibration");
    if (!Kedra::Measure::Stitch(lowWin, highWin, o.stitchHighCenter, o.stitchHighWidth, false,
                                tested) ||
        !Kedra::Measure::Stitch(refLow, refMid, o.stitchLowCenter, o.stitchLowWidth, false,
                                reference) ||
        !Kedra::Measure::Operation("/", tested, reference, *result))
        return Refuse(frontEnd_, "The three measurements could not be stitched and divided: "
                                 "they need the same sample rate and length");
    result->SetLabel("Microphone calibration");
    c = result.get();
    if (!PlaceResult(PresenterSlot(PRESENTER_C), std::move(result)))
        return false;
    Kedra::Measure::Calibrator& cal = audio_->MicCalibrator();
    if (!cal.Import(*c, 20.0, fs / 2.0) || !cal.Save(Conf::FilePath(CAL_MIC_FILENAME)))
        return Refuse(frontEnd_, "The microphone calibration could not be saved to " +
                                     Conf::FilePath(CAL_MIC_FILENAME) + " (see the log file)");
    audio_->SetMicCalibration(true);
    return true;
}

void MainCtrl::Action_OptionsReset() {
    Conf::Options::Reset();
    ApplyOptions();
}

bool MainCtrl::Action_OptionsLoad(const std::string& path) {
    const bool ok = Conf::Options::LoadData(path, true);
    ApplyOptions();
    // A file of another version was told already; a missing one only logged.
    if (!ok && Conf::Options::LastLoadOutcome() == Conf::LoadOutcome::Missing)
        return Refuse(frontEnd_, "There is no options file " + path);
    return ok;
}

bool MainCtrl::Action_OptionsSave(const std::string& path) {
    if (!Conf::Options::SaveData(path))
        return Refuse(frontEnd_,
                      "The options could not be saved to " + path + " (see the log file)");
    return true;
}

bool MainCtrl::Action_MinimumPhase(int slot, bool causal) {
    Measurement* m = Slot(slot);
    if (m == nullptr || !m->IsInitialized())
        return Refuse(frontEnd_, "Slot " + std::to_string(slot) + " holds no measurement");
    Kedra::Measure::ApplyMinimumPhase(m->GetF0Writeable(), m->GetNHalf(), 1e-10, causal);
    m->F0Written();
    return Changed(true, slot);
}

Kedra::Measure::MeasurementExporter MainCtrl::ConfiguredExporter() const {
    const Conf::ImExportOptions& io = Conf::Options::Field.ImExport;
    Kedra::Measure::MeasurementExporter ex;
    ex.exportPhase = io.ExportPhase;
    ex.phaseUnwrap = io.PhaseUnwrap;
    ex.phaseMode = io.PhaseMode;
    ex.includeHeader = io.IncludeHeader;
    ex.comment = io.CommentString;
    ex.decimalSep = static_cast<char>(io.DecimalSep);
    ex.separator = static_cast<char>(io.Separator);
    ex.exportMode = io.ExportMode;
    ex.linearStepHz = io.LinearStepsHz;
    ex.logSteps = io.LogNofSteps;
    ex.maxChangeDb = io.NonEqDbChange;
    // The options hold degrees, the exporter works in radians.
    ex.maxChangePhase = io.NonEqPhaseChange * Kedra::Math::TWOPI / 360.0;
    return ex;
}

namespace {

// The harmonic rows as text: a header line, then the frequency and every row in dB.
bool ExportDistortion(Measurement& m, const std::string& path) {
    const int rows = m.GetHDSize();
    if (rows < 1)
        return false;
    // With an SPL reference every row is the level of its harmonics at the microphone (the
    // fundamental's SPL plus the row's level re the fundamental), the fundamental's SPL first.
    const bool spl = m.HasSpl();
    std::string text = spl ? "Frequency [Hz];Fundamental [dB SPL]" : "Frequency [Hz]";
    for (int r = 0; r < rows; ++r) {
        text += ';';
        text += Kedra::Measure::DistortionIndexToString(r);
        text += spl ? " [dB SPL]" : " [dB]";
    }
    text += "\n";
    const int grid = Kedra::Measure::MeasurementCore::HD_GRID;
    std::vector<const float*> data;
    for (int r = 0; r < rows; ++r)
        data.push_back(m.GetHDSmooth(r));
    const double* a = m.GetA();
    for (int i = 0; i <= grid; ++i) {
        const double f = i * m.GetSamplerate() / (2.0 * grid);
        Kedra::Text::AppendNumber(text, f);
        double fundamental = 0.0;
        if (spl && a != nullptr) {
            const int bin =
                std::min(Kedra::Math::ToIntRound(f * m.GetBinsPerHz()), m.GetNBins() - 1);
            fundamental = Kedra::Math::AmplitudeToDB(a[bin]) + m.GetSplOffset();
            text += ";";
            Kedra::Text::AppendNumber(text, fundamental);
        }
        for (int r = 0; r < rows; ++r) {
            text += ";";
            const float* row = data[static_cast<std::size_t>(r)];
            const bool known = row != nullptr && row[i] > Kedra::Measure::HD_NO_DATA_DB;
            Kedra::Text::AppendNumber(text, row == nullptr ? -1000.0
                                            : spl && known ? row[i] + fundamental
                                                           : row[i]);
        }
        text += "\n";
    }
    std::string error;
    return Kedra::Text::WriteFileAtomically(path, text, error);
}

// Group delay, energy-time curve, waterfall or the room decay curves as a table.
bool ExportView(Measurement& m, const std::string& kind, const std::string& path,
                Kedra::Measure::MeasurementExporter exporter, const ViewSettings& view) {
    std::vector<std::string> columns;
    std::vector<std::vector<double>> rows;
    const std::vector<std::string> notes = {"Note: " + m.GetLabel(),
                                            "Samplerate: " + std::to_string(m.GetSamplerate())};
    if (kind == "groupdelay") {
        std::vector<double> delay, excess;
        Kedra::Measure::GroupDelayOf(m, delay, &excess);
        columns = {"Frequency [Hz]", "Group delay [ms]", "Excess group delay [ms]"};
        for (std::size_t k = 1; k < delay.size(); ++k)
            rows.push_back({k * m.GetHzPerBin(), 1000.0 * delay[k], 1000.0 * excess[k]});
        return exporter.ExportTable("Group delay", notes, columns, rows, path);
    }
    if (kind == "etc") {
        std::vector<double> times, db;
        double peakDb = 0.0;
        Kedra::Measure::EnergyTimeOf(m, view.etcBandHz, times, db, &peakDb);
        // In dB SPL the curve stands at its peak's level; otherwise re its peak.
        const double shift = m.HasSpl() ? peakDb + m.GetSplOffset() : 0.0;
        columns = {"Time [ms]", m.HasSpl() ? "Energy [dB SPL]" : "Energy [dB]"};
        for (std::size_t n = 0; n < db.size(); ++n)
            rows.push_back({times[n], db[n] + shift});
        return exporter.ExportTable("Energy-time curve", notes, columns, rows, path);
    }
    if (kind == "waterfall") {
        const Kedra::Measure::Waterfall w = Kedra::Measure::WaterfallOf(m, view.waterfall);
        if (w.levels.empty())
            return false;
        columns = {"Frequency [Hz]"};
        // On the response's scale: in dB SPL when the record is.
        const double offset = m.HasSpl() ? m.GetSplOffset() : 0.0;
        for (double t : w.timesMs)
            columns.push_back(Kedra::Text::FormatNumber(t) +
                              (m.HasSpl() ? " ms [dB SPL]" : " ms [dB]"));
        for (std::size_t k = 1; k < w.levels.front().size(); ++k) {
            std::vector<double> row = {k * w.hzPerBin};
            for (const std::vector<double>& slice : w.levels)
                row.push_back(slice[k] + offset);
            rows.push_back(std::move(row));
        }
        return exporter.ExportTable("Cumulative spectral decay", notes, columns, rows, path);
    }
    // The decay curves of the room's bands, from the start of the sound.
    const auto bands = Kedra::Measure::RoomAcousticsOf(m);
    if (bands.empty())
        return false;
    columns = {"Time [ms]"};
    std::size_t longest = 0;
    // In dB SPL each band's decay starts at the band's level at the microphone.
    const char* unit = m.HasSpl() ? " [dB SPL]" : " [dB]";
    for (const auto& b : bands) {
        columns.push_back(b.name + (b.midband > 0.0 ? " Hz" : "") + unit);
        longest = std::max(longest, b.decay.db.size());
    }
    // One line per millisecond is plenty for a curve that falls a few dB per ms at most.
    const int step = std::max(1, m.GetSamplerate() / 1000);
    for (std::size_t n = 0; n < longest; n += static_cast<std::size_t>(step)) {
        std::vector<double> row = {1000.0 * static_cast<double>(n) / m.GetSamplerate()};
        for (const auto& b : bands)
            row.push_back(n < b.decay.db.size()
                              ? b.decay.db[n] +
                                    (m.HasSpl() ? b.decay.startDb + m.GetSplOffset() : 0.0)
                              : std::numeric_limits<double>::quiet_NaN());
        rows.push_back(std::move(row));
    }
    return exporter.ExportTable("Room decay curves (backward integrated)", notes, columns, rows,
                                path);
}

} // namespace

bool MainCtrl::Action_Average(const std::vector<int>& slots, int into,
                              Kedra::Measure::AverageMode mode, bool align) {
    std::vector<Measurement*> inputs;
    for (int slot : slots) {
        Measurement* m = Slot(slot);
        if (m == nullptr || !m->IsInitialized()) {
            frontEnd_.ShowMessage(MessageKind::Warning, "Sonvel Warning",
                                  "Slot " + std::to_string(slot) + " holds no measurement");
            return false;
        }
        inputs.push_back(m);
    }
    if (Slot(into) == nullptr || inputs.size() < 2) {
        frontEnd_.ShowMessage(MessageKind::Warning, "Sonvel Warning",
                              "Averaging needs two filled slots and a slot for the result");
        return false;
    }
    auto result = std::make_unique<Measurement>(Slot(into)->GetLabel());
    if (!Kedra::Measure::Average(inputs, mode, align, *result))
        return Refuse(frontEnd_, "The measurements could not be averaged: they need the same "
                                 "sample rate");
    // Levels that all read dB SPL through the same reference average to dB SPL; any other
    // mix has no one level scale.
    const Measurement& first = *inputs.front();
    const bool oneReference = std::all_of(inputs.begin(), inputs.end(), [&](const Measurement* m) {
        return m->HasSpl() && std::fabs(m->GetSplOffset() - first.GetSplOffset()) < 0.005;
    });
    if (oneReference)
        result->SetSpl(first.GetSplOffset(), first.GetSplReference());
    return PlaceResult(into, std::move(result));
}

bool MainCtrl::Action_EqPrediction(int slot, int into,
                                   const std::vector<Kedra::Filter::EqFilter>& filters,
                                   double rate) {
    Measurement* m = Slot(slot);
    if (m == nullptr || !m->IsInitialized())
        return Refuse(frontEnd_, "Slot " + std::to_string(slot) + " holds no measurement");
    if (Slot(into) == nullptr)
        return Refuse(frontEnd_, "There is no slot " + std::to_string(into));
    auto result = std::make_unique<Measurement>();
    if (!Kedra::Filter::PredictEqualised(*m, filters, rate, *result))
        return Refuse(frontEnd_, "The equalised response could not be made (see the log file)");
    return PlaceResult(into, std::move(result));
}

bool MainCtrl::Action_Export(int slot, const std::string& kind, const std::string& path,
                             const ViewSettings& view, const ExportChoices& choices) {
    Measurement* m = Slot(slot);
    std::string problem;
    if (m == nullptr || !m->IsInitialized()) {
        problem = "slot ";
        problem += std::to_string(slot);
        problem += " holds no measurement";
    } else if (kind == "distortion" && m->GetHDSize() < 1) {
        problem = DISTORTION_MISSING;
    } else if ((kind == "response" || kind == "cal") &&
               (choices.fromHz < 0.0 || choices.fromHz >= m->GetSamplerate() / 2.0 ||
                (choices.toHz > 0.0 && choices.toHz <= choices.fromHz))) {
        const std::string top = std::to_string(m->GetSamplerate() / 2);
        problem = "nothing to export from " + Kedra::Text::FormatNumber(choices.fromHz) + " to " +
                  (choices.toHz > 0.0 ? Kedra::Text::FormatNumber(choices.toHz) : top) +
                  " Hz: the measurement covers 0 to " + top + " Hz";
    } else {
        bool ok = false;
        Kedra::Measure::MeasurementExporter exporter = ConfiguredExporter();
        exporter.format = choices.oneLine ? 1 : 0;
        exporter.sampleNumbers = choices.sampleNumbers;
        if (kind == "response") {
            const double top = m->GetNHalf() * m->GetHzPerBin();
            ok = exporter.Export(*m, path, choices.fromHz, choices.toHz > 0.0 ? choices.toHz : top);
        } else if (kind == "impulse") {
            ok = exporter.ExportImpulse(*m, path, -m->GetNHalf(), m->GetNHalf() - 1);
        } else if (kind == "wave") {
            ok = Kedra::WaveImExport::ImpulseWaveExport(
                *m, path, -m->GetNHalf(), m->GetNHalf() - 1, true,
                Kedra::WaveImExport::NumberToWaveFormat(Conf::Options::Field.Misc.WaveFormat));
        } else if (kind == "cal") {
            // The response as the correction a calibration file carries; the full range
            // starts where a calibration file may start.
            Kedra::Measure::Calibrator cal;
            ok = cal.Import(*m, choices.fromHz > 0.0 ? choices.fromHz : 1.0,
                            choices.toHz > 0.0 ? choices.toHz : m->GetSamplerate() / 2.0) &&
                 cal.Save(path);
        } else if (kind == "distortion") {
            ok = ExportDistortion(*m, path);
        } else if (kind == "groupdelay" || kind == "etc" || kind == "waterfall" ||
                   kind == "decay") {
            ok = ExportView(*m, kind, path, ConfiguredExporter(), view);
        } else {
            problem = "there is no export of kind ";
            problem += kind;
        }
        if (ok)
            return true;
        if (problem.empty()) {
            problem = "could not export to ";
            problem += path;
            problem += " (see the log file)";
        }
    }
    frontEnd_.ShowMessage(MessageKind::Error, "Sonvel Warning", problem);
    return false;
}

bool MainCtrl::Action_Import(int slot, const std::string& path, bool impulse, int sampleRate,
                             bool withPhase) {
    if (Slot(slot) == nullptr)
        return Refuse(frontEnd_, "There is no slot " + std::to_string(slot) + " to import into");
    // Read into a record of its own: a file that fails leaves the slot as it was.
    auto fresh = std::make_unique<Measurement>(
        Keeps(slot) ? Kedra::Measure::MeasurementList::EmptyLabel(slot) : Slot(slot)->GetLabel());
    Measurement* m = fresh.get();
    bool ok;
    std::string why;
    if (Kedra::WaveImExport::FileLooksLikeAudio(path) || impulse) {
        Kedra::Measure::ImpulseImporter im;
        im.samplerate = sampleRate;
        ok = Kedra::WaveImExport::FileLooksLikeAudio(path) ? im.ImportWave(*m, path)
                                                           : im.ImportText(*m, path);
        why = im.GetWaveError();
        if (ok && im.WasTruncated())
            frontEnd_.ShowMessage(MessageKind::Information, "Sonvel",
                                  "The impulse was longer than " +
                                      std::to_string(Kedra::Measure::ImpulseImporter::MAX_SAMPLES) +
                                      " samples; the rest was left out");
    } else {
        Kedra::Measure::MeasurementImporter im;
        im.samplerate = sampleRate;
        im.importPhase = withPhase;
        ok = im.Import(*m, path);
    }
    // The text importers answer only yes or no; what they refuse is one of two things.
    if (!ok && why.empty())
        why = !std::ifstream(path) ? "the file cannot be read"
              : impulse            ? "it holds no sample lines (lines that start with a number)"
                                   : "it holds no lines of a frequency (0 to " +
                              std::to_string(sampleRate / 2) + " Hz) and a level in dB";
    if (!ok)
        return Refuse(frontEnd_, "Could not import " + path +
                                     (why.empty() ? " (see the log file)" : ": " + why));
    if (m->GetLabel().rfind("Empty", 0) == 0)
        m->SetLabel(fs::path(path).stem().string());
    return PlaceResult(slot, std::move(fresh));
}

int MainCtrl::Action_StoreSpectrum(int slot, const StoredSpectrum& spectrum) {
    if (slot < 0)
        slot = FirstEmptySlot();
    if (slot < 0) {
        Refuse(frontEnd_,
               "Every slot holds a measurement: choose the slot to store the spectrum in");
        return -1;
    }
    if (Slot(slot) == nullptr) {
        Refuse(frontEnd_, "There is no slot " + std::to_string(slot) + " to store the spectrum in");
        return -1;
    }
    auto fresh = std::make_unique<Measurement>(spectrum.label);
    Kedra::Measure::MeasurementImporter im;
    im.samplerate = spectrum.sampleRate;
    if (!im.ImportPoints(*fresh, spectrum.hz, spectrum.db, spectrum.label)) {
        Refuse(frontEnd_, "Could not store the spectrum: it holds no levels from 0 Hz to half "
                          "the sample rate (see the log file)");
        return -1;
    }
    fresh->SetLabel(spectrum.label);
    fresh->PostInitSetDateNow();
    if (spectrum.spl)
        fresh->SetSpl(spectrum.spl->Offset(), spectrum.spl->Describe());
    return PlaceResult(slot, std::move(fresh)) ? slot : -1;
}

int MainCtrl::FirstEmptySlot() {
    for (int i = 0; i < list_->GetSize(); ++i)
        if (!list_->No(i)->IsInitialized())
            return i;
    return -1;
}

bool MainCtrl::Action_StoreTransferFunction(int slot, const std::vector<std::complex<double>>& bins,
                                            int sampleRate, const std::string& label) {
    if (Slot(slot) == nullptr)
        return Refuse(frontEnd_, "There is no slot " + std::to_string(slot) + " to store into");
    const int half = static_cast<int>(bins.size()) - 1;
    auto fresh = std::make_unique<Measurement>(label);
    if (half >= 1)
        fresh->InitializeFreq(bins.data(), half, sampleRate, half, 0, 0.0, 0.0, true);
    if (!fresh->IsInitialized())
        return Refuse(frontEnd_, "The transfer function could not be stored: it needs a power of "
                                 "two of bins at a sample rate above 0");
    fresh->PostInitSetOffset(0.0);
    fresh->PostInitSetDateNow();
    return PlaceResult(slot, std::move(fresh));
}

bool MainCtrl::Action_AnalyzeFile(int slot, const std::string& recordingPath,
                                  const std::string& referencePath) {
    if (Slot(slot) == nullptr)
        return Refuse(frontEnd_, "There is no slot " + std::to_string(slot) + " to measure into");
    // Analysed into a record of its own, placed (the keep rule first) only when it succeeded.
    auto fresh = std::make_unique<Measurement>(
        Keeps(slot) ? Kedra::Measure::MeasurementList::EmptyLabel(slot) : Slot(slot)->GetLabel());
    Measurement* m = fresh.get();
    auto fail = [&](const std::string& why) {
        frontEnd_.ShowMessage(MessageKind::Error, "Sonvel Warning", why);
        return false;
    };
    Kedra::WaveImExport::WaveInfo info;
    float* recording = nullptr;
    std::string why;
    const int count = Kedra::WaveImExport::ArrayWaveImport(recordingPath, info, recording, &why);
    if (count <= 0)
        return fail("The recording " + recordingPath + " could not be read: " + why);
    float* reference = nullptr;
    int referenceCount = 0;
    if (!referencePath.empty()) {
        Kedra::WaveImExport::WaveInfo refInfo;
        referenceCount =
            Kedra::WaveImExport::ArrayWaveImport(referencePath, refInfo, reference, &why);
        if (referenceCount <= 0) {
            Mem::FreeArray(recording);
            return fail("The reference " + referencePath + " could not be read: " + why);
        }
    }
    // One NaN or infinity spreads through the whole correlation.
    const auto broken = [](const float* x, int n) {
        return std::count_if(x, x + n, [](float v) { return !std::isfinite(v); });
    };
    std::string brokenWhy;
    if (const auto b = broken(recording, count); b > 0)
        brokenWhy = "The recording " + recordingPath + " holds " + std::to_string(b);
    else if (const auto r = broken(reference, referenceCount); r > 0)
        brokenWhy = "The reference " + referencePath + " holds " + std::to_string(r);
    const bool ok =
        brokenWhy.empty() &&
        audio_->AnalyzeRecording(*m, recording, count, info.samplerate, reference, referenceCount);
    Mem::FreeArray(recording);
    if (reference != nullptr)
        Mem::FreeArray(reference);
    if (!brokenWhy.empty())
        return fail(brokenWhy + " samples that are not numbers (NaN or infinite); nothing was "
                                "analysed");
    // The audio helper said why, the amplitude verdict too: a silent recording has no
    // response and no time offset to keep.
    if (!ok || !audio_->LastVerdict().accepted)
        return false;
    if (m->GetLabel().rfind("Empty", 0) == 0)
        m->SetLabel(fs::path(recordingPath).stem().string());
    return PlaceResult(slot, std::move(fresh));
}

std::string MainCtrl::LoopbackConnectionText() {
    if (!audio_->ApplyDevices(Conf::Options::Field))
        return {};
    StreamInitializer* stream = StreamInitializer::Get();
    const Conf::DevOptions& dev = Conf::Options::Field.Dev;
    // No channel chosen plays on the left one (as the measurement does).
    const int mask = dev.OutputChMask > 0 ? dev.OutputChMask : 1;
    std::string text = "Make a Loopback measurement.\n\nConnect the Output of:\n";
    text += Kedra::PAudioII::GetDeviceName(stream->GetOutDevice(), true);
    text += " - " + OutputChannelNames(mask);
    text += "\n\nTo the Input of:\n";
    text += Kedra::PAudioII::GetDeviceName(stream->GetInDevice(), true);
    text += " - " + InputChannelName(dev.InputChannel);
    return text;
}

void MainCtrl::LoopbackBegin(LoopbackSession& session) {
    Conf::OptionsField& field = Conf::Options::Field;
    session.signal = field.Signal;
    session.analysis = field.Analysis;
    session.inputs = field.Dev.InputChannels;
    session.referenceInput = field.Dev.ReferenceInput;
    field.Dev.InputChannels.clear();
    field.Dev.ReferenceInput = -1;
    // Before the defaults below switch it off.
    session.micWasOn = audio_->MicCalibrator().IsActive();
    session.failures = 0;
    field.Signal = Conf::SignalOptions{};
    field.Signal.SignalType = 0;
    field.Signal.SignalLength = field.Dev.SamplerateNo > 1 ? 20 : 19;
    field.Signal.LogSweepStartFreq = 5.0;
    field.Analysis = Conf::AnalysisOptions{};
    field.Analysis.NormalizeTo0dB = true;
    field.Analysis.TimeZeroMethod = 0;
    field.Analysis.TimeZeroInterpolate = true;
    field.Analysis.ExtendToNyquist = false;
    audio_->SetTimeZeroLock(false, 0.0);
    audio_->ApplyOptions(field);
}

void MainCtrl::LoopbackBeforeMeasuring(const LoopbackSession& /*session*/, bool check) {
    if (!check)
        audio_->SetDacAdcCalibration(false);
    audio_->MicCalibrator().SetActive(false);
}

void MainCtrl::LoopbackAfterMeasuring(const LoopbackSession& session) {
    audio_->MicCalibrator().SetActive(session.micWasOn);
}

void MainCtrl::LoopbackBand(Measurement& a, double& fLow, double& fHigh, std::string& question) {
    a.SetLabel("DAC-ADC Loopback");
    const int fs = a.GetSamplerate();
    const int half = Kedra::Math::ToIntRound(0.5 * fs);
    a.SetImpulseWindowStart(-half, true);
    a.SetImpulseWindowLockStart(true);
    a.SetImpulseWindowEnd(half);
    a.SetImpulseWindowEnabled(true);
    const double* amp = a.GetA();
    const double limit = Kedra::Math::DBToAmplitude(-6.0);
    const int last = a.GetNBins() - 1;
    int upper = 1;
    for (int k = last; k >= 1; --k)
        if (amp[k] > limit) {
            upper = k;
            break;
        }
    int lower = upper;
    for (int k = 1; k <= last; ++k)
        if (amp[k] > limit) {
            lower = k;
            break;
        }
    fLow = lower * a.GetHzPerBin();
    fHigh = upper * a.GetHzPerBin();
    question = "The measurement was valid within +/- 6dB\nFrom ";
    question += Kedra::Text::FormatFixed(fLow, 0);
    question += "Hz to ";
    question += Kedra::Text::FormatFixed(fHigh, 0);
    question += "Hz\nUse this measurement to generate DAC-ADC calibration?";
    SlotChanged(PresenterSlot(PRESENTER_A));
}

bool MainCtrl::LoopbackAccept(Measurement& a, double fLow, double fHigh) {
    Kedra::Measure::Calibrator& cal = audio_->DacAdcCalibrator();
    if (!cal.Import(a, fLow, fHigh) || !cal.Save(Conf::FilePath(CAL_DACADC_FILENAME)))
        return false;
    audio_->SetDacAdcCalibration(true);
    return true;
}

void MainCtrl::LoopbackChecked(Measurement& b, const Measurement& a) {
    b.SetLabel("DAC-ADC Loopback Calibrated");
    b.CopyImpulseWindowFrom(a);
    SlotChanged(PresenterSlot(PRESENTER_B));
}

void MainCtrl::LoopbackEnd(const LoopbackSession& session) {
    Conf::OptionsField& field = Conf::Options::Field;
    const bool dacAdcOn = audio_->DacAdcCalibrator().IsActive();
    field.Signal = session.signal;
    field.Analysis = session.analysis;
    field.Dev.InputChannels = session.inputs;
    field.Dev.ReferenceInput = session.referenceInput;
    field.Analysis.DacAdcCalibration = dacAdcOn;
    field.Analysis.MicCalibration = audio_->MicCalibrator().IsActive();
    audio_->ApplyOptions(field);
    audio_->NotifyCalibration();
}

bool MainCtrl::Action_CalDacAdcMake() {
    const std::string connect = LoopbackConnectionText();
    if (connect.empty() || !frontEnd_.AskOkCancel("Measure Loopback now?", connect))
        return false;
    LoopbackSession session;
    LoopbackBegin(session);
    bool done = false;
    bool result = false;
    while (!done) {
        LoopbackBeforeMeasuring(session);
        Measurement* a = Presenter(PRESENTER_A);
        bool measured = false;
        if (a != nullptr) {
            std::unique_ptr<Measurement> fresh = PrepareMeasurement(PresenterSlot(PRESENTER_A));
            // Not to be measured over: said why (or cancelled), nothing to try again.
            if (!fresh) {
                LoopbackAfterMeasuring(session);
                break;
            }
            measured = MeasureDetached(*fresh, "A - Loopback") &&
                       PlaceMeasurement(PresenterSlot(PRESENTER_A), std::move(fresh));
            a = Presenter(PRESENTER_A);
        }
        LoopbackAfterMeasuring(session);
        if (!measured) {
            // A front end that answers every question with yes would otherwise retry forever.
            if (++session.failures >= MAX_LOOPBACK_TRIES) {
                frontEnd_.ShowMessage(MessageKind::Error, "Sonvel Warning",
                                      "The loopback measurement failed " +
                                          std::to_string(session.failures) +
                                          " times; no calibration made");
                break;
            }
            // The measurement has said why, when it knows; then the reason is not unknown.
            const bool told = a != nullptr && !audio_->GetResponse().failure.empty();
            done = !frontEnd_.AskYesNo("Sonvel", told ? "Measurement failed.\nTry again?"
                                                      : "Measurement failed. for Unknown "
                                                        "reason\nTry again?");
            continue;
        }
        double fLow = 0.0, fHigh = 0.0;
        std::string question;
        LoopbackBand(*a, fLow, fHigh, question);
        if (frontEnd_.AskYesNo("Sonvel", question)) {
            if (LoopbackAccept(*a, fLow, fHigh)) {
                Measurement* b = Presenter(PRESENTER_B);
                if (b != nullptr && b != a) {
                    const int slot = PresenterSlot(PRESENTER_B);
                    LoopbackBeforeMeasuring(session, true);
                    std::unique_ptr<Measurement> fresh = PrepareMeasurement(slot);
                    const bool checked = fresh && MeasureDetached(*fresh, "B - Loopback") &&
                                         PlaceMeasurement(slot, std::move(fresh));
                    LoopbackAfterMeasuring(session);
                    if (checked)
                        LoopbackChecked(*Presenter(PRESENTER_B), *a);
                }
                const bool enable =
                    frontEnd_.AskYesNo("Sonvel", "Enable this DAC-ADC calibration?");
                audio_->SetDacAdcCalibration(enable);
                result = true;
            }
            done = true;
        } else {
            done = !frontEnd_.AskOkCancel("Sonvel", "Measure Loopback again?");
        }
    }
    LoopbackEnd(session);
    return result;
}

} // namespace Kedra::Sonvel
