#include "gui/GraphView.h"

#include <QMouseEvent>
#include <QWheelEvent>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>

#include "analyze/MeasurementViews.h"
#include "app/Options.h"
#include "gui/CurveReduction.h"
#include "gui/FrequencyTicker.h"
#include "gui/PlotStyle.h"
#include "measure/HarmonicDistortion.h"
#include "measure/ImpulseWindow.h"
#include "measure/Measurement.h"

namespace Kedra::Sonvel::Gui {

using Kedra::Measure::Measurement;

namespace {

// How stored values become plotted ones. Levels are kept linear and phases as pseudo-angles,
// and both are converted only after the reduction (each conversion is monotonic, so a
// column's extremes stay its extremes): a few thousand logarithms and arctangents per
// redraw instead of one per bin.
enum class Shown { Plain, Db, Degrees };

// Far below anything a sound card measures; keeps log10(0) off the plot, and at -300 dB a
// fitted level range stays one the plot options can hold.
constexpr double TINY_AMPLITUDE = 1e-15;
constexpr double DEGREES_PER_RADIAN = 180.0 / std::numbers::pi;
// A window edge is grabbed within this many pixels.
constexpr double EDGE_GRAB_PIXELS = 6.0;
const char* const NO_DISTORTION_TEXT = "No distortion data for this measurement";

double ToDb(double amplitude) {
    return 20.0 * std::log10(std::max(amplitude, TINY_AMPLITUDE));
}

// A number in [-2, 2] that grows with the angle of x + jy over (-pi, pi], without an
// arctangent: y / (|x| + |y|) walked around the diamond |x| + |y| = 1.
double PseudoAngle(std::complex<double> z) {
    const double x = z.real(), y = std::fabs(z.imag());
    const double sum = std::fabs(x) + y;
    if (sum == 0.0)
        return 0.0;
    const double upper = x >= 0.0 ? y / sum : 2.0 - y / sum;
    return z.imag() < 0.0 ? -upper : upper;
}

// The angle back, in degrees: the point of the diamond the pseudo-angle names.
double PseudoAngleToDegrees(double d) {
    const double a = std::fabs(d);
    const double x = 1.0 - a;
    const double y = a <= 1.0 ? a : 2.0 - a;
    return std::atan2(d < 0.0 ? -y : y, x) * DEGREES_PER_RADIAN;
}

// A curve whose reduced line travels further than this many pixels per column, on average,
// fills a band (noise, a room's phase); antialiasing and a wide pen would cost it tens of
// milliseconds and show nothing.
constexpr double BAND_TRAVEL_PER_COLUMN = 24.0;

bool TimeAxis(GraphKind kind) {
    return kind == GraphKind::Impulse || kind == GraphKind::EnergyTime;
}

// An impulse whose peak rises less than this above the dB view's floor is drawn with the
// floor that far below its peak.
constexpr double QUIET_IMPULSE_DB = 20.0;
// A fitted frequency axis starts no lower than this: the plot options hold no lower one.
constexpr double LOWEST_FIT_HZ = 1.0;

QString FrequencyReadout(double hz) {
    if (hz >= 1000.0)
        return QString::number(hz / 1000.0, 'f', 3) + QStringLiteral(" kHz");
    return QString::number(hz, 'f', 1) + QStringLiteral(" Hz");
}

// One plotted curve at full resolution; the graph holds only its reduction.
struct Series {
    int presenter = 0;
    int slot = -1;
    int which = 0;
    bool inLegend = false;
    QString name;
    double origin = 0.0; // key of values[0]: Hz or ms
    double step = 1.0;
    std::vector<double> values;
    Shown shown = Shown::Plain;
    // Added to a level in dB: a record's SPL offset, so that it reads dB SPL.
    double offsetDb = 0.0;
    bool spl = false;
    double floor = -std::numeric_limits<double>::infinity();
    QCPGraph* graph = nullptr;

    double travel = 0.0; // vertical way of the reduced line, in plotted units
    double width = 1.0;  // of the pen, unless the curve fills a band

    double Display(double v) const {
        switch (shown) {
        case Shown::Db:
            return std::max(ToDb(v) + offsetDb, floor);
        case Shown::Degrees:
            return PseudoAngleToDegrees(v);
        case Shown::Plain:
            break;
        }
        return v;
    }
    // A slot's curve whichever presenter shows it; without a slot, its presenter's.
    bool Of(const CurveSource& c) const {
        return slot == c.slot && (slot >= 0 || presenter == c.presenter);
    }
    bool SameCurve(const Series& o) const {
        return slot == o.slot && (slot >= 0 || presenter == o.presenter);
    }
    double DisplayAt(double key) const {
        const double x = std::round((key - origin) / step);
        const double last = static_cast<double>(values.size()) - 1.0;
        return Display(values[static_cast<std::size_t>(std::clamp(x, 0.0, last))]);
    }
};

// Where the fundamental lies more than `hideBelowDb` under its peak, on a grid of `step` Hz:
// distortion there is noise.
std::vector<bool> WeakFundamental(Measurement& m, double hideBelowDb, double step,
                                  std::size_t count) {
    std::vector<bool> weak(count, false);
    const double* a = m.GetA();
    if (a == nullptr || hideBelowDb >= 0.0)
        return weak;
    const int bins = m.GetNBins();
    const double limit = *std::max_element(a, a + bins) * std::pow(10.0, hideBelowDb / 20.0);
    for (std::size_t i = 0; i < count; ++i) {
        const double bin = std::round(static_cast<double>(i) * step * m.GetBinsPerHz());
        weak[i] = bin >= bins || a[static_cast<std::size_t>(bin)] < limit;
    }
    return weak;
}

// Whether a curve reads dB SPL, and the offset that makes it: given by the caller, else the
// record's own.
bool SplOf(const CurveSource& source, double& offsetDb) {
    if (source.spl) {
        offsetDb = source.splOffsetDb;
        return true;
    }
    if (source.record != nullptr && source.record->HasSpl()) {
        offsetDb = source.record->GetSplOffset();
        return true;
    }
    offsetDb = 0.0;
    return false;
}

} // namespace

struct GraphView::Parts {
    std::vector<CurveSource> sources;
    std::vector<Series> series;
    // Graphs of a presenter being rebuilt, reused so that legend order and styles stay.
    std::vector<Series> recycled;

    // Impulse graph: the focused presenter's window, on the record's time scale.
    QCPGraph* windowShape = nullptr;
    std::array<QCPItemStraightLine*, 2> edges{};
    std::array<QCPItemText*, 2> edgeLabels{};
    // Where the focused sweep's 2nd .. 5th harmonic impulses lie, before time zero.
    std::array<QCPItemStraightLine*, 4> harmonicLines{};
    std::array<QCPItemText*, 4> harmonicLabels{};
    Kedra::Measure::ImpulseWindow window;
    bool windowShown = false;
    double msPerSample = 1.0;
    double fraction = 0.0; // time zero lies this far after sample 0
    int dragging = -1;     // the edge under the mouse: 0 start, 1 end

    QCPItemRect* invalidBand = nullptr; // response: below the window's validity
    QCPItemText* bandLabel = nullptr;
    QCPItemText* message = nullptr;
    // Says that some curves read dB SPL and others dB re full scale.
    QCPItemText* splNote = nullptr;
    // What the level axis last read: 0 dB, 1 dB SPL, 2 both.
    int levelUnits = 0;
    QCPTextElement* title = nullptr;
    QCPItemStraightLine* tracer = nullptr;
    QCPItemText* readout = nullptr;

    bool stale = true;
    int columns = 0;
    bool fitted = false;
    QCPRange pressX, pressY, pressY2;
    std::vector<ReducedPoint> reduced;
    QVector<QCPGraphData> points;

