#include "gui/OperationDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/MainCtrl.h"
#include "app/Options.h"
#include "exchange/TextFile.h"
#include "gui/CheckedSpinBox.h"
#include "gui/GuiFrontEnd.h"
#include "measure/Measurement.h"

namespace Kedra::Sonvel::Gui {

namespace {

// What the user chose last in this session; the options' values before that.
struct Remembered {
    int combine = 0;
    double matchFc = 1000.0, matchBw = 200.0;
    bool matchTime = false;
    double stitchFc = -1.0, stitchBw = -1.0;
    bool stitchTime = false;
    int minPhasePresenter = 0;
    bool causal = false;
    double qboxFrom = 20.0, qboxTo = 500.0;
};
Remembered& Last() {
    static Remembered last;
    return last;
}

const char* const OPERATORS[] = {"+", "-", "*", "/"};

QString Title(Operation op) {
    switch (op) {
    case Operation::Combine:
        return QObject::tr("C = A op B");
    case Operation::Invert:
        return QObject::tr("B = 1/A");
    case Operation::Match:
        return QObject::tr("Match A to B");
    case Operation::Stitch:
        return QObject::tr("Stitch A and B into C");
    case Operation::MinimumPhase:
        return QObject::tr("Minimum phase");
    case Operation::QBox:
        return QObject::tr("Closed-box fit of A");
    case Operation::MicCalibration:
        return QObject::tr("Microphone calibration from three measurements");
    }
    return {};
}

// Said when the operation was refused and the controller gave no reason of its own.
const char* Refusal(Operation op) {
    switch (op) {
    case Operation::Combine:
        return "C = A op B needs measurements in A and B and a third slot in C";
    case Operation::Invert:
        return "B = 1/A needs a measurement in A and a different slot B";
    case Operation::Match:
        return "Matching needs measurements in A and B";
    case Operation::Stitch:
        return "Stitching needs measurements in A and B and a third slot in C";
    case Operation::MinimumPhase:
        return "That slot holds no measurement";
    case Operation::QBox:
        return "No closed-box fit: A must hold a measurement with level between the two "
               "frequencies, and C must be another slot";
    case Operation::MicCalibration:
        return "The microphone calibration could not be made from those measurements";
    }
    return "";
}

} // namespace

OperationDialog::OperationDialog(Operation operation, MainCtrl& ctrl, QWidget* parent)
    : QDialog(parent), operation_(operation), ctrl_(ctrl) {
    setWindowTitle(Title(operation));
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    auto* form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
    layout->addLayout(form);
    Remembered& last = Last();
    const Conf::MakeMicCalOptions& mic = Conf::Options::Field.MakeMicCal;
    switch (operation) {
    case Operation::Combine:
        intro->setText(tr("C becomes A combined with B, bin by bin."));
        operator_ = new QComboBox(this);
        operator_->addItems({tr("C = A + B"), tr("C = A - B"), tr("C = A x B"), tr("C = A / B")});
        operator_->setCurrentIndex(last.combine);
        form->addRow(tr("Operation:"), operator_);
        break;
    case Operation::Invert:
        intro->setText(tr("B becomes the inverse of A: 1/A in every bin, with A's window and "
                          "filters. What B held is replaced."));
        break;
    case Operation::Match:
        intro->setText(tr("A's level is matched to B's over a band; with the time, A's time "
                          "zero too."));
        AddNumber(form, tr("Band centre:"), tr(" Hz"), last.matchFc, 1.0, 96000.0, 1);
        AddNumber(form, tr("Band width:"), tr(" Hz"), last.matchBw, 0.1, 96000.0, 1);
        flag_ = new QCheckBox(tr("Match the time too"), this);
        flag_->setChecked(last.matchTime);
        form->addRow(QString(), flag_);
        break;
    case Operation::Stitch:
        intro->setText(tr("C becomes A (the near field) below the band and B (the far field) "
                          "above it, crossed over within the band."));
        AddNumber(form, tr("Crossover centre:"), tr(" Hz"),
                  last.stitchFc > 0.0 ? last.stitchFc : mic.stitchLowCenter, 1.0, 96000.0, 1);
        AddNumber(form, tr("Crossover width:"), tr(" Hz"),
                  last.stitchBw > 0.0 ? last.stitchBw : mic.stitchLowWidth, 0.1, 96000.0, 1);
        flag_ = new QCheckBox(tr("Match the time too"), this);
        flag_->setChecked(last.stitchTime);
        form->addRow(QString(), flag_);
        break;
    case Operation::MinimumPhase:
        intro->setText(tr("The phase of the chosen measurement is replaced by the minimum "
                          "phase of its magnitude."));
        AddSlotBox(form, tr("Measurement:"), ctrl_.PresenterSlot(last.minPhasePresenter));
        flag_ = new QCheckBox(tr("Causal: cut the impulse before time zero"), this);
        flag_->setChecked(last.causal);
        form->addRow(QString(), flag_);
        break;
    case Operation::QBox:
        intro->setText(tr("A closed-box loudspeaker model is fitted to A between the two "
                          "frequencies; the model goes into C."));
        AddNumber(form, tr("From:"), tr(" Hz"), last.qboxFrom, 1.0, 20000.0, 1);
        AddNumber(form, tr("To:"), tr(" Hz"), last.qboxTo, 2.0, 40000.0, 1);
        break;
    case Operation::MicCalibration:
        intro->setText(tr("The calibration is the microphone's response divided by the "
                          "reference's. It is shown in C, saved and switched on."));
        AddSlotBox(form, tr("Reference microphone:"), mic.refCalSlot);
        AddSlotBox(form, tr("Microphone, low frequencies:"), mic.refLowSlot);
        AddSlotBox(form, tr("Microphone, high frequencies:"), mic.refHighSlot);
        AddNumber(form, tr("Window, high:"), tr(" cm"), mic.winHighcm, 1.0, 100000.0, 1);
        AddNumber(form, tr("Window, mid:"), tr(" cm"), mic.winMidcm, 1.0, 100000.0, 1);
        AddNumber(form, tr("Window, low:"), tr(" cm"), mic.winLowcm, 1.0, 100000.0, 1);
        AddNumber(form, tr("High stitch centre:"), tr(" Hz"), mic.stitchHighCenter, 1.0, 96000.0,
                  1);
        AddNumber(form, tr("High stitch width:"), tr(" Hz"), mic.stitchHighWidth, 0.1, 96000.0, 1);
        AddNumber(form, tr("Low stitch centre:"), tr(" Hz"), mic.stitchLowCenter, 1.0, 96000.0, 1);
        AddNumber(form, tr("Low stitch width:"), tr(" Hz"), mic.stitchLowWidth, 0.1, 96000.0, 1);
        break;
    }
    refusal_ = RefusalLabel(this);
    refusal_->setObjectName("refusal");
    refusal_->setWordWrap(true);
    layout->addWidget(refusal_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    if (operation == Operation::Stitch || operation == Operation::QBox) {
        apply_ = buttons->addButton(QDialogButtonBox::Apply);
        apply_->setToolTip(tr("Show the result in C and keep the dialog open; later Applies "
                              "recompute that result instead of adding another"));
        connect(apply_, &QPushButton::clicked, this, [this] { Execute(); });
    }
    connect(buttons, &QDialogButtonBox::accepted, this, &OperationDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    setMinimumWidth(420);
}

QDoubleSpinBox* OperationDialog::AddNumber(QFormLayout* form, const QString& label,
                                           const QString& unit, double value, double low,
                                           double high, int decimals) {
    auto* box = new CheckedSpinBox(low, high, decimals, unit, this);
    box->setValue(value);
    box->setAccelerated(true);
    box->setAccessibleName(QString(label).remove(':'));
    connect(box, &CheckedSpinBox::refusalChanged, this, [this] { ShowRefusal(); });
    for (QDoubleSpinBox*& n : numbers_)
        if (n == nullptr) {
            n = box;
            break;
        }
    form->addRow(label, box);
    return box;
}

QComboBox* OperationDialog::AddSlotBox(QFormLayout* form, const QString& label, int slot) {
    auto* box = new QComboBox(this);
    auto& list = ctrl_.List();
    for (int i = 0; i < list.GetSize(); ++i) {
        Kedra::Measure::Measurement* m = list.No(i);
        if (m == nullptr || !m->IsInitialized())
            continue;
        QString text = QString("%1: %2").arg(i).arg(QString::fromStdString(m->GetLabel()));
        for (int p = MainCtrl::PRESENTER_A; p <= MainCtrl::PRESENTER_C; ++p)
            if (ctrl_.PresenterSlot(p) == i)
                text += QString(" (%1)").arg(QChar('A' + p));
        box->addItem(text, i);
    }
    const int at = box->findData(slot);
    if (at >= 0)
        box->setCurrentIndex(at);
    for (QComboBox*& s : slots_)
        if (s == nullptr) {
            s = box;
            break;
        }
    form->addRow(label, box);
    return box;
}

QComboBox* OperationDialog::SlotBox(int which) const {
    return which >= 0 && which < 3 ? slots_[which] : nullptr;
}

QDoubleSpinBox* OperationDialog::Number(int which) const {
    return which >= 0 && which < 7 ? numbers_[which] : nullptr;
}

int OperationDialog::ChosenSlot(int which) const {
    QComboBox* box = SlotBox(which);
    return box != nullptr && box->currentIndex() >= 0 ? box->currentData().toInt() : -1;
}

bool OperationDialog::Run() {
    Remembered& last = Last();
    result_.clear();
    switch (operation_) {
    case Operation::Combine:
        last.combine = operator_->currentIndex();
        return ctrl_.Action_MeasOperationABC(OPERATORS[last.combine]);
    case Operation::Invert:
        return ctrl_.Action_MeasOperationAB();
    case Operation::Match:
        last.matchFc = numbers_[0]->value();
        last.matchBw = numbers_[1]->value();
        last.matchTime = flag_->isChecked();
        return ctrl_.Action_MatchAToB(last.matchFc, last.matchBw, last.matchTime);
    case Operation::Stitch:
        last.stitchFc = numbers_[0]->value();
        last.stitchBw = numbers_[1]->value();
        last.stitchTime = flag_->isChecked();
        return applied_
                   ? ctrl_.Action_AbcStitchUpdate(last.stitchFc, last.stitchBw, last.stitchTime)
                   : ctrl_.Action_AbcStitch(last.stitchFc, last.stitchBw, last.stitchTime);
    case Operation::MinimumPhase: {
        const int slot = ChosenSlot(0);
        last.causal = flag_->isChecked();
        for (int p = MainCtrl::PRESENTER_A; p <= MainCtrl::PRESENTER_C; ++p)
            if (ctrl_.PresenterSlot(p) == slot)
                last.minPhasePresenter = p;
        return slot >= 0 && ctrl_.Action_MinimumPhase(slot, last.causal);
    }
    case Operation::QBox:
        last.qboxFrom = numbers_[0]->value();
        last.qboxTo = numbers_[1]->value();
        if (!(applied_ ? ctrl_.Action_QBoxUpdate(last.qboxFrom, last.qboxTo)
                       : ctrl_.Action_QBox(last.qboxFrom, last.qboxTo)))
            return false;
        result_ = tr("Qtc = %1\nFb = %2 Hz\ngain = %3")
                      .arg(QString::fromStdString(Kedra::Text::FormatFixed(ctrl_.LastQ(), 3)))
                      .arg(QString::fromStdString(Kedra::Text::FormatFixed(ctrl_.LastFc(), 1)))
                      .arg(QString::fromStdString(Kedra::Text::FormatFixed(ctrl_.LastGain(), 4)));
        return true;
    case Operation::MicCalibration: {
        Conf::MakeMicCalOptions& mic = Conf::Options::Field.MakeMicCal;
        if (ChosenSlot(0) < 0 || ChosenSlot(1) < 0 || ChosenSlot(2) < 0)
            return false;
        mic.refCalSlot = ChosenSlot(0);
        mic.refLowSlot = ChosenSlot(1);
        mic.refHighSlot = ChosenSlot(2);
        mic.winHighcm = numbers_[0]->value();
        mic.winMidcm = numbers_[1]->value();
        mic.winLowcm = numbers_[2]->value();
        mic.stitchHighCenter = numbers_[3]->value();
        mic.stitchHighWidth = numbers_[4]->value();
        mic.stitchLowCenter = numbers_[5]->value();
        mic.stitchLowWidth = numbers_[6]->value();
        return ctrl_.Action_AbcCalib();
    }
    }
    return false;
}

QString OperationDialog::RefusalText() const {
    return refusal_->text();
}

void OperationDialog::ShowRefusal() {
    QStringList reasons;
    for (QDoubleSpinBox* n : numbers_)
        if (auto* box = qobject_cast<CheckedSpinBox*>(n); box != nullptr && !box->Acceptable())
            reasons << tr("%1: %2").arg(box->accessibleName(), box->Refusal());
    refusal_->setText(reasons.join("; "));
}

bool OperationDialog::Execute() {
    // A refused value stays as typed, to be corrected; nothing runs meanwhile.
    ShowRefusal();
    if (!refusal_->text().isEmpty())
        return false;
    if (operation_ == Operation::QBox && !(numbers_[1]->value() > numbers_[0]->value())) {
        ctrl_.Front().ShowMessage(MessageKind::Warning, "Sonvel Warning",
                                  "The fit needs a lower frequency below the upper one");
        return false;
    }
    auto* gui = dynamic_cast<GuiFrontEnd*>(&ctrl_.Front());
    const auto told = gui != nullptr ? gui->Messages().size() : 0;
    const int declines = ctrl_.ReplaceDeclines();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool ok = Run();
    QApplication::restoreOverrideCursor();
    if (!ok) {
        // Cancelled by the user, who needs no reason; else said once.
        if (ctrl_.ReplaceDeclines() == declines &&
            (gui == nullptr || gui->Messages().size() == told))
            ctrl_.Front().ShowMessage(MessageKind::Warning, "Sonvel Warning", Refusal(operation_));
        return false;
    }
    applied_ = true;
    return true;
}

void OperationDialog::accept() {
    ShowRefusal();
    if (!refusal_->text().isEmpty())
        return;
    if (!Execute()) {
        // The fit's frequencies are corrected in the dialog; any other refusal closes it.
        if (operation_ == Operation::QBox && !(numbers_[1]->value() > numbers_[0]->value()))
            return;
        QDialog::reject();
        return;
    }
    if (!result_.isEmpty())
        ctrl_.Front().ShowMessage(MessageKind::Information, Title(operation_).toStdString(),
                                  result_.toStdString());
    QDialog::accept();
}

} // namespace Kedra::Sonvel::Gui
