#pragma once
// Where the program keeps its files. The user directory holds the log, the autosaved options,
// measurements and calibrations; it is the parent of the per-user data directory
// $XDG_DATA_HOME/Kedra/Sonvel (default ~/.local/share/Kedra/Sonvel). Both directories can
// be set, so that the command line (--user-dir) and the tests never touch a real home.
// Window's thread only.

#include <filesystem>
#include <string>

namespace Kedra::Sonvel::Conf {

// The per-user data directory from the environment: $XDG_DATA_HOME/Kedra/Sonvel when that
// is an absolute path, else $HOME/.local/share/Kedra/Sonvel.
std::filesystem::path DefaultAppDataDirectory();

// Its parent, unless SetUserDirectory chose another.
const std::filesystem::path& UserDirectory();
void SetUserDirectory(const std::filesystem::path& directory);

// The directory of the running program, unless SetSystemDirectory chose another.
const std::filesystem::path& SystemDirectory();
void SetSystemDirectory(const std::filesystem::path& directory);

// `name` in the user directory, or in the system directory when `systemDirectory` is set.
std::string FilePath(const std::string& name, bool systemDirectory = false);

} // namespace Kedra::Sonvel::Conf
