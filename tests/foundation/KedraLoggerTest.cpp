#include "foundation/KedraLogger.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

using Kedra::Logging::KedraLogger;

namespace {

std::vector<std::string> ReadLines(const std::filesystem::path& p) {
    std::ifstream in(p);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// '#' in the shape stands for one digit, every other character for itself.
bool HasShape(const std::string& text, const std::string& shape) {
    if (text.size() != shape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool ok = shape[i] == '#' ? std::isdigit(static_cast<unsigned char>(text[i])) != 0
                                        : text[i] == shape[i];
        if (!ok) {
            return false;
        }
    }
    return true;
}

// Restores the test program's own log file and working directory.
struct LogScope {
    std::filesystem::path oldCwd = std::filesystem::current_path();
    ~LogScope() {
        std::filesystem::current_path(oldCwd);
        KedraLogger::Start();
        KedraLogger::Initialize(SonvelTest::LogFile().string());
    }
};

} // namespace

TEST(KedraLogger, LinesCarryATimePrefixAndTheTextUnchanged) {
    LogScope scope;
    const auto file = SonvelTest::TempDir() / "prefix.txt";
    KedraLogger::Initialize(file.string());
    KedraLogger::LogText("INFO    first line\n");
    KedraLogger::LogText(std::string("WARNING second\n"));
    const auto lines = ReadLines(file);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(HasShape(lines[0], "<##:##:##> INFO    first line")) << lines[0];
    EXPECT_TRUE(HasShape(lines[1], "<##:##:##> WARNING second")) << lines[1];
    EXPECT_TRUE(HasShape(Kedra::Logging::DateText(), "####-##-##, ##:##:##"));
    EXPECT_EQ(Kedra::Logging::GetDebugFlags(), "");

    // Initialize truncates.
    KedraLogger::Initialize(file.string());
    EXPECT_TRUE(ReadLines(file).empty());
}

TEST(KedraLogger, StopDropsLinesAndStartReopensTheDefaultFileTruncated) {
    LogScope scope;
    const auto dir = SonvelTest::TempDir() / "cwd";
    std::filesystem::create_directories(dir);
    {
        std::ofstream old(dir / KedraLogger::DEFAULT_FILE_NAME);
        old << "old content\n";
    }
    std::filesystem::current_path(dir);
    const auto file = SonvelTest::TempDir() / "stopped.txt";
    KedraLogger::Initialize(file.string());
    KedraLogger::LogText("kept\n");
    KedraLogger::Stop();
    EXPECT_FALSE(KedraLogger::IsOpen());
    KedraLogger::LogText("dropped\n");
    KedraLogger::Initialize(file.string()); // stopped: remembers the name, opens nothing
    EXPECT_FALSE(KedraLogger::IsOpen());
    const auto afterStop = ReadLines(file);
    ASSERT_EQ(afterStop.size(), 1u);
    EXPECT_NE(afterStop[0].find("kept"), std::string::npos);

    KedraLogger::Start();
    KedraLogger::LogText("reopened\n");
    const auto lines = ReadLines(dir / KedraLogger::DEFAULT_FILE_NAME);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("reopened"), std::string::npos);
}

TEST(KedraLogger, ConcurrentWritersNeverInterleaveOrLoseLines) {
    LogScope scope;
    const auto file = SonvelTest::TempDir() / "threads.txt";
    KedraLogger::Initialize(file.string());
    constexpr int THREADS = 4;
    constexpr int LINES = 500;
    std::vector<std::thread> writers;
    for (int t = 0; t < THREADS; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < LINES; ++i) {
                std::ostringstream s;
                s << "INFO    thread " << t << " line " << i << " " << std::string(40, 'x') << "\n";
                KedraLogger::LogText(s.str());
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    const auto lines = ReadLines(file);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(THREADS * LINES));
    std::set<std::pair<int, int>> seen;
    for (const auto& line : lines) {
        ASSERT_GE(line.size(), 11u);
        ASSERT_TRUE(HasShape(line.substr(0, 11), "<##:##:##> ")) << line;
        int thread = -1, index = -1;
        char tail[64] = {};
        ASSERT_EQ(
            std::sscanf(line.c_str() + 11, "INFO    thread %d line %d %63s", &thread, &index, tail),
            3)
            << line;
        EXPECT_EQ(std::string(tail), std::string(40, 'x')) << line;
        seen.insert({thread, index});
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(THREADS * LINES));
}

TEST(KedraLogger, AnUnopenableFileDropsLinesWithoutFailing) {
    LogScope scope;
    const auto dir = SonvelTest::TempDir() / "cwd2";
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    KedraLogger::Initialize((SonvelTest::TempDir() / "no" / "such" / "dir.txt").string());
    EXPECT_FALSE(KedraLogger::IsOpen());
    // With no stream the next line falls back to the default file in the working directory.
    KedraLogger::LogText("fallback\n");
    EXPECT_EQ(ReadLines(dir / KedraLogger::DEFAULT_FILE_NAME).size(), 1u);
}
