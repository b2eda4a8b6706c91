#pragma once
// The main controller: owns the measurement list with the presenters A, B, C (and the test
// signal's), runs start-up and shut-down, and turns user actions into engine calls. It talks
// to the user only through the front end. Window's thread only (the command line's main
// thread).

#include <complex>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analyze/LoudspeakerViews.h"
#include "app/AudioHelper.h"
#include "app/FrontEnd.h"
#include "app/OptionsField.h"
#include "app/SplReference.h"
#include "exchange/MeasurementExporter.h"
#include "filter/Equaliser.h"
#include "filter/MeasurementOperations.h"
#include "measure/Measurement.h"
#include "measure/MeasurementList.h"

namespace Kedra::Sonvel {

inline constexpr const char* AUTOSAVE_MEAS_FILENAME = "MeasAutosaved.zip";
inline constexpr const char* AUTOSAVE_MEAS_OBSOLETE = "MeasAutosaved.kdr";
inline constexpr const char* AUTOSAVE_MEAS_OBSOLETE_DIR = "AutosavedObsolete";
// Documents the help menu shows, installed with the program.
inline constexpr const char* CHANGELOG = "ChangeLog.txt";
inline constexpr const char* ISSUES = "Issues.txt";

inline constexpr const char* DISTORTION_MISSING =
    "that measurement holds no harmonic distortion data (it must be a logarithmic sweep)";

// What a loopback calibration set aside while it measures, so that its end can put it back.
struct LoopbackSession {
    Conf::SignalOptions signal;
    Conf::AnalysisOptions analysis;
    // The loopback is one input, whatever inputs the measurements record together.
    std::vector<int> inputs;
    int referenceInput = -1;
    bool micWasOn = false;
    int failures = 0;
};

// Settings of the derived views that exports and graphs share.
struct ViewSettings {
    Kedra::Measure::WaterfallSettings waterfall;
    double etcBandHz = 0.0; // octave band of the energy-time curve; 0 broadband
};

// What one text export chooses beyond the import/export options (the export dialog's choices).
struct ExportChoices {
    // Response: the range in Hz; `toHz` 0 or less is up to half the sample rate.
    double fromHz = 0.0;
    double toHz = 0.0;
    // Response: one line of (Freq, dB, phase) groups for circuit simulators.
    bool oneLine = false;
    // Impulse: a sample-number column in front.
    bool sampleNumbers = false;
};

// A spectrum a live analyser shows, to be kept as a record beside the measurements.
struct StoredSpectrum {
    std::vector<double> hz;
    std::vector<double> db; // dB re full scale (AES17: a full-scale sine reads 0 dB)
    int sampleRate = 48000; // the record's rate: its bins reach half of it
    std::string label;
    // The input's SPL reference, when the levels are to read dB SPL through it.
    std::optional<SplReference> spl;
};

// What a write into a filled slot does when no slot is empty to keep the earlier record in.
enum class ReplacePolicy { Ask, Replace, Refuse };

class MainCtrl {
public:
    static constexpr int SLOT_COUNT = 40;
    static constexpr int PRESENTER_A = 0;
    static constexpr int PRESENTER_B = 1;
    static constexpr int PRESENTER_C = 2;
    static constexpr int PRESENTER_SIGNAL = 3;
    // Failed loopback measurements in a row before the calibration gives up.
    static constexpr int MAX_LOOPBACK_TRIES = 5;

    explicit MainCtrl(FrontEnd& frontEnd);
    // Releases the engine's process-wide work areas and the audio library.
    ~MainCtrl();
    MainCtrl(const MainCtrl&) = delete;
    MainCtrl& operator=(const MainCtrl&) = delete;

    // Start-up without the event loop: options, the list (`path`, else the autosave, else an
    // obsolete autosave moved aside), options applied. False only when nothing could be
    // opened, which is not an error. An autosaved file that exists but cannot be read, wholly
    // or in part, is moved aside (the user is told where) before anything is written there.
    bool StartUp(const std::string& path);
    // False when start-up could not open every measurement of the package it opened.
    bool StartUpComplete() const { return startUpComplete_; }
    // Shut-down: stop the stream, autosave the options and the list. True when both saved.
    bool ShutDown();
    // After a ShutDown that failed: what was not autosaved and why, for the user; and whether
    // the measurements were (a failed options file alone loses no measurement).
    const std::string& AutosaveProblem() const { return autosaveProblem_; }
    bool ListAutosaved() const { return listAutosaved_; }
    // An exception reached the top: tell the user and autosave the same way.
    void Crashed(const std::string& what);

