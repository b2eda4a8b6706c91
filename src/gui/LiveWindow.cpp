#include "gui/LiveWindow.h"

#include <QCloseEvent>
#include <QLabel>
#include <QTimer>
#include <utility>

#include "app/MainCtrl.h"
#include "app/Options.h"
#include "gui/GuiFrontEnd.h"

namespace Kedra::Sonvel::Gui {

LiveWindow::LiveWindow(MainCtrl& ctrl, GuiFrontEnd& front, MainWindow& main, int refreshMs,
                       QString pausedText)
    : QWidget(&main, Qt::Window), ctrl_(ctrl), front_(front), main_(main),
      pausedText_(std::move(pausedText)) {
    status_ = new QLabel(this);
    status_->setWordWrap(true);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    timer_ = new QTimer(this);
    timer_->setInterval(refreshMs);
    connect(timer_, &QTimer::timeout, this, [this] { Refresh(); });
    // Direct connections: the stream is free before the measurement reaches for it.
    connect(&main_, &MainWindow::measurementStarted, this, &LiveWindow::OnMeasurementStarted);
    connect(&main_, &MainWindow::measurementFinished, this, &LiveWindow::OnMeasurementFinished);
}

void LiveWindow::ShowOnTop() {
    show();
    raise();
    activateWindow();
}

void LiveWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!wanted_)
        Start();
}

void LiveWindow::closeEvent(QCloseEvent* event) {
    Stop();
    QWidget::closeEvent(event);
}

void LiveWindow::SetStatus(const QString& text, bool problem) {
    status_->setText(text);
    status_->setStyleSheet(problem ? QStringLiteral("color: #c0392b; font-weight: bold;")
                                   : QString());
}

QString LiveWindow::StatusText() const {
    return status_->text();
}

bool LiveWindow::Start() {
    wanted_ = true;
    Release();
    if (main_.Measuring()) {
        paused_ = true;
        SetStatus(pausedText_, false);
        return false;
    }
    paused_ = false;
    return StartListening();
}

void LiveWindow::Stop() {
    wanted_ = false;
    paused_ = false;
    Release();
    SetStatus(tr("Stopped"), false);
}

void LiveWindow::Release() {
    timer_->stop();
    StopListening();
}

bool LiveWindow::ApplyDevices(const QString& failure) {
    // A missing device is told by the controller; its words go into this window too.
    const qsizetype before = front_.Messages().size();
    if (ctrl_.Audio().ApplyDevices(Conf::Options::Field))
        return true;
    const QString why = front_.Messages().size() > before ? front_.Messages().last() : QString();
    SetStatus(failure.arg(why.section(QStringLiteral(": "), 1)), true);
    return false;
}

void LiveWindow::OnMeasurementStarted() {
    if (!wanted_)
        return;
    Release();
    paused_ = true;
    SetStatus(pausedText_, false);
}

void LiveWindow::OnMeasurementFinished() {
    if (wanted_ && paused_)
        Start();
}

} // namespace Kedra::Sonvel::Gui
