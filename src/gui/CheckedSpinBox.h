#pragma once
// A number field whose allowed range is checked, not enforced: whatever number is typed stays
// as typed, and one outside the range is refused with a reason instead of being clamped or
// losing keystrokes on the way (a plain spin box turns 99999 typed into its maximum, or drops
// the minus of -50). Whole numbers are the same box with no decimals. GUI thread only.
//
// The reason goes to a refusal label (RefusalLabel) that keeps its room while empty, so that
// the fields around it do not move when it appears.

#include <QDoubleSpinBox>
#include <QString>

class QLabel;

namespace Kedra::Sonvel::Gui {

class CheckedSpinBox : public QDoubleSpinBox {
    Q_OBJECT
public:
    CheckedSpinBox(double low, double high, int decimals, const QString& suffix = {},
                   QWidget* parent = nullptr);

    void SetAllowed(double low, double high);
    double Low() const { return low_; }
    double High() const { return high_; }
    // Whether the box holds a value (not its "-" for none) that lies in the allowed range.
    bool Acceptable() const;
    // Why the value is refused ("Allowed: 1 .. 96000 Hz"); empty when it is not.
    QString Refusal() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    // A value inside the allowed range was entered (typed and confirmed, stepped or set).
    void accepted(double value);
    // The box's refusal changed: the reason, or empty once its value is allowed again.
    void refusalChanged(const QString& reason);

private:
    void Check();
    // The width the allowed range needs less the width of the box's technical range.
    int WidthSaving() const;

    double low_;
    double high_;
    bool marked_ = false; // drawn as refused
};

// "Allowed: low .. high unit".
QString AllowedText(double low, double high, const QString& suffix);
// The red line a refusal is shown on, with its room kept while it is empty.
QLabel* RefusalLabel(QWidget* parent = nullptr);

} // namespace Kedra::Sonvel::Gui
