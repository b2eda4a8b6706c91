#include "audio/AudioLibraryLog.h"

#include <gtest/gtest.h>

#include <alsa/asoundlib.h>
#include <jack/jack.h>

#include <cerrno>
#include <regex>
#include <string>

#include "support/TestSupport.h"

namespace {

using namespace Kedra::PAudioII;

bool Logged(const std::string& pattern) {
    return std::regex_search(SonvelTest::ReadLog(), std::regex(pattern));
}

TEST(AudioLibraryLog, MalformedTextsBecomeOneBoundedLine) {
    EXPECT_EQ(LibraryMessageText(nullptr), "");
    EXPECT_EQ(LibraryMessageText("two\nlines\r\tand\x7f"
                                 "bell\a \n \n"),
              "two lines  and bell");
    const std::string full(LIBRARY_MESSAGE_MAX, 'x');
    EXPECT_EQ(LibraryMessageText(full.c_str()), full);
    EXPECT_EQ(LibraryMessageText((full + "yz").c_str()), full + " [...]");
}

TEST(AudioLibraryLog, AlsaAndJackComplaintsGoToTheLogNotToStderr) {
    RouteAudioLibraryMessagesToLog();
    RouteAudioLibraryMessagesToLog(); // a second call changes nothing
    ::testing::internal::CaptureStderr();
    // Real failures of the libraries themselves.
    snd_pcm_t* pcm = nullptr;
    EXPECT_LT(snd_pcm_open(&pcm, "sonvel_no_such_pcm", SND_PCM_STREAM_PLAYBACK, 0), 0);
    jack_status_t status{};
    const auto options = static_cast<jack_options_t>(JackNoStartServer | JackServerName);
    EXPECT_EQ(jack_client_open("sonveltest", options, &status, "sonvel_no_such_server"), nullptr);
    // Hostile texts: an argument far longer than a line may be, line feeds, null pointers.
    const std::string huge(5 * LIBRARY_MESSAGE_MAX, 'h');
    snd_lib_error("huge.c", 7, "huge_fn", -ENOENT, "start %s end\n", huge.c_str());
    snd_lib_error(nullptr, -1, nullptr, 0, nullptr);
    jack_info_callback("info\nsplit");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    EXPECT_TRUE(Logged(R"(> WARNING ALSA::\w+\(pcm\.c:\d+\) Unknown PCM sonvel_no_such_pcm\n)"));
    EXPECT_TRUE(Logged(R"(> WARNING JACK::Error\(\) [^\n]*server)"));
    EXPECT_TRUE(Logged("> WARNING ALSA::huge_fn\\(huge.c:7\\) start h{" +
                       std::to_string(LIBRARY_MESSAGE_MAX - 6) +
                       "} \\[\\.\\.\\.\\]: No such file or directory\n"));
    EXPECT_TRUE(Logged(R"(> WARNING ALSA::\(:-1\)\n)"));
    EXPECT_TRUE(Logged("> INFO    JACK::Info\\(\\) info split\n"));
}

} // namespace
