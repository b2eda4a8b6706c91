#pragma once
// The EQ tab: parametric filters fitted to a target for a presenter's record, the table of
// filters (editable: the prediction follows at once), the response, target and predicted
// curves in one graph, and the export for an equaliser. GUI thread only.

#include <QWidget>

#include "filter/Equaliser.h"

class QComboBox;
class QCustomPlot;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QTableWidget;

namespace Kedra::Sonvel {
class MainCtrl;
}

namespace Kedra::Sonvel::Gui {

class EqTab : public QWidget {
    Q_OBJECT
public:
    explicit EqTab(MainCtrl& ctrl, QWidget* parent = nullptr);

    // Fits anew from the settings; false (and the reason shown) when refused.
    bool Fit();
    // Writes the filters in the device's format; false (and the reason shown) on failure.
    bool ExportTo(const QString& path);
    // Puts the prediction into the first empty slot; its number, or -1.
    int KeepPrediction();

    const Kedra::Filter::EqFit& Current() const { return fit_; }
    QTableWidget* Table() const { return table_; }
    QCustomPlot* Plot() const { return plot_; }
    QLabel* Status() const { return status_; }
    QLineEdit* TargetField() const { return target_; }
    QComboBox* DeviceBox() const { return device_; }

private:
    void FillTable();
    void CellEdited(int row, int column);
    // The predicted curve and the figures from the filters as they stand.
    void Predict();
    Kedra::Measure::Measurement* Record();

    MainCtrl& ctrl_;
    QComboBox* presenter_ = nullptr;
    QLineEdit* target_ = nullptr;
    QComboBox* device_ = nullptr;
    QDoubleSpinBox* from_ = nullptr;
    QDoubleSpinBox* to_ = nullptr;
    QSpinBox* filters_ = nullptr;
    QDoubleSpinBox* boost_ = nullptr;
    QDoubleSpinBox* cut_ = nullptr;
    QTableWidget* table_ = nullptr;
    QCustomPlot* plot_ = nullptr;
    QLabel* status_ = nullptr;
    Kedra::Filter::EqFit fit_;
    Kedra::Filter::EqLimits limits_;
    Kedra::Filter::EqDevice deviceProfile_;
    bool filling_ = false;
};

} // namespace Kedra::Sonvel::Gui
