#pragma once
// Where the program keeps its files. The user directory holds the log, the autosaved options,
// measurements and calibrations; it is the parent of the per-user data directory
// $XDG_DATA_HOME/Kedra/Sonvel (default ~/.local/share/Kedra/Sonvel). Both directories can
// be set, so that the command line (--user-dir) and the tests never touch a real home.
// Window's thread only.

#include <filesystem>
#include <optional>
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

// Why `directory` cannot hold the program's files ("Permission denied", "Not a directory"),
// found by creating it and a file in it; empty when it can. The file is removed again.
std::string WriteProblem(const std::filesystem::path& directory);

// `name` in the user directory, or in the system directory when `systemDirectory` is set.
std::string FilePath(const std::string& name, bool systemDirectory = false);

// Renames a file that could not be read, so that nothing is written over it, to a name beside
// it that says why: "MeasAutosaved.zip" with why "damaged-20261208-220612" becomes
// "MeasAutosaved.damaged-20261208-220612.zip". A name that is taken is never replaced: a
// counter is added instead. The new path, or nothing with `error` set.
std::optional<std::filesystem::path> MoveAside(const std::filesystem::path& file,
                                               const std::string& why, std::string& error);
// "damaged-" + local date and time as YYYYMMDD-HHMMSS.
std::string DamagedTag();

} // namespace Kedra::Sonvel::Conf
