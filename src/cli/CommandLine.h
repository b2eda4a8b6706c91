#pragma once
// The sonvel command line: one run is one session of the program (options and the autosaved
// measurements loaded from the user directory, the command done, everything autosaved).

namespace Kedra::Sonvel {

// Returns the process exit status: 0 success, 1 the operation failed, 2 a usage error.
int RunCommandLine(int argc, char** argv);

} // namespace Kedra::Sonvel
