#pragma once
// The sound level meter window: LxF, LxS and Lxeq in large figures, LxF as a bar with its
// maximum held, the maxima, SEL and LCpeak, an overload light that stays lit until "Reset",
// the levels of the last minutes as a graph, and logging to CSV with the command line's
// columns. Like the level meter it lets go of the stream while a sweep measures.
//
// Threads: the meter runs on a LiveThread of its own; the window polls a snapshot of it with
// a timer (GUI thread) and writes the log's rows there. The two meet only under Feed's mutex.

#include <QElapsedTimer>
#include <QFile>
#include <deque>
#include <memory>

#include "gui/LiveWindow.h"
#include "live/FrequencyWeighting.h"
#include "live/LiveThread.h"

class QCustomPlot;
class QDoubleSpinBox;

namespace Kedra::Sonvel::Gui {

class SlmBar;

class SoundLevelMeterWindow : public LiveWindow {
    Q_OBJECT
public:
    static constexpr int REFRESH_MS = 100;
    // What the graph keeps, at most HISTORY_SECONDS * 1000 / REFRESH_MS points a curve, and the
    // spans it shows of that: a few minutes, so that a change stands out against what came
    // before.
    static constexpr double HISTORY_SECONDS = 900.0;
    static constexpr double SPANS_SECONDS[] = {60.0, 300.0, 900.0};
    static constexpr int DEFAULT_SPAN = 1;
    // The bar and the graph span this many dB below full scale.
    static constexpr double RANGE_DB = 100.0;

    SoundLevelMeterWindow(MainCtrl& ctrl, GuiFrontEnd& front, MainWindow& main);
    ~SoundLevelMeterWindow() override;
    // The one sound level meter of `main`, made on first use, shown, raised and metering.
    static SoundLevelMeterWindow* Open(MainCtrl& ctrl, GuiFrontEnd& front, MainWindow& main) {
        return OpenOne<SoundLevelMeterWindow>(ctrl, front, main);
    }

    // Opens the stream on the options' devices (or the simulated card) and meters its input
    // channel. False, with the reason in the window, when that cannot be.
    bool StartMetering() { return Start(); }
    void StopMetering() { Stop(); }
    bool Metering() const { return live_.Running(); }
    // A new weighting starts the meter again (the window says so); not while logging.
    void SetWeighting(Kedra::Live::Weighting weighting);
    Kedra::Live::Weighting GetWeighting() const { return weighting_; }
    // Leq, SEL, maxima, LCpeak and the overload light start again.
    void Reset();

    // Writes a row every `interval` seconds to `path` from now on; false, with the reason in
    // the window, when the file cannot be written.
    bool StartLogging(const QString& path);
    void StopLogging();
    bool Logging() const { return log_.isOpen(); }
    void SetLogInterval(double seconds);
    // One of SPANS_SECONDS, by its index.
    void SetGraphSpan(int index);

    // What the window shows, for tests.
    QString LogStatusText() const;
    QString FastText() const;
    QString SlowText() const;
    QString LeqText() const;
    QString UnitText() const;
    bool OverloadLit() const { return overloadLit_; }
    QCustomPlot* Graph() const { return graph_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool StartListening() override;
    void StopListening() override;
    bool Listening() const override { return Metering(); }
    void Refresh() override;

private:
    struct Feed;
    struct Point {
        double seconds, fast, slow;
    };

    void ShowReadings();
    void WriteRows();
    void FailLogging(const QString& why);
    void NewMeter(double samplerate);
    void UpdateLogControls();
    void ShowOverload(bool lit);

    std::unique_ptr<Feed> feed_;
    Kedra::Live::LiveThread live_;
    Kedra::Live::Weighting weighting_ = Kedra::Live::Weighting::A;
    double offsetDb_ = 0.0;
    bool spl_ = false;
    double samplerate_ = 0.0;
    bool overloadLit_ = false;
    double lastSeconds_ = -1.0;
    QString meteringText_;
    std::deque<Point> history_;
    QFile log_;
    long long logRows_ = 0;

    QLabel* fastName_ = nullptr;
    QLabel* slowName_ = nullptr;
    QLabel* leqName_ = nullptr;
    QLabel* fast_ = nullptr;
    QLabel* slow_ = nullptr;
    QLabel* leq_ = nullptr;
    QLabel* unit_ = nullptr;
    QLabel* fastMaxName_ = nullptr;
    QLabel* slowMaxName_ = nullptr;
    QLabel* fastMax_ = nullptr;
    QLabel* slowMax_ = nullptr;
    QLabel* sel_ = nullptr;
    QLabel* peakC_ = nullptr;
    QLabel* overload_ = nullptr;
    SlmBar* bar_ = nullptr;
    QCustomPlot* graph_ = nullptr;
    QComboBox* weightingBox_ = nullptr;
    QComboBox* span_ = nullptr;
    QDoubleSpinBox* interval_ = nullptr;
    QPushButton* logButton_ = nullptr;
    QLabel* logStatus_ = nullptr;
};

} // namespace Kedra::Sonvel::Gui
