#include "gui/CheckedSpinBox.h"

#include <QFontMetrics>
#include <QLabel>
#include <QSizePolicy>
#include <algorithm>

namespace Kedra::Sonvel::Gui {

namespace {

// The box's own range: wide enough for anything typed on purpose, so that the box never
// clamps; the allowed range is the check.
constexpr double TECHNICAL_REACH = 1e9;

} // namespace

QString AllowedText(double low, double high, const QString& suffix) {
    return QObject::tr("Allowed: %1 .. %2%3").arg(low).arg(high).arg(suffix);
}

QLabel* RefusalLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setStyleSheet("QLabel { color: #c00000; }");
    label->setMinimumHeight(label->fontMetrics().height());
    QSizePolicy policy = label->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    label->setSizePolicy(policy);
    return label;
}

CheckedSpinBox::CheckedSpinBox(double low, double high, int decimals, const QString& suffix,
                               QWidget* parent)
    : QDoubleSpinBox(parent), low_(low), high_(high) {
    setDecimals(decimals);
    setRange(-TECHNICAL_REACH, TECHNICAL_REACH);
    setSuffix(suffix);
    connect(this, &QDoubleSpinBox::valueChanged, this, [this] { Check(); });
}

void CheckedSpinBox::SetAllowed(double low, double high) {
    if (low == low_ && high == high_)
        return;
    low_ = low;
    high_ = high;
    updateGeometry();
    Check();
}

bool CheckedSpinBox::Acceptable() const {
    const bool none = !specialValueText().isEmpty() && value() == minimum();
    return !none && value() >= low_ && value() <= high_;
}

QString CheckedSpinBox::Refusal() const {
    const bool none = !specialValueText().isEmpty() && value() == minimum();
    return none || Acceptable() ? QString() : AllowedText(low_, high_, suffix());
}

void CheckedSpinBox::Check() {
    const QString reason = Refusal();
    // A style sheet costs a polish of the box: set only when the state flips.
    if (reason.isEmpty() == marked_) {
        marked_ = !reason.isEmpty();
        setStyleSheet(marked_ ? QStringLiteral("QDoubleSpinBox { border: 1px solid #c00000; "
                                               "background: #fff0f0; }")
                              : QString());
    }
    emit refusalChanged(reason);
    if (Acceptable())
        emit accepted(value());
}

int CheckedSpinBox::WidthSaving() const {
    const QFontMetrics fm(font());
    const auto widest = [&](double a, double b) {
        return std::max(fm.horizontalAdvance(textFromValue(a)),
                        fm.horizontalAdvance(textFromValue(b)));
    };
    return std::max(0, widest(minimum(), maximum()) - widest(low_, high_));
}

QSize CheckedSpinBox::sizeHint() const {
    QSize s = QDoubleSpinBox::sizeHint();
    s.setWidth(s.width() - WidthSaving());
    return s;
}

QSize CheckedSpinBox::minimumSizeHint() const {
    QSize s = QDoubleSpinBox::minimumSizeHint();
    s.setWidth(std::max(0, s.width() - WidthSaving()));
    return s;
}

} // namespace Kedra::Sonvel::Gui
