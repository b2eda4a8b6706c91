// The SPL reference through the window: the dialog records the own tone on the simulated
// loopback, and a later sweep reads dB SPL on the response graph.
#include <QComboBox>
#include <QCoreApplication>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>

#include "WindowTestFixture.h"
#include "gui/CheckedSpinBox.h"
#include "gui/GraphView.h"
#include "gui/SplDialog.h"

namespace SonvelTest {

class SplWindowTest : public WindowTest {
protected:
    // Records through the dialog with `source` (0 calibrator, 1 own tone), or only listens;
    // whether it stored.
    bool Record(Gui::SplDialog& dialog, int source, bool listen = false) {
        dialog.SourceBox()->setCurrentIndex(source);
        dialog.LevelBox()->setValue(94.0);
        QSignalSpy done(&dialog, &Gui::SplDialog::recorded);
        (listen ? dialog.ListenButton() : dialog.RecordButton())->click();
        EXPECT_TRUE(done.wait(30000));
        return !done.isEmpty() && done.first().first().toBool();
    }
};

TEST_F(SplWindowTest, OwnToneReferenceMakesTheNextSweepReadDbSpl) {
    ctrl->Audio().UseSimulated(true, SimulatedModel::Loopback);
    Conf::Options::Field.Dev.OutputPCMAmplitude = 0.5f;
    Gui::SplDialog* dialog = window->OpenSplReference();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->StoredText().contains("No reference"));
    // Nothing plays for a calibrator, and the loopback hears nothing: refused, and said why.
    EXPECT_FALSE(Record(*dialog, 0));
    EXPECT_TRUE(dialog->ResultText().contains("No tone arrived"))
        << dialog->ResultText().toStdString();
    // Listening reads the tone and stores nothing.
    EXPECT_FALSE(Record(*dialog, 1, true));
    EXPECT_TRUE(dialog->ResultText().contains("Read -6.02 dBFS at 1000.0 Hz"));
    EXPECT_TRUE(dialog->StoredText().contains("No reference"));
    ASSERT_TRUE(Record(*dialog, 1)) << dialog->ResultText().toStdString();
    EXPECT_TRUE(dialog->StoredText().contains("94.00 dB SPL = -6.02 dBFS, 1000.0 Hz"))
        << dialog->StoredText().toStdString();
    Screenshot("spl-dialog.png", dialog);
    dialog->reject();

    Conf::Options::Field.Dev.OutputPCMAmplitude = 0.25f;
    Conf::Options::Field.Analysis.TimeWindowAutoApply = false;
    ASSERT_TRUE(Measure(MainCtrl::PRESENTER_A, SimulatedModel::Loopback));
    Gui::GraphView* graph = window->Graph(Gui::GraphKind::Response);
    graph->SetSettings([&] {
        Gui::GraphSettings s = graph->Settings();
        s.freqMin = 100.0;
        s.freqMax = 10000.0;
        return s;
    }());
    graph->replot();
    QCPGraph* a = graph->CurveGraph(MainCtrl::PRESENTER_A);
    ASSERT_NE(a, nullptr);
    double low = 1e9, high = -1e9, at1k = 0.0, nearest = 1e9;
    for (const QCPGraphData& d : *a->data()) {
        if (d.key < 100.0 || d.key > 10000.0)
            continue;
        low = std::min(low, d.value);
        high = std::max(high, d.value);
        if (std::fabs(d.key - 1000.0) < nearest) {
            nearest = std::fabs(d.key - 1000.0);
            at1k = d.value;
        }
    }
    EXPECT_NEAR(at1k, 94.0 - 6.02, 0.1);
    EXPECT_LT(high - low, 0.2);
    EXPECT_EQ(graph->yAxis->label().toStdString(), "Level [dB SPL]");
    EXPECT_FALSE(graph->MixedLevels());
    // A range in dB SPL is not kept as the options' level range re full scale.
    window->StoreWindowOptions();
    EXPECT_EQ(Conf::Options::Field.Plot.PlotDbMax, Conf::PlotOptions{}.PlotDbMax);
    // The cursor reads dB SPL too.
    QString readout;
    QObject::connect(graph, &Gui::GraphView::cursorText, [&](const QString& t) { readout = t; });
    const QPointF at(graph->xAxis->coordToPixel(1000.0), graph->axisRect()->center().y());
    QMouseEvent move(QEvent::MouseMove, at, graph->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(graph, &move);
    const auto level =
        QRegularExpression(QStringLiteral("A: [^:]+: ([0-9.]+) dB SPL")).match(readout);
    ASSERT_TRUE(level.hasMatch()) << readout.toStdString();
    EXPECT_NEAR(level.captured(1).toDouble(), 94.0 - 6.02, 0.1);

    // Without the reference A reads dB re full scale again, and the level axis follows it down.
    dialog = window->OpenSplReference();
    ASSERT_NE(dialog, nullptr);
    dialog->ClearButton()->click();
    EXPECT_TRUE(dialog->StoredText().contains("No reference"));
    dialog->reject();
    ASSERT_TRUE(Measure(MainCtrl::PRESENTER_A, SimulatedModel::Loopback));
    // The earlier A, kept in slot 3, still reads dB SPL beside it until it is hidden.
    graph->replot();
    EXPECT_TRUE(graph->MixedLevels());
    ASSERT_TRUE(ctrl->List().No(3)->HasSpl());
    ctrl->SetSlotShown(3, false);
    QCoreApplication::processEvents();
    graph->replot();
    EXPECT_EQ(graph->yAxis->label().toStdString(), "Level [dB]");
    EXPECT_TRUE(graph->yAxis->range().contains(-12.04)) << graph->yAxis->range().lower;

    // B with a reference again beside A without: the graph says it mixes both.
    Conf::Options::Field.Dev.OutputPCMAmplitude = 0.5f;
    dialog = window->OpenSplReference();
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(Record(*dialog, 1));
    dialog->reject();
    Conf::Options::Field.Dev.OutputPCMAmplitude = 0.25f;
    ASSERT_TRUE(Measure(MainCtrl::PRESENTER_B, SimulatedModel::Loopback));
    graph->replot();
    EXPECT_TRUE(graph->MixedLevels());
    EXPECT_EQ(graph->yAxis->label().toStdString(), "Level [dB SPL | dB]");
    Screenshot("spl-mixed-levels.png");
}

} // namespace SonvelTest
