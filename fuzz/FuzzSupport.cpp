#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>

#include "foundation/KedraLogger.h"
#include "measure/MeasurementCore.h"
#include "measure/Package.h"

namespace Kedra::Fuzz {

namespace fs = std::filesystem;

namespace {

constexpr const char* LOG_NAME = "fuzz.log";
// The log is reopened truncated beyond this size; a reader logs a few lines per input.
constexpr std::uintmax_t MAX_LOG_BYTES = 4u << 20;

struct Private {
    Kedra::Measure::Package::TempDirectory dir;
    fs::path log;

    Private() {
        if (!dir.Valid()) {
            std::fprintf(stderr, "fuzz: no private directory: %s\n", dir.Error().c_str());
            std::abort();
        }
        log = dir.Path() / LOG_NAME;
        Kedra::Logging::KedraLogger::Initialize(log.string());
    }
    ~Private() {
        // The log is closed before its directory goes away.
        Kedra::Logging::KedraLogger::Stop();
    }
};

Private& Instance() {
    static Private p;
    return p;
}

} // namespace

const fs::path& PrivateDirectory() {
    return Instance().dir.Path();
}

Input::Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {
    Private& p = Instance();
    std::error_code ec;
    if (fs::file_size(p.log, ec) > MAX_LOG_BYTES || ec)
        Kedra::Logging::KedraLogger::Initialize(p.log.string());
}

Input::~Input() {
    Private& p = Instance();
    std::error_code ec;
    for (fs::directory_iterator it(p.dir.Path(), ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path() != p.log)
            fs::remove_all(it->path(), ec);
    }
}

std::string Input::WriteFile(const std::string& name) const {
    const fs::path path = PrivateDirectory() / name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data_), static_cast<std::streamsize>(size_));
    if (!out)
        Fail("cannot write " + path.string());
    return path.string();
}

std::string Fingerprint(Kedra::Measure::MeasurementCore& record) {
    std::string s =
        record.GetLabel() + "|" + std::to_string(record.IsInitialized()) + "|" +
        std::to_string(record.GetDataLength()) + "|" + std::to_string(record.GetSamplerate()) +
        "|" + std::to_string(record.GetExponent()) + "|" +
        std::to_string(record.GetCurrentOffset()) + "|" + std::to_string(record.GetAmplitude());
    if (record.IsInitialized()) {
        const double* x = record.GetIData();
        // Bit patterns, so that a NaN written over a NaN still counts as unchanged.
        std::uint64_t hash = 1469598103934665603ull;
        for (int i = 0; i < record.GetDataLength(); ++i) {
            std::uint64_t bits;
            std::memcpy(&bits, &x[i], sizeof bits);
            hash = (hash ^ bits) * 1099511628211ull;
        }
        s += "|" + std::to_string(hash);
    }
    return s;
}

void Fail(const std::string& what) {
    std::fprintf(stderr, "fuzz: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

} // namespace Kedra::Fuzz
