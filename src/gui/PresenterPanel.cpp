#include "gui/PresenterPanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QSignalBlocker>
#include <cmath>

#include "app/MainCtrl.h"
#include "gui/CheckedSpinBox.h"
#include "gui/MeasurementTableModel.h"
#include "measure/Measurement.h"

namespace Kedra::Sonvel::Gui {

using Kedra::Measure::Measurement;

namespace {

const int OCTAVES[] = {1, 2, 3, 6, 12, 24, 48};

CheckedSpinBox* Spin(double min, double max, int decimals, const QString& suffix, QWidget* parent) {
    auto* s = new CheckedSpinBox(min, max, decimals, suffix, parent);
    // A value is applied when it is complete, not at every typed digit.
    s->setKeyboardTracking(false);
    s->setAccelerated(true);
    return s;
}

} // namespace

PresenterPanel::PresenterPanel(MainCtrl& ctrl, int presenter, const QColor& colour, QWidget* parent)
    : QGroupBox(parent), ctrl_(ctrl), presenter_(presenter) {
    setAcceptDrops(true);
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(6, 4, 6, 4);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(3);

    auto* head = new QHBoxLayout;
    swatch_ = new QLabel(this);
    swatch_->setFixedSize(28, 14);
    visible_ = new QCheckBox(QString(QChar('A' + presenter)), this);
    QFont bold = visible_->font();
    bold.setBold(true);
    visible_->setFont(bold);
    visible_->setChecked(true);
    visible_->setToolTip(tr("Draw the slot this presenter shows (the list's Shown)"));
    slot_ = new QComboBox(this);
    slot_->setToolTip(tr("The slot of the list this presenter shows"));
    slot_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    slot_->setMinimumContentsLength(14);
    head->addWidget(visible_);
    head->addWidget(swatch_);
    head->addWidget(slot_, 1);
    grid->addLayout(head, 0, 0, 1, 4);

    label_ = new QLineEdit(this);
    label_->setPlaceholderText(tr("Label"));
    label_->setToolTip(tr("The measurement's label (Enter renames it)"));
    grid->addWidget(label_, 1, 0, 1, 4);

    window_ = new QCheckBox(tr("Window"), this);
    window_->setToolTip(tr("Impulse window on the frequency response"));
    windowStart_ = Spin(-10000.0, 0.0, 2, tr(" ms"), this);
    windowStart_->setToolTip(tr("Window start, relative to the impulse"));
    windowStart_->setAccessibleName(tr("Window start"));
    windowEnd_ = Spin(0.0, 10000.0, 2, tr(" ms"), this);
    windowEnd_->setToolTip(tr("Window end, relative to the impulse"));
    windowEnd_->setAccessibleName(tr("Window end"));
    grid->addWidget(window_, 2, 0);
    grid->addWidget(windowStart_, 2, 1);
    grid->addWidget(new QLabel(tr("to"), this), 2, 2);
    grid->addWidget(windowEnd_, 2, 3);

    smoothing_ = new QCheckBox(tr("Smooth"), this);
    smoothing_->setToolTip(tr("Fractional-octave smoothing"));
    octave_ = new QComboBox(this);
    for (int n : OCTAVES)
        octave_->addItem(tr("1/%1 oct").arg(n), n);
    smoothingKind_ = new QComboBox(this);
    smoothingKind_->addItem(tr("Complex"));
    smoothingKind_->addItem(tr("Magnitude"));
    grid->addWidget(smoothing_, 3, 0);
    grid->addWidget(octave_, 3, 1);
    grid->addWidget(smoothingKind_, 3, 2, 1, 2);

    lowpass_ = new QCheckBox(tr("Low-pass"), this);
    lowpassHz_ = Spin(1.0, 96000.0, 0, tr(" Hz"), this);
    highpass_ = new QCheckBox(tr("High-pass"), this);
    highpassHz_ = Spin(1.0, 96000.0, 0, tr(" Hz"), this);
    lowpass_->setToolTip(tr("View filter: low-pass from this frequency"));
    lowpassHz_->setAccessibleName(tr("Low-pass"));
    highpassHz_->setAccessibleName(tr("High-pass"));
    highpass_->setToolTip(tr("View filter: high-pass below this frequency"));
    grid->addWidget(lowpass_, 4, 0);
    grid->addWidget(lowpassHz_, 4, 1);
    grid->addWidget(highpass_, 5, 0);
    grid->addWidget(highpassHz_, 5, 1);

    invert_ = new QCheckBox(tr("Invert"), this);
    level_ = Spin(-120.0, 120.0, 2, tr(" dB"), this);
    level_->setToolTip(tr("Level of the curve"));
    level_->setAccessibleName(tr("Level"));
    grid->addWidget(invert_, 4, 2, 1, 2);
    grid->addWidget(new QLabel(tr("Level"), this), 5, 2);
    grid->addWidget(level_, 5, 3);
    // One line for the reason a field refused its value, its room kept.
    refusal_ = RefusalLabel(this);
    refusal_->setObjectName("refusal");
    refusal_->setWordWrap(true);
    grid->addWidget(refusal_, 6, 0, 1, 4);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);

