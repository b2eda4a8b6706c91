#include "gui/AverageDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QListWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "app/MainCtrl.h"
#include "app/Options.h"
#include "gui/CheckedSpinBox.h"
#include "measure/Measurement.h"

namespace Kedra::Sonvel::Gui {

namespace {

// "7: label (A)"
QString SlotText(MainCtrl& ctrl, int slot) {
    Kedra::Measure::Measurement* m = ctrl.List().No(slot);
    QString text = QString("%1: %2").arg(slot).arg(QString::fromStdString(m->GetLabel()));
    for (int p = MainCtrl::PRESENTER_A; p <= MainCtrl::PRESENTER_C; ++p)
        if (ctrl.PresenterSlot(p) == slot)
            text += QString(" (%1)").arg(QChar('A' + p));
    return text;
}

// In the command line's order: power, vector, dB.
constexpr Kedra::Measure::AverageMode MODES[] = {Kedra::Measure::AverageMode::Power,
                                                 Kedra::Measure::AverageMode::Vector,
                                                 Kedra::Measure::AverageMode::Db};

} // namespace

AverageDialog::AverageDialog(MainCtrl& ctrl, const std::vector<int>& chosen, QWidget* parent)
    : QDialog(parent), ctrl_(ctrl) {
    setWindowTitle(tr("Average"));
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(
        Conf::Options::Field.Misc.KeepReplacedMeasurements
            ? tr("The average of the ticked measurements' responses goes into the chosen slot; "
                 "a measurement there moves to an empty slot.")
            : tr("The average of the ticked measurements' responses goes into the chosen slot, "
                 "replacing what it holds."),
        this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    slots_ = new QListWidget(this);
    slots_->setObjectName("averageSlots");
    auto& list = ctrl_.List();
    for (int i = 0; i < list.GetSize(); ++i) {
        if (!list.IsFilled(i))
            continue;
        auto* item = new QListWidgetItem(SlotText(ctrl_, i), slots_);
        item->setData(Qt::UserRole, i);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        const bool on = std::find(chosen.begin(), chosen.end(), i) != chosen.end();
        item->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    }
    layout->addWidget(slots_, 1);
    auto* form = new QFormLayout;
    layout->addLayout(form);
    mode_ = new QComboBox(this);
    mode_->addItem(tr("Power (RMS of the magnitudes, minimum phase)"));
    mode_->addItem(tr("Vector (complex mean)"));
    mode_->addItem(tr("dB (mean of the levels, minimum phase)"));
    form->addRow(tr("Mode:"), mode_);
    align_ = new QCheckBox(tr("Take each from its own time zero"), this);
    align_->setToolTip(tr("Vector mode: measurements made at different distances are aligned "
                          "before they are added"));
    align_->setEnabled(false);
    form->addRow(QString(), align_);
    connect(mode_, &QComboBox::currentIndexChanged, this,
            [this](int mode) { align_->setEnabled(mode == 1); });
    into_ = new QComboBox(this);
    for (int i = 0; i < list.GetSize(); ++i)
        into_->addItem(list.IsFilled(i) ? SlotText(ctrl_, i) : tr("%1: empty").arg(i), i);
    const int empty = ctrl_.FirstEmptySlot();
    into_->setCurrentIndex(std::max(empty, 0));
    form->addRow(tr("Into:"), into_);
    refusal_ = RefusalLabel(this);
    refusal_->setObjectName("refusal");
    refusal_->setWordWrap(true);
    layout->addWidget(refusal_);
    connect(slots_, &QListWidget::itemChanged, this, [this] { Check(); });
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &AverageDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    setMinimumWidth(460);
    Check();
}

std::vector<int> AverageDialog::Slots() const {
    std::vector<int> chosen;
    for (int row = 0; row < slots_->count(); ++row)
        if (slots_->item(row)->checkState() == Qt::Checked)
            chosen.push_back(slots_->item(row)->data(Qt::UserRole).toInt());
    return chosen;
}

int AverageDialog::Into() const {
    return into_->currentData().toInt();
}

void AverageDialog::Check() {
    const std::size_t n = Slots().size();
    refusal_->setText(n >= 2 ? QString()
                             : tr("Tick two or more measurements to average (%1 ticked)").arg(n));
}

bool AverageDialog::Run() {
    const int mode = std::clamp(mode_->currentIndex(), 0, 2);
    return ctrl_.Action_Average(Slots(), Into(), MODES[mode], mode == 1 && align_->isChecked());
}

void AverageDialog::accept() {
    Check();
    if (!refusal_->text().isEmpty())
        return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool ok = Run();
    QApplication::restoreOverrideCursor();
    // A refusal was said by the controller; the dialog stays for another choice.
    if (ok)
        QDialog::accept();
}

} // namespace Kedra::Sonvel::Gui
