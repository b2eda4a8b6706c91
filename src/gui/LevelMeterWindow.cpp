#include "gui/LevelMeterWindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <initializer_list>

#include "app/MainCtrl.h"
#include "app/Options.h"
#include "audio/Devices.h"
#include "audio/StreamInitializer.h"
#include "gui/GuiFrontEnd.h"
#include "gui/MainWindow.h"

namespace Kedra::Sonvel::Gui {

using Kedra::PAudioII::StreamInitializer;
using Kedra::PAudioII::VUMeterInBuffer;

namespace {

// Half a text line above 0 dB and below the floor, so that the scale's end labels fit.
constexpr int PAD = 8;
constexpr double GREEN_BELOW_DB = -18.0;
constexpr double RED_FROM_DB = -6.0;

int YOf(double db, int height) {
    const double span = height - 2 * PAD;
    const double t =
        std::clamp(db, LevelMeterWindow::SCALE_FLOOR_DB, 0.0) / LevelMeterWindow::SCALE_FLOOR_DB;
    return PAD + static_cast<int>(std::lround(t * span));
}

QString Db(double db) {
    if (db <= LevelMeterWindow::SCALE_FLOOR_DB)
        return QStringLiteral("\u2212\u221E");
    return QString::number(db, 'f', 1).replace('-', QChar(0x2212));
}

// The outputs of a channel mask, counted from 1.
QString Outputs(int mask) {
    QStringList names;
    for (int ch = 0; ch < 31; ++ch)
        if ((mask & (1 << ch)) != 0)
            names << QString::number(ch + 1);
    return names.join(", ");
}

} // namespace

// dB ticks every 10 dB, on the bars' vertical scale.
class LevelScale : public QWidget {
public:
    explicit LevelScale(QWidget* parent) : QWidget(parent) {
        setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("\u2212100")) + 12);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setPen(palette().color(QPalette::WindowText));
        const int w = width();
        const int textHeight = fontMetrics().height();
        for (int db = 0; db >= static_cast<int>(LevelMeterWindow::SCALE_FLOOR_DB); db -= 10) {
            const int y = YOf(db, height());
            p.drawLine(w - 5, y, w - 1, y);
            p.drawText(QRect(0, y - textHeight / 2, w - 8, textHeight),
                       Qt::AlignRight | Qt::AlignVCenter,
                       QString::number(db).replace('-', QChar(0x2212)));
        }
    }
};

// One channel: the current level as a bar, the held peak as a line across it.
class LevelBar : public QWidget {
public:
    explicit LevelBar(QWidget* parent) : QWidget(parent) {
        setMinimumSize(26, 200);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    }
    void SetLevels(double current, double held) {
        if (current == current_ && held == held_)
            return;
        current_ = current;
        held_ = held;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const int h = height();
        const QRect track(0, PAD, width(), h - 2 * PAD);
        p.fillRect(track, QColor(0x26, 0x2a, 0x2e));
        const int top = YOf(0.0, h);
        const int bottom = YOf(LevelMeterWindow::SCALE_FLOOR_DB, h);
        const int yRed = YOf(RED_FROM_DB, h);
        const int yYellow = YOf(GREEN_BELOW_DB, h);
        if (current_ > LevelMeterWindow::SCALE_FLOOR_DB) {
            const int y = YOf(current_, h);
            auto band = [&](int from, int to, QColor colour) {
                from = std::max(from, y);
                if (to > from)
                    p.fillRect(QRect(2, from, width() - 4, to - from), colour);
            };
            band(yYellow, bottom, QColor(0x3c, 0xb3, 0x4a));
            band(yRed, yYellow, QColor(0xe8, 0xc5, 0x2a));
            band(top, yRed, QColor(0xe0, 0x3c, 0x31));
        }
        if (held_ > LevelMeterWindow::SCALE_FLOOR_DB) {
            const int y = YOf(held_, h);
            p.fillRect(QRect(0, y - 1, width(), 3), QColor(0xf5, 0xf5, 0xf5));
        }
    }

private:
    double current_ = LevelMeterWindow::SCALE_FLOOR_DB;
    double held_ = LevelMeterWindow::SCALE_FLOOR_DB;
};

