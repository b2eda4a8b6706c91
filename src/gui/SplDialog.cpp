#include "gui/SplDialog.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/MainCtrl.h"
#include "app/Options.h"
#include "exchange/TextFile.h"
#include "foundation/MathHelpers.h"
#include "gui/CheckedSpinBox.h"
#include "gui/MainWindow.h"

namespace Kedra::Sonvel::Gui {

namespace {
QString Q(const std::string& s) {
    return QString::fromStdString(s);
}
QString Fixed(double v, int decimals) {
    return Q(Kedra::Text::FormatFixed(v, decimals));
}
} // namespace

SplDialog::SplDialog(MainCtrl& ctrl, MainWindow& window)
    : QDialog(&window), ctrl_(ctrl), window_(window) {
    setWindowTitle(tr("SPL reference"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(true);
    auto* layout = new QVBoxLayout(this);

    stored_ = new QLabel(this);
    stored_->setWordWrap(true);
    stored_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(stored_);

    auto* form = new QFormLayout;
    source_ = new QComboBox(this);
    source_->addItem(tr("Sound calibrator on the microphone (nothing plays)"));
    source_->addItem(tr("Own tone, its level read by an external meter"));
    source_->addItem(tr("Own pink noise (707 Hz - 1.4 kHz), read by an external meter"));
    source_->setToolTip(tr("Without a calibrator the program plays its tone or pink noise at the "
                           "output amplitude of the options on the measuring outputs; type the "
                           "level a sound level meter at the microphone shows for it"));
    form->addRow(tr("Source:"), source_);

    auto* levelRow = new QHBoxLayout;
    level_ = new CheckedSpinBox(1.0, 200.0, 2, tr(" dB SPL"), this);
    level_->setValue(94.0);
    levelRow->addWidget(level_, 1);
    for (double preset : SPL_CALIBRATOR_LEVELS) {
        auto* b = new QPushButton(QString::number(preset, 'f', 0), this);
        b->setToolTip(tr("A calibrator of %1 dB SPL").arg(preset, 0, 'f', 0));
        connect(b, &QPushButton::clicked, this, [this, preset] { level_->setValue(preset); });
        levelRow->addWidget(b);
    }
    form->addRow(tr("Level:"), levelRow);
    frequency_ = new CheckedSpinBox(20.0, 20000.0, 1, tr(" Hz"), this);
    frequency_->setValue(1000.0);
    frequency_->setToolTip(tr("The calibrator's frequency; a tone more than 5 % away is refused"));
    form->addRow(tr("Frequency:"), frequency_);
    seconds_ = new CheckedSpinBox(1.0, 60.0, 1, tr(" s"), this);
    seconds_->setValue(3.0);
    form->addRow(tr("Recording:"), seconds_);
    layout->addLayout(form);
    refusal_ = RefusalLabel(this);
    layout->addWidget(refusal_);
    for (CheckedSpinBox* box : {level_, frequency_, seconds_})
        connect(box, &CheckedSpinBox::refusalChanged, this,
                [this](const QString& why) { refusal_->setText(why); });

    result_Text_ = new QLabel(this);
    result_Text_->setWordWrap(true);
    result_Text_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    result_Text_->setMinimumHeight(60);
    result_Text_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    layout->addWidget(result_Text_, 1);

    auto* buttons = new QHBoxLayout;
    clear_ = new QPushButton(tr("Clear the reference"), this);
    record_ = new QPushButton(tr("Record"), this);
    listen_ = new QPushButton(tr("Listen"), this);
    listen_->setToolTip(tr("Plays the own tone or noise for the recording's time and shows "
                           "what the input reads, storing nothing: read the external meter "
                           "meanwhile, type its level and record"));
    auto* close = new QPushButton(tr("Close"), this);
    record_->setDefault(true);
    buttons->addWidget(clear_);
    buttons->addStretch(1);
    buttons->addWidget(listen_);
    buttons->addWidget(record_);
    buttons->addWidget(close);
    layout->addLayout(buttons);
    connect(record_, &QPushButton::clicked, this, [this] { Record(true); });
    connect(listen_, &QPushButton::clicked, this, [this] { Record(false); });
    // Only the own sounds can be listened to: a calibrator plays by itself.
    const auto sourceChanged = [this] {
        listen_->setEnabled(source_->currentIndex() != 0 && !device_.empty() && !Recording());
    };
    connect(source_, &QComboBox::currentIndexChanged, this, sourceChanged);
    connect(clear_, &QPushButton::clicked, this, &SplDialog::Clear);
    connect(close, &QPushButton::clicked, this, &SplDialog::reject);
    setMinimumWidth(560);

    // Asking for the devices may fail; the controller has told the user then.
    if (ctrl_.Audio().ApplyDevices(Conf::Options::Field)) {
        device_ = CurrentInputDevice();
        channel_ = Conf::Options::Field.Dev.InputChannel;
    }
    ShowStored();
    sourceChanged();
}

SplDialog::~SplDialog() {
    Stop();
}

QString SplDialog::ResultText() const {
    return result_Text_->text();
}

QString SplDialog::StoredText() const {
    return stored_->text();
}

void SplDialog::ShowStored() {
    if (device_.empty()) {
        stored_->setText(tr("The input device of the options is not there: no reference can be "
                            "recorded or shown."));
        record_->setEnabled(false);
        clear_->setEnabled(false);
        return;
    }
    const QString input = tr("%1, input %2").arg(Q(device_)).arg(channel_ + 1);
    const std::optional<SplReference> r = FindSplReference(device_, channel_);
    stored_->setText(
        r ? tr("Reference of %1:\n%2 (offset %3 dB); measurements through it read "
               "dB SPL.")
                .arg(input, Q(r->Describe()), Fixed(r->Offset(), 2))
          : tr("No reference for %1: its measurements read dB re full scale.").arg(input));
    clear_->setEnabled(r.has_value() && !Recording());
    Fit();
}

void SplDialog::Fit() {
    // Wrapped texts grow with what they say; the dialog follows them.
    layout()->activate();
    resize(width(), std::max(height(), sizeHint().height()));
}

void SplDialog::Record(bool store) {
    if (Recording())
        return;
    store_ = store;
    for (CheckedSpinBox* box : {level_, frequency_, seconds_})
        if (!box->Acceptable()) {
            refusal_->setText(box->Refusal());
            box->setFocus();
            return;
        }
    SplRequest q;
    q.levelDb = level_->value();
    q.frequency = frequency_->value();
    q.seconds = seconds_->value();
    q.source = static_cast<SplSource>(source_->currentIndex());
    q.cancel = &cancel_;
    cancel_ = false;
    record_->setEnabled(false);
    listen_->setEnabled(false);
    clear_->setEnabled(false);
    result_Text_->setStyleSheet(QString());
    result_Text_->setText(tr("Recording %1 s from %2, input %3...")
                              .arg(Fixed(q.seconds, 1), Q(device_))
                              .arg(channel_ + 1));
    // The level meter lets go of the stream, as for a measurement.
    emit window_.measurementStarted();
    worker_ = std::thread([this, q] {
        result_ = TakeSplReference(ctrl_.Audio(), q);
        QMetaObject::invokeMethod(this, "Recorded", Qt::QueuedConnection);
    });
}

void SplDialog::Recorded() {
    if (!worker_.joinable())
        return;
    worker_.join();
    const SplResult r = result_;
    QString text;
    if (r.reading.blocks > 0)
        text = tr("Read %1 dBFS at %2 Hz; level fluctuation %3 dB, peak %4 dBFS.\n")
                   .arg(Fixed(r.reading.dbfs, 2), Fixed(r.reading.frequency, 1),
                        Fixed(r.reading.fluctuationDb, 3),
                        Fixed(Kedra::Math::AmplitudeToDB(r.reading.peak), 2));
    const bool stored = r.ok && store_;
    if (r.ok && !store_) {
        text += tr("Nothing stored: type the level the meter showed and record.");
        result_Text_->setStyleSheet(QString());
    } else if (r.ok) {
        StoreSplReference(r.reference);
        text += tr("Stored: %1 = %2 dBFS, an offset of %3 dB.")
                    .arg(Fixed(r.reference.levelDb, 2) + tr(" dB SPL"), Fixed(r.reference.dbfs, 2),
                         Fixed(r.reference.Offset(), 2));
        result_Text_->setStyleSheet(QString());
    } else {
        text += tr("No reference taken: %1").arg(Q(r.why));
        result_Text_->setStyleSheet(QStringLiteral("color: rgb(170, 30, 30);"));
    }
    result_Text_->setText(text);
    Fit();
    record_->setEnabled(true);
    listen_->setEnabled(source_->currentIndex() != 0);
    ShowStored();
    emit window_.measurementFinished(false);
    emit recorded(stored);
}

void SplDialog::Clear() {
    if (Recording() || device_.empty())
        return;
    ClearSplReference(device_, channel_);
    result_Text_->setStyleSheet(QString());
    result_Text_->setText(tr("Reference cleared: new measurements through this input read dB re "
                             "full scale."));
    ShowStored();
}

void SplDialog::Stop() {
    if (!worker_.joinable())
        return;
    cancel_ = true;
    worker_.join();
    emit window_.measurementFinished(false);
}

void SplDialog::reject() {
    // A recording stops within a poll of the stream; nothing of it is stored.
    Stop();
    QDialog::reject();
}

} // namespace Kedra::Sonvel::Gui