    double EdgeTime(int edge) {
        const int s = edge == 0 ? window.GetStart() : window.GetEnd();
        return (s - fraction) * msPerSample;
    }
};

GraphSettings WithPlotOptions(GraphSettings s, bool ranges) {
    const Conf::PlotOptions& plot = Conf::Options::Field.Plot;
    if (ranges) {
        s.freqMin = plot.PlotFreqMin;
        s.freqMax = plot.PlotFreqMax;
        s.dbMin = plot.PlotDbMin;
        s.dbMax = plot.PlotDbMax;
        s.impulseDbMin = plot.PlotImpulseDBMin;
        s.showMagnitude = plot.PlotAmplitude;
        s.showPhase = plot.PlotPhase;
        s.hidePhaseBelowDb = plot.HidePhaseWhenBelowDB;
        const auto mode = static_cast<Conf::ImpulseGraphMode>(plot.ImpulseGraphMode);
        s.impulseDb = mode == Conf::ImpulseGraphMode::Db;
        s.impulseStep = mode == Conf::ImpulseGraphMode::Step;
    }
    s.impulseHeld = !plot.ImpulseInterpolate;
    s.freqLog = plot.FreqLogAxis;
    s.levelDb = plot.AmpDBAxis;
    s.showHarmonics = plot.PlotHD;
    s.hideHarmonicsBelowDb = plot.HideHDWhenBelowDB;
    s.showGating = plot.FreqShowGating;
    s.showHarmonicImpulses = plot.ImpulseShowHD;
    s.lineWidth = std::clamp(plot.LineWidth, 1, 10);
    s.xTicks = std::max(plot.GraphicsNumberOfXTics, 2);
    s.yTicks = std::max(plot.GraphicsNumberOfYTics, 2);
    s.foreground = QColor(plot.ColorFg.R, plot.ColorFg.G, plot.ColorFg.B);
    s.background = QColor(plot.ColorBg.R, plot.ColorBg.G, plot.ColorBg.B);
    return s;
}

GraphView::GraphView(GraphKind kind, QWidget* parent)
    : QCustomPlot(parent), kind_(kind), parts_(std::make_unique<Parts>()) {
    Parts& p = *parts_;
    setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    axisRect()->setRangeDragAxes(xAxis, yAxis);
    axisRect()->setRangeZoomAxes(xAxis, yAxis);
    axisRect()->setRangeZoomFactor(0.85);
    setNoAntialiasingOnDrag(true);
    // Qt strokes a wide polyline as one path, which for a reduced curve (a vertical run per
    // pixel column) takes a second; segment by segment it takes milliseconds.
    setPlottingHint(QCP::phFastPolylines, true);
    setSelectionRectMode(QCP::srmNone);
    layer(QStringLiteral("overlay"))->setMode(QCPLayer::lmBuffered);

    const QFont tickFont = TickFont(*this);
    const QFont labelFont = LabelFont(*this);
    StyleAxes(*this);
    QCPTextElement* title = nullptr;
    if (kind_ == GraphKind::Distortion) {
        QFont titleFont = labelFont;
        titleFont.setBold(true);
        title = new QCPTextElement(this, QString(), titleFont);
        p.title = title;
    }
    PutLegendAbove(*this, title);

    const bool frequencyAxis = !TimeAxis(kind_);
    if (frequencyAxis) {
        xAxis->setScaleType(QCPAxis::stLogarithmic);
        xAxis->setTicker(QSharedPointer<FrequencyTicker>::create());
        xAxis->setLabel(QStringLiteral("Frequency [Hz]"));
    } else {
        xAxis->setLabel(QStringLiteral("Time [ms]"));
    }
    auto fixed = QSharedPointer<QCPAxisTickerFixed>::create();
    fixed->setScaleStrategy(QCPAxisTickerFixed::ssMultiples);
    if (kind_ == GraphKind::Response) {
        yAxis->setLabel(QStringLiteral("Level [dB]"));
        yAxis2->setLabel(QStringLiteral("Phase [deg]"));
        fixed->setTickStep(45.0);
        yAxis2->setTicker(fixed);
        yAxis2->setRange(-180.0, 180.0);
        auto* band = new QCPItemRect(this);
        band->setLayer(QStringLiteral("grid"));
        band->setPen(Qt::NoPen);
        band->setBrush(QColor(120, 120, 120, 45));
        band->topLeft->setType(QCPItemPosition::ptAxisRectRatio);
        band->topLeft->setCoords(-0.01, -0.01);
        band->bottomRight->setTypeX(QCPItemPosition::ptPlotCoords);
        band->bottomRight->setTypeY(QCPItemPosition::ptAxisRectRatio);
        band->setVisible(false);
        p.invalidBand = band;
        p.bandLabel = new QCPItemText(this);
        p.bandLabel->setLayer(QStringLiteral("grid"));
        p.bandLabel->position->setTypeX(QCPItemPosition::ptPlotCoords);
        p.bandLabel->position->setTypeY(QCPItemPosition::ptAxisRectRatio);
        p.bandLabel->setPositionAlignment(Qt::AlignRight | Qt::AlignBottom);
        p.bandLabel->setPadding(QMargins(4, 2, 4, 4));
        p.bandLabel->setFont(tickFont);
        p.bandLabel->setColor(QColor(90, 90, 90));
        p.bandLabel->setVisible(false);
    } else if (kind_ == GraphKind::Impulse) {
        yAxis2->setLabel(QStringLiteral("Window gain"));
        fixed->setTickStep(0.25);
        yAxis2->setTicker(fixed);
        yAxis2->setRange(0.0, 1.1);
        p.windowShape = addGraph(xAxis, yAxis2);
        p.windowShape->removeFromLegend();
        for (int e = 0; e < 2; ++e) {
            auto* line = new QCPItemStraightLine(this);
            line->point1->setAxes(xAxis, yAxis2);
            line->point2->setAxes(xAxis, yAxis2);
            line->setVisible(false);
            p.edges[static_cast<std::size_t>(e)] = line;
            auto* label = new QCPItemText(this);
            label->position->setTypeX(QCPItemPosition::ptPlotCoords);
            label->position->setTypeY(QCPItemPosition::ptAxisRectRatio);
            label->setPositionAlignment(Qt::AlignTop | (e == 0 ? Qt::AlignRight : Qt::AlignLeft));
            label->setPadding(QMargins(4, 2, 4, 2));
            label->setFont(tickFont);
            label->setVisible(false);
            p.edgeLabels[static_cast<std::size_t>(e)] = label;
        }
        for (std::size_t h = 0; h < p.harmonicLines.size(); ++h) {
            auto* line = new QCPItemStraightLine(this);
            line->setPen(QPen(QColor(120, 120, 120), 1.0, Qt::DotLine));
            line->setVisible(false);
            p.harmonicLines[h] = line;
            auto* label = new QCPItemText(this);
            label->position->setTypeX(QCPItemPosition::ptPlotCoords);
            label->position->setTypeY(QCPItemPosition::ptAxisRectRatio);
            label->setPositionAlignment(Qt::AlignBottom | Qt::AlignHCenter);
            label->setPadding(QMargins(2, 2, 2, 4));
            label->setFont(tickFont);
            label->setColor(QColor(90, 90, 90));
            label->setText(QStringLiteral("H%1").arg(h + 2));
            label->setVisible(false);
            p.harmonicLabels[h] = label;
        }
    } else if (kind_ == GraphKind::Distortion) {
        yAxis->setLabel(QStringLiteral("Level re fundamental [dB]"));
    } else if (kind_ == GraphKind::EnergyTime) {
        yAxis->setLabel(QStringLiteral("Energy re peak [dB]"));
    }

    p.message = AddMessageText(*this);
    p.splNote = new QCPItemText(this);
    p.splNote->position->setType(QCPItemPosition::ptAxisRectRatio);
    p.splNote->position->setCoords(0.01, 0.99);
    p.splNote->setPositionAlignment(Qt::AlignLeft | Qt::AlignBottom);
    p.splNote->setPadding(QMargins(4, 2, 4, 2));
    p.splNote->setFont(tickFont);
    p.splNote->setColor(QColor(150, 40, 40));
    p.splNote->setVisible(false);
    p.tracer = AddTracer(*this);
    p.readout = AddReadoutBox(*this);

    // Zoom and pan change the x range: the curves are reduced anew at the next replot, as
    // they are when the plot's width changed since the last reduction.
    connect(xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this,
            [this] { parts_->stale = true; });
    connect(this, &QCustomPlot::beforeReplot, this, [this] { ReduceIfStale(); });
    connect(this, &QCustomPlot::afterReplot, this, [this] {
        if (parts_->columns != Columns())
            replot(rpQueuedReplot);
    });
    ApplyAxes();
}

GraphView::~GraphView() = default;

void GraphView::SetCurves(const std::vector<CurveSource>& curves) {
    parts_->sources = curves;
    Rebuild();
    const bool anyData = !parts_->series.empty();
    // The analysis views follow their data; the response and impulse graphs keep the user's
    // zoom once they were fitted.
    const bool follows = kind_ == GraphKind::GroupDelay || kind_ == GraphKind::EnergyTime;
    if (anyData && kind_ != GraphKind::Response && (follows || !parts_->fitted)) {
        FitAll();
        parts_->fitted = true;
    }
}

void GraphView::UpdatePresenter(int presenter) {
    Parts& p = *parts_;
    if (kind_ == GraphKind::Distortion) {
        if (presenter == settings_.focusPresenter)
            Rebuild();
        return;
    }
    const auto source = std::find_if(p.sources.begin(), p.sources.end(),
                                     [&](const auto& s) { return s.presenter == presenter; });
    if (source != p.sources.end())
        UpdateSource(*source);
}

void GraphView::UpdateSlot(int slot) {
    Parts& p = *parts_;
    const auto source = std::find_if(p.sources.begin(), p.sources.end(),
                                     [&](const auto& s) { return slot >= 0 && s.slot == slot; });
    if (source == p.sources.end())
        return;
    if (kind_ == GraphKind::Distortion) {
        if (IsFocus(*source))
            Rebuild();
        return;
    }
    UpdateSource(*source);
}

void GraphView::UpdateSource(const CurveSource& source) {
    Parts& p = *parts_;
    // The rebuilt curve takes the place of the old one: the readout keeps its order.
    const auto at =
        static_cast<std::size_t>(std::find_if(p.series.begin(), p.series.end(),
                                              [&](const Series& s) { return s.Of(source); }) -
                                 p.series.begin());
    const auto keep = std::stable_partition(p.series.begin(), p.series.end(),
                                            [&](const Series& s) { return !s.Of(source); });
    std::move(keep, p.series.end(), std::back_inserter(p.recycled));
    p.series.erase(keep, p.series.end());
    const std::size_t before = p.series.size();
    BuildSeries(source);
    std::rotate(p.series.begin() + static_cast<std::ptrdiff_t>(std::min(at, before)),
                p.series.begin() + static_cast<std::ptrdiff_t>(before), p.series.end());
    for (Series& old : p.recycled)
        removeGraph(old.graph);
    p.recycled.clear();
    UpdateOverlays();
    Refresh();
}

void GraphView::SetSettings(const GraphSettings& settings) {
    // Settings read back after a zoom carry the zoomed ranges; only new ones are a new home.
    if (settings.freqMin != settings_.freqMin || settings.freqMax != settings_.freqMax ||
        settings.dbMin != settings_.dbMin || settings.dbMax != settings_.dbMax)
        home_ = settings;
    // Another kind of curve (dB instead of linear, another band or row set) has other
    // values: the axes follow them.
    const bool newView =
        settings.impulseDb != settings_.impulseDb ||
        settings.excessDelay != settings_.excessDelay ||
        settings.etcBandHz != settings_.etcBandHz ||
        settings.distortionRows != settings_.distortionRows ||
        (kind_ == GraphKind::Distortion && (settings.focusPresenter != settings_.focusPresenter ||
                                            settings.focusSlot != settings_.focusSlot));
    settings_ = settings;
    ApplyAxes();
    Rebuild();
    if (newView && !parts_->series.empty())
        FitAll();
}

QCPGraph* GraphView::CurveGraph(int presenter, int which) const {
    for (const Series& s : parts_->series)
        if (s.presenter == presenter && s.which == which)
            return s.graph;
    return nullptr;
}

QCPGraph* GraphView::SlotCurveGraph(int slot, int which) const {
    for (const Series& s : parts_->series)
        if (slot >= 0 && s.slot == slot && s.which == which)
            return s.graph;
    return nullptr;
}

void GraphView::Rebuild() {
    Parts& p = *parts_;
    std::move(p.series.begin(), p.series.end(), std::back_inserter(p.recycled));
    p.series.clear();
    for (const CurveSource& s : p.sources)
        if (kind_ != GraphKind::Distortion || IsFocus(s))
            BuildSeries(s);
    for (Series& old : p.recycled)
        removeGraph(old.graph);
    p.recycled.clear();
    // What the readout says belongs to the curves that were: the next move reads the new ones.
    HideCursor();
    RelistLegend();
    UpdateOverlays();
    Refresh();
}

bool GraphView::IsFocus(const CurveSource& source) const {
    return source.presenter == settings_.focusPresenter ||
           (settings_.focusSlot >= 0 && source.slot == settings_.focusSlot);
}

void GraphView::RelistLegend() {
    // In the order of the curves, whatever order their graphs were made in.
    legend->clearItems();
    for (const Series& s : parts_->series)
        if (s.inLegend)
            s.graph->addToLegend();
}

void GraphView::BuildSeries(const CurveSource& source) {
    Parts& p = *parts_;
    Measurement* m = source.record;
    if (m == nullptr || !m->IsInitialized())
        return;
    auto add = [&](int which, QCPAxis* valueAxis, const QPen& pen, const QString& name,
                   bool inLegend) -> Series& {
        Series s;
        s.presenter = source.presenter;
        s.slot = source.slot;
        s.which = which;
        s.name = name;
        s.inLegend = inLegend;
        const auto old = std::find_if(p.recycled.begin(), p.recycled.end(), [&](const Series& r) {
            return r.Of(source) && r.which == which && r.graph->valueAxis() == valueAxis;
        });
        if (old != p.recycled.end()) {
            s.graph = old->graph;
            s.values = std::move(old->values); // its storage, to be refilled
            s.values.clear();
            p.recycled.erase(old);
        } else {
            s.graph = addGraph(xAxis, valueAxis);
        }
        s.graph->setPen(pen);
        s.graph->setLineStyle(QCPGraph::lsLine);
        s.width = pen.widthF();
        s.graph->setName(name);
        s.graph->setAdaptiveSampling(false); // the curves come reduced already
        if (inLegend)
            s.graph->addToLegend();
        else
            s.graph->removeFromLegend();
        p.series.push_back(std::move(s));
        return p.series.back();
    };

    const int fs = m->GetSamplerate();
    const double width = settings_.lineWidth;
    const Shown level = settings_.levelDb ? Shown::Db : Shown::Plain;
    double splOffset = 0.0;
    const bool spl = SplOf(source, splOffset);
    // A linear magnitude stays one: the offset is a level's.
    const auto readSpl = [&](Series& s) {
        s.spl = spl && s.shown == Shown::Db;
        s.offsetDb = s.spl ? splOffset : 0.0;
    };
    if (kind_ == GraphKind::Response) {
        const int bins = m->GetNBins();
        const double* a = m->GetA();
        const std::complex<double>* f = m->GetF();
        if (a == nullptr || f == nullptr)
            return;
        if (settings_.showMagnitude) {
            Series& s = add(0, yAxis, QPen(source.colour, width), source.label, true);
            s.step = m->GetHzPerBin();
            s.values.assign(a, a + bins);
            if (source.magnitudeScale != 1.0)
                for (double& v : s.values)
                    v *= source.magnitudeScale;
            s.shown = level;
            readSpl(s);
        }
        if (settings_.showMagnitude && settings_.showHarmonics) {
            // The 2nd and 3rd harmonic at their own level: the fundamental's times the row's.
            const double step = fs / (2.0 * Kedra::Measure::MeasurementCore::HD_GRID);
            const std::size_t count = Kedra::Measure::MeasurementCore::HD_GRID + 1;
            const std::vector<bool> weak =
                WeakFundamental(*m, settings_.hideHarmonicsBelowDb, step, count);
            for (int r = 2; r <= 3 && r < m->GetHDSize(); ++r) {
                const float* row = m->GetHDSmooth(r);
                a = m->GetA();
                if (row == nullptr || a == nullptr)
                    continue;
                QColor light = source.colour;
                light.setAlpha(r == 2 ? 200 : 140);
                const QPen pen(light, std::max(1.0, width * 0.75),
                               r == 2 ? Qt::DotLine : Qt::DashDotLine);
                const QString name =
                    source.label + QStringLiteral(" (") +
                    QString::fromStdString(Kedra::Measure::DistortionIndexToString(r)) +
                    QStringLiteral(")");
                Series& s = add(r, yAxis, pen, name, false);
                s.step = step;
                s.shown = level;
                readSpl(s);
                s.values.resize(count);
                for (std::size_t i = 0; i < count; ++i) {
                    const double bin =
                        std::round(static_cast<double>(i) * step * m->GetBinsPerHz());
                    s.values[i] =
                        row[i] <= Kedra::Measure::HD_NO_DATA_DB || weak[i] || bin >= bins
                            ? std::numeric_limits<double>::quiet_NaN()
                            : a[static_cast<std::size_t>(bin)] * std::pow(10.0, row[i] / 20.0);
                }
            }
        }
        if (settings_.showPhase && source.withPhase) {
            QColor light = source.colour;
            light.setAlpha(170);
            const QString name =
                settings_.showMagnitude ? source.label + QStringLiteral(" (phase)") : source.label;
            // Dashed, so that a phase is never taken for a magnitude; beside one also lighter.
            const QPen pen(settings_.showMagnitude ? light : source.colour,
                           std::max(1.0, width * 0.75), Qt::DashLine);
            Series& s = add(1, yAxis2, pen, name, !settings_.showMagnitude);
            s.step = m->GetHzPerBin();
            s.values.resize(static_cast<std::size_t>(bins));
            const double peak = *std::max_element(a, a + bins);
            const double hideBelow = settings_.hidePhaseBelowDb < 0.0
                                         ? peak * std::pow(10.0, settings_.hidePhaseBelowDb / 20.0)
                                         : -1.0;
            for (int k = 0; k < bins; ++k)
                s.values[static_cast<std::size_t>(k)] =
                    a[k] < hideBelow ? std::numeric_limits<double>::quiet_NaN() : PseudoAngle(f[k]);
            s.shown = Shown::Degrees;
        }
    } else if (kind_ == GraphKind::Impulse) {
        const double* centre = m->GetI();
        if (centre == nullptr)
            return;
        const int n = m->GetN();
        const double* first = centre - n / 2;
        Series& s = add(0, yAxis, QPen(source.colour, width * 0.75), source.label, true);
        if (settings_.impulseHeld)
            s.graph->setLineStyle(QCPGraph::lsStepCenter);
        s.step = 1000.0 / fs;
        s.origin = (-n / 2 - m->GetIFracOffset()) * s.step;
        if (settings_.impulseDb) {
            s.values.resize(static_cast<std::size_t>(n));
            double peak = 0.0;
            for (int i = 0; i < n; ++i) {
                s.values[static_cast<std::size_t>(i)] = std::fabs(first[i]);
                peak = std::max(peak, std::fabs(first[i]));
            }
            s.shown = Shown::Db;
            // A quiet impulse, within 20 dB of the floor or under it, keeps the floor's
            // distance below its peak instead of vanishing into the floor.
            const double peakDb = ToDb(peak);
            s.floor = peakDb >= settings_.impulseDbMin + QUIET_IMPULSE_DB
                          ? settings_.impulseDbMin
                          : peakDb + settings_.impulseDbMin;
        } else if (settings_.impulseStep) {
            s.values.resize(static_cast<std::size_t>(n));
            double sum = 0.0;
            for (int i = 0; i < n; ++i)
                s.values[static_cast<std::size_t>(i)] = sum += first[i];
        } else {
            s.values.assign(first, first + n);
        }
    } else if (kind_ == GraphKind::GroupDelay) {
        std::vector<double> delay, excess;
        Kedra::Measure::GroupDelayOf(*m, delay, settings_.excessDelay ? &excess : nullptr);
        if (delay.empty())
            return;
        Series& s = add(0, yAxis, QPen(source.colour, width), source.label, true);
        s.step = m->GetHzPerBin();
        s.values = std::move(settings_.excessDelay ? excess : delay);
        // The delay is the phase's slope: where the phase is noise (as on the response
        // graph), so is the delay, at any size; it is left out, not drawn.
        const double* a = m->GetA();
        const int bins = std::min(m->GetNBins(), static_cast<int>(s.values.size()));
        const double hideBelow =
            a != nullptr && settings_.hidePhaseBelowDb < 0.0 && bins > 0
                ? *std::max_element(a, a + bins) * std::pow(10.0, settings_.hidePhaseBelowDb / 20.0)
                : -1.0;
        for (std::size_t k = 0; k < s.values.size(); ++k)
            s.values[k] = a != nullptr && static_cast<int>(k) < bins && a[k] < hideBelow
                              ? std::numeric_limits<double>::quiet_NaN()
                              : 1000.0 * s.values[k];
    } else if (kind_ == GraphKind::EnergyTime) {
        std::vector<double> times, db;
        double peakDb = 0.0;
        Kedra::Measure::EnergyTimeOf(*m, settings_.etcBandHz, times, db, &peakDb);
        if (times.size() < 2)
            return;
        Series& s = add(0, yAxis, QPen(source.colour, width * 0.75), source.label, true);
        s.values = std::move(db);
        s.origin = times.front();
        s.step = times[1] - times[0];
        s.spl = spl;
        // In dB SPL the curve stands at its peak's level; the floor stays as far below it.
        const double shift = spl ? peakDb + splOffset : 0.0;
        // Below the floor the curve rests on it, where a fitted axis shows it.
        for (double& v : s.values)
            v = std::max(v, settings_.etcDbMin) + shift;
        s.floor = settings_.etcDbMin + shift;
    } else {
        const int rows = std::min(settings_.distortionRows, m->GetHDSize());
        for (int r = 0; r < rows; ++r) {
            const float* row = m->GetHDSmooth(r);
            if (row == nullptr)
                continue;
            const QString name = QString::fromStdString(Kedra::Measure::DistortionIndexToString(r));
            Series& s =
                add(r, yAxis, QPen(RowColour(r), r == 0 ? width : width * 0.75), name, true);
            s.step = fs / (2.0 * Kedra::Measure::MeasurementCore::HD_GRID);
            s.values.assign(row, row + Kedra::Measure::MeasurementCore::HD_GRID + 1);
            // Where a row has nothing to say (a harmonic above half the sample rate) or the
            // fundamental is too weak to tell distortion from noise, the line stops instead of
            // plunging to the floor.
            const std::vector<bool> weak =
                WeakFundamental(*m, settings_.hideHarmonicsBelowDb, s.step, s.values.size());
            for (std::size_t i = 0; i < s.values.size(); ++i)
                if (s.values[i] <= Kedra::Measure::HD_NO_DATA_DB || weak[i])
                    s.values[i] = std::numeric_limits<double>::quiet_NaN();
            // In dB SPL each row is the level of its harmonics at the microphone: the
            // fundamental's SPL plus the row's level re the fundamental.
            const double* a = m->GetA();
            if (spl && a != nullptr) {
                s.spl = true;
                for (std::size_t i = 0; i < s.values.size(); ++i) {
                    const double bin =
                        std::round(static_cast<double>(i) * s.step * m->GetBinsPerHz());
                    if (bin < m->GetNBins())
                        s.values[i] += ToDb(a[static_cast<std::size_t>(bin)]) + splOffset;
                }
            }
        }
    }
}

void GraphView::UpdateOverlays() {
    Parts& p = *parts_;
    Measurement* focus = nullptr;
    QColor focusColour(60, 60, 60);
    for (const CurveSource& s : p.sources)
        if (IsFocus(s) && s.record != nullptr && s.record->IsInitialized()) {
            focus = s.record;
            focusColour = s.colour;
        }

    if (kind_ == GraphKind::Response) {
        const bool band =
            settings_.showGating && focus != nullptr && focus->GetImpulseWindowEnabled();
        p.invalidBand->setVisible(band);
        p.bandLabel->setVisible(band);
        if (band) {
            const double valid = focus->FrequencyValidityWithWindow();
            p.invalidBand->bottomRight->setCoords(valid, 1.01);
            p.bandLabel->position->setCoords(valid, 1.0);
            p.bandLabel->setText(QStringLiteral("window: valid above ") + FrequencyLabel(valid) +
                                 QStringLiteral(" Hz"));
        }
    } else if (kind_ == GraphKind::Impulse) {
        p.windowShown = focus != nullptr;
        if (focus != nullptr) {
            p.msPerSample = 1000.0 / focus->GetSamplerate();
            p.fraction = focus->GetIFracOffset();
            // The edge under the mouse stays where the mouse put it until the button is let go.
            if (p.dragging != 0)
                p.window.SetStart(focus->GetImpulseWindowStart());
            if (p.dragging != 1)
                p.window.SetEnd(focus->GetImpulseWindowEnd());
            QColor fill = focusColour;
            fill.setAlpha(focus->GetImpulseWindowEnabled() ? 35 : 0);
            QColor outline = focusColour;
            outline.setAlpha(150);
            p.windowShape->setPen(QPen(outline, 1.0));
            p.windowShape->setBrush(fill);
            const QPen edgePen(outline, 1.5, Qt::DashLine);
            for (std::size_t e = 0; e < 2; ++e) {
                p.edges[e]->setPen(edgePen);
                p.edgeLabels[e]->setColor(outline.darker(130));
                QColor behind = settings_.background;
                behind.setAlpha(210); // readable over a curve
                p.edgeLabels[e]->setBrush(behind);
            }
        }
        p.windowShape->setVisible(p.windowShown);
        // Harmonic k of a sweep lies ln(k) times its time constant before the linear impulse.
        const bool sweep = settings_.showHarmonicImpulses && focus != nullptr &&
                           focus->GetSignalType() == 1 && focus->GetSignalTypeFactor1() > 0.0;
        for (std::size_t h = 0; h < p.harmonicLines.size(); ++h) {
            const int k = static_cast<int>(h) + 2;
            const bool shown = sweep && k <= focus->GetHarmonicCount();
            p.harmonicLines[h]->setVisible(shown);
            p.harmonicLabels[h]->setVisible(shown);
            if (!shown)
                continue;
            const double t =
                -std::log(static_cast<double>(k)) * focus->GetSignalTypeFactor1() * 1000.0;
            p.harmonicLines[h]->point1->setCoords(t, 0.0);
            p.harmonicLines[h]->point2->setCoords(t, 1.0);
            p.harmonicLabels[h]->position->setCoords(t, 1.0);
        }
        for (std::size_t e = 0; e < 2; ++e) {
            p.edges[e]->setVisible(p.windowShown);
            p.edgeLabels[e]->setVisible(p.windowShown);
            if (!p.windowShown)
                continue;
            const int edge = static_cast<int>(e);
            const double t = p.EdgeTime(edge);
            p.edges[e]->point1->setCoords(t, 0.0);
            p.edges[e]->point2->setCoords(t, 1.0);
            p.edgeLabels[e]->position->setCoords(t, 0.0);
            // In ms from the impulse position, as the presenter's fields show them.
            const int samples = edge == 0 ? p.window.GetStart() : p.window.GetEnd();
            p.edgeLabels[e]->setText(
                (edge == 0 ? QStringLiteral("start ") : QStringLiteral("end ")) +
                QString::number(samples * p.msPerSample, 'f', 2) + QStringLiteral(" ms"));
        }
    } else if (kind_ == GraphKind::Distortion) {
        const bool noData = focus != nullptr && p.series.empty();
        p.message->setText(QString::fromLatin1(NO_DISTORTION_TEXT));
        p.message->setVisible(noData);
        QString title;
        for (const CurveSource& s : p.sources)
            if (IsFocus(s))
                title = s.label;
        p.title->setText(title);
    }
    UpdateLevelLabel();
    legend->setVisible(legend->itemCount() > 0);
}

void GraphView::FitLegend() {
    // As many columns as the widest name lets fit across the graph, so that no name is cut;
    // the legend grows by rows instead.
    const QFontMetrics metrics(legend->font());
    int widest = 0;
    for (const Series& s : parts_->series)
        if (s.inLegend)
            widest = std::max(widest, metrics.horizontalAdvance(s.graph->name()));
    if (widest == 0)
        return;
    const int cell = widest + legend->iconSize().width() + legend->iconTextPadding() + 32;
    const int columns = std::clamp((viewport().width() - 16) / cell, 1, MAX_LEGEND_COLUMNS);
    if (columns != legend->wrap()) {
        legend->setWrap(columns);
        legend->setFillOrder(legend->fillOrder(), true);
    }
}

void GraphView::UpdateLevelLabel(bool rangesReset) {
    Parts& p = *parts_;
    const bool levels = (kind_ == GraphKind::Response && settings_.levelDb) ||
                        kind_ == GraphKind::Distortion || kind_ == GraphKind::EnergyTime;
    int inSpl = 0;
    int inDb = 0;
    for (const Series& s : p.series) {
        if (!levels || (kind_ == GraphKind::Response && s.which == 1))
            continue;
        (s.spl ? inSpl : inDb) += 1;
    }
    const bool mixed = inSpl > 0 && inDb > 0;
    if (kind_ == GraphKind::Response && settings_.levelDb)
        yAxis->setLabel(mixed       ? QStringLiteral("Level [dB SPL | dB]")
                        : inSpl > 0 ? QStringLiteral("Level [dB SPL]")
                                    : QStringLiteral("Level [dB]"));
    else if (kind_ == GraphKind::Distortion)
        yAxis->setLabel(inSpl > 0 ? QStringLiteral("Level [dB SPL]")
                                  : QStringLiteral("Level re fundamental [dB]"));
    else if (kind_ == GraphKind::EnergyTime)
        yAxis->setLabel(mixed       ? QStringLiteral("Energy [dB SPL | dB re peak]")
                        : inSpl > 0 ? QStringLiteral("Energy [dB SPL]")
                                    : QStringLiteral("Energy re peak [dB]"));
    p.splNote->setText(kind_ == GraphKind::EnergyTime
                           ? QStringLiteral("Mixed levels: curves marked [SPL] read dB SPL, "
                                            "the others dB re their peak")
                           : QStringLiteral("Mixed levels: curves marked [SPL] read dB SPL, "
                                            "the others dB re full scale"));
    p.splNote->setVisible(mixed);
    for (Series& s : p.series) {
        QString name = s.name;
        if (mixed && s.spl)
            name += QStringLiteral(" [SPL]");
        s.graph->setName(name);
    }
    // Levels in dB SPL lie some 100 dB above those re full scale, outside any range set for
    // those: the level axis follows the curves when the unit changes (or the range was reset).
    // Back from dB SPL to dB it follows them too. An empty graph remembers the last unit.
    if (inSpl + inDb == 0)
        return;
    const int units = mixed ? 2 : inSpl > 0 ? 1 : 0;
    const bool refit = kind_ == GraphKind::Response && settings_.levelDb &&
                       (units != p.levelUnits || (rangesReset && units != 0));
    p.levelUnits = units;
    if (refit)
        FitAll(FitKeys::Keep);
}

bool GraphView::MixedLevels() const {
    return parts_->splNote->visible();
}

bool GraphView::LevelsInSpl() const {
    return parts_->levelUnits != 0;
}

void GraphView::ReduceIfStale() {
    // A hidden graph (an export, a test) gets no resize events; its size is still its own.
    if (!isVisible() && viewport() != rect())
        setViewport(rect());
    FitLegend();
    // The layout the next replot will have, early, so that the curves fit its width.
    updateLayout();
    if (parts_->stale || parts_->columns != Columns())
        Reduce(Columns());
    if (kind_ == GraphKind::Impulse && parts_->windowShown) {
        // An edge's label goes to the side where it has room inside the plot; when the two
        // would still meet, the end's goes a line lower.
        std::array<std::pair<double, double>, 2> spans{};
        for (int e = 0; e < 2; ++e) {
            QCPItemText* label = parts_->edgeLabels[static_cast<std::size_t>(e)];
            const QFontMetrics metrics(label->font());
            const double x = xAxis->coordToPixel(parts_->EdgeTime(e));
            const double room = metrics.horizontalAdvance(label->text()) + 12;
            const bool right =
                e == 0 ? x - axisRect()->left() < room : axisRect()->right() - x >= room;
            label->setPositionAlignment(Qt::AlignTop | (right ? Qt::AlignLeft : Qt::AlignRight));
            spans[static_cast<std::size_t>(e)] =
                right ? std::pair{x, x + room} : std::pair{x - room, x};
            label->setPadding(QMargins(4, 2, 4, 2));
        }
        if (spans[0].second > spans[1].first && spans[1].second > spans[0].first) {
            QCPItemText* end = parts_->edgeLabels[1];
            end->setPadding(QMargins(4, 4 + QFontMetrics(end->font()).height(), 4, 2));
        }
    }
    // The plot options' tick counts are maxima; a small graph takes fewer, so labels never
    // run into each other.
    xAxis->ticker()->setTickCount(std::clamp(axisRect()->width() / 70, 2, settings_.xTicks));
    yAxis->ticker()->setTickCount(std::clamp(axisRect()->height() / 30, 2, settings_.yTicks));
    for (const Series& s : parts_->series) {
        const double unitsPerPixel = s.graph->valueAxis()->range().size() / axisRect()->height();
        const bool band = s.travel > BAND_TRAVEL_PER_COLUMN * parts_->columns * unitsPerPixel;
        s.graph->setAntialiased(!band);
        QPen pen = s.graph->pen();
        pen.setWidthF(band ? 1.0 : s.width); // a 1-pixel pen takes Qt's fastest path
        s.graph->setPen(pen);
    }
}

// The graphs' data is current when a change returns (the window's tests read it); the
// drawing follows at the next turn of the event loop.
void GraphView::Refresh() {
    parts_->stale = true;
    ReduceIfStale();
    replot(rpQueuedReplot);
}

int GraphView::Columns() const {
    const int w = axisRect()->width();
    return std::max(w > 16 ? w : width(), 16);
}

void GraphView::Reduce(int columns) {
    Parts& p = *parts_;
    p.columns = columns;
    p.stale = false;
    const QCPRange range = xAxis->range();
    const ColumnSpan span{range.lower, range.upper, columns,
                          xAxis->scaleType() == QCPAxis::stLogarithmic ? AxisScale::Logarithmic
                                                                       : AxisScale::Linear};
    for (Series& s : p.series) {
        const UniformCurve curve{s.origin, s.step, s.values.data(),
                                 static_cast<int>(s.values.size())};
        ReduceToColumns(curve, span, p.reduced);
        p.points.resize(static_cast<qsizetype>(p.reduced.size()));
        s.travel = 0.0;
        for (std::size_t i = 0; i < p.reduced.size(); ++i) {
            const double v = s.Display(p.reduced[i].value);
            p.points[static_cast<qsizetype>(i)] = QCPGraphData(p.reduced[i].key, v);
            if (i > 0 && !std::isnan(v) &&
                !std::isnan(p.points[static_cast<qsizetype>(i - 1)].value))
                s.travel += std::fabs(v - p.points[static_cast<qsizetype>(i - 1)].value);
        }
        s.graph->data()->set(p.points, true);
    }
    if (kind_ == GraphKind::Impulse && p.windowShown) {
        // The gain shape sampled at a few points per pixel where it is not zero.
        const double toSamples = 1.0 / p.msPerSample;
        const double lo = range.lower * toSamples + p.fraction;
        const double hi = range.upper * toSamples + p.fraction;
        const double a = std::max(lo, static_cast<double>(p.window.GetLeftZero()));
        const double b = std::min(hi, static_cast<double>(p.window.GetRightZero()));
        p.points.clear();
        auto add = [&](double sample, double gain) {
            p.points.push_back(QCPGraphData((sample - p.fraction) * p.msPerSample, gain));
        };
        if (lo < a)
            add(lo, 0.0);
        if (a < b) {
            const int n = std::max(2, std::min(4 * columns, static_cast<int>(b - a) + 2));
            for (int i = 0; i < n; ++i) {
                const double x = a + (b - a) * i / (n - 1);
                add(x, p.window.Amplitude(x));
            }
        }
        if (b < hi)
            add(hi, 0.0);
        p.windowShape->data()->set(p.points, true);
    }
}

void GraphView::ApplyAxes() {
    ApplyColours(*this, settings_.foreground, settings_.background);
    if (!TimeAxis(kind_)) {
        if (auto ticker = qSharedPointerDynamicCast<FrequencyTicker>(xAxis->ticker()))
            ticker->SetLogarithmic(settings_.freqLog);
        xAxis->setScaleType(settings_.freqLog ? QCPAxis::stLogarithmic : QCPAxis::stLinear);
        parts_->stale = true;
    }
    if (kind_ == GraphKind::Impulse) {
        yAxis->setLabel(settings_.impulseDb     ? QStringLiteral("Level [dB]")
                        : settings_.impulseStep ? QStringLiteral("Step response")
                                                : QStringLiteral("Amplitude"));
        yAxis2->setVisible(true);
        return;
    }
    if (kind_ == GraphKind::EnergyTime)
        return;
    if (kind_ == GraphKind::GroupDelay)
        yAxis->setLabel(settings_.excessDelay ? QStringLiteral("Excess group delay [ms]")
                                              : QStringLiteral("Group delay [ms]"));
    xAxis->setRange(std::max(settings_.freqMin, 1e-3), std::max(settings_.freqMax, 1e-2));
    if (kind_ == GraphKind::Response) {
        if (settings_.levelDb)
            yAxis->setRange(settings_.dbMin, settings_.dbMax);
        else
            yAxis->setRange(0.0, std::pow(10.0, settings_.dbMax / 20.0));
        yAxis->setLabel(settings_.levelDb ? QStringLiteral("Level [dB]")
                                          : QStringLiteral("Level [linear]"));
        yAxis->setVisible(settings_.showMagnitude);
        yAxis->grid()->setVisible(settings_.showMagnitude);
        yAxis2->setVisible(settings_.showPhase);
        yAxis2->grid()->setVisible(!settings_.showMagnitude);
        UpdateLevelLabel(true);
    }
}

void GraphView::TakeRangesIntoSettings() {
    if (TimeAxis(kind_))
        return;
    settings_.freqMin = xAxis->range().lower;
    settings_.freqMax = xAxis->range().upper;
    if (kind_ == GraphKind::Response && settings_.showMagnitude && settings_.levelDb) {
        settings_.dbMin = yAxis->range().lower;
        settings_.dbMax = yAxis->range().upper;
    }
}

void GraphView::FitAll(FitKeys keys) {
    Parts& p = *parts_;
    // The largest and smallest shown value of the curves on the left axis between two keys.
    auto extremes = [&](double lo, double hi) {
        double low = std::numeric_limits<double>::infinity();
        double high = -low;
        for (const Series& s : p.series) {
            if (s.graph->valueAxis() != yAxis)
                continue;
            const auto n = static_cast<double>(s.values.size());
            const double from = std::clamp(std::ceil((lo - s.origin) / s.step), 0.0, n);
            const double to = std::clamp(std::floor((hi - s.origin) / s.step) + 1.0, 0.0, n);
            double min = std::numeric_limits<double>::infinity();
            double max = -min;
            for (auto i = static_cast<std::size_t>(from); i < static_cast<std::size_t>(to); ++i) {
                const double v = s.values[i];
                if (!std::isnan(v)) {
                    min = std::min(min, v);
                    max = std::max(max, v);
                }
            }
            if (max >= min) {
                low = std::min(low, s.Display(min));
                high = std::max(high, s.Display(max));
            }
        }
        return std::pair{low, high};
    };

    if (kind_ == GraphKind::Impulse) {
        double lo = 0.0, hi = 0.0;
        if (p.windowShown) {
            // Around the window; a start far before time zero (room for the harmonics of a
            // sweep) would squeeze the impulse into a line, so the view stops short of it.
            const double end = p.window.GetEnd();
            const double start = std::max<double>(p.window.GetStart(), -std::fabs(end));
            const double margin = 0.25 * std::max(end - start, 10.0);
            lo = (start - margin - p.fraction) * p.msPerSample;
            hi = (end + margin - p.fraction) * p.msPerSample;
            // A peak outside the window (a late arrival) is the data too: the view takes it in.
            for (const Series& s : p.series) {
                const auto peak =
                    std::max_element(s.values.begin(), s.values.end(), [](double a, double b) {
                        return std::fabs(a) < std::fabs(b);
                    });
                if (peak == s.values.end())
                    continue;
                const double at = s.origin + s.step * static_cast<double>(peak - s.values.begin());
                const double room = 0.1 * (hi - lo);
                lo = std::min(lo, at - room);
                hi = std::max(hi, at + room);
            }
        } else if (!p.series.empty()) {
            lo = p.series.front().origin;
            hi = lo + p.series.front().step * static_cast<double>(p.series.front().values.size());
        }
        if (hi > lo)
            xAxis->setRange(lo, hi);
        const auto [low, high] = extremes(xAxis->range().lower, xAxis->range().upper);
        if (high >= low) {
            if (settings_.impulseDb) {
                yAxis->setRange(std::floor(low) - 1.0, std::ceil(high / 5.0) * 5.0 + 5.0);
            } else {
                const double reach = std::max({std::fabs(low), std::fabs(high), 1e-12});
                yAxis->setRange(-1.1 * reach, 1.1 * reach);
            }
        }
    } else if (kind_ == GraphKind::EnergyTime) {
        // From just before time zero to where the last curve sinks into the floor.
        double end = 20.0;
        double floor =
            p.series.empty() ? settings_.etcDbMin : std::numeric_limits<double>::infinity();
        for (const Series& s : p.series) {
            floor = std::min(floor, s.floor);
            for (std::size_t i = s.values.size(); i-- > 0;)
                if (s.values[i] > s.floor + 6.0) {
                    end = std::max(end, s.origin + s.step * static_cast<double>(i));
                    break;
                }
        }
        const double start = -0.05 * end;
        if (!p.series.empty())
            xAxis->setRange(std::max(start, p.series.front().origin), end * 1.05);
        const auto [low, high] = extremes(xAxis->range().lower, xAxis->range().upper);
        yAxis->setRange(floor - 1.0, high >= low ? std::ceil(high / 5.0) * 5.0 + 5.0 : 5.0);
    } else {
        // Frequency graphs: from the lowest to the highest frequency that has a value.
        if (keys == FitKeys::Fit) {
            double first = std::numeric_limits<double>::infinity();
            double last = -first;
            for (const Series& s : p.series)
                for (std::size_t i = 0; i < s.values.size(); ++i) {
                    const double key = s.origin + s.step * static_cast<double>(i);
                    if (key > 0.0 && !std::isnan(s.values[i])) {
                        first = std::min(first, key);
                        last = std::max(last, key);
                    }
                }
            if (last > first)
                xAxis->setRange(std::max(first, LOWEST_FIT_HZ),
                                std::max(last, 2.0 * LOWEST_FIT_HZ));
            else
                xAxis->setRange(std::max(home_.freqMin, 1e-3), std::max(home_.freqMax, 1e-2));
        }
        const auto [low, high] = extremes(xAxis->range().lower, xAxis->range().upper);
        if (high >= low && kind_ == GraphKind::GroupDelay) {
            const double margin = 0.1 * std::max(high - low, 0.1);
            yAxis->setRange(low - margin, high + margin);
        } else if (high >= low && kind_ == GraphKind::Response && !settings_.levelDb) {
            yAxis->setRange(0.0, std::max(high, 1e-12) * 1.1);
        } else if (high >= low) {
            // The span the user set, or wider where the curves need it.
            const double spanDb = kind_ == GraphKind::Response && home_.dbMax > home_.dbMin
                                      ? home_.dbMax - home_.dbMin
                                      : 80.0;
            const double top = std::ceil((high + 3.0) / 5.0) * 5.0;
            const double bottom = std::min(top - spanDb, std::floor((low - 3.0) / 5.0) * 5.0);
            yAxis->setRange(std::max(bottom, ToDb(TINY_AMPLITUDE)), top);
        }
        if (kind_ == GraphKind::Response)
            yAxis2->setRange(-180.0, 180.0);
    }
    TakeRangesIntoSettings();
    Refresh();
}

int GraphView::EdgeAt(const QPointF& pos) const {
    Parts& p = *parts_;
    if (kind_ != GraphKind::Impulse || !p.windowShown ||
        !axisRect()->rect().contains(pos.toPoint()))
        return -1;
    int best = -1;
    double bestDistance = EDGE_GRAB_PIXELS;
    for (int e = 0; e < 2; ++e) {
        const double d = std::fabs(xAxis->coordToPixel(p.EdgeTime(e)) - pos.x());
        if (d <= bestDistance) {
            best = e;
            bestDistance = d;
        }
    }
    return best;
}

void GraphView::mousePressEvent(QMouseEvent* event) {
    Parts& p = *parts_;
    p.pressX = xAxis->range();
    p.pressY = yAxis->range();
    p.pressY2 = yAxis2->range();
    const bool ctrl = event->modifiers().testFlag(Qt::ControlModifier);
    if (event->button() == Qt::LeftButton && !ctrl) {
        p.dragging = EdgeAt(event->position());
        if (p.dragging >= 0) {
            event->accept();
            return;
        }
    }
    // Right button or Ctrl + left: a rubber band to zoom into; left alone pans.
    const bool band =
        event->button() == Qt::RightButton || (event->button() == Qt::LeftButton && ctrl);
    setSelectionRectMode(band ? QCP::srmZoom : QCP::srmNone);
    QCustomPlot::mousePressEvent(event);
}

void GraphView::mouseMoveEvent(QMouseEvent* event) {
    Parts& p = *parts_;
    if (p.dragging >= 0) {
        const double t = xAxis->pixelToCoord(event->position().x());
        int samples = static_cast<int>(std::floor(t / p.msPerSample + p.fraction + 0.5));
        const bool start = p.dragging == 0;
        samples = start ? std::min(samples, p.window.GetEnd() - 1)
                        : std::max(samples, p.window.GetStart() + 1);
        const bool moved = start ? p.window.SetStart(samples) : p.window.SetEnd(samples);
        if (moved) {
            UpdateOverlays();
            p.stale = true;
            emit windowEdgeMoved(settings_.focusPresenter, start, samples);
            replot(rpQueuedReplot);
        }
        // The readout reads the edge where the record put it.
        ShowCursor(QPointF(xAxis->coordToPixel(p.EdgeTime(p.dragging)), event->position().y()));
        return;
    }
    QCustomPlot::mouseMoveEvent(event);
    if (EdgeAt(event->position()) >= 0)
        setCursor(Qt::SizeHorCursor);
    else
        unsetCursor();
    ShowCursor(event->position());
}

void GraphView::mouseReleaseEvent(QMouseEvent* event) {
    Parts& p = *parts_;
    if (p.dragging >= 0) {
        // The record has the last word: a refused edge (a locked start) springs back.
        p.dragging = -1;
        UpdateOverlays();
        p.stale = true;
        replot(rpQueuedReplot);
        return;
    }
    QCustomPlot::mouseReleaseEvent(event);
    setSelectionRectMode(QCP::srmNone);
    if (xAxis->range() != p.pressX || yAxis->range() != p.pressY || yAxis2->range() != p.pressY2) {
        TakeRangesIntoSettings();
        emit rangesChanged();
    }
}

void GraphView::mouseDoubleClickEvent(QMouseEvent* event) {
    QCustomPlot::mouseDoubleClickEvent(event);
    FitAll();
    emit rangesChanged();
}

void GraphView::wheelEvent(QWheelEvent* event) {
    const QCPRange x = xAxis->range(), y = yAxis->range(), y2 = yAxis2->range();
    // Over the plot the wheel zooms frequency (or time) and level; over an axis that axis
    // alone, the phase axis included.
    const bool overPlot = axisRect()->rect().contains(event->position().toPoint());
    if (!overPlot)
        axisRect()->setRangeZoomAxes({xAxis}, {yAxis, yAxis2});
    QCustomPlot::wheelEvent(event);
    if (!overPlot)
        axisRect()->setRangeZoomAxes(xAxis, yAxis);
    if (xAxis->range() != x || yAxis->range() != y || yAxis2->range() != y2) {
        TakeRangesIntoSettings();
        emit rangesChanged();
    }
}

void GraphView::leaveEvent(QEvent* event) {
    HideCursor();
    QCustomPlot::leaveEvent(event);
}

void GraphView::ShowCursor(const QPointF& pos) {
    Parts& p = *parts_;
    if (p.series.empty() || !axisRect()->rect().contains(pos.toPoint())) {
        HideCursor();
        return;
    }
    const double key = xAxis->pixelToCoord(pos.x());
    const QString at = TimeAxis(kind_) ? QString::number(key, 'f', 3) + QStringLiteral(" ms")
                                       : FrequencyReadout(key);
    // One entry per curve: its name, its values, how far they lie from the pointer and how
    // high the first is drawn.
    struct Entry {
        QString head;
        QString values;
        double distance;
        double y;
    };
    std::vector<Entry> entries;
    const Series* previous = nullptr;
    for (const Series& s : p.series) {
        if (!s.graph->visible())
            continue;
        const double v = s.DisplayAt(key);
        QString item;
        if (kind_ == GraphKind::Response && s.which == 1) {
            item = QString::number(v, 'f', 1) + QStringLiteral("°");
        } else if ((kind_ == GraphKind::Impulse && !settings_.impulseDb) ||
                   (kind_ == GraphKind::Response && !settings_.levelDb)) {
            item = QString::number(v, 'g', 4);
        } else if (kind_ == GraphKind::GroupDelay) {
            item = QString::number(v, 'f', 3) + QStringLiteral(" ms");
        } else {
            item = QString::number(v, 'f', 2) +
                   (s.spl ? QStringLiteral(" dB SPL") : QStringLiteral(" dB"));
        }
        const double y = s.graph->valueAxis()->coordToPixel(v);
        const double distance =
            std::isfinite(y) ? std::fabs(y - pos.y()) : std::numeric_limits<double>::infinity();
        // Magnitude and phase of one curve share a line.
        if (kind_ == GraphKind::Response && previous != nullptr && previous->SameCurve(s)) {
            entries.back().values += QStringLiteral("  ") + item;
            entries.back().distance = std::min(entries.back().distance, distance);
        } else {
            entries.push_back({kind_ == GraphKind::Distortion ? s.name : s.graph->name(), item,
                               distance, std::isfinite(y) ? y : 1e9});
        }
        previous = &s;
    }
    // Many curves: the nearest to the pointer, top to bottom as they are drawn, so that the
    // box stays short and reads like the graph beside it.
    std::size_t more = 0;
    if (entries.size() > static_cast<std::size_t>(MAX_READOUT_CURVES)) {
        more = entries.size() - MAX_READOUT_CURVES;
        std::stable_sort(entries.begin(), entries.end(),
                         [](const Entry& a, const Entry& b) { return a.distance < b.distance; });
        entries.resize(MAX_READOUT_CURVES);
        std::stable_sort(entries.begin(), entries.end(),
                         [](const Entry& a, const Entry& b) { return a.y < b.y; });
    }
    QString text = at;
    QString line = at;
    for (const Entry& e : entries) {
        text += QStringLiteral("\n") + e.head + QStringLiteral(": ") + e.values;
        line += QStringLiteral("  ") + e.head + QStringLiteral(": ") + e.values;
    }
    if (more > 0) {
        const QString rest = tr("%1 more, farther from the pointer").arg(more);
        text += QStringLiteral("\n") + rest;
        line += QStringLiteral("  (") + rest + QStringLiteral(")");
    }
    p.tracer->point1->setCoords(key, 0.0);
    p.tracer->point2->setCoords(key, 1.0);
    p.tracer->setVisible(true);
    p.readout->setText(text);
    p.readout->setVisible(true);
    layer(QStringLiteral("overlay"))->replot();
    emit cursorText(line);
}

void GraphView::HideCursor() {
    Parts& p = *parts_;
    if (!p.readout->visible())
        return;
    p.tracer->setVisible(false);
    p.readout->setVisible(false);
    layer(QStringLiteral("overlay"))->replot();
    emit cursorText(QString());
}

bool GraphView::SaveImage(const QString& path, int width, int height, QString* error) {
    // The export lays the plot out at its own size; the widget's curves are reduced anew at
    // its next replot.
    const bool ok = SavePlotImage(*this, path, width, height, error, [&] { Reduce(width); });
    parts_->stale = true;
    return ok;
}

} // namespace Kedra::Sonvel::Gui
