#pragma once
// The main window: graph tabs (frequency response, impulse response, distortion, and the
// group delay, energy-time, waterfall and room acoustics views), the
// presenters A, B and C, the measurement list, menus and toolbar, and measuring on a worker
// thread. Records are one thread at a time: the worker fills a record nothing else can see;
// only this window's thread puts it into the list and touches the records on show.

#include <QMainWindow>
#include <QPointer>
#include <array>
#include <functional>
#include <memory>
#include <string>

#include "gui/GraphView.h"
#include "gui/OperationDialog.h"

class QAction;
class QCheckBox;
class QColorDialog;
class QComboBox;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTableView;

namespace Kedra::Measure {
class Measurement;
}
namespace Kedra::Sonvel {
class MainCtrl;
}

namespace Kedra::Sonvel::Gui {

class AverageDialog;
class GuiFrontEnd;
class LoopbackDialog;
class MeasureThread;
class MeasurementTableModel;
class PresenterPanel;
class RemoteControl;
class SplDialog;
class ViewTabs;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    MainWindow(MainCtrl& ctrl, GuiFrontEnd& front, QWidget* parent = nullptr);
    ~MainWindow() override;

    GraphView* Graph(GraphKind kind) const;
    ViewTabs* Views() const { return views_; }
    PresenterPanel* Panel(int presenter) const {
        return panels_[static_cast<std::size_t>(presenter)];
    }
    QTabWidget* Tabs() const { return tabs_; }
    MeasurementTableModel* ListModel() const { return model_; }
    QTableView* ListView() const { return listView_; }
    QString CursorReadout() const;

    bool Measuring() const { return worker_ != nullptr; }
    // Measures into a presenter's slot on the worker thread and returns at once; false when
    // a measurement runs already or the slot is missing. `name` is the one the progress
    // texts use (the presenter's letter when empty); `then` runs on this thread once the
    // record is placed (or not), before measurementFinished.
    bool StartMeasurement(int presenter, const std::string& name = {},
                          std::function<void(bool)> then = {});
    // Aborts the running measurement; it ends (measurementFinished) within a poll interval.
    void CancelMeasurement();
    bool OpenPackage(const QString& path, bool append);
    // `wave`: the package holds wave data files instead of FLAC.
    bool SavePackage(const QString& path, bool wave = false);
    // The package the list was opened from (empty: none); the title names it.
    void SetPackagePath(const QString& path);
    // The open graph as PNG, SVG or PDF (by extension).
    bool ExportGraph(const QString& path, int width, int height, QString* error);
    // The open graph as an image on the clipboard, at its size on screen.
    bool Action_ToClipBoard();
    // A document of the help menu (CHANGELOG, ISSUES): beside the program (or one directory
    // up, as in the build tree for the tests), else where it is installed; empty when none
    // holds it.
    static QString DocumentPath(const QString& name);
    // The status bar's message of a finished action; it clears after STATUS_CLEAR_MS.
    QString StatusMessage() const;
    static constexpr int STATUS_CLEAR_MS = 6000;
    QCheckBox* SignalBox() const { return signalBox_; }
    QAction* LockAction() const { return lockAction_; }
    // Geometry, the open tab and the graph ranges into the options.
    void StoreWindowOptions();
    // A file dropped on the window: a package is opened (after asking), a wave file imported
    // as an impulse and anything else as a response text, into the first empty slot.
    bool OpenDropped(const QString& path);
    // Imports a file into the first empty slot; false (and a message) when it could not.
    bool ImportFile(const QString& path, bool impulse);
    // The colour picker of a slot, open (not modal to the event loop); OK gives the slot its
    // colour. Null for a slot that holds no measurement.
    QColorDialog* ChooseSlotColour(int slot);
    // The operation's dialog, open (not modal to the event loop); it runs on OK.
    OperationDialog* OpenOperation(Operation operation);
    // Operations > Average...: open, over AverageSlots(); it runs on OK.
    AverageDialog* OpenAverage();
    // The slots an average starts from: those selected in the list, or, with fewer than two
    // selected, those whose curves are shown.
    std::vector<int> AverageSlots() const;
    // The guided loopback calibration; null when the devices are not there.
    LoopbackDialog* OpenLoopbackCalibration();
    // The SPL reference of the current input (modal); null while a measurement runs.
    SplDialog* OpenSplReference();
    // Measures into a presenter's slot from a recorded wave file; the played signal is
    // `reference`, or the current test signal when that is empty.
    bool AnalyseFile(int presenter, const QString& recording, const QString& reference);
    // The current test signal as a wave file in the options' wave format.
    bool SaveTestSignal(const QString& path);
    // After the options were replaced (loaded, reset, edited): graph ranges, switches and
    // colours again from them.
    void OptionsChanged();
    QAction* MicCalibrationAction() const { return micCalAction_; }
    QAction* DacAdcCalibrationAction() const { return dacAdcCalAction_; }

