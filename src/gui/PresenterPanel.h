#pragma once
// The controls of one presenter (A, B or C): whether its slot is drawn (the slot's own shown
// flag, as the list's), in the slot's colour, which slot it shows,
// the record's label, and the record's view: impulse window, smoothing, low-pass and
// high-pass view filters, invert and level. A control writes the record at once and says
// so; the window redraws. A list row dropped on the panel shows that slot. GUI thread only.

#include <QGroupBox>

#include "gui/CheckedSpinBox.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QLabel;

namespace Kedra::Measure {
class Measurement;
}
namespace Kedra::Sonvel {
class MainCtrl;
}

namespace Kedra::Sonvel::Gui {

class PresenterPanel : public QGroupBox {
    Q_OBJECT
public:
    PresenterPanel(MainCtrl& ctrl, int presenter, const QColor& colour, QWidget* parent = nullptr);

    int PresenterIndex() const { return presenter_; }
    bool CurveVisible() const;
    void SetColour(const QColor& colour);
    // Every control from the record and the list, without signals.
    void Refresh();

    // For tests and the window's keyboard handling.
    QCheckBox* VisibleBox() const { return visible_; }
    QComboBox* SlotBox() const { return slot_; }
    QCheckBox* WindowBox() const { return window_; }
    QDoubleSpinBox* WindowStartBox() const { return windowStart_; }
    QDoubleSpinBox* WindowEndBox() const { return windowEnd_; }
    QCheckBox* SmoothingBox() const { return smoothing_; }
    QComboBox* OctaveBox() const { return octave_; }
    QComboBox* SmoothingKindBox() const { return smoothingKind_; }
    QCheckBox* InvertBox() const { return invert_; }
    QDoubleSpinBox* LevelBox() const { return level_; }
    // Why a field refused what was typed; empty when none did.
    QString RefusalText() const;

signals:
    void visibleToggled(int presenter, bool on);
    void slotChosen(int presenter, int slot);
    // The record's view or label changed through a control.
    void viewEdited(int presenter);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    Kedra::Measure::Measurement* Record() const;
    // Applies one control's change to the record, then tells the window.
    template <class F>
    void Edit(F&& change);
    void ShowRefusal();

    MainCtrl& ctrl_;
    int presenter_;
    bool refreshing_ = false;
    QLabel* swatch_;
    QCheckBox* visible_;
    QComboBox* slot_;
    QLineEdit* label_;
    QCheckBox* window_;
    CheckedSpinBox* windowStart_;
    CheckedSpinBox* windowEnd_;
    QCheckBox* smoothing_;
    QComboBox* octave_;
    QComboBox* smoothingKind_;
    QCheckBox* lowpass_;
    CheckedSpinBox* lowpassHz_;
    QCheckBox* highpass_;
    CheckedSpinBox* highpassHz_;
    QCheckBox* invert_;
    CheckedSpinBox* level_;
    QLabel* refusal_;
};

} // namespace Kedra::Sonvel::Gui