    Kedra::Measure::MeasurementList& List() { return *list_; }
    AudioHelper& Audio() { return *audio_; }
    FrontEnd& Front() { return frontEnd_; }
    // The slot a presenter shows; -1 for the signal presenter.
    int PresenterSlot(int presenter) const;
    // The record a presenter shows; for PRESENTER_SIGNAL the test signal's (SignalMeasurement).
    Kedra::Measure::Measurement* Presenter(int presenter);
    // The current test signal as a record: its waveform from time zero on, its spectrum as
    // it is (a unit impulse would read 0 dB). Rebuilt when the signal, its length or the
    // sample rate changed, unless `build` is false (while a measurement runs detached, which
    // owns the generators): then what was built last, or null.
    Kedra::Measure::Measurement* SignalMeasurement(bool build = true);
    // Switches a presenter's curve on (the front end told).
    void ShowPresenter(int presenter);

    // How the slots are drawn. Each record keeps whether it is shown and its colour; a record
    // from a package written before that was kept counts as shown when a presenter shows it.
    // A slot that receives a new record (measured, imported, an operation's result) is shown.
    static constexpr int PALETTE_SIZE = 16;
    // Slots 0, 1, 2 take the plot options' colours of A, B and C, the others colours of the
    // palette's own; it starts over every PALETTE_SIZE slots.
    static Conf::Color PaletteColour(int slot);
    bool SlotShown(int slot) const;
    void SetSlotShown(int slot, bool shown);
    // The colour the record in the slot was given, else the palette's.
    Conf::Color SlotColour(int slot) const;
    // The palette's own colour makes the slot follow the palette again.
    void SetSlotColour(int slot, Conf::Color colour);
    // The filled slots that are shown, in ascending order.
    std::vector<int> ShownSlots() const;
    // Exactly these of the filled slots shown, the others hidden (show only one, all, none).
    void SetShownSlots(const std::vector<int>& slots);
    // The options applied to the audio helper and the list.
    void ApplyOptions();

    bool Action_MeasStart(int presenter);
    // Action_MeasStart in three steps, so that a window can run the middle one on a worker
    // thread while it stays responsive. The worker measures into a record nothing else sees;
    // only the window's thread touches the list. While MeasureDetached runs, nothing else
    // may use the audio helper, the options' device, signal and analysis sections, or the
    // list's record in that slot may be shown but not placed over.
    // The slot a presenter (A, B, C) measures into; -1 for another presenter.
    int MeasurementSlot(int presenter) const;
    // A copy of the slot's record to measure into (label and view kept); null and a message
    // when there is no such slot.
    std::unique_ptr<Kedra::Measure::Measurement> PrepareMeasurement(int slot);
    // Any one thread at a time: the measurement itself.
    bool MeasureDetached(Kedra::Measure::Measurement& fresh, const std::string& name);
    // Where the last measurement of several inputs (Dev.InputChannels) put each: (input,
    // slot), the first input's first; empty after a measurement of one input.
    const std::vector<std::pair<int, int>>& PlacedInputs() const { return placedInputs_; }
    // Window's thread: the measured record into its slot (the keep rule first), and the front
    // end told. False when nothing was placed.
    bool PlaceMeasurement(int slot, std::unique_ptr<Kedra::Measure::Measurement> fresh);

