#pragma once
// One graph of the window: the frequency response (magnitude and phase), the impulse response
// (linear or dB envelope, with the impulse window of the focused presenter and its draggable
// edges), the distortion rows of one record, the group delay (or its excess over the minimum
// phase) or the energy-time curve. The same class draws for the window and for
// the command line's `plot` (offscreen). GUI thread only: it reads the records on show.

#include <QColor>
#include <QString>
#include <memory>
#include <vector>

#include <qcustomplot.h>

namespace Kedra::Measure {
class Measurement;
}

namespace Kedra::Sonvel::Gui {

enum class GraphKind { Response, Impulse, Distortion, GroupDelay, EnergyTime };

// A curve: the record (owned by the list) and how to paint it. A slot's curve is known by its
// slot; one without a slot (the test signal, a record of a dialog's own) by its presenter.
struct CurveSource {
    Kedra::Measure::Measurement* record = nullptr;
    int presenter = 0; // 0 A, 1 B, 2 C showing the slot, 3 the test signal, -1 none
    int slot = -1;     // the list's slot; -1 for none
    QColor colour;
    QString label;
    // The test signal's phase, referred to its first sample, is a band of noise: left out.
    bool withPhase = true;
    // The magnitude is drawn times this (the test signal's spectrum re its peak).
    double magnitudeScale = 1.0;
    // Levels in dB SPL: the offset added to the record's dB level. A record that carries an
    // SPL reference reads in dB SPL also when these are left unset.
    bool spl = false;
    double splOffsetDb = 0.0;
};

struct GraphSettings {
    bool showMagnitude = true; // response graph
    bool showPhase = true;     // response graph, right-hand axis
    // Phase is left out where the level lies this far below the curve's peak, where it is
    // only noise; 0 or above: drawn everywhere.
    double hidePhaseBelowDb = -50.0;
    bool impulseDb = false; // impulse graph: dB envelope instead of linear
    int distortionRows = 6; // distortion graph: rows 0 .. n-1 (THD, noise, 2nd HD, ...)
    int focusPresenter = 0; // whose window the impulse graph draws, whose distortion is shown
    // The slot the focused presenter shows, -1 unknown: its curve is the focused one also when
    // another presenter that shows the same slot names it.
    int focusSlot = -1;
    double freqMin = 20.0;
    double freqMax = 20000.0;
    double dbMin = -60.0;
    double dbMax = 10.0;
    double impulseDbMin = -70.0;
    bool excessDelay = false; // group delay graph: the excess over the minimum phase
    double etcBandHz = 0.0;   // energy-time graph: octave band midband, 0 broadband
    double etcDbMin = -80.0;

    // The look, from the plot options.
    bool impulseStep = false;   // impulse graph: the step response (running sum) instead
    bool impulseHeld = false;   // impulse graph: each sample held, not joined by lines
    bool freqLog = true;        // frequency axis logarithmic
    bool levelDb = true;        // response graph: magnitude in dB, else linear
    bool showHarmonics = false; // response graph: the 2nd and 3rd harmonic beside each curve
    // Distortion is left out where the fundamental lies this far below its peak.
    double hideHarmonicsBelowDb = -50.0;
    bool showGating = true;           // response graph: the band the impulse window cannot resolve
    bool showHarmonicImpulses = true; // impulse graph: where a sweep's harmonic impulses lie
    double lineWidth = 2.0;
    int xTicks = 30; // at most, where the axis has room for them
    int yTicks = 20;
    QColor foreground = Qt::black;
    QColor background = QColor(240, 240, 240);
};

// The settings with the look (and, when `ranges`, the ranges and switches) of the plot
// options, so that the window and `sonvel plot` draw alike.
GraphSettings WithPlotOptions(GraphSettings s, bool ranges = true);

class GraphView : public QCustomPlot {
    Q_OBJECT
public:
    explicit GraphView(GraphKind kind, QWidget* parent = nullptr);
    ~GraphView() override;
    GraphKind Kind() const { return kind_; }

    // Rebuilds every curve from its record's current view (window, smoothing, filters,
    // invert, level). An empty or uninitialised record draws nothing.
    void SetCurves(const std::vector<CurveSource>& curves);
    // Rebuilds only the curves of one presenter or one slot, after its record's view changed.
    void UpdatePresenter(int presenter);
    void UpdateSlot(int slot);
    void SetSettings(const GraphSettings& settings);
    const GraphSettings& Settings() const { return settings_; }
    // Axes to the data (a double click does the same). With FitKeys::Keep a frequency graph
    // keeps its frequency range and fits its levels to what lies inside it.
    enum class FitKeys { Fit, Keep };
    void FitAll(FitKeys keys = FitKeys::Fit);

    // The graph that draws a presenter's curve (which: 0 magnitude / impulse / first
    // distortion row, 1 phase / second row, ...); null when none. Tests read its data.
    QCPGraph* CurveGraph(int presenter, int which = 0) const;
    QCPGraph* SlotCurveGraph(int slot, int which = 0) const;
    // With more curves than this, the readout at the mouse lists those nearest to it.
    static constexpr int MAX_READOUT_CURVES = 8;
    // Some curves read dB SPL and others dB re full scale (the graph says so in a note).
    bool MixedLevels() const;
    // The level axis reads dB SPL (for some curves or all).
    bool LevelsInSpl() const;
    // Writes the graph as PNG, SVG or PDF (by the file's extension) at width x height.
    bool SaveImage(const QString& path, int width, int height, QString* error);

signals:
    // The readout at the mouse: frequency (or time) and each visible curve's value.
    void cursorText(const QString& text);
    // An impulse-window edge was dragged to `samples` (relative to the impulse position).
    void windowEdgeMoved(int presenter, bool start, int samples);
    // The user zoomed or panned; the window keeps the ranges in the options.
    void rangesChanged();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    struct Parts;

    void Rebuild();
    void BuildSeries(const CurveSource& source);
    void UpdateSource(const CurveSource& source);
    void RelistLegend();
    void FitLegend();
    bool IsFocus(const CurveSource& source) const;
    static constexpr int MAX_LEGEND_COLUMNS = 6;
    void UpdateOverlays();
    void UpdateLevelLabel(bool rangesReset = false);
    void Reduce(int columns);
    void ReduceIfStale();
    void Refresh();
    int Columns() const;
    void ApplyAxes();
    void TakeRangesIntoSettings();
    void ShowCursor(const QPointF& pos);
    void HideCursor();
    int EdgeAt(const QPointF& pos) const;

    GraphKind kind_;
    GraphSettings settings_;
    // The ranges the caller gave (not those of the last zoom): what a fit returns to.
    GraphSettings home_;
    std::unique_ptr<Parts> parts_;
};

} // namespace Kedra::Sonvel::Gui
