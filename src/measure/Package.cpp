#include "measure/Package.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <minizip/unzip.h>
#include <minizip/zip.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

#include "exchange/TextFile.h"
#include "foundation/KedraLogger.h"

namespace Kedra::Measure::Package {
namespace {

constexpr std::size_t CHUNK = 1 << 16;
constexpr std::size_t MAX_NAME = 255;

std::string ErrnoText(int code) {
    return std::strerror(code);
}

// Entry names come from the archive: never let one forge a log line.
std::string Printable(std::string_view name) {
    std::string out;
    for (const char c : name.substr(0, 120))
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    if (name.size() > 120)
        out += "...";
    return out;
}

void Warn(const std::string& source, const std::string& text) {
    Kedra::Logging::KedraLogger::LogText("WARNING Package::Unpack( " + source + " ) - " + text +
                                         "\n");
}

// --- minizip over a byte span ----------------------------------------------------------

struct MemoryStream {
    std::span<const unsigned char> bytes;
    std::uint64_t position = 0;
};

voidpf ZCALLBACK MemoryOpen(voidpf opaque, const void*, int mode) {
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
        return nullptr;
    return opaque;
}

uLong ZCALLBACK MemoryRead(voidpf, voidpf stream, void* buf, uLong size) {
    auto* s = static_cast<MemoryStream*>(stream);
    const std::uint64_t left =
        s->bytes.size() - std::min<std::uint64_t>(s->position, s->bytes.size());
    const uLong n = static_cast<uLong>(std::min<std::uint64_t>(left, size));
    if (n > 0)
        std::memcpy(buf, s->bytes.data() + s->position, n);
    s->position += n;
    return n;
}

uLong ZCALLBACK MemoryWrite(voidpf, voidpf, const void*, uLong) {
    return 0;
}

ZPOS64_T ZCALLBACK MemoryTell(voidpf, voidpf stream) {
    return static_cast<MemoryStream*>(stream)->position;
}

long ZCALLBACK MemorySeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    auto* s = static_cast<MemoryStream*>(stream);
    std::uint64_t base = 0;
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
        base = 0;
        break;
    case ZLIB_FILEFUNC_SEEK_CUR:
        base = s->position;
        break;
    case ZLIB_FILEFUNC_SEEK_END:
        base = s->bytes.size();
        break;
    default:
        return -1;
    }
    if (offset > s->bytes.size() || base + offset > s->bytes.size())
        return -1;
    s->position = base + offset;
    return 0;
}

int ZCALLBACK MemoryClose(voidpf, voidpf) {
    return 0;
}

int ZCALLBACK MemoryError(voidpf, voidpf) {
    return 0;
}

// The writer hands minizip a FILE* it opened itself (exclusively, with the right mode).
voidpf ZCALLBACK OpenGiven(voidpf opaque, const void*, int) {
    return opaque;
}

// --- Unpacking ---------------------------------------------------------------------------

struct Planned {
    unz64_file_pos position{};
    std::string name;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
};

bool IsLink(const unz_file_info64& info) {
    // Unix hosts keep the file type in the high half of the external attributes.
    return ((info.external_fa >> 16) & 0170000) == 0120000;
}