LevelMeterWindow::LevelMeterWindow(MainCtrl& ctrl, GuiFrontEnd& front, MainWindow& main)
    : LiveWindow(ctrl, front, main, REFRESH_MS, tr("Paused while measuring")) {
    setWindowTitle(tr("Sonvel - Level meter"));
    auto* layout = new QVBoxLayout(this);
    grid_ = new QGridLayout;
    grid_->setHorizontalSpacing(10);
    grid_->setVerticalSpacing(4);
    scale_ = new LevelScale(this);
    grid_->addWidget(new QLabel(tr("dBFS"), this), 0, 0, Qt::AlignRight);
    grid_->addWidget(scale_, 2, 0);
    grid_->addWidget(new QLabel(tr("Level"), this), 3, 0, Qt::AlignRight);
    grid_->addWidget(new QLabel(tr("Peak"), this), 4, 0, Qt::AlignRight);
    grid_->setRowStretch(2, 1);
    layout->addLayout(grid_, 1);

    layout->addWidget(status_);

    auto* toneRow = new QHBoxLayout;
    tone_ = new QCheckBox(tr("Play test tone"), this);
    tone_->setToolTip(tr("A 1 kHz sine on the measuring outputs at the output amplitude of "
                         "the options, for setting levels"));
    toneNote_ = new QLabel(this);
    toneRow->addWidget(tone_);
    toneRow->addWidget(toneNote_, 1);
    layout->addLayout(toneRow);
    connect(tone_, &QCheckBox::toggled, this, [this](bool on) { SetTestTone(on); });

    auto* buttons = new QHBoxLayout;
    reset_ = new QPushButton(tr("Reset peaks"), this);
    connect(reset_, &QPushButton::clicked, this, &LevelMeterWindow::ResetPeaks);
    auto* close = new QPushButton(tr("Close"), this);
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    buttons->addWidget(reset_);
    buttons->addStretch(1);
    buttons->addWidget(close);
    layout->addLayout(buttons);

    BuildColumns(0);
    ApplyTone(); // only its note, as nothing meters yet
}

LevelMeterWindow::~LevelMeterWindow() {
    Release();
}

bool LevelMeterWindow::StartListening() {
    if (!ApplyDevices(tr("No devices to meter. %1"))) {
        BuildColumns(0);
        return false;
    }
    StreamInitializer* stream = StreamInitializer::Get();
    meter_ = std::make_unique<VUMeterInBuffer>(stream, 0.05f, 1.0f);
    if (meter_->GetChannels() < 1 || meter_->GetOwner() != stream) {
        Release();
        BuildColumns(0);
        SetStatus(tr("The input device has no channels to meter"), true);
        return false;
    }
    ApplyTone();
    if (stream->GetStatus() != Kedra::PAudioII::STREAM_RUNNING)
        stream->Start();
    if (stream->GetStatus() != Kedra::PAudioII::STREAM_RUNNING) {
        const QString error = QString::fromStdString(stream->GetPaErrorText());
        Release();
        BuildColumns(0);
        SetStatus(tr("The audio stream did not start: %1").arg(error), true);
        return false;
    }
    BuildColumns(meter_->GetChannels());
    lastBlocks_ = 0;
    resetBlocks_ = 0;
    silentDevice_ = false;
    sinceBlock_.start();
    meteringText_ = tr("Metering %1, %2 channels")
                        .arg(QString::fromStdString(
                            Kedra::PAudioII::GetDeviceName(stream->GetInDevice(), true)))
                        .arg(meter_->GetChannels());
    SetStatus(meteringText_, false);
    timer_->start();
    return true;
}

void LevelMeterWindow::StopListening() {
    if (!meter_)
        return;
    StreamInitializer* stream = StreamInitializer::Get();
    if (stream->GetGenerator() == &sine_) {
        stream->SetOutputEnabled(false);
        stream->SetGenerator(nullptr);
    }
    meter_.reset();
    // Another live window may listen to the stream too; the last one out stops it.
    if (stream->InputBufferCount() == 0)
        stream->Stop();
}

void LevelMeterWindow::SetTestTone(bool on) {
    if (tone_->isChecked() != on)
        tone_->setChecked(on); // comes back here through toggled
    else
        ApplyTone();
}

void LevelMeterWindow::ApplyTone() {
    const Conf::DevOptions& dev = Conf::Options::Field.Dev;
    // As a measurement: no output chosen plays on the first.
    const int mask = dev.OutputChMask > 0 ? dev.OutputChMask : 1;
    const double amplitude = dev.OutputPCMAmplitude;
    toneNote_->setText(amplitude > 0.0
                           ? tr("1 kHz, peak %1 dBFS, on output %2")
                                 .arg(Db(20.0 * std::log10(amplitude)), Outputs(mask))
                           : tr("1 kHz, silent: the output amplitude of the options is 0"));
    if (!meter_)
        return;
    StreamInitializer* stream = StreamInitializer::Get();
    if (!tone_->isChecked()) {
        stream->SetOutputEnabled(false);
        if (stream->GetGenerator() == &sine_)
            stream->SetGenerator(nullptr);
        return;
    }
    stream->SetOutVolume(static_cast<float>(amplitude));
    stream->SetOutChMask(mask);
    if (stream->GetGenerator() != &sine_) {
        sine_.frequency = TONE_HZ;
        sine_.Reset();
        stream->SetGenerator(&sine_);
    }
    // A measurement that ended mid-ramp leaves its ramp pending; it would fade the tone out.
    stream->SetRampDown(false);
    stream->SetRampUp(false);
    stream->SetOutputEnabled(true);
}

