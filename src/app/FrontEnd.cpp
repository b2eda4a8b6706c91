#include "app/FrontEnd.h"

namespace Kedra::Sonvel {

void ScriptedFrontEnd::ShowMessage(MessageKind kind, const std::string& title,
                                   const std::string& text) {
    log_.push_back({Entry::Message, kind, title, text});
}

bool ScriptedFrontEnd::AskOkCancel(const std::string& title, const std::string& text) {
    log_.push_back({Entry::Question, MessageKind::Information, title, text});
    return answerYes_;
}

bool ScriptedFrontEnd::AskYesNo(const std::string& title, const std::string& text) {
    log_.push_back({Entry::Question, MessageKind::Information, title, text});
    return answerYes_;
}

void ScriptedFrontEnd::ReportProgress(const std::string& text) {
    log_.push_back({Entry::Progress, MessageKind::Information, "", text});
}

bool ScriptedFrontEnd::Saw(const std::string& fragment) const {
    for (const Entry& e : log_)
        if (e.text.find(fragment) != std::string::npos ||
            e.title.find(fragment) != std::string::npos)
            return true;
    return false;
}

} // namespace Kedra::Sonvel