    SetColour(colour);

    // The slot's shown flag itself: the controller tells the window, which redraws.
    connect(visible_, &QCheckBox::toggled, this, [this](bool on) {
        if (refreshing_)
            return;
        ctrl_.SetSlotShown(ctrl_.PresenterSlot(presenter_), on);
        emit visibleToggled(presenter_, on);
    });
    connect(slot_, &QComboBox::activated, this, [this](int item) {
        const int slot = slot_->itemData(item).toInt();
        ctrl_.SetPresenterSlot(presenter_, slot);
        emit slotChosen(presenter_, slot);
    });
    connect(label_, &QLineEdit::editingFinished, this, [this] {
        Measurement* m = Record();
        if (refreshing_ || m == nullptr || !m->IsInitialized() ||
            label_->text().trimmed().toStdString() == m->GetLabel())
            return;
        // The controller tells every view; an empty label is refused and the old one shown.
        if (!ctrl_.Action_Rename(ctrl_.PresenterSlot(presenter_), label_->text().toStdString()))
            label_->setText(QString::fromStdString(m->GetLabel()));
    });
    const auto samples = [this](double ms) {
        Measurement* m = Record();
        return static_cast<int>(
            std::lround(ms * (m != nullptr ? m->GetSamplerate() : 48000) / 1000.0));
    };
    connect(window_, &QCheckBox::toggled, this,
            [this](bool on) { Edit([&](Measurement& r) { r.SetImpulseWindowEnabled(on); }); });
    connect(windowStart_, &CheckedSpinBox::accepted, this, [this, samples](double ms) {
        Edit([&](Measurement& r) { r.SetImpulseWindowStart(samples(ms), true); });
    });
    connect(windowEnd_, &CheckedSpinBox::accepted, this, [this, samples](double ms) {
        Edit([&](Measurement& r) { r.SetImpulseWindowEnd(samples(ms)); });
    });
    connect(smoothing_, &QCheckBox::toggled, this,
            [this](bool on) { Edit([&](Measurement& r) { r.SetSmoothingEnabled(on); }); });
    // Choosing how to smooth asks for smoothing: it is switched on with the choice.
    connect(octave_, &QComboBox::activated, this, [this](int item) {
        const double n = octave_->itemData(item).toDouble();
        Edit([&](Measurement& r) {
            r.SetSmoothNOct(n);
            r.SetSmoothingEnabled(true);
        });
        const QSignalBlocker quiet(smoothing_);
        smoothing_->setChecked(true);
    });
    connect(smoothingKind_, &QComboBox::activated, this, [this](int item) {
        Edit([&](Measurement& r) {
            r.SetSmoothingComplex(item == 0);
            r.SetSmoothingEnabled(true);
        });
        const QSignalBlocker quiet(smoothing_);
        smoothing_->setChecked(true);
    });
    const auto applyLowpass = [this] {
        Edit([&](Measurement& r) {
            const double f = lowpassHz_->value();
            r.SetLowpass(f, f / 2.0);
            r.SetLowpassEnabled(lowpass_->isChecked());
        });
    };
    const auto applyHighpass = [this] {
        Edit([&](Measurement& r) {
            const double f = highpassHz_->value();
            r.SetHighpass(f, f / 2.0);
            r.SetHighpassEnabled(highpass_->isChecked());
        });
    };
    connect(lowpass_, &QCheckBox::toggled, this, applyLowpass);
    connect(lowpassHz_, &CheckedSpinBox::accepted, this, applyLowpass);
    connect(highpass_, &QCheckBox::toggled, this, applyHighpass);
    connect(highpassHz_, &CheckedSpinBox::accepted, this, applyHighpass);
    connect(invert_, &QCheckBox::toggled, this, [this](bool on) {
        Edit([&](Measurement& r) {
            if (r.GetInverted() != on)
                r.Invert();
        });
    });
    connect(level_, &CheckedSpinBox::accepted, this, [this](double db) {
        Edit([&](Measurement& r) {
            const double sign = r.GetAmplitude() < 0.0 ? -1.0 : 1.0;
            r.AmplifyAbsolute(sign * std::pow(10.0, db / 20.0));
        });
    });
    for (CheckedSpinBox* box : {windowStart_, windowEnd_, lowpassHz_, highpassHz_, level_})
        connect(box, &CheckedSpinBox::refusalChanged, this, [this] { ShowRefusal(); });
    Refresh();
}

void PresenterPanel::ShowRefusal() {
    // The field the user is in first; a refused value is left as typed for correcting.
    QString text;
    for (CheckedSpinBox* box : {windowStart_, windowEnd_, lowpassHz_, highpassHz_, level_})
        if (!box->Refusal().isEmpty() && (text.isEmpty() || box->hasFocus()))
            text = tr("%1 not applied: %2").arg(box->accessibleName(), box->Refusal());
    refusal_->setText(text);
}

QString PresenterPanel::RefusalText() const {
    return refusal_->text();
}