void LevelMeterWindow::ResetPeaks() {
    if (meter_) {
        meter_->ReadLevels(levels_);
        resetBlocks_ = levels_.blocks;
    }
    for (Column& c : columns_) {
        c.highest = SCALE_FLOOR_DB;
        ShowClip(c, false);
    }
}

void LevelMeterWindow::ShowClip(Column& column, bool clipped) {
    column.clipped = clipped;
    column.clip->setStyleSheet(
        clipped ? QStringLiteral("background: #e0231b; color: white; font-weight: bold; "
                                 "border: 1px solid #e0231b;")
                : QStringLiteral("color: #8a8a8a; border: 1px solid #8a8a8a;"));
}

void LevelMeterWindow::BuildColumns(int channels) {
    if (static_cast<int>(columns_.size()) == channels)
        return;
    for (Column& c : columns_)
        for (QWidget* w : std::initializer_list<QWidget*>{c.name, c.clip, c.bar, c.level, c.peak})
            delete w;
    columns_.clear();
    const int numberWidth = fontMetrics().horizontalAdvance(QStringLiteral("\u2212100.0")) + 6;
    for (int ch = 0; ch < channels; ++ch) {
        Column c;
        c.name = new QLabel(tr("In %1").arg(ch + 1), this);
        c.clip = new QLabel(tr("CLIP"), this);
        c.clip->setAlignment(Qt::AlignCenter);
        c.clip->setMinimumWidth(numberWidth);
        c.bar = new LevelBar(this);
        c.level = new QLabel(Db(SCALE_FLOOR_DB), this);
        c.peak = new QLabel(Db(SCALE_FLOOR_DB), this);
        for (QLabel* l : {c.level, c.peak}) {
            l->setAlignment(Qt::AlignCenter);
            l->setMinimumWidth(numberWidth);
        }
        const int col = ch + 1;
        grid_->addWidget(c.name, 0, col, Qt::AlignHCenter);
        grid_->addWidget(c.clip, 1, col);
        grid_->addWidget(c.bar, 2, col, Qt::AlignHCenter);
        grid_->addWidget(c.level, 3, col);
        grid_->addWidget(c.peak, 4, col);
        ShowClip(c, false);
        columns_.push_back(c);
    }
}

void LevelMeterWindow::Refresh() {
    if (!meter_)
        return;
    meter_->ReadLevels(levels_);
    if (levels_.blocks != lastBlocks_) {
        ++updates_;
        lastBlocks_ = levels_.blocks;
        sinceBlock_.restart();
        if (silentDevice_) {
            silentDevice_ = false;
            SetStatus(meteringText_, false);
        }
    } else if (!silentDevice_ && sinceBlock_.elapsed() > NO_INPUT_MS) {
        silentDevice_ = true;
        SetStatus(tr("No input arrives from the device"), true);
    }
    const int n = std::min(levels_.channels, Channels());
    for (int ch = 0; ch < n; ++ch) {
        const auto i = static_cast<std::size_t>(ch);
        Column& c = columns_[i];
        c.bar->SetLevels(levels_.current[i], levels_.held[i]);
        c.level->setText(Db(levels_.current[i]));
        c.peak->setText(Db(levels_.held[i]));
        // The held level covers the last second, so right after a reset it still holds what
        // came before; until it has turned over, only the current block counts. (The
        // meter's own peak starts again from the held level, so it cannot serve here.)
        const bool heldIsFresh =
            levels_.blocks >= resetBlocks_ + static_cast<std::uint64_t>(meter_->GetHistoryLength());
        const double recent = heldIsFresh ? levels_.held[i] : levels_.current[i];
        if (recent > c.highest) {
            c.highest = recent;
            c.clip->setToolTip(tr("Highest since reset: %1 dBFS").arg(Db(recent)));
        }
        if (!c.clipped && recent >= CLIP_DB)
            ShowClip(c, true);
    }
}

QString LevelMeterWindow::LevelText(int channel) const {
    return channel >= 0 && channel < Channels()
               ? columns_[static_cast<std::size_t>(channel)].level->text()
               : QString();
}

QString LevelMeterWindow::PeakText(int channel) const {
    return channel >= 0 && channel < Channels()
               ? columns_[static_cast<std::size_t>(channel)].peak->text()
               : QString();
}

bool LevelMeterWindow::ClipLit(int channel) const {
    return channel >= 0 && channel < Channels() &&
           columns_[static_cast<std::size_t>(channel)].clipped;
}

} // namespace Kedra::Sonvel::Gui
