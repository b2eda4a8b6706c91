#include "gui/RemoteControl.h"

#include <csignal>
#include <exception>

#include "app/AudioHelper.h"
#include "app/MainCtrl.h"
#include "gui/GuiFrontEnd.h"
#include "gui/MainWindow.h"

namespace Kedra::Sonvel::Gui {

namespace {

constexpr const char* SWITCHED_OFF = "the window's remote control was switched off";

} // namespace

// A controller call of a request thread, queued for the window's thread.
struct WindowHost::Task {
    std::function<void()> call;
    // Where the call's messages go when it makes no capture of its own.
    RemoteFrontEnd::Capture* caller = nullptr;
    std::exception_ptr error;
    bool running = false;
    bool done = false;
    // The caller left (switched off) before it ran: it must not run.
    bool abandoned = false;
};

// A client's measurement in the window. The window may finish it after this host is gone,
// so it holds its own lock.
struct WindowHost::Measuring {
    std::mutex mutex;
    std::condition_variable ended;
    bool finished = false;
    bool released = false;
    bool ok = false;
    QMetaObject::Connection progress;
};

WindowHost::WindowHost(MainWindow& window, MainCtrl& ctrl, GuiFrontEnd& front)
    : window_(window), ctrl_(ctrl), front_(front) {}

WindowHost::~WindowHost() {
    Close();
}

void WindowHost::Run(const std::function<void()>& call) {
    auto task = std::make_shared<Task>();
    task->call = call;
    task->caller = RemoteFrontEnd::Capture::Current();
    std::unique_lock lock(mutex_);
    if (closed_)
        throw RemoteUnavailable(SWITCHED_OFF);
    queue_.push_back(task);
    // By name: the hand-over is our queue under our mutex, which the sanitizer sees.
    QMetaObject::invokeMethod(this, "RunPosted", Qt::QueuedConnection);
    ran_.wait(lock, [&] { return task->done || (closed_ && !task->running); });
    if (!task->done) {
        task->abandoned = true;
        throw RemoteUnavailable(SWITCHED_OFF);
    }
    // Taken out under the lock: the window's thread then never holds the last reference to
    // an exception this thread is still reading.
    if (std::exception_ptr error = std::move(task->error))
        std::rethrow_exception(error);
}

void WindowHost::RunPosted() {
    for (;;) {
        std::shared_ptr<Task> task;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty())
                return;
            task = queue_.front();
            queue_.pop_front();
            if (task->abandoned || closed_)
                continue;
            task->running = true;
        }
        RemoteFrontEnd::Capture* caller = task->caller;
        front_.SetCallSink([caller](const std::string& text) {
            RemoteFrontEnd::Capture* own = RemoteFrontEnd::Capture::Current();
            if (RemoteFrontEnd::Capture* to = own != nullptr ? own : caller)
                to->messages.push_back(text);
        });
        try {
            task->call();
        } catch (...) {
            task->error = std::current_exception();
        }
        front_.SetCallSink({});
        std::lock_guard lock(mutex_);
        task->running = false;
        task->done = true;
        ran_.notify_all();
    }
}

bool WindowHost::Busy() const {
    return window_.Measuring();
}

bool WindowHost::OpenPackage(MainCtrl&, const std::string& path, bool append) {
    return window_.OpenPackage(QString::fromStdString(path), append);
}

bool WindowHost::SavePackage(MainCtrl&, const std::string& path, bool wave) {
    return window_.SavePackage(QString::fromStdString(path), wave);
}

