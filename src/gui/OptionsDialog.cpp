#include "gui/OptionsDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <type_traits>

#include "app/AudioHelper.h"
#include "app/MainCtrl.h"
#include "app/Options.h"
#include "audio/Devices.h"
#include "audio/SimulatedSoundCard.h"
#include "gui/CheckedSpinBox.h"
#include "gui/ColourButton.h"

namespace Kedra::Sonvel::Gui {

namespace {

namespace PA = Kedra::PAudioII;

constexpr int RATE_COUNT = 6;
constexpr int OUTPUT_CHANNELS = 4;
const char* const CHANNEL_NAMES[] = {"Left", "Right", "Channel 3", "Channel 4"};

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

// Selects the item holding `value`; a value no item holds gets an item of its own, so that
// an unchanged choice keeps it.
void Select(QComboBox* box, int value, const QString& unknown) {
    int index = box->findData(value);
    if (index < 0) {
        box->addItem(unknown.arg(value), value);
        index = box->count() - 1;
    }
    box->setCurrentIndex(index);
}

void SetItemEnabled(QComboBox* box, int index, bool on) {
    if (auto* model = qobject_cast<QStandardItemModel*>(box->model()))
        if (QStandardItem* item = model->item(index))
            item->setEnabled(on);
}

Conf::Color ToColor(const QColor& c) {
    return {static_cast<std::uint8_t>(c.red()), static_cast<std::uint8_t>(c.green()),
            static_cast<std::uint8_t>(c.blue()), static_cast<std::uint8_t>(c.alpha())};
}

} // namespace

struct OptionsDialog::Binding {
    std::function<void(Conf::OptionsField&)> load;
    // Writes the widget's value into the record, or adds why it cannot.
    std::function<void(Conf::OptionsField&, Refusals&)> store;
};

OptionsDialog::OptionsDialog(MainCtrl& ctrl, std::function<bool()> measuring, QWidget* parent)
    : QDialog(parent), ctrl_(ctrl), measuring_(std::move(measuring)) {
    setWindowTitle(tr("Options"));
    setMinimumSize(960, 660);

    pageList_ = new QListWidget(this);
    pageList_->setFixedWidth(130);
    pageList_->setSpacing(2);
    pages_ = new QStackedWidget(this);
    connect(pageList_, &QListWidget::currentRowChanged, pages_, &QStackedWidget::setCurrentIndex);

    BuildDevices();
    BuildSignal();
    BuildAnalysis();
    BuildPlot();
    BuildImExport();
    BuildFilter();
    BuildMisc();
    for (int p = 0; p < pages_->count(); ++p)
        AlignLabels(static_cast<QScrollArea*>(pages_->widget(p))->widget());

    notice_ = new QLabel(this);
    notice_->setWordWrap(true);
    notice_->setStyleSheet("QLabel { color: #b00000; font-weight: bold; }");
    notice_->setVisible(false);

    auto* buttons =
        new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                                 QDialogButtonBox::Apply | QDialogButtonBox::RestoreDefaults,
                             this);
    buttons->button(QDialogButtonBox::RestoreDefaults)->setText(tr("Reset to defaults"));
    connect(buttons, &QDialogButtonBox::accepted, this, &OptionsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &OptionsDialog::reject);
    connect(buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this,
            [this] { Apply(); });
    connect(buttons->button(QDialogButtonBox::RestoreDefaults), &QPushButton::clicked, this,
            &OptionsDialog::ResetToDefaults);

