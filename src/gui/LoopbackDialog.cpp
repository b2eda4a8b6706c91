#include "gui/LoopbackDialog.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/Options.h"
#include "gui/GraphView.h"
#include "gui/MainWindow.h"
#include "measure/Measurement.h"

namespace Kedra::Sonvel::Gui {

using Kedra::Measure::Measurement;

namespace {
QString Q(const std::string& s) {
    return QString::fromStdString(s);
}
} // namespace

LoopbackDialog::LoopbackDialog(MainCtrl& ctrl, MainWindow& window)
    : QDialog(&window), ctrl_(ctrl), window_(window) {
    setWindowTitle(tr("DAC-ADC calibration from a loopback"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    text_ = new QLabel(this);
    text_->setWordWrap(true);
    text_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    text_->setMinimumHeight(80);
    text_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    layout->addWidget(text_);
    graph_ = new GraphView(GraphKind::Response, this);
    graph_->setMinimumSize(640, 320);
    graph_->setVisible(false);
    layout->addWidget(graph_, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    go_ = new QPushButton(this);
    other_ = new QPushButton(this);
    cancel_ = new QPushButton(tr("Cancel"), this);
    go_->setDefault(true);
    buttons->addWidget(go_);
    buttons->addWidget(other_);
    buttons->addWidget(cancel_);
    layout->addLayout(buttons);
    connect(go_, &QPushButton::clicked, this, &LoopbackDialog::Go);
    connect(other_, &QPushButton::clicked, this, &LoopbackDialog::Other);
    connect(cancel_, &QPushButton::clicked, this, &LoopbackDialog::reject);

    // Asking for the devices may fail; the controller has told the user then.
    const std::string connectText = ctrl_.LoopbackConnectionText();
    if (connectText.empty()) {
        step_ = Step::Done;
        return;
    }
    Show(Step::Connect, Q(connectText) + tr("\n\nMeasure Loopback now?"));
}

LoopbackDialog::~LoopbackDialog() {
    // The window joins its worker before its children go, so nothing measures any more.
    if (begun_)
        ctrl_.LoopbackEnd(session_);
}

QString LoopbackDialog::Text() const {
    return text_->text();
}

void LoopbackDialog::Show(Step step, const QString& text) {
    step_ = step;
    text_->setText(text);
    const bool busy = step == Step::Measuring || step == Step::Checking;
    go_->setVisible(!busy && step != Step::Done);
    other_->setVisible(step == Step::Judge || step == Step::Enable);
    cancel_->setVisible(step != Step::Enable);
    switch (step) {
    case Step::Connect:
        go_->setText(tr("Measure"));
        break;
    case Step::Judge:
        go_->setText(tr("Use as calibration"));
        other_->setText(tr("Measure again"));
        break;
    case Step::Enable:
        go_->setText(tr("Enable"));
        other_->setText(tr("Keep it off"));
        break;
    case Step::Failed:
        go_->setText(tr("Try again"));
        break;
    default:
        break;
    }
    layout()->activate();
    emit stepChanged(step);
}

void LoopbackDialog::Go() {
    switch (step_) {
    case Step::Connect:
    case Step::Failed:
        Measure();
        break;
    case Step::Judge: {
        Measurement* a = ctrl_.Presenter(MainCtrl::PRESENTER_A);
        if (a == nullptr || !ctrl_.LoopbackAccept(*a, fLow_, fHigh_)) {
            ctrl_.Front().ShowMessage(MessageKind::Error, "Sonvel Warning",
                                      "The DAC-ADC calibration could not be made or saved");
            Finish();
            return;
        }
        const bool sameSlot = ctrl_.PresenterSlot(MainCtrl::PRESENTER_B) ==
                              ctrl_.PresenterSlot(MainCtrl::PRESENTER_A);
        if (sameSlot) {
            Checked(false);
            return;
        }
        ctrl_.LoopbackBeforeMeasuring(session_, true);
        QPointer<LoopbackDialog> self(this);
        Show(Step::Checking, tr("Measuring the loopback again, through the new calibration..."));
        if (!window_.StartMeasurement(MainCtrl::PRESENTER_B, "B - Loopback", [self](bool ok) {
                if (self)
                    self->Checked(ok);
            }))
            Checked(false);
        break;
    }
    case Step::Enable:
        ctrl_.Audio().SetDacAdcCalibration(true);
        Finish();
        break;
    default:
        break;
    }
}

void LoopbackDialog::Other() {
    if (step_ == Step::Judge) {
        Measure();
    } else if (step_ == Step::Enable) {
        ctrl_.Audio().SetDacAdcCalibration(false);
        Finish();
    }
}

void LoopbackDialog::Measure() {
    if (window_.Measuring()) {
        ctrl_.Front().ShowMessage(MessageKind::Information, "Sonvel",
                                  "A measurement is running; measure the loopback when it has "
                                  "finished");
        return;
    }
    if (!begun_) {
        ctrl_.LoopbackBegin(session_);
        begun_ = true;
    }
    ctrl_.LoopbackBeforeMeasuring(session_);
    Show(Step::Measuring, tr("Measuring the loopback into A..."));
    QPointer<LoopbackDialog> self(this);
    const int declines = ctrl_.ReplaceDeclines();
    if (!window_.StartMeasurement(MainCtrl::PRESENTER_A, "A - Loopback", [self](bool ok) {
            if (self)
                self->Measured(ok);
        })) {
        if (ctrl_.ReplaceDeclines() != declines) {
            ctrl_.LoopbackAfterMeasuring(session_);
            Show(Step::Failed, tr("Nothing was measured: A's measurement is kept, as no slot is "
                                  "empty to move it to.\nClear a slot, then measure?"));
            return;
        }
        Measured(false);
    }
}

void LoopbackDialog::Measured(bool ok) {
    ctrl_.LoopbackAfterMeasuring(session_);
    if (step_ == Step::Done)
        return;
    if (cancelling_) {
        Finish();
        return;
    }
    Measurement* a = ctrl_.Presenter(MainCtrl::PRESENTER_A);
    if (!ok || a == nullptr) {
        if (++session_.failures >= MainCtrl::MAX_LOOPBACK_TRIES) {
            ctrl_.Front().ShowMessage(MessageKind::Error, "Sonvel Warning",
                                      "The loopback measurement failed " +
                                          std::to_string(session_.failures) +
                                          " times; no calibration made");
            Finish();
            return;
        }
        // The measurement has said why, when it knows; then the reason is not unknown.
        const bool told = a != nullptr && !ctrl_.Audio().GetResponse().failure.empty();
        Show(Step::Failed, told ? tr("Measurement failed.\nTry again?")
                                : tr("Measurement failed. for Unknown reason\nTry again?"));
        return;
    }
    std::string question;
    ctrl_.LoopbackBand(*a, fLow_, fHigh_, question);
    ShowCurves(false);
    Show(Step::Judge, Q(question));
}

void LoopbackDialog::Checked(bool ok) {
    ctrl_.LoopbackAfterMeasuring(session_);
    if (step_ == Step::Done)
        return;
    // A cancelled check still leaves the calibration made: the user decides about it.
    cancelling_ = false;
    Measurement* a = ctrl_.Presenter(MainCtrl::PRESENTER_A);
    Measurement* b = ctrl_.Presenter(MainCtrl::PRESENTER_B);
    if (ok && a != nullptr && b != nullptr && a != b)
        ctrl_.LoopbackChecked(*b, *a);
    ShowCurves(ok);
    Show(Step::Enable, (ok ? tr("The measurement through the calibration is B.\n\n")
                           : tr("The check measurement did not succeed.\n\n")) +
                           tr("Enable this DAC-ADC calibration?"));
}

void LoopbackDialog::ShowCurves(bool withB) {
    const Conf::PlotOptions& plot = Conf::Options::Field.Plot;
    auto colour = [](const Conf::Color& c) { return QColor(c.R, c.G, c.B); };
    std::vector<CurveSource> curves;
    if (Measurement* a = ctrl_.Presenter(MainCtrl::PRESENTER_A))
        curves.push_back({a, 0, -1, colour(plot.ColorMeasA), tr("A: loopback")});
    if (withB)
        if (Measurement* b = ctrl_.Presenter(MainCtrl::PRESENTER_B))
            curves.push_back({b, 1, -1, colour(plot.ColorMeasB), tr("B: through the calibration")});
    GraphSettings settings = WithPlotOptions({}, false);
    settings.showPhase = false;
    settings.freqMin = 10.0;
    settings.freqMax = std::max(1000.0, 0.5 * ctrl_.Audio().SampleRate());
    settings.dbMin = -20.0;
    settings.dbMax = 10.0;
    graph_->SetSettings(settings);
    graph_->SetCurves(curves);
    graph_->setVisible(true);
    graph_->replot();
    layout()->activate();
    adjustSize();
}

void LoopbackDialog::Finish() {
    if (begun_) {
        ctrl_.LoopbackEnd(session_);
        begun_ = false;
    }
    const bool made = ctrl_.Audio().DacAdcCalibrator().IsValid() && step_ == Step::Enable;
    Show(Step::Done, text_->text());
    done(made ? QDialog::Accepted : QDialog::Rejected);
}

void LoopbackDialog::reject() {
    if (step_ == Step::Measuring || step_ == Step::Checking) {
        // The dialog closes once the measurement has stopped and the options are back.
        cancelling_ = true;
        window_.CancelMeasurement();
        return;
    }
    Finish();
}

void LoopbackDialog::closeEvent(QCloseEvent* event) {
    if (step_ == Step::Done) {
        event->accept();
        return;
    }
    event->ignore();
    reject();
}

} // namespace Kedra::Sonvel::Gui
