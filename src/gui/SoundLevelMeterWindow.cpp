#include "gui/SoundLevelMeterWindow.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <mutex>
#include <vector>

#include <qcustomplot.h>

#include "app/MainCtrl.h"
#include "app/Options.h"
#include "app/SplReference.h"
#include "audio/Devices.h"
#include "audio/StreamInitializer.h"
#include "gui/GuiFrontEnd.h"
#include "gui/MainWindow.h"
#include "gui/PlotStyle.h"
#include "live/SplSession.h"

namespace Kedra::Sonvel::Gui {

using Kedra::Live::SoundLevelMeter;
using Kedra::Live::SoundLevelReadings;
using Kedra::Live::SplRow;
using Kedra::Live::SplSession;
using Kedra::Live::Weighting;
using Kedra::PAudioII::StreamInitializer;

// What the analysis thread feeds and the window polls.
struct SoundLevelMeterWindow::Feed {
    std::mutex mutex;
    std::unique_ptr<SoundLevelMeter> meter;
    // The log's own meter, made when logging starts, so that its rows read as `sonvel spl
    // --csv` over the same stretch would: time and Lxeq from the log's start.
    std::unique_ptr<SplSession> log;
    std::vector<SplRow> rows; // logged, not yet written
    long long samples = 0;    // since the meter was made; Reset leaves it

    void Take(const float* block, int count) {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!meter)
            return;
        meter->Process(block, count);
        if (log)
            log->Process(block, count, rows);
        samples += count;
    }
};

namespace {

constexpr double GREEN_BELOW_DB = 18.0; // below the top of the scale
constexpr double RED_FROM_DB = 6.0;

QString Db(double db) {
    if (db <= SoundLevelMeter::FLOOR_DB)
        return QStringLiteral("\u2212\u221E");
    return QString::number(db, 'f', 1).replace('-', QChar(0x2212));
}

// The top of the bar and the graph: full scale, in the levels' unit, up to the next 10 dB.
double ScaleTop(double offsetDb) {
    return 10.0 * std::ceil(offsetDb / 10.0 - 1e-9);
}

QString Name(Weighting w, const char* suffix) {
    return QStringLiteral("L%1%2").arg(QChar(Kedra::Live::WeightingLetter(w))).arg(suffix);
}

} // namespace

// LxF as a horizontal bar over a dB scale, its maximum as a mark across it.
class SlmBar : public QWidget {
public:
    explicit SlmBar(QWidget* parent) : QWidget(parent) {
        setMinimumSize(300, 34 + fontMetrics().height());
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }
    void SetScale(double top) {
        top_ = top;
        update();
    }
    void SetLevels(double current, double max) {
        if (current == current_ && max == max_)
            return;
        current_ = current;
        max_ = max;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const int pad = fontMetrics().horizontalAdvance(QStringLiteral("\u2212100")) / 2 + 2;
        const QRect track(pad, 3, width() - 2 * pad, 22);
        p.fillRect(track, QColor(0x26, 0x2a, 0x2e));
        const double bottom = top_ - SoundLevelMeterWindow::RANGE_DB;
        auto x = [&](double db) {
            const double t = (std::clamp(db, bottom, top_) - bottom) / (top_ - bottom);
            return track.left() + static_cast<int>(std::lround(t * track.width()));
        };
        if (current_ > bottom) {
            const int right = x(current_);
            auto band = [&](double from, double to, QColor colour) {
                const int a = x(from);
                const int b = std::min(x(to), right);
                if (b > a)
                    p.fillRect(QRect(a, track.top() + 2, b - a, track.height() - 4), colour);
            };
            band(bottom, top_ - GREEN_BELOW_DB, QColor(0x3c, 0xb3, 0x4a));
            band(top_ - GREEN_BELOW_DB, top_ - RED_FROM_DB, QColor(0xe8, 0xc5, 0x2a));
            band(top_ - RED_FROM_DB, top_, QColor(0xe0, 0x3c, 0x31));
        }
        if (max_ > bottom)
            // Across the track and beyond it, so that it never reads as the bar's end.
            p.fillRect(QRect(x(max_) - 1, track.top() - 3, 3, track.height() + 6),
                       palette().color(QPalette::WindowText));
        p.setPen(palette().color(QPalette::WindowText));
        const int textTop = track.bottom() + 6;
        for (double db = bottom; db <= top_ + 1e-9; db += 10.0) {
            const int at = x(db);
            p.drawLine(at, track.bottom() + 1, at, track.bottom() + 5);
            const QString label = QString::number(db, 'f', 0).replace('-', QChar(0x2212));
            p.drawText(QRect(at - pad, textTop, 2 * pad, fontMetrics().height()), Qt::AlignCenter,
                       label);
        }
    }

private:
    double top_ = 0.0;
    double current_ = SoundLevelMeter::FLOOR_DB;
    double max_ = SoundLevelMeter::FLOOR_DB;
};

