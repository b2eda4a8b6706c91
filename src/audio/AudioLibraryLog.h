#pragma once
// ALSA and JACK, which PortAudio loads, print their complaints on stderr: dozens of lines on a
// machine without a sound card or without a JACK server. These routes send them to the log
// file instead.
//
// Threads: the libraries call the routes from whichever thread they are on (PortAudio's
// threads included); each message becomes one whole log line.

#include <cstddef>
#include <string>

namespace Kedra::PAudioII {

// Installs the routes once per process; later calls do nothing. Call before Pa_Initialize.
void RouteAudioLibraryMessagesToLog();

// Longest message text kept in a log line; longer ones end in "[...]".
inline constexpr std::size_t LIBRARY_MESSAGE_MAX = 1000;

// A library's text as one log-line fragment: control characters become spaces, trailing
// blanks go, and a text longer than LIBRARY_MESSAGE_MAX is cut. Null reads as "".
std::string LibraryMessageText(const char* text);

} // namespace Kedra::PAudioII
