#include "support/TestSupport.h"

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

} // namespace SonvelTest
