#pragma once
// `sonvel eq SLOT`: parametric filters fitted to a target, the table and the before/after
// figures printed, the filters written for an equaliser, and the prediction into a slot.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace Kedra::Sonvel {

class MainCtrl;

struct EqCommandArguments {
    std::string slot;
    std::string target = "flat";
    std::optional<double> level;
    double from = 20.0;
    double to = 300.0;
    int filters = 10;
    double maxBoost = 6.0;
    double maxCut = 15.0;
    std::vector<double> q = {0.5, 10.0};
    double smoothing = 6.0;
    bool shelves = false;
    std::string device;
    std::string format;
    std::string out;
    std::string into;
    bool fir = false;
    int taps = 65536;
    std::string phase = "minimum";
    double rate = 48000.0;
};

CLI::App* AddEqCommand(CLI::App& app, EqCommandArguments& arguments);

// 0; 1 when the request cannot be met (stderr says why, and nothing is written); 2 for
// arguments that do not go together. `parseSlot` turns A, B, C or a number into a slot.
int RunEqCommand(MainCtrl& ctrl, const EqCommandArguments& arguments,
                 const std::function<int(const std::string&)>& parseSlot);

} // namespace Kedra::Sonvel