    // Menus that tools, dialogs and windows of their own add their entries to.
    QMenu* CalibrationMenu() const { return calibrationMenu_; }
    QMenu* OperationsMenu() const { return operationsMenu_; }
    QMenu* ToolsMenu() const { return toolsMenu_; }
    QMenu* LiveMenu() const { return liveMenu_; }
    // Tools > Remote control: the HTTP API over this window's list.
    RemoteControl* Remote() const { return remote_; }
    // Switches it on, on `port` (0: any free one); false when it could not, and a message
    // (also into `why` when given).
    bool StartRemoteControl(int port, QString* why = nullptr);
    QAction* RemoteAction() const { return remoteAction_; }

signals:
    // Anything else using the audio stream lets go of it on this signal.
    void measurementStarted();
    void measurementFinished(bool ok);

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void BuildGraphs();
    void BuildDocks();
    void BuildActions();
    void RestoreWindowOptions();
    std::vector<CurveSource> Curves() const;
    QColor PresenterColour(int presenter) const;
    void RedrawAll();
    // RedrawAll, unless the curves are drawn as they are (the same records, data, labels
    // and colours).
    void RedrawIfChanged();
    // The response, impulse or distortion graph on show; null on the other tabs.
    GraphView* CurrentGraph() const;
    void RedrawPresenter(int presenter);
    // One slot's curve on every graph, after its record's view changed.
    void RedrawCurve(int slot);
    void RedrawSlot(int slot);
    Q_INVOKABLE void MeasurementDone();
    void SetMeasuringState(bool measuring);
    void ShowProgressText(const QString& text);
    // A finished action's message: shown, then cleared after a few seconds.
    void ShowDone(const QString& text);
    // After Open, Open and append or a drop: the title, the recent files and the graphs.
    void AfterOpen(const QString& path, bool append, bool ok, bool listChanged);
    void UpdateTitle();
    void ShowDocument(const QString& name, const QString& title);
    void AddRecent(const QString& path);
    void RebuildRecentMenu();
    int SelectedSlot() const;
    void ExportSlot(const QString& kind);
    void ImportInto(bool impulse);
    void BuildCalibrationMenu();
    void BuildOperationsMenu();
    void ImportCalibration(bool mic);
    void AnalyseRecording();
    // True (and a message) while a measurement runs; `what` completes "... when it is done".
    bool RefusedWhileMeasuring(const char* what);
    void ShowInfo(int slot);
    void SwitchRemoteControl(bool on);

    MainCtrl& ctrl_;
    GuiFrontEnd& front_;
    QTabWidget* tabs_ = nullptr;
    std::array<GraphView*, 3> graphs_{};
    ViewTabs* views_ = nullptr;
    std::array<PresenterPanel*, 3> panels_{};
    MeasurementTableModel* model_ = nullptr;
    QTableView* listView_ = nullptr;
    std::array<QAction*, 3> measureActions_{};
    QAction* stopAction_ = nullptr;
    QMenu* recentMenu_ = nullptr;
    QMenu* calibrationMenu_ = nullptr;
    QMenu* operationsMenu_ = nullptr;
    QMenu* toolsMenu_ = nullptr;
    QMenu* liveMenu_ = nullptr;
    QAction* micCalAction_ = nullptr;
    QAction* lockAction_ = nullptr;
    QAction* remoteAction_ = nullptr;
    QLabel* remoteLabel_ = nullptr;
    RemoteControl* remote_ = nullptr;
    QCheckBox* magnitudeBox_ = nullptr;
    QCheckBox* phaseBox_ = nullptr;
    QCheckBox* signalBox_ = nullptr;
    QString progressTitle_;
    QComboBox* impulseModeBox_ = nullptr;
    QAction* dacAdcCalAction_ = nullptr;
    QLabel* readout_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* verdict_ = nullptr;
    QLabel* inputLevel_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QString packagePath_;
    // The last status the controller reported (a record kept elsewhere), for the measurement's
    // closing text.
    QString lastStatus_;
    // What RedrawAll drew last: one line per curve, for RedrawIfChanged.
    QString drawn_;
    bool redrawQueued_ = false;

    // The running measurement: its thread, the record it fills and where that goes.
    MeasureThread* worker_ = nullptr;
    std::unique_ptr<Kedra::Measure::Measurement> pending_;
    int pendingSlot_ = -1;
    int pendingPresenter_ = 0;
    bool pendingOk_ = false;
    bool cancelled_ = false;
    std::function<void(bool)> then_;
};

} // namespace Kedra::Sonvel::Gui
