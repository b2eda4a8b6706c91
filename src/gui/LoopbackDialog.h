#pragma once
// The sound-card calibration made from a loopback, step by step: what to connect, the
// measurement into A, its curve with the band where it lies within +/- 6 dB, the calibration
// made from it, the check measurement into B and whether to switch the calibration on. The
// measurements run on the window's worker, so the window stays usable; the signal and
// analysis options are set aside for the loopback and put back whichever way the dialog ends.

#include <QDialog>

#include "app/MainCtrl.h"

class QLabel;
class QPushButton;

namespace Kedra::Sonvel::Gui {

class GraphView;
class MainWindow;

class LoopbackDialog : public QDialog {
    Q_OBJECT
public:
    enum class Step { Connect, Measuring, Judge, Checking, Enable, Failed, Done };

    LoopbackDialog(MainCtrl& ctrl, MainWindow& window);
    ~LoopbackDialog() override;

    Step CurrentStep() const { return step_; }
    QString Text() const;
    // The band the calibration covers, once the first measurement is judged.
    double LowHz() const { return fLow_; }
    double HighHz() const { return fHigh_; }
    GraphView* Graph() const { return graph_; }
    // The step's buttons: go on (measure, use, enable, try again), the alternative (measure
    // again, keep off) and cancel.
    QPushButton* GoButton() const { return go_; }
    QPushButton* OtherButton() const { return other_; }
    QPushButton* CancelButton() const { return cancel_; }

signals:
    void stepChanged(Kedra::Sonvel::Gui::LoopbackDialog::Step step);

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    void Show(Step step, const QString& text);
    void Go();
    void Other();
    void Measure();
    void Measured(bool ok);
    void Checked(bool ok);
    void ShowCurves(bool withB);
    void Finish();

    MainCtrl& ctrl_;
    MainWindow& window_;
    LoopbackSession session_;
    bool begun_ = false;
    bool cancelling_ = false;
    Step step_ = Step::Connect;
    double fLow_ = 0.0;
    double fHigh_ = 0.0;
    QLabel* text_ = nullptr;
    GraphView* graph_ = nullptr;
    QPushButton* go_ = nullptr;
    QPushButton* other_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

} // namespace Kedra::Sonvel::Gui
