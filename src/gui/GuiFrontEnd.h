#pragma once
// The window's side of the controller's front-end interface. Messages and questions become
// dialogs, progress a bar in the status line, change notices Qt signals. A measurement on
// the worker thread may call ShowMessage, ReportProgress and the Progress calls: they are
// posted to the GUI thread, never run on the worker.

#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/FrontEnd.h"

class QWidget;

namespace Kedra::Sonvel::Gui {

class GuiFrontEnd : public QObject, public FrontEnd {
    Q_OBJECT
public:
    explicit GuiFrontEnd(QObject* parent = nullptr);

    // The window dialogs are centred on; null: none yet.
    void SetDialogParent(QWidget* parent) { dialogParent_ = parent; }
    // Off (for tests and scripts): messages are only kept and logged, questions answered
    // with `scriptedAnswer`; no dialog is ever opened.
    void SetInteractive(bool on, bool scriptedAnswer = true) {
        interactive_ = on;
        scriptedAnswer_ = scriptedAnswer;
    }
    // Every message shown so far, "title: text" (GUI thread).
    const QStringList& Messages() const { return messages_; }
    // Asks the running work to stop; the measurement's own abort is the window's to call.
    void Cancel() { cancelled_.store(true); }
    // Before new work starts (on the GUI thread, so that an early Cancel is not lost).
    void ResetCancel() { cancelled_.store(false); }

    // Where the messages of work a remote client asked for go instead of dialogs: warnings
    // and errors as text, questions as text answered No (GUI thread; empty: none).
    using Sink = std::function<void(const std::string&)>;
    // For what the GUI thread does while it is set.
    void SetCallSink(Sink sink);
    // For what the measuring worker says while it is set.
    void SetWorkerSink(Sink sink);

    void ShowMessage(MessageKind kind, const std::string& title, const std::string& text) override;
    bool AskOkCancel(const std::string& title, const std::string& text) override;
    bool AskYesNo(const std::string& title, const std::string& text) override;
    void ReportProgress(const std::string& text) override;
    void ReportStatus(const std::string& text) override;
    void BeginProgress(const std::string& title) override;
    void StepProgress(const std::string& text, double fraction) override;
    void EndProgress() override;
    bool ProgressCancelled() override { return cancelled_.load(); }
    void ListChanged() override;
    void PresenterChanged(int presenter) override;
    void ViewChanged(int slot) override;
    void PresenterShown(int presenter) override;
    void CurvesChanged() override;
    void CalibrationChanged(bool micOn, bool dacAdcOn, bool micAvailable,
                            bool dacAdcAvailable) override;
    void AmplitudeJudged(const AmplitudeVerdict& verdict) override;
    void InputLevel(double dbfs) override;

signals:
    void messageShown(int kind, const QString& title, const QString& text);
    void progressBegun(const QString& title);
    void progressStepped(const QString& text, double fraction);
    void progressEnded();
    void statusReported(const QString& text);
    void listChanged();
    void presenterChanged(int presenter);
    void viewChanged(int slot);
    void presenterShown(int presenter);
    void curvesChanged();
    void calibrationChanged(bool micOn, bool dacAdcOn, bool micAvailable, bool dacAdcAvailable);
    // The verdict's colour, or an invalid colour for the default one.
    void amplitudeJudged(bool accepted, double db, const QString& colour, const QString& text);
    // dBFS, or -infinity while nothing arrives.
    void inputLevel(double dbfs);

private slots:
    // Runs what other threads posted, in their order.
    void RunPosted();

private:
    bool Ask(const std::string& title, const std::string& text, bool okCancel);
    // Runs `f` on the GUI thread: at once when already there, else queued. The work goes
    // through a queue of ours under a mutex (not through Qt's functor events), so that the
    // hand-over is a synchronisation ThreadSanitizer sees.
    void OnGuiThread(std::function<void()> f);

    QWidget* dialogParent_ = nullptr;
    bool interactive_ = true;
    bool scriptedAnswer_ = true;
    QStringList messages_;
    std::atomic<bool> cancelled_{false};
    Sink callSink_;
    Sink workerSink_;
    // Whether a sink is set: a worker's question then asks the GUI thread even when no dialog
    // would be shown.
    std::atomic<int> sinks_{0};
    std::mutex postedMutex_;
    std::vector<std::function<void()>> posted_;
};

} // namespace Kedra::Sonvel::Gui
