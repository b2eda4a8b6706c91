#include "gui/MainWindow.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QMimeData>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <filesystem>

#include "WindowTestFixture.h"
#include "app/MainCtrl.h"
#include "app/Options.h"
#include "audio/SimulatedSoundCard.h"
#include "gui/GuiFrontEnd.h"
#include "gui/MeasurementTableModel.h"
#include "gui/PresenterPanel.h"
#include "measure/Measurement.h"
#include "support/TestSupport.h"

namespace {

using namespace Kedra::Sonvel;
using Kedra::PAudioII::SimulatedModel;
namespace fs = std::filesystem;

class MainWindowTest : public SonvelTest::WindowTest {
protected:
    // The magnitude curve of a presenter must hold the record's level at the bin nearest to
    // each frequency: exactly where the bins are sparser than the pixels, else between the
    // minimum and maximum the graph kept for that pixel column.
    void ExpectCurveFollowsRecord(int presenter) {
        Kedra::Measure::Measurement* m = ctrl->Presenter(presenter);
        QCPGraph* curve = window->Graph(Gui::GraphKind::Response)->CurveGraph(presenter, 0);
        ASSERT_NE(curve, nullptr);
        ASSERT_GT(curve->data()->size(), 0);
        const QCPRange range = curve->keyAxis()->range();
        const double column = std::log(range.upper / range.lower) /
                              std::max(1, curve->keyAxis()->axisRect()->width());
        const double* a = m->GetA();
        for (double f : {25.0, 40.0, 63.0, 100.0, 250.0, 630.0, 1600.0, 4000.0, 8000.0, 16000.0}) {
            const int k = static_cast<int>(std::lround(f / m->GetHzPerBin()));
            const double bin = k * m->GetHzPerBin();
            const double db = 20.0 * std::log10(a[k]);
            double lo = 1e300, hi = -1e300;
            int inside = 0;
            bool exact = false;
            for (auto it = curve->data()->constBegin(); it != curve->data()->constEnd(); ++it) {
                if (std::abs(std::log(it->key / bin)) > column)
                    continue;
                ++inside;
                lo = std::min(lo, it->value);
                hi = std::max(hi, it->value);
                exact =
                    exact || (std::abs(it->key - bin) < 1e-9 && std::abs(it->value - db) < 1e-9);
            }
            ASSERT_GT(inside, 0) << "no point near " << bin << " Hz";
            if (bin / m->GetHzPerBin() < 1.0 / column) {
                EXPECT_TRUE(exact) << bin << " Hz: " << db << " dB not drawn as it is";
            }
            EXPECT_GE(db, lo - 1e-9) << bin << " Hz";
            EXPECT_LE(db, hi + 1e-9) << bin << " Hz";
        }
    }
};

TEST_F(MainWindowTest, MeasuredSpeakerIsDrawnAsItsRecordAndFollowsTheWindowEnd) {
    // Below the speaker's +4 dB resonance clipping full scale.
    Conf::Options::Field.Dev.OutputPCMAmplitude = 0.5f;
    ASSERT_TRUE(Measure(MainCtrl::PRESENTER_A, SimulatedModel::Speaker));
    Kedra::Measure::Measurement* a = ctrl->Presenter(MainCtrl::PRESENTER_A);
    ASSERT_TRUE(a->IsInitialized());
    EXPECT_EQ(window->ListModel()
                  ->data(window->ListModel()->index(0, Gui::MeasurementTableModel::Presenter),
                         Qt::DisplayRole)
                  .toString(),
              "A");
    ExpectCurveFollowsRecord(MainCtrl::PRESENTER_A);

    // Above the speaker's roll-off, 50 dB below its peak, the phase is noise: not drawn.
    const double* level = a->GetA();
    const int bins = a->GetNBins();
    const double threshold = *std::max_element(level, level + bins) * std::pow(10.0, -50.0 / 20.0);
    int quiet = bins;
    while (quiet > 0 && level[quiet - 1] < threshold)
        --quiet;
    ASSERT_LT(quiet, bins - 10) << "the speaker rolls off steeply before Nyquist";
    QCPGraph* phase = window->Graph(Gui::GraphKind::Response)->CurveGraph(0, 1);
    ASSERT_NE(phase, nullptr);
    int drawnAbove = 0, drawnBelow = 0;
    for (auto it = phase->data()->constBegin(); it != phase->data()->constEnd(); ++it)
        if (std::isfinite(it->value))
            ++(it->key > (quiet + 1) * a->GetHzPerBin() ? drawnAbove : drawnBelow);
    EXPECT_EQ(drawnAbove, 0);
    EXPECT_GT(drawnBelow, 100);

    for (int tab = 0; tab < 3; ++tab) {
        window->Tabs()->setCurrentIndex(tab);
        Screenshot(QString("window-tab%1.png").arg(tab));
    }
    window->Tabs()->setCurrentIndex(0);

    // A short window through the presenter's controls: the curve changes with the record.
    QCPGraph* curve = window->Graph(Gui::GraphKind::Response)->CurveGraph(0, 0);
    const QVector<double> before = [&] {
        QVector<double> v;
        for (auto it = curve->data()->constBegin(); it != curve->data()->constEnd(); ++it)
            v.push_back(it->value);
        return v;
    }();
    Gui::PresenterPanel* panel = window->Panel(MainCtrl::PRESENTER_A);
    panel->WindowBox()->setChecked(true);
    panel->WindowEndBox()->setValue(1.0);
    EXPECT_TRUE(a->GetImpulseWindowEnabled());
    EXPECT_EQ(a->GetImpulseWindowEnd(), a->GetSamplerate() / 1000);
    curve = window->Graph(Gui::GraphKind::Response)->CurveGraph(0, 0);
    QVector<double> after;
    for (auto it = curve->data()->constBegin(); it != curve->data()->constEnd(); ++it)
        after.push_back(it->value);
    EXPECT_NE(before, after);
    ExpectCurveFollowsRecord(MainCtrl::PRESENTER_A);
}

TEST_F(MainWindowTest, CancelOnTheDeadDeviceReturnsWithinTwoSecondsAndTheWindowKeepsResponding) {
    ctrl->Audio().UseSimulated(true, SimulatedModel::Dead);
    QSignalSpy done(window.get(), &Gui::MainWindow::measurementFinished);
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(20);
    ASSERT_TRUE(window->StartMeasurement(MainCtrl::PRESENTER_B));
    EXPECT_TRUE(window->Measuring());
    EXPECT_FALSE(window->StartMeasurement(MainCtrl::PRESENTER_C)) << "one measurement at a time";
    QTest::qWait(600);
    EXPECT_GE(ticks, 10) << "the event loop must run while measuring";
    QElapsedTimer clock;
    clock.start();
    window->CancelMeasurement();
    ASSERT_TRUE(done.wait(2000));
    EXPECT_LT(clock.elapsed(), 2000);
    EXPECT_FALSE(done.first().first().toBool());
    EXPECT_FALSE(window->Measuring());
    EXPECT_TRUE(front.Messages().join('\n').contains("cancelled"))
        << front.Messages().join('\n').toStdString();
    EXPECT_FALSE(ctrl->Presenter(MainCtrl::PRESENTER_B)->IsInitialized());
}

TEST_F(MainWindowTest, OpenedPackageFillsListAndPresentersAndTheGraphExportsAtItsSize) {
    // A package of two loopback measurements, made through the controller.
    ctrl->Audio().UseSimulated(true, SimulatedModel::Loopback);
    ASSERT_TRUE(ctrl->Action_MeasStart(MainCtrl::PRESENTER_A));
    ASSERT_TRUE(ctrl->Action_MeasStart(MainCtrl::PRESENTER_B));
    ctrl->List().No(0)->SetLabel("first");
    ctrl->List().No(1)->SetLabel("second");
    const fs::path package = dir / "two.zip";
    ASSERT_TRUE(ctrl->Action_SaveFile(package.string(), false));
    ctrl->Action_ClearMeasurements();
    EXPECT_EQ(window->Graph(Gui::GraphKind::Response)->CurveGraph(0, 0), nullptr);

    ASSERT_TRUE(window->OpenPackage(QString::fromStdString(package.string()), false));
    auto* model = window->ListModel();
    EXPECT_EQ(
        model->data(model->index(0, Gui::MeasurementTableModel::Label), Qt::DisplayRole).toString(),
        "first");
    EXPECT_EQ(
        model->data(model->index(1, Gui::MeasurementTableModel::Label), Qt::DisplayRole).toString(),
        "second");
    EXPECT_EQ(window->Panel(MainCtrl::PRESENTER_B)->SlotBox()->currentData().toInt(), 1);
    EXPECT_NE(window->Graph(Gui::GraphKind::Response)->CurveGraph(0, 0), nullptr);
    EXPECT_NE(window->Graph(Gui::GraphKind::Response)->CurveGraph(1, 0), nullptr);
    EXPECT_TRUE(
        QString::fromStdString(Conf::Options::Field.Window.RecentFiles).contains("two.zip"));

    // A row dragged onto presenter C shows that slot in C.
    std::unique_ptr<QMimeData> mime(model->mimeData({model->index(1, 0)}));
    ASSERT_TRUE(mime);
    Gui::PresenterPanel* c = window->Panel(MainCtrl::PRESENTER_C);
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, mime.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(c, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, mime.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(c, &drop);
    EXPECT_EQ(ctrl->PresenterSlot(MainCtrl::PRESENTER_C), 1);
    EXPECT_EQ(c->SlotBox()->currentData().toInt(), 1);
    EXPECT_NE(window->Graph(Gui::GraphKind::Response)->CurveGraph(2, 0), nullptr);

    // Renaming in the list renames the record.
    EXPECT_TRUE(model->setData(model->index(1, Gui::MeasurementTableModel::Label), "renamed",
                               Qt::EditRole));
    EXPECT_EQ(ctrl->List().No(1)->GetLabel(), "renamed");
    EXPECT_FALSE(
        model->setData(model->index(1, Gui::MeasurementTableModel::Label), "  ", Qt::EditRole));

    const QString base = QString::fromStdString((dir / "graph").string());
    QString error;
    ASSERT_TRUE(window->ExportGraph(base + ".png", 900, 500, &error)) << error.toStdString();
    EXPECT_EQ(QImage(base + ".png").size(), QSize(900, 500));
    ASSERT_TRUE(window->ExportGraph(base + ".svg", 900, 500, &error)) << error.toStdString();
    QFile svg(base + ".svg");
    ASSERT_TRUE(svg.open(QIODevice::ReadOnly));
    const QByteArray svgText = svg.readAll();
    EXPECT_TRUE(svgText.contains("<svg"));
    EXPECT_TRUE(svgText.contains("900"));
    ASSERT_TRUE(window->ExportGraph(base + ".pdf", 900, 500, &error)) << error.toStdString();
    QFile pdf(base + ".pdf");
    ASSERT_TRUE(pdf.open(QIODevice::ReadOnly));
    EXPECT_TRUE(pdf.read(5) == "%PDF-");
    EXPECT_FALSE(window->ExportGraph(base + ".bmpx", 900, 500, &error));

    // A damaged package leaves the list as it was.
    SonvelTest::WriteBytes(dir / "bad.zip", "PK\x03\x04 not really");
    EXPECT_FALSE(window->OpenPackage(QString::fromStdString((dir / "bad.zip").string()), false));
    EXPECT_EQ(ctrl->List().No(0)->GetLabel(), "first");
    EXPECT_FALSE(front.Messages().isEmpty());
}

TEST_F(MainWindowTest, MeasuringShowsItsPresenterAndTheSignalPresenterDrawsTheTestSignal) {
    Conf::Options::Field.Signal.SignalLength = 16;
    ctrl->ApplyOptions();
    Gui::GraphView* response = window->Graph(Gui::GraphKind::Response);
    Gui::GraphView* impulse = window->Graph(Gui::GraphKind::Impulse);
    EXPECT_EQ(response->CurveGraph(MainCtrl::PRESENTER_SIGNAL), nullptr);
    window->SignalBox()->setChecked(true);
    QCPGraph* spectrum = response->CurveGraph(MainCtrl::PRESENTER_SIGNAL, 0);
    ASSERT_NE(spectrum, nullptr);
    EXPECT_EQ(response->CurveGraph(MainCtrl::PRESENTER_SIGNAL, 1), nullptr) << "no phase";
    const Conf::Color c = Conf::Options::Field.Plot.ColorSignal;
    EXPECT_EQ(spectrum->pen().color(), QColor(c.R, c.G, c.B));
    double top = -1e300;
    for (const QCPGraphData& d : *spectrum->data())
        top = std::max(top, d.value);
    // Re its peak, which for a sweep from 10 Hz lies below the graph's 20 Hz.
    EXPECT_LE(top, 1e-9);
    EXPECT_GT(top, -6.0);
    EXPECT_EQ(window->Graph(Gui::GraphKind::GroupDelay)->CurveGraph(MainCtrl::PRESENTER_SIGNAL),
              nullptr);
    // The waveform: silence before time zero, the signal's samples after it.
    std::vector<float> x;
    ctrl->Audio().RenderSignal(x);
    const double seconds = static_cast<double>(x.size()) / ctrl->Audio().SampleRate();
    impulse->xAxis->setRange(-100.0, 1000.0 * seconds + 100.0);
    impulse->replot();
    QCPGraph* wave = impulse->CurveGraph(MainCtrl::PRESENTER_SIGNAL);
    ASSERT_NE(wave, nullptr);
    double before = 0.0, during = 0.0;
    for (const QCPGraphData& d : *wave->data())
        (d.key < -1.0 ? before : during) =
            std::max(d.key < -1.0 ? before : during, std::fabs(d.value));
    EXPECT_LT(before, 1e-9);
    EXPECT_NEAR(
        during,
        std::fabs(*std::max_element(x.begin(), x.end(),
                                    [](float a, float b) { return std::fabs(a) < std::fabs(b); })),
        1e-6);

    // Measuring into A switches A on again; the progress is titled with the channels.
    window->Panel(MainCtrl::PRESENTER_A)->VisibleBox()->setChecked(false);
    QSignalSpy begun(&front, &Gui::GuiFrontEnd::progressBegun);
    ASSERT_TRUE(Measure(MainCtrl::PRESENTER_A, SimulatedModel::Speaker));
    EXPECT_TRUE(window->Panel(MainCtrl::PRESENTER_A)->VisibleBox()->isChecked());
    ASSERT_FALSE(begun.isEmpty());
    EXPECT_EQ(begun.first().first().toString(), "A - Out: Left - In: Left");
    EXPECT_EQ(window->StatusMessage(), "Measurement done");
    const auto* verdict = window->findChild<QLabel*>("verdict");
    ASSERT_NE(verdict, nullptr);
    EXPECT_TRUE(QRegularExpression(R"(^Peak -?\d+\.\d\d dB \(factor \d\.\d\d\d\))")
                    .match(verdict->text())
                    .hasMatch())
        << verdict->text().toStdString();

    // The sweep's harmonic impulses are marked where they lie, before time zero.
    const double tau = ctrl->Presenter(MainCtrl::PRESENTER_A)->GetSignalTypeFactor1();
    ASSERT_GT(tau, 0.0);
    bool marked = false;
    for (int i = 0; i < impulse->itemCount(); ++i)
        if (auto* text = qobject_cast<QCPItemText*>(impulse->item(i));
            text && text->visible() && text->text() == "H2")
            marked = std::fabs(text->position->key() + std::log(2.0) * tau * 1000.0) < 1e-9;
    EXPECT_TRUE(marked);

    // The harmonics beside A, left out where the fundamental is weak.
    auto finite = [](const QCPGraph* g) {
        return std::count_if(g->data()->begin(), g->data()->end(),
                             [](const QCPGraphData& d) { return std::isfinite(d.value); });
    };
    Conf::Options::Field.Plot.PlotHD = true;
    window->OptionsChanged();
    ASSERT_NE(response->CurveGraph(MainCtrl::PRESENTER_A, 2), nullptr);
    const auto shownAt50 = finite(response->CurveGraph(MainCtrl::PRESENTER_A, 2));
    EXPECT_GT(shownAt50, 100);
    Screenshot("signal-presenter.png");
    Conf::Options::Field.Plot.HideHDWhenBelowDB = -3.0;
    window->OptionsChanged();
    EXPECT_LT(finite(response->CurveGraph(MainCtrl::PRESENTER_A, 2)), shownAt50 / 2);
    window->Tabs()->setCurrentIndex(1);
    Screenshot("signal-presenter-impulse.png");

    // A new sample rate clears the time-zero lock and its check mark.
    window->LockAction()->trigger();
    ASSERT_TRUE(window->LockAction()->isChecked());
    ASSERT_TRUE(ctrl->Audio().TimeZeroLocked());
    Conf::Options::Field.Dev.SamplerateNo = Conf::Options::Field.Dev.SamplerateNo == 1 ? 0 : 1;
    ctrl->ApplyOptions();
    window->OptionsChanged();
    EXPECT_FALSE(window->LockAction()->isChecked());
    EXPECT_FALSE(window->LockAction()->isEnabled());
}

TEST_F(MainWindowTest, ADroppedPackageOpensLikeOpenTheTitleNamesItAndTheGraphCopies) {
    ctrl->Audio().UseSimulated(true, SimulatedModel::Loopback);
    ASSERT_TRUE(ctrl->Action_MeasStart(MainCtrl::PRESENTER_A));
    const fs::path package = dir / "drop.zip";
    ASSERT_TRUE(ctrl->Action_SaveFile(package.string(), false));
    ctrl->Action_ClearMeasurements();
    ctrl->SetPresenterSlot(MainCtrl::PRESENTER_A, 5);
    Gui::GraphView* impulse = window->Graph(Gui::GraphKind::Impulse);
    impulse->xAxis->setRange(1000.0, 2000.0);
    EXPECT_EQ(window->windowTitle(), "Sonvel");
    ASSERT_TRUE(window->OpenDropped(QString::fromStdString(package.string())));
    EXPECT_EQ(ctrl->PresenterSlot(MainCtrl::PRESENTER_A), 0);
    EXPECT_EQ(window->windowTitle(), "drop.zip - Sonvel");
    EXPECT_LT(impulse->xAxis->range().lower, 0.0) << "fitted to the opened impulse";
    EXPECT_GT(impulse->xAxis->range().upper, 0.0);

    QApplication::clipboard()->clear();
    ASSERT_TRUE(window->Action_ToClipBoard());
    EXPECT_EQ(QApplication::clipboard()->image().size(),
              window->Graph(Gui::GraphKind::Response)->size());
    EXPECT_EQ(window->StatusMessage(), "Copied the graph to the clipboard");
    for (const char* doc : {CHANGELOG, ISSUES}) {
        QFile file(Gui::MainWindow::DocumentPath(doc));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << doc;
        EXPECT_TRUE(file.readLine().startsWith("Sonvel")) << doc;
    }
}

TEST_F(MainWindowTest, GeometryTabAndRangesAreKeptInTheOptions) {
    window->Tabs()->setCurrentIndex(2);
    window->Graph(Gui::GraphKind::Response)->xAxis->setRange(50.0, 5000.0);
    window->StoreWindowOptions();
    const Conf::OptionsField kept = Conf::Options::Field;
    EXPECT_EQ(kept.Window.GraphTab, 2);
    EXPECT_NEAR(kept.Plot.PlotFreqMin, 50.0, 1e-9);
    EXPECT_NEAR(kept.Plot.PlotFreqMax, 5000.0, 1e-9);
    EXPECT_FALSE(kept.Window.Geometry.empty());
    window.reset();
    window = std::make_unique<Gui::MainWindow>(*ctrl, front);
    EXPECT_EQ(window->Tabs()->currentIndex(), 2);
    EXPECT_NEAR(window->Graph(Gui::GraphKind::Response)->xAxis->range().lower, 50.0, 1e-6);
}

} // namespace
