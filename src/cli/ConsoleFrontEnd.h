#pragma once
// The terminal front end: progress and results on stdout, warnings and errors on stderr,
// questions answered from stdin (or all with yes under --yes, and no when stdin is not a
// terminal, so that a script never hangs).

#include <string>

#include "app/FrontEnd.h"

namespace Kedra::Sonvel {

class ConsoleFrontEnd : public FrontEnd {
public:
    explicit ConsoleFrontEnd(bool answerYes) : answerYes_(answerYes) {}

    void ShowMessage(MessageKind kind, const std::string& title, const std::string& text) override;
    bool AskOkCancel(const std::string& title, const std::string& text) override;
    bool AskYesNo(const std::string& title, const std::string& text) override;
    void ReportProgress(const std::string& text) override;
    // Ends a line of single-character progress marks.
    void EndProgressLine();

private:
    bool Ask(const std::string& text, const char* choices);

    bool answerYes_;
    bool inMarks_ = false;
};

} // namespace Kedra::Sonvel
