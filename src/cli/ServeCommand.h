#pragma once
// `sonvel serve`: the local HTTP API over the controller until Ctrl+C.

#include <filesystem>
#include <functional>
#include <string>

namespace CLI {
class App;
}

namespace Kedra::Sonvel {

class MainCtrl;

struct ServeCommandArguments {
    int port = 4735;
    std::string bind = "127.0.0.1";
    std::string token;
    std::string root;
};

CLI::App* AddServeCommand(CLI::App& app, ServeCommandArguments& arguments);

// Builds its own controller, whose messages go to the requests that caused them. `afterStartUp`
// applies the run's option changes. 0 after Ctrl+C; 1 when it cannot listen; 2 for arguments
// that do not go together.
int RunServeCommand(const ServeCommandArguments& arguments, const std::filesystem::path& userDir,
                    bool yes, bool replace, const std::function<void(MainCtrl&)>& afterStartUp);

} // namespace Kedra::Sonvel