SoundLevelMeterWindow::SoundLevelMeterWindow(MainCtrl& ctrl, GuiFrontEnd& front, MainWindow& main)
    : LiveWindow(ctrl, front, main, REFRESH_MS, tr("Paused while measuring")),
      feed_(std::make_unique<Feed>()) {
    setWindowTitle(tr("Sonvel - Sound level meter"));
    auto* layout = new QVBoxLayout(this);

    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(tr("Weighting"), this));
    weightingBox_ = new QComboBox(this);
    // In the order of Weighting, so that an index is a weighting.
    weightingBox_->addItems({QStringLiteral("A"), QStringLiteral("C"), QStringLiteral("Z")});
    weightingBox_->setToolTip(tr("Frequency weighting; a new one starts the meter again"));
    connect(weightingBox_, &QComboBox::currentIndexChanged, this,
            [this](int index) { SetWeighting(static_cast<Weighting>(index)); });
    top->addWidget(weightingBox_);
    unit_ = new QLabel(tr("dBFS"), this);
    unit_->setStyleSheet(QStringLiteral("font-weight: bold;"));
    top->addSpacing(12);
    top->addWidget(unit_);
    top->addStretch(1);
    overload_ = new QLabel(tr("OVERLOAD"), this);
    overload_->setAlignment(Qt::AlignCenter);
    overload_->setContentsMargins(8, 2, 8, 2);
    overload_->setToolTip(tr("The input reached full scale; stays lit until Reset"));
    top->addWidget(overload_);
    auto* reset = new QPushButton(tr("Reset"), this);
    reset->setToolTip(tr("Start Leq, SEL, the maxima, LCpeak and the overload light again"));
    connect(reset, &QPushButton::clicked, this, &SoundLevelMeterWindow::Reset);
    top->addWidget(reset);
    layout->addLayout(top);

    auto* big = new QGridLayout;
    QFont bigFont = font();
    bigFont.setPointSizeF(bigFont.pointSizeF() * 3.0);
    bigFont.setBold(true);
    const int bigWidth = QFontMetrics(bigFont).horizontalAdvance(QStringLiteral("\u2212100.0")) + 8;
    auto addBig = [&](int column, QLabel*& name, QLabel*& value) {
        name = new QLabel(this);
        name->setAlignment(Qt::AlignCenter);
        value = new QLabel(Db(SoundLevelMeter::FLOOR_DB), this);
        value->setFont(bigFont);
        value->setAlignment(Qt::AlignCenter);
        value->setMinimumWidth(bigWidth);
        big->addWidget(name, 0, column);
        big->addWidget(value, 1, column);
    };
    addBig(0, fastName_, fast_);
    addBig(1, slowName_, slow_);
    addBig(2, leqName_, leq_);
    layout->addLayout(big);

    bar_ = new SlmBar(this);
    layout->addWidget(bar_);

    auto* more = new QGridLayout;
    more->setHorizontalSpacing(16);
    auto addSmall = [&](int column, QLabel* name, QLabel*& value) {
        name->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        value = new QLabel(Db(SoundLevelMeter::FLOOR_DB), this);
        value->setStyleSheet(QStringLiteral("font-weight: bold;"));
        more->addWidget(name, 0, 2 * column);
        more->addWidget(value, 0, 2 * column + 1);
    };
    fastMaxName_ = new QLabel(this);
    slowMaxName_ = new QLabel(this);
    addSmall(0, fastMaxName_, fastMax_);
    addSmall(1, slowMaxName_, slowMax_);
    addSmall(2, new QLabel(tr("SEL"), this), sel_);
    addSmall(3, new QLabel(tr("LCpeak"), this), peakC_);
    more->setColumnStretch(8, 1);
    layout->addLayout(more);

    graph_ = new QCustomPlot(this);
    graph_->setMinimumHeight(200);
    StyleAxes(*graph_);
    graph_->xAxis->setLabel(tr("Seconds before now"));
    graph_->legend->setVisible(true);
    PutLegendAbove(*graph_);
    graph_->addGraph()->setPen(QPen(QColor(0x1f, 0x77, 0xb4), 1.5));
    graph_->addGraph()->setPen(QPen(QColor(0xd6, 0x27, 0x28), 2.0));
    layout->addWidget(graph_, 1);
    more->addWidget(new QLabel(tr("Graph of the last"), this), 0, 9);
    span_ = new QComboBox(this);
    span_->addItems({tr("1 min"), tr("5 min"), tr("15 min")});
    connect(span_, &QComboBox::currentIndexChanged, this, &SoundLevelMeterWindow::SetGraphSpan);
    more->addWidget(span_, 0, 10);

    auto* logRow = new QHBoxLayout;
    logRow->addWidget(new QLabel(tr("Log a row every"), this));
    interval_ = new QDoubleSpinBox(this);
    interval_->setDecimals(3);
    interval_->setRange(SplSession::MIN_INTERVAL_SECONDS, 3600.0);
    interval_->setValue(1.0);
    interval_->setSuffix(tr(" s"));
    logRow->addWidget(interval_);
    logButton_ = new QPushButton(this);
    connect(logButton_, &QPushButton::clicked, this, [this] {
        if (Logging()) {
            StopLogging();
            return;
        }
        const QString path = QFileDialog::getSaveFileName(
            this, tr("Log the levels to"), QStringLiteral("levels.csv"), tr("CSV files (*.csv)"));
        if (!path.isEmpty())
            StartLogging(path);
    });
    logRow->addWidget(logButton_);
    logStatus_ = new QLabel(this);
    logStatus_->setWordWrap(true);
    logStatus_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    logRow->addWidget(logStatus_, 1);
    layout->addLayout(logRow);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(status_, 1);
    auto* close = new QPushButton(tr("Close"), this);
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    bottom->addWidget(close);
    layout->addLayout(bottom);

    weighting_ = Weighting::Z; // so that the next line names everything
    SetWeighting(Weighting::A);
    ShowOverload(false);
    UpdateLogControls();
    bar_->SetScale(ScaleTop(0.0));
    graph_->yAxis->setRange(ScaleTop(0.0) - RANGE_DB, ScaleTop(0.0));
    graph_->yAxis->setLabel(tr("dBFS"));
    span_->setCurrentIndex(DEFAULT_SPAN);
    SetGraphSpan(DEFAULT_SPAN);
    resize(760, 680);
}