    // The keep rule, which every writer into a slot (measuring, import, analysing a recording,
    // an operation's result) calls before it writes: when the slot holds a measurement and
    // Misc.KeepReplacedMeasurements is on, that record moves whole to KeepSlotFor(slot) and
    // the user is told where. With no slot empty the replace policy decides. False: nothing
    // may be written (refused and said why, or the user cancelled).
    bool MakeRoom(int slot);
    // Where MakeRoom moves the record of `slot`: the first empty slot that no presenter shows,
    // else the first empty one; -1 when none is empty.
    int KeepSlotFor(int slot);
    // The front end's choice; `howToReplace` completes the refusal ("Clear a slot first" ...),
    // e.g. ", or give --replace to replace it".
    void SetReplacePolicy(ReplacePolicy policy, const std::string& howToReplace = {});
    ReplacePolicy GetReplacePolicy() const { return replacePolicy_; }
    // How often the user answered Cancel to replacing a measurement that could not be kept;
    // compared around an action, it tells a cancel (nothing to say) from a refusal.
    int ReplaceDeclines() const { return declines_; }
    // Shows `slot` in a presenter (A, B, C); kept in the options.
    void SetPresenterSlot(int presenter, int slot);
    // Later measurements take the time zero of the last one instead of finding their own.
    // Usable once a measurement succeeded in this session; false (and a message) before.
    bool SetTimeZeroLock(bool locked);
    bool TimeZeroLockUsable() const { return timeZeroLockUsable_; }
    bool Action_OpenFile(const std::string& path);
    bool Action_OpenAppendFile(const std::string& path);
    bool Action_SaveFile(const std::string& path, bool asWave);
    void Action_ClearMeasurements();
    // Empties one slot (its record reset, its label "Empty n").
    bool Action_ClearSlot(int slot);
    // Gives a slot's record a new label (surrounding blanks dropped); the list and the
    // presenters showing it are told.
    bool Action_Rename(int slot, const std::string& label);
    void Action_Rearange();
    bool Action_DragAndDrop(const std::string& path);
    // C = A op B, op one of "-", "+", "/", "*".
    bool Action_MeasOperationABC(const std::string& op);
    // B = 1/A.
    bool Action_MeasOperationAB();
    // 0: A to B, 1: A to C, 2: A's window to B, 3: A's window to B and C.
    bool Action_MeasCopyABC(int what);
    bool Action_AReset();
    bool Action_AbcStitch(double fc, double bw, bool matchTime);
    // The live variants (a dialog's Apply): while C holds the result the last stitch or fit
    // made, it is recomputed in place; otherwise they are Action_AbcStitch and Action_QBox.
    bool Action_AbcStitchUpdate(double fc, double bw, bool matchTime);
    bool Action_QBoxUpdate(double f1, double f2);
    bool Action_MatchAToB(double fc, double bw, bool matchTime);
    bool Action_QBox(double f1, double f2);
    bool Action_AbcCalib();
    void Action_OptionsReset();
    bool Action_OptionsLoad(const std::string& path);
    bool Action_OptionsSave(const std::string& path);
    bool Action_CalDacAdcMake();
    // Action_CalDacAdcMake in steps, so that a window can measure between them on a worker
    // thread and ask its questions without blocking:
    // the text telling the user what to connect (empty and a message when the devices are
    // not there);
    std::string LoopbackConnectionText();
    // the loopback settings in place of the signal and analysis options;
    void LoopbackBegin(LoopbackSession& session);
    // both calibrations off for the measurement (for the check, only the microphone's: a
    // loopback has no microphone); afterwards the microphone's state back;
    void LoopbackBeforeMeasuring(const LoopbackSession& session, bool check = false);
    void LoopbackAfterMeasuring(const LoopbackSession& session);
    // A's label and window set, and the band where it lies within +/- 6 dB; the question
    // asked about it into `question`;
    void LoopbackBand(Kedra::Measure::Measurement& a, double& fLow, double& fHigh,
                      std::string& question);
    // the calibration made from A over the band, saved and switched on;
    bool LoopbackAccept(Kedra::Measure::Measurement& a, double fLow, double fHigh);
    // the check measurement B named and given A's window;
    void LoopbackChecked(Kedra::Measure::Measurement& b, const Kedra::Measure::Measurement& a);
    // the signal and analysis options back, with the calibrations' states kept.
    void LoopbackEnd(const LoopbackSession& session);
    bool Action_MinimumPhase(int slot, bool causal);
    // Measures into `slot` from a recorded wave file, played signal from `referencePath` or
    // the current test signal when that is empty.
    bool Action_AnalyzeFile(int slot, const std::string& recordingPath,
                            const std::string& referencePath);

    // Writes a slot's record: kind "response" or "impulse" (text, the import/export options),
    // "wave" (the impulse, the options' wave format), "cal" (a calibration file from 20 Hz
    // to half the sample rate), "distortion" (the harmonic rows in
    // dB), "groupdelay", "etc", "waterfall" or "decay" (the room's decay curves; tables in
    // the import/export options' separators). False and a message when the slot is empty or the
    // file cannot be written.
    bool Action_Export(int slot, const std::string& kind, const std::string& path,
                       const ViewSettings& view = {}, const ExportChoices& choices = {});
    // Reads a response text (FRD and the like; with its phase column when `withPhase`) or an
    // impulse (text when `impulse`, or a wave, FLAC or AIFF file) into `slot`, at `sampleRate`
    // where the file does not say it. An empty slot takes the file's name as label. A failure
    // is told to the front end with its reason.
    bool Action_Import(int slot, const std::string& path, bool impulse, int sampleRate,
                       bool withPhase);
    // Keeps a live spectrum in `slot` (-1: the first empty one) as a magnitude-only record
    // built as an imported response is, labelled, in dB SPL when it has a reference, and
    // shown; the keep rule first. The slot it went to, or -1 and a message.
    int Action_StoreSpectrum(int slot, const StoredSpectrum& spectrum);
    // The first empty slot; -1 when all are filled.
    int FirstEmptySlot();
    // A transfer function into `slot` (the keep rule first) as a measurement labelled `label`:
    // `bins` are the n/2 + 1 bins (n a power of two) of its impulse with time zero at the
    // centre. False and a message when nothing was stored.
    bool Action_StoreTransferFunction(int slot, const std::vector<std::complex<double>>& bins,
                                      int sampleRate, const std::string& label);

