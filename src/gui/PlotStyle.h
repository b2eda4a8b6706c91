#pragma once
// What every graph of the window shares: fonts, grid, the legend in a row above the plot, the
// readout box at the mouse and writing the plot to an image file. GUI thread only.

#include <QColor>
#include <QString>
#include <functional>

#include <qcustomplot.h>

namespace Kedra::Sonvel::Gui {

QFont TickFont(const QWidget& plot);
QFont LabelFont(const QWidget& plot);

// Fonts and grid pens of the bottom, left and right axes.
void StyleAxes(QCustomPlot& plot);
// Axes, ticks, labels, legend text and grid in `foreground` (the grid a blend of it into the
// background), behind them `background`.
void ApplyColours(QCustomPlot& plot, const QColor& foreground, const QColor& background);
// Moves the legend into a row above the axis rect, where it never hides a curve, after the
// optional `lead` element (a title); returns that row.
QCPLayoutGrid* PutLegendAbove(QCustomPlot& plot, QCPLayoutElement* lead = nullptr);
// The box that shows the values at the mouse, top left in the axis rect, hidden.
QCPItemText* AddReadoutBox(QCustomPlot& plot);
// The grey note in the middle of the axis rect ("no measurement" and the like), hidden.
QCPItemText* AddMessageText(QCustomPlot& plot);
// The dashed vertical line that follows the mouse, on the overlay layer, hidden.
QCPItemStraightLine* AddTracer(QCustomPlot& plot);
// A gap of distinct colours for curves that are not presenters (distortion rows, bands).
QColor RowColour(int row);

// Writes the plot as PNG, SVG or PDF (by the file's extension) at width x height; false and
// `error` when the type, size or path is unusable. `beforeDraw` runs once the request is
// accepted, before the drawing.
bool SavePlotImage(QCustomPlot& plot, const QString& path, int width, int height, QString* error,
                   const std::function<void()>& beforeDraw = {});

} // namespace Kedra::Sonvel::Gui
