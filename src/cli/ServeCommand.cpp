#include "cli/ServeCommand.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <memory>
#include <pthread.h>
#include <stdexcept>
#include <thread>

#include "app/MainCtrl.h"
#include "cli/Refusal.h"
#include "remote/RemoteServer.h"

namespace Kedra::Sonvel {

namespace {} // namespace

CLI::App* AddServeCommand(CLI::App& app, ServeCommandArguments& a) {
    auto* serve = app.add_subcommand(
        "serve", "Serve the local HTTP API (JSON; its OpenAPI document at /openapi.json) until "
                 "Ctrl+C");
    serve->add_option("--port", a.port, "TCP port (default 4735; 0: any free port)")
        ->check(CLI::Range(0, 65535));
    serve->add_option("--bind", a.bind,
                      "Address to listen on (default 127.0.0.1; any other needs --token)");
    serve->add_option("--token", a.token, "Every request must carry 'Authorization: Bearer TOKEN'");
    serve->add_option("--root", a.root,
                      "Packages are opened and saved only inside this directory (default: the "
                      "user directory)");
    return serve;
}

int RunServeCommand(const ServeCommandArguments& a, const std::filesystem::path& userDir, bool yes,
                    bool replace, const std::function<void(MainCtrl&)>& afterStartUp) {
    if (!IsLoopbackHost(a.bind) && a.token.empty())
        return Refuse(2,
                      "--bind " + a.bind + " lets other machines in; give --token TOKEN with it");
    const std::filesystem::path root = a.root.empty() ? userDir : std::filesystem::path(a.root);
    std::error_code ec;
    if (!std::filesystem::is_directory(root, ec))
        return Refuse(2, "--root " + root.string() + " is not a directory");

    // Ctrl+C is taken by a thread of its own: every other thread, the HTTP library's
    // included, starts with these signals blocked.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A client that hangs up must not end the program through a write to its socket.
    std::signal(SIGPIPE, SIG_IGN);

    RemoteFrontEnd front(yes);
    MainCtrl ctrl(front);
    ctrl.SetReplacePolicy(
        replace ? ReplacePolicy::Replace : ReplacePolicy::Refuse,
        " (DELETE /api/measurements/{slot}), or start the server as sonvel --replace serve");
    ctrl.StartUp("");
    try {
        afterStartUp(ctrl);
    } catch (const std::exception& e) {
        ctrl.ShutDown();
        return Refuse(2, e.what());
    }

    // Gone before the shut-down, so that no request or measurement outlives the controller.
    auto server =
        std::make_unique<RemoteServer>(ctrl, RemoteSettings{a.bind, a.port, a.token, root});
    std::string why;
    const int port = server->Bind(why);
    if (port < 0) {
        server.reset();
        ctrl.ShutDown();
        return Refuse(1, why);
    }
    std::thread watcher([&server, stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        server->Stop();
    });
    const std::string host = a.bind.find(':') != std::string::npos ? "[" + a.bind + "]" : a.bind;
    std::printf("Sonvel serves on http://%s:%d (Ctrl+C stops)\n", host.c_str(), port);
    std::fflush(stdout);
    server->Listen();
    // Wakes the watcher when the server ended for another reason.
    pthread_kill(watcher.native_handle(), SIGUSR1);
    watcher.join();
    server.reset();
    std::printf("Stopped serving\n");
    const bool saved = ctrl.ShutDown();
    if (!saved)
        std::fprintf(stderr, "sonvel: autosave failed (see the log file)\n");
    return saved ? 0 : 1;
}

} // namespace Kedra::Sonvel
