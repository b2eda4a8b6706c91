#pragma once
// `sonvel tf`: the transfer function of a measurement against its reference over wave files
// (two one-channel files, or one two-channel file: channel 1 the reference, channel 2 the
// measurement) or two inputs of the devices (--live): the delay found, then magnitude, phase
// (the delay removed) and coherence as CSV rows, and on request the result stored as a
// measurement.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace Kedra::Sonvel {

class MainCtrl;

struct TfCommandArguments {
    std::vector<std::string> files;
    std::optional<int> fft;
    std::optional<int> octaveResolution;
    std::string csv;
    std::string into;
    bool live = false;
    std::string sim;
    std::optional<int> refInput; // counted from 1
    std::optional<int> input;
    std::optional<double> seconds;
};

CLI::App* AddTfCommand(CLI::App& app, TfCommandArguments& arguments);

// 0; 1 when the files or the inputs cannot be used (stderr says why, and nothing is written or
// stored); 2 for arguments that do not go together. `parseSlot` turns --into's text into a
// slot number; `chooseDevices` picks the simulated card or the devices for a live run.
int RunTfCommand(MainCtrl& ctrl, const TfCommandArguments& arguments,
                 const std::function<int(const std::string&)>& parseSlot,
                 const std::function<void()>& chooseDevices);

} // namespace Kedra::Sonvel
