#include "app/FrontEnd.h"

#include <string>

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

void ScriptedFrontEnd::ListChanged() {
    notices_.push_back("list");
}

void ScriptedFrontEnd::PresenterChanged(int presenter) {
    notices_.push_back("presenter " + std::to_string(presenter));
}

void ScriptedFrontEnd::PresenterShown(int presenter) {
    notices_.push_back("shown " + std::to_string(presenter));
}

void ScriptedFrontEnd::CurvesChanged() {
    notices_.push_back("curves");
}

void ScriptedFrontEnd::ViewChanged(int slot) {
    notices_.push_back("view " + std::to_string(slot));
}

void ScriptedFrontEnd::CalibrationChanged(bool micOn, bool dacAdcOn, bool micAvailable,
                                          bool dacAdcAvailable) {
    std::string text = "calibration mic ";
    text += micOn ? "on" : "off";
    text += micAvailable ? "" : " (no file)";
    text += " dac ";
    text += dacAdcOn ? "on" : "off";
    text += dacAdcAvailable ? "" : " (no file)";
    notices_.push_back(text);
}

void ScriptedFrontEnd::AmplitudeJudged(const AmplitudeVerdict& verdict) {
    std::string text = "verdict ";
    text += verdict.accepted ? "accepted" : "rejected";
    notices_.push_back(text);
}

bool ScriptedFrontEnd::Saw(const std::string& fragment) const {
    for (const Entry& e : log_)
        if (e.text.find(fragment) != std::string::npos ||
            e.title.find(fragment) != std::string::npos)
            return true;
    for (const std::string& n : notices_)
        if (n.find(fragment) != std::string::npos)
            return true;
    return false;
}

} // namespace Kedra::Sonvel