bool Plan(unzFile uf, const std::string& source, const Limits& limits, std::vector<Planned>& plan,
          std::string& error) {
    unz_global_info64 global{};
    if (unzGetGlobalInfo64(uf, &global) != UNZ_OK) {
        error = "not a readable zip archive";
        return false;
    }
    if (global.number_entry > limits.maxEntries) {
        error = std::to_string(global.number_entry) + " entries";
        return false;
    }
    std::set<std::string> seen;
    std::uint64_t total = 0;
    int status = unzGoToFirstFile(uf);
    for (std::uint64_t i = 0; status == UNZ_OK; ++i) {
        if (i >= limits.maxEntries) {
            error = "more entries than the archive declares";
            return false;
        }
        unz_file_info64 info{};
        char nameBuffer[MAX_NAME + 1] = {};
        if (unzGetCurrentFileInfo64(uf, &info, nameBuffer, sizeof(nameBuffer), nullptr, 0, nullptr,
                                    0) != UNZ_OK) {
            error = "damaged entry directory";
            return false;
        }
        const std::string name(nameBuffer, std::min<std::size_t>(info.size_filename, MAX_NAME));
        if (info.size_filename > MAX_NAME || !IsMeasurementEntryName(name)) {
            Warn(source, "skipped entry: " + Printable(name));
        } else if (IsLink(info)) {
            Warn(source, "skipped link entry: " + Printable(name));
        } else if ((info.flag & 1) != 0) {
            Warn(source, "skipped encrypted entry: " + Printable(name));
        } else if (info.compression_method != 0 && info.compression_method != Z_DEFLATED) {
            Warn(source, "skipped entry with unknown compression: " + Printable(name));
        } else if (!seen.insert(name).second) {
            Warn(source, "skipped second entry of the same name: " + Printable(name));
        } else {
            const std::uint64_t size = info.uncompressed_size;
            const std::uint64_t packed = info.compressed_size;
            if (size > 0 && (packed == 0 || size / packed >= limits.maxRatio)) {
                error = "entry " + name + " claims " + std::to_string(size) + " bytes from " +
                        std::to_string(packed);
                return false;
            }
            total += size;
            if (size > limits.maxTotalBytes || total > limits.maxTotalBytes) {
                error = "entries would unpack to more than " +
                        std::to_string(limits.maxTotalBytes) + " bytes";
                return false;
            }
            Planned p;
            if (unzGetFilePos64(uf, &p.position) != UNZ_OK) {
                error = "damaged entry directory";
                return false;
            }
            p.name = name;
            p.size = size;
            p.crc = static_cast<std::uint32_t>(info.crc);
            plan.push_back(std::move(p));
        }
        status = unzGoToNextFile(uf);
    }
    if (status != UNZ_END_OF_LIST_OF_FILE) {
        error = "damaged entry directory";
        return false;
    }
    return true;
}

