#include "audio/AudioLibraryLog.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "foundation/KedraLogger.h"

namespace Kedra::PAudioII {

using Kedra::Logging::KedraLogger;

namespace {

// The routes are called from C: nothing may be thrown back through the library, and a
// message that cannot be logged is dropped.
void Log(const char* level, const std::string& where, const char* text,
         const char* reason = nullptr) noexcept {
    try {
        const std::string message = LibraryMessageText(text);
        std::string line = std::string(level) + where + (message.empty() ? "" : " ") + message;
        if (reason != nullptr)
            line += std::string(": ") + reason;
        KedraLogger::LogText(line + "\n");
    } catch (...) {
    }
}

[[gnu::format(printf, 5, 6)]] void AlsaMessage(const char* file, int line, const char* function,
                                               int err, const char* fmt, ...) {
    // One byte more than is kept, so that LibraryMessageText sees that the text was longer.
    char text[LIBRARY_MESSAGE_MAX + 2];
    text[0] = '\0';
    if (fmt != nullptr) {
        va_list args;
        va_start(args, fmt);
        if (std::vsnprintf(text, sizeof text, fmt, args) < 0)
            text[0] = '\0';
        va_end(args);
    }
    try {
        const std::string where = "ALSA::" + LibraryMessageText(function) + "(" +
                                  LibraryMessageText(file) + ":" + std::to_string(line) + ")";
        Log("WARNING ", where, text, err != 0 ? snd_strerror(err) : nullptr);
    } catch (...) {
    }
}

void JackError(const char* message) {
    Log("WARNING ", "JACK::Error()", message);
}

void JackInfo(const char* message) {
    Log("INFO    ", "JACK::Info()", message);
}

} // namespace

std::string LibraryMessageText(const char* text) {
    if (text == nullptr)
        return {};
    const std::size_t length = strnlen(text, LIBRARY_MESSAGE_MAX + 1);
    const bool cut = length > LIBRARY_MESSAGE_MAX;
    std::string out(text, cut ? LIBRARY_MESSAGE_MAX : length);
    // A line feed inside a message would split its log line.
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    if (cut)
        out += " [...]";
    return out;
}

void RouteAudioLibraryMessagesToLog() {
    static std::once_flag once;
    std::call_once(once, [] {
        snd_lib_error_set_handler(&AlsaMessage);
        jack_set_error_function(&JackError);
        jack_set_info_function(&JackInfo);
    });
}

} // namespace Kedra::PAudioII
