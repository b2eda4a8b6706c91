#pragma once
// `sonvel spl`: the sound level meter over a wave file, the simulated sound card or the
// devices of the options, with readings every interval, a summary, and a CSV of the rows.

#include <functional>
#include <optional>
#include <string>

namespace CLI {
class App;
}

namespace Kedra::Sonvel {

class MainCtrl;

struct SplCommandArguments {
    std::string file;
    std::string sim;
    std::optional<double> seconds;
    std::string weighting = "A";
    double interval = 1.0;
    std::string csv;
};

CLI::App* AddSplCommand(CLI::App& app, SplCommandArguments& arguments);

// 0; 1 when the run failed (stderr says why, and no CSV is written); 2 for arguments that do
// not go together. `chooseDevices` picks the simulated card or the devices for a live run.
int RunSplCommand(MainCtrl& ctrl, const SplCommandArguments& arguments,
                  const std::function<void()>& chooseDevices);

} // namespace Kedra::Sonvel
