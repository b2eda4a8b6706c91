#include "remote/RemoteServer.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <optional>
#include <set>
#include <stdexcept>

#include "analyze/MeasurementViews.h"
#include "app/AudioHelper.h"
#include "app/MainCtrl.h"
#include "app/Options.h"
#include "audio/SimulatedSoundCard.h"
#include "foundation/MathHelpers.h"
#include "measure/MeasurementFile.h"
#include "measure/MeasurementList.h"
#include "remote/OpenApiDocument.h"

namespace Kedra::Sonvel {

namespace fs = std::filesystem;
using Kedra::Measure::Measurement;
using nlohmann::json;

// ---- front end -------------------------------------------------------------------------

namespace {
thread_local RemoteFrontEnd::Capture* capture = nullptr;
} // namespace

RemoteFrontEnd::Capture* RemoteFrontEnd::Capture::Current() {
    return capture;
}

RemoteFrontEnd::Capture::Capture() : outer_(capture) {
    capture = this;
}

RemoteFrontEnd::Capture::~Capture() {
    capture = outer_;
}

std::string RemoteFrontEnd::Capture::Text(const std::string& fallback) const {
    std::string text;
    for (const std::string& m : messages)
        text += (text.empty() ? "" : "\n") + m;
    return text.empty() ? fallback : text;
}

void RemoteFrontEnd::ShowMessage(MessageKind kind, const std::string&, const std::string& text) {
    if (capture != nullptr && kind != MessageKind::Information)
        capture->messages.push_back(text);
    std::lock_guard lock(printMutex_);
    std::fprintf(stderr, "sonvel: %s%s\n", kind == MessageKind::Error ? "error: " : "",
                 text.c_str());
}

bool RemoteFrontEnd::AskOkCancel(const std::string& title, const std::string& text) {
    // Nobody can answer: the question and its fixed answer are what the client learns.
    if (capture != nullptr && !answerYes_)
        capture->messages.push_back(text);
    ShowMessage(MessageKind::Information, title, text + (answerYes_ ? " (OK)" : " (Cancel)"));
    return answerYes_;
}

bool RemoteFrontEnd::AskYesNo(const std::string& title, const std::string& text) {
    if (capture != nullptr && !answerYes_)
        capture->messages.push_back(text);
    ShowMessage(MessageKind::Information, title, text + (answerYes_ ? " (Yes)" : " (No)"));
    return answerYes_;
}

void RemoteFrontEnd::ReportProgress(const std::string& text) {
    if (capture != nullptr && capture->progress)
        capture->progress(text);
}

bool IsLoopbackHost(const std::string& host) {
    return host == "127.0.0.1" || host == "localhost" || host == "::1";
}

// ---- requests --------------------------------------------------------------------------

namespace {

constexpr std::size_t MAX_BODY_BYTES = 1024 * 1024;
constexpr int MAX_JOBS_KEPT = 100;
constexpr int MAX_POINTS = 100000;

struct HttpError : std::runtime_error {
    HttpError(int s, const std::string& what) : std::runtime_error(what), status(s) {}
    int status;
};

void Reply(httplib::Response& res, int status, const json& body) {
    res.status = status;
    // NaN and infinity have no JSON form; dump writes them as null.
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void ReplyError(httplib::Response& res, int status, const std::string& message) {
    Reply(res, status, json{{"error", message}});
}

// The body as an object of known fields only.
json Body(const httplib::Request& req, std::initializer_list<const char*> known) {
    json body = json::object();
    if (!req.body.empty()) {
        try {
            body = json::parse(req.body);
        } catch (const json::parse_error& e) {
            throw HttpError(400, std::string("the body is not valid JSON: ") + e.what());
        }
    }
    if (!body.is_object())
        throw HttpError(400, "the body must be a JSON object");
    for (const auto& item : body.items()) {
        const std::string& key = item.key();
        if (std::none_of(known.begin(), known.end(), [&](const char* k) { return key == k; })) {
            std::string names;
            for (const char* k : known)
                names += std::string(names.empty() ? "" : ", ") + k;
            throw HttpError(400, "unknown field '" + key + "' (known: " + names + ")");
        }
    }
    return body;
}

std::string StringField(const json& body, const char* key, bool required) {
    if (!body.contains(key)) {
        if (required)
            throw HttpError(400, std::string("the field '") + key + "' is missing");
        return {};
    }
    if (!body[key].is_string())
        throw HttpError(400, std::string("the field '") + key + "' must be a string");
    return body[key].get<std::string>();
}

bool BoolField(const json& body, const char* key, bool fallback) {
    if (!body.contains(key))
        return fallback;
    if (!body[key].is_boolean())
        throw HttpError(400, std::string("the field '") + key + "' must be true or false");
    return body[key].get<bool>();
}

void OnlyParameters(const httplib::Request& req, std::initializer_list<const char*> known) {
    for (const auto& param : req.params) {
        const std::string& key = param.first;
        if (std::none_of(known.begin(), known.end(), [&](const char* k) { return key == k; }))
            throw HttpError(400, "unknown query parameter '" + key + "'");
    }
}

std::optional<double> NumberParameter(const httplib::Request& req, const char* key) {
    if (!req.has_param(key))
        return std::nullopt;
    const std::string text = req.get_param_value(key);
    char* end = nullptr;
    const double x = text.empty() ? NAN : std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(x))
        throw HttpError(400, std::string("the parameter '") + key + "' must be a number, not '" +
                                 text + "'");
    return x;
}

json Number(double x) {
    return std::isfinite(x) ? json(x) : json(nullptr);
}

json Summary(MainCtrl& ctrl, int slot) {
    Measurement* m = ctrl.List().No(slot);
    json presenter = nullptr;
    for (int p = MainCtrl::PRESENTER_A; p <= MainCtrl::PRESENTER_C; ++p)
        if (ctrl.PresenterSlot(p) == slot)
            presenter = std::string(1, static_cast<char>('A' + p));
    return json{
        {"slot", slot},        {"label", m->GetLabel()},  {"sample_rate", m->GetSamplerate()},
        {"length", m->GetN()}, {"date", m->GetRecDate()}, {"presenter", presenter},
        {"spl", m->HasSpl()}};
}

} // namespace

// ---- the server's own host ---------------------------------------------------------------

bool RemoteHost::OpenPackage(MainCtrl& ctrl, const std::string& path, bool append) {
    return append ? ctrl.Action_OpenAppendFile(path) : ctrl.Action_OpenFile(path);
}

bool RemoteHost::SavePackage(MainCtrl& ctrl, const std::string& path, bool wave) {
    return ctrl.Action_SaveFile(path, wave);
}

namespace {

class LockedHost final : public RemoteHost {
public:
    explicit LockedHost(MainCtrl& ctrl) : ctrl_(ctrl) {}

