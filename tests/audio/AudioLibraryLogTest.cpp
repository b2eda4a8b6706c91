#include "audio/AudioLibraryLog.h"

#include <gtest/gtest.h>

#include <alsa/asoundlib.h>
#include <jack/jack.h>

#include <cerrno>
#include <string>

#include "support/TestSupport.h"

namespace {

using namespace Kedra::PAudioII;

// The log line that holds `fragment`, without its time prefix; "" when there is none.
std::string LogLineWith(const std::string& fragment) {
    const std::string log = SonvelTest::ReadLog();
    const auto at = log.find(fragment);
    if (at == std::string::npos)
        return {};
    const auto begin = log.rfind('\n', at);
    const auto end = log.find('\n', at);
    const std::string line =
        log.substr(begin == std::string::npos ? 0 : begin + 1,
                   end == std::string::npos ? std::string::npos : end - (begin + 1));
    const auto prefix = line.find("> ");
    return prefix == std::string::npos ? line : line.substr(prefix + 2);
}

TEST(AudioLibraryLog, MalformedTextsBecomeOneBoundedLine) {
    EXPECT_EQ(LibraryMessageText(nullptr), "");
    EXPECT_EQ(LibraryMessageText(""), "");
    EXPECT_EQ(LibraryMessageText("two\nlines\r\tand\x7f"
                                 "bell\a \n \n"),
              "two lines  and bell");
    const std::string full(LIBRARY_MESSAGE_MAX, 'x');
    EXPECT_EQ(LibraryMessageText(full.c_str()), full);
    const std::string longer = full + "yz";
    EXPECT_EQ(LibraryMessageText(longer.c_str()), full + " [...]");
}

TEST(AudioLibraryLog, AlsaAndJackComplaintsGoToTheLogNotToStderr) {
    RouteAudioLibraryMessagesToLog();
    RouteAudioLibraryMessagesToLog(); // a second call changes nothing
    ::testing::internal::CaptureStderr();

    // Real failures of the libraries themselves.
    snd_pcm_t* pcm = nullptr;
    EXPECT_LT(snd_pcm_open(&pcm, "sonvel_no_such_pcm", SND_PCM_STREAM_PLAYBACK, 0), 0);
    jack_status_t status{};
    jack_client_t* client = jack_client_open(
        "sonveltest", static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status,
        "sonvel_no_such_server");
    EXPECT_EQ(client, nullptr);

    // Hostile texts through the installed routes: a conversion whose argument is far longer
    // than the line may be, line feeds, a null format and null places.
    const std::string huge(5 * LIBRARY_MESSAGE_MAX, 'h');
    snd_lib_error("huge.c", 7, "huge_fn", -ENOENT, "start %s end\n", huge.c_str());
    snd_lib_error(nullptr, -1, nullptr, 0, nullptr);
    jack_info_callback("info\nsplit");

    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(LogLineWith("Unknown PCM sonvel_no_such_pcm").rfind("WARNING ALSA::", 0), 0u);
    EXPECT_EQ(LogLineWith("server").rfind("WARNING JACK::Error() ", 0), 0u);

    const std::string hugeLine = LogLineWith("huge_fn");
    EXPECT_EQ(hugeLine, "WARNING ALSA::huge_fn(huge.c:7) start " +
                            std::string(LIBRARY_MESSAGE_MAX - 6, 'h') +
                            " [...]: No such file or directory");
    EXPECT_EQ(LogLineWith("ALSA::(:-1)"), "WARNING ALSA::(:-1)");
    EXPECT_EQ(LogLineWith("info split"), "INFO    JACK::Info() info split");
}

} // namespace