bool WriteAll(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

enum class Extracted { Ok, Damaged, Refused };

// The entry's stored bytes, inflated here rather than by minizip, which stops at the declared
// size and so cannot tell a forged size from a damaged stream. Damage confined to one entry (a
// bad checksum, a cut or garbled stream) loses only that entry when the caller takes a list of
// damaged entries; more bytes than the entry declares are forgery and refuse the archive.
Extracted Extract(unzFile uf, const Planned& entry, const std::filesystem::path& dir,
                  std::uint64_t& total, const Limits& limits, std::string& error) {
    int method = 0;
    int level = 0;
    if (unzGoToFilePos64(uf, &entry.position) != UNZ_OK ||
        unzOpenCurrentFile2(uf, &method, &level, 1) != UNZ_OK) {
        error = "cannot read entry " + entry.name;
        return Extracted::Damaged;
    }
    const std::string path = (dir / entry.name).string();
    // A new file only: nothing that is already there, and no link, is ever written through.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot create " + path + ": " + ErrnoText(errno);
        unzCloseCurrentFile(uf);
        return Extracted::Refused;
    }
    const bool deflated = method == Z_DEFLATED;
    z_stream z{};
    if (deflated && inflateInit2(&z, -MAX_WBITS) != Z_OK) {
        error = "cannot inflate entry " + entry.name;
        ::close(fd);
        unzCloseCurrentFile(uf);
        return Extracted::Refused;
    }
    std::vector<unsigned char> packed(CHUNK);
    std::vector<unsigned char> plain(CHUNK);
    std::uint64_t size = 0;
    uLong crc = crc32(0L, Z_NULL, 0);
    bool ended = !deflated;
    Extracted result = Extracted::Ok;
    const auto take = [&](const unsigned char* data, std::size_t n) {
        size += n;
        total += n;
        // The directory's sizes are only claims; what is inflated is what counts.
        if (size > entry.size || total > limits.maxTotalBytes) {
            error = "entry " + entry.name + " unpacks to more than it declares";
            result = Extracted::Refused;
            return false;
        }
        crc = crc32(crc, data, static_cast<uInt>(n));
        if (!WriteAll(fd, data, n)) {
            error = "cannot write " + path + ": " + ErrnoText(errno);
            result = Extracted::Refused;
            return false;
        }
        return true;
    };
    for (bool more = true; more && result == Extracted::Ok;) {
        const int n = unzReadCurrentFile(uf, packed.data(), static_cast<unsigned>(packed.size()));
        if (n < 0) {
            error = "damaged data in entry " + entry.name;
            result = Extracted::Damaged;
            break;
        }
        more = n > 0;
        if (!deflated) {
            if (more)
                take(packed.data(), static_cast<std::size_t>(n));
            continue;
        }
        z.next_in = packed.data();
        z.avail_in = static_cast<uInt>(n);
        // Inflate everything that was read, also past the declared size: that is the check.
        while (result == Extracted::Ok && !ended && (z.avail_in > 0 || !more)) {
            z.next_out = plain.data();
            z.avail_out = static_cast<uInt>(plain.size());
            const int status = inflate(&z, more ? Z_NO_FLUSH : Z_FINISH);
            const std::size_t produced = plain.size() - z.avail_out;
            if (produced > 0 && !take(plain.data(), produced))
                break;
            if (status == Z_STREAM_END) {
                ended = true;
            } else if (status != Z_OK && !(status == Z_BUF_ERROR && produced > 0)) {
                error = "damaged data in entry " + entry.name;
                result = Extracted::Damaged;
            } else if (!more && produced == 0) {
                error = "entry " + entry.name + " ends early";
                result = Extracted::Damaged;
            }
        }
    }
    if (deflated)
        inflateEnd(&z);
    if (result == Extracted::Ok && size != entry.size) {
        error = "entry " + entry.name + " is shorter than it declares";
        result = Extracted::Damaged;
    }
    if (result == Extracted::Ok && static_cast<std::uint32_t>(crc) != entry.crc) {
        error = "checksum mismatch in entry " + entry.name;
        result = Extracted::Damaged;
    }
    unzCloseCurrentFile(uf);
    if (::close(fd) != 0 && result == Extracted::Ok) {
        error = "cannot write " + path + ": " + ErrnoText(errno);
        result = Extracted::Refused;
    }
    if (result == Extracted::Damaged)
        ::unlink(path.c_str());
    return result;
}

// minizip refuses an archive without entries, which is what an empty list saves: only the end
// record, announcing nothing.
bool IsEmptyArchive(std::span<const unsigned char> b) {
    const auto u16 = [&](std::size_t at) { return b[at] | (b[at + 1] << 8); };
    const auto u32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(u16(at)) |
               (static_cast<std::uint32_t>(u16(at + 2)) << 16);
    };
    return b.size() >= 22 && b[0] == 'P' && b[1] == 'K' && b[2] == 5 && b[3] == 6 && u16(4) == 0 &&
           u16(6) == 0 && u16(8) == 0 && u16(10) == 0 && u32(12) == 0 && u32(16) == 0 &&
           static_cast<std::size_t>(u16(20)) == b.size() - 22;
}