    // `into` = the average of the slots' responses.
    bool Action_Average(const std::vector<int>& slots, int into, Kedra::Measure::AverageMode mode,
                        bool align);

    // `into` = slot `slot` through the equaliser's filters running at `rate` (0: the
    // record's rate); the keep rule first.
    bool Action_EqPrediction(int slot, int into,
                             const std::vector<Kedra::Filter::EqFilter>& filters, double rate);

    // A text exporter set up from the import/export options.
    Kedra::Measure::MeasurementExporter ConfiguredExporter() const;

    // The last Q, fc and gain of a closed-box fit.
    double LastQ() const { return q_; }
    double LastFc() const { return fc_; }
    double LastGain() const { return gain_; }

private:
    // True only when every measurement of the package was opened; the list may have changed
    // also when false (some opened, the others named in the message).
    // The presenters go back to slots 0, 1, 2 unless `keepSlots` (the autosave holds the
    // list they were chosen on).
    bool OpenList(const std::string& path, bool append, bool reportFailure,
                  Kedra::Measure::OpenReport* report = nullptr, bool keepSlots = false);
    // Moves an autosaved file that failed to load out of the way and tells the user; when it
    // cannot be moved, it is not autosaved over (false).
    void ReportPartialOpen(const std::string& path, const Kedra::Measure::OpenReport& r);
    bool SetAside(const std::string& path, const std::string& tag, const std::string& problem);
    void SetAsideUnreadOptions();
    void ResetSlotNumbers();
    // The front end told what changed: a slot's record (and the presenters showing it), or
    // everything.
    void SlotChanged(int slot);
    void AllChanged();
    // The slot's record is new: it is shown (the front end learns it from SlotChanged).
    void Received(int slot);
    // Records read without a shown flag take the one of the presenters' time.
    void DecideUnknownShown();
    bool Changed(bool ok, int slot);
    bool MeasureInto(int slot, const std::string& name);
    // Whether a write may go over `slot` when MakeRoom finds no empty slot (the policy asked
    // now); true also when nothing would be lost.
    bool MayReplace(int slot);
    bool MakeRoom(int slot, bool agreed);
    bool Keeps(int slot);
    // "A" when a presenter shows the slot, else "slot 7".
    std::string SlotName(int slot) const;
    bool PresenterShows(int slot) const;
    // The record written into the slot after the keep rule.
    bool PlaceResult(int slot, std::unique_ptr<Kedra::Measure::Measurement> fresh);
    bool AbcStitch(double fc, double bw, bool matchTime, bool update);
    bool QBox(double f1, double f2, bool update);
    // The results a live update may recompute in place.
    enum class LiveResult { None, Stitch, QBox };
    // Whether `slot` still holds the record the last `kind` wrote there.
    bool HoldsOwnResult(int slot, LiveResult kind);
    void RememberOwnResult(int slot, LiveResult kind);
    Kedra::Measure::Measurement* Slot(int slot);
    bool BothFilled(Kedra::Measure::Measurement* a, Kedra::Measure::Measurement* b);

    FrontEnd& frontEnd_;
    std::unique_ptr<Kedra::Measure::MeasurementList> list_;
    std::unique_ptr<AudioHelper> audio_;
    bool startUpComplete_ = true;
    // Files that failed to load and could not be moved aside: not written over.
    bool keepOptionsFile_ = false;
    bool keepAutosave_ = false;
    std::string autosaveProblem_;
    bool listAutosaved_ = true;
    int appliedRateNo_ = -1;
    bool timeZeroLockUsable_ = false;
    std::unique_ptr<Kedra::Measure::Measurement> signal_;
    Conf::SignalOptions signalFrom_;
    int signalRate_ = 0;
    ReplacePolicy replacePolicy_ = ReplacePolicy::Ask;
    std::string howToReplace_;
    int declines_ = 0;
    std::vector<std::pair<int, int>> placedInputs_;
    // The record whose replacing the user agreed to before it was measured.
    const Kedra::Measure::Measurement* agreed_ = nullptr;
    int ownResultSlot_ = -1;
    const Kedra::Measure::Measurement* ownResult_ = nullptr;
    LiveResult ownResultKind_ = LiveResult::None;
    double q_ = 0.707;
    double fc_ = 50.0;
    double gain_ = 1.0;
};

} // namespace Kedra::Sonvel
