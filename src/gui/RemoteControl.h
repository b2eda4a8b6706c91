#pragma once
// Tools > Remote control: the local HTTP API over the window's own list. Requests are
// answered on the server's threads, but every controller call they make runs on the
// window's thread, between the window's own events, so the window shows at once what a
// client changed. A client's measurement is the window's (progress, Stop); what would be a
// dialog goes to the client instead.
//
// Switching off never waits for the window's thread: calls still queued are refused (503)
// and a measurement a client started goes on in the window.

#include <QMetaObject>
#include <QObject>
#include <QString>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "remote/RemoteServer.h"

namespace Kedra::Sonvel {
class MainCtrl;
}

namespace Kedra::Sonvel::Gui {

class GuiFrontEnd;
class MainWindow;

// Runs the server's controller calls on the window's thread and measures through the window.
class WindowHost : public QObject, public RemoteHost {
    Q_OBJECT
public:
    WindowHost(MainWindow& window, MainCtrl& ctrl, GuiFrontEnd& front);
    ~WindowHost() override;

    void Run(const std::function<void()>& call) override;
    Measured Measure(int presenter, const std::string& name,
                     const std::optional<Kedra::PAudioII::SimulatedModel>& sim) override;
    // The window's measurement is ended by the window (Stop), not by switching off.
    void Abort() override {}
    bool Busy() const override;
    // Through the window, whose title and save target follow the package.
    bool OpenPackage(MainCtrl& ctrl, const std::string& path, bool append) override;
    bool SavePackage(MainCtrl& ctrl, const std::string& path, bool wave) override;
    // Window's thread: no more calls are taken, and every caller waiting is let go.
    void Close();

private slots:
    void RunPosted();

private:
    struct Task;
    struct Measuring;

    MainWindow& window_;
    MainCtrl& ctrl_;
    GuiFrontEnd& front_;
    std::mutex mutex_;
    std::condition_variable ran_;
    std::deque<std::shared_ptr<Task>> queue_;
    std::shared_ptr<Measuring> measuring_;
    bool closed_ = false;
};

class RemoteControl : public QObject {
    Q_OBJECT
public:
    static constexpr int DEFAULT_PORT = 4735;

    RemoteControl(MainWindow& window, MainCtrl& ctrl, GuiFrontEnd& front,
                  QObject* parent = nullptr);
    ~RemoteControl() override;

    // Serves until Stop; the port, or -1 with `why` when it cannot listen.
    int Start(const RemoteSettings& settings, QString* why);
    void Stop();
    bool IsOn() const { return server_ != nullptr; }
    // "http://127.0.0.1:4735" while on.
    QString Address() const { return address_; }

signals:
    void switched(bool on);

private:
    MainWindow& window_;
    MainCtrl& ctrl_;
    GuiFrontEnd& front_;
    std::unique_ptr<WindowHost> host_;
    std::unique_ptr<RemoteServer> server_;
    std::thread listener_;
    QString address_;
};

} // namespace Kedra::Sonvel::Gui
