#include "gui/LiveWindow.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <utility>

#include "app/MainCtrl.h"
#include "app/Options.h"
#include "audio/StreamInitializer.h"
#include "gui/GuiFrontEnd.h"
#include "live/LiveThread.h"

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

bool LiveWindow::Ended(const Kedra::Live::LiveThread& thread, const QString& failure) {
    const auto ended = thread.Running() ? thread.Ended() : std::nullopt;
    // A new run counts from zero again.
    const std::uint64_t lost = thread.Dropped();
    if (lost < lostShown_)
        lostShown_ = 0;
    if (!ended && lost > lostShown_) {
        lostShown_ = lost;
        const double rate = Kedra::PAudioII::StreamInitializer::Get()->GetSamplerate();
        SetStatus(tr("The analysis fell behind the input: %1 s of it were lost, and the "
                     "readings leave them out. Close other programs or choose a smaller "
                     "resolution.")
                      .arg(static_cast<double>(lost) / rate, 0, 'f', 2),
                  true);
    }
    if (!ended)
        return false;
    Release();
    SetStatus(failure.arg(QString::fromStdString(ended->why)), true);
    return true;
}

QComboBox* LiveWindow::Combo(const QStringList& items, int current) {
    auto* box = new QComboBox(this);
    box->addItems(items);
    box->setCurrentIndex(current);
    return box;
}

void LiveWindow::AddField(QGridLayout& grid, int row, int column, const QString& label,
                          QWidget* field) {
    auto* l = new QLabel(label, this);
    l->setBuddy(field);
    grid.addWidget(l, row, column, Qt::AlignRight);
    grid.addWidget(field, row, column + 1);
}

QHBoxLayout* LiveWindow::StoreRow(QSpinBox*& slot, QPushButton*& store, QLabel*& stored,
                                  const QString& slotTip, const QString& storeTip) {
    auto* row = new QHBoxLayout;
    slot = new QSpinBox(this);
    slot->setRange(-1, MainCtrl::SLOT_COUNT - 1);
    slot->setValue(-1);
    slot->setSpecialValueText(tr("first empty"));
    slot->setPrefix(tr("slot "));
    slot->setToolTip(slotTip);
    store = new QPushButton(tr("Store"), this);
    store->setToolTip(storeTip);
    auto* close = new QPushButton(tr("Close"), this);
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    row->addStretch(1);
    row->addWidget(new QLabel(tr("Store in"), this));
    row->addWidget(slot);
    row->addWidget(store);
    stored = new QLabel(this);
    row->addWidget(stored);
    row->addSpacing(16);
    row->addWidget(close);
    return row;
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
