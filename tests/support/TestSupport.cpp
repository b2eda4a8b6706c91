#include "support/TestSupport.h"

#include <sys/wait.h>

#include "foundation/KedraLogger.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace SonvelTest {
namespace {

struct TempDirHolder {
    std::filesystem::path path;
    pid_t owner = getpid();
    TempDirHolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "sonvel-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        path = pattern;
    }
    ~TempDirHolder() {
        // A death-test child exits through here too; only the creator removes the directory.
        if (getpid() != owner) {
            return;
        }
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

// Sends the engine's log into the private directory so that no test writes elsewhere.
class LogEnvironment : public ::testing::Environment {
public:
    void SetUp() override { Kedra::Logging::KedraLogger::Initialize(LogFile().string()); }
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new LogEnvironment);

} // namespace

const std::filesystem::path& TempDir() {
    static TempDirHolder holder;
    return holder.path;
}

std::filesystem::path LogFile() {
    return TempDir() / "KedraLogging.txt";
}

std::string ReadLog() {
    std::ifstream in(LogFile());
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<unsigned char> FuzzFinding(const std::string& reader, const std::string& name) {
    const std::string bytes = ReadBytes(std::filesystem::path(SONVEL_FUZZ_CORPUS) / reader / name);
    return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

ProgramRun RunProgram(const std::string& binary, const std::filesystem::path& dir,
                      const std::string& args) {
    const std::filesystem::path out = dir / "stdout.txt";
    const std::filesystem::path err = dir / "stderr.txt";
    const std::string command = binary + " --user-dir '" + dir.string() + "' " + args + " >'" +
                                out.string() + "' 2>'" + err.string() + "'";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadBytes(out), ReadBytes(err)};
}

void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::vector<unsigned char> HandMadeWave(int channels, int samplerate,
                                        const std::vector<std::int16_t>& samples,
                                        std::uint32_t dataSizeOverride) {
    std::vector<unsigned char> b;
    auto put = [&b](std::uint32_t v, int width) {
        for (int i = 0; i < width; ++i)
            b.push_back(static_cast<unsigned char>(v >> (8 * i)));
    };
    // Byte by byte: a range insert of the four letters trips a sanitizer build's overflow check.
    auto tag = [&b](const char* s) {
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<unsigned char>(s[i]));
    };
    const auto dataSize = static_cast<std::uint32_t>(samples.size() * 2);
    tag("RIFF");
    put(36 + dataSize, 4);
    tag("WAVE");
    tag("fmt ");
    put(16, 4);
    put(1, 2);
    put(static_cast<std::uint32_t>(channels), 2);
    put(static_cast<std::uint32_t>(samplerate), 4);
    put(static_cast<std::uint32_t>(samplerate * channels * 2), 4);
    put(static_cast<std::uint32_t>(channels * 2), 2);
    put(16, 2);
    tag("data");
    put(dataSizeOverride != 0 ? dataSizeOverride : dataSize, 4);
    for (std::int16_t s : samples)
        put(static_cast<std::uint16_t>(s), 2);
    return b;
}

} // namespace SonvelTest