    void Run(const std::function<void()>& call) override {
        std::lock_guard lock(mutex_);
        call();
    }

    Measured Measure(int presenter, const std::string& name,
                     const std::optional<Kedra::PAudioII::SimulatedModel>& sim) override {
        AudioHelper& audio = ctrl_.Audio();
        bool wasSimulated = false;
        auto model = Kedra::PAudioII::SimulatedModel::Loopback;
        int slot = -1;
        std::unique_ptr<Measurement> fresh;
        Run([&] {
            wasSimulated = audio.UsesSimulated();
            model = audio.SimulatedModelInUse();
            if (sim)
                audio.UseSimulated(true, *sim);
            slot = ctrl_.MeasurementSlot(presenter);
            fresh = ctrl_.PrepareMeasurement(slot);
            if (fresh)
                ctrl_.ShowPresenter(presenter);
        });
        const bool measured = fresh && ctrl_.MeasureDetached(*fresh, name);
        bool placed = false;
        Run([&] {
            if (sim)
                audio.UseSimulated(wasSimulated, model);
            placed = measured && ctrl_.PlaceMeasurement(slot, std::move(fresh));
        });
        if (placed)
            return {Measured::Result::Placed, slot};
        return {measured || fresh ? Measured::Result::Failed : Measured::Result::Refused, slot};
    }

