#include "exchange/TextFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numeric>
#include <system_error>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/KedraLogger.h"

namespace Kedra {

std::vector<std::string_view> Tokenize(std::string_view text, std::string_view separators) {
    std::vector<std::string_view> tokens;
    std::size_t pos = text.find_first_not_of(separators);
    while (pos != std::string_view::npos) {
        const std::size_t end = text.find_first_of(separators, pos);
        tokens.push_back(text.substr(pos, end == std::string_view::npos ? end : end - pos));
        pos = end == std::string_view::npos ? end : text.find_first_not_of(separators, end);
    }
    return tokens;
}

namespace Text {
namespace {

// The white space strtod skips in the "C" locale.
bool IsCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c, bool hex) {
    if (c >= '0' && c <= '9')
        return true;
    return hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
}

// from_chars reports a literal beyond the double range without saying which way it went;
// strtod gives infinity for a too-large and zero for a too-small one. The literal is known
// to be well formed, so the position of its leading digit plus its exponent decides.
bool Overflows(std::string_view literal, bool hex) {
    long long lead = 0; // power of the base of the leading non-zero digit
    long long zerosAfterPoint = 0;
    bool point = false;
    bool nonZero = false;
    std::size_t i = 0;
    for (; i < literal.size(); ++i) {
        const char c = literal[i];
        if (c == '.') {
            point = true;
            continue;
        }
        if (!IsDigit(c, hex))
            break;
        if (nonZero) {
            if (!point)
                ++lead;
        } else if (c != '0') {
            nonZero = true;
            if (point)
                lead = -(zerosAfterPoint + 1);
        } else if (point) {
            ++zerosAfterPoint;
        }
    }
    long long exponent = 0;
    if (i < literal.size()) {
        ++i; // past the 'e' or 'p'
        const bool negative = i < literal.size() && literal[i] == '-';
        if (i < literal.size() && (literal[i] == '-' || literal[i] == '+'))
            ++i;
        for (; i < literal.size() && IsDigit(literal[i], false); ++i)
            if (exponent < 1000000000LL)
                exponent = exponent * 10 + (literal[i] - '0');
        if (negative)
            exponent = -exponent;
    }
    // A hexadecimal digit is four binary places and its exponent counts binary places.
    return (hex ? 4 * lead : lead) + exponent > 0;
}

} // namespace

double ParseNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsCSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // from_chars takes a '-' of its own; a second sign means nothing can be read.
    if (i >= text.size() || text[i] == '+' || text[i] == '-')
        return 0.0;

    const char* first = text.data() + i;
    const char* last = text.data() + text.size();
    bool hex = false;
    if (last - first > 2 && first[0] == '0' && (first[1] == 'x' || first[1] == 'X') &&
        (IsDigit(first[2], true) || first[2] == '.')) {
        hex = true;
        first += 2;
    }
    double value = 0.0;
    const auto result = std::from_chars(first, last, value,
                                        hex ? std::chars_format::hex : std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        const std::string_view literal(first, static_cast<std::size_t>(result.ptr - first));
        value = Overflows(literal, hex) ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (result.ec != std::errc()) {
        // "0x" without digits still reads as the 0 in front of the x.
        return hex ? (negative ? -0.0 : 0.0) : 0.0;
    }
    return negative ? -value : value;
}

void AppendNumber(std::string& out, double x) {
    char buffer[64];
    // Precision 6 in general notation is %g, what an unadorned stream writes.
    const auto result =
        std::to_chars(buffer, buffer + sizeof(buffer), x, std::chars_format::general, 6);
    out.append(buffer, result.ptr);
}

std::string FormatNumber(double x) {
    std::string out;
    AppendNumber(out, x);
    return out;
}

MemoryStreamBuf::MemoryStreamBuf(std::string_view text) {
    // The get area is only ever read from; streambuf merely lacks a const interface.
    char* p = const_cast<char*>(text.data());
    setg(p, p, p + text.size());
}

bool LineReader::Next(std::string& line) {
    using Traits = std::streambuf::traits_type;
    line.clear();
    if (done_)
        return false;
    bool any = false;
    for (;;) {
        const Traits::int_type c = in_.sbumpc();
        if (Traits::eq_int_type(c, Traits::eof())) {
            done_ = true;
            break;
        }
        any = true;
        const char ch = Traits::to_char_type(c);
        if (ch == '\n')
            break;
        if (ch == '\r' && Traits::eq_int_type(in_.sgetc(), Traits::to_int_type('\n'))) {
            in_.sbumpc();
            break;
        }
        line.push_back(ch);
        if (line.size() == MAX_LINE) {
            const Traits::int_type next = in_.sgetc();
            if (Traits::eq_int_type(next, Traits::eof())) {
                done_ = true;
            } else if (Traits::to_char_type(next) == '\n') {
                in_.sbumpc();
            } else if (Traits::to_char_type(next) == '\r') {
                in_.sbumpc();
                if (Traits::eq_int_type(in_.sgetc(), Traits::to_int_type('\n'))) {
                    in_.sbumpc();
                } else {
                    done_ = true;
                    cut_ = true;
                }
            } else {
                done_ = true;
                cut_ = true;
            }
            break;
        }
    }
    if (!any)
        return false;
    ++lineNumber_;
    return true;
}

bool SplitDataLine(std::string_view line, std::string_view separators,
                   std::vector<std::string>& tokens) {
    tokens.clear();
    line = line.substr(0, line.find('\0'));
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos || line[start] < '0' || line[start] > '9')
        return false;
    for (std::string_view t : Tokenize(line.substr(start), separators)) {
        std::string& token = tokens.emplace_back(t);
        for (char& c : token)
            if (c == ',')
                c = '.';
    }
    return true;
}

