#pragma once
// The only way the application layer talks to the user: messages, questions and progress.
// The command line implements it on the terminal; a graphical front end will implement it
// with its own dialogs. The controller and the options never print or block on their own.

#include <string>
#include <vector>

namespace Kedra::Sonvel {

enum class MessageKind { Information, Warning, Error };
enum class Answer { Ok, Cancel, Yes, No };

class FrontEnd {
public:
    virtual ~FrontEnd() = default;

    virtual void ShowMessage(MessageKind kind, const std::string& title,
                             const std::string& text) = 0;
    // True for OK.
    virtual bool AskOkCancel(const std::string& title, const std::string& text) = 0;
    // True for Yes.
    virtual bool AskYesNo(const std::string& title, const std::string& text) = 0;
    // A status text of a long operation (the measuring pipeline's texts, among others).
    virtual void ReportProgress(const std::string& text) = 0;
};

// Answers every question the same way and keeps what it was told: for scripts (the
// command line's --yes) and for tests.
class ScriptedFrontEnd : public FrontEnd {
public:
    explicit ScriptedFrontEnd(bool answerYes = true) : answerYes_(answerYes) {}

    void ShowMessage(MessageKind kind, const std::string& title, const std::string& text) override;
    bool AskOkCancel(const std::string& title, const std::string& text) override;
    bool AskYesNo(const std::string& title, const std::string& text) override;
    void ReportProgress(const std::string& text) override;

    struct Entry {
        enum Type { Message, Question, Progress } type;
        MessageKind kind;
        std::string title;
        std::string text;
    };
    const std::vector<Entry>& Log() const { return log_; }
    // Whether any message, question or progress text so far contains `fragment`.
    bool Saw(const std::string& fragment) const;
    void SetAnswer(bool yes) { answerYes_ = yes; }

private:
    bool answerYes_;
    std::vector<Entry> log_;
};

} // namespace Kedra::Sonvel