    auto* body = new QHBoxLayout;
    body->addWidget(pageList_);
    body->addWidget(pages_, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(body, 1);
    layout->addWidget(notice_);
    layout->addWidget(buttons);

    Load(Conf::Options::Field);
    pageList_->setCurrentRow(0);
}

OptionsDialog::~OptionsDialog() = default;

QWidget* OptionsDialog::AddPage(const QString& name, int columnCount) {
    auto* page = new QWidget;
    auto* columns = new QHBoxLayout(page);
    columns->setSpacing(16);
    for (int c = 0; c < columnCount; ++c) {
        auto* column = new QVBoxLayout;
        column->setSpacing(12);
        column->addStretch(1);
        columns->addLayout(column, 1);
    }
    auto* scroll = new QScrollArea;
    scroll->setWidget(page);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    pages_->addWidget(scroll);
    pageList_->addItem(name);
    return page;
}

void OptionsDialog::AlignLabels(QWidget* page) {
    auto* columns = static_cast<QHBoxLayout*>(page->layout());
    for (int c = 0; c < columns->count(); ++c) {
        auto* column = static_cast<QVBoxLayout*>(columns->itemAt(c)->layout());
        std::vector<QWidget*> labels;
        int widest = 0;
        for (int i = 0; i < column->count(); ++i) {
            QWidget* box = column->itemAt(i)->widget();
            auto* form = box != nullptr ? qobject_cast<QFormLayout*>(box->layout()) : nullptr;
            for (int row = 0; form != nullptr && row < form->rowCount(); ++row)
                if (QLayoutItem* item = form->itemAt(row, QFormLayout::LabelRole)) {
                    labels.push_back(item->widget());
                    widest = std::max(widest, item->widget()->sizeHint().width());
                }
        }
        for (QWidget* label : labels) {
            label->setMinimumWidth(widest);
            if (auto* text = qobject_cast<QLabel*>(label))
                text->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        }
    }
}

QFormLayout* OptionsDialog::AddGroup(QWidget* page, const QString& title, int column) {
    auto* box = new QGroupBox(title, page);
    auto* form = new QFormLayout(box);
    form->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    form->setHorizontalSpacing(12);
    form->setVerticalSpacing(8);
    auto* columns = static_cast<QHBoxLayout*>(page->layout());
    auto* target = static_cast<QVBoxLayout*>(columns->itemAt(column)->layout());
    target->insertWidget(target->count() - 1, box);
    return form;
}

void OptionsDialog::AddRow(QFormLayout* form, const QString& label, QWidget* field,
                           const QString& name, const QString& tip, QWidget* extra) {
    auto* row = new QWidget;
    auto* stack = new QVBoxLayout(row);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(2);
    auto* line = new QHBoxLayout;
    line->setSpacing(8);
    line->addWidget(field);
    if (extra != nullptr)
        line->addWidget(extra);
    // Fields that want the width (paths) take it; the others keep their size.
    if (!(field->sizePolicy().horizontalPolicy() & QSizePolicy::ExpandFlag))
        line->addStretch(1);
    stack->addLayout(line);
    // Under the field, so that a long reason does not widen the page.
    auto* refusal = RefusalLabel(row);
    refusal->setObjectName(name + ".error");
    refusal->setVisible(false);
    stack->addWidget(refusal);
    field->setObjectName(name);
    refusals_[name] = refusal;
    form->addRow(label, row);
    if (!tip.isEmpty()) {
        tips_.emplace_back(field, tip);
        if (QWidget* text = form->labelForField(row))
            tips_.emplace_back(text, tip);
    }
}

template <class Access>
QWidget* OptionsDialog::Number(QFormLayout* form, const QString& label, const QString& name,
                               Access access, double lo, double hi, int decimals,
                               const QString& unit, const QString& tip, QWidget* extra) {
    using T = std::remove_reference_t<decltype(access(std::declval<Conf::OptionsField&>()))>;
    const QString suffix = unit.isEmpty() ? QString() : " " + unit;
    const QString fullTip = tip + "\n" + AllowedText(lo, hi, suffix);
    // The box takes any number typed, so that a value beyond the range is refused with a
    // reason rather than silently clamped.
    auto* box = new CheckedSpinBox(lo, hi, std::is_integral_v<T> ? 0 : decimals, suffix);
    connect(box, &QDoubleSpinBox::valueChanged, this, [this] { CheckLive(); });
    const std::function<double()> value = [box] { return box->value(); };
    const std::function<void(double)> setValue = [box](double v) { box->setValue(v); };
    QWidget* field = box;
    field->setMinimumWidth(150);
    AddRow(form, label, field, name, fullTip, extra);
    // A box rounds to its decimals: an untouched box gives back the exact value it was loaded
    // with, so that opening and applying changes nothing.
    struct Loaded {
        double exact = 0.0;
        double shown = 0.0;
    };
    auto loaded = std::make_shared<Loaded>();
    bindings_.push_back({[=](Conf::OptionsField& o) {
                             loaded->exact = static_cast<double>(access(o));
                             setValue(loaded->exact);
                             loaded->shown = value();
                         },
                         [=](Conf::OptionsField& o, Refusals& refusals) {
                             const double v = value() == loaded->shown ? loaded->exact : value();
                             if (!(v >= lo && v <= hi)) {
                                 refusals[name] = AllowedText(lo, hi, suffix);
                                 return;
                             }
                             access(o) = static_cast<T>(v);
                         }});
    return field;
}

void OptionsDialog::EnabledBy(QCheckBox* on, QWidget* field) {
    field->setEnabled(on->isChecked());
    connect(on, &QCheckBox::toggled, field, &QWidget::setEnabled);
}

template <class Access>
QCheckBox* OptionsDialog::Switch(QFormLayout* form, const QString& label, const QString& name,
                                 Access access, const QString& tip) {
    auto* box = new QCheckBox(label);
    auto* row = new QWidget;
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    line->addWidget(box);
    line->addStretch(1);
    box->setObjectName(name);
    form->addRow(QString(), row);
    tips_.emplace_back(box, tip);
    bindings_.push_back({[=](Conf::OptionsField& o) { box->setChecked(access(o)); },
                         [=](Conf::OptionsField& o, Refusals&) { access(o) = box->isChecked(); }});
    return box;
}

template <class Access>
QComboBox* OptionsDialog::Choice(QFormLayout* form, const QString& label, const QString& name,
                                 Access access, const std::vector<std::pair<QString, int>>& items,
                                 const QString& tip) {
    auto* box = new QComboBox;
    for (const auto& [text, value] : items)
        box->addItem(text, value);
    box->setMinimumWidth(150);
    connect(box, &QComboBox::currentIndexChanged, this, [this] { CheckLive(); });
    AddRow(form, label, box, name, tip);
    bindings_.push_back({[=](Conf::OptionsField& o) {
                             // Items a previous load added for an unknown value go first.
                             while (box->count() > static_cast<int>(items.size()))
                                 box->removeItem(box->count() - 1);
                             Select(box, access(o), tr("%1 (unknown)"));
                         },
                         [=](Conf::OptionsField& o, Refusals& refusals) {
                             const int index = box->currentIndex();
                             if (index < 0 || index >= static_cast<int>(items.size()))
                                 refusals[name] = tr("Choose one of the list");
                             else
                                 access(o) = box->currentData().toInt();
                         }});
    return box;
}

template <class Access>
void OptionsDialog::Text(QFormLayout* form, const QString& label, const QString& name,
                         Access access, const QString& tip, bool browse) {
    auto* edit = new QLineEdit;
    edit->setMinimumWidth(browse ? 320 : 80);
    if (!browse)
        edit->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    connect(edit, &QLineEdit::textChanged, this, [this] { CheckLive(); });
    QPushButton* pick = nullptr;
    if (browse) {
        pick = new QPushButton(tr("Browse..."));
        connect(pick, &QPushButton::clicked, this, [this, edit, label] {
            const QString path =
                QFileDialog::getSaveFileName(this, label, edit->text(), tr("Wave files (*.wav)"));
            if (!path.isEmpty())
                edit->setText(path);
        });
    }
    AddRow(form, label, edit, name, tip, pick);
    bindings_.push_back({[=](Conf::OptionsField& o) { edit->setText(Q(access(o))); },
                         [=](Conf::OptionsField& o, Refusals& refusals) {
                             const QString text = edit->text();
                             if (text.contains('\n') || text.contains('\r'))
                                 refusals[name] = tr("One line only");
                             else if (browse && text.trimmed().isEmpty())
                                 refusals[name] = tr("A file name is needed");
                             else
                                 access(o) = text.toStdString();
                         }});
}

template <class Access>
void OptionsDialog::Colour(QFormLayout* form, const QString& label, const QString& name,
                           Access access, const QString& tip) {
    auto* button = new ColourButton(label, this);
    AddRow(form, label, button, name, tip);
    bindings_.push_back(
        {[=](Conf::OptionsField& o) {
             const Conf::Color c = access(o);
             button->SetColour(QColor(c.R, c.G, c.B, c.A));
         },
         [=](Conf::OptionsField& o, Refusals&) { access(o) = ToColor(button->Colour()); }});
}

// One accessor per field: its record member by name, so the widget and the field agree.
#define SONVEL_FIELD(section, field)                                                               \
    QStringLiteral(#section "." #field), [](Conf::OptionsField & o) -> auto& {                     \
        return o.section.field;                                                                    \
    }

void OptionsDialog::BuildDevices() {
    QWidget* page = AddPage(tr("Devices"), 1);
    QFormLayout* devices = AddGroup(page, tr("Sound card"));

    api_ = new QComboBox;
    input_ = new QComboBox;
    output_ = new QComboBox;
    rate_ = new QComboBox;
    for (QComboBox* box : {api_, input_, output_, rate_}) {
        // Device names can be long; the list shows them whole when it opens.
        box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        box->setMinimumContentsLength(34);
    }
    AddRow(devices, tr("Host API"), api_, "Dev.ApiNumber",
           tr("The audio system the devices belong to; \"Simulated\" is the built-in simulated "
              "sound card"));
    AddRow(devices, tr("Input device"), input_, "Dev.InputNumber",
           tr("The device that records the microphone"));
    AddRow(devices, tr("Output device"), output_, "Dev.OutputNumber",
           tr("The device that plays the test signal"));
    AddRow(devices, tr("Sample rate"), rate_, "Dev.SamplerateNo",
           tr("Rates the chosen devices refuse are marked and cannot be chosen"));
    // Listing devices asks the audio library about them; no stream is opened.
    connect(api_, &QComboBox::currentIndexChanged, this, [this] {
        if (!loading_)
            FillDevices(-1, -1);
    });
    connect(input_, &QComboBox::currentIndexChanged, this, [this] { FillRates(); });
    connect(output_, &QComboBox::currentIndexChanged, this, [this] { FillRates(); });
    connect(rate_, &QComboBox::currentIndexChanged, this, [this] {
        UpdateSignalInfo();
        CheckLive();
    });
    // A window started with --sim measures on the simulated card whatever the options say:
    // that card is shown, and the options' devices are kept for a start without it.
    simulated_ = ctrl_.Audio().UsesSimulated();
    if (simulated_) {
        auto* note = new QLabel(
            tr("The window was started with --sim: it measures on the simulated sound card "
               "(\"%1\"). Start it without --sim to choose a device.")
                .arg(PA::SimulatedModelName(ctrl_.Audio().SimulatedModelInUse())));
        note->setWordWrap(true);
        note->setObjectName("Dev.simulatedNote");
        devices->insertRow(0, note);
        for (QComboBox* box : {api_, input_, output_})
            box->setEnabled(false);
    }
    bindings_.push_back({[this](Conf::OptionsField& o) {
                             loadedDev_ = o.Dev;
                             api_->clear();
                             for (int a = 0; a < PA::GetHostApiCount(); ++a)
                                 api_->addItem(Q(PA::HostApiNameAt(a)), a);
                             Select(api_, o.Dev.ApiNumber, tr("Host API %1 (not available)"));
                             // Emptied, so that the rates keep the loaded one rather than the last
                             // choice.
                             rate_->clear();
                             FillDevices(o.Dev.InputNumber, o.Dev.OutputNumber);
                             if (simulated_)
                                 ShowSimulatedCard();
                         },
                         [this](Conf::OptionsField& o, Refusals& refusals) {
                             if (simulated_) {
                                 o.Dev.SamplerateNo = rate_->currentData().toInt();
                                 return;
                             }
                             if (api_->currentIndex() < 0)
                                 refusals["Dev.ApiNumber"] = tr("Choose a host API");
                             else
                                 o.Dev.ApiNumber = api_->currentData().toInt();
                             if (input_->currentIndex() < 0)
                                 refusals["Dev.InputNumber"] =
                                     tr("This host API has no input device");
                             else
                                 o.Dev.InputNumber = input_->currentData().toInt();
                             if (output_->currentIndex() < 0)
                                 refusals["Dev.OutputNumber"] =
                                     tr("This host API has no output device");
                             else
                                 o.Dev.OutputNumber = output_->currentData().toInt();
                             o.Dev.SamplerateNo = rate_->currentData().toInt();
                         }});

    QFormLayout* channels = AddGroup(page, tr("Channels and level"));
    Choice(channels, tr("Input channel"), SONVEL_FIELD(Dev, InputChannel),
           {{tr(CHANNEL_NAMES[0]), 0},
            {tr(CHANNEL_NAMES[1]), 1},
            {tr(CHANNEL_NAMES[2]), 2},
            {tr(CHANNEL_NAMES[3]), 3}},
           tr("The input channel the microphone is on"));
    // Several microphones in one sweep, and a loopback that times them (users count from 1).
    std::vector<std::pair<QString, int>> references{{tr("None"), -1}};
    for (int in = 0; in < 31; ++in)
        references.emplace_back(tr("Input %1").arg(in + 1), in);
    Choice(channels, tr("Reference input"), SONVEL_FIELD(Dev, ReferenceInput), references,
           tr("The input a cable from the output comes back on: the time zero of every input, so "
              "their delays are acoustic ones without the sound card's own"));
    auto* inputList = new QLineEdit;
    inputList->setPlaceholderText(tr("1, 2, 3"));
    inputList->setMinimumWidth(150);
    inputList->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    connect(inputList, &QLineEdit::textChanged, this, [this] { CheckLive(); });
    AddRow(channels, tr("Inputs"), inputList, "Dev.InputChannels",
           tr("Inputs measured together in one sweep, counted from 1: 1, 2, 3. Each goes into "
              "its own slot. Empty: the input channel above alone"),
           new QLabel(tr("(empty: the input channel above)")));
    bindings_.push_back({[inputList](Conf::OptionsField& o) {
                             QStringList items;
                             for (int in : o.Dev.InputChannels)
                                 items << QString::number(in + 1);
                             inputList->setText(items.join(", "));
                         },
                         [inputList](Conf::OptionsField& o, Refusals& refusals) {
                             std::vector<int> inputs;
                             const QString text = inputList->text().trimmed();
                             for (const QString& item :
                                  text.isEmpty() ? QStringList() : text.split(',')) {
                                 bool ok = false;
                                 const int in = item.trimmed().toInt(&ok);
                                 if (!ok || in < 1) {
                                     refusals["Dev.InputChannels"] =
                                         tr("Input numbers from 1, separated by commas: 1, 2, 3");
                                     return;
                                 }
                                 inputs.push_back(in - 1);
                             }
                             // The device's own count is checked when it measures.
                             const std::string why = CheckInputs(inputs, o.Dev.ReferenceInput, 31);
                             if (!why.empty())
                                 refusals["Dev.InputChannels"] = Q(why);
                             else
                                 o.Dev.InputChannels = std::move(inputs);
                         }});
    auto* mask = new QWidget;
    auto* maskLine = new QHBoxLayout(mask);
    maskLine->setContentsMargins(0, 0, 0, 0);
    std::array<QCheckBox*, OUTPUT_CHANNELS> outputs{};
    for (int ch = 0; ch < OUTPUT_CHANNELS; ++ch) {
        outputs[static_cast<std::size_t>(ch)] = new QCheckBox(tr(CHANNEL_NAMES[ch]), mask);
        outputs[static_cast<std::size_t>(ch)]->setObjectName(
            QString("Dev.OutputChMask.%1").arg(ch));
        maskLine->addWidget(outputs[static_cast<std::size_t>(ch)]);
        connect(outputs[static_cast<std::size_t>(ch)], &QCheckBox::toggled, this,
                [this] { CheckLive(); });
    }
    auto* none = new QLabel(tr("(none: the left one plays)"));
    AddRow(channels, tr("Output channels"), mask, "Dev.OutputChMask",
           tr("The test signal is played on every channel ticked here"), none);
    const auto showNone = [outputs, none] {
        none->setVisible(std::none_of(outputs.begin(), outputs.end(),
                                      [](const QCheckBox* b) { return b->isChecked(); }));
    };
    for (QCheckBox* b : outputs)
        connect(b, &QCheckBox::toggled, none, showNone);
    // An empty mask plays on the left channel; it is refused only when the user empties it.
    auto loadedMask = std::make_shared<int>(0);
    bindings_.push_back({[outputs, loadedMask, showNone](Conf::OptionsField& o) {
                             *loadedMask = o.Dev.OutputChMask;
                             for (int ch = 0; ch < OUTPUT_CHANNELS; ++ch)
                                 outputs[static_cast<std::size_t>(ch)]->setChecked(
                                     PA::IsChInMask(ch, o.Dev.OutputChMask));
                             showNone();
                         },
                         [outputs, loadedMask](Conf::OptionsField& o, Refusals& refusals) {
                             int bits = 0;
                             for (int ch = 0; ch < OUTPUT_CHANNELS; ++ch)
                                 if (outputs[static_cast<std::size_t>(ch)]->isChecked())
                                     bits |= PA::ChToChMask(ch);
                             if (bits == 0 && *loadedMask != 0)
                                 refusals["Dev.OutputChMask"] = tr("Tick at least one channel");
                             else
                                 o.Dev.OutputChMask = bits;
                         }});

    auto* db = new QLabel;
    db->setMinimumWidth(90);
    auto* amplitude = static_cast<QDoubleSpinBox*>(
        Number(channels, tr("Output level"), SONVEL_FIELD(Dev, OutputPCMAmplitude), 0.001, 1.0, 4,
               QString(), tr("Factor on the full-scale test signal"), db));
    connect(amplitude, &QDoubleSpinBox::valueChanged, db, [db](double v) {
        db->setText(v > 0.0 ? tr("= %1 dBFS").arg(20.0 * std::log10(v), 0, 'f', 1) : QString());
    });
    Switch(channels, tr("Invert the input"), SONVEL_FIELD(Dev, InputInvert),
           tr("For a microphone or preamplifier that inverts the polarity"));

    QFormLayout* stream = AddGroup(page, tr("Stream"));
    Number(stream, tr("Longest delay"), SONVEL_FIELD(Dev, DelayMS), 0.0, AudioHelper::MAX_DELAY_MS,
           0, "ms", tr("How long the recording waits beyond the signal for the sound to arrive"));
    Switch(stream, tr("Keep the stream active"), SONVEL_FIELD(Dev, KeepStreamActive),
           tr("Keeps the sound card running between measurements, so that it needs no time to "
              "settle"));
}

void OptionsDialog::ShowSimulatedCard() {
    const int model = static_cast<int>(ctrl_.Audio().SimulatedModelInUse());
    {
        const QSignalBlocker quiet(api_);
        Select(api_, PA::SimulatedHostApiIndex(), tr("Host API %1 (not available)"));
    }
    FillDevices(model, model);
}

void OptionsDialog::FillDevices(int inNumber, int outNumber) {
    const int api = api_->currentData().toInt();
    const bool loadedApi = api == loadedDev_.ApiNumber;
    if (inNumber < 0)
        inNumber = loadedApi ? loadedDev_.InputNumber : 0;
    if (outNumber < 0)
        outNumber = loadedApi ? loadedDev_.OutputNumber : 0;
    const auto fill = [&](QComboBox* box, const std::vector<int>& devices, int number) {
        const QSignalBlocker quiet(box);
        box->clear();
        for (std::size_t i = 0; i < devices.size(); ++i)
            box->addItem(Q(PA::GetDeviceName(devices[i], false)), static_cast<int>(i));
        if (loadedApi || (number >= 0 && number < static_cast<int>(devices.size())))
            Select(box, number, tr("Device %1 (not available)"));
        else if (!devices.empty())
            box->setCurrentIndex(0);
    };
    fill(input_, PA::GetInDevices(api), inNumber);
    fill(output_, PA::GetOutDevices(api), outNumber);
    FillRates();
}

void OptionsDialog::FillRates() {
    const int api = api_->currentData().toInt();
    const std::vector<int> ins = PA::GetInDevices(api);
    const std::vector<int> outs = PA::GetOutDevices(api);
    const auto device = [](const std::vector<int>& list, QComboBox* box) {
        const int i = box->currentData().toInt();
        return box->currentIndex() >= 0 && i >= 0 && i < static_cast<int>(list.size())
                   ? list[static_cast<std::size_t>(i)]
                   : -1;
    };
    const int in = device(ins, input_);
    const int out = device(outs, output_);
    const int current = rate_->count() > 0 ? rate_->currentData().toInt() : loadedDev_.SamplerateNo;
    QSignalBlocker quiet(rate_);
    rate_->clear();
    for (int n = 0; n < RATE_COUNT; ++n) {
        const int hz = SampleRateOfNumber(n);
        // A device that cannot be asked (none chosen) refuses nothing.
        const bool ok = (in < 0 || PA::IsSampleRateSupported(in, hz)) &&
                        (out < 0 || PA::IsSampleRateSupported(out, hz));
        rate_->addItem(ok ? tr("%1 Hz").arg(hz) : tr("%1 Hz (not supported)").arg(hz), n);
        SetItemEnabled(rate_, n, ok || n == current);
    }
    Select(rate_, current, tr("Rate number %1 (unknown)"));
    quiet.unblock();
    UpdateSignalInfo();
    CheckLive();
}

int OptionsDialog::ChosenRate() const {
    const int hz = SampleRateOfNumber(rate_->currentData().toInt());
    return hz > 0 ? hz : 44100;
}

void OptionsDialog::BuildSignal() {
    QWidget* page = AddPage(tr("Signal"), 2);
    QFormLayout* signal = AddGroup(page, tr("Test signal"));
    Choice(signal, tr("Type"), SONVEL_FIELD(Signal, SignalType),
           {{tr("Logarithmic sweep"), 0}, {tr("Chirp"), 1}, {tr("Square noise"), 2}},
           tr("The logarithmic sweep also gives the harmonic distortion"));
    signalInfo_ = new QLabel;
    length_ = static_cast<QDoubleSpinBox*>(
        Number(signal, tr("Length (power of two)"), SONVEL_FIELD(Signal, SignalLength), 12, 22, 0,
               QString(), tr("The signal is 2 to this power samples long")));
    signal->addRow(QString(), signalInfo_);
    length_->setPrefix("2^");
    connect(length_, &QDoubleSpinBox::valueChanged, this, [this] { UpdateSignalInfo(); });
    Number(signal, tr("Sweep start"), SONVEL_FIELD(Signal, LogSweepStartFreq), 1.0, 1000.0, 1, "Hz",
           tr("Where the logarithmic sweep begins; it ends at half the sample rate"));
    Number(signal, tr("Chirp start"), SONVEL_FIELD(Signal, ChirpStartFreq), 1.0, 1000.0, 1, "Hz",
           tr("Where the chirp begins; it ends at half the sample rate"));
    Number(signal, tr("Chirp power"), SONVEL_FIELD(Signal, ChirpPotens), 0.1, 10.0, 2, QString(),
           tr("Shape of the chirp's frequency over time: 1 linear, higher bends towards the top"));
    Number(signal, tr("Noise hold probability"), SONVEL_FIELD(Signal, SqNoiseFreq), 0.0, 1.0, 3,
           QString(),
           tr("How likely the square noise keeps its level from one sample to the "
              "next; higher gives more low frequencies"));
    Number(signal, tr("Noise amplitude"), SONVEL_FIELD(Signal, SqNoiseAmplitude), 0.01, 1.0, 3,
           QString(), tr("Level of the square noise as a factor of full scale"));

    QFormLayout* fades = AddGroup(page, tr("Fades"), 1);
    // One statement each: the switch's row must come before its field's.
    QCheckBox* in = Switch(fades, tr("Fade in"), SONVEL_FIELD(Signal, FadeIn),
                           tr("Softens the start of the sweep, so that the speaker gets no click"));
    EnabledBy(in, Number(fades, tr("Fade-in time"), SONVEL_FIELD(Signal, FadeInms), 0.0, 1000.0, 1,
                         "ms", tr("Length of the fade at the start")));
    QCheckBox* out = Switch(fades, tr("Fade out"), SONVEL_FIELD(Signal, FadeOut),
                            tr("Softens the end of the sweep"));
    EnabledBy(out, Number(fades, tr("Fade-out time"), SONVEL_FIELD(Signal, FadeOutms), 0.0, 1000.0,
                          1, "ms", tr("Length of the fade at the end")));
}

void OptionsDialog::UpdateSignalInfo() {
    if (signalInfo_ == nullptr || length_ == nullptr)
        return;
    const int p = static_cast<int>(std::lround(length_->value()));
    if (p < 1 || p > 30) {
        signalInfo_->clear();
        return;
    }
    const double samples = std::ldexp(1.0, p);
    signalInfo_->setText(tr("%1 samples, %2 s at %3 Hz")
                             .arg(static_cast<qint64>(samples))
                             .arg(samples / ChosenRate(), 0, 'f', 2)
                             .arg(ChosenRate()));
}

void OptionsDialog::BuildAnalysis() {
    QWidget* page = AddPage(tr("Analysis"), 1);
    QFormLayout* zero = AddGroup(page, tr("Time zero and window"));
    Choice(zero, tr("Time zero"), SONVEL_FIELD(Analysis, TimeZeroMethod),
           {{tr("First positive peak"), 0},
            {tr("Positive peak"), 1},
            {tr("First magnitude peak"), 2},
            {tr("Magnitude peak"), 3},
            {tr("Causal impulse"), 4}},
           tr("How the start of the impulse response is found"));
    Switch(zero, tr("Interpolate the time zero"), SONVEL_FIELD(Analysis, TimeZeroInterpolate),
           tr("Finds the time zero between samples"));
    Switch(zero, tr("Apply the time window automatically"),
           SONVEL_FIELD(Analysis, TimeWindowAutoApply),
           tr("Every new measurement gets its impulse window at once"));
    Number(zero, tr("Analysis length (power of two)"), SONVEL_FIELD(Analysis, MAnalysis), 10, 24, 0,
           QString(), tr("Measurements are analysed at 2 to this power samples"));

    QFormLayout* result = AddGroup(page, tr("Result"));
    Switch(result, tr("Normalise to 0 dB"), SONVEL_FIELD(Analysis, NormalizeTo0dB),
           tr("Brings the level of every measurement to 0 dB"));
    Switch(result, tr("High-pass the result"), SONVEL_FIELD(Analysis, HighpassResult),
           tr("Removes what lies below the test signal's start frequency"));
    QCheckBox* extend =
        Switch(result, tr("Extend to Nyquist"), SONVEL_FIELD(Analysis, ExtendToNyquist),
               tr("Continues the response above the frequency below up to half the sample rate"));
    EnabledBy(extend,
              Number(result, tr("Extend above"), SONVEL_FIELD(Analysis, ExtendToNyquistFreq),
                     1000.0, 96000.0, 0, "Hz", tr("Where the extension to Nyquist begins")));
}

void OptionsDialog::BuildPlot() {
    QWidget* page = AddPage(tr("Plot"), 2);
    QFormLayout* ranges = AddGroup(page, tr("Ranges"));
    Number(ranges, tr("Lowest frequency"), SONVEL_FIELD(Plot, PlotFreqMin), 1.0, 96000.0, 1, "Hz",
           tr("Left edge of the response graph"));
    Number(ranges, tr("Highest frequency"), SONVEL_FIELD(Plot, PlotFreqMax), 1.0, 96000.0, 1, "Hz",
           tr("Right edge of the response graph"));
    Number(ranges, tr("Lowest level"), SONVEL_FIELD(Plot, PlotDbMin), -300.0, 100.0, 1, "dB",
           tr("Bottom of the response graph"));
    Number(ranges, tr("Highest level"), SONVEL_FIELD(Plot, PlotDbMax), -300.0, 100.0, 1, "dB",
           tr("Top of the response graph"));
    Number(ranges, tr("Lowest impulse level"), SONVEL_FIELD(Plot, PlotImpulseDBMin), -300.0, -20.0,
           1, "dB", tr("Bottom of the impulse graph in its dB view"));
    Number(ranges, tr("Hide phase below"), SONVEL_FIELD(Plot, HidePhaseWhenBelowDB), -200.0, 0.0, 1,
           "dB", tr("The phase is left out where the level lies this far below the peak"));
    Number(ranges, tr("Hide distortion below"), SONVEL_FIELD(Plot, HideHDWhenBelowDB), -200.0, -1.0,
           1, "dB", tr("The distortion is left out where the level lies this far below the peak"));

    QFormLayout* look = AddGroup(page, tr("Drawing"));
    Number(look, tr("Ticks on the x axis"), SONVEL_FIELD(Plot, GraphicsNumberOfXTics), 2, 100, 0,
           QString(), tr("How many ticks the horizontal axis gets at most"));
    Number(look, tr("Ticks on the y axis"), SONVEL_FIELD(Plot, GraphicsNumberOfYTics), 2, 100, 0,
           QString(), tr("How many ticks the vertical axis gets at most"));
    Number(look, tr("Line width"), SONVEL_FIELD(Plot, LineWidth), 1, 10, 0, "px",
           tr("Width of the curves"));
    Choice(look, tr("Impulse graph"), SONVEL_FIELD(Plot, ImpulseGraphMode),
           {{tr("Linear"), static_cast<int>(Conf::ImpulseGraphMode::Linear)},
            {tr("dB envelope"), static_cast<int>(Conf::ImpulseGraphMode::Db)},
            {tr("Step response"), static_cast<int>(Conf::ImpulseGraphMode::Step)}},
           tr("What the impulse graph shows"));

    QFormLayout* show = AddGroup(page, tr("Show"), 1);
    Switch(show, tr("Logarithmic frequency axis"), SONVEL_FIELD(Plot, FreqLogAxis),
           tr("Otherwise the frequency axis is linear"));
    Switch(show, tr("Level in dB"), SONVEL_FIELD(Plot, AmpDBAxis),
           tr("Otherwise the level axis is linear"));
    Switch(show, tr("Magnitude"), SONVEL_FIELD(Plot, PlotAmplitude),
           tr("Draws the magnitude in the response graph"));
    Switch(show, tr("Phase"), SONVEL_FIELD(Plot, PlotPhase),
           tr("Draws the phase in the response graph"));
    Switch(show, tr("Harmonic distortion"), SONVEL_FIELD(Plot, PlotHD),
           tr("Draws the harmonics in the response graph"));
    Switch(show, tr("Interpolate the impulse"), SONVEL_FIELD(Plot, ImpulseInterpolate),
           tr("Draws the impulse smoothly between its samples"));
    Switch(show, tr("Harmonics in the impulse graph"), SONVEL_FIELD(Plot, ImpulseShowHD),
           tr("Shows where the harmonic impulses lie"));
    Switch(show, tr("Gating in the response graph"), SONVEL_FIELD(Plot, FreqShowGating),
           tr("Marks the lowest frequency the impulse window resolves"));

    QFormLayout* colours = AddGroup(page, tr("Colours"), 1);
    Colour(colours, tr("Measurement A"), SONVEL_FIELD(Plot, ColorMeasA),
           tr("Slot 0 (A at first) and every 16th slot on, unless given a colour of its own"));
    Colour(colours, tr("Measurement B"), SONVEL_FIELD(Plot, ColorMeasB),
           tr("Slot 1 (B at first) and every 16th slot on, unless given a colour of its own"));
    Colour(colours, tr("Measurement C"), SONVEL_FIELD(Plot, ColorMeasC),
           tr("Slot 2 (C at first) and every 16th slot on, unless given a colour of its own"));
    Colour(colours, tr("Test signal"), SONVEL_FIELD(Plot, ColorSignal),
           tr("Colour of the test signal"));
    Colour(colours, tr("Foreground"), SONVEL_FIELD(Plot, ColorFg), tr("Axes, grid and text"));
    Colour(colours, tr("Background"), SONVEL_FIELD(Plot, ColorBg), tr("Behind the graphs"));
}

void OptionsDialog::BuildImExport() {
    QWidget* page = AddPage(tr("Import/Export"), 2);
    QFormLayout* text = AddGroup(page, tr("Text files"));
    Choice(text, tr("Decimal mark"), SONVEL_FIELD(ImExport, DecimalSep),
           {{tr("Point ( . )"), '.'}, {tr("Comma ( , )"), ','}},
           tr("The mark between the whole and the fractional part of a number"));
    Choice(text, tr("Separator"), SONVEL_FIELD(ImExport, Separator),
           {{tr("Semicolon ( ; )"), ';'},
            {tr("Space"), ' '},
            {tr("Tab"), '\t'},
            {tr("Comma ( , )"), ','}},
           tr("What stands between the columns; it must differ from the decimal mark"));
    Text(text, tr("Comment mark"), SONVEL_FIELD(ImExport, CommentString),
         tr("What every header line begins with"), false);
    Switch(text, tr("Write a header"), SONVEL_FIELD(ImExport, IncludeHeader),
           tr("Header lines say what the file holds"));

    QFormLayout* phase = AddGroup(page, tr("Phase"));
    Switch(phase, tr("Export the phase"), SONVEL_FIELD(ImExport, ExportPhase),
           tr("Adds a phase column"));
    Choice(phase, tr("Phase unit"), SONVEL_FIELD(ImExport, PhaseMode),
           {{tr("Degrees"), 0}, {tr("Radians"), 1}}, tr("The unit of the phase column"));
    Switch(phase, tr("Unwrap the phase"), SONVEL_FIELD(ImExport, PhaseUnwrap),
           tr("Writes the phase without jumps of a full turn"));

    QFormLayout* points = AddGroup(page, tr("Points"), 1);
    Choice(points, tr("Points"), SONVEL_FIELD(ImExport, ExportMode),
           {{tr("Every bin"), 0},
            {tr("Where level or phase moved"), 1},
            {tr("Linear steps"), 2},
            {tr("Logarithmic steps"), 3}},
           tr("Which frequencies are written"));
    Number(points, tr("Linear step"), SONVEL_FIELD(ImExport, LinearStepsHz), 0.01, 10000.0, 2, "Hz",
           tr("Distance between the points of linear steps"));
    Number(points, tr("Logarithmic steps"), SONVEL_FIELD(ImExport, LogNofSteps), 1.0, 100000.0, 0,
           tr("per decade"), tr("Points per decade of logarithmic steps"));
    Number(points, tr("Level change"), SONVEL_FIELD(ImExport, NonEqDbChange), 0.001, 20.0, 3, "dB",
           tr("A point is written where the level moved this much"));
    Number(points, tr("Phase change"), SONVEL_FIELD(ImExport, NonEqPhaseChange), 0.01, 180.0, 2,
           tr("deg"), tr("A point is written where the phase moved this much"));
}

void OptionsDialog::BuildFilter() {
    QWidget* page = AddPage(tr("Filter"), 1);
    QFormLayout* filter = AddGroup(page, tr("Band filter while measuring"));
    QCheckBox* high = Switch(filter, tr("High-pass"), SONVEL_FIELD(Filter, HighpassEnabled),
                             tr("Filters the recording below the frequency"));
    EnabledBy(high, Number(filter, tr("High-pass frequency"), SONVEL_FIELD(Filter, HighpassFreq),
                           1.0, 96000.0, 1, "Hz", tr("Edge of the high-pass")));
    QCheckBox* low = Switch(filter, tr("Low-pass"), SONVEL_FIELD(Filter, LowpassEnabled),
                            tr("Filters the recording above the frequency"));
    EnabledBy(low, Number(filter, tr("Low-pass frequency"), SONVEL_FIELD(Filter, LowpassFreq), 1.0,
                          96000.0, 1, "Hz", tr("Edge of the low-pass")));
    Number(filter, tr("Filter taps"), SONVEL_FIELD(Filter, NofTaps), 3, 100001, 0, QString(),
           tr("Length of the filter; more taps give steeper edges and take longer"));
}

void OptionsDialog::BuildMisc() {
    QWidget* page = AddPage(tr("Misc"), 1);
    QFormLayout* general = AddGroup(page, tr("General"));
    Switch(general, tr("Show tooltips"), SONVEL_FIELD(Misc, ShowToolTips),
           tr("Explanations like this one when the mouse rests on a control"));
    connect(findChild<QCheckBox*>("Misc.ShowToolTips"), &QCheckBox::toggled, this,
            &OptionsDialog::ShowToolTips);
    Switch(general, tr("Keep replaced measurements"), SONVEL_FIELD(Misc, KeepReplacedMeasurements),
           tr("A measurement, import or result written into a filled slot first moves the "
              "earlier measurement to an empty slot; off: it is replaced"));

    Number(general, tr("Remote control port"), SONVEL_FIELD(Window, RemotePort), 1, 65535, 0,
           QString(),
           tr("TCP port of Tools > Remote control, on which programs of this computer drive "
              "Sonvel through its HTTP API"));

    QFormLayout* waves = AddGroup(page, tr("Debug waves"));
    QCheckBox* save = Switch(
        waves, tr("Save the waves of each measurement"), SONVEL_FIELD(Misc, SaveMeasureWaves),
        tr("Writes the played signal, the recording and the correlation as wave files"));
    Text(waves, tr("Played signal"), SONVEL_FIELD(Misc, SaveMeasureOutput),
         tr("Wave file of the played signal"), true);
    Text(waves, tr("Recording"), SONVEL_FIELD(Misc, SaveMeasureRec),
         tr("Wave file of the recording"), true);
    Text(waves, tr("Correlation"), SONVEL_FIELD(Misc, SaveMeasureCorr),
         tr("Wave file of the correlation"), true);
    Choice(waves, tr("Wave format"), SONVEL_FIELD(Misc, WaveFormat),
           {{tr("32 bit float"), 0},
            {tr("16 bit PCM"), 1},
            {tr("24 bit PCM"), 2},
            {tr("32 bit PCM"), 3}},
           tr("Sample format of the written wave files"));
    for (const char* name :
         {"Misc.SaveMeasureOutput", "Misc.SaveMeasureRec", "Misc.SaveMeasureCorr"})
        EnabledBy(save, findChild<QWidget*>(name)->parentWidget());
}

#undef SONVEL_FIELD

void OptionsDialog::Load(const Conf::OptionsField& options) {
    Conf::OptionsField copy = options;
    loading_ = true;
    for (Binding& b : bindings_)
        b.load(copy);
    loading_ = false;
    ShowToolTips(options.Misc.ShowToolTips);
    // A record read from a file may hold values the dialog refuses: they show at once.
    CheckLive();
    notice_->setVisible(false);
    if (measuring_ && measuring_()) {
        notice_->setText(tr("A measurement is running: only the plot and import/export options "
                            "can be applied until it is done."));
        notice_->setVisible(true);
    }
}

void OptionsDialog::ResetToDefaults() {
    Load(Conf::OptionsField::Init(Conf::UserDirectory()));
}

void OptionsDialog::ShowToolTips(bool on) {
    for (const auto& [widget, tip] : tips_)
        widget->setToolTip(on ? tip : QString());
}

QString OptionsDialog::Notice() const {
    return notice_->isHidden() ? QString() : notice_->text();
}

void OptionsDialog::CrossCheck(const Conf::OptionsField& r, Refusals& refusals) const {
    const auto refuse = [&refusals](const QString& name, const QString& why) {
        refusals.try_emplace(name, why);
    };
    if (!(r.Plot.PlotFreqMin < r.Plot.PlotFreqMax))
        refuse("Plot.PlotFreqMax", tr("Must lie above the lowest frequency"));
    if (!(r.Plot.PlotDbMin < r.Plot.PlotDbMax))
        refuse("Plot.PlotDbMax", tr("Must lie above the lowest level"));
    if (r.ImExport.DecimalSep == r.ImExport.Separator)
        refuse("ImExport.Separator", tr("Must differ from the decimal mark"));
    const double nyquist = SampleRateOfNumber(r.Dev.SamplerateNo) / 2.0;
    if (r.Filter.HighpassEnabled && r.Filter.LowpassEnabled &&
        !(r.Filter.HighpassFreq < r.Filter.LowpassFreq))
        refuse("Filter.LowpassFreq", tr("Must lie above the high-pass frequency"));
    const QString belowNyquist = tr("Must lie below half the sample rate (%1 Hz)").arg(nyquist);
    if (nyquist > 0.0) {
        if (r.Filter.HighpassEnabled && !(r.Filter.HighpassFreq < nyquist))
            refuse("Filter.HighpassFreq", belowNyquist);
        if (r.Filter.LowpassEnabled && !(r.Filter.LowpassFreq < nyquist))
            refuse("Filter.LowpassFreq", belowNyquist);
        if (r.Analysis.ExtendToNyquist && !(r.Analysis.ExtendToNyquistFreq < nyquist))
            refuse("Analysis.ExtendToNyquistFreq", belowNyquist);
    }
}

void OptionsDialog::ShowRefusals(const Refusals& refusals) {
    for (const auto& [name, label] : refusals_) {
        const auto it = refusals.find(name);
        label->setText(it != refusals.end() ? it->second : QString());
        label->setVisible(it != refusals.end());
    }
}

void OptionsDialog::CheckLive() {
    // Loading fills widgets one by one; their checks wait for the whole record.
    if (loading_ || notice_ == nullptr)
        return;
    Conf::OptionsField record = Conf::Options::Field;
    Refusals refusals;
    for (Binding& b : bindings_)
        b.store(record, refusals);
    CrossCheck(record, refusals);
    ShowRefusals(refusals);
}

bool OptionsDialog::Apply() {
    Conf::OptionsField record = Conf::Options::Field;
    Refusals refusals;
    for (Binding& b : bindings_)
        b.store(record, refusals);
    CrossCheck(record, refusals);
    ShowRefusals(refusals);
    if (!refusals.empty()) {
        QStringList pages;
        for (const auto& [name, why] : refusals) {
            const QLabel* label = refusals_.at(name);
            for (int p = 0; p < pages_->count(); ++p)
                if (pages_->widget(p)->isAncestorOf(label) &&
                    !pages.contains(pageList_->item(p)->text()))
                    pages << pageList_->item(p)->text();
        }
        notice_->setText(tr("Nothing was applied: correct the values marked on the page(s) %1.")
                             .arg(pages.join(", ")));
        notice_->setVisible(true);
        return false;
    }
    record.Plot.SaveColors();
    Conf::OptionsField& live = Conf::Options::Field;
    const bool measuring = measuring_ && measuring_();
    if (measuring) {
        // The running measurement reads these sections; the window's thread owns the others.
        if (!(record.Dev == live.Dev && record.Signal == live.Signal &&
              record.Analysis == live.Analysis && record.Filter == live.Filter &&
              record.Misc == live.Misc)) {
            notice_->setText(tr("A measurement is running: device, signal, analysis, filter and "
                                "debug-wave options can be applied when it is done. Nothing was "
                                "applied."));
            notice_->setVisible(true);
            return false;
        }
        live.Plot = record.Plot;
        live.ImExport = record.ImExport;
    } else {
        live = record;
        ctrl_.ApplyOptions();
    }
    // The controller may have followed a new rate (the highest plotted frequency).
    Load(live);
    emit applied();
    return true;
}

void OptionsDialog::accept() {
    if (Apply())
        QDialog::accept();
}

} // namespace Kedra::Sonvel::Gui