RemoteHost::Measured
WindowHost::Measure(int presenter, const std::string& name,
                    const std::optional<Kedra::PAudioII::SimulatedModel>& sim) {
    RemoteFrontEnd::Capture* capture = RemoteFrontEnd::Capture::Current();
    auto measuring = std::make_shared<Measuring>();
    Measured outcome{Measured::Result::Refused, -1};
    Run([&] {
        outcome.slot = ctrl_.MeasurementSlot(presenter);
        if (window_.Measuring()) {
            if (capture != nullptr)
                capture->messages.push_back("the window is measuring; try again when it has "
                                            "finished");
            return;
        }
        AudioHelper& audio = ctrl_.Audio();
        const bool wasSimulated = audio.UsesSimulated();
        const auto model = audio.SimulatedModelInUse();
        if (sim)
            audio.UseSimulated(true, *sim);
        if (capture != nullptr) {
            front_.SetWorkerSink(
                [capture](const std::string& text) { capture->messages.push_back(text); });
            measuring->progress = connect(&front_, &GuiFrontEnd::progressStepped, this,
                                          [capture](const QString& text, double) {
                                              if (capture->progress)
                                                  capture->progress(text.toStdString());
                                          });
        }
        // Runs on this thread when the record is placed or not, perhaps after this host is
        // gone: it touches only what outlives the host.
        GuiFrontEnd& front = front_;
        MainCtrl& ctrl = ctrl_;
        auto finish = [measuring, &front, &ctrl, wasSimulated, model, sim](bool ok) {
            if (sim)
                ctrl.Audio().UseSimulated(wasSimulated, model);
            std::lock_guard lock(measuring->mutex);
            if (!measuring->released) {
                front.SetWorkerSink({});
                QObject::disconnect(measuring->progress);
            }
            measuring->finished = true;
            measuring->ok = ok;
            measuring->ended.notify_all();
        };
        if (!window_.StartMeasurement(presenter, name, finish)) {
            finish(false);
            return;
        }
        outcome.result = Measured::Result::Failed;
        std::lock_guard lock(mutex_);
        measuring_ = measuring;
    });
    if (outcome.result == Measured::Result::Refused)
        return outcome;
    std::unique_lock lock(measuring->mutex);
    measuring->ended.wait(lock, [&] { return measuring->finished || measuring->released; });
    if (!measuring->finished)
        throw RemoteUnavailable(std::string(SWITCHED_OFF) +
                                "; the measurement goes on in the window");
    if (measuring->ok)
        outcome.result = Measured::Result::Placed;
    return outcome;
}

void WindowHost::Close() {
    std::shared_ptr<Measuring> measuring;
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
        closed_ = true;
        measuring = std::move(measuring_);
        ran_.notify_all();
    }
    if (measuring) {
        std::lock_guard lock(measuring->mutex);
        if (!measuring->finished) {
            front_.SetWorkerSink({});
            QObject::disconnect(measuring->progress);
            measuring->released = true;
            measuring->ended.notify_all();
        }
    }
}

RemoteControl::RemoteControl(MainWindow& window, MainCtrl& ctrl, GuiFrontEnd& front,
                             QObject* parent)
    : QObject(parent), window_(window), ctrl_(ctrl), front_(front) {}

RemoteControl::~RemoteControl() {
    Stop();
}

int RemoteControl::Start(const RemoteSettings& settings, QString* why) {
    Stop();
    if (!IsLoopbackHost(settings.bind) && settings.token.empty()) {
        *why = tr("%1 lets other machines in; it needs a token")
                   .arg(QString::fromStdString(settings.bind));
        return -1;
    }
    // A client that hangs up while it is answered must not end the window through a write to
    // its socket.
    std::signal(SIGPIPE, SIG_IGN);
    host_ = std::make_unique<WindowHost>(window_, ctrl_, front_);
    server_ = std::make_unique<RemoteServer>(ctrl_, settings, host_.get());
    std::string reason;
    const int port = server_->Bind(reason);
    if (port < 0) {
        server_.reset();
        host_.reset();
        *why = QString::fromStdString(reason);
        return -1;
    }
    RemoteServer* server = server_.get();
    listener_ = std::thread([server] { server->Listen(); });
    const QString host = QString::fromStdString(settings.bind);
    address_ =
        QStringLiteral("http://%1:%2").arg(host.contains(':') ? "[" + host + "]" : host).arg(port);
    emit switched(true);
    return port;
}

void RemoteControl::Stop() {
    if (!server_)
        return;
    // In this order: callers waiting for this thread are let go before the server waits for
    // its threads.
    host_->Close();
    server_->Stop();
    if (listener_.joinable())
        listener_.join();
    server_.reset();
    host_.reset();
    address_.clear();
    emit switched(false);
}

} // namespace Kedra::Sonvel::Gui
