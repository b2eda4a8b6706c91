#pragma once
// The choices of one text export before its file is chosen: a response's frequency range and
// format (one line per point, or the circuit simulators' one-line list), an impulse's
// sample-number column. The rest comes from the import/export options. A range the
// measurement cannot give is refused at its field, with the reason under it. GUI thread only.

#include <QDialog>
#include <QString>

#include "app/MainCtrl.h"

class QCheckBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QRadioButton;

namespace Kedra::Sonvel::Gui {

class ExportDialog : public QDialog {
    Q_OBJECT
public:
    // `kind` "response" or "impulse"; `halfRate` is half the measurement's sample rate, the
    // top of its response.
    ExportDialog(const QString& kind, const QString& label, double halfRate,
                 QWidget* parent = nullptr);

    // What the fields say now; only meaningful while Refusal() is empty.
    ExportChoices Choices() const;
    // Why the fields cannot be used, or empty.
    QString Refusal() const { return refusal_; }

    QLineEdit* FromField() const { return from_; }
    QLineEdit* ToField() const { return to_; }
    QRadioButton* OneLineButton() const { return oneLine_; }
    QCheckBox* SampleNumbersBox() const { return sampleNumbers_; }

public slots:
    void accept() override;

private:
    void Check();

    double halfRate_;
    QLineEdit* from_ = nullptr;
    QLineEdit* to_ = nullptr;
    QRadioButton* oneLine_ = nullptr;
    QCheckBox* sampleNumbers_ = nullptr;
    QLabel* why_ = nullptr;
    QDialogButtonBox* buttons_ = nullptr;
    QString refusal_;
};

} // namespace Kedra::Sonvel::Gui
