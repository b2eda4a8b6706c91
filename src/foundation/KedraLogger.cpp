#include "foundation/KedraLogger.h"

#include <cstdio>
#include <ctime>

namespace Kedra::Logging {
namespace {

std::tm LocalNow() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

} // namespace

std::string GetDebugFlags() {
    return std::string();
}

std::string TimePrefix() {
    std::tm tm = LocalNow();
    char buf[32];
    std::snprintf(buf, sizeof buf, "<%02d:%02d:%02d> ", tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string DateText() {
    std::tm tm = LocalNow();
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d, %02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

KedraLogger& KedraLogger::Instance() {
    // Deliberately leaked: lines may be logged from static destructors of other modules.
    static KedraLogger* instance = new KedraLogger();
    return *instance;
}

void KedraLogger::OpenLocked(const std::string& fileName) {
    if (hasStream_) {
        stream_.close();
        hasStream_ = false;
    }
    fileName_ = fileName;
    if (stopped_) {
        return;
    }
    stream_.clear();
    stream_.open(fileName, std::ios::out | std::ios::trunc);
    // A log that cannot be opened drops lines silently.
    hasStream_ = stream_.is_open();
}

void KedraLogger::Initialize(const std::string& fileName) {
    KedraLogger& self = Instance();
    std::lock_guard<std::mutex> lock(self.mutex_);
    self.OpenLocked(fileName);
}

void KedraLogger::LogText(const std::string& text) {
    KedraLogger& self = Instance();
    std::lock_guard<std::mutex> lock(self.mutex_);
    if (self.stopped_) {
        return;
    }
    if (!self.hasStream_) {
        self.OpenLocked(DEFAULT_FILE_NAME);
    }
    if (self.hasStream_) {
        self.stream_ << TimePrefix() << text;
        self.stream_.flush();
    }
}

void KedraLogger::LogText(const char* text) {
    LogText(std::string(text == nullptr ? "" : text));
}

void KedraLogger::Stop() {
    KedraLogger& self = Instance();
    std::lock_guard<std::mutex> lock(self.mutex_);
    if (self.hasStream_) {
        self.stream_.close();
        self.hasStream_ = false;
    }
    self.stopped_ = true;
}

void KedraLogger::Start() {
    KedraLogger& self = Instance();
    std::lock_guard<std::mutex> lock(self.mutex_);
    // The next line reopens the default file.
    self.stopped_ = false;
}

std::string KedraLogger::FileName() {
    KedraLogger& self = Instance();
    std::lock_guard<std::mutex> lock(self.mutex_);
    return self.fileName_;
}

bool KedraLogger::IsOpen() {
    KedraLogger& self = Instance();
    std::lock_guard<std::mutex> lock(self.mutex_);
    return self.hasStream_;
}

} // namespace Kedra::Logging
