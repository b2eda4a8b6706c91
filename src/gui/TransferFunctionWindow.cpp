#include "gui/TransferFunctionWindow.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <limits>

#include <qcustomplot.h>

#include "app/AudioHelper.h"
#include "app/MainCtrl.h"
#include "app/Options.h"
#include "app/SplReference.h"
#include "audio/StreamInitializer.h"
#include "gui/FrequencyTicker.h"
#include "gui/GuiFrontEnd.h"
#include "gui/MainWindow.h"
#include "gui/PlotStyle.h"

namespace Kedra::Sonvel::Gui {

using Kedra::Live::TfAverage;
using Kedra::Live::TfPoint;
using Kedra::Live::TfResolution;
using Kedra::Live::TfSession;
using Kedra::PAudioII::StreamInitializer;

namespace {

// The resolution box: bands per octave, or minus a fixed FFT length.
constexpr int RESOLUTIONS[] = {3, 6, 12, 24, 48, -4096, -8192, -16384, -32768, -65536};
constexpr int DEFAULT_RESOLUTION = 3; // 1/24 octave
// The simulated card carries its output back on this input (from 1): the timing reference.
constexpr int SIMULATED_REFERENCE = 9;

const QColor VALID(0x1f, 0x5f, 0x9f);
const QColor LOW(0xb0, 0xb0, 0xb0);
const QColor COHERENCE(0x2e, 0x8b, 0x57);
const QColor THRESHOLD(0xd0, 0x3a, 0x2f);

QString Signed(double v, int decimals) {
    return QString::number(v, 'f', decimals).replace('-', QChar(0x2212));
}

QString Hz(double hz) {
    return hz >= 1000.0 ? QString::number(hz / 1000.0, 'f', 2) + " kHz"
                        : QString::number(hz, 'f', hz < 100.0 ? 1 : 0) + " Hz";
}

bool HasCoherence(const TfPoint& p) {
    return p.segments >= Kedra::Live::TF_MIN_COHERENCE_SEGMENTS && !std::isnan(p.coherence) &&
           !std::isnan(p.h.real());
}

} // namespace

TransferFunctionWindow::TransferFunctionWindow(MainCtrl& ctrl, GuiFrontEnd& front, MainWindow& main)
    : LiveWindow(ctrl, front, main, REFRESH_MS,
                 tr("Paused while a sweep measures; the analysis resumes after it")) {
    setWindowTitle(tr("Sonvel - Transfer function"));
    auto* layout = new QVBoxLayout(this);
    const auto& dev = Conf::Options::Field.Dev;
    const bool simulated = ctrl_.Audio().UsesSimulated();

    auto* controls = new QGridLayout;
    controls->setHorizontalSpacing(8);
    refInput_ = new QSpinBox(this);
    refInput_->setRange(1, 31);
    refInput_->setValue(dev.ReferenceInput >= 0 ? dev.ReferenceInput + 1
                        : simulated             ? SIMULATED_REFERENCE
                                                : 2);
    refInput_->setToolTip(tr("The input that carries what goes into the system (a loopback of "
                             "the output, or the mixing desk's feed)"));
    measInput_ = new QSpinBox(this);
    measInput_->setRange(1, 31);
    measInput_->setValue(dev.InputChannel + 1);
    measInput_->setToolTip(tr("The input of the microphone that hears the system"));
    resolution_ = new QComboBox(this);
    for (const int r : RESOLUTIONS)
        resolution_->addItem(r > 0 ? tr("1/%1 octave").arg(r) : tr("FFT %1").arg(-r), r);
    resolution_->setCurrentIndex(DEFAULT_RESOLUTION);
    resolution_->setToolTip(tr("1/N octave: several FFT lengths, long ones low (the lowest "
                               "points need the most time); FFT N: one length, fs/N apart"));
    average_ = Combo({tr("Infinite"), tr("Exponential")}, 0);
    seconds_ = new QDoubleSpinBox(this);
    seconds_->setRange(0.1, 60.0);
    seconds_->setDecimals(1);
    seconds_->setValue(2.0);
    seconds_->setSuffix(tr(" s"));
    seconds_->setToolTip(tr("The exponential average's time constant"));
    program_ = Combo({tr("Pink noise"), tr("None (external signal)")}, simulated ? 0 : 1);
    program_->setToolTip(tr("Pink noise on the measuring outputs at the options' output level, "
                            "or nothing: the system plays its own programme, music included"));
    thresholdBox_ = new QDoubleSpinBox(this);
    thresholdBox_->setRange(0.0, 0.99);
    thresholdBox_->setDecimals(2);
    thresholdBox_->setSingleStep(0.05);
    thresholdBox_->setValue(DEFAULT_THRESHOLD);
    thresholdBox_->setToolTip(tr("The magnitude is greyed where the coherence is below this; "
                                 "when its median over 100 Hz - 10 kHz stays below it for 3 s, "
                                 "the delay is found again"));

    int column = 0;
    auto add = [&](const QString& label, QWidget* w, int row) {
        AddField(*controls, row, column, label, w);
    };
    add(tr("Re&ference input"), refInput_, 0);
    add(tr("&Measurement input"), measInput_, 1);
    column = 2;
    add(tr("&Resolution"), resolution_, 0);
    add(tr("&Program"), program_, 1);
    column = 4;
    add(tr("A&verage"), average_, 0);
    add(tr("Time &constant"), seconds_, 1);
    column = 6;
    add(tr("&Blank below \u03b3\u00b2"), thresholdBox_, 0);
    controls->setColumnStretch(8, 1);
    layout->addLayout(controls);

    auto* delayRow = new QHBoxLayout;
    delayLabel_ = new QLabel(this);
    QFont bold = delayLabel_->font();
    bold.setBold(true);
    delayLabel_->setFont(bold);
    delayLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    find_ = new QPushButton(tr("&Find delay"), this);
    find_->setToolTip(tr("Searches the delay between the two inputs again over the next 2 s"));
    connect(find_, &QPushButton::clicked, this, &TransferFunctionWindow::FindDelay);
    delayRow->addWidget(delayLabel_);
    delayRow->addWidget(find_);
    delayRow->addStretch(1);
    layout->addLayout(delayRow);

    magnitude_ = MakePlot(tr("Magnitude [dB]"));
    magLow_ = magnitude_->addGraph();
    magLow_->setName(tr("\u03b3\u00b2 below the threshold"));
    magLow_->setPen(QPen(LOW, 1.5));
    magPending_ = magnitude_->addGraph();
    magPending_->setName(tr("Not yet valid (under 8 averages)"));
    magPending_->setPen(QPen(LOW, 1.5, Qt::DashLine));
    magValid_ = magnitude_->addGraph();
    magValid_->setName(tr("Magnitude"));
    magValid_->setPen(QPen(VALID, 2));
    // The magnitude first in the legend, as it is drawn last.
    magValid_->removeFromLegend();
    magLow_->removeFromLegend();
    magPending_->removeFromLegend();
    magValid_->addToLegend();
    magLow_->addToLegend();
    magPending_->addToLegend();
    magnitude_->yAxis->setRange(-40.0, 20.0);
    PutLegendAbove(*magnitude_);
    layout->addWidget(magnitude_, 3);

    phase_ = MakePlot(tr("Phase [\u00b0]"));
    phaseOther_ = phase_->addGraph();
    phaseOther_->setPen(QPen(LOW, 1.5));
    phaseValid_ = phase_->addGraph();
    phaseValid_->setPen(QPen(VALID, 2));
    phase_->yAxis->setRange(-190.0, 190.0);
    auto quarter = QSharedPointer<QCPAxisTickerFixed>::create();
    quarter->setTickStep(90.0);
    phase_->yAxis->setTicker(quarter);
    layout->addWidget(phase_, 2);

    coherence_ = MakePlot(tr("Coherence \u03b3\u00b2"));
    coherenceLine_ = coherence_->addGraph();
    coherenceLine_->setPen(QPen(COHERENCE, 1.5));
    coherence_->yAxis->setRange(0.0, 1.05);
    auto half = QSharedPointer<QCPAxisTickerFixed>::create();
    half->setTickStep(0.5);
    coherence_->yAxis->setTicker(half);
    thresholdLine_ = new QCPItemStraightLine(coherence_);
    thresholdLine_->setPen(QPen(THRESHOLD, 1, Qt::DashLine));
    layout->addWidget(coherence_, 1);

    readout_ = new QLabel(tr("Point at a graph to read it"), this);
    layout->addWidget(readout_);
    layout->addWidget(status_);

    layout->addLayout(StoreRow(slot_, store_, stored_,
                               tr("The slot the transfer function goes to; a measurement there "
                                  "moves to an empty slot first"),
                               tr("Keeps the transfer function (where it has a coherence) as a "
                                  "measurement in the list")));
    connect(store_, &QPushButton::clicked, this, [this] { Store(); });

    for (QSpinBox* box : {refInput_, measInput_})
        connect(box, qOverload<int>(&QSpinBox::valueChanged), this, [this] { SettingsChanged(); });
    for (QComboBox* box : {resolution_, average_, program_})
        connect(box, qOverload<int>(&QComboBox::currentIndexChanged), this,
                [this] { SettingsChanged(); });
    connect(seconds_, qOverload<double>(&QDoubleSpinBox::valueChanged), this,
            [this] { SettingsChanged(); });
    connect(thresholdBox_, qOverload<double>(&QDoubleSpinBox::valueChanged), this,
            [this](double v) {
                threshold_.store(v);
                Draw();
            });

    seconds_->setEnabled(false);
    resize(900, 760);
    Draw();
}

TransferFunctionWindow::~TransferFunctionWindow() {
    Release();
}

QCustomPlot* TransferFunctionWindow::MakePlot(const QString& yLabel) {
    auto* plot = new QCustomPlot(this);
    plot->setMinimumSize(640, 110);
    StyleAxes(*plot);
    plot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    plot->axisRect()->setRangeDrag(Qt::Vertical);
    plot->axisRect()->setRangeZoom(Qt::Vertical);
    plot->xAxis->setScaleType(QCPAxis::stLogarithmic);
    plot->xAxis->setTicker(QSharedPointer<FrequencyTicker>::create());
    plot->xAxis->setRange(MIN_HZ, MAX_HZ);
    plot->yAxis->setLabel(yLabel);
    // The three graphs' plots line up whatever their labels' widths.
    plot->axisRect()->setAutoMargins(QCP::msTop | QCP::msBottom | QCP::msRight);
    plot->axisRect()->setMargins(QMargins(70, 0, 0, 0));
    connect(plot, &QCustomPlot::mouseMove, this, [this, plot](QMouseEvent* event) {
        readout_->setText(ReadoutAt(plot->xAxis->pixelToCoord(event->position().x())));
    });
    // Fit: the magnitude where it is shown, whatever the view was.
    connect(plot, &QCustomPlot::mouseDoubleClick, this, [this] {
        if (FitMagnitude())
            magnitude_->replot();
    });
    return plot;
}

bool TransferFunctionWindow::FitMagnitude() {
    double low = 1e9, high = -1e9;
    for (const TfPoint& p : points_)
        if (!std::isnan(p.h.real()) && std::abs(p.h) > 0.0 && p.frequency >= MIN_HZ &&
            p.frequency <= MAX_HZ) {
            low = std::min(low, Kedra::Live::MagnitudeDb(p.h));
            high = std::max(high, Kedra::Live::MagnitudeDb(p.h));
        }
    if (low > high)
        return false;
    magnitude_->yAxis->setRange(std::floor(low / 10.0) * 10.0 - 5.0,
                                std::ceil(high / 10.0) * 10.0 + 5.0);
    return true;
}

Kedra::Live::TfSettings TransferFunctionWindow::Settings() const {
    Kedra::Live::TfSettings s;
    const int r = resolution_->currentData().toInt();
    if (r > 0) {
        s.resolution = TfResolution::Constant;
        s.bandsPerOctave = r;
    } else {
        s.resolution = TfResolution::Fixed;
        s.fftSize = -r;
    }
    s.average = static_cast<TfAverage>(average_->currentIndex());
    s.timeConstant = seconds_->value();
    return s;
}

bool TransferFunctionWindow::StartListening() {
    fitted_ = false;
    points_.clear();
    delay_ = {};
    aligned_ = false;
    delayInUse_ = 0.0;
    searching_ = true;
    coherenceSearches_ = 0;
    const int ref = refInput_->value(), meas = measInput_->value();
    if (ref == meas) {
        SetStatus(tr("The reference and the measurement must be two different inputs, not "
                     "input %1 twice")
                      .arg(ref),
                  true);
        Draw();
        return false;
    }
    if (!ApplyDevices(tr("No input to analyse. %1"))) {
        Draw();
        return false;
    }
    StreamInitializer* stream = StreamInitializer::Get();
    sampleRate_ = stream->GetSamplerate();
    const Kedra::Live::TfSettings settings = Settings();
    if (const std::string bad = Kedra::Live::CheckTfSettings(settings, sampleRate_); !bad.empty()) {
        SetStatus(tr("Cannot analyse the inputs: %1").arg(QString::fromStdString(bad)), true);
        Draw();
        return false;
    }
    session_ = std::make_unique<TfSession>(sampleRate_, settings);
    fftSizes_ = session_->Tf().FftSizes();
    reference_ = ref;
    measurement_ = meas;
    {
        const std::lock_guard<std::mutex> lock(shared_.mutex);
        shared_.snapshot = Snapshot();
        shared_.published = 0;
    }
    seen_ = 0;
    findAgain_.store(false);
    threshold_.store(thresholdBox_->value());
    const long every = std::max(1L, std::lround(PUBLISH_SECONDS * sampleRate_));
    TfSession* session = session_.get();
    auto sink = [this, session, every, since = 0L,
                 fresh = Snapshot()](const float* x, const float* y, int n) mutable {
        if (findAgain_.exchange(false, std::memory_order_acq_rel))
            session->FindAgain();
        session->SetRefindBelow(threshold_.load(std::memory_order_relaxed));
        session->Process(x, y, n);
        since += n;
        if (since < every)
            return;
        since = 0;
        try {
            fresh.points = session->Tf().Points();
        } catch (...) {
            return; // no memory for this snapshot: the next one tries again
        }
        fresh.delay = session->Delay();
        fresh.searching = session->Searching();
        fresh.aligned = session->Aligned();
        fresh.delayInUse = session->Tf().Delay();
        fresh.searches = session->Searches();
        fresh.coherenceSearches = session->CoherenceSearches();
        fresh.median = session->MedianCoherence();
        fresh.segments = session->Tf().Segments();
        const std::lock_guard<std::mutex> lock(shared_.mutex);
        std::swap(shared_.snapshot, fresh);
        ++shared_.published;
    };
    Play(program_->currentIndex() == static_cast<int>(Program::PinkNoise));
    if (const std::string why = thread_.ListenPair(stream, ref - 1, meas - 1, std::move(sink));
        !why.empty()) {
        Play(false);
        SetStatus(tr("Cannot analyse the inputs: %1").arg(QString::fromStdString(why)), true);
        return false;
    }
    const QString res =
        settings.resolution == TfResolution::Fixed
            ? tr("FFT %1, %2 Hz apart")
                  .arg(settings.fftSize)
                  .arg(QString::number(double(sampleRate_) / settings.fftSize, 'f', 2))
            : tr("1/%1 octave from FFTs of %2 to %3")
                  .arg(settings.bandsPerOctave)
                  .arg(fftSizes_.front())
                  .arg(fftSizes_.back());
    settingsNote_ =
        tr("Input %1 against reference input %2 of %3 at %4 Hz; %5; %6.")
            .arg(meas)
            .arg(ref)
            .arg(QString::fromStdString(CurrentInputDevice()))
            .arg(sampleRate_)
            .arg(res)
            .arg(playing_ ? tr("pink noise on the outputs") : tr("no programme played"));
    SetStatus(settingsNote_, false);
    Draw();
    timer_->start();
    return true;
}

void TransferFunctionWindow::Play(bool on) {
    StreamInitializer* stream = StreamInitializer::Get();
    if (!on) {
        if (playing_) {
            stream->SetOutputEnabled(false);
            stream->SetGenerator(nullptr);
        }
        playing_ = false;
        return;
    }
    noise_ = std::make_unique<Kedra::Live::PinkNoiseLoop>(sampleRate_);
    const auto& o = Conf::Options::Field;
    stream->SetOutputEnabled(false);
    stream->SetOutVolume(o.Dev.OutputPCMAmplitude);
    stream->SetOutChMask(o.Dev.OutputChMask > 0 ? o.Dev.OutputChMask : 1);
    stream->SetGenerator(noise_.get());
    stream->SetRampDown(false);
    stream->SetRampUp(false);
    stream->SetOutputEnabled(true);
    playing_ = true;
}

void TransferFunctionWindow::StopListening() {
    thread_.StopListening();
    Play(false);
}

void TransferFunctionWindow::SettingsChanged() {
    seconds_->setEnabled(average_->currentIndex() == static_cast<int>(TfAverage::Exponential));
    // Also after a start that was refused: the change may be what it asked for.
    if (Wanted() && !Paused())
        StartAnalysis();
}

void TransferFunctionWindow::FindDelay() {
    if (!Analysing())
        return;
    findAgain_.store(true, std::memory_order_release);
    searching_ = true;
    SetStatus(tr("Finding the delay again over the next 2 s"), false);
    Draw();
}

void TransferFunctionWindow::SetInputs(int reference, int measurement) {
    // One restart for the two.
    {
        const QSignalBlocker a(refInput_), b(measInput_);
        refInput_->setValue(reference);
        measInput_->setValue(measurement);
    }
    SettingsChanged();
}
void TransferFunctionWindow::SetResolution(int bandsPerOctave, int fftSize) {
    resolution_->setCurrentIndex(
        resolution_->findData(bandsPerOctave > 0 ? bandsPerOctave : -fftSize));
}
void TransferFunctionWindow::SetAverage(TfAverage average, double seconds) {
    const QSignalBlocker block(seconds_);
    seconds_->setValue(seconds);
    if (average_->currentIndex() == static_cast<int>(average))
        SettingsChanged();
    else
        average_->setCurrentIndex(static_cast<int>(average));
}
void TransferFunctionWindow::SetProgram(Program program) {
    program_->setCurrentIndex(static_cast<int>(program));
}
void TransferFunctionWindow::SetThreshold(double coherence) {
    thresholdBox_->setValue(coherence);
}
void TransferFunctionWindow::SetStoreSlot(int slot) {
    slot_->setValue(slot);
}

void TransferFunctionWindow::Refresh() {
    if (!thread_.Running() || Ended(thread_, tr("The analysis stopped: %1")))
        return;
    int searches = 0;
    {
        const std::lock_guard<std::mutex> lock(shared_.mutex);
        if (shared_.published == seen_)
            return;
        seen_ = shared_.published;
        points_ = shared_.snapshot.points;
        delay_ = shared_.snapshot.delay;
        aligned_ = shared_.snapshot.aligned;
        delayInUse_ = shared_.snapshot.delayInUse;
        searches = shared_.snapshot.searches;
        // A request not yet taken up by the analysis still counts as searching.
        searching_ = shared_.snapshot.searching || findAgain_.load();
        if (shared_.snapshot.coherenceSearches > coherenceSearches_) {
            coherenceSearches_ = shared_.snapshot.coherenceSearches;
            refinding_ = true;
            SetStatus(tr("The median coherence over 100 Hz - 10 kHz stayed below %1 for %2 s: "
                         "finding the delay again")
                          .arg(thresholdBox_->value(), 0, 'f', 2)
                          .arg(TfSession::REFIND_SECONDS),
                      true);
        }
    }
    if (refinding_ && !searching_) {
        refinding_ = false;
        SetStatus(tr("The median coherence over 100 Hz - 10 kHz stayed below %1 for %2 s: the "
                     "delay was found again, %3 ms")
                      .arg(thresholdBox_->value(), 0, 'f', 2)
                      .arg(TfSession::REFIND_SECONDS)
                      .arg(Signed(DelayMs(), 3)),
                  false);
    } else if (searching_ && searches > 0 && !delay_.found)
        SetStatus(tr("No delay found yet: %1. Is the programme reaching both inputs?")
                      .arg(QString::fromStdString(delay_.why)),
                  true);
    else if (!searching_ && status_->text().startsWith(tr("No delay found yet")))
        SetStatus(settingsNote_, false);
    ++updates_;
    Draw();
}

QString TransferFunctionWindow::DelayText() const {
    if (aligned_)
        return tr("Delay: %1 ms (%2 samples)%3")
            .arg(Signed(DelayMs(), 3), Signed(delayInUse_, 2),
                 searching_ ? tr(", finding it again...") : QString());
    return Analysing() ? tr("Delay: finding it over the first 2 s...") : tr("Delay: not known");
}

void TransferFunctionWindow::Draw() {
    delayLabel_->setText(DelayText());
    const double threshold = thresholdBox_->value();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    QVector<double> keys, valid, low, pending, phaseValid, phaseOther, coherence;
    double lastPhase = nan;
    bool lastValid = false;
    for (const TfPoint& p : points_) {
        if (std::isnan(p.h.real()) || p.frequency <= 0.0)
            continue;
        const double db = Kedra::Live::MagnitudeDb(p.h);
        double deg = Kedra::Live::PhaseDeg(p.h);
        const bool ready = p.segments >= Kedra::Live::TF_MIN_COHERENCE_SEGMENTS;
        const bool good = ready && !std::isnan(p.coherence) && p.coherence >= threshold;
        // A wrap from +180 to -180 is a gap, not a line across the graph.
        if (!std::isnan(lastPhase) && std::fabs(deg - lastPhase) > 180.0 && lastValid == good) {
            keys.push_back(p.frequency);
            for (auto* v : {&valid, &low, &pending, &coherence})
                v->push_back(v->isEmpty() ? nan : v->back());
            phaseValid.push_back(nan);
            phaseOther.push_back(nan);
        }
        lastPhase = deg;
        lastValid = good;
        keys.push_back(p.frequency);
        valid.push_back(good ? db : nan);
        low.push_back(ready && !good ? db : nan);
        pending.push_back(ready ? nan : db);
        phaseValid.push_back(good ? deg : nan);
        phaseOther.push_back(good ? nan : deg);
        coherence.push_back(ready ? p.coherence : nan);
    }
    // A new start shows its first readings whole, once all have a coherence.
    if (!fitted_ && !points_.empty() &&
        std::all_of(points_.begin(), points_.end(),
                    [](const TfPoint& p) { return !std::isnan(p.coherence); }))
        fitted_ = FitMagnitude();
    magValid_->setData(keys, valid, true);
    magLow_->setData(keys, low, true);
    magPending_->setData(keys, pending, true);
    phaseValid_->setData(keys, phaseValid, true);
    phaseOther_->setData(keys, phaseOther, true);
    coherenceLine_->setData(keys, coherence, true);
    thresholdLine_->point1->setCoords(MIN_HZ, threshold);
    thresholdLine_->point2->setCoords(MAX_HZ, threshold);
    for (QCustomPlot* plot : {magnitude_, phase_, coherence_})
        plot->replot(QCustomPlot::rpQueuedReplot);
}

QString TransferFunctionWindow::ReadoutAt(double hz) const {
    if (!(hz > 0.0))
        return QString();
    const TfPoint* best = nullptr;
    for (const TfPoint& p : points_)
        if (p.frequency > 0.0 && !std::isnan(p.h.real()) &&
            (best == nullptr ||
             std::fabs(std::log(p.frequency / hz)) < std::fabs(std::log(best->frequency / hz))))
            best = &p;
    if (best == nullptr)
        return QString();
    const QString coherence = std::isnan(best->coherence)
                                  ? tr("no coherence yet (%1 of %2 averages)")
                                        .arg(best->segments)
                                        .arg(Kedra::Live::TF_MIN_COHERENCE_SEGMENTS)
                                  : tr("\u03b3\u00b2 %1").arg(best->coherence, 0, 'f', 3);
    return tr("%1: %2 dB, %3\u00b0, %4")
        .arg(Hz(best->frequency), Signed(Kedra::Live::MagnitudeDb(best->h), 1),
             Signed(Kedra::Live::PhaseDeg(best->h), 1), coherence);
}

QString TransferFunctionWindow::StoreLabel() const {
    const int r = resolution_->currentData().toInt();
    const QString res = r > 0 ? tr("1/%1 oct").arg(r) : tr("FFT %1").arg(-r);
    return tr("TF input %1 vs input %2, delay %3 ms, %4")
        .arg(measurement_)
        .arg(reference_)
        .arg(Signed(DelayMs(), 3), res);
}

int TransferFunctionWindow::Store() {
    std::vector<TfPoint> rows;
    for (const TfPoint& p : points_)
        if (HasCoherence(p))
            rows.push_back(p);
    if (rows.empty() || !aligned_ || fftSizes_.empty()) {
        const QString why = tr("Nothing to store yet: no point has %1 averages")
                                .arg(Kedra::Live::TF_MIN_COHERENCE_SEGMENTS);
        SetStatus(why, true);
        stored_->setText(tr("Not stored"));
        return -1;
    }
    int slot = slot_->value();
    if (slot < 0)
        slot = ctrl_.FirstEmptySlot();
    if (slot < 0) {
        SetStatus(tr("Not stored: every slot is filled; choose one to store into"), true);
        stored_->setText(tr("Not stored"));
        return -1;
    }
    const bool ok = ctrl_.Action_StoreTransferFunction(
        slot, Kedra::Live::TfBins(rows, fftSizes_.front(), sampleRate_), sampleRate_,
        StoreLabel().toStdString());
    if (!ok)
        slot = -1;
    stored_->setText(slot >= 0 ? tr("Stored in slot %1").arg(slot) : tr("Not stored"));
    return slot;
}

} // namespace Kedra::Sonvel::Gui
