#pragma once
// The real-time analyser: the input's 1/1 or 1/3-octave bands from the filter bank (F, S or
// Leq per band), 1/6 .. 1/48-octave bands or the bins of the FFT analyser, as bars or a line
// with the peak hold beside, in dB SPL where the input has an SPL reference, else dBFS.
// "Store" keeps the spectrum shown as a record in a slot of the list. It pauses while a
// sweep measures and resumes after.
//
// Threads: the window lives on the GUI thread. The analysis runs on its LiveThread, which
// publishes the readings under `shared_.mutex` every PUBLISH_SECONDS; the window's timer
// copies them from there, so the GUI thread never analyses and never waits on audio.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "app/SplReference.h"
#include "gui/LiveWindow.h"
#include "live/LiveThread.h"
#include "live/RtaAnalysis.h"

class QDoubleSpinBox;
class QCustomPlot;
class QCPBars;
class QCPGraph;

namespace Kedra::Sonvel::Gui {

class RtaWindow : public LiveWindow {
    Q_OBJECT
public:
    static constexpr int REFRESH_MS = 50;
    static constexpr double PUBLISH_SECONDS = 0.02;
    static constexpr double MIN_HZ = 20.0;
    static constexpr double MAX_HZ = 20000.0;
    // The resolution choices, in the order of the box.
    enum Resolution { Octave, Third, Sixth, Twelfth, TwentyFourth, FortyEighth, Bins };
    enum class Style { Bars, Line };

    RtaWindow(MainCtrl& ctrl, GuiFrontEnd& front, MainWindow& main);
    ~RtaWindow() override;
    // The one analyser of `main`, made on first use, shown, raised and listening.
    static RtaWindow* Open(MainCtrl& ctrl, GuiFrontEnd& front, MainWindow& main) {
        return OpenOne<RtaWindow>(ctrl, front, main);
    }

    // Listens on the options' input (or the simulated card) with the window's settings.
    // False, with the reason in the window, when there is no input or the settings do not
    // suit its rate.
    bool StartAnalysis() { return Start(); }
    void StopAnalysis() { Stop(); }
    bool Analysing() const { return thread_.Running(); }
    void ResetPeaks();
    // Stores the spectrum shown; the slot it went to, or -1 (the controller said why).
    int Store();

    // The settings, as the boxes hold them.
    void SetResolution(Resolution r);
    void SetLevel(Kedra::Live::RtaLevel level);
    void SetWeighting(Kedra::Live::Weighting weighting);
    void SetStyle(Style style);
    // FFT bins' size; FIFO frames, exponential seconds or infinite averaging; the window.
    void SetFftSize(int size);
    void SetAverage(Kedra::Live::RtaAverage average, int fifoFrames, double seconds);
    void SetFftWindow(Kedra::Live::RtaWindow window);
    // -1: the first empty slot.
    void SetStoreSlot(int slot);

    // What the window shows, for tests: the readings as drawn (dB SPL or dBFS).
    const std::vector<Kedra::Live::RtaReading>& Shown() const { return shown_; }
    // The reading whose band (or bin) lies nearest `hz` on the log axis, as the cursor reads it.
    QString ReadoutAt(double hz) const;
    // The label a stored record gets: "RTA 1/3 oct, A, Leq".
    QString StoreLabel() const;
    QString UnitLabel() const;
    QString NoteText() const;
    QCustomPlot* Plot() const { return plot_; }

protected:
    bool StartListening() override;
    void StopListening() override;
    bool Listening() const override { return Analysing(); }
    void Refresh() override;

private:
    struct Shared {
        std::mutex mutex;
        std::vector<Kedra::Live::RtaReading> readings;
        unsigned long long published = 0;
    };

    void Draw();
    void SettingsChanged();
    void EnableBoxes();
    void ShowUnit();
    void UpdateBarWidth();
    Kedra::Live::RtaChoice Choice() const;
    bool UsesBank() const;

    Kedra::Live::LiveThread thread_;
    // Touched by the analysis thread while it runs; by the window only when it is stopped.
    std::unique_ptr<Kedra::Live::WeightedRta> rta_;
    Shared shared_;
    std::atomic<bool> resetPeaks_{false};
    std::atomic<int> level_{static_cast<int>(Kedra::Live::RtaLevel::Leq)};
    unsigned long long seen_ = 0;
    std::vector<Kedra::Live::RtaReading> readings_; // dBFS, as last published
    std::vector<Kedra::Live::RtaReading> shown_;    // as drawn
    int sampleRate_ = 0;
    std::optional<SplReference> spl_;
    Kedra::Live::Weighting weighting_ = Kedra::Live::Weighting::Z; // the one applied
    int lastRangeRows_ = -1;

    QComboBox* resolution_ = nullptr;
    QComboBox* fftSize_ = nullptr;
    QComboBox* levelBox_ = nullptr;
    QComboBox* average_ = nullptr;
    QLabel* averageOf_ = nullptr;
    QSpinBox* fifo_ = nullptr;
    QDoubleSpinBox* seconds_ = nullptr;
    QComboBox* window_ = nullptr;
    QComboBox* weightingBox_ = nullptr;
    QComboBox* style_ = nullptr;
    QSpinBox* slot_ = nullptr;
    QPushButton* reset_ = nullptr;
    QPushButton* store_ = nullptr;
    QLabel* stored_ = nullptr;
    QLabel* note_ = nullptr;
    QLabel* readout_ = nullptr;
    QCustomPlot* plot_ = nullptr;
    QCPBars* bars_ = nullptr;
    QCPGraph* line_ = nullptr;
    QCPGraph* peaks_ = nullptr;
};

} // namespace Kedra::Sonvel::Gui