Measurement* PresenterPanel::Record() const {
    return ctrl_.Presenter(presenter_);
}

template <class F>
void PresenterPanel::Edit(F&& change) {
    if (refreshing_)
        return;
    Measurement* m = Record();
    if (m == nullptr || !m->IsInitialized())
        return;
    change(*m);
    emit viewEdited(presenter_);
}

bool PresenterPanel::CurveVisible() const {
    return ctrl_.SlotShown(ctrl_.PresenterSlot(presenter_));
}

void PresenterPanel::SetColour(const QColor& colour) {
    swatch_->setStyleSheet(
        QString("background: %1; border: 1px solid palette(mid);").arg(colour.name()));
}

void PresenterPanel::Refresh() {
    refreshing_ = true;
    const int current = ctrl_.PresenterSlot(presenter_);
    slot_->clear();
    auto& list = ctrl_.List();
    for (int i = 0; i < list.GetSize(); ++i) {
        Measurement* m = list.No(i);
        if (m == nullptr || (!m->IsInitialized() && i != current))
            continue;
        slot_->addItem(QString("%1: %2").arg(i).arg(QString::fromStdString(m->GetLabel())), i);
        if (i == current)
            slot_->setCurrentIndex(slot_->count() - 1);
    }
    const Conf::Color colour = ctrl_.SlotColour(current);
    SetColour(QColor(colour.R, colour.G, colour.B));
    Measurement* m = Record();
    const bool filled = m != nullptr && m->IsInitialized();
    // An empty slot draws nothing whatever its flag says; what arrives there is shown.
    visible_->setChecked(filled && ctrl_.SlotShown(current));
    visible_->setEnabled(filled);
    for (QWidget* w : std::initializer_list<QWidget*>{
             label_, window_, windowStart_, windowEnd_, smoothing_, octave_, smoothingKind_,
             lowpass_, lowpassHz_, highpass_, highpassHz_, invert_, level_})
        w->setEnabled(filled);
    // An empty slot's settings mean nothing: its fields show a dash.
    for (QDoubleSpinBox* box : {windowStart_, windowEnd_, lowpassHz_, highpassHz_, level_}) {
        box->setSpecialValueText(filled ? QString() : QStringLiteral("-"));
        if (!filled)
            box->setValue(box->minimum());
    }
    if (!filled) {
        for (QCheckBox* box : {window_, smoothing_, lowpass_, highpass_, invert_})
            box->setChecked(false);
        label_->clear();
        label_->setPlaceholderText(m != nullptr ? QString::fromStdString(m->GetLabel())
                                                : QString());
    }
    if (filled) {
        label_->setText(QString::fromStdString(m->GetLabel()));
        const double msPerSample = 1000.0 / std::max(1, m->GetSamplerate());
        window_->setChecked(m->GetImpulseWindowEnabled());
        windowStart_->setValue(m->GetImpulseWindowStart() * msPerSample);
        windowEnd_->setValue(m->GetImpulseWindowEnd() * msPerSample);
        windowStart_->setSingleStep(std::max(0.01, msPerSample * 10.0));
        windowEnd_->setSingleStep(std::max(0.01, msPerSample * 10.0));
        // What the record allows: a window within its impulse, filters below Nyquist.
        const double halfMs = m->GetNHalf() * msPerSample;
        windowStart_->SetAllowed(-halfMs, 0.0);
        windowEnd_->SetAllowed(0.0, halfMs);
        lowpassHz_->SetAllowed(1.0, m->GetSamplerate() / 2.0);
        highpassHz_->SetAllowed(1.0, m->GetSamplerate() / 2.0);
        smoothing_->setChecked(m->GetSmoothingEnabled());
        int best = 0;
        for (int i = 0; i < octave_->count(); ++i)
            if (std::abs(octave_->itemData(i).toDouble() - m->GetSmoothNOct()) <
                std::abs(octave_->itemData(best).toDouble() - m->GetSmoothNOct()))
                best = i;
        octave_->setCurrentIndex(best);
        smoothingKind_->setCurrentIndex(m->GetSmoothingComplex() ? 0 : 1);
        lowpass_->setChecked(m->GetLowpassEnabled());
        lowpassHz_->setValue(m->GetLowpassStart());
        highpass_->setChecked(m->GetHighpassEnabled());
        highpassHz_->setValue(m->GetHighpassStart());
        invert_->setChecked(m->GetInverted());
        const double a = std::abs(m->GetAmplitude());
        level_->setValue(a > 0.0 ? 20.0 * std::log10(a) : 0.0);
    }
    refreshing_ = false;
}

void PresenterPanel::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasFormat(SLOT_MIME_TYPE))
        event->acceptProposedAction();
}

void PresenterPanel::dropEvent(QDropEvent* event) {
    bool ok = false;
    const int slot = event->mimeData()->data(SLOT_MIME_TYPE).toInt(&ok);
    if (!ok)
        return;
    event->acceptProposedAction();
    ctrl_.SetPresenterSlot(presenter_, slot);
    emit slotChosen(presenter_, slot);
}

} // namespace Kedra::Sonvel::Gui