void SoundLevelMeterWindow::SetGraphSpan(int index) {
    if (index < 0 || index >= static_cast<int>(std::size(SPANS_SECONDS)))
        return;
    if (span_->currentIndex() != index)
        span_->setCurrentIndex(index); // comes back here through currentIndexChanged
    graph_->xAxis->setRange(-SPANS_SECONDS[index], 0.0);
    graph_->replot(QCustomPlot::rpQueuedReplot);
}

SoundLevelMeterWindow::~SoundLevelMeterWindow() {
    Release();
}

void SoundLevelMeterWindow::closeEvent(QCloseEvent* event) {
    StopLogging();
    LiveWindow::closeEvent(event);
}

QString SoundLevelMeterWindow::LogStatusText() const {
    return logStatus_->text();
}

QString SoundLevelMeterWindow::FastText() const {
    return fast_->text();
}

QString SoundLevelMeterWindow::SlowText() const {
    return slow_->text();
}

QString SoundLevelMeterWindow::LeqText() const {
    return leq_->text();
}

QString SoundLevelMeterWindow::UnitText() const {
    return unit_->text();
}

void SoundLevelMeterWindow::NewMeter(double samplerate) {
    samplerate_ = samplerate;
    {
        const std::lock_guard<std::mutex> lock(feed_->mutex);
        feed_->meter = std::make_unique<SoundLevelMeter>(weighting_, samplerate);
        feed_->meter->SetOffsetDb(offsetDb_);
        feed_->samples = 0;
    }
    history_.clear();
    lastSeconds_ = -1.0;
    ShowOverload(false);
}

