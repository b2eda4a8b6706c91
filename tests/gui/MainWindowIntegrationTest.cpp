#include "gui/MainWindow.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QColorDialog>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QMouseEvent>
#include <QRadioButton>
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
#include "exchange/TextFile.h"
#include "gui/ExportDialog.h"
#include "gui/GuiFrontEnd.h"
#include "gui/MeasurementTableModel.h"
#include "gui/OperationDialog.h"
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
        ExpectCurveFollows(window->Graph(Gui::GraphKind::Response)->CurveGraph(presenter, 0),
                           ctrl->Presenter(presenter));
    }
    void ExpectCurveFollows(QCPGraph* curve, Kedra::Measure::Measurement* m) {
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

// Every tab and the presenters beside it fit a 1366 x 768 laptop screen.
TEST_F(MainWindowTest, TheWindowFitsALaptopScreen) {
    const QSize least = window->minimumSizeHint();
    EXPECT_LE(least.width(), 1366);
    EXPECT_LE(least.height(), 768);
}

TEST_F(MainWindowTest, MeasuredSpeakerIsDrawnAsItsRecordAndFollowsTheWindowEnd) {
    // At the default output level, as a new user measures first.
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
        window->Graph(Gui::GraphKind(tab))->FitAll();
        window->Graph(Gui::GraphKind(tab))->replot();
        Screenshot(QString("window-tab%1-fitted.png").arg(tab));
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
    // A cancel the user asked for needs no OK.
    EXPECT_TRUE(front.Messages().isEmpty()) << front.Messages().join('\n').toStdString();
    EXPECT_FALSE(ctrl->Presenter(MainCtrl::PRESENTER_B)->IsInitialized());
}

TEST_F(MainWindowTest, AFailedMeasurementSaysWhyOnceAndTheStatusBarShowsTheInputLevel) {
    Conf::Options::Field.Signal.SignalLength = 15;
    Conf::Options::Field.Dev.DelayMS = 300.0;
    ctrl->ApplyOptions();
    auto* level = window->findChild<QLabel*>("inputLevel");
    ASSERT_NE(level, nullptr);
    ctrl->Audio().UseSimulated(true, SimulatedModel::Dead);
    QSignalSpy done(window.get(), &Gui::MainWindow::measurementFinished);
    ASSERT_TRUE(window->StartMeasurement(MainCtrl::PRESENTER_A));
    // The first level arrives when the worker has started the card: late under a sanitizer.
    for (int waited = 0; !level->isVisible() && done.isEmpty() && waited < 10000; waited += 20)
        QTest::qWait(20);
    EXPECT_TRUE(level->isVisible());
    EXPECT_EQ(level->text(), "Input: no signal");
    Screenshot("window-measuring-dead.png");
    ASSERT_TRUE(done.wait(20000));
    EXPECT_FALSE(done.first().first().toBool());
    ASSERT_EQ(front.Messages().size(), 1) << front.Messages().join('\n').toStdString();
    EXPECT_TRUE(front.Messages().first().contains("No signal arrived on input 1 of Simulated"))
        << front.Messages().first().toStdString();
    EXPECT_FALSE(level->isVisible());

    // A live card: the level follows what arrives, in dBFS.
    QSignalSpy levels(&front, &Gui::GuiFrontEnd::inputLevel);
    ASSERT_TRUE(Measure(MainCtrl::PRESENTER_A, SimulatedModel::Loopback));
    double loudest = -1e9;
    for (const QList<QVariant>& l : levels)
        loudest = std::max(loudest, l.first().toDouble());
    EXPECT_GT(loudest, -10.0);
    EXPECT_LE(loudest, 0.0);
}

TEST_F(MainWindowTest, ARenameFollowsEverywhereAndFieldsRefuseWhatTheyCannotTake) {
    for (int slot : {0, 1}) {
        ctrl->List().No(slot)->InitializeDirac(14, 48000, 1.0);
        ctrl->List().No(slot)->SetLabel("before");
    }
    front.ListChanged();
    front.PresenterChanged(0);
    Gui::PresenterPanel* a = window->Panel(MainCtrl::PRESENTER_A);
    auto* model = window->ListModel();
    const auto everywhere = [&](int slot, const QString& label) {
        EXPECT_EQ(
            model->data(model->index(slot, Gui::MeasurementTableModel::Label), Qt::DisplayRole)
                .toString(),
            label);
        const int p = slot; // slots 0 and 1 are shown in A and B
        EXPECT_EQ(window->Graph(Gui::GraphKind::Response)->CurveGraph(p, 0)->name(),
                  QString("%1: %2").arg(QChar('A' + p)).arg(label));
        for (int other = 0; other < 3; ++other) {
            QComboBox* box = window->Panel(other)->SlotBox();
            EXPECT_EQ(box->itemText(box->findData(slot)), QString("%1: %2").arg(slot).arg(label))
                << other;
        }
    };
    auto* labelEdit = a->findChild<QLineEdit*>();
    ASSERT_NE(labelEdit, nullptr);
    labelEdit->setText("through the panel");
    emit labelEdit->editingFinished();
    everywhere(0, "through the panel");
    ASSERT_TRUE(model->setData(model->index(1, Gui::MeasurementTableModel::Label),
                               "through the list", Qt::EditRole));
    everywhere(1, "through the list");

    // Typed values stay as typed; out of range they are refused and the record keeps its own.
    Kedra::Measure::Measurement* m = ctrl->Presenter(MainCtrl::PRESENTER_A);
    const auto type = [](QDoubleSpinBox* box, const QString& text) {
        box->selectAll();
        QTest::keyClicks(box, text);
        QTest::keyClick(box, Qt::Key_Return);
    };
    const int end = m->GetImpulseWindowEnd();
    type(a->WindowEndBox(), "99999");
    EXPECT_EQ(a->WindowEndBox()->value(), 99999.0);
    EXPECT_EQ(m->GetImpulseWindowEnd(), end);
    EXPECT_TRUE(a->RefusalText().contains("Window end")) << a->RefusalText().toStdString();
    EXPECT_TRUE(a->RefusalText().contains("Allowed: 0 .. 170.667"))
        << a->RefusalText().toStdString();
    Screenshot("presenter-refused.png", a);
    type(a->LevelBox(), "-50");
    EXPECT_NEAR(m->GetAmplitude(), std::pow(10.0, -50.0 / 20.0), 1e-9);
    type(a->WindowEndBox(), "5");
    EXPECT_EQ(m->GetImpulseWindowEnd(), 240);
    EXPECT_TRUE(a->RefusalText().isEmpty());

    // The match dialog keeps "-50" and says why it cannot run.
    const double before = m->GetAmplitude();
    Gui::OperationDialog* match = window->OpenOperation(Gui::Operation::Match);
    ASSERT_NE(match, nullptr);
    type(match->Number(0), "-50");
    EXPECT_EQ(match->Number(0)->value(), -50.0);
    match->accept();
    EXPECT_TRUE(match->isVisible());
    EXPECT_TRUE(match->RefusalText().contains("Allowed: 1 .. 96000 Hz"))
        << match->RefusalText().toStdString();
    EXPECT_EQ(m->GetAmplitude(), before);
    Screenshot("operation-refused.png", match);
    match->reject();

    // Choosing a smoothing width asks for smoothing.
    ASSERT_FALSE(m->GetSmoothingEnabled());
    a->OctaveBox()->setCurrentIndex(3);
    emit a->OctaveBox()->activated(3);
    EXPECT_TRUE(m->GetSmoothingEnabled());
    EXPECT_TRUE(a->SmoothingBox()->isChecked());
    EXPECT_EQ(m->GetSmoothNOct(), 6.0);
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

    // A row dragged onto presenter C shows that slot in C; the distortion graph, looking at
    // C, shows it too, though the curve is B's.
    Gui::GraphView* distortion = window->Graph(Gui::GraphKind::Distortion);
    Gui::GraphSettings look = distortion->Settings();
    look.focusPresenter = MainCtrl::PRESENTER_C;
    look.focusSlot = 2;
    distortion->SetSettings(look);
    EXPECT_EQ(distortion->SlotCurveGraph(1), nullptr);
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
    // B and C show one slot: one curve, named after both.
    QCPGraph* shared = window->Graph(Gui::GraphKind::Response)->SlotCurveGraph(1, 0);
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(shared->name(), "BC: second");
    EXPECT_NE(distortion->SlotCurveGraph(1), nullptr);

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

// The export dialog's choices reach the file: a response's range and the circuit simulators'
// one line, an impulse's sample numbers. A range beyond the record is refused at its field,
// whose text stays as typed.
TEST_F(MainWindowTest, ExportDialogChoicesReachTheFile) {
    Kedra::Measure::Measurement* m = ctrl->List().No(0);
    m->InitializeDirac(12, 48000, 1.0);
    Gui::ExportDialog response("response", "A", 24000.0, window.get());
    response.show();
    response.ToField()->setText("99999");
    EXPECT_EQ(response.ToField()->text(), "99999");
    EXPECT_EQ(response.Refusal(), "To is out of range (allowed: 0 .. 24000 Hz)");
    Screenshot("export-dialog-refused.png", &response);
    response.FromField()->setText("3000");
    response.ToField()->setText("2000");
    EXPECT_EQ(response.Refusal(), "From must lie below To");
    response.FromField()->setText("1000,5");
    EXPECT_TRUE(response.Refusal().isEmpty()) << response.Refusal().toStdString();
    response.OneLineButton()->setChecked(true);
    Screenshot("export-dialog-response.png", &response);
    const ExportChoices c = response.Choices();
    EXPECT_EQ(c.fromHz, 1000.5);
    EXPECT_EQ(c.toHz, 2000.0);
    EXPECT_TRUE(c.oneLine);

    const fs::path oneLine = dir / "one.txt";
    ASSERT_TRUE(ctrl->Action_Export(0, "response", oneLine.string(), {}, c));
    const std::string text = SonvelTest::ReadBytes(oneLine);
    const std::string data = text.substr(text.rfind("#\n") + 2);
    // Linear steps of the options' 5 Hz from 1000.5 to 2000 Hz, all on one line.
    EXPECT_EQ(std::count(data.begin(), data.end(), '('), 200);
    EXPECT_EQ(data.rfind("(1000.5;0;0) ", 0), 0u) << data.substr(0, 40);
    EXPECT_NE(data.find("(1995.5;0;0) "), std::string::npos);
    EXPECT_EQ(std::count(data.begin(), data.end(), '\n'), 1);

    Gui::ExportDialog impulse("impulse", "A", 24000.0, window.get());
    impulse.SampleNumbersBox()->setChecked(true);
    const fs::path numbered = dir / "numbered.txt";
    ASSERT_TRUE(ctrl->Action_Export(0, "impulse", numbered.string(), {}, impulse.Choices()));
    const std::string rows = SonvelTest::ReadBytes(numbered);
    EXPECT_NE(rows.find("\n-2048;0\n-2047;0\n"), std::string::npos);
    EXPECT_NE(rows.find("\n0;1\n1;0\n"), std::string::npos);
}

// A dropped or imported FLAC or AIFF file becomes an impulse; a damaged one says why.
TEST_F(MainWindowTest, DroppedFlacAndAiffImportAndDamageIsNamed) {
    std::vector<double> x(500, 0.0);
    x[0] = 0.5;
    x[1] = -0.25;
    for (const auto& [name, format] : {std::pair{"drop.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
                                       std::pair{"drop.aif", SF_FORMAT_AIFF | SF_FORMAT_PCM_16}}) {
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = 1;
        info.format = format;
        SNDFILE* f = sf_open((dir / name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        sf_write_double(f, x.data(), static_cast<sf_count_t>(x.size()));
        sf_close(f);
        const int slot = ctrl->FirstEmptySlot();
        ASSERT_TRUE(window->OpenDropped(QString::fromStdString((dir / name).string()))) << name;
        Kedra::Measure::Measurement* m = ctrl->List().No(slot);
        EXPECT_EQ(m->GetSamplerate(), 44100) << name;
        const double* zero = m->GetIData() + m->GetImpulsePosition();
        EXPECT_NEAR(zero[0], 0.5, 1e-4) << name;
        EXPECT_NEAR(zero[1], -0.25, 1e-4) << name;
    }
    const std::string flac = SonvelTest::ReadBytes(dir / "drop.flac");
    SonvelTest::WriteBytes(dir / "cut.flac", flac.substr(0, 60));
    EXPECT_FALSE(window->ImportFile(QString::fromStdString((dir / "cut.flac").string()), true));
    ASSERT_FALSE(front.Messages().isEmpty());
    EXPECT_TRUE(front.Messages().last().contains("damaged FLAC file"))
        << front.Messages().last().toStdString();
}

TEST_F(MainWindowTest, EveryShownSlotIsDrawnAsItsRecordInItsColourAndTheListShowsAndHidesIt) {
    ASSERT_TRUE(Measure(MainCtrl::PRESENTER_A, SimulatedModel::Speaker));
    ASSERT_TRUE(Measure(MainCtrl::PRESENTER_B, SimulatedModel::Room));
    ASSERT_TRUE(ctrl->Action_Rename(0, "speaker"));
    ASSERT_TRUE(ctrl->Action_Rename(1, "room"));
    Kedra::Measure::Measurement* a = ctrl->Presenter(MainCtrl::PRESENTER_A);
    // Seven more in slots no presenter shows: A at lower levels, some through a short window.
    const std::vector<int> others{3, 4, 5, 6, 7, 8, 9};
    for (int i = 0; i < 7; ++i) {
        Kedra::Measure::Measurement* m = ctrl->List().No(others[static_cast<std::size_t>(i)]);
        m->CopyAllFrom(*a);
        const double db = -2.0 * (i + 1);
        m->Amplify(std::pow(10.0, db / 20.0));
        const double ms = 2.0 + 2.0 * i;
        m->SetImpulseWindowEnabled(i % 2 == 1);
        m->SetImpulseWindowEnd(static_cast<int>(ms * m->GetSamplerate() / 1000.0));
        m->SetLabel(QString("speaker %1 dB%2")
                        .arg(db)
                        .arg(i % 2 == 1 ? QString(", %1 ms window").arg(ms) : QString())
                        .toStdString());
    }
    std::vector<int> shown{0, 1};
    shown.insert(shown.end(), others.begin(), others.end());
    ctrl->SetShownSlots(shown);
    // The copies took A's flag: nothing changed for the controller, which is told here as an
    // import would tell it; the window redraws once the notice has been handled.
    front.ListChanged();
    QCoreApplication::processEvents();
    window->findChild<QCheckBox*>("showPhase")->setChecked(false);

    Gui::GraphView* response = window->Graph(Gui::GraphKind::Response);
    for (int slot : shown) {
        QCPGraph* curve = response->SlotCurveGraph(slot);
        ASSERT_NE(curve, nullptr) << slot;
        const std::string who = slot == 0 ? "A" : slot == 1 ? "B" : std::to_string(slot);
        EXPECT_EQ(curve->name().toStdString(), who + ": " + ctrl->List().No(slot)->GetLabel());
        EXPECT_TRUE(response->legend->hasItemWithPlottable(curve)) << slot;
        const Conf::Color c = ctrl->SlotColour(slot);
        EXPECT_EQ(curve->pen().color().rgb(), QColor(c.R, c.G, c.B).rgb()) << slot;
        ExpectCurveFollows(curve, ctrl->List().No(slot));
        EXPECT_NE(window->Graph(Gui::GraphKind::Impulse)->SlotCurveGraph(slot), nullptr) << slot;
    }

    // Nine curves: the readout lists the eight nearest the pointer and says so.
    QString readout;
    QObject::connect(response, &Gui::GraphView::cursorText, [&](const QString& t) { readout = t; });
    const QPointF at(response->xAxis->coordToPixel(1000.0), response->axisRect()->center().y());
    QMouseEvent move(QEvent::MouseMove, at, response->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(response, &move);
    EXPECT_EQ(readout.count(QRegularExpression(R"(  [AB0-9]: [^:]+: -?\d+\.\d\d dB)")),
              Gui::GraphView::MAX_READOUT_CURVES)
        << readout.toStdString();
    EXPECT_TRUE(readout.endsWith("(1 more, farther from the pointer)")) << readout.toStdString();
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(response, &leave);
    window->resize(1600, 1000);
    response->xAxis->setRange(20.0, 20000.0);
    response->FitAll(Gui::GraphView::FitKeys::Keep);
    QCoreApplication::processEvents();
    Screenshot("overlays.png");

    // The list's box hides a slot; A's box is its slot's flag; a colour chosen is drawn.
    auto* model = window->ListModel();
    ASSERT_TRUE(model->setData(model->index(3, Gui::MeasurementTableModel::Shown), Qt::Unchecked,
                               Qt::CheckStateRole));
    EXPECT_EQ(response->SlotCurveGraph(3), nullptr);
    window->Panel(MainCtrl::PRESENTER_A)->VisibleBox()->setChecked(false);
    EXPECT_FALSE(ctrl->SlotShown(0));
    EXPECT_EQ(model->data(model->index(0, Gui::MeasurementTableModel::Shown), Qt::CheckStateRole),
              Qt::Unchecked);
    EXPECT_EQ(response->SlotCurveGraph(0), nullptr);
    QColorDialog* dialog = window->ChooseSlotColour(4);
    ASSERT_NE(dialog, nullptr);
    dialog->setCurrentColor(QColor(255, 0, 255));
    dialog->accept();
    ASSERT_NE(response->SlotCurveGraph(4), nullptr);
    EXPECT_EQ(response->SlotCurveGraph(4)->pen().color().rgb(), QColor(255, 0, 255).rgb());
    EXPECT_EQ(model->data(model->index(4, Gui::MeasurementTableModel::Colour), Qt::DecorationRole)
                  .value<QColor>()
                  .rgb(),
              QColor(255, 0, 255).rgb());
}

} // namespace
