#include "cli/ConsoleFrontEnd.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace Kedra::Sonvel {

void ConsoleFrontEnd::EndProgressLine() {
    if (inMarks_) {
        std::fputc('\n', stdout);
        inMarks_ = false;
    }
}

void ConsoleFrontEnd::ShowMessage(MessageKind kind, const std::string& title,
                                  const std::string& text) {
    EndProgressLine();
    std::fflush(stdout);
    const char* word = kind == MessageKind::Error     ? "error"
                       : kind == MessageKind::Warning ? "warning"
                                                      : "note";
    std::fprintf(stderr, "sonvel: %s: %s%s%s\n", word, title.empty() ? "" : title.c_str(),
                 title.empty() ? "" : ": ", text.c_str());
}

bool ConsoleFrontEnd::Ask(const std::string& text, const char* choices) {
    EndProgressLine();
    if (answerYes_) {
        std::printf("%s [%s] yes (--yes)\n", text.c_str(), choices);
        return true;
    }
    if (isatty(STDIN_FILENO) == 0) {
        std::printf("%s [%s] no (not a terminal; use --yes)\n", text.c_str(), choices);
        return false;
    }
    std::printf("%s [%s] ", text.c_str(), choices);
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    return !answer.empty() &&
           (answer[0] == 'y' || answer[0] == 'Y' || answer[0] == 'o' || answer[0] == 'O');
}

bool ConsoleFrontEnd::AskOkCancel(const std::string& title, const std::string& text) {
    return Ask(title == text || title.empty() ? text : text + "\n" + title, "ok/cancel");
}

bool ConsoleFrontEnd::AskYesNo(const std::string& /*title*/, const std::string& text) {
    return Ask(text, "y/n");
}

void ConsoleFrontEnd::ReportProgress(const std::string& text) {
    // The pipeline's single characters draw a bar while it records.
    if (text.size() == 1) {
        std::fputs(text == "n" ? "|" : text.c_str(), stdout);
        inMarks_ = true;
    } else {
        EndProgressLine();
        std::printf("%s\n", text.c_str());
    }
    std::fflush(stdout);
}

} // namespace Kedra::Sonvel