    void Abort() override { ctrl_.Audio().GetResponse().Abort(); }

private:
    MainCtrl& ctrl_;
    std::mutex mutex_;
};

} // namespace

// ---- server ----------------------------------------------------------------------------

const std::vector<RemoteServer::RouteEntry>& RemoteServer::Table() {
    static const std::vector<RouteEntry> table = {
        {"GET", "/api/status", R"(/api/status)", &RemoteServer::Status},
        {"GET", "/api/measurements", R"(/api/measurements)", &RemoteServer::List},
        {"GET", "/api/measurements/{slot}", R"(/api/measurements/([^/]+))", &RemoteServer::Info},
        {"GET", "/api/measurements/{slot}/response", R"(/api/measurements/([^/]+)/response)",
         &RemoteServer::Response},
        {"GET", "/api/measurements/{slot}/impulse", R"(/api/measurements/([^/]+)/impulse)",
         &RemoteServer::Impulse},
        {"GET", "/api/measurements/{slot}/acoustics", R"(/api/measurements/([^/]+)/acoustics)",
         &RemoteServer::Acoustics},
        {"DELETE", "/api/measurements/{slot}", R"(/api/measurements/([^/]+))",
         &RemoteServer::Delete},
        {"POST", "/api/measure", R"(/api/measure)", &RemoteServer::Measure},
        {"GET", "/api/jobs/{id}", R"(/api/jobs/([^/]+))", &RemoteServer::JobStatus},
        {"POST", "/api/open", R"(/api/open)", &RemoteServer::Open},
        {"POST", "/api/save", R"(/api/save)", &RemoteServer::Save},
        {"GET", "/openapi.json", R"(/openapi\.json)", &RemoteServer::OpenApi},
    };
    return table;
}

std::vector<RemoteServer::Route> RemoteServer::Routes() {
    std::vector<Route> routes;
    for (const RouteEntry& e : Table())
        routes.push_back({e.method, e.path});
    return routes;
}

std::string_view RemoteServer::OpenApiDocument() {
    return OPENAPI_DOCUMENT;
}

RemoteServer::RemoteServer(MainCtrl& ctrl, RemoteSettings settings, RemoteHost* host)
    : ctrl_(ctrl), settings_(std::move(settings)), server_(std::make_unique<httplib::Server>()),
      ownHost_(host == nullptr ? std::make_unique<LockedHost>(ctrl) : nullptr),
      host_(host == nullptr ? ownHost_.get() : host) {
    std::error_code ec;
    root_ = fs::weakly_canonical(fs::absolute(settings_.root, ec), ec);
    server_->set_payload_max_length(MAX_BODY_BYTES);
    // The library's default lets a second server take the same port and share its clients;
    // one that is in use must be refused, so that a script never talks to two programs.
    server_->set_socket_options([](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
    const std::string token = settings_.token;
    server_->set_pre_routing_handler([token](const httplib::Request& req, httplib::Response& res) {
        // The library bounds only bodies that state their length; a chunked one it would
        // read whole, however long.
        if (req.has_header("Transfer-Encoding")) {
            ReplyError(res, 411, "send the body with a Content-Length (at most 1 MB)");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (token.empty())
            return httplib::Server::HandlerResponse::Unhandled;
        const std::string given = req.get_header_value("Authorization");
        const std::string wanted = "Bearer " + token;
        // Compared in full whatever differs first, so the time says nothing of the token.
        unsigned diff = given.size() != wanted.size() ? 1u : 0u;
        for (std::size_t i = 0; i < given.size() && i < wanted.size(); ++i)
            diff |= static_cast<unsigned>(given[i] ^ wanted[i]);
        if (diff == 0)
            return httplib::Server::HandlerResponse::Unhandled;
        res.set_header("WWW-Authenticate", "Bearer");
        ReplyError(res, 401,
                   given.empty() ? "this server needs its token: Authorization: Bearer TOKEN"
                                 : "wrong token");
        return httplib::Server::HandlerResponse::Handled;
    });
    server_->set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty())
            return;
        if (res.status == 413)
            ReplyError(res, 413, "the body is larger than 1 MB");
        else if (res.status == 404)
            ReplyError(res, 404, "no such endpoint: " + req.method + " " + req.path);
        else
            ReplyError(res, res.status, "the request was refused");
    });
    for (const RouteEntry& e : Table()) {
        const Handler h = e.handler;
        auto call = [this, h](const httplib::Request& req, httplib::Response& res) {
            try {
                (this->*h)(req, res);
            } catch (const HttpError& err) {
                ReplyError(res, err.status, err.what());
            } catch (const RemoteUnavailable& err) {
                ReplyError(res, 503, err.what());
            } catch (const std::exception& err) {
                ReplyError(res, 500, std::string("internal error: ") + err.what());
            }
        };
        const std::string method = e.method;
        if (method == "GET")
            server_->Get(e.pattern, call);
        else if (method == "POST")
            server_->Post(e.pattern, call);
        else
            server_->Delete(e.pattern, call);
    }
    // A known path asked with a method it does not take: 405 and the methods it does.
    std::map<std::string, std::set<std::string>> allowed;
    for (const RouteEntry& e : Table())
        allowed[e.pattern].insert(e.method);
    for (const auto& [pattern, methods] : allowed) {
        std::string allow;
        for (const std::string& m : methods)
            allow += (allow.empty() ? "" : ", ") + m;
        const auto refuse = [allow](const httplib::Request& req, httplib::Response& res) {
            res.set_header("Allow", allow);
            ReplyError(res, 405, req.method + " is not taken here; this path takes " + allow);
        };
        if (!methods.contains("GET"))
            server_->Get(pattern, refuse);
        if (!methods.contains("POST"))
            server_->Post(pattern, refuse);
        if (!methods.contains("DELETE"))
            server_->Delete(pattern, refuse);
        server_->Put(pattern, refuse);
        server_->Patch(pattern, refuse);
    }
}

RemoteServer::~RemoteServer() {
    Stop();
    std::lock_guard lock(workerMutex_);
    if (worker_.joinable())
        worker_.join();
}

int RemoteServer::Bind(std::string& why) {
    int port = -1;
    if (settings_.port == 0)
        port = server_->bind_to_any_port(settings_.bind);
    else if (server_->bind_to_port(settings_.bind, settings_.port))
        port = settings_.port;
    if (port < 0)
        why = "cannot listen on " + settings_.bind + " port " + std::to_string(settings_.port) +
              " (in use, or not an address of this machine)";
    return port;
}

void RemoteServer::Listen() {
    listening_ = true;
    if (!stopRequested_)
        server_->listen_after_bind();
    listening_ = false;
}

void RemoteServer::Stop() {
    // The library ignores a stop that comes before its loop runs; each side sets its flag
    // before it reads the other's, so either Listen sees the request or this waits for the loop.
    stopRequested_ = true;
    while (listening_ && !server_->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    server_->stop();
    if (measuring_)
        host_->Abort();
}

int RemoteServer::ParseSlot(const std::string& text, bool filled) {
    int slot = -1;
    if (text == "A" || text == "B" || text == "C") {
        slot = ctrl_.PresenterSlot(text[0] - 'A');
    } else {
        char* end = nullptr;
        const long n = text.empty() ? -1 : std::strtol(text.c_str(), &end, 10);
        if (text.empty() || end != text.c_str() + text.size() || text[0] == '-' || text[0] == '+')
            throw HttpError(400, "a slot is A, B, C or a number, not '" + text + "'");
        slot = n < ctrl_.List().GetSize() ? static_cast<int>(n) : -1;
    }
    if (slot < 0 || slot >= ctrl_.List().GetSize())
        throw HttpError(404, "there is no slot " + text + " (slots 0 .. " +
                                 std::to_string(ctrl_.List().GetSize() - 1) + ")");
    if (filled && !ctrl_.List().No(slot)->IsInitialized())
        throw HttpError(404, "slot " + std::to_string(slot) + " is empty");
    return slot;
}

fs::path RemoteServer::InsideRoot(const std::string& text) const {
    if (text.empty())
        throw HttpError(400, "the field 'path' is empty");
    const fs::path given(text);
    for (const fs::path& part : given)
        if (part == "..")
            throw HttpError(403, "'..' is not allowed in a path");
    std::error_code ec;
    const fs::path full = fs::weakly_canonical(given.is_absolute() ? given : root_ / given, ec);
    if (ec)
        throw HttpError(403, "cannot resolve " + text + ": " + ec.message());
    // Links were resolved above, so one that leads out of the root is caught here too.
    const auto [r, f] = std::mismatch(root_.begin(), root_.end(), full.begin(), full.end());
    if (r != root_.end())
        throw HttpError(403, text + " lies outside the served directory " + root_.string());
    if (f == full.end())
        throw HttpError(400, text + " names the served directory itself, not a file in it");
    return full;
}

void RemoteServer::RefuseWhileMeasuring() const {
    if (measuring_ || host_->Busy())
        throw HttpError(409, "a measurement is running; try again when it has finished");
}

void RemoteServer::Status(const httplib::Request& req, httplib::Response& res) {
    OnlyParameters(req, {});
    host_->Run([&] {
        int filled = 0;
        for (int i = 0; i < ctrl_.List().GetSize(); ++i)
            filled += ctrl_.List().No(i)->IsInitialized() ? 1 : 0;
        json presenters = json::object();
        for (int p = MainCtrl::PRESENTER_A; p <= MainCtrl::PRESENTER_C; ++p)
            presenters[std::string(1, static_cast<char>('A' + p))] = ctrl_.PresenterSlot(p);
        Reply(res, 200,
              json{{"program", "Sonvel"},
                   {"measuring", measuring_.load() || host_->Busy()},
                   {"slots", ctrl_.List().GetSize()},
                   {"filled", filled},
                   {"presenters", presenters},
                   {"root", root_.string()}});
    });
}

void RemoteServer::List(const httplib::Request& req, httplib::Response& res) {
    OnlyParameters(req, {});
    host_->Run([&] {
        json list = json::array();
        for (int i = 0; i < ctrl_.List().GetSize(); ++i)
            if (ctrl_.List().No(i)->IsInitialized())
                list.push_back(Summary(ctrl_, i));
        Reply(res, 200, json{{"measurements", list}});
    });
}

void RemoteServer::Info(const httplib::Request& req, httplib::Response& res) {
    OnlyParameters(req, {});
    host_->Run([&] {
        const int slot = ParseSlot(req.matches[1], true);
        Measurement& m = *ctrl_.List().No(slot);
        json info = Summary(ctrl_, slot);
        info["signal_type"] = m.GetSignalType();
        info["amplitude"] = Number(m.GetAmplitude());
        info["time_offset"] = Number(m.GetCurrentOffset());
        info["spl_offset_db"] = m.HasSpl() ? Number(m.GetSplOffset()) : json(nullptr);
        info["info"] = Kedra::Measure::MeasurementFile::GetInfo(m);
        Reply(res, 200, info);
    });
}

void RemoteServer::Response(const httplib::Request& req, httplib::Response& res) {
    OnlyParameters(req, {"smoothing", "from", "to", "points"});
    const auto smoothing = NumberParameter(req, "smoothing");
    const auto from = NumberParameter(req, "from");
    const auto to = NumberParameter(req, "to");
    const auto points = NumberParameter(req, "points");
    if (smoothing && *smoothing < 0.0)
        throw HttpError(400, "'smoothing' is the N of 1/N octave, 0 or more (0: none)");
    if (points && (*points < 2 || *points > MAX_POINTS || *points != std::floor(*points)))
        throw HttpError(400,
                        "'points' must be a whole number from 2 to " + std::to_string(MAX_POINTS));
    host_->Run([&] {
        const int slot = ParseSlot(req.matches[1], true);
        Measurement* m = ctrl_.List().No(slot);
        const double nyquist = m->GetSamplerate() / 2.0;
        const double f0 = from.value_or(20.0);
        const double f1 = to.value_or(std::min(20000.0, nyquist));
        if (!(f0 > 0.0 && f0 < f1 && f1 <= nyquist))
            throw HttpError(400, "the range must lie in 0 < from < to <= " +
                                     std::to_string(static_cast<int>(nyquist)) + " Hz");
        // Another smoothing is computed on a copy: a read changes nothing of the record.
        Measurement copy;
        if (smoothing) {
            copy.CopyAllFrom(*m);
            copy.SetSmoothingEnabled(*smoothing > 0.0);
            if (*smoothing > 0.0)
                copy.SetSmoothNOct(*smoothing);
            m = &copy;
        }
        const int n = points ? static_cast<int>(*points) : 500;
        const double splOffset =
            ctrl_.List().No(slot)->HasSpl() ? ctrl_.List().No(slot)->GetSplOffset() : 0.0;
        std::vector<double> hz(n), db(n), degrees(n);
        for (int i = 0; i < n; ++i) {
            hz[i] = f0 * std::pow(f1 / f0, static_cast<double>(i) / (n - 1));
            const std::complex<double> h = m->GetFInterpolated(hz[i]);
            const double magnitude = std::abs(h);
            db[i] = Kedra::Math::AmplitudeToDB(magnitude) + (magnitude > 0.0 ? splOffset : 0.0);
            degrees[i] = std::arg(h) * 180.0 / std::numbers::pi;
        }
        Reply(res, 200,
              json{{"slot", slot},
                   {"unit", ctrl_.List().No(slot)->HasSpl() ? "dB SPL" : "dB"},
                   {"frequencies", hz},
                   {"db", db},
                   {"degrees", degrees}});
    });
}

void RemoteServer::Impulse(const httplib::Request& req, httplib::Response& res) {
    OnlyParameters(req, {});
    host_->Run([&] {
        const int slot = ParseSlot(req.matches[1], true);
        Measurement& m = *ctrl_.List().No(slot);
        const double* centre = m.GetI();
        if (centre == nullptr)
            throw HttpError(404, "slot " + std::to_string(slot) + " holds no impulse");
        const int half = m.GetNHalf();
        std::vector<double> samples(centre - half, centre + half);
        Reply(res, 200,
              json{{"slot", slot},
                   {"sample_rate", m.GetSamplerate()},
                   {"time_zero_index", half},
                   {"samples", samples}});
    });
}

void RemoteServer::Acoustics(const httplib::Request& req, httplib::Response& res) {
    OnlyParameters(req, {});
    host_->Run([&] {
        const int slot = ParseSlot(req.matches[1], true);
        const auto bands = Kedra::Measure::RoomAcousticsOf(*ctrl_.List().No(slot));
        if (bands.empty())
            throw HttpError(422, "no room parameters: the impulse is too short or silent");
        json rows = json::array();
        for (const auto& b : bands) {
            const auto& p = b.parameters;
            rows.push_back(json{{"band", b.name},
                                {"midband_hz", b.midband},
                                {"edt_s", Number(p.edt)},
                                {"t20_s", Number(p.t20)},
                                {"t30_s", Number(p.t30)},
                                {"c50_db", Number(p.c50)},
                                {"c80_db", Number(p.c80)},
                                {"d50_percent", Number(p.d50)},
                                {"ts_ms", Number(p.ts)},
                                {"clarity_is_bound", p.c50IsBound || p.c80IsBound}});
        }
        Reply(res, 200, json{{"slot", slot}, {"bands", rows}});
    });
}

void RemoteServer::Measure(const httplib::Request& req, httplib::Response& res) {
    const json body = Body(req, {"presenter", "sim", "name", "wait"});
    const std::string who = StringField(body, "presenter", false);
    const std::string sim = StringField(body, "sim", false);
    const std::string name = StringField(body, "name", false);
    const bool wait = BoolField(body, "wait", true);
    if (!who.empty() && who != "A" && who != "B" && who != "C")
        throw HttpError(400, "'presenter' is A, B or C, not '" + who + "'");
    const int presenter = who.empty() ? MainCtrl::PRESENTER_A : who[0] - 'A';
    std::optional<Kedra::PAudioII::SimulatedModel> model;
    if (!sim.empty()) {
        model.emplace();
        if (!Kedra::PAudioII::SimulatedModelFromName(sim, &*model))
            throw HttpError(400, "'sim' is loopback, speaker, room or dead, not '" + sim + "'");
    }

    bool expected = false;
    if (!measuring_.compare_exchange_strong(expected, true))
        throw HttpError(409, "a measurement is running; one at a time");
    auto job = std::make_shared<Job>();
    try {
        // Held until the new worker is stored, so that the next measurement joins this one.
        std::lock_guard workerLock(workerMutex_);
        if (worker_.joinable())
            worker_.join();
        {
            std::lock_guard lock(jobsMutex_);
            job->id = nextJob_++;
            jobs_[job->id] = job;
            while (static_cast<int>(jobs_.size()) > MAX_JOBS_KEPT)
                jobs_.erase(jobs_.begin());
        }
        // The measurement runs on its own thread either way, so a client that goes away does
        // not stop it halfway.
        worker_ = std::thread(
            [this, job, presenter, name, model] { RunMeasurement(job, presenter, name, model); });
    } catch (...) {
        measuring_ = false;
        throw;
    }
    std::unique_lock lock(jobsMutex_);
    if (!wait) {
        res.set_header("Location", "/api/jobs/" + std::to_string(job->id));
        Reply(res, 202, json::parse(JobJson(*job)));
        return;
    }
    jobDone_.wait(lock, [&] { return job->status != "running"; });
    if (job->status == "done")
        Reply(res, 200, json::parse(job->result));
    else
        ReplyError(res, job->httpStatus, job->error);
}

void RemoteServer::RunMeasurement(std::shared_ptr<Job> job, int presenter, std::string name,
                                  std::optional<Kedra::PAudioII::SimulatedModel> sim) {
    RemoteFrontEnd::Capture capture;
    capture.progress = [this, job](const std::string& text) {
        std::lock_guard lock(jobsMutex_);
        job->progress = text;
    };
    const auto finish = [&](int status, const std::string& result, const std::string& error) {
        {
            std::lock_guard lock(jobsMutex_);
            job->status = status == 200 ? "done" : "failed";
            job->httpStatus = status;
            job->result = result;
            job->error = error;
        }
        measuring_ = false;
        jobDone_.notify_all();
    };
    try {
        const std::string letter(1, static_cast<char>('A' + presenter));
        const RemoteHost::Measured m = host_->Measure(presenter, letter, sim);
        using Result = RemoteHost::Measured::Result;
        if (m.result == Result::Refused)
            return finish(
                409, {},
                capture.Text("slot " + std::to_string(m.slot) + " cannot be measured into"));
        if (m.result == Result::Failed)
            return finish(422, {}, capture.Text("the measurement failed"));
        std::string result;
        host_->Run([&] {
            if (!name.empty())
                ctrl_.Action_Rename(m.slot, name);
            json summary = Summary(ctrl_, m.slot);
            summary["recording_peak_db"] = Number(ctrl_.Audio().LastVerdict().db);
            summary["job"] = job->id;
            result = summary.dump(-1, ' ', false, json::error_handler_t::replace);
        });
        finish(200, result, {});
    } catch (const RemoteUnavailable& e) {
        finish(503, {}, e.what());
    } catch (const std::exception& e) {
        finish(500, {}, std::string("internal error: ") + e.what());
    }
}

std::string RemoteServer::JobJson(const Job& job) const {
    json j{{"id", job.id}, {"status", job.status}, {"progress", job.progress}};
    if (job.status == "done")
        j["result"] = json::parse(job.result);
    if (job.status == "failed")
        j["error"] = job.error;
    return j.dump();
}

void RemoteServer::JobStatus(const httplib::Request& req, httplib::Response& res) {
    OnlyParameters(req, {});
    const std::string text = req.matches[1];
    std::lock_guard lock(jobsMutex_);
    char* end = nullptr;
    const long id = std::strtol(text.c_str(), &end, 10);
    const auto it =
        end == text.c_str() + text.size() ? jobs_.find(static_cast<int>(id)) : jobs_.end();
    if (it == jobs_.end())
        throw HttpError(404, "there is no job " + text);
    Reply(res, 200, json::parse(JobJson(*it->second)));
}

void RemoteServer::Open(const httplib::Request& req, httplib::Response& res) {
    const json body = Body(req, {"path", "append"});
    const fs::path path = InsideRoot(StringField(body, "path", true));
    const bool append = BoolField(body, "append", false);
    std::error_code ec;
    if (!fs::is_regular_file(path, ec))
        throw HttpError(404, "there is no file " + path.string());
    host_->Run([&] {
        RefuseWhileMeasuring();
        RemoteFrontEnd::Capture capture;
        if (!host_->OpenPackage(ctrl_, path.string(), append))
            throw HttpError(422, capture.Text("could not open " + path.string()));
        json list = json::array();
        for (int i = 0; i < ctrl_.List().GetSize(); ++i)
            if (ctrl_.List().No(i)->IsInitialized())
                list.push_back(Summary(ctrl_, i));
        Reply(res, 200, json{{"path", path.string()}, {"measurements", list}});
    });
}

void RemoteServer::Save(const httplib::Request& req, httplib::Response& res) {
    const json body = Body(req, {"path", "wave"});
    const fs::path path = InsideRoot(StringField(body, "path", true));
    const bool wave = BoolField(body, "wave", false);
    // The root also holds the log, the options and the calibrations: a save replaces only a
    // package.
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension != ".zip")
        throw HttpError(400, "a package is saved as a .zip file, not " + path.filename().string());
    std::error_code ec;
    if (fs::exists(path, ec) && fs::file_size(path, ec) > 0 &&
        !Kedra::Measure::LooksLikeZip(path.string()))
        throw HttpError(409, path.string() + " exists and is not a package; it is left as it is");
    host_->Run([&] {
        RemoteFrontEnd::Capture capture;
        // The package is written beside and moved into place, so a failure keeps the old file.
        if (!host_->SavePackage(ctrl_, path.string(), wave))
            throw HttpError(500, capture.Text("could not save to " + path.string()));
        Reply(res, 200, json{{"path", path.string()}});
    });
}

void RemoteServer::Delete(const httplib::Request& req, httplib::Response& res) {
    OnlyParameters(req, {});
    host_->Run([&] {
        RefuseWhileMeasuring();
        const int slot = ParseSlot(req.matches[1], false);
        RemoteFrontEnd::Capture capture;
        if (!ctrl_.Action_ClearSlot(slot))
            throw HttpError(422, capture.Text("could not empty slot " + std::to_string(slot)));
        Reply(res, 200, json{{"slot", slot}, {"label", ctrl_.List().No(slot)->GetLabel()}});
    });
}

void RemoteServer::OpenApi(const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(OPENAPI_DOCUMENT), "application/json");
}

} // namespace Kedra::Sonvel
