#pragma once
// Operations > Average...: the average of chosen slots' responses into a slot, with the
// command line's modes (power, vector, dB) and its align choice, run through the controller
// on OK (the keep rule applies to the slot written).

#include <QDialog>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QListWidget;

namespace Kedra::Sonvel {
class MainCtrl;
}

namespace Kedra::Sonvel::Gui {

class AverageDialog : public QDialog {
    Q_OBJECT
public:
    // `chosen`: the slots ticked at first (among the filled ones).
    AverageDialog(MainCtrl& ctrl, const std::vector<int>& chosen, QWidget* parent = nullptr);

    // The ticked slots, in list order.
    std::vector<int> Slots() const;
    int Into() const;
    // The fields, for the keyboard and for tests.
    QListWidget* SlotList() const { return slots_; }
    QComboBox* ModeBox() const { return mode_; }
    QComboBox* IntoBox() const { return into_; }
    QCheckBox* AlignBox() const { return align_; }
    // Runs the average; false when it was refused (the controller said why).
    bool Run();

    void accept() override;

private:
    void Check();

    MainCtrl& ctrl_;
    QListWidget* slots_ = nullptr;
    QComboBox* mode_ = nullptr;
    QComboBox* into_ = nullptr;
    QCheckBox* align_ = nullptr;
    QLabel* refusal_ = nullptr;
};

} // namespace Kedra::Sonvel::Gui
