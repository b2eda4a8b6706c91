#include <QLabel>
#include <QTabWidget>
#include <QTableWidget>
#include <qcustomplot.h>

#include <cmath>

#include "filter/Equaliser.h"
#include "gui/EqTab.h"
#include "gui/PresenterPanel.h"
#include "gui/WindowTestFixture.h"

namespace {

using namespace Kedra::Sonvel;
using Kedra::PAudioII::SimulatedModel;

class EqTabTest : public SonvelTest::WindowTest {};

// The predicted curve's value at the grid point nearest f.
double PredictedAt(QCustomPlot* plot, double f) {
    const auto data = plot->graph(2)->data();
    auto it = data->findBegin(f, false);
    return it == data->constEnd() ? NAN : it->value;
}

TEST_F(EqTabTest, FitsTheRoomFollowsAnEditAndRefusesANonNumber) {
    ASSERT_TRUE(Measure(MainCtrl::PRESENTER_A, SimulatedModel::Room));
    // The whole impulse, as room EQ wants it; the panel is told as the window does.
    ctrl->Presenter(MainCtrl::PRESENTER_A)->SetImpulseWindowEnabled(false);
    window->Panel(MainCtrl::PRESENTER_A)->Refresh();
    auto* tab = window->findChild<Gui::EqTab*>();
    ASSERT_NE(tab, nullptr);
    window->Tabs()->setCurrentWidget(tab);
    tab->TargetField()->setText("house:4,60,-2");
    ASSERT_TRUE(tab->Fit()) << tab->Status()->text().toStdString();
    const auto& fit = tab->Current();
    ASSERT_FALSE(fit.filters.empty());
    EXPECT_EQ(tab->Table()->rowCount(), static_cast<int>(fit.filters.size()));
    EXPECT_EQ(tab->Plot()->graph(2)->data()->size(), static_cast<int>(fit.hz.size()));
    EXPECT_TRUE(tab->Status()->text().contains("after RMS"));
    Screenshot("eq-tab.png");

    // A deeper cut on the first filter lowers the prediction at its frequency at once.
    const Kedra::Filter::EqFilter first = fit.filters.front();
    const double before = PredictedAt(tab->Plot(), first.fc);
    const double newGain = std::max(first.gainDb - 3.0, -15.0);
    tab->Table()->item(0, 2)->setText(QString::number(newGain, 'f', 2));
    EXPECT_DOUBLE_EQ(tab->Current().filters.front().gainDb, newGain);
    EXPECT_LT(PredictedAt(tab->Plot(), first.fc), before - 0.5 * (first.gainDb - newGain));

    // A cell that is not a number is put back, and the status says so.
    tab->Table()->item(0, 3)->setText("sharp");
    EXPECT_EQ(tab->Table()->item(0, 3)->text(), QString::number(first.q, 'f', 3));
    EXPECT_TRUE(tab->Status()->text().contains("was not taken"));

    const QString apo = QString::fromStdString((dir / "eq.txt").string());
    tab->DeviceBox()->setCurrentText("apo");
    ASSERT_TRUE(tab->Fit());
    ASSERT_TRUE(tab->ExportTo(apo));
    EXPECT_EQ(SonvelTest::ReadBytes(dir / "eq.txt").rfind("Preamp: -", 0), 0u);
    const int kept = tab->KeepPrediction();
    ASSERT_GE(kept, 0);
    EXPECT_TRUE(ctrl->List().No(kept)->IsInitialized());
}

} // namespace
