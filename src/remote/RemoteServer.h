#pragma once
// The local HTTP API over the controller: JSON endpoints on the measurement list, measuring,
// opening and saving packages. A client of the controller like the other front ends.
//
// Threads: the HTTP library answers each request on a thread of its pool; a measurement runs
// on a worker thread of its own. The controller is not thread-safe, so every controller call
// holds one mutex (a queue onto one thread would serialise the same calls with more code and
// an extra hand-over per request). The measurement itself (MainCtrl::MeasureDetached) runs
// outside that mutex, on a record nothing else sees, so the list can be read meanwhile; while
// it runs, requests that would change the list or measure are refused with 409.

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/FrontEnd.h"

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

    RemoteServer(MainCtrl& ctrl, RemoteSettings settings);
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
    void RefuseWhileMeasuring() const;
    void RunMeasurement(std::shared_ptr<Job> job, int presenter, std::string name);
    std::string JobJson(const Job& job) const;

    MainCtrl& ctrl_;
    RemoteSettings settings_;
    std::filesystem::path root_;
    std::unique_ptr<httplib::Server> server_;
    // Held around every controller call.
    std::mutex ctrlMutex_;
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
