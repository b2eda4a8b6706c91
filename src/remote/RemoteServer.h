#pragma once
// The local HTTP API over the controller: JSON endpoints on the measurement list, measuring,
// opening and saving packages. A client of the controller like the other front ends.
//
// Threads: the HTTP library answers each request on a thread of its pool; a measurement runs
// on a worker thread of its own. The controller is not thread-safe, so every controller call
// goes through the host (RemoteHost::Run): on the command line it holds one mutex, in the
// window it runs on the window's thread. The measurement itself runs outside those calls, on a
// record nothing else sees, so the list can be read meanwhile; while it runs, requests that
// would change the list or measure are refused with 409.

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/FrontEnd.h"
#include "audio/SimulatedSoundCard.h"

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace Kedra::Sonvel {

class MainCtrl;

// The front end of a controller that serves the API: messages go to stderr and to the request
// that caused them (on its thread), questions get the one fixed answer, progress goes to the
// measurement's job.
class RemoteFrontEnd : public FrontEnd {
public:
    explicit RemoteFrontEnd(bool answerYes = false) : answerYes_(answerYes) {}

    void ShowMessage(MessageKind kind, const std::string& title, const std::string& text) override;
    bool AskOkCancel(const std::string& title, const std::string& text) override;
    bool AskYesNo(const std::string& title, const std::string& text) override;
    void ReportProgress(const std::string& text) override;

    // While one lives, the messages and progress of its thread are kept in it.
    class Capture {
    public:
        Capture();
        ~Capture();
        Capture(const Capture&) = delete;
        Capture& operator=(const Capture&) = delete;
        // The messages so far, one per line; `fallback` when there were none.
        std::string Text(const std::string& fallback) const;
        std::vector<std::string> messages;
        // Called with each progress text.
        std::function<void(const std::string&)> progress;
        // The innermost one of the calling thread; null when none lives.
        static Capture* Current();

    private:
        Capture* outer_;
    };

private:
    bool answerYes_;
    std::mutex printMutex_;
};

struct RemoteSettings {
    std::string bind = "127.0.0.1";
    int port = 4735; // 0: any free port
    std::string token;
    std::filesystem::path root;
};

// Whether `host` names the loopback interface only.
bool IsLoopbackHost(const std::string& host);

// The host takes no more calls: the window switched its remote control off.
struct RemoteUnavailable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Where the server's controller calls run and how it measures. Without one the server runs
// them under a mutex of its own, as the command line does.
class RemoteHost {
public:
    virtual ~RemoteHost() = default;
    // Runs `call` with the controller to itself and returns once it ran (rethrowing what it
    // threw). Throws RemoteUnavailable when the host takes no more calls.
    virtual void Run(const std::function<void()>& call) = 0;

    struct Measured {
        enum class Result { Placed, Refused, Failed } result = Result::Failed;
        int slot = -1;
    };
    // On the server's measuring thread: measures into a presenter's slot and returns once the
    // record is placed or not; why not is said through the front end (RemoteFrontEnd::Capture
    // of this thread). `sim`: the simulated card for this measurement only.
    virtual Measured Measure(int presenter, const std::string& name,
                             const std::optional<Kedra::PAudioII::SimulatedModel>& sim) = 0;
    // Any thread: a running Measure ends soon.
    virtual void Abort() = 0;
    // In Run: whether something besides the server measures.
    virtual bool Busy() const { return false; }
    // In Run: opens or saves a package as the host's own commands do (the controller's
    // actions, and whatever the host keeps of the package it shows).
    virtual bool OpenPackage(MainCtrl& ctrl, const std::string& path, bool append);
    virtual bool SavePackage(MainCtrl& ctrl, const std::string& path, bool wave);
};

class RemoteServer {
public:
    // A route as the API document names it, e.g. {"GET", "/api/measurements/{slot}"}.
    struct Route {
        std::string method;
        std::string path;
    };
    static std::vector<Route> Routes();
    // The OpenAPI 3 document served at GET /openapi.json.
    static std::string_view OpenApiDocument();

    // `host`: null for one of the server's own (a mutex); else it outlives the server.
    RemoteServer(MainCtrl& ctrl, RemoteSettings settings, RemoteHost* host = nullptr);
    ~RemoteServer();
    RemoteServer(const RemoteServer&) = delete;
    RemoteServer& operator=(const RemoteServer&) = delete;

    // The port it listens on; -1 and `why` when it cannot.
    int Bind(std::string& why);
    // Answers requests until Stop.
    void Listen();
    // Any thread: stops answering and aborts a running measurement.
    void Stop();

private:
    struct Job {
        int id = 0;
        std::string status = "running"; // "running", "done", "failed"
        std::string progress;
        std::string result; // JSON of a finished measurement
        std::string error;
        int httpStatus = 200;
    };
    using Handler = void (RemoteServer::*)(const httplib::Request&, httplib::Response&);
    struct RouteEntry {
        const char* method;
        const char* path;
        const char* pattern;
        Handler handler;
    };
    static const std::vector<RouteEntry>& Table();

    void Status(const httplib::Request&, httplib::Response&);
    void List(const httplib::Request&, httplib::Response&);
    void Info(const httplib::Request&, httplib::Response&);
    void Response(const httplib::Request&, httplib::Response&);
    void Impulse(const httplib::Request&, httplib::Response&);
    void Acoustics(const httplib::Request&, httplib::Response&);
    void Measure(const httplib::Request&, httplib::Response&);
    void JobStatus(const httplib::Request&, httplib::Response&);
    void Open(const httplib::Request&, httplib::Response&);
    void Save(const httplib::Request&, httplib::Response&);
    void Delete(const httplib::Request&, httplib::Response&);
    void OpenApi(const httplib::Request&, httplib::Response&);

    int ParseSlot(const std::string& text, bool filled);
    std::filesystem::path InsideRoot(const std::string& text) const;
    // In a host's Run only.
    void RefuseWhileMeasuring() const;
    void RunMeasurement(std::shared_ptr<Job> job, int presenter, std::string name,
                        std::optional<Kedra::PAudioII::SimulatedModel> sim);
    std::string JobJson(const Job& job) const;

    MainCtrl& ctrl_;
    RemoteSettings settings_;
    std::filesystem::path root_;
    std::unique_ptr<httplib::Server> server_;
    std::unique_ptr<RemoteHost> ownHost_;
    RemoteHost* host_;
    std::atomic<bool> measuring_{false};
    std::atomic<bool> listening_{false};
    std::atomic<bool> stopRequested_{false};
    std::mutex jobsMutex_;
    std::condition_variable jobDone_;
    std::map<int, std::shared_ptr<Job>> jobs_;
    int nextJob_ = 1;
    std::mutex workerMutex_;
    std::thread worker_;
};

} // namespace Kedra::Sonvel
