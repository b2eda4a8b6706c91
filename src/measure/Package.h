#pragma once
// Zip packages of measurements. Unpacking trusts nothing in the archive: only entries named
// like a measurement file ("measurement-NNN.info", ".wav", ".flac") are written, each as a
// new file inside a fresh private directory; anything else (paths, links, encrypted or
// duplicate entries) is skipped with a warning; an archive whose entries would unpack to more
// than a set limit, or whose entry sizes cannot be honest, is refused as a whole.
// Writing goes to a new file beside the target, which replaces the target only once it is
// complete and on disk.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Kedra::Measure::Package {

struct Limits {
    // Bytes all unpacked entries together may take, counted as they are inflated.
    std::uint64_t maxTotalBytes = std::uint64_t{2} << 30;
    // Deflate cannot shrink data more than about 1032:1; a larger claimed ratio is forged.
    std::uint64_t maxRatio = 1100;
    // Entries of the archive looked at; a list holds at most 1000 measurements of 2 files.
    std::uint64_t maxEntries = 10000;
    // Samples all measurements of a package may decode to together (FLAC shrinks silence
    // about 4000:1, so the unpacked bytes alone do not bound the memory): 256 MB of doubles.
    std::uint64_t maxSamples = std::uint64_t{1} << 25;
};

// "measurement-" + three digits + ".info", ".wav" or ".flac".
bool IsMeasurementEntryName(std::string_view name);
// "measurement-" + index with three digits, index 0..999.
std::string EntryBaseName(int index);

// A private directory under the system temporary directory (or under `parent` when given),
// made with mkdtemp and removed with everything in it at destruction.
class TempDirectory {
public:
    explicit TempDirectory(const std::filesystem::path& parent = {});
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    bool Valid() const { return !path_.empty(); }
    const std::filesystem::path& Path() const { return path_; }
    const std::string& Error() const { return error_; }

private:
    std::filesystem::path path_;
    std::string error_;
};

// An entry that could not be unpacked for damage of its own (a checksum mismatch, a stream cut
// short or garbled), and why.
struct DamagedEntry {
    std::string name;
    std::string reason;
};

// Unpacks into `dir` (which should be a fresh TempDirectory) and lists the entry names
// written. False and `error` when the archive is refused; whatever was written then stays in
// `dir` for its owner to remove. With `damaged`, an entry damaged on its own is left out and
// listed there while the others are unpacked; without it, such an entry refuses the archive.
bool UnpackFile(const std::string& zipPath, const std::filesystem::path& dir,
                std::vector<std::string>& written, std::string& error, const Limits& limits = {},
                std::vector<DamagedEntry>* damaged = nullptr);
bool UnpackMemory(std::span<const unsigned char> zip, const std::filesystem::path& dir,
                  std::vector<std::string>& written, std::string& error, const Limits& limits = {},
                  std::vector<DamagedEntry>* damaged = nullptr);

// Builds a package next to its target and puts it in place at Commit. Destroying a writer that
// was not committed removes its file and leaves the target as it was.
class Writer {
public:
    Writer() = default;
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    bool Open(const std::string& path, std::string& error);
    bool Add(const std::string& name, std::span<const unsigned char> bytes, std::string& error);
    // Closes the archive, flushes it to disk and renames it over the target.
    bool Commit(std::string& error);

private:
    void Discard();

    std::string target_;
    std::string temp_;
    void* zip_ = nullptr;
    void* file_ = nullptr; // the FILE* the archive writes through
};

} // namespace Kedra::Measure::Package
