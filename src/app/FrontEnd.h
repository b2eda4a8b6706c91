#pragma once
// The only way the application layer talks to the user: messages, questions, progress and
// what changed. The command line implements it on the terminal, the desktop window with its
// dialogs and graphs. The controller and the options never print or block on their own.
// A measurement may run on a worker thread: a front end that allows that must accept
// ShowMessage, ReportProgress and the Progress calls from it.

#include <string>
#include <vector>

namespace Kedra::Sonvel {

enum class MessageKind { Information, Warning, Error };
enum class Answer { Ok, Cancel, Yes, No };

// What the amplitude validation found; the colour is the one the front end paints the
// amplitude fields with.
struct AmplitudeVerdict {
    bool accepted = true;
    double amplitude = 0.0;
    double db = 0.0;
    int red = -1, green = -1, blue = -1; // -1: the default colour
    std::string message;                 // empty: nothing to say
};

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
    // What a finished action did beyond what was asked (a record moved to keep it), for the
    // status line; window's thread.
    virtual void ReportStatus(const std::string& text) { ReportProgress(text); }

    // Long work: Begin, any number of Steps (fraction 0..1, negative when unknown), End. The
    // work polls ProgressCancelled and stops when it turns true.
    virtual void BeginProgress(const std::string& title) { ReportProgress(title); }
    virtual void StepProgress(const std::string& text, double /*fraction*/) {
        ReportProgress(text);
    }
    virtual void EndProgress() {}
    virtual bool ProgressCancelled() { return false; }

    // What changed, so that a window redraws only that: the list (slots filled, emptied,
    // renamed or reordered), which slot a presenter (0 A, 1 B, 2 C) shows or that slot's
    // record, the view settings of one slot's record.
    virtual void ListChanged() {}
    virtual void PresenterChanged(int /*presenter*/) {}
    virtual void ViewChanged(int /*slot*/) {}
    // A presenter's curve is to be drawn again (measured into, or the result of an
    // operation), though the user had switched it off.
    virtual void PresenterShown(int /*presenter*/) {}
    // Which slots are shown, or the colour of one, changed.
    virtual void CurvesChanged() {}
    // The calibrations in use (microphone, sound card) and whether their files are there.
    virtual void CalibrationChanged(bool /*micOn*/, bool /*dacAdcOn*/, bool /*micAvailable*/,
                                    bool /*dacAdcAvailable*/) {}
    // The amplitude verdict of a finished measurement, after its message if it has one.
    virtual void AmplitudeJudged(const AmplitudeVerdict& /*verdict*/) {}
    // The recorded input's level while a measurement records, in dBFS; -infinity while
    // nothing arrives. From the measuring thread, several times a second.
    virtual void InputLevel(double /*dbfs*/) {}
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
    void ListChanged() override;
    void PresenterChanged(int presenter) override;
    void ViewChanged(int slot) override;
    void PresenterShown(int presenter) override;
    void CurvesChanged() override;
    void CalibrationChanged(bool micOn, bool dacAdcOn, bool micAvailable,
                            bool dacAdcAvailable) override;
    void AmplitudeJudged(const AmplitudeVerdict& verdict) override;

    struct Entry {
        enum Type { Message, Question, Progress } type;
        MessageKind kind;
        std::string title;
        std::string text;
    };
    const std::vector<Entry>& Log() const { return log_; }
    // The change notices, apart from the log: "list", "presenter 1", "shown 2", "view 5", "curves",
    // "calibration mic on dac off", "verdict accepted" and the like.
    const std::vector<std::string>& Notices() const { return notices_; }
    // Whether any message, question, progress text or notice so far contains `fragment`.
    bool Saw(const std::string& fragment) const;
    void SetAnswer(bool yes) { answerYes_ = yes; }

private:
    bool answerYes_;
    std::vector<Entry> log_;
    std::vector<std::string> notices_;
};

} // namespace Kedra::Sonvel
