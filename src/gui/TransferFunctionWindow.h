#pragma once
// The live dual-channel transfer function: a reference input (what goes into the system) against
// a measurement input (what comes out), as magnitude, phase (the delay removed) and coherence.
// The magnitude is greyed where the coherence is under the threshold the user sets, and dashed
// where it has none yet. The delay is found by itself at the start, on "Find delay", and again
// when the coherence stays low. The window can play pink noise on the measuring outputs as the
// programme, or leave the programme to an outside source (music). "Store" keeps the transfer
// function as a measurement in a slot. It pauses while a sweep measures and resumes after.
//
// Threads: the window lives on the GUI thread. The analysis (and the delay finder) runs on its
// LiveThread, which publishes a snapshot under `shared_.mutex` every PUBLISH_SECONDS; the
// window's timer copies it from there.

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "gui/LiveWindow.h"
#include "live/LiveThread.h"
#include "live/TfSession.h"

class QDoubleSpinBox;
class QCustomPlot;
class QCPGraph;
class QCPItemStraightLine;

namespace Kedra::Sonvel::Gui {

class TransferFunctionWindow : public LiveWindow {
    Q_OBJECT
public:
    static constexpr int REFRESH_MS = 50;
    static constexpr double PUBLISH_SECONDS = 0.05;
    static constexpr double MIN_HZ = 20.0;
    static constexpr double MAX_HZ = 20000.0;
    static constexpr double DEFAULT_THRESHOLD = 0.5;
    enum class Program { PinkNoise, None };

    TransferFunctionWindow(MainCtrl& ctrl, GuiFrontEnd& front, MainWindow& main);
    ~TransferFunctionWindow() override;
    // The one transfer function window of `main`, made on first use, shown, raised, listening.
    static TransferFunctionWindow* Open(MainCtrl& ctrl, GuiFrontEnd& front, MainWindow& main) {
        return OpenOne<TransferFunctionWindow>(ctrl, front, main);
    }

    // Listens on the two inputs with the window's settings; false, with the reason in the
    // window, when it cannot.
    bool StartAnalysis() { return Start(); }
    void StopAnalysis() { Stop(); }
    bool Analysing() const { return thread_.Running(); }
    // The delay searched again from the next two seconds on.
    void FindDelay();
    // Stores the transfer function shown; the slot it went to, or -1 (and why, in the window).
    int Store();

    // The settings, as the boxes hold them (inputs from 1).
    void SetInputs(int reference, int measurement);
    // 3 .. 48 bands per octave, or 0 and a fixed FFT length.
    void SetResolution(int bandsPerOctave, int fftSize = 0);
    void SetAverage(Kedra::Live::TfAverage average, double seconds);
    void SetProgram(Program program);
    void SetThreshold(double coherence);
    void SetStoreSlot(int slot);

    // What the window shows, for tests.
    const std::vector<Kedra::Live::TfPoint>& Shown() const { return points_; }
    // The delay the readings are taken with (the last one found).
    bool DelayFound() const { return aligned_; }
    double DelayMs() const { return sampleRate_ > 0 ? 1000.0 * delayInUse_ / sampleRate_ : 0.0; }
    QString DelayText() const;
    QString ReadoutAt(double hz) const;
    QString StoreLabel() const;

protected:
    bool StartListening() override;
    void StopListening() override;
    bool Listening() const override { return Analysing(); }
    void Refresh() override;

private:
    struct Snapshot {
        std::vector<Kedra::Live::TfPoint> points;
        Kedra::Live::DelayResult delay;
        bool searching = true, aligned = false;
        double delayInUse = 0.0;
        int searches = 0, coherenceSearches = 0;
        double median = 0.0;
        long long segments = 0;
    };
    struct Shared {
        std::mutex mutex;
        Snapshot snapshot;
        unsigned long long published = 0;
    };

    void Draw();
    void SettingsChanged();
    void Play(bool on);
    Kedra::Live::TfSettings Settings() const;
    QCustomPlot* MakePlot(const QString& yLabel);
    // The magnitude's axis over the readings; false when there are none.
    bool FitMagnitude();

    Kedra::Live::LiveThread thread_;
    // Touched by the analysis thread while it runs; by the window only when it is stopped.
    std::unique_ptr<Kedra::Live::TfSession> session_;
    std::unique_ptr<Kedra::Live::PinkNoiseLoop> noise_;
    bool playing_ = false;
    Shared shared_;
    std::atomic<bool> findAgain_{false};
    std::atomic<double> threshold_{DEFAULT_THRESHOLD};
    unsigned long long seen_ = 0;
    std::vector<Kedra::Live::TfPoint> points_;
    Kedra::Live::DelayResult delay_;
    bool searching_ = true, aligned_ = false;
    double delayInUse_ = 0.0; // samples
    int coherenceSearches_ = 0;
    int sampleRate_ = 0;
    int reference_ = 0, measurement_ = 0; // as listened to, from 1
    std::vector<int> fftSizes_;
    QString settingsNote_;
    bool fitted_ = false;
    bool refinding_ = false;

    QSpinBox* refInput_ = nullptr;
    QSpinBox* measInput_ = nullptr;
    QComboBox* resolution_ = nullptr;
    QComboBox* average_ = nullptr;
    QDoubleSpinBox* seconds_ = nullptr;
    QComboBox* program_ = nullptr;
    QDoubleSpinBox* thresholdBox_ = nullptr;
    QSpinBox* slot_ = nullptr;
    QPushButton* find_ = nullptr;
    QPushButton* store_ = nullptr;
    QLabel* delayLabel_ = nullptr;
    QLabel* stored_ = nullptr;
    QLabel* readout_ = nullptr;
    QCustomPlot* magnitude_ = nullptr;
    QCustomPlot* phase_ = nullptr;
    QCustomPlot* coherence_ = nullptr;
    QCPGraph* magValid_ = nullptr;
    QCPGraph* magLow_ = nullptr;
    QCPGraph* magPending_ = nullptr;
    QCPGraph* phaseValid_ = nullptr;
    QCPGraph* phaseOther_ = nullptr;
    QCPGraph* coherenceLine_ = nullptr;
    QCPItemStraightLine* thresholdLine_ = nullptr;
};

} // namespace Kedra::Sonvel::Gui