bool Unpack(unzFile uf, const std::string& source, const std::filesystem::path& dir,
            std::vector<std::string>& written, std::string& error, const Limits& limits,
            std::vector<DamagedEntry>* damaged) {
    written.clear();
    if (damaged != nullptr)
        damaged->clear();
    if (uf == nullptr) {
        error = "not a readable zip archive";
        return false;
    }
    std::vector<Planned> plan;
    bool ok = Plan(uf, source, limits, plan, error);
    std::uint64_t total = 0;
    for (std::size_t i = 0; ok && i < plan.size(); ++i) {
        std::string why;
        switch (Extract(uf, plan[i], dir, total, limits, why)) {
        case Extracted::Ok:
            written.push_back(plan[i].name);
            break;
        case Extracted::Damaged:
            if (damaged != nullptr) {
                Warn(source, why);
                damaged->push_back({plan[i].name, why});
                break;
            }
            [[fallthrough]];
        case Extracted::Refused:
            error = why;
            ok = false;
            break;
        }
    }
    unzClose(uf);
    return ok;
}

} // namespace

bool IsMeasurementEntryName(std::string_view name) {
    constexpr std::string_view prefix = "measurement-";
    if (name.size() < prefix.size() + 3 || name.substr(0, prefix.size()) != prefix)
        return false;
    const std::string_view digits = name.substr(prefix.size(), 3);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const std::string_view ext = name.substr(prefix.size() + 3);
    return ext == ".info" || ext == ".wav" || ext == ".flac";
}

std::string EntryBaseName(int index) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "measurement-%03d", index);
    return buf;
}

TempDirectory::TempDirectory(const std::filesystem::path& parent) {
    std::error_code ec;
    const std::filesystem::path base =
        parent.empty() ? std::filesystem::temp_directory_path(ec) : parent;
    if (ec) {
        error_ = "no temporary directory: " + ec.message();
        return;
    }
    std::string pattern = (base / "sonvel-package-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        error_ = "cannot create a directory in " + base.string() + ": " + ErrnoText(errno);
        return;
    }
    path_ = pattern;
}

TempDirectory::~TempDirectory() {
    if (!path_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
}

bool UnpackFile(const std::string& zipPath, const std::filesystem::path& dir,
                std::vector<std::string>& written, std::string& error, const Limits& limits,
                std::vector<DamagedEntry>* damaged) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(zipPath, ec);
    if (!ec && size >= 22 && size <= 22 + 0xffff) {
        std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
        std::FILE* f = std::fopen(zipPath.c_str(), "rb");
        const bool read =
            f != nullptr && std::fread(bytes.data(), 1, bytes.size(), f) == bytes.size();
        if (f != nullptr)
            std::fclose(f);
        if (read && IsEmptyArchive(bytes)) {
            written.clear();
            if (damaged != nullptr)
                damaged->clear();
            return true;
        }
    }
    return Unpack(unzOpen64(zipPath.c_str()), zipPath, dir, written, error, limits, damaged);
}

bool UnpackMemory(std::span<const unsigned char> zip, const std::filesystem::path& dir,
                  std::vector<std::string>& written, std::string& error, const Limits& limits,
                  std::vector<DamagedEntry>* damaged) {
    if (IsEmptyArchive(zip)) {
        written.clear();
        if (damaged != nullptr)
            damaged->clear();
        return true;
    }
    MemoryStream stream{zip, 0};
    zlib_filefunc64_def functions{};
    functions.zopen64_file = MemoryOpen;
    functions.zread_file = MemoryRead;
    functions.zwrite_file = MemoryWrite;
    functions.ztell64_file = MemoryTell;
    functions.zseek64_file = MemorySeek;
    functions.zclose_file = MemoryClose;
    functions.zerror_file = MemoryError;
    functions.opaque = &stream;
    return Unpack(unzOpen2_64("<memory>", &functions), "<memory>", dir, written, error, limits,
                  damaged);
}

// --- Writer ------------------------------------------------------------------------------

Writer::~Writer() {
    Discard();
}

void Writer::Discard() {
    if (zip_ != nullptr)
        zipClose(static_cast<zipFile>(zip_), nullptr);
    else if (file_ != nullptr)
        std::fclose(static_cast<FILE*>(file_));
    zip_ = nullptr;
    file_ = nullptr;
    if (!temp_.empty())
        ::unlink(temp_.c_str());
    temp_.clear();
}

