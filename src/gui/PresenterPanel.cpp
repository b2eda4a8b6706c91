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
#include <cmath>

#include "app/MainCtrl.h"
#include "gui/MeasurementTableModel.h"
#include "measure/Measurement.h"

namespace Kedra::Sonvel::Gui {

using Kedra::Measure::Measurement;

namespace {

const int OCTAVES[] = {1, 2, 3, 6, 12, 24, 48};

QDoubleSpinBox* Spin(double min, double max, int decimals, const QString& suffix, QWidget* parent) {
    auto* s = new QDoubleSpinBox(parent);
    s->setRange(min, max);
    s->setDecimals(decimals);
    s->setSuffix(suffix);
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
    visible_->setToolTip(tr("Show this presenter's curve"));
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
    windowEnd_ = Spin(0.0, 10000.0, 2, tr(" ms"), this);
    windowEnd_->setToolTip(tr("Window end, relative to the impulse"));
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
    highpass_->setToolTip(tr("View filter: high-pass below this frequency"));
    grid->addWidget(lowpass_, 4, 0);
    grid->addWidget(lowpassHz_, 4, 1);
    grid->addWidget(highpass_, 5, 0);
    grid->addWidget(highpassHz_, 5, 1);

    invert_ = new QCheckBox(tr("Invert"), this);
    level_ = Spin(-120.0, 120.0, 2, tr(" dB"), this);
    level_->setToolTip(tr("Level of the curve"));
    grid->addWidget(invert_, 4, 2, 1, 2);
    grid->addWidget(new QLabel(tr("Level"), this), 5, 2);
    grid->addWidget(level_, 5, 3);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);

    SetColour(colour);

    connect(visible_, &QCheckBox::toggled, this,
            [this](bool on) { emit visibleToggled(presenter_, on); });
    connect(slot_, &QComboBox::activated, this, [this](int item) {
        const int slot = slot_->itemData(item).toInt();
        ctrl_.SetPresenterSlot(presenter_, slot);
        emit slotChosen(presenter_, slot);
    });
    connect(label_, &QLineEdit::editingFinished, this, [this] {
        const QString text = label_->text().trimmed();
        Measurement* m = Record();
        if (m == nullptr || text.isEmpty() || text.toStdString() == m->GetLabel())
            return;
        Edit([&](Measurement& r) { r.SetLabel(text.toStdString()); });
    });
    const auto samples = [this](double ms) {
        Measurement* m = Record();
        return static_cast<int>(
            std::lround(ms * (m != nullptr ? m->GetSamplerate() : 48000) / 1000.0));
    };
    connect(window_, &QCheckBox::toggled, this,
            [this](bool on) { Edit([&](Measurement& r) { r.SetImpulseWindowEnabled(on); }); });
    connect(windowStart_, &QDoubleSpinBox::valueChanged, this, [this, samples](double ms) {
        Edit([&](Measurement& r) { r.SetImpulseWindowStart(samples(ms), true); });
    });
    connect(windowEnd_, &QDoubleSpinBox::valueChanged, this, [this, samples](double ms) {
        Edit([&](Measurement& r) { r.SetImpulseWindowEnd(samples(ms)); });
    });
    connect(smoothing_, &QCheckBox::toggled, this,
            [this](bool on) { Edit([&](Measurement& r) { r.SetSmoothingEnabled(on); }); });
    connect(octave_, &QComboBox::activated, this, [this](int item) {
        const double n = octave_->itemData(item).toDouble();
        Edit([&](Measurement& r) { r.SetSmoothNOct(n); });
    });
    connect(smoothingKind_, &QComboBox::activated, this,
            [this](int item) { Edit([&](Measurement& r) { r.SetSmoothingComplex(item == 0); }); });
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
    connect(lowpassHz_, &QDoubleSpinBox::valueChanged, this, applyLowpass);
    connect(highpass_, &QCheckBox::toggled, this, applyHighpass);
    connect(highpassHz_, &QDoubleSpinBox::valueChanged, this, applyHighpass);
    connect(invert_, &QCheckBox::toggled, this, [this](bool on) {
        Edit([&](Measurement& r) {
            if (r.GetInverted() != on)
                r.Invert();
        });
    });
    connect(level_, &QDoubleSpinBox::valueChanged, this, [this](double db) {
        Edit([&](Measurement& r) {
            const double sign = r.GetAmplitude() < 0.0 ? -1.0 : 1.0;
            r.AmplifyAbsolute(sign * std::pow(10.0, db / 20.0));
        });
    });
    Refresh();
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
    return visible_->isChecked();
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
    Measurement* m = Record();
    const bool filled = m != nullptr && m->IsInitialized();
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
