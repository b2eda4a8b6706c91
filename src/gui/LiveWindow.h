#pragma once
// What the live windows (meters, analysers) share: one window of each kind over the main
// window, listening while it is shown and wanted, letting go of the stream while a sweep
// measures and taking it back after, a status line, and a timer that polls what the
// listening produced.
//
// Threads: the GUI thread only; what a window's listening does on other threads is its own.

#include <QString>
#include <QWidget>
#include <cstdint>

#include "gui/MainWindow.h"

class QComboBox;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QSpinBox;
class QTimer;

namespace Kedra::Live {
class LiveThread;
}

namespace Kedra::Sonvel {
class MainCtrl;
}

namespace Kedra::Sonvel::Gui {

class GuiFrontEnd;

class LiveWindow : public QWidget {
    Q_OBJECT
public:
    bool Paused() const { return paused_; }
    QString StatusText() const;
    const QTimer* RefreshTimer() const { return timer_; }
    // Refreshes that found something new since the previous one.
    int Updates() const { return updates_; }

protected:
    // `pausedText`: the status while a sweep measures.
    LiveWindow(MainCtrl& ctrl, GuiFrontEnd& front, MainWindow& main, int refreshMs,
               QString pausedText);

    // The one window of type W over `main`, made on first use, shown, raised and listening
    // (again, after a start that failed or a close).
    template <class W>
    static W* OpenOne(MainCtrl& ctrl, GuiFrontEnd& front, MainWindow& main) {
        // Through the base: the hooks are not public in W.
        LiveWindow* live = main.findChild<W*>(QString(), Qt::FindDirectChildrenOnly);
        if (live == nullptr)
            live = new W(ctrl, front, main);
        else if (!live->Listening() && !live->Paused())
            live->Start();
        live->ShowOnTop();
        return static_cast<W*>(live);
    }

    // The user wants listening: it starts now, or after the sweep that measures.
    bool Start();
    // The user no longer wants it.
    void Stop();
    // Stops the timer and the listening; what the user wants stays.
    void Release();
    // Applies the options' devices; false, with `failure` ("... %1": the controller's
    // words) in the status, when they are missing.
    bool ApplyDevices(const QString& failure);
    void SetStatus(const QString& text, bool problem);
    bool Wanted() const { return wanted_; }
    // True, with `failure` ("... %1": why) in the status and the stream let go, when `thread`
    // ended by itself. Else says in the status when it lost input since the last call.
    bool Ended(const Kedra::Live::LiveThread& thread, const QString& failure);

    QComboBox* Combo(const QStringList& items, int current);
    // `label`, for `field`, and `field` in two columns of `grid`.
    void AddField(QGridLayout& grid, int row, int column, const QString& label, QWidget* field);
    // "Store in" a slot, "Store" and "Close", into `slot`, `store` and `stored` (its outcome).
    QHBoxLayout* StoreRow(QSpinBox*& slot, QPushButton*& store, QLabel*& stored,
                          const QString& slotTip, const QString& storeTip);

    // Called by Start once the stream is free; says why in the status when it fails.
    virtual bool StartListening() = 0;
    // Lets go of the stream; called with the listening stopped or running.
    virtual void StopListening() = 0;
    virtual bool Listening() const = 0;
    // Polls what came in, on the timer.
    virtual void Refresh() = 0;

    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

    MainCtrl& ctrl_;
    GuiFrontEnd& front_;
    MainWindow& main_;
    // In the layout where each window puts it.
    QLabel* status_ = nullptr;
    QTimer* timer_ = nullptr;
    int updates_ = 0;

private:
    void ShowOnTop();
    void OnMeasurementStarted();
    void OnMeasurementFinished();

    QString pausedText_;
    bool paused_ = false;
    // Whether the user wants listening: a measurement pauses it, closing ends it.
    bool wanted_ = false;
    // The lost samples the status last told of.
    std::uint64_t lostShown_ = 0;
};

} // namespace Kedra::Sonvel::Gui