bool Writer::Open(const std::string& path, std::string& error) {
    Discard();
    const int fd = Kedra::Text::CreateTemporaryBeside(path, temp_, error);
    if (fd < 0) {
        temp_.clear();
        return false;
    }
    FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) {
        error = "cannot open " + temp_ + ": " + ErrnoText(errno);
        ::close(fd);
        ::unlink(temp_.c_str());
        temp_.clear();
        return false;
    }
    file_ = file;
    zlib_filefunc64_def functions{};
    fill_fopen64_filefunc(&functions);
    functions.zopen64_file = OpenGiven;
    functions.opaque = file;
    zip_ = zipOpen2_64(temp_.c_str(), APPEND_STATUS_CREATE, nullptr, &functions);
    if (zip_ == nullptr) {
        error = "cannot start an archive in " + temp_;
        Discard();
        return false;
    }
    target_ = path;
    return true;
}

bool Writer::Add(const std::string& name, std::span<const unsigned char> bytes,
                 std::string& error) {
    if (zip_ == nullptr) {
        error = "no archive open";
        return false;
    }
    auto* zf = static_cast<zipFile>(zip_);
    zip_fileinfo info{};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local) != nullptr) {
        info.tmz_date.tm_sec = static_cast<uInt>(local.tm_sec);
        info.tmz_date.tm_min = static_cast<uInt>(local.tm_min);
        info.tmz_date.tm_hour = static_cast<uInt>(local.tm_hour);
        info.tmz_date.tm_mday = static_cast<uInt>(local.tm_mday);
        info.tmz_date.tm_mon = static_cast<uInt>(local.tm_mon);
        info.tmz_date.tm_year = static_cast<uInt>(local.tm_year + 1900);
    }
    info.external_fa = static_cast<uLong>(0100644) << 16;
    const int zip64 = bytes.size() >= 0xffffffffu ? 1 : 0;
    if (zipOpenNewFileInZip64(zf, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                              Z_DEFAULT_COMPRESSION, zip64) != ZIP_OK) {
        error = "cannot add " + name + " to " + temp_;
        return false;
    }
    bool ok = true;
    for (std::size_t done = 0; ok && done < bytes.size(); done += CHUNK) {
        const std::size_t n = std::min(CHUNK, bytes.size() - done);
        ok = zipWriteInFileInZip(zf, bytes.data() + done, static_cast<unsigned>(n)) == ZIP_OK;
    }
    if (zipCloseFileInZip(zf) != ZIP_OK)
        ok = false;
    if (!ok)
        error = "cannot write " + name + " into " + temp_ + ": " + ErrnoText(errno);
    return ok;
}

bool Writer::Commit(std::string& error) {
    if (zip_ == nullptr) {
        error = "no archive open";
        return false;
    }
    auto* file = static_cast<FILE*>(file_);
    // zipClose closes the FILE*; a duplicate of its descriptor lets the bytes be flushed to
    // the disk afterwards.
    const int fd = ::dup(::fileno(file));
    const int closed = zipClose(static_cast<zipFile>(zip_), nullptr);
    zip_ = nullptr;
    file_ = nullptr;
    std::string failed;
    int code = 0;
    if (closed != ZIP_OK) {
        failed = "cannot finish " + temp_;
        code = errno;
    } else if (fd < 0 || ::fsync(fd) != 0) {
        failed = "cannot flush " + temp_;
        code = errno;
    }
    if (fd >= 0)
        ::close(fd);
    if (failed.empty() && ::rename(temp_.c_str(), target_.c_str()) != 0) {
        failed = "cannot rename " + temp_ + " to " + target_;
        code = errno;
    }
    if (!failed.empty()) {
        error = failed + ": " + ErrnoText(code);
        Discard();
        return false;
    }
    temp_.clear();
    Kedra::Text::SyncDirectoryOf(target_);
    return true;
}

} // namespace Kedra::Measure::Package
