#pragma once
// Calibration > SPL reference...: the sound pressure level reference of the current input.
// With a sound calibrator on the microphone (94, 104 or 114 dB or a typed level, at its
// frequency) the input is recorded for a few seconds and its level in dBFS taken as that SPL;
// without one, the program's own tone or pink noise plays and the user types what an external
// meter shows. The recording runs on a worker thread; the dialog is modal, so nothing else
// uses the stream meanwhile. It shows what it read and why it refused, and the input's stored
// reference with its date, which Clear removes.

#include <QDialog>
#include <atomic>
#include <thread>

#include "app/SplReference.h"

class QComboBox;
class QLabel;
class QPushButton;

namespace Kedra::Sonvel {
class MainCtrl;
}

namespace Kedra::Sonvel::Gui {

class CheckedSpinBox;
class MainWindow;

class SplDialog : public QDialog {
    Q_OBJECT
public:
    SplDialog(MainCtrl& ctrl, MainWindow& window);
    ~SplDialog() override;

    CheckedSpinBox* LevelBox() const { return level_; }
    CheckedSpinBox* FrequencyBox() const { return frequency_; }
    CheckedSpinBox* SecondsBox() const { return seconds_; }
    // 0 calibrator, 1 own tone, 2 own pink noise (SplSource's order).
    QComboBox* SourceBox() const { return source_; }
    QPushButton* RecordButton() const { return record_; }
    // Own tone or noise: plays and reads without storing, while the user reads the meter.
    QPushButton* ListenButton() const { return listen_; }
    QPushButton* ClearButton() const { return clear_; }
    // What the last recording read, and its verdict or refusal.
    QString ResultText() const;
    QString StoredText() const;
    bool Recording() const { return worker_.joinable(); }
    // Stops a recording (nothing of it stored) and closes.
    void reject() override;

signals:
    // A recording ended: whether a reference was stored (never after Listen).
    void recorded(bool stored);

private:
    Q_INVOKABLE void Recorded();
    void Record(bool store = true);
    void Clear();
    void ShowStored();
    void Fit();
    void Stop();

    MainCtrl& ctrl_;
    MainWindow& window_;
    std::string device_;
    int channel_ = 0;
    std::thread worker_;
    std::atomic<bool> cancel_{false};
    SplResult result_;
    CheckedSpinBox* level_ = nullptr;
    CheckedSpinBox* frequency_ = nullptr;
    CheckedSpinBox* seconds_ = nullptr;
    QComboBox* source_ = nullptr;
    QLabel* refusal_ = nullptr;
    QLabel* stored_ = nullptr;
    QLabel* result_Text_ = nullptr;
    QPushButton* record_ = nullptr;
    QPushButton* listen_ = nullptr;
    bool store_ = true;
    QPushButton* clear_ = nullptr;
};

} // namespace Kedra::Sonvel::Gui
