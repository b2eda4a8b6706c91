#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QImage>
#include <QMouseEvent>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>

#include <cmath>
#include <memory>
#include <vector>

#include "WindowTestFixture.h"
#include "analyze/MeasurementViews.h"
#include "gui/PresenterPanel.h"
#include "gui/RoomAcousticsView.h"
#include "gui/ViewTabs.h"
#include "gui/WaterfallView.h"
#include "measure/Measurement.h"

namespace {

using namespace Kedra::Sonvel::Gui;
using Kedra::Measure::Measurement;

constexpr int RATE = 48000;

// A unit impulse `delay` samples after time zero: a pure delay, flat in level.
std::unique_ptr<Measurement> DelayRecord(int delay, int exponent = 14) {
    const int n = 1 << exponent;
    std::vector<double> samples(static_cast<std::size_t>(n), 0.0);
    samples[static_cast<std::size_t>(n / 2 + delay)] = 1.0;
    auto m = std::make_unique<Measurement>("delay");
    m->InitializeImpulse(samples.data(), n, n / 2, RATE, exponent, 0, 0.0, 0.0, true);
    return m;
}

// A decaying two-tone ring, so that every slice of a waterfall has something in it.
std::unique_ptr<Measurement> RingRecord(int exponent = 16) {
    const int n = 1 << exponent;
    std::vector<double> samples(static_cast<std::size_t>(n), 0.0);
    for (int i = 0; i < n / 2; ++i)
        samples[static_cast<std::size_t>(n / 2 + i)] =
            std::exp(-i / 400.0) * (std::sin(0.13 * i) + 0.5 * std::sin(0.61 * i));
    auto m = std::make_unique<Measurement>("ring");
    m->InitializeImpulse(samples.data(), n, n / 2, RATE, exponent, 0, 0.0, 0.0, true);
    return m;
}

void Shot(QWidget& w, const QString& name) {
    const QString shots = QStringLiteral(SONVEL_SCREENSHOT_DIR);
    std::filesystem::create_directories(shots.toStdString());
    w.show();
    QCoreApplication::processEvents();
    w.grab().save(shots + "/" + name);
}

// The plotted value nearest a key (the graph holds the per-column extremes).
double ValueNear(const QCPGraph* g, double key) {
    auto it = g->data()->findBegin(key, false);
    if (it == g->data()->constEnd() ||
        (it != g->data()->constBegin() && key - (it - 1)->key < it->key - key))
        --it;
    return it->value;
}

TEST(GroupDelayGraph, APureDelayReadsItsDelayAtEveryFrequencyAsDelayAndAsExcess) {
    constexpr int DELAY = 24;
    constexpr double MS = 1000.0 * DELAY / RATE;
    auto record = DelayRecord(DELAY);
    record->SetImpulseWindowEnabled(false);
    GraphView g(GraphKind::GroupDelay);
    g.resize(1200, 700);
    g.SetCurves({{record.get(), 0, -1, Qt::darkBlue, "A"}});
    for (bool excess : {false, true}) {
        GraphSettings s = g.Settings();
        s.excessDelay = excess;
        g.SetSettings(s);
        const QCPGraph* curve = g.CurveGraph(0);
        ASSERT_NE(curve, nullptr);
        for (double hz : {100.0, 1000.0, 5000.0, 15000.0})
            EXPECT_NEAR(ValueNear(curve, hz), MS, 1e-6) << hz << (excess ? " excess" : "");
        EXPECT_EQ(g.yAxis->label().contains("Excess"), excess);
    }
    g.FitAll();
    EXPECT_TRUE(g.yAxis->range().contains(MS));
    EXPECT_LT(g.yAxis->range().size(), 5.0);
}

TEST(EnergyTimeGraph, ADiracPeaksAtTimeZeroWithZeroDbBroadbandAndInABand) {
    auto record = DelayRecord(0);
    GraphView g(GraphKind::EnergyTime);
    g.resize(1200, 700);
    g.SetCurves({{record.get(), 0, -1, Qt::darkBlue, "A"}});
    for (double band : {0.0, 1000.0}) {
        GraphSettings s = g.Settings();
        s.etcBandHz = band;
        g.SetSettings(s);
        const QCPGraph* curve = g.CurveGraph(0);
        ASSERT_NE(curve, nullptr);
        double peak = -1e9, at = 0.0;
        for (const QCPGraphData& d : *curve->data())
            if (d.value > peak) {
                peak = d.value;
                at = d.key;
            }
        EXPECT_NEAR(peak, 0.0, 1e-9) << band;
        // Within a pixel column, in the band too: its filter has no phase to delay the peak.
        EXPECT_NEAR(at, 0.0, g.xAxis->range().size() / 1000.0) << band;
        EXPECT_LT(ValueNear(curve, 20.0), -40.0) << band;
    }
}

TEST(WaterfallGraph, LinesAndColourMapDrawEverySliceAndTheMapHoldsTheLevels) {
    auto record = RingRecord();
    WaterfallView w;
    w.resize(1600, 900);
    WaterfallViewSettings s;
    s.slices = {0.0, 2.9, 0.1, 5.0, 0.1, 0.0}; // 30 slices
    w.SetSettings(s);
    w.SetSource({record.get(), 0, -1, Qt::darkBlue, "A: ring"});
    const auto& data = w.Data();
    ASSERT_EQ(data.levels.size(), 30u);
    EXPECT_EQ(w.ColourMap(), nullptr);
    for (int i = 0; i < 30; ++i)
        ASSERT_NE(w.SliceGraph(i), nullptr) << i;
    EXPECT_EQ(w.SliceGraph(30), nullptr);
    // The top: the highest level drawn, rounded up to 5 dB.
    double highest = -1e9;
    for (const auto& level : data.levels)
        for (std::size_t k = 1; k < level.size(); ++k)
            if (k * data.hzPerBin >= s.freqMin && k * data.hzPerBin <= s.freqMax)
                highest = std::max(highest, level[k]);
    EXPECT_GE(w.TopDb(), highest);
    EXPECT_LT(w.TopDb(), highest + 5.0);
    EXPECT_EQ(std::fmod(w.TopDb(), 5.0), 0.0);
    // The front (last) slice lies on the axes: its level at a bin, floored, above the floor.
    const QCPGraph* front = w.SliceGraph(29);
    const double hz = 1000.0;
    const auto bin = static_cast<std::size_t>(std::lround(hz / data.hzPerBin));
    const double bottom = w.TopDb() + s.floorDb;
    EXPECT_NEAR(ValueNear(front, bin * data.hzPerBin),
                std::max(data.levels[29][bin], bottom) - bottom, 1e-9);
    QString readout;
    QObject::connect(&w, &WaterfallView::cursorText, [&](const QString& t) { readout = t; });
    w.show();
    w.replot();
    const QPointF at(w.xAxis->coordToPixel(700.0), w.axisRect()->center().y());
    QMouseEvent move(QEvent::MouseMove, at, w.mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(&w, &move);
    const double under = w.xAxis->pixelToCoord(at.x());
    const auto underBin = static_cast<std::size_t>(std::lround(under / data.hzPerBin));
    EXPECT_TRUE(readout.startsWith(QString::number(under, 'f', 1) + " Hz"))
        << readout.toStdString();
    EXPECT_TRUE(
        readout.contains(QString("0.00 ms: %1 dB").arg(data.levels[0][underBin], 0, 'f', 1)))
        << readout.toStdString();
    Shot(w, "view-waterfall-lines.png");

    s.style = WaterfallStyle::ColourMap;
    w.SetSettings(s);
    const QCPColorMap* map = w.ColourMap();
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map->data()->keySize(), w.MapColumns());
    EXPECT_EQ(map->data()->valueSize(), 30);
    EXPECT_GT(w.MapColumns(), 100);
    // A cell holds the peak of its bins: never below the level of a bin inside it.
    for (int slice : {0, 15, 29}) {
        double key = 0.0, value = 0.0;
        map->data()->cellToCoord(w.MapColumns() / 2, slice, &key, &value);
        EXPECT_NEAR(value, data.timesMs[static_cast<std::size_t>(slice)], 1e-9);
        const double f = std::pow(10.0, key);
        const auto k = static_cast<std::size_t>(std::lround(f / data.hzPerBin));
        EXPECT_GE(map->data()->cell(w.MapColumns() / 2, slice) + 1e-9,
                  std::max(data.levels[static_cast<std::size_t>(slice)][k], bottom));
    }
    Shot(w, "view-waterfall-map.png");

    s.slices.endMs = 1e6; // beyond the record: no slice
    w.SetSettings(s);
    EXPECT_TRUE(w.Data().levels.empty());
    const auto message = [&w] {
        for (int i = 0; i < w.itemCount(); ++i)
            if (auto* text = qobject_cast<QCPItemText*>(w.item(i)); text && text->visible())
                return text->text();
        return QString();
    };
    EXPECT_TRUE(message().contains("outside the measurement")) << message().toStdString();
    s.slices.endMs = 5.0;
    s.slices.stepMs = 0.001;
    w.SetSettings(s);
    EXPECT_TRUE(w.Data().levels.empty());
    EXPECT_TRUE(message().contains("at most 1000 slices")) << message().toStdString();
    EXPECT_EQ(w.SliceGraph(0), nullptr);
    EXPECT_EQ(w.ColourMap()->data()->keySize(), 0);
}

class ViewTabsTest : public SonvelTest::WindowTest {
protected:
    void SetUp() override {
        prefix = "views-";
        WindowTest::SetUp();
    }
    void Show(const QString& title) {
        QTabWidget* tabs = window->Tabs();
        for (int i = 0; i < tabs->count(); ++i)
            if (tabs->tabText(i) == title)
                tabs->setCurrentIndex(i);
        ASSERT_EQ(tabs->tabText(tabs->currentIndex()), title);
        QCoreApplication::processEvents();
    }
};

// Every drawn point inside the axes: of each curve, the points whose key lies in the key
// range have their value in the value range, its highest point is among them, and there are
// points to see.
void ExpectFitted(QCustomPlot* plot, const QString& tab) {
    int drawn = 0;
    for (int g = 0; g < plot->graphCount(); ++g) {
        const QCPGraph* graph = plot->graph(g);
        if (!graph->visible() || graph->data()->isEmpty())
            continue;
        const QCPRange keys = graph->keyAxis()->range();
        const QCPRange values = graph->valueAxis()->range();
        const QCPGraphData* loudest = nullptr;
        const auto first = graph->data()->constBegin();
        const auto last = graph->data()->constEnd() - 1;
        for (auto it = first; it != graph->data()->constEnd(); ++it) {
            const QCPGraphData& d = *it;
            if (!std::isfinite(d.value))
                continue;
            // The end points outside the range only carry the line to the axis' edge.
            const bool edge = !keys.contains(d.key) && (it == first || it == last);
            if (!edge && (loudest == nullptr || d.value > loudest->value))
                loudest = &d;
            if (!keys.contains(d.key))
                continue;
            ++drawn;
            EXPECT_TRUE(values.contains(d.value))
                << tab.toStdString() << " " << graph->name().toStdString() << ": " << d.value
                << " at " << d.key << " outside " << values.lower << " .. " << values.upper;
        }
        ASSERT_NE(loudest, nullptr) << tab.toStdString();
        EXPECT_TRUE(keys.contains(loudest->key))
            << tab.toStdString() << " loudest point at " << loudest->key << " not shown";
    }
    EXPECT_GT(drawn, 20) << tab.toStdString();
}

TEST_F(ViewTabsTest, FitShowsEveryDrawnPointOfEveryTabForDataFarFromThePresets) {
    // +60 dB and a slow decay in A; the same 300 ms late in B: levels, delays and decays far
    // outside the preset ranges.
    constexpr int EXPONENT = 16;
    constexpr int LATE = RATE * 3 / 10;
    const int n = 1 << EXPONENT;
    for (int slot : {0, 1}) {
        std::vector<double> samples(static_cast<std::size_t>(n), 0.0);
        const int at = n / 2 + (slot == 1 ? LATE : 0);
        for (int i = 0; at + i < n; ++i)
            samples[static_cast<std::size_t>(at + i)] =
                1000.0 * std::exp(-i / 3000.0) * (std::sin(0.13 * i) + 0.5 * std::sin(0.61 * i));
        ctrl->List().No(slot)->InitializeImpulse(samples.data(), n, n / 2, RATE, EXPONENT, 0, 0.0,
                                                 0.0, true);
    }
    front.ListChanged();
    front.PresenterChanged(0);
    QAction* fit = nullptr;
    for (QAction* a : window->findChildren<QAction*>())
        if (a->shortcut() == QKeySequence("Ctrl+0"))
            fit = a;
    ASSERT_NE(fit, nullptr);
    ViewTabs* views = window->Views();
    const auto fitted = [&](const QString& tab, QCustomPlot* plot) {
        Show(tab);
        fit->trigger();
        ExpectFitted(plot, tab);
    };
    fitted("Frequency response", window->Graph(GraphKind::Response));
    fitted("Impulse response", window->Graph(GraphKind::Impulse));
    // Another view of the impulse: the axes follow it without a Fit.
    auto* mode = window->Tabs()->currentWidget()->findChild<QComboBox*>();
    ASSERT_NE(mode, nullptr);
    mode->setCurrentIndex(1);
    emit mode->activated(1);
    ExpectFitted(window->Graph(GraphKind::Impulse), "Impulse response in dB");
    fitted("Impulse response", window->Graph(GraphKind::Impulse));
    fitted("Group delay", views->GroupDelayGraph());
    fitted("ETC", views->EnergyTimeGraph());
    fitted("Waterfall", views->Waterfall());
    fitted("Room acoustics", views->Room()->DecayPlot());
    Screenshot("fit-room-decay.png");
    Show("Group delay");
    Screenshot("fit-groupdelay.png");
}

TEST_F(ViewTabsTest, RoomTableShowsTheAnalysisOfTheMeasuredRoomAndTabsComputeWhenShown) {
    ASSERT_TRUE(Measure(0, Kedra::PAudioII::SimulatedModel::Room));
    ViewTabs* views = window->Views();
    // Not on show: nothing analysed yet.
    EXPECT_TRUE(views->Room()->Results().empty());
    EXPECT_EQ(views->Waterfall()->Data().levels.size(), 0u);

    Show("Room acoustics");
    Measurement* a = ctrl->Presenter(0);
    const auto truth = Kedra::Measure::RoomAcousticsOf(*a);
    ASSERT_EQ(truth.size(), 9u);
    const QTableWidget* table = views->Room()->Table();
    ASSERT_EQ(table->rowCount(), 9);
    EXPECT_EQ(table->verticalHeaderItem(8)->text(), "Broadband");
    EXPECT_EQ(table->verticalHeaderItem(0)->text(), "63 Hz");
    const double Kedra::Measure::RoomParameters::*columns[] = {
        &Kedra::Measure::RoomParameters::edt, &Kedra::Measure::RoomParameters::t20,
        &Kedra::Measure::RoomParameters::t30, &Kedra::Measure::RoomParameters::c50,
        &Kedra::Measure::RoomParameters::c80, &Kedra::Measure::RoomParameters::d50,
        &Kedra::Measure::RoomParameters::ts};
    int numbers = 0;
    for (int r = 0; r < 9; ++r)
        for (int c = 0; c < 7; ++c) {
            const double v = truth[static_cast<std::size_t>(r)].parameters.*columns[c];
            const QString text = table->item(r, c)->text();
            if (std::isnan(v)) {
                EXPECT_EQ(text, "-") << r << " " << c;
            } else {
                bool ok = false;
                EXPECT_NEAR(text.toDouble(&ok), v, c < 3 ? 0.005 : 0.05) << r << " " << c;
                EXPECT_TRUE(ok) << text.toStdString();
                ++numbers;
            }
        }
    EXPECT_GT(numbers, 50);
    EXPECT_EQ(views->Room()->DecayPlot()->graphCount(), 9);
    // Fitted to decays, not to where the noise correction has cancelled an integral.
    EXPECT_GT(views->Room()->DecayPlot()->yAxis->range().lower, -160.0);
    Screenshot("view-room.png");

    // A Dirac in B has no decay to speak of: its reverberation times are "-".
    ctrl->List().No(1)->InitializeDirac(14, RATE, 1.0);
    ctrl->SetPresenterSlot(1, 1);
    front.PresenterChanged(1);
    QCoreApplication::processEvents();
    auto* roomOf = window->findChild<QComboBox*>("roomOf");
    ASSERT_NE(roomOf, nullptr);
    roomOf->setCurrentIndex(1);
    emit roomOf->activated(1);
    ASSERT_EQ(table->rowCount(), 9);
    EXPECT_EQ(table->item(8, 2)->text(), "-");

    // Ctrl+4 .. Ctrl+7 open the four tabs.
    const char* titles[] = {"Group delay", "ETC", "Waterfall", "Room acoustics"};
    for (int i = 0; i < 4; ++i) {
        const QKeySequence keys(QString("Ctrl+%1").arg(i + 4));
        QAction* action = nullptr;
        for (QAction* a : window->findChildren<QAction*>())
            if (a->shortcut() == keys)
                action = a;
        ASSERT_NE(action, nullptr) << i;
        action->trigger();
        EXPECT_EQ(window->Tabs()->tabText(window->Tabs()->currentIndex()), titles[i]);
    }
    const QString png = QString::fromStdString((dir / "room.png").string());
    QString error;
    ASSERT_TRUE(window->ExportGraph(png, 900, 500, &error)) << error.toStdString();
    EXPECT_EQ(QImage(png).size(), QSize(900, 500));

    Show("Waterfall");
    WaterfallView* waterfall = views->Waterfall();
    EXPECT_EQ(waterfall->Data().levels.size(), 31u);
    Screenshot("view-waterfall.png");
    // The room preset: its slices in the fields, its smoothing chosen, the graph fitted to
    // the 31 slices from 20 Hz; the speaker preset brings the first settings back.
    auto* preset = window->findChild<QComboBox*>("waterfallPreset");
    auto* smoothing = window->findChild<QComboBox*>("waterfallSmoothing");
    auto* last = window->findChild<QDoubleSpinBox*>("sliceLast");
    ASSERT_TRUE(preset != nullptr && smoothing != nullptr && last != nullptr);
    EXPECT_EQ(preset->currentText(), "Speaker");
    preset->setCurrentIndex(1);
    emit preset->activated(1);
    EXPECT_EQ(last->value(), 300.0);
    EXPECT_EQ(smoothing->currentText(), "1/6 octave");
    const auto& room = waterfall->Data();
    ASSERT_EQ(room.levels.size(), 31u);
    EXPECT_EQ(room.timesMs.back(), 300.0);
    EXPECT_EQ(waterfall->Settings().slices.smoothingNOct, 6.0);
    EXPECT_EQ(window->findChild<QDoubleSpinBox*>("waterfallFloor")->value(), -60.0);
    // Fitted to the drawn points: from the bin at or just below the lowest frequency asked for.
    EXPECT_LE(waterfall->xAxis->range().lower, 20.0);
    EXPECT_GT(waterfall->xAxis->range().lower, 20.0 - waterfall->Data().hzPerBin);
    // Every slice's line lies inside the fitted level range.
    for (int i = 0; i < 31; ++i)
        for (const QCPGraphData& d : *waterfall->SliceGraph(i)->data())
            ASSERT_TRUE(waterfall->yAxis->range().contains(d.value)) << i << " " << d.key;
    QCoreApplication::processEvents(); // the queued replot
    Screenshot("view-waterfall-room.png");
    // A changed field makes the preset Custom.
    last->setValue(200.0);
    EXPECT_EQ(preset->currentText(), "Custom");
    EXPECT_EQ(waterfall->Data().levels.size(), 21u);
    preset->setCurrentIndex(0);
    emit preset->activated(0);
    EXPECT_EQ(last->value(), 3.0);
    EXPECT_EQ(waterfall->Data().levels.size(), 31u);
    EXPECT_EQ(waterfall->Data().timesMs.back(), 3.0);
    // Fitted to the drawn points: from the bin at or just below the lowest frequency asked for.
    EXPECT_LE(waterfall->xAxis->range().lower, 200.0);
    EXPECT_GT(waterfall->xAxis->range().lower, 200.0 - waterfall->Data().hzPerBin);
    Show("Group delay");
    ASSERT_NE(views->GroupDelayGraph()->CurveGraph(0), nullptr);
    Screenshot("view-groupdelay.png");
    Show("ETC");
    ASSERT_NE(views->EnergyTimeGraph()->CurveGraph(1), nullptr);
    Screenshot("view-etc.png");
}

TEST_F(ViewTabsTest, RoomTabShowsThePresenterLastMeasuredOrChosenAndWhyValuesAreMissing) {
    ASSERT_TRUE(Measure(0, Kedra::PAudioII::SimulatedModel::Room));
    ASSERT_TRUE(Measure(1, Kedra::PAudioII::SimulatedModel::Speaker));
    Show("Room acoustics");
    auto* roomOf = window->findChild<QComboBox*>("roomOf");
    ASSERT_NE(roomOf, nullptr);
    EXPECT_EQ(roomOf->currentText(), "B");
    const auto truth = Kedra::Measure::RoomAcousticsOf(*ctrl->Presenter(1));
    const QTableWidget* table = window->Views()->Room()->Table();
    ASSERT_EQ(table->rowCount(), 9);
    ASSERT_EQ(truth.size(), 9u);
    int bounds = 0;
    for (int r = 0; r < 8; ++r) {
        const auto& p = truth[static_cast<std::size_t>(r)].parameters;
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(table->item(r, c)->text(), "-") << r << " " << c;
            EXPECT_TRUE(table->item(r, c)->toolTip().startsWith(
                "Decay shorter than the octave filters resolve"))
                << table->item(r, c)->toolTip().toStdString();
        }
        const QString c80 = table->item(r, 4)->text();
        EXPECT_EQ(c80.startsWith("> "), p.c80IsBound) << c80.toStdString();
        if (p.c80IsBound) {
            EXPECT_NEAR(c80.mid(2).toDouble(), p.c80, 0.05);
            EXPECT_TRUE(table->item(r, 4)->toolTip().contains("under the noise"));
            ++bounds;
        }
    }
    EXPECT_GT(bounds, 4);
    Screenshot("view-room-speaker.png");

    // A slot chosen for A in its panel brings the room back.
    emit window->Panel(0)->slotChosen(0, ctrl->PresenterSlot(0));
    QCoreApplication::processEvents();
    EXPECT_EQ(roomOf->currentText(), "A");
    EXPECT_NE(table->item(8, 2)->text(), "-");
    EXPECT_TRUE(table->item(8, 2)->toolTip().isEmpty());
}

} // namespace
