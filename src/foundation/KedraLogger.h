#pragma once
// The process-wide log file. Written from the window's thread and from workers: a mutex
// makes every line whole, and no line is lost while the log is open. Never call from
// the audio callback except for the single trigger line the stream allows.

#include <fstream>
#include <mutex>
#include <string>

namespace Kedra::Logging {

std::string GetDebugFlags();

// "<HH:MM:SS> " in local time.
std::string TimePrefix();
// "YYYY-MM-DD, HH:MM:SS" in local time, the record date of a measurement.
std::string DateText();

class KedraLogger {
public:
    static constexpr const char* DEFAULT_FILE_NAME = "KedraLogging.txt";

    // Closes any open file, remembers the name and, unless stopped, opens it truncated.
    static void Initialize(const std::string& fileName);
    // Writes the time prefix and the text (the caller supplies the line feed).
    static void LogText(const std::string& text);
    static void LogText(const char* text);
    // Closes the file and drops every line until Start.
    static void Stop();
    // The next line reopens the default file.
    static void Start();

    static std::string FileName();
    static bool IsOpen();

private:
    KedraLogger() = default;
    static KedraLogger& Instance();
    void OpenLocked(const std::string& fileName);

    std::mutex mutex_;
    std::ofstream stream_;
    bool hasStream_ = false;
    std::string fileName_;
    bool stopped_ = false;
};

} // namespace Kedra::Logging
