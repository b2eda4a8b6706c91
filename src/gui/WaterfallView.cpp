#include "gui/WaterfallView.h"

#include <QMouseEvent>

#include <algorithm>
#include <cmath>
#include <limits>

#include "analyze/MeasurementViews.h"
#include "gui/FrequencyTicker.h"
#include "gui/PlotStyle.h"
#include "measure/Measurement.h"

namespace Kedra::Sonvel::Gui {

namespace {

// Pseudo-3D: the whole stack climbs by this share of the level range and moves right by this
// share of the frequency axis' decades, from the front slice to the back one.
constexpr double STACK_RISE = 0.5;
constexpr double STACK_SHIFT = 0.05;
// The colour map's columns: enough for a sharp picture at any window width, and bounded so
// that a redraw stays cheap.
constexpr int MAX_MAP_COLUMNS = 800;

// The graph's top level: the highest level drawn, up to the next 5 dB, so that the level
// axis' ticks fall on round numbers.
constexpr double TOP_STEP_DB = 5.0;

// A tick label of the level axis, whose coordinates start at the floor. Above the top only
// the slices behind the front one rise, and a level there would name nothing.
class OffsetTicker : public QCPAxisTicker {
public:
    double offset = 0.0; // the level at coordinate 0
    double top = 0.0;    // the coordinate of the top level

protected:
    // Ticks where the levels are round, not the coordinates.
    QVector<double> createTickVector(double tickStep, const QCPRange& range) override {
        QVector<double> ticks = QCPAxisTicker::createTickVector(
            tickStep, QCPRange(range.lower + offset, range.upper + offset));
        for (double& t : ticks)
            t -= offset;
        return ticks;
    }
    QString getTickLabel(double tick, const QLocale& locale, QChar formatChar,
                         int precision) override {
        if (tick > top + 1e-9)
            return QString();
        return QCPAxisTicker::getTickLabel(tick + offset, locale, formatChar, precision);
    }
};

} // namespace

struct WaterfallView::Parts {
    std::vector<QCPGraph*> slices; // by slice, null where nothing was drawn
    QCPColorMap* map = nullptr;
    QCPColorScale* scale = nullptr;
    QCPMarginGroup* margins = nullptr;
    QCPItemText* message = nullptr;
    QCPTextElement* title = nullptr;
    QCPItemText* readout = nullptr;
    QCPItemStraightLine* tracer = nullptr;
    QSharedPointer<OffsetTicker> levelTicker;
    QSharedPointer<QCPAxisTicker> timeTicker;
    double lift = 0.0;  // dB per slice towards the back
    double ratio = 1.0; // frequency factor per slice towards the back
    double topDb = 0.0; // the level drawn at the top of the front slice's range
    int columns = 0;
};

WaterfallView::WaterfallView(QWidget* parent)
    : QCustomPlot(parent), parts_(std::make_unique<Parts>()) {
    Parts& p = *parts_;
    setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    axisRect()->setRangeDragAxes(xAxis, yAxis);
    axisRect()->setRangeZoomAxes(xAxis, yAxis);
    axisRect()->setRangeZoomFactor(0.85);
    setNoAntialiasingOnDrag(true);
    setPlottingHint(QCP::phFastPolylines, true);
    layer(QStringLiteral("overlay"))->setMode(QCPLayer::lmBuffered);
    StyleAxes(*this);
    QFont titleFont = LabelFont(*this);
    titleFont.setBold(true);
    p.title = new QCPTextElement(this, QString(), titleFont);
    PutLegendAbove(*this, p.title);

    xAxis->setScaleType(QCPAxis::stLogarithmic);
    xAxis->setTicker(QSharedPointer<FrequencyTicker>::create());
    xAxis->setLabel(QStringLiteral("Frequency [Hz]"));
    // The colour map's cells are even steps of log10(f) on this hidden axis, kept in step
    // with the visible one: QCPColorMap itself knows no logarithmic axis.
    xAxis2->setRange(std::log10(settings_.freqMin), std::log10(settings_.freqMax));
    connect(xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this,
            [this](const QCPRange& r) {
                xAxis2->setRange(std::log10(std::max(r.lower, 1e-3)),
                                 std::log10(std::max(r.upper, 1e-2)));
            });
    p.levelTicker = QSharedPointer<OffsetTicker>::create();
    p.levelTicker->setTickCount(8);
    p.timeTicker = QSharedPointer<QCPAxisTicker>::create();
    p.timeTicker->setTickCount(8);

    p.map = new QCPColorMap(xAxis2, yAxis);
    p.map->setInterpolate(false);
    p.map->setTightBoundary(false);
    p.map->removeFromLegend();
    p.scale = new QCPColorScale(this);
    p.scale->setType(QCPAxis::atRight);
    p.scale->axis()->setLabel(QStringLiteral("Level [dB]"));
    p.scale->axis()->setTickLabelFont(TickFont(*this));
    p.scale->axis()->setLabelFont(LabelFont(*this));
    p.scale->setBarWidth(14);
    // The map takes the scale's gradient.
    p.map->setColorScale(p.scale);
    p.scale->setGradient(QCPColorGradient(QCPColorGradient::gpJet));
    p.margins = new QCPMarginGroup(this);
    axisRect()->setMarginGroup(QCP::msBottom | QCP::msTop, p.margins);
    p.scale->setMarginGroup(QCP::msBottom | QCP::msTop, p.margins);

    p.message = AddMessageText(*this);
    p.tracer = AddTracer(*this);
    p.readout = AddReadoutBox(*this);
    Redraw();
}

WaterfallView::~WaterfallView() = default;

void WaterfallView::SetSource(const CurveSource& source) {
    source_ = source;
    data_ = {};
    if (source.record != nullptr && source.record->IsInitialized())
        data_ = Kedra::Measure::WaterfallOf(*source.record, settings_.slices);
    // The slices are on the response's scale: in dB SPL when the record is.
    spl_ = source.spl || (source.record != nullptr && source.record->HasSpl());
    const double offset = source.spl ? source.splOffsetDb
                          : spl_     ? source.record->GetSplOffset()
                                     : 0.0;
    for (std::vector<double>& level : data_.levels)
        for (double& v : level)
            v += offset;
    parts_->scale->axis()->setLabel(spl_ ? QStringLiteral("Level [dB SPL]")
                                         : QStringLiteral("Level [dB]"));
    Redraw();
}

void WaterfallView::SetSettings(const WaterfallViewSettings& settings) {
    const auto& a = settings.slices;
    const auto& b = settings_.slices;
    const bool slicesChanged = a.firstMs != b.firstMs || a.lastMs != b.lastMs ||
                               a.stepMs != b.stepMs || a.endMs != b.endMs || a.riseMs != b.riseMs ||
                               a.smoothingNOct != b.smoothingNOct;
    settings_ = settings;
    if (slicesChanged)
        SetSource(source_);
    else
        Redraw();
}

QCPGraph* WaterfallView::SliceGraph(int slice) const {
    const auto& s = parts_->slices;
    return slice >= 0 && slice < static_cast<int>(s.size()) ? s[static_cast<std::size_t>(slice)]
                                                            : nullptr;
}

QCPColorMap* WaterfallView::ColourMap() const {
    return settings_.style == WaterfallStyle::ColourMap ? parts_->map : nullptr;
}

int WaterfallView::MapColumns() const {
    return parts_->columns;
}

double WaterfallView::TopDb() const {
    return parts_->topDb;
}

void WaterfallView::FindTop() {
    double top = -1e300;
    const double hz = data_.hzPerBin;
    for (const std::vector<double>& level : data_.levels) {
        const int bins = static_cast<int>(level.size());
        const int first =
            std::clamp(static_cast<int>(std::ceil(settings_.freqMin / hz)), 1, bins - 1);
        const int last =
            std::clamp(static_cast<int>(std::floor(settings_.freqMax / hz)), first, bins - 1);
        top = std::max(top, *std::max_element(level.begin() + first, level.begin() + last + 1));
    }
    // A silent record has no level to speak of; its floor then lies at the floor setting.
    parts_->topDb = top > -300.0 ? TOP_STEP_DB * std::ceil(top / TOP_STEP_DB - 1e-9) : 0.0;
}

void WaterfallView::Redraw() {
    Parts& p = *parts_;
    for (QCPGraph* g : p.slices)
        if (g != nullptr)
            removeGraph(g);
    p.slices.clear();
    p.columns = 0;
    p.map->data()->clear();
    const bool map = settings_.style == WaterfallStyle::ColourMap;
    const bool any = !data_.levels.empty();
    p.map->setVisible(map && any);
    p.scale->setVisible(map);
    if (map && p.scale->layout() == nullptr)
        plotLayout()->addElement(1, 1, p.scale);
    else if (!map && p.scale->layout() != nullptr)
        plotLayout()->take(p.scale);
    plotLayout()->simplify();
    p.title->setText(source_.record != nullptr && source_.record->IsInitialized() ? source_.label
                                                                                  : QString());
    p.message->setText(source_.record == nullptr || !source_.record->IsInitialized()
                           ? QStringLiteral("No measurement")
                       : Kedra::Measure::WaterfallSliceCount(settings_.slices) >
                               Kedra::Measure::WATERFALL_MAX_SLICES
                           ? QStringLiteral("No decay slices: at most %1 slices from the first "
                                            "to the last start")
                                 .arg(Kedra::Measure::WATERFALL_MAX_SLICES)
                           : QStringLiteral("No decay slices: the last slice or the end lies "
                                            "outside the measurement"));
    p.message->setVisible(!any);
    if (any) {
        FindTop();
        if (map)
            DrawMap();
        else
            DrawLines();
    }
    legend->setVisible(legend->itemCount() > 0);
    FitAll();
}

void WaterfallView::DrawLines() {
    Parts& p = *parts_;
    const int count = static_cast<int>(data_.levels.size());
    const double range = -settings_.floorDb;
    p.lift = count > 1 ? STACK_RISE * range / (count - 1) : 0.0;
    const double decades = std::log10(settings_.freqMax / settings_.freqMin);
    p.ratio = count > 1 ? std::pow(10.0, STACK_SHIFT * decades / (count - 1)) : 1.0;
    p.levelTicker->offset = p.topDb + settings_.floorDb;
    p.levelTicker->top = -settings_.floorDb;
    yAxis->setTicker(p.levelTicker);
    yAxis->setLabel(spl_ ? QStringLiteral("Level [dB SPL], front slice")
                         : QStringLiteral("Level [dB], front slice"));

    const double hz = data_.hzPerBin;
    const int bins = static_cast<int>(data_.levels.front().size());
    const int first = std::clamp(static_cast<int>(std::floor(settings_.freqMin / hz)), 1, bins - 1);
    const int last =
        std::clamp(static_cast<int>(std::ceil(settings_.freqMax / hz)), first, bins - 1);
    const double bottom = p.topDb + settings_.floorDb;
    QCPColorGradient gradient(QCPColorGradient::gpJet);
    QVector<QCPGraphData> points(last - first + 1);
    p.slices.assign(static_cast<std::size_t>(count), nullptr);
    // Back to front: each slice's white fill covers the parts of the earlier ones behind it.
    for (int i = 0; i < count; ++i) {
        const int depth = count - 1 - i;
        const double shift = std::pow(p.ratio, depth);
        const double up = depth * p.lift - settings_.floorDb - p.topDb;
        const std::vector<double>& level = data_.levels[static_cast<std::size_t>(i)];
        for (int k = first; k <= last; ++k)
            points[k - first] = QCPGraphData(
                k * hz * shift, std::max(level[static_cast<std::size_t>(k)], bottom) + up);
        QCPGraph* g = addGraph(xAxis, yAxis);
        g->data()->set(points, true);
        const double where = count > 1 ? static_cast<double>(i) / (count - 1) : 0.0;
        g->setPen(QPen(QColor(gradient.color(where, QCPRange(0.0, 1.0))).darker(115), 1.2));
        g->setBrush(QColor(255, 255, 255));
        g->setAntialiasedFill(false);
        g->setName(
            QStringLiteral("%1 ms").arg(data_.timesMs[static_cast<std::size_t>(i)], 0, 'f', 2));
        // The legend names the first and the last slice; the colours between run in order.
        if (i != 0 && i != count - 1)
            g->removeFromLegend();
        p.slices[static_cast<std::size_t>(i)] = g;
    }
}

void WaterfallView::DrawMap() {
    Parts& p = *parts_;
    const int count = static_cast<int>(data_.levels.size());
    const double hz = data_.hzPerBin;
    const int bins = static_cast<int>(data_.levels.front().size());
    const double lo = std::log10(settings_.freqMin);
    const double hi = std::log10(std::min(settings_.freqMax, hz * (bins - 1)));
    const int binsInRange = static_cast<int>((std::pow(10.0, hi) - std::pow(10.0, lo)) / hz) + 1;
    const int columns = std::clamp(binsInRange, 2, MAX_MAP_COLUMNS);
    p.columns = columns;
    const double cell = (hi - lo) / columns;
    yAxis->setTicker(p.timeTicker);
    yAxis->setLabel(QStringLiteral("Time [ms]"));

    auto* d = p.map->data();
    d->setSize(columns, count);
    d->setRange(QCPRange(lo + 0.5 * cell, hi - 0.5 * cell),
                QCPRange(data_.timesMs.front(), data_.timesMs.back()));
    for (int c = 0; c < columns; ++c) {
        // Every bin inside the cell counts with its peak; a cell narrower than a bin takes
        // the nearest bin.
        const double f0 = std::pow(10.0, lo + c * cell) / hz;
        const double f1 = std::pow(10.0, lo + (c + 1) * cell) / hz;
        int from = static_cast<int>(std::ceil(f0));
        int to = static_cast<int>(std::floor(f1));
        if (to < from)
            from = to = static_cast<int>(std::lround(0.5 * (f0 + f1)));
        from = std::clamp(from, 0, bins - 1);
        to = std::clamp(to, from, bins - 1);
        for (int s = 0; s < count; ++s) {
            const std::vector<double>& level = data_.levels[static_cast<std::size_t>(s)];
            const double peak = *std::max_element(level.begin() + from, level.begin() + to + 1);
            d->setCell(c, s, std::max(peak, p.topDb + settings_.floorDb));
        }
    }
    p.map->setDataRange(QCPRange(p.topDb + settings_.floorDb, p.topDb));
}

void WaterfallView::FitAll() {
    Parts& p = *parts_;
    const int count = static_cast<int>(data_.levels.size());
    if (settings_.style == WaterfallStyle::ColourMap) {
        const double nyquist =
            count > 0 ? data_.hzPerBin * static_cast<double>(data_.levels.front().size() - 1)
                      : settings_.freqMax;
        xAxis->setRange(settings_.freqMin, std::min(settings_.freqMax, nyquist));
        if (count > 0) {
            const double half = count > 1 ? 0.5 * (data_.timesMs[1] - data_.timesMs[0]) : 0.05;
            yAxis->setRange(data_.timesMs.front() - half, data_.timesMs.back() + half);
        }
    } else if (count > 0) {
        // Every drawn point of the stack, whatever the record's level.
        double left = std::numeric_limits<double>::infinity();
        double right = -left;
        double top = -settings_.floorDb;
        for (const QCPGraph* g : p.slices) {
            if (g == nullptr)
                continue;
            for (const QCPGraphData& d : *g->data()) {
                left = std::min(left, d.key);
                right = std::max(right, d.key);
                top = std::max(top, d.value);
            }
        }
        if (right > left)
            xAxis->setRange(left, right);
        yAxis->setRange(0.0, top + 5.0);
    }
    replot(rpQueuedReplot);
}

double WaterfallView::LevelAt(int slice, double hz) const {
    const std::vector<double>& level = data_.levels[static_cast<std::size_t>(slice)];
    const auto k = static_cast<std::size_t>(
        std::clamp(std::lround(hz / data_.hzPerBin), 0L, static_cast<long>(level.size()) - 1));
    return level[k];
}

void WaterfallView::mouseMoveEvent(QMouseEvent* event) {
    QCustomPlot::mouseMoveEvent(event);
    Parts& p = *parts_;
    const QPointF pos = event->position();
    if (data_.levels.empty() || !axisRect()->rect().contains(pos.toPoint())) {
        leaveEvent(nullptr);
        return;
    }
    const double hz = xAxis->pixelToCoord(pos.x());
    const QString f = hz >= 1000.0 ? QString::number(hz / 1000.0, 'f', 3) + QStringLiteral(" kHz")
                                   : QString::number(hz, 'f', 1) + QStringLiteral(" Hz");
    auto item = [&](int slice) {
        return QStringLiteral("%1 ms: %2 %3")
            .arg(data_.timesMs[static_cast<std::size_t>(slice)], 0, 'f', 2)
            .arg(LevelAt(slice, hz), 0, 'f', 1)
            .arg(spl_ ? QStringLiteral("dB SPL") : QStringLiteral("dB"));
    };
    const int count = static_cast<int>(data_.levels.size());
    QStringList lines{f};
    if (settings_.style == WaterfallStyle::ColourMap) {
        const double t = yAxis->pixelToCoord(pos.y());
        const double step = count > 1 ? data_.timesMs[1] - data_.timesMs[0] : 1.0;
        lines << item(
            std::clamp(static_cast<int>(std::lround((t - data_.timesMs[0]) / step)), 0, count - 1));
    } else {
        // The front slice lies on the frequency axis; the first slice is read at the same
        // frequency, not where its shifted line passes.
        lines << item(0);
        if (count > 1)
            lines << item(count - 1);
    }
    p.tracer->point1->setCoords(hz, 0.0);
    p.tracer->point2->setCoords(hz, 1.0);
    p.tracer->setVisible(true);
    p.readout->setText(lines.join(QLatin1Char('\n')));
    p.readout->setVisible(true);
    layer(QStringLiteral("overlay"))->replot();
    emit cursorText(lines.join(QStringLiteral("  ")));
}

void WaterfallView::mouseDoubleClickEvent(QMouseEvent* event) {
    QCustomPlot::mouseDoubleClickEvent(event);
    FitAll();
}

void WaterfallView::leaveEvent(QEvent* event) {
    Parts& p = *parts_;
    if (p.readout->visible()) {
        p.tracer->setVisible(false);
        p.readout->setVisible(false);
        layer(QStringLiteral("overlay"))->replot();
        emit cursorText(QString());
    }
    if (event != nullptr)
        QCustomPlot::leaveEvent(event);
}

bool WaterfallView::SaveImage(const QString& path, int width, int height, QString* error) {
    return SavePlotImage(*this, path, width, height, error);
}

} // namespace Kedra::Sonvel::Gui