bool SoundLevelMeterWindow::StartListening() {
    if (!ApplyDevices(tr("No devices to listen to. %1")))
        return false;
    StreamInitializer* stream = StreamInitializer::Get();
    const int fs = stream->GetSamplerate();
    if (!Kedra::Live::FrequencyWeighting::SupportsRate(fs)) {
        SetStatus(tr("The input runs at %1 Hz; the weightings are made for %2 to %3 Hz: choose "
                     "another sample rate in the options")
                      .arg(fs)
                      .arg(Kedra::Live::FrequencyWeighting::MIN_RATE)
                      .arg(Kedra::Live::FrequencyWeighting::MAX_RATE),
                  true);
        return false;
    }
    const int channel = Conf::Options::Field.Dev.InputChannel;
    const auto reference = FindSplReference(CurrentInputDevice(), channel);
    const double offset = reference ? reference->Offset() : 0.0;
    const bool changed = !feed_->meter || fs != samplerate_ || offset != offsetDb_;
    if (changed && Logging())
        FailLogging(tr("Logging stopped: the input's sample rate or SPL reference changed"));
    offsetDb_ = offset;
    spl_ = reference.has_value();
    // Resuming after a measurement goes on with the same Leq, as a paused meter does.
    if (changed)
        NewMeter(fs);
    const QString unit = spl_ ? tr("dB SPL") : tr("dBFS");
    unit_->setText(unit);
    unit_->setToolTip(spl_ ? QString::fromStdString(reference->Describe())
                           : tr("No SPL reference for this input: levels re full scale"));
    const double top = ScaleTop(offsetDb_);
    bar_->SetScale(top);
    graph_->yAxis->setRange(top - RANGE_DB, top);
    graph_->yAxis->setLabel(unit);

    Feed* feed = feed_.get();
    const std::string why = live_.Listen(
        stream, channel, [feed](const float* block, int count) { feed->Take(block, count); });
    if (!why.empty()) {
        SetStatus(tr("Cannot meter the input: %1").arg(QString::fromStdString(why)), true);
        return false;
    }
    meteringText_ = tr("Metering %1, input %2, %3 Hz")
                        .arg(QString::fromStdString(
                            Kedra::PAudioII::GetDeviceName(stream->GetInDevice(), true)))
                        .arg(channel + 1)
                        .arg(fs);
    SetStatus(meteringText_, false);
    timer_->start();
    return true;
}

void SoundLevelMeterWindow::StopListening() {
    if (!live_.Running())
        return;
    live_.StopListening();
    Refresh(); // what came in before the stop, and the log's last rows
}

void SoundLevelMeterWindow::SetWeighting(Weighting weighting) {
    if (weighting == weighting_)
        return;
    if (Logging()) {
        // The log's header names the weighting; its rows keep to it.
        const QSignalBlocker block(weightingBox_);
        weightingBox_->setCurrentIndex(static_cast<int>(weighting_));
        logStatus_->setText(tr("Stop logging to change the weighting"));
        return;
    }
    weighting_ = weighting;
    {
        const QSignalBlocker block(weightingBox_);
        weightingBox_->setCurrentIndex(static_cast<int>(weighting));
    }
    fastName_->setText(Name(weighting, "F"));
    slowName_->setText(Name(weighting, "S"));
    leqName_->setText(Name(weighting, "eq"));
    fastMaxName_->setText(Name(weighting, "Fmax"));
    slowMaxName_->setText(Name(weighting, "Smax"));
    graph_->graph(0)->setName(Name(weighting, "F"));
    graph_->graph(1)->setName(Name(weighting, "S"));
    graph_->replot();
    if (samplerate_ > 0.0) {
        NewMeter(samplerate_);
        SetStatus(tr("Weighting %1: the meter started again")
                      .arg(QChar(Kedra::Live::WeightingLetter(weighting))),
                  false);
    }
}

void SoundLevelMeterWindow::Reset() {
    {
        const std::lock_guard<std::mutex> lock(feed_->mutex);
        if (feed_->meter)
            feed_->meter->ResetStatistics();
    }
    ShowOverload(false);
    ShowReadings();
}

void SoundLevelMeterWindow::ShowOverload(bool lit) {
    overloadLit_ = lit;
    overload_->setStyleSheet(
        lit ? QStringLiteral("background: #e0231b; color: white; font-weight: bold; "
                             "border: 1px solid #e0231b;")
            : QStringLiteral("color: #8a8a8a; border: 1px solid #8a8a8a;"));
}

void SoundLevelMeterWindow::Refresh() {
    if (Ended(live_, tr("Metering stopped: %1")))
        return;
    ShowReadings();
}

