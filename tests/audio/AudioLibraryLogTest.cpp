#include "audio/AudioLibraryLog.h"

#include <gtest/gtest.h>

#include <alsa/asoundlib.h>
#include <jack/jack.h>

#include <cerrno>
#include <string>

#include "support/TestSupport.h"

namespace {

using namespace Kedra::PAudioII;

// The log line that holds `fragment`, from its level on; "" when there is none.
std::string LogLine(const std::string& fragment) {
    const std::string log = SonvelTest::ReadLog();
    const auto at = log.find(fragment);
    if (at == std::string::npos)
        return {};
    const auto begin = log.rfind("> ", at) + 2;
    return log.substr(begin, log.find('\n', at) - begin);
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

    const std::string unknown = LogLine("Unknown PCM sonvel_no_such_pcm");
    EXPECT_EQ(unknown.rfind("WARNING ALSA::", 0), 0u) << unknown;
    EXPECT_NE(unknown.find("(pcm.c:"), std::string::npos) << unknown;
    EXPECT_EQ(LogLine("server").rfind("WARNING JACK::Error() ", 0), 0u);
    EXPECT_EQ(LogLine("huge_fn"), "WARNING ALSA::huge_fn(huge.c:7) start " +
                                      std::string(LIBRARY_MESSAGE_MAX - 6, 'h') +
                                      " [...]: No such file or directory");
    EXPECT_EQ(LogLine("ALSA::(:-1)"), "WARNING ALSA::(:-1)");
    EXPECT_EQ(LogLine("info split"), "INFO    JACK::Info() info split");
}

} // namespace
