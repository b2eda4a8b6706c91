#pragma once
// The parameters of one operation on the presenters' measurements, asked in a small dialog
// that starts from the options' values (and then from what the user chose last), and the
// operation run through the controller on OK.

#include <QDialog>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QFormLayout;
class QLabel;
class QPushButton;

namespace Kedra::Sonvel {
class MainCtrl;
}

namespace Kedra::Sonvel::Gui {

enum class Operation {
    Combine,       // C = A op B
    Invert,        // B = 1/A
    Match,         // A's level (and time) matched to B in a band
    Stitch,        // C = A below the band, B above
    MinimumPhase,  // a slot's phase replaced by its minimum phase
    QBox,          // closed-box fit of A, the model into C
    MicCalibration // the microphone calibration from three measurements, shown in C
};

class OperationDialog : public QDialog {
    Q_OBJECT
public:
    OperationDialog(Operation operation, MainCtrl& ctrl, QWidget* parent = nullptr);

    Operation Kind() const { return operation_; }
    // Runs the operation with the dialog's parameters; false when the controller refused.
    // After an Apply the stitch and the fit recompute their own result in C.
    bool Run();
    // The stitch and the fit: runs and stays open; null for the others.
    QPushButton* ApplyButton() const { return apply_; }
    // The result to show after Run (the closed-box fit's figures), else empty.
    QString ResultText() const { return result_; }

    // The fields, for the keyboard and for tests; null where the operation has none.
    QComboBox* OperatorBox() const { return operator_; }
    QComboBox* SlotBox(int which = 0) const;
    QDoubleSpinBox* Number(int which) const;
    QCheckBox* Flag() const { return flag_; }
    // Why OK does nothing now: the fields that refused what was typed; empty when none.
    QString RefusalText() const;

    void accept() override;

private:
    QDoubleSpinBox* AddNumber(QFormLayout* form, const QString& label, const QString& unit,
                              double value, double low, double high, int decimals);
    QComboBox* AddSlotBox(QFormLayout* form, const QString& label, int slot);
    int ChosenSlot(int which) const;
    void ShowRefusal();
    // OK's and Apply's work: false when nothing ran or it was refused (and said why).
    bool Execute();

    Operation operation_;
    MainCtrl& ctrl_;
    QString result_;
    QComboBox* operator_ = nullptr;
    QComboBox* slots_[3] = {nullptr, nullptr, nullptr};
    QDoubleSpinBox* numbers_[7] = {};
    QCheckBox* flag_ = nullptr;
    QLabel* refusal_ = nullptr;
    QPushButton* apply_ = nullptr;
    bool applied_ = false;
};

} // namespace Kedra::Sonvel::Gui
