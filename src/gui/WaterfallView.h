#pragma once
// The cumulative spectral decay of one record: stacked slices in a pseudo-3D view (the first
// slice at the back, each later one lower and further left, hiding what lies behind it) or
// a colour map of level over frequency and time. GUI thread only: it reads the record when
// given one.

#include <QString>

#include <qcustomplot.h>

#include "analyze/LoudspeakerViews.h"
#include "gui/GraphView.h"

namespace Kedra::Sonvel::Gui {

enum class WaterfallStyle { Lines, ColourMap };

struct WaterfallViewSettings {
    Kedra::Measure::WaterfallSettings slices;
    WaterfallStyle style = WaterfallStyle::Lines;
    double floorDb = -40.0; // dB below the top level; levels below are drawn at the floor
    double freqMin = 200.0;
    double freqMax = 20000.0;
};

class WaterfallView : public QCustomPlot {
    Q_OBJECT
public:
    explicit WaterfallView(QWidget* parent = nullptr);
    ~WaterfallView() override;

    // Computes the record's waterfall anew and draws it; a null or empty record, or settings
    // that leave no slice, draw a message instead.
    void SetSource(const CurveSource& source);
    void SetSettings(const WaterfallViewSettings& settings);
    const WaterfallViewSettings& Settings() const { return settings_; }
    const Kedra::Measure::Waterfall& Data() const { return data_; }
    // What the graph shows: a slice's line (null when out of range or in the colour map), the
    // colour map (null in lines style).
    QCPGraph* SliceGraph(int slice) const;
    QCPColorMap* ColourMap() const;
    // The colour map's columns: log-spaced from the lower frequency to the upper.
    int MapColumns() const;
    // The level at the top of the drawn range: the highest level between the frequency
    // limits, up to a round number; the floor lies `floorDb` below it.
    double TopDb() const;
    void FitAll();
    bool SaveImage(const QString& path, int width, int height, QString* error);

signals:
    void cursorText(const QString& text);

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    struct Parts;
    bool spl_ = false;
    void Redraw();
    void DrawLines();
    void DrawMap();
    void FindTop();
    double LevelAt(int slice, double hz) const;

    WaterfallViewSettings settings_;
    CurveSource source_;
    Kedra::Measure::Waterfall data_;
    std::unique_ptr<Parts> parts_;
};

} // namespace Kedra::Sonvel::Gui
