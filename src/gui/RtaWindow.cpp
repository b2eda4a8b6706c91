#include "gui/RtaWindow.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainterPath>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include <qcustomplot.h>

#include "app/MainCtrl.h"
#include "app/Options.h"
#include "audio/StreamInitializer.h"
#include "gui/FrequencyTicker.h"
#include "gui/GuiFrontEnd.h"
#include "gui/MainWindow.h"
#include "gui/PlotStyle.h"
#include "live/OctaveBandBank.h"

namespace Kedra::Sonvel::Gui {

using Kedra::Live::RtaAverage;
using Kedra::Live::RtaLevel;
using Kedra::Live::RtaReading;
using Kedra::Live::Weighting;
using Kedra::PAudioII::StreamInitializer;

namespace {

constexpr int BANDS_PER_OCTAVE[] = {1, 3, 6, 12, 24, 48};
// Shown until the data asks for more, re full scale: the floor of a good converter and a
// little room above full scale for a weighting's gain.
constexpr double VIEW_BOTTOM_DB = -120.0;
constexpr double VIEW_TOP_DB = 5.0;
// Bars fill this share of their band, so that neighbours stay apart.
constexpr double BAR_SHARE = 0.8;
// Bars rise from far below any view; their data is the height above it.
constexpr double BAR_BASE_DB = -1000.0;

QString Db(double db) {
    return QString::number(db, 'f', 1).replace('-', QChar(0x2212));
}

// A band by its nominal midband where it has one (500 Hz for 501.2), else three digits.
QString BandName(double hz) {
    static constexpr double NOMINAL[] = {1.0, 1.25, 1.6, 2.0, 2.5, 3.15, 4.0, 5.0, 6.3, 8.0};
    const double decade = std::pow(10.0, std::floor(std::log10(hz)));
    for (double n : NOMINAL)
        for (double d : {decade, 10.0 * decade})
            if (std::fabs(hz / (n * d) - 1.0) < 0.015)
                hz = n * d;
    return hz >= 1000.0 ? QString::number(hz / 1000.0, 'g', 3) + " kHz"
                        : QString::number(hz, 'g', 3) + " Hz";
}

} // namespace

RtaWindow::RtaWindow(MainCtrl& ctrl, GuiFrontEnd& front, MainWindow& main)
    : LiveWindow(ctrl, front, main, REFRESH_MS,
                 tr("Paused while a sweep measures; the analysis resumes after it")) {
    setWindowTitle(tr("Sonvel - RTA"));
    auto* layout = new QVBoxLayout(this);

    auto* controls = new QGridLayout;
    controls->setHorizontalSpacing(8);
    resolution_ = Combo({tr("1/1 octave"), tr("1/3 octave"), tr("1/6 octave"), tr("1/12 octave"),
                         tr("1/24 octave"), tr("1/48 octave"), tr("FFT bins")},
                        Third);
    resolution_->setToolTip(tr("1/1 and 1/3 octave: the filter bank (IEC 61260-1 class 1); "
                               "narrower bands and the bins: the FFT"));
    levelBox_ = Combo({tr("Fast"), tr("Slow"), tr("Leq")}, 2);
    levelBox_->setToolTip(tr("The filter bank's level per band: F (125 ms), S (1 s) or the "
                             "equivalent level since the analysis started"));
    weightingBox_ = Combo({"A", "C", "Z"}, 2);
    style_ = Combo({tr("Bars"), tr("Line")}, 0);
    fftSize_ = new QComboBox(this);
    for (int n = Kedra::Live::RTA_MIN_FFT; n <= Kedra::Live::RTA_MAX_FFT; n *= 2)
        fftSize_->addItem(QString::number(n), n);
    fftSize_->setCurrentIndex(fftSize_->findData(1 << 14));
    fftSize_->setToolTip(tr("The frame of FFT bins; the FFT bands always use 65536"));
    average_ = Combo({tr("FIFO"), tr("Exponential"), tr("Infinite")}, 1);
    fifo_ = new QSpinBox(this);
    fifo_->setRange(1, Kedra::Live::RTA_MAX_FIFO);
    fifo_->setValue(8);
    fifo_->setSuffix(tr(" frames"));
    seconds_ = new QDoubleSpinBox(this);
    seconds_->setRange(0.05, 60.0);
    seconds_->setDecimals(2);
    seconds_->setValue(1.0);
    seconds_->setSuffix(tr(" s"));
    window_ = Combo({tr("Hann"), tr("Flat-top")}, 0);
    window_->setToolTip(tr("Hann: narrow bins; flat-top: a sine between bins reads its level "
                           "within 0.02 dB"));

    int column = 0;
    auto add = [&](const QString& label, QWidget* w, int row) {
        AddField(*controls, row, column, label, w);
    };
    add(tr("&Resolution"), resolution_, 0);
    add(tr("FFT si&ze"), fftSize_, 1);
    column = 2;
    add(tr("&Level"), levelBox_, 0);
    add(tr("&Window"), window_, 1);
    column = 4;
    add(tr("A&verage"), average_, 0);
    auto* averageOf = new QHBoxLayout;
    averageOf->addWidget(fifo_);
    averageOf->addWidget(seconds_);
    averageOf_ = new QLabel(tr("of"), this);
    controls->addWidget(averageOf_, 1, 4, Qt::AlignRight);
    controls->addLayout(averageOf, 1, 5);
    column = 6;
    add(tr("Wei&ghting"), weightingBox_, 0);
    add(tr("&Draw as"), style_, 1);
    controls->setColumnStretch(8, 1);
    layout->addLayout(controls);

    plot_ = new QCustomPlot(this);
    plot_->setMinimumSize(640, 340);
    StyleAxes(*plot_);
    plot_->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    plot_->axisRect()->setRangeDrag(Qt::Vertical);
    plot_->axisRect()->setRangeZoom(Qt::Vertical);
    plot_->xAxis->setScaleType(QCPAxis::stLogarithmic);
    plot_->xAxis->setTicker(QSharedPointer<FrequencyTicker>::create());
    plot_->xAxis->setRange(MIN_HZ, MAX_HZ);
    plot_->xAxis->setLabel(tr("Frequency [Hz]"));
    bars_ = new QCPBars(plot_->xAxis, plot_->yAxis);
    bars_->setName(tr("Level"));
    bars_->setWidthType(QCPBars::wtAxisRectRatio);
    bars_->setBaseValue(BAR_BASE_DB);
    bars_->setPen(QPen(QColor(0x1f, 0x5f, 0x9f), 1));
    bars_->setBrush(QColor(0x3a, 0x86, 0xd0));
    peaks_ = plot_->addGraph();
    peaks_->setName(tr("Peak hold"));
    peaks_->setPen(QPen(QColor(0xd0, 0x3a, 0x2f), 1.5));
    line_ = plot_->addGraph();
    line_->setName(tr("Level"));
    line_->setPen(QPen(QColor(0x1f, 0x5f, 0x9f), 2));
    PutLegendAbove(*plot_);
    bars_->removeFromLegend();
    // The level first, as Draw keeps it.
    peaks_->removeFromLegend();
    peaks_->addToLegend();
    connect(plot_->xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this,
            [this] { UpdateBarWidth(); });
    connect(plot_, &QCustomPlot::mouseMove, this, [this](QMouseEvent* event) {
        readout_->setText(ReadoutAt(plot_->xAxis->pixelToCoord(event->position().x())));
    });
    // Fit: the levels shown and their peaks, whatever the view was.
    connect(plot_, &QCustomPlot::mouseDoubleClick, this, [this] {
        double low = 1e9, high = -1e9;
        for (const RtaReading& r : shown_) {
            if (r.levelDb > Kedra::Live::LEVEL_FLOOR_DB + 1.0)
                low = std::min(low, r.levelDb);
            high = std::max({high, r.levelDb, r.peakDb});
        }
        if (low <= high) {
            plot_->yAxis->setRange(std::floor(low / 10.0) * 10.0 - 10.0,
                                   std::ceil(high / 10.0) * 10.0 + 5.0);
            plot_->replot();
        }
    });
    layout->addWidget(plot_, 1);

    readout_ = new QLabel(tr("Point at the graph to read a band"), this);
    note_ = new QLabel(this);
    note_->setWordWrap(true);
    layout->addWidget(readout_);
    layout->addWidget(note_);
    layout->addWidget(status_);

    reset_ = new QPushButton(tr("Reset peaks"), this);
    connect(reset_, &QPushButton::clicked, this, &RtaWindow::ResetPeaks);
    QHBoxLayout* buttons = StoreRow(
        slot_, store_, stored_,
        tr("The slot the spectrum goes to; a measurement there moves to an empty slot first"),
        tr("Keeps the spectrum shown as a record in the list, to compare with measurements"));
    connect(store_, &QPushButton::clicked, this, [this] { Store(); });
    buttons->insertWidget(0, reset_);
    layout->addLayout(buttons);

    for (QComboBox* box : {resolution_, fftSize_, average_, window_, weightingBox_})
        connect(box, qOverload<int>(&QComboBox::currentIndexChanged), this,
                [this] { SettingsChanged(); });
    connect(fifo_, qOverload<int>(&QSpinBox::valueChanged), this, [this] { SettingsChanged(); });
    connect(seconds_, qOverload<double>(&QDoubleSpinBox::valueChanged), this,
            [this] { SettingsChanged(); });
    connect(levelBox_, qOverload<int>(&QComboBox::currentIndexChanged), this, [this](int i) {
        level_.store(i, std::memory_order_relaxed);
        ShowUnit();
    });
    connect(style_, qOverload<int>(&QComboBox::currentIndexChanged), this, [this] { Draw(); });

    EnableBoxes();
    ShowUnit();
    Draw();
}

RtaWindow::~RtaWindow() {
    Release();
}

bool RtaWindow::UsesBank() const {
    const int r = resolution_->currentIndex();
    return r == Octave || r == Third;
}

Kedra::Live::RtaChoice RtaWindow::Choice() const {
    Kedra::Live::RtaChoice c;
    const int r = resolution_->currentIndex();
    if (r == Bins)
        c.fftSize = c.fft.fftSize = fftSize_->currentData().toInt();
    else
        c.bandsPerOctave = BANDS_PER_OCTAVE[std::clamp(r, 0, 5)];
    c.fft.window = window_->currentIndex() == 1 ? Kedra::Live::RtaWindow::FlatTop
                                                : Kedra::Live::RtaWindow::Hann;
    c.fft.average = static_cast<RtaAverage>(average_->currentIndex());
    c.fft.fifoFrames = fifo_->value();
    c.fft.timeConstant = seconds_->value();
    return c;
}

QString RtaWindow::UnitLabel() const {
    return plot_->yAxis->label();
}

QString RtaWindow::NoteText() const {
    return note_->text();
}

bool RtaWindow::StartListening() {
    if (!ApplyDevices(tr("No input to analyse. %1")))
        return false;
    StreamInitializer* stream = StreamInitializer::Get();
    sampleRate_ = stream->GetSamplerate();
    const Kedra::Live::RtaChoice choice = Choice();
    if (const std::string bad = Kedra::Live::CheckRtaChoice(choice, sampleRate_); !bad.empty()) {
        SetStatus(tr("Cannot analyse the input: %1").arg(QString::fromStdString(bad)), true);
        return false;
    }
    const auto wanted = static_cast<Weighting>(weightingBox_->currentIndex());
    weighting_ = wanted;
    QString weightingNote;
    if (wanted != Weighting::Z && !Kedra::Live::FrequencyWeighting::SupportsRate(sampleRate_)) {
        weighting_ = Weighting::Z;
        weightingNote = tr(" The weightings need 44.1 kHz or more: these levels are unweighted "
                           "(Z).");
    }
    const int channel = Conf::Options::Field.Dev.InputChannel;
    const std::string device = CurrentInputDevice();
    spl_ = FindSplReference(device, channel);
    rta_ = std::make_unique<Kedra::Live::WeightedRta>(weighting_, sampleRate_, choice);
    {
        const std::lock_guard<std::mutex> lock(shared_.mutex);
        shared_.readings.clear();
        shared_.published = 0;
    }
    seen_ = 0;
    resetPeaks_.store(false);
    const long every = std::max(1L, std::lround(PUBLISH_SECONDS * sampleRate_));
    Kedra::Live::WeightedRta* rta = rta_.get();
    auto sink = [this, rta, every, since = 0L, shownFrames = -1LL,
                 fresh = std::vector<RtaReading>()](const float* x, int n) mutable {
        rta->Process(x, n);
        const bool reset = resetPeaks_.exchange(false, std::memory_order_acq_rel);
        if (reset)
            rta->analysis.ResetPeaks();
        since += n;
        if (since < every)
            return;
        since = 0;
        // The FFT's readings change only with a frame (up to 32769 bins: not copied for nothing).
        if (rta->analysis.UsesFft() && rta->analysis.Frames() == shownFrames && !reset)
            return;
        shownFrames = rta->analysis.Frames();
        rta->analysis.Readings(static_cast<RtaLevel>(level_.load(std::memory_order_relaxed)),
                               fresh);
        const std::lock_guard<std::mutex> lock(shared_.mutex);
        shared_.readings.swap(fresh);
        ++shared_.published;
    };
    if (const std::string why = thread_.Listen(stream, channel, std::move(sink)); !why.empty()) {
        SetStatus(tr("Cannot analyse the input: %1").arg(QString::fromStdString(why)), true);
        return false;
    }
    SetStatus(tr("Analysing %1, input %2, at %3 Hz.%4")
                  .arg(QString::fromStdString(device))
                  .arg(channel + 1)
                  .arg(sampleRate_)
                  .arg(weightingNote),
              !weightingNote.isEmpty());
    ShowUnit();
    timer_->start();
    return true;
}

void RtaWindow::StopListening() {
    thread_.StopListening();
}

void RtaWindow::SettingsChanged() {
    EnableBoxes();
    if (Analysing()) {
        StartAnalysis();
        return;
    }
    // Applied at the next start; meanwhile the labels say what it will be.
    weighting_ = static_cast<Weighting>(weightingBox_->currentIndex());
    ShowUnit();
}

void RtaWindow::EnableBoxes() {
    const bool bank = UsesBank();
    const bool bins = resolution_->currentIndex() == Bins;
    levelBox_->setEnabled(bank);
    fftSize_->setEnabled(bins);
    window_->setEnabled(!bank);
    average_->setEnabled(!bank);
    const auto average = static_cast<RtaAverage>(average_->currentIndex());
    averageOf_->setVisible(average != RtaAverage::Infinite);
    fifo_->setVisible(average == RtaAverage::Fifo);
    seconds_->setVisible(average == RtaAverage::Exponential);
    fifo_->setEnabled(!bank);
    seconds_->setEnabled(!bank);
    // Bins are too many and too close at the top for bars on a log axis.
    style_->setEnabled(!bins);
}

void RtaWindow::ResetPeaks() {
    resetPeaks_.store(true, std::memory_order_release);
    for (RtaReading& r : readings_)
        r.peakDb = r.levelDb;
    Draw();
}

void RtaWindow::SetResolution(Resolution r) {
    resolution_->setCurrentIndex(r);
}
void RtaWindow::SetLevel(RtaLevel level) {
    levelBox_->setCurrentIndex(static_cast<int>(level));
}
void RtaWindow::SetWeighting(Weighting weighting) {
    weightingBox_->setCurrentIndex(static_cast<int>(weighting));
}
void RtaWindow::SetStyle(Style style) {
    style_->setCurrentIndex(style == Style::Bars ? 0 : 1);
}
void RtaWindow::SetFftSize(int size) {
    fftSize_->setCurrentIndex(fftSize_->findData(size));
}
void RtaWindow::SetAverage(RtaAverage average, int fifoFrames, double seconds) {
    const QSignalBlocker a(fifo_), b(seconds_);
    fifo_->setValue(fifoFrames);
    seconds_->setValue(seconds);
    if (average_->currentIndex() == static_cast<int>(average))
        SettingsChanged();
    else
        average_->setCurrentIndex(static_cast<int>(average));
}
void RtaWindow::SetFftWindow(Kedra::Live::RtaWindow window) {
    window_->setCurrentIndex(window == Kedra::Live::RtaWindow::FlatTop ? 1 : 0);
}
void RtaWindow::SetStoreSlot(int slot) {
    slot_->setValue(slot);
}

void RtaWindow::Refresh() {
    if (!thread_.Running() || Ended(thread_, tr("The analysis stopped: %1")))
        return;
    {
        const std::lock_guard<std::mutex> lock(shared_.mutex);
        if (shared_.published == seen_)
            return;
        seen_ = shared_.published;
        readings_ = shared_.readings;
    }
    ++updates_;
    Draw();
}

void RtaWindow::ShowUnit() {
    const bool bank = UsesBank();
    const Kedra::Live::RtaChoice c = Choice();
    const QString unit = spl_ ? tr("dB SPL") : tr("dBFS");
    const QString weighted =
        weighting_ == Weighting::Z
            ? QString()
            : tr(", %1-weighted").arg(Kedra::Live::WeightingLetter(weighting_));
    plot_->yAxis->setLabel(tr("Level [%1]%2").arg(unit, weighted));
    QString note;
    if (bank) {
        const int level = levelBox_->currentIndex();
        note = tr("1/%1-octave filter bank: %2 per band, a sine reads its RMS level (a "
                  "full-scale sine 0 dBFS); peak hold: the highest %3 level.")
                   .arg(c.bandsPerOctave)
                   .arg(level == 0   ? tr("F (125 ms)")
                        : level == 1 ? tr("S (1 s)")
                                     : tr("Leq since the analysis started"))
                   .arg(level == 1 ? tr("S") : tr("F"));
    } else {
        const int n = c.fftSize != 0 ? c.fftSize : Kedra::Live::RTA_BAND_FFT;
        const QString average = c.fft.average == RtaAverage::Fifo
                                    ? tr("average of the last %1 frames").arg(c.fft.fifoFrames)
                                : c.fft.average == RtaAverage::Exponential
                                    ? tr("exponential average of %1 s").arg(c.fft.timeConstant)
                                    : tr("average of every frame since the start");
        const QString frame =
            tr("FFT of %1, %2, 75 % overlap, %3").arg(n).arg(window_->currentText()).arg(average);
        if (c.fftSize != 0)
            note =
                tr("%1: coherent gain corrected, so a sine centred on a bin reads its RMS "
                   "level (between bins up to %2 dB less); noise reads its power per bin of "
                   "%3 Hz. Peak hold: the loudest frame.")
                    .arg(frame,
                         c.fft.window == Kedra::Live::RtaWindow::Hann ? QStringLiteral("1.42")
                                                                      : QStringLiteral("0.02"),
                         QString::number(sampleRate_ > 0 ? sampleRate_ / double(n) : 0.0, 'f', 2));
        else
            note = tr("1/%1-octave bands from the %2: the bins' power with the window's noise "
                      "bandwidth divided out, so a sine and noise both read their level in the "
                      "band. Peak hold: the loudest frame.")
                       .arg(c.bandsPerOctave)
                       .arg(frame);
    }
    if (spl_)
        note +=
            tr(" dB SPL through the reference %1.").arg(QString::fromStdString(spl_->Describe()));
    note_->setText(note);
    plot_->replot();
}

void RtaWindow::UpdateBarWidth() {
    if (readings_.size() < 2)
        return;
    // Bands of one series are equally wide on the log axis: the ratio of two neighbours.
    const double band = std::log(readings_[1].frequency / readings_[0].frequency);
    const QCPRange range = plot_->xAxis->range();
    bars_->setWidth(BAR_SHARE * band / std::log(range.upper / range.lower));
}

void RtaWindow::Draw() {
    const double offset = spl_ ? spl_->Offset() : 0.0;
    shown_ = readings_;
    for (RtaReading& r : shown_) {
        // Silence stays at the floor, in dB SPL as re full scale.
        if (r.levelDb > Kedra::Live::LEVEL_FLOOR_DB)
            r.levelDb += offset;
        if (r.peakDb > Kedra::Live::LEVEL_FLOOR_DB)
            r.peakDb += offset;
    }
    QVector<double> keys, levels, heights, peaks;
    for (const RtaReading& r : shown_) {
        keys.push_back(r.frequency);
        levels.push_back(r.levelDb);
        heights.push_back(r.levelDb - BAR_BASE_DB);
        peaks.push_back(r.peakDb);
    }
    const bool bins = resolution_->currentIndex() == Bins;
    const bool bars = !bins && style_->currentIndex() == 0;
    // The 0 Hz bin has no place on a log axis.
    if (bins && !keys.isEmpty() && keys.front() <= 0.0) {
        keys.removeFirst();
        levels.removeFirst();
        heights.removeFirst();
        peaks.removeFirst();
    }
    bars_->setVisible(bars);
    line_->setVisible(!bars);
    // The legend names what is drawn, before the peaks.
    QCPAbstractPlottable* drawn = bars ? static_cast<QCPAbstractPlottable*>(bars_) : line_;
    if (!plot_->legend->hasItemWithPlottable(drawn)) {
        bars_->removeFromLegend();
        line_->removeFromLegend();
        peaks_->removeFromLegend();
        drawn->addToLegend();
        peaks_->addToLegend();
    }
    bars_->setData(keys, heights, true);
    line_->setData(keys, levels, true);
    peaks_->setData(keys, peaks, true);
    line_->setScatterStyle(bins ? QCPScatterStyle()
                                : QCPScatterStyle(QCPScatterStyle::ssDisc, 5.0));
    if (bins) {
        peaks_->setLineStyle(QCPGraph::lsLine);
        peaks_->setScatterStyle(QCPScatterStyle());
    } else {
        // A short dash over each band.
        QPainterPath dash;
        dash.moveTo(-1.0, 0.0);
        dash.lineTo(1.0, 0.0);
        peaks_->setLineStyle(QCPGraph::lsNone);
        peaks_->setScatterStyle(
            QCPScatterStyle(dash, QPen(QColor(0xd0, 0x3a, 0x2f), 2.5), Qt::NoBrush, 12.0));
    }
    UpdateBarWidth();
    // A new start (another input, dB SPL or re full scale) takes the default view once.
    const int rows = static_cast<int>(shown_.size()) + (spl_ ? 100000 : 0);
    if (rows != lastRangeRows_) {
        lastRangeRows_ = rows;
        plot_->yAxis->setRange(VIEW_BOTTOM_DB + offset, VIEW_TOP_DB + offset);
    }
    plot_->replot(QCustomPlot::rpQueuedReplot);
}

QString RtaWindow::ReadoutAt(double hz) const {
    if (shown_.empty() || !(hz > 0.0))
        return QString();
    const RtaReading* best = nullptr;
    for (const RtaReading& r : shown_) {
        if (r.frequency <= 0.0)
            continue;
        if (best == nullptr ||
            std::fabs(std::log(r.frequency / hz)) < std::fabs(std::log(best->frequency / hz)))
            best = &r;
    }
    if (best == nullptr)
        return QString();
    const QString unit = spl_ ? tr("dB SPL") : tr("dBFS");
    auto level = [&](double db) {
        return db <= Kedra::Live::LEVEL_FLOOR_DB + (spl_ ? spl_->Offset() : 0.0)
                   ? tr("silent")
                   : Db(db) + " " + unit;
    };
    const QString where = resolution_->currentIndex() == Bins
                              ? QString::number(best->frequency, 'f', 1) + " Hz"
                              : BandName(best->frequency);
    return tr("%1: %2, peak %3").arg(where, level(best->levelDb), level(best->peakDb));
}

QString RtaWindow::StoreLabel() const {
    const Kedra::Live::RtaChoice c = Choice();
    const QString weighting(QChar(Kedra::Live::WeightingLetter(weighting_)));
    if (UsesBank())
        return tr("RTA 1/%1 oct, %2, %3")
            .arg(c.bandsPerOctave)
            .arg(weighting, levelBox_->currentText());
    const QString average = c.fft.average == RtaAverage::Fifo ? tr("fifo %1").arg(c.fft.fifoFrames)
                            : c.fft.average == RtaAverage::Exponential
                                ? tr("exp %1 s").arg(c.fft.timeConstant)
                                : tr("inf");
    const QString window = window_->currentText();
    if (c.fftSize != 0)
        return tr("RTA FFT %1, %2, %3, %4").arg(c.fftSize).arg(weighting, average, window);
    return tr("RTA 1/%1 oct, %2, %3, %4").arg(c.bandsPerOctave).arg(weighting, average, window);
}

int RtaWindow::Store() {
    if (readings_.empty()) {
        SetStatus(tr("Nothing to store yet: the analyser has shown no spectrum"), true);
        return -1;
    }
    StoredSpectrum s;
    for (const RtaReading& r : readings_) {
        s.hz.push_back(r.frequency);
        s.db.push_back(r.levelDb);
    }
    s.sampleRate = sampleRate_;
    s.label = StoreLabel().toStdString();
    s.spl = spl_;
    const int slot = ctrl_.Action_StoreSpectrum(slot_->value(), s);
    stored_->setText(slot >= 0 ? tr("Stored in slot %1").arg(slot) : tr("Not stored"));
    return slot;
}

} // namespace Kedra::Sonvel::Gui