namespace {

std::string ErrnoText(int code) {
    return std::generic_category().message(code);
}

bool WriteAll(int fd, std::string_view contents) {
    const char* p = contents.data();
    std::size_t left = contents.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, p, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace

int CreateTemporaryBeside(const std::string& path, std::string& temp, std::string& error) {
    if (path.empty() || !std::filesystem::path(path).has_filename()) {
        error = "no file name";
        return -1;
    }
    static std::atomic<unsigned> counter{0};
    int fd = -1;
    // O_EXCL never reuses a name, so two savers cannot write into one temporary file.
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        error = "cannot create " + temp + ": " + ErrnoText(errno);
        return -1;
    }
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        ::fchmod(fd, old.st_mode & 07777);
    return fd;
}

void SyncDirectoryOf(const std::string& path) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    const int dirFd =
        ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

int RemoveStaleTemporaries(const std::string& path) {
    namespace fs = std::filesystem;
    const fs::path target(path);
    const std::string prefix = target.filename().string() + ".tmp";
    const fs::path parent = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    std::error_code ec;
    int removed = 0;
    for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        // Only our own pattern: digits, '-', digits.
        const std::string_view rest = std::string_view(name).substr(prefix.size());
        const std::size_t dash = rest.find('-');
        const auto digits = [](std::string_view t) {
            return !t.empty() && t.size() < 12 &&
                   std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
        };
        if (dash == std::string_view::npos || !digits(rest.substr(0, dash)) ||
            !digits(rest.substr(dash + 1)))
            continue;
        long pid = 0;
        std::from_chars(rest.data(), rest.data() + dash, pid);
        const bool alive = pid == ::getpid() ||
                           (pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM));
        if (alive || !it->is_regular_file(ec))
            continue;
        if (fs::remove(it->path(), ec)) {
            ++removed;
            Kedra::Logging::KedraLogger::LogText("INFO    RemoveStaleTemporaries( " + path +
                                                 " ) - removed " + name + "\n");
        }
    }
    return removed;
}

bool WriteFileAtomically(const std::string& path, std::string_view contents, std::string& error) {
    std::string temp;
    const int fd = CreateTemporaryBeside(path, temp, error);
    if (fd < 0)
        return false;
    std::string failed;
    int code = 0;
    if (!WriteAll(fd, contents)) {
        failed = "cannot write " + temp;
        code = errno;
    } else if (::fsync(fd) != 0) {
        failed = "cannot flush " + temp;
        code = errno;
    }
    if (::close(fd) != 0 && failed.empty()) {
        failed = "cannot close " + temp;
        code = errno;
    }
    if (failed.empty() && ::rename(temp.c_str(), path.c_str()) != 0) {
        failed = "cannot rename " + temp + " to the file";
        code = errno;
    }
    if (!failed.empty()) {
        error = failed + ": " + ErrnoText(code);
        ::unlink(temp.c_str());
        return false;
    }
    SyncDirectoryOf(path);
    return true;
}

std::string_view TrimBlanks(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string FormatFixed(double x, int decimals) {
    char buffer[512];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, x,
                                         std::chars_format::fixed, std::clamp(decimals, 0, 17));
    return ec == std::errc() ? std::string(buffer, end) : FormatNumber(x);
}

bool ReadRegularFile(const std::string& path, const std::string& who,
                     const std::string& consequence,
                     const std::function<bool(std::streambuf&)>& read) {
    auto refuse = [&](const std::string& reason) {
        Kedra::Logging::KedraLogger::LogText("WARNING " + who + " : " + reason + " -> " +
                                             consequence + "\n");
        return false;
    };
    std::error_code ec;
    if (std::filesystem::exists(path, ec) && !std::filesystem::is_regular_file(path, ec))
        return refuse("not a regular file");
    std::filebuf file;
    if (file.open(path, std::ios::in | std::ios::binary) == nullptr)
        return refuse("cannot open the file");
    try {
        return read(file);
    } catch (const std::ios_base::failure& e) {
        // The file buffer reports a read error by throwing; half a file is nothing to use.
        return refuse(std::string("read error (") + e.what() + ")");
    }
}

std::vector<std::size_t> StableAscendingOrder(const std::vector<double>& values) {
    std::vector<std::size_t> order(values.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (!std::is_sorted(values.begin(), values.end()))
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return values[a] < values[b]; });
    return order;
}

} // namespace Text
} // namespace Kedra
