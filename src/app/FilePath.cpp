#include "app/FilePath.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>

#include "exchange/TextFile.h"

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

namespace {

// Never over an existing file: the kernel's no-replace rename, or a hard link and unlink where
// the file system knows no such rename.
int RenameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    if (::link(from.c_str(), to.c_str()) != 0)
        return errno;
    ::unlink(from.c_str());
    return 0;
}

} // namespace

std::string WriteProblem(const std::filesystem::path& directory) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (ec)
        return ec.message();
    // Only writing tells: permissions, a read-only mount and a full disk all answer here.
    const std::string probe =
        (directory / (".sonvel-write-test-" + std::to_string(::getpid()))).string();
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0)
        return std::strerror(errno);
    ::close(fd);
    ::unlink(probe.c_str());
    return {};
}

std::optional<std::filesystem::path> MoveAside(const std::filesystem::path& file,
                                               const std::string& why, std::string& error) {
    // `why` may carry a version read from the file itself: nothing of it may leave the
    // directory or make the name unreadable.
    std::string tag;
    for (const char c : why.substr(0, 48))
        tag += (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-') ? c : '_';
    const std::string stem = file.stem().string();
    const std::string extension = file.extension().string();
    int code = 0;
    for (int n = 1; n <= 1000; ++n) {
        std::string name = stem + "." + tag;
        if (n > 1) {
            name += '-';
            name += std::to_string(n);
        }
        const std::filesystem::path target = file.parent_path() / (name + extension);
        code = RenameNoReplace(file, target);
        if (code == 0) {
            Kedra::Text::SyncDirectoryOf(target.string());
            return target;
        }
        if (code != EEXIST)
            break;
    }
    error = std::strerror(code);
    return std::nullopt;
}

std::string DamagedTag() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char text[32] = "damaged";
    if (::localtime_r(&now, &local) != nullptr)
        std::strftime(text, sizeof text, "damaged-%Y%m%d-%H%M%S", &local);
    return text;
}

} // namespace Kedra::Sonvel::Conf