void SoundLevelMeterWindow::ShowReadings() {
    SoundLevelReadings r;
    double seconds = 0.0;
    std::vector<SplRow> rows;
    {
        const std::lock_guard<std::mutex> lock(feed_->mutex);
        if (!feed_->meter)
            return;
        r = feed_->meter->Readings();
        seconds = static_cast<double>(feed_->samples) / samplerate_;
        rows.swap(feed_->rows);
    }
    fast_->setText(Db(r.fast));
    slow_->setText(Db(r.slow));
    leq_->setText(Db(r.leq));
    fastMax_->setText(Db(r.fastMax));
    slowMax_->setText(Db(r.slowMax));
    sel_->setText(Db(r.sel));
    peakC_->setText(Db(r.peakC));
    bar_->SetLevels(r.fast, r.fastMax);
    // The meter's flag holds a second; the light holds until Reset.
    if (!overloadLit_ && (r.overload || r.overloads > 0))
        ShowOverload(true);
    if (!rows.empty()) {
        for (const SplRow& row : rows) {
            if (!Logging())
                break;
            const std::string line = Kedra::Live::SplCsvLine(row);
            // Flushed row by row, so that a crash loses at most the row being written.
            if (log_.write(line.data(), static_cast<qint64>(line.size())) !=
                    static_cast<qint64>(line.size()) ||
                !log_.flush()) {
                FailLogging(tr("Logging stopped: could not write to %1: %2")
                                .arg(log_.fileName(), log_.errorString()));
                break;
            }
            ++logRows_;
        }
        if (Logging())
            logStatus_->setText(tr("Logging to %1: %n rows", nullptr, static_cast<int>(logRows_))
                                    .arg(log_.fileName()));
    }
    if (seconds == lastSeconds_)
        return;
    ++updates_;
    lastSeconds_ = seconds;
    history_.push_back({seconds, r.fast, r.slow});
    while (!history_.empty() && history_.front().seconds < seconds - HISTORY_SECONDS)
        history_.pop_front();
    QVector<double> keys;
    QVector<double> fast;
    QVector<double> slow;
    keys.reserve(static_cast<qsizetype>(history_.size()));
    fast.reserve(keys.capacity());
    slow.reserve(keys.capacity());
    for (const Point& p : history_) {
        keys.push_back(p.seconds - seconds);
        fast.push_back(p.fast);
        slow.push_back(p.slow);
    }
    graph_->graph(0)->setData(keys, fast, true);
    graph_->graph(1)->setData(keys, slow, true);
    graph_->replot(QCustomPlot::rpQueuedReplot);
}

void SoundLevelMeterWindow::SetLogInterval(double seconds) {
    interval_->setValue(seconds);
}

bool SoundLevelMeterWindow::StartLogging(const QString& path) {
    StopLogging();
    if (samplerate_ <= 0.0) {
        FailLogging(tr("Nothing to log: the meter has not listened yet"));
        return false;
    }
    log_.setFileName(path);
    if (!log_.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        FailLogging(tr("Cannot log to %1: %2").arg(path, log_.errorString()));
        return false;
    }
    const std::string header = Kedra::Live::SplCsvHeader(weighting_);
    if (log_.write(header.data(), static_cast<qint64>(header.size())) !=
            static_cast<qint64>(header.size()) ||
        !log_.flush()) {
        FailLogging(tr("Cannot log to %1: %2").arg(path, log_.errorString()));
        return false;
    }
    {
        const std::lock_guard<std::mutex> lock(feed_->mutex);
        feed_->log = std::make_unique<SplSession>(weighting_, samplerate_, interval_->value());
        feed_->log->Meter().SetOffsetDb(offsetDb_);
        feed_->rows.clear();
    }
    logRows_ = 0;
    logStatus_->setStyleSheet(QString());
    logStatus_->setText(tr("Logging to %1").arg(path));
    UpdateLogControls();
    return true;
}

void SoundLevelMeterWindow::StopLogging() {
    if (!Logging())
        return;
    ShowReadings(); // the rows that came since the last refresh
    if (!Logging())
        return; // writing them failed, and the window says so
    {
        const std::lock_guard<std::mutex> lock(feed_->mutex);
        feed_->log.reset();
        feed_->rows.clear();
    }
    const QString path = log_.fileName();
    log_.close();
    logStatus_->setText(tr("Logged %n rows to %1", nullptr, static_cast<int>(logRows_)).arg(path));
    UpdateLogControls();
}

void SoundLevelMeterWindow::FailLogging(const QString& why) {
    {
        const std::lock_guard<std::mutex> lock(feed_->mutex);
        feed_->log.reset();
        feed_->rows.clear();
    }
    if (log_.isOpen())
        log_.close();
    logStatus_->setStyleSheet(QStringLiteral("color: #c0392b; font-weight: bold;"));
    logStatus_->setText(why);
    UpdateLogControls();
}

void SoundLevelMeterWindow::UpdateLogControls() {
    const bool logging = Logging();
    logButton_->setText(logging ? tr("Stop logging") : tr("Start logging..."));
    interval_->setEnabled(!logging);
    weightingBox_->setEnabled(!logging);
    weightingBox_->setToolTip(logging
                                  ? tr("The log keeps its weighting: stop logging to change it")
                                  : tr("Frequency weighting; a new one starts the meter again"));
}

} // namespace Kedra::Sonvel::Gui
