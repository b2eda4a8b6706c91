#include "gui/GuiFrontEnd.h"

#include <QApplication>
#include <QColor>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <future>

#include "foundation/KedraLogger.h"

namespace Kedra::Sonvel::Gui {

namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

GuiFrontEnd::GuiFrontEnd(QObject* parent) : QObject(parent) {}

void GuiFrontEnd::OnGuiThread(std::function<void()> f) {
    if (QThread::currentThread() == thread()) {
        f();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(postedMutex_);
        posted_.push_back(std::move(f));
    }
    QMetaObject::invokeMethod(this, "RunPosted", Qt::QueuedConnection);
}

void GuiFrontEnd::RunPosted() {
    std::vector<std::function<void()>> work;
    {
        std::lock_guard<std::mutex> lock(postedMutex_);
        work.swap(posted_);
    }
    for (auto& f : work)
        f();
}

void GuiFrontEnd::SetCallSink(Sink sink) {
    sinks_ += (sink ? 1 : 0) - (callSink_ ? 1 : 0);
    callSink_ = std::move(sink);
}

void GuiFrontEnd::SetWorkerSink(Sink sink) {
    sinks_ += (sink ? 1 : 0) - (workerSink_ ? 1 : 0);
    workerSink_ = std::move(sink);
}

void GuiFrontEnd::ShowMessage(MessageKind kind, const std::string& title, const std::string& text) {
    Kedra::Logging::KedraLogger::LogText("INFO    GuiFrontEnd::ShowMessage " + title + ": " + text +
                                         "\n");
    const bool fromWorker = QThread::currentThread() != thread();
    OnGuiThread([this, kind, fromWorker, t = Q(title), x = Q(text), text] {
        if (const Sink& sink = fromWorker ? workerSink_ : callSink_) {
            if (kind != MessageKind::Information)
                sink(text);
            return;
        }
        messages_.append(t + ": " + x);
        emit messageShown(static_cast<int>(kind), t, x);
        if (!interactive_)
            return;
        QMessageBox::Icon icon = kind == MessageKind::Error     ? QMessageBox::Critical
                                 : kind == MessageKind::Warning ? QMessageBox::Warning
                                                                : QMessageBox::Information;
        // Not modal to the event loop's callers: a message after a measurement must not
        // hold up the worker's hand-over.
        auto* box = new QMessageBox(icon, t, x, QMessageBox::Ok, dialogParent_);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setTextInteractionFlags(Qt::TextSelectableByMouse);
        box->open();
    });
}

bool GuiFrontEnd::Ask(const std::string& title, const std::string& text, bool okCancel) {
    if (!interactive_ && sinks_.load() == 0)
        return scriptedAnswer_;
    const bool fromWorker = QThread::currentThread() != thread();
    bool answer = false;
    auto ask = [&] {
        // Nobody at the window asked: the client learns the question and its answer, No.
        if (const Sink& sink = fromWorker ? workerSink_ : callSink_) {
            sink(text);
            answer = false;
            return;
        }
        if (!interactive_) {
            answer = scriptedAnswer_;
            return;
        }
        const auto buttons =
            okCancel ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Yes | QMessageBox::No;
        const auto yes = okCancel ? QMessageBox::Ok : QMessageBox::Yes;
        answer = QMessageBox::question(dialogParent_, Q(title), Q(text), buttons, yes) == yes;
    };
    if (!fromWorker) {
        ask();
        return answer;
    }
    std::promise<bool> asked;
    std::future<bool> reply = asked.get_future();
    OnGuiThread([&] {
        ask();
        asked.set_value(answer);
    });
    return reply.get();
}

bool GuiFrontEnd::AskOkCancel(const std::string& title, const std::string& text) {
    return Ask(title, text, true);
}

bool GuiFrontEnd::AskYesNo(const std::string& title, const std::string& text) {
    return Ask(title, text, false);
}

void GuiFrontEnd::ReportProgress(const std::string& text) {
    StepProgress(text, -1.0);
}

void GuiFrontEnd::ReportStatus(const std::string& text) {
    Kedra::Logging::KedraLogger::LogText("INFO    GuiFrontEnd::ReportStatus " + text + "\n");
    OnGuiThread([this, t = Q(text)] { emit statusReported(t); });
}

void GuiFrontEnd::BeginProgress(const std::string& title) {
    OnGuiThread([this, t = Q(title)] { emit progressBegun(t); });
}

void GuiFrontEnd::StepProgress(const std::string& text, double fraction) {
    // The recording's single-character marks say only that it goes on.
    OnGuiThread([this, t = Q(text), fraction] { emit progressStepped(t, fraction); });
}

void GuiFrontEnd::EndProgress() {
    OnGuiThread([this] { emit progressEnded(); });
}

void GuiFrontEnd::PresenterShown(int presenter) {
    OnGuiThread([this, presenter] { emit presenterShown(presenter); });
}

void GuiFrontEnd::CurvesChanged() {
    OnGuiThread([this] { emit curvesChanged(); });
}

void GuiFrontEnd::ListChanged() {
    OnGuiThread([this] { emit listChanged(); });
}

void GuiFrontEnd::PresenterChanged(int presenter) {
    OnGuiThread([this, presenter] { emit presenterChanged(presenter); });
}

void GuiFrontEnd::ViewChanged(int slot) {
    OnGuiThread([this, slot] { emit viewChanged(slot); });
}

void GuiFrontEnd::CalibrationChanged(bool micOn, bool dacAdcOn, bool micAvailable,
                                     bool dacAdcAvailable) {
    OnGuiThread(
        [=, this] { emit calibrationChanged(micOn, dacAdcOn, micAvailable, dacAdcAvailable); });
}

void GuiFrontEnd::InputLevel(double dbfs) {
    OnGuiThread([this, dbfs] { emit inputLevel(dbfs); });
}

void GuiFrontEnd::AmplitudeJudged(const AmplitudeVerdict& v) {
    const QString colour = v.red >= 0 ? QColor(v.red, v.green, v.blue).name() : QString();
    OnGuiThread([this, accepted = v.accepted, db = v.db, colour, text = Q(v.message)] {
        emit amplitudeJudged(accepted, db, colour, text);
    });
}

} // namespace Kedra::Sonvel::Gui
