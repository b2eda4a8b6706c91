#include "gui/ViewTabs.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>
#include <vector>

#include "analyze/RoomAcoustics.h"
#include "gui/CheckedSpinBox.h"
#include "gui/RoomAcousticsView.h"
#include "gui/WaterfallView.h"
#include "measure/Measurement.h"

namespace Kedra::Sonvel::Gui {

namespace {

QPushButton* FitButton(QWidget* page) {
    auto* fit = new QPushButton(QObject::tr("Fit"), page);
    fit->setToolTip(QObject::tr("Fit the axes to the curves (double click on the graph)"));
    return fit;
}

QComboBox* PresenterChoice(QWidget* page) {
    auto* focus = new QComboBox(page);
    for (int p = 0; p < 3; ++p)
        focus->addItem(QString(QChar('A' + p)));
    focus->setToolTip(QObject::tr("Whose measurement; the first shown one when it is hidden"));
    return focus;
}

CheckedSpinBox* MsBox(QWidget* page, const char* name, double value, double min, double max,
                      double step) {
    auto* box = new CheckedSpinBox(min, max, 2, QStringLiteral(" ms"), page);
    box->setObjectName(name);
    box->setSingleStep(step);
    box->setValue(value);
    box->setKeyboardTracking(false);
    return box;
}

} // namespace

ViewTabs::ViewTabs(QTabWidget* tabs, QObject* parent) : QObject(parent), tabs_(tabs) {
    stale_.fill(true);
    shownPresenter_.fill(-1);

    groupDelay_ = new GraphView(GraphKind::GroupDelay);
    groupDelay_->SetSettings(WithPlotOptions(groupDelay_->Settings(), false));
    QWidget* page = AddPage(GROUP_DELAY, groupDelay_, tr("Group delay"));
    auto* row = static_cast<QHBoxLayout*>(page->layout()->itemAt(0)->layout());
    auto* delayKind = new QComboBox(page);
    delayKind->setObjectName("delayKind");
    delayKind->addItems({tr("Group delay"), tr("Excess group delay")});
    delayKind->setToolTip(tr("The excess is the delay beyond that of the minimum phase"));
    connect(delayKind, &QComboBox::activated, this, [this](int item) {
        GraphSettings s = groupDelay_->Settings();
        s.excessDelay = item == 1;
        groupDelay_->SetSettings(s);
        groupDelay_->FitAll();
        groupDelay_->replot();
    });
    row->insertWidget(0, new QLabel(tr("Show"), page));
    row->insertWidget(1, delayKind);

    energyTime_ = new GraphView(GraphKind::EnergyTime);
    energyTime_->SetSettings(WithPlotOptions(energyTime_->Settings(), false));
    page = AddPage(ENERGY_TIME, energyTime_, tr("ETC"));
    row = static_cast<QHBoxLayout*>(page->layout()->itemAt(0)->layout());
    auto* band = new QComboBox(page);
    band->setObjectName("etcBand");
    band->addItem(tr("Broadband"), 0.0);
    for (const auto& b : Kedra::Measure::RoomOctaveBands())
        band->addItem(b.nominal >= 1000 ? tr("%1 kHz octave").arg(b.nominal / 1000)
                                        : tr("%1 Hz octave").arg(b.nominal),
                      b.midband);
    connect(band, &QComboBox::activated, this, [this, band](int item) {
        GraphSettings s = energyTime_->Settings();
        s.etcBandHz = band->itemData(item).toDouble();
        energyTime_->SetSettings(s);
        energyTime_->replot();
    });
    row->insertWidget(0, new QLabel(tr("Band"), page));
    row->insertWidget(1, band);

    waterfall_ = new WaterfallView;
    page = AddPage(WATERFALL, waterfall_, tr("Waterfall"));
    row = static_cast<QHBoxLayout*>(page->layout()->itemAt(0)->layout());
    auto* focus = PresenterChoice(page);
    focus->setObjectName("waterfallOf");
    connect(focus, &QComboBox::activated, this, [this](int item) {
        waterfallChoice_ = item;
        MarkStale(WATERFALL);
        RefreshShown();
    });
    auto* style = new QComboBox(page);
    style->setObjectName("waterfallStyle");
    style->addItems({tr("Stacked lines"), tr("Colour map")});
    connect(style, &QComboBox::activated, this, [this](int item) {
        WaterfallViewSettings s = waterfall_->Settings();
        s.style = item == 1 ? WaterfallStyle::ColourMap : WaterfallStyle::Lines;
        waterfall_->SetSettings(s);
    });
    const Kedra::Measure::WaterfallSettings defaults;
    struct Field {
        const char* name;
        QString label;
        double Kedra::Measure::WaterfallSettings::*value;
        double min, max, step;
    };
    const Field fields[] = {
        {"sliceFirst", tr("First"), &Kedra::Measure::WaterfallSettings::firstMs, 0.0, 500.0, 0.1},
        {"sliceLast", tr("Last"), &Kedra::Measure::WaterfallSettings::lastMs, 0.0, 1000.0, 0.1},
        {"sliceStep", tr("Step"), &Kedra::Measure::WaterfallSettings::stepMs, 0.01, 100.0, 0.05},
        {"sliceEnd", tr("End"), &Kedra::Measure::WaterfallSettings::endMs, 0.1, 2000.0, 0.5},
        {"sliceRise", tr("Rise"), &Kedra::Measure::WaterfallSettings::riseMs, 0.0, 10.0, 0.05},
    };
    // The slice settings on a row of their own, so that the page fits a laptop's screen;
    // refusals right of them, in the row's free room: the fields do not move when one shows.
    auto* slices = new QHBoxLayout;
    slices->setSpacing(8);
    static_cast<QVBoxLayout*>(page->layout())->insertLayout(1, slices);
    auto* refusal = RefusalLabel(page);
    refusal->setObjectName("waterfallRefusal");
    std::vector<CheckedSpinBox*> checked;
    auto* preset = new QComboBox(page);
    preset->setObjectName("waterfallPreset");
    preset->addItems({tr("Speaker"), tr("Room"), tr("Custom")});
    preset->setToolTip(tr("Slice settings for a loudspeaker's first milliseconds or a room's "
                          "decay; Custom once a setting differs from both"));
    auto* smoothing = new QComboBox(page);
    smoothing->setObjectName("waterfallSmoothing");
    smoothing->setToolTip(tr("Fractional-octave smoothing of every slice"));
    smoothing->addItem(tr("Unsmoothed"), 0.0);
    for (int n : {1, 2, 3, 6, 12, 24})
        smoothing->addItem(tr("1/%1 octave").arg(n), static_cast<double>(n));
    int at = 0;
    row->insertWidget(at++, new QLabel(tr("Measurement"), page));
    row->insertWidget(at++, focus);
    row->insertWidget(at++, style);
    row->insertWidget(at++, preset);
    std::vector<std::pair<QDoubleSpinBox*, double Kedra::Measure::WaterfallSettings::*>> boxes;
    // The preset chooser names the preset the settings equal, or Custom.
    auto showPreset = [preset](const Kedra::Measure::WaterfallSettings& w) {
        int item = 2;
        for (int i : {0, 1}) {
            const auto p = Kedra::Measure::WaterfallPresetSettings(
                i == 0 ? Kedra::Measure::WaterfallPreset::Speaker
                       : Kedra::Measure::WaterfallPreset::Room);
            if (p.firstMs == w.firstMs && p.lastMs == w.lastMs && p.stepMs == w.stepMs &&
                p.endMs == w.endMs && p.riseMs == w.riseMs && p.smoothingNOct == w.smoothingNOct)
                item = i;
        }
        preset->setCurrentIndex(item);
    };
    for (const Field& f : fields) {
        auto* box = MsBox(page, f.name, defaults.*f.value, f.min, f.max, f.step);
        box->setAccessibleName(f.label);
        checked.push_back(box);
        const auto member = f.value;
        connect(box, &CheckedSpinBox::accepted, this, [this, member, showPreset](double v) {
            WaterfallViewSettings s = waterfall_->Settings();
            s.slices.*member = v;
            waterfall_->SetSettings(s);
            showPreset(s.slices);
        });
        slices->addWidget(new QLabel(f.label, page));
        slices->addWidget(box);
        boxes.emplace_back(box, member);
    }
    connect(smoothing, &QComboBox::activated, this, [this, smoothing, showPreset](int item) {
        WaterfallViewSettings s = waterfall_->Settings();
        s.slices.smoothingNOct = smoothing->itemData(item).toDouble();
        waterfall_->SetSettings(s);
        showPreset(s.slices);
    });
    slices->addWidget(smoothing);
    auto* floor = new CheckedSpinBox(-120.0, -10.0, 0, QStringLiteral(" dB"), page);
    floor->setObjectName("waterfallFloor");
    floor->setAccessibleName(tr("Floor"));
    floor->setSingleStep(5);
    floor->setValue(WaterfallViewSettings().floorDb);
    floor->setKeyboardTracking(false);
    floor->setToolTip(tr("How far below the top level the graph reaches"));
    checked.push_back(floor);
    connect(floor, &CheckedSpinBox::accepted, this, [this](double v) {
        WaterfallViewSettings s = waterfall_->Settings();
        s.floorDb = v;
        waterfall_->SetSettings(s);
    });
    connect(preset, &QComboBox::activated, this, [this, boxes, smoothing, floor](int item) {
        if (item > 1)
            return;
        const bool room = item == 1;
        WaterfallViewSettings s = waterfall_->Settings();
        s.slices = Kedra::Measure::WaterfallPresetSettings(
            room ? Kedra::Measure::WaterfallPreset::Room
                 : Kedra::Measure::WaterfallPreset::Speaker);
        // A room's modes lie below the 200 Hz that a few milliseconds of a speaker resolve.
        s.freqMin = room ? 20.0 : WaterfallViewSettings().freqMin;
        // A room's 300 ms span some 45 dB of its decay.
        s.floorDb = room ? -60.0 : WaterfallViewSettings().floorDb;
        // The fields show the preset; the waterfall is computed once, from all of it.
        for (const auto& [box, member] : boxes) {
            const QSignalBlocker quiet(box);
            box->setValue(s.slices.*member);
        }
        smoothing->setCurrentIndex(std::max(0, smoothing->findData(s.slices.smoothingNOct)));
        const QSignalBlocker quiet(floor);
        floor->setValue(static_cast<int>(s.floorDb));
        waterfall_->SetSettings(s);
        waterfall_->FitAll();
    });
    slices->addWidget(new QLabel(tr("Floor"), page));
    slices->addWidget(floor);
    slices->addWidget(refusal, 1);
    // The list of boxes is complete only now; each box reads it through a copy.
    for (CheckedSpinBox* box : checked)
        connect(box, &CheckedSpinBox::refusalChanged, this, [boxes = checked, refusal] {
            QString text;
            for (CheckedSpinBox* b : boxes)
                if (!b->Refusal().isEmpty())
                    text = tr("%1 not applied: %2").arg(b->accessibleName(), b->Refusal());
            refusal->setText(text);
        });

    room_ = new RoomAcousticsView;
    page = AddPage(ROOM, room_, tr("Room acoustics"));
    row = static_cast<QHBoxLayout*>(page->layout()->itemAt(0)->layout());
    roomFocus_ = PresenterChoice(page);
    roomFocus_->setObjectName("roomOf");
    connect(roomFocus_, &QComboBox::activated, this, [this](int item) { ShowRoomOf(item); });
    row->insertWidget(0, new QLabel(tr("Measurement"), page));
    row->insertWidget(1, roomFocus_);

    connect(groupDelay_, &GraphView::cursorText, this, &ViewTabs::cursorText);
    connect(energyTime_, &GraphView::cursorText, this, &ViewTabs::cursorText);
    connect(waterfall_, &WaterfallView::cursorText, this, &ViewTabs::cursorText);
    connect(room_, &RoomAcousticsView::cursorText, this, &ViewTabs::cursorText);
    connect(tabs_, &QTabWidget::currentChanged, this, [this] { RefreshShown(); });
}

QWidget* ViewTabs::AddPage(Page which, QWidget* view, const QString& title) {
    auto* page = new QWidget(tabs_);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(2);
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    row->addStretch(1);
    auto* fit = FitButton(page);
    connect(fit, &QPushButton::clicked, this, [this, page] { Fit(page); });
    row->addWidget(fit);
    layout->addLayout(row);
    view->setParent(page);
    layout->addWidget(view, 1);
    tabs_->addTab(page, title);
    pages_[which] = page;
    return page;
}

bool ViewTabs::Owns(QWidget* page) const {
    return std::find(pages_.begin(), pages_.end(), page) != pages_.end();
}

void ViewTabs::Fit(QWidget* page) {
    if (page == pages_[GROUP_DELAY] || page == pages_[ENERGY_TIME]) {
        GraphView* g = page == pages_[GROUP_DELAY] ? groupDelay_ : energyTime_;
        g->FitAll();
        g->replot();
    } else if (page == pages_[WATERFALL]) {
        waterfall_->FitAll();
    } else if (page == pages_[ROOM]) {
        room_->FitAll();
    }
}

bool ViewTabs::SaveImage(QWidget* page, const QString& path, int width, int height,
                         QString* error) {
    // An export draws what the tab would show, stale or not.
    for (int p = 0; p < PAGES; ++p)
        if (pages_[static_cast<std::size_t>(p)] == page && stale_[static_cast<std::size_t>(p)])
            Compute(static_cast<Page>(p));
    if (page == pages_[GROUP_DELAY])
        return groupDelay_->SaveImage(path, width, height, error);
    if (page == pages_[ENERGY_TIME])
        return energyTime_->SaveImage(path, width, height, error);
    if (page == pages_[WATERFALL])
        return waterfall_->SaveImage(path, width, height, error);
    return room_->SaveImage(path, width, height, error);
}

const CurveSource* ViewTabs::Focus(int choice) const {
    const int slot =
        choice >= 0 && choice < 3 ? presenterSlots_[static_cast<std::size_t>(choice)] : -1;
    for (const CurveSource& c : curves_)
        if (c.presenter == choice || (slot >= 0 && c.slot == slot))
            return &c;
    return curves_.empty() ? nullptr : &curves_.front();
}

void ViewTabs::SetCurves(const std::vector<CurveSource>& curves,
                         std::array<int, 3> presenterSlots) {
    curves_ = curves;
    presenterSlots_ = presenterSlots;
    stale_.fill(true);
    roomGeneration_ = 0;
    RefreshShown();
}

void ViewTabs::UpdatePresenter(int presenter) {
    Update([presenter](const CurveSource& c) { return c.presenter == presenter; });
}

void ViewTabs::UpdateSlot(int slot) {
    Update([slot](const CurveSource& c) { return slot >= 0 && c.slot == slot; });
}

void ViewTabs::Update(const std::function<bool(const CurveSource&)>& changed) {
    if (std::none_of(curves_.begin(), curves_.end(), changed))
        return;
    MarkStale(GROUP_DELAY);
    MarkStale(ENERGY_TIME);
    const CurveSource* w = Focus(waterfallChoice_);
    if (w != nullptr && changed(*w))
        MarkStale(WATERFALL);
    const CurveSource* r = Focus(roomChoice_);
    if (r != nullptr && changed(*r))
        MarkStale(ROOM);
    RefreshShown();
}

void ViewTabs::ShowRoomOf(int presenter) {
    if (presenter < 0 || presenter >= roomFocus_->count())
        return;
    roomFocus_->setCurrentIndex(presenter);
    if (presenter == roomChoice_)
        return;
    roomChoice_ = presenter;
    MarkStale(ROOM);
    RefreshShown();
}

void ViewTabs::MarkStale(Page page) {
    stale_[page] = true;
}

void ViewTabs::RefreshShown() {
    for (int p = 0; p < PAGES; ++p)
        if (tabs_->currentWidget() == pages_[static_cast<std::size_t>(p)] &&
            stale_[static_cast<std::size_t>(p)])
            Compute(static_cast<Page>(p));
}

void ViewTabs::Compute(Page page) {
    stale_[page] = false;
    switch (page) {
    case GROUP_DELAY:
        groupDelay_->SetCurves(curves_);
        groupDelay_->replot(QCustomPlot::rpQueuedReplot);
        break;
    case ENERGY_TIME:
        energyTime_->SetCurves(curves_);
        energyTime_->replot(QCustomPlot::rpQueuedReplot);
        break;
    case WATERFALL: {
        const CurveSource* focus = Focus(waterfallChoice_);
        waterfall_->SetSource(focus != nullptr ? *focus : CurveSource{});
        break;
    }
    case ROOM: {
        const CurveSource* focus = Focus(roomChoice_);
        // The room analysis reads the measured data only, not the view.
        const std::uint64_t key =
            focus != nullptr && focus->record != nullptr ? focus->record->GetDataGeneration() : 0;
        if (key != roomGeneration_ || roomGeneration_ == 0) {
            room_->SetSource(focus != nullptr ? *focus : CurveSource{});
            roomGeneration_ = key;
        }
        break;
    }
    case PAGES:
        break;
    }
}

} // namespace Kedra::Sonvel::Gui
