#pragma once
// The room acoustic parameters of one record: a table of the octave bands and the broadband
// result, and the bands' decay curves (the backward integrals) in one graph. GUI thread only:
// it reads the record when given one.

#include <QWidget>
#include <optional>
#include <vector>

#include "analyze/RoomAcoustics.h"
#include "gui/GraphView.h"

class QTableWidget;

namespace Kedra::Sonvel::Gui {

class RoomAcousticsView : public QWidget {
    Q_OBJECT
public:
    explicit RoomAcousticsView(QWidget* parent = nullptr);

    // Analyses the record anew; a null or empty record empties the table and the graph.
    void SetSource(const CurveSource& source);
    const std::vector<Kedra::Measure::RoomBandResult>& Results() const { return results_; }
    QTableWidget* Table() const { return table_; }
    QCustomPlot* DecayPlot() const { return plot_; }
    void FitAll();
    // The decay graph as an image (PNG, SVG or PDF by extension).
    bool SaveImage(const QString& path, int width, int height, QString* error);

signals:
    void cursorText(const QString& text);

private:
    void Fill();

    QCPTextElement* title_ = nullptr;
    QTableWidget* table_ = nullptr;
    QCustomPlot* plot_ = nullptr;
    QCPItemText* message_ = nullptr;
    std::vector<Kedra::Measure::RoomBandResult> results_;
    // The record's SPL offset when its levels read dB SPL.
    std::optional<double> splOffset_;
};

} // namespace Kedra::Sonvel::Gui
