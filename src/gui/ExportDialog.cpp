#include "gui/ExportDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <cmath>

namespace Kedra::Sonvel::Gui {

namespace {

// A decimal comma is read as a point; anything else that is not a whole number is refused.
bool ReadNumber(const QLineEdit* field, double& value) {
    QString text = field->text().trimmed();
    text.replace(',', '.');
    bool ok = false;
    value = QLocale::c().toDouble(text, &ok);
    return ok && std::isfinite(value);
}

} // namespace

ExportDialog::ExportDialog(const QString& kind, const QString& label, double halfRate,
                           QWidget* parent)
    : QDialog(parent), halfRate_(halfRate) {
    setWindowTitle(tr("Export %1 of %2").arg(kind, label));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    layout->addLayout(form);
    if (kind == "response") {
        from_ = new QLineEdit(QString::number(0), this);
        to_ = new QLineEdit(QString::number(halfRate), this);
        from_->setObjectName("from");
        to_->setObjectName("to");
        const QString allowed = tr("Allowed: 0 .. %1 Hz").arg(halfRate);
        from_->setToolTip(allowed);
        to_->setToolTip(allowed);
        form->addRow(tr("From [Hz]"), from_);
        form->addRow(tr("To [Hz]"), to_);
        auto* perPoint = new QRadioButton(tr("One line per point (Freq, dB, phase)"), this);
        oneLine_ = new QRadioButton(tr("One line (Freq, dB, phase) - OrCAD PSpice "), this);
        oneLine_->setObjectName("oneLine");
        perPoint->setChecked(true);
        form->addRow(tr("Format"), perPoint);
        form->addRow(QString(), oneLine_);
        connect(from_, &QLineEdit::textChanged, this, &ExportDialog::Check);
        connect(to_, &QLineEdit::textChanged, this, &ExportDialog::Check);
    } else {
        sampleNumbers_ = new QCheckBox(tr("Sample numbers in the first column"), this);
        sampleNumbers_->setObjectName("sampleNumbers");
        form->addRow(tr("Columns"), sampleNumbers_);
    }
    why_ = new QLabel(this);
    why_->setObjectName("why");
    why_->setStyleSheet("color: #b00000");
    why_->setWordWrap(true);
    // Room for the reason from the start, so that the fields do not move under the mouse.
    why_->setMinimumHeight(2 * fontMetrics().height());
    layout->addWidget(why_);
    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons_->button(QDialogButtonBox::Ok)->setText(tr("Export..."));
    layout->addWidget(buttons_);
    connect(buttons_, &QDialogButtonBox::accepted, this, &ExportDialog::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &ExportDialog::reject);
    Check();
}

ExportChoices ExportDialog::Choices() const {
    ExportChoices c;
    if (from_ != nullptr) {
        ReadNumber(from_, c.fromHz);
        ReadNumber(to_, c.toHz);
        c.oneLine = oneLine_->isChecked();
    }
    if (sampleNumbers_ != nullptr)
        c.sampleNumbers = sampleNumbers_->isChecked();
    return c;
}

void ExportDialog::Check() {
    refusal_.clear();
    if (from_ != nullptr) {
        double from = 0.0;
        double to = 0.0;
        const QString allowed = tr("allowed: 0 .. %1 Hz").arg(halfRate_);
        if (!ReadNumber(from_, from))
            refusal_ = tr("From is not a number");
        else if (!ReadNumber(to_, to))
            refusal_ = tr("To is not a number");
        else if (from < 0.0 || from > halfRate_)
            refusal_ = tr("From is out of range (%1)").arg(allowed);
        else if (to < 0.0 || to > halfRate_)
            refusal_ = tr("To is out of range (%1)").arg(allowed);
        else if (!(from < to))
            refusal_ = tr("From must lie below To");
    }
    why_->setText(refusal_);
    buttons_->button(QDialogButtonBox::Ok)->setEnabled(refusal_.isEmpty());
}

void ExportDialog::accept() {
    Check();
    if (refusal_.isEmpty())
        QDialog::accept();
}

} // namespace Kedra::Sonvel::Gui
