#include "app/FilePath.h"

#include <cstdlib>
#include <system_error>

namespace Kedra::Sonvel::Conf {
namespace {

std::filesystem::path& UserDirectoryStore() {
    static std::filesystem::path directory = DefaultAppDataDirectory().parent_path();
    return directory;
}

std::filesystem::path& SystemDirectoryStore() {
    static std::filesystem::path directory = [] {
        std::error_code ec;
        const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        if (!ec && exe.has_parent_path())
            return exe.parent_path();
        const std::filesystem::path here = std::filesystem::current_path(ec);
        return ec ? std::filesystem::path(".") : here;
    }();
    return directory;
}

} // namespace

std::filesystem::path DefaultAppDataDirectory() {
    // XDG's base-directory rules ignore a relative XDG_DATA_HOME.
    const char* xdg = std::getenv("XDG_DATA_HOME");
    std::filesystem::path base;
    if (xdg != nullptr && std::filesystem::path(xdg).is_absolute()) {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home != nullptr && *home != '\0' ? home : ".") / ".local" /
               "share";
    }
    return base / "Kedra" / "Sonvel";
}

const std::filesystem::path& UserDirectory() {
    return UserDirectoryStore();
}

void SetUserDirectory(const std::filesystem::path& directory) {
    UserDirectoryStore() = directory;
}

const std::filesystem::path& SystemDirectory() {
    return SystemDirectoryStore();
}

void SetSystemDirectory(const std::filesystem::path& directory) {
    SystemDirectoryStore() = directory;
}

std::string FilePath(const std::string& name, bool systemDirectory) {
    return ((systemDirectory ? SystemDirectory() : UserDirectory()) / name).string();
}

} // namespace Kedra::Sonvel::Conf
