#include <gtest/gtest.h>

#include <QColorDialog>
#include <QFile>
#include <QImage>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QWheelEvent>

#include <cmath>
#include <complex>
#include <filesystem>
#include <numbers>
#include <vector>

#include "app/Options.h"
#include "gui/ColourButton.h"
#include "gui/GraphView.h"
#include "gui/PlotFile.h"
#include "measure/Measurement.h"
#include "support/TestSupport.h"

namespace {

using namespace Kedra::Sonvel::Gui;
using Kedra::Measure::Measurement;

constexpr int RATE = 48000;

// Time zero carries 1, the next sample 0.5: H(f) = 1 + 0.5 e^(-j 2 pi f / fs), exactly, at
// every bin.
std::unique_ptr<Measurement> TwoTapRecord(int exponent = 16) {
    const int n = 1 << exponent;
    std::vector<double> samples(static_cast<std::size_t>(n), 0.0);
    samples[static_cast<std::size_t>(n / 2)] = 1.0;
    samples[static_cast<std::size_t>(n / 2 + 1)] = 0.5;
    auto m = std::make_unique<Measurement>("two taps");
    m->InitializeImpulse(samples.data(), n, n / 2, RATE, exponent, 0, 0.0, 0.0, true);
    return m;
}

std::complex<double> TwoTapResponse(double hz) {
    return 1.0 + 0.5 * std::polar(1.0, -2.0 * std::numbers::pi * hz / RATE);
}

void Send(QWidget& w, QEvent::Type type, QPointF at, Qt::MouseButton button,
          Qt::MouseButtons held) {
    QMouseEvent e(type, at, w.mapToGlobal(at), button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(&w, &e);
}

void Drag(QWidget& w, QPointF from, QPointF to) {
    Send(w, QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
    Send(w, QEvent::MouseMove, (from + to) / 2, Qt::NoButton, Qt::LeftButton);
    Send(w, QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
    Send(w, QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
}

TEST(ResponseGraph, MagnitudePhaseAndReadoutFollowAKnownResponse) {
    auto record = TwoTapRecord();
    GraphView g(GraphKind::Response);
    g.resize(1600, 900);
    g.SetCurves({{record.get(), 0, -1, Qt::darkBlue, "A"}});
    g.replot();
    QCPGraph* magnitude = g.CurveGraph(0, 0);
    QCPGraph* phase = g.CurveGraph(0, 1);
    ASSERT_NE(magnitude, nullptr);
    ASSERT_NE(phase, nullptr);
    EXPECT_EQ(g.CurveGraph(1, 0), nullptr);

    // A few points per pixel column, reaching past both ends of 20 Hz .. 20 kHz.
    const int columns = g.axisRect()->width();
    for (QCPGraph* graph : {magnitude, phase}) {
        const auto data = graph->data();
        ASSERT_GT(data->size(), columns / 2);
        EXPECT_LE(data->size(), 2 * columns + 2);
        EXPECT_LT(data->begin()->key, 20.0);
        EXPECT_GT((data->end() - 1)->key, 20000.0);
    }
    for (const QCPGraphData& d : *magnitude->data())
        ASSERT_NEAR(d.value, 20.0 * std::log10(std::abs(TwoTapResponse(d.key))), 1e-9) << d.key;
    for (const QCPGraphData& d : *phase->data())
        ASSERT_NEAR(d.value, std::arg(TwoTapResponse(d.key)) * 180.0 / std::numbers::pi, 1e-7)
            << d.key;

    // The readout at the mouse, against the same truth.
    QString readout;
    QObject::connect(&g, &GraphView::cursorText, [&](const QString& t) { readout = t; });
    const double x = g.xAxis->coordToPixel(3000.0);
    Send(g, QEvent::MouseMove, QPointF(x, g.axisRect()->center().y()), Qt::NoButton, Qt::NoButton);
    const auto match = QRegularExpression(QStringLiteral("([0-9.]+) kHz  A: (-?[0-9.]+) dB  "
                                                         "(-?[0-9.]+)°"))
                           .match(readout);
    ASSERT_TRUE(match.hasMatch()) << readout.toStdString();
    const double hz = match.captured(1).toDouble() * 1000.0;
    EXPECT_NEAR(hz, 3000.0, 10.0);
    EXPECT_NEAR(match.captured(2).toDouble(), 20.0 * std::log10(std::abs(TwoTapResponse(hz))),
                0.01);
    EXPECT_NEAR(match.captured(3).toDouble(),
                std::arg(TwoTapResponse(hz)) * 180.0 / std::numbers::pi, 0.1);

    // Zooming in on the frequency axis alone reduces the curves for the new range.
    bool told = false;
    QObject::connect(&g, &GraphView::rangesChanged, [&] { told = true; });
    const QPointF under(x, g.axisRect()->bottom() + 12);
    QWheelEvent wheel(under, g.mapToGlobal(under), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(&g, &wheel);
    g.replot();
    EXPECT_TRUE(told);
    EXPECT_EQ(g.yAxis->range(), QCPRange(-60.0, 10.0));
    EXPECT_LT(g.Settings().freqMax / g.Settings().freqMin, 1000.0 * 0.9);
    EXPECT_LT(magnitude->data()->begin()->key, g.xAxis->range().lower);
    EXPECT_GE((magnitude->data()->begin() + 1)->key, g.xAxis->range().lower);
}

TEST(ResponseGraph, DragPansRightDragZoomsARectangleAndDoubleClickFits) {
    auto record = TwoTapRecord();
    GraphView g(GraphKind::Response);
    g.resize(1200, 700);
    g.SetCurves({{record.get(), 0, -1, Qt::darkBlue, "A"}});
    g.replot();
    const QCPRange x0 = g.xAxis->range();
    const QRect plot = g.axisRect()->rect();
    Drag(g, plot.center(), plot.center() + QPoint(100, 0));
    EXPECT_LT(g.xAxis->range().lower, x0.lower) << "dragging right shows lower frequencies";
    EXPECT_NEAR(g.xAxis->range().upper / g.xAxis->range().lower, x0.upper / x0.lower, 1e-6);

    // A right-button rectangle from 100 Hz to 1 kHz and -10 to 0 dB becomes the range.
    const QPointF from(g.xAxis->coordToPixel(100.0), g.yAxis->coordToPixel(0.0));
    const QPointF to(g.xAxis->coordToPixel(1000.0), g.yAxis->coordToPixel(-10.0));
    Send(g, QEvent::MouseButtonPress, from, Qt::RightButton, Qt::RightButton);
    Send(g, QEvent::MouseMove, (from + to) / 2, Qt::NoButton, Qt::RightButton);
    Send(g, QEvent::MouseMove, to, Qt::NoButton, Qt::RightButton);
    Send(g, QEvent::MouseButtonRelease, to, Qt::RightButton, Qt::NoButton);
    EXPECT_NEAR(g.xAxis->range().lower, 100.0, 1.0);
    EXPECT_NEAR(g.xAxis->range().upper, 1000.0, 10.0);
    EXPECT_NEAR(g.yAxis->range().lower, -10.0, 0.2);
    EXPECT_NEAR(g.yAxis->range().upper, 0.0, 0.2);

    Send(g, QEvent::MouseButtonDblClick, plot.center(), Qt::LeftButton, Qt::LeftButton);
    // Fitted: the whole curve (about -3.5 to +3.5 dB) lies inside the level range again.
    EXPECT_LT(g.xAxis->range().lower, 100.0);
    EXPECT_LT(g.yAxis->range().lower, -3.5);
    EXPECT_GT(g.yAxis->range().upper, 3.5);
}

TEST(ResponseGraph, FrequencyTicksAt125PerDecadeAndFinerWhenZoomedIn) {
    GraphView g(GraphKind::Response);
    g.resize(1600, 900);
    g.replot();
    EXPECT_EQ(g.xAxis->tickVector(),
              QVector<double>({20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000}));
    EXPECT_EQ(g.xAxis->tickVectorLabels(),
              QVector<QString>({"20", "50", "100", "200", "500", "1k", "2k", "5k", "10k", "20k"}));
    for (const QCPRange r : {QCPRange(1000.0, 1300.0), QCPRange(300.0, 700.0)}) {
        g.xAxis->setRange(r);
        g.replot();
        const QVector<double> ticks = g.xAxis->tickVector();
        EXPECT_GE(ticks.size(), 3) << r.lower;
        for (double t : ticks)
            EXPECT_TRUE(r.contains(t)) << t;
    }
}

TEST(ImpulseGraph, ShowsTheImpulseAtTimeZeroAndItsWindowEdgesCanBeDragged) {
    auto record = TwoTapRecord();
    record->SetImpulseWindowStart(-100, true);
    record->SetImpulseWindowEnd(100);
    record->SetImpulseWindowEnabled(true);
    GraphView g(GraphKind::Impulse);
    g.resize(1000, 600);
    g.SetCurves({{record.get(), 0, -1, Qt::darkBlue, "A"}});
    g.replot();
    QCPGraph* impulse = g.CurveGraph(0);
    ASSERT_NE(impulse, nullptr);
    const double ms = 1000.0 / RATE;
    auto valueAt = [&](double key) {
        const auto it = impulse->data()->findBegin(key - ms / 4, false);
        return it != impulse->data()->end() && std::fabs(it->key - key) < ms / 4 ? it->value : NAN;
    };
    EXPECT_DOUBLE_EQ(valueAt(0.0), 1.0);
    EXPECT_DOUBLE_EQ(valueAt(ms), 0.5);
    EXPECT_DOUBLE_EQ(valueAt(2 * ms), 0.0);

    struct Move {
        int presenter;
        bool start;
        int samples;
    };
    std::vector<Move> moves;
    QObject::connect(&g, &GraphView::windowEdgeMoved, [&](int p, bool s, int n) {
        moves.push_back({p, s, n});
    });
    QString readout;
    QObject::connect(&g, &GraphView::cursorText, [&](const QString& t) { readout = t; });
    const double y = g.axisRect()->center().y();
    const double endPixel = g.xAxis->coordToPixel(100 * ms);
    Drag(g, {endPixel + 2, y}, {endPixel + 60, y});
    ASSERT_FALSE(moves.empty());
    EXPECT_EQ(moves.back().presenter, 0);
    EXPECT_FALSE(moves.back().start);
    EXPECT_EQ(moves.back().samples,
              static_cast<int>(std::lround(g.xAxis->pixelToCoord(endPixel + 60) / ms)));
    EXPECT_GT(moves.back().samples, 100);
    // The readout followed the edge; its label reads ms, as the presenter's field does.
    const double endMs = moves.back().samples * ms;
    EXPECT_NEAR(readout.section(' ', 0, 0).toDouble(), endMs, 0.001) << readout.toStdString();
    QStringList labels;
    for (int i = 0; i < g.itemCount(); ++i)
        if (auto* text = qobject_cast<QCPItemText*>(g.item(i)); text && text->visible())
            labels << text->text();
    EXPECT_TRUE(labels.contains(QString("start %1 ms").arg(-100 * ms, 0, 'f', 2)))
        << labels.join('|').toStdString();

    // The start edge cannot pass the end; a drag away from the edges pans instead.
    moves.clear();
    const double startPixel = g.xAxis->coordToPixel(-100 * ms);
    Drag(g, {startPixel, y}, {g.axisRect()->right() - 2.0, y});
    ASSERT_FALSE(moves.empty());
    EXPECT_TRUE(moves.back().start);
    EXPECT_EQ(moves.back().samples, record->GetImpulseWindowEnd() - 1);
    moves.clear();
    const QCPRange before = g.xAxis->range();
    Drag(g, {g.axisRect()->center().x() + 30.0, y}, {g.axisRect()->center().x() - 70.0, y});
    EXPECT_TRUE(moves.empty());
    EXPECT_GT(g.xAxis->range().lower, before.lower);
}

TEST(PlotOptions, WidthTicksAxisKindsColoursAndImpulseModeReachTheGraphs) {
    Kedra::Sonvel::Conf::Options::Reset();
    auto& plot = Kedra::Sonvel::Conf::Options::Field.Plot;
    auto record = TwoTapRecord();
    GraphView normal(GraphKind::Response);
    normal.resize(1600, 900);
    normal.SetSettings(WithPlotOptions(normal.Settings()));
    normal.SetCurves({{record.get(), 0, -1, Qt::darkBlue, "A"}});
    normal.replot();
    EXPECT_EQ(normal.CurveGraph(0, 1)->pen().style(), Qt::DashLine) << "phase never looks solid";
    EXPECT_EQ(normal.CurveGraph(0, 0)->pen().style(), Qt::SolidLine);

    plot.LineWidth = 5;
    plot.GraphicsNumberOfYTics = 4;
    plot.FreqLogAxis = false;
    plot.AmpDBAxis = false;
    plot.ColorFg = {10, 20, 30};
    plot.ColorBg = {200, 210, 220};
    GraphView g(GraphKind::Response);
    g.resize(1600, 900);
    g.SetSettings(WithPlotOptions(g.Settings()));
    g.SetCurves({{record.get(), 0, -1, Qt::darkBlue, "A"}});
    g.FitAll();
    g.replot();
    QCPGraph* magnitude = g.CurveGraph(0, 0);
    ASSERT_NE(magnitude, nullptr);
    EXPECT_DOUBLE_EQ(magnitude->pen().widthF(), 5.0);
    EXPECT_EQ(g.xAxis->scaleType(), QCPAxis::stLinear);
    for (const QCPGraphData& d : *magnitude->data())
        ASSERT_NEAR(d.value, std::abs(TwoTapResponse(d.key)), 1e-9) << d.key;
    EXPECT_LE(g.yAxis->range().lower, 0.5);
    EXPECT_GE(g.yAxis->range().upper, 1.5);
    EXPECT_LT(g.yAxis->tickVector().size(), normal.yAxis->tickVector().size());
    EXPECT_LE(g.yAxis->tickVector().size(), 6);
    EXPECT_EQ(g.xAxis->basePen().color(), QColor(10, 20, 30));
    EXPECT_EQ(g.yAxis->tickLabelColor(), QColor(10, 20, 30));
    EXPECT_EQ(g.axisRect()->backgroundBrush().color(), QColor(200, 210, 220));
    std::filesystem::create_directories(SONVEL_SCREENSHOT_DIR);
    g.grab().save(QStringLiteral(SONVEL_SCREENSHOT_DIR "/plot-options.png"));

    // The step response: the running sum of the two taps; held samples without interpolation.
    plot.ImpulseGraphMode = static_cast<int>(Kedra::Sonvel::Conf::ImpulseGraphMode::Step);
    plot.ImpulseInterpolate = false;
    GraphView i(GraphKind::Impulse);
    i.resize(1000, 600);
    i.SetSettings(WithPlotOptions(i.Settings()));
    i.SetCurves({{record.get(), 0, -1, Qt::darkBlue, "A"}});
    i.xAxis->setRange(-0.5, 0.5);
    i.replot();
    QCPGraph* step = i.CurveGraph(0);
    ASSERT_NE(step, nullptr);
    EXPECT_EQ(step->lineStyle(), QCPGraph::lsStepCenter);
    const double ms = 1000.0 / RATE;
    for (const QCPGraphData& d : *step->data())
        ASSERT_DOUBLE_EQ(d.value, d.key < -ms / 2 ? 0.0 : d.key < ms / 2 ? 1.0 : 1.5) << d.key;
    EXPECT_EQ(i.yAxis->label(), "Step response");

    // The colour picker's custom colours go to the options and come back from them.
    plot.CustomColors = {static_cast<int>(qRgba(1, 2, 3, 255))};
    CustomColoursFromOptions();
    EXPECT_EQ(QColorDialog::customColor(0), QColor(1, 2, 3));
    QColorDialog::setCustomColor(1, QColor(4, 5, 6));
    CustomColoursToOptions();
    ASSERT_EQ(static_cast<int>(plot.CustomColors.size()), QColorDialog::customCount());
    EXPECT_EQ(QColor::fromRgba(static_cast<QRgb>(plot.CustomColors[1])), QColor(4, 5, 6));
    Kedra::Sonvel::Conf::Options::Reset();
}

TEST(DistortionGraph, ARecordWithoutDistortionDataSaysSo) {
    auto record = TwoTapRecord();
    GraphView g(GraphKind::Distortion);
    g.SetCurves({{record.get(), 0, -1, Qt::darkBlue, "A"}});
    EXPECT_EQ(g.CurveGraph(0, 0), nullptr);
    bool said = false;
    for (int i = 0; i < g.itemCount(); ++i)
        if (auto* text = qobject_cast<QCPItemText*>(g.item(i)))
            said = said ||
                   (text->visible() && text->text() == "No distortion data for this measurement");
    EXPECT_TRUE(said);
}

TEST(GraphImage, WritesPngSvgAndPdfOfTheRequestedSizeAndRefusesBadRequests) {
    auto record = TwoTapRecord();
    GraphView g(GraphKind::Response);
    g.SetCurves({{record.get(), 0, -1, Qt::darkBlue, "A"}});
    const auto dir = SonvelTest::TempDir() / "images";
    std::filesystem::create_directories(dir);
    auto path = [&](const char* name) { return QString::fromStdString((dir / name).string()); };
    QString error;

    ASSERT_TRUE(g.SaveImage(path("g.png"), 1200, 700, &error)) << error.toStdString();
    EXPECT_EQ(QImage(path("g.png")).size(), QSize(1200, 700));
    ASSERT_TRUE(g.SaveImage(path("g.svg"), 1200, 700, &error)) << error.toStdString();
    const std::string svg = SonvelTest::ReadBytes(dir / "g.svg");
    EXPECT_NE(svg.find("viewBox=\"0 0 1200 700\""), std::string::npos);
    const auto width = QRegularExpression(QStringLiteral("<svg[^>]* width=\"([0-9.]+)mm\""))
                           .match(QString::fromStdString(svg));
    ASSERT_TRUE(width.hasMatch());
    EXPECT_NEAR(width.captured(1).toDouble() / 25.4 * 96.0, 1200.0, 1.0);
    ASSERT_TRUE(g.SaveImage(path("g.pdf"), 1200, 700, &error)) << error.toStdString();
    EXPECT_EQ(SonvelTest::ReadBytes(dir / "g.pdf").rfind("%PDF", 0), 0u);

    struct Bad {
        QString path;
        int width, height;
        const char* says;
    };
    const Bad bad[] = {{path("g.bmp"), 800, 600, ".png, .svg or .pdf"},
                       {path("noext"), 800, 600, ".png, .svg or .pdf"},
                       {path("h.png"), 0, 600, "out of range"},
                       {path("h.png"), 800, -1, "out of range"},
                       {path("h.png"), 10001, 600, "out of range"},
                       {path("missing/h.png"), 800, 600, "cannot write"},
                       {QString::fromStdString(dir.string()) + "/", 800, 600, "use .png"},
                       {"/proc/h.pdf", 800, 600, "cannot write"}};
    for (const Bad& b : bad) {
        error.clear();
        EXPECT_FALSE(g.SaveImage(b.path, b.width, b.height, &error)) << b.path.toStdString();
        EXPECT_TRUE(error.contains(QLatin1String(b.says))) << error.toStdString();
        EXPECT_FALSE(QFile::exists(b.path) && QFileInfo(b.path).isFile()) << b.path.toStdString();
    }
}

TEST(PlotFile, RefusesWhatItCannotDraw) {
    auto record = TwoTapRecord();
    Measurement empty("empty");
    const auto dir = SonvelTest::TempDir() / "plotfile";
    std::filesystem::create_directories(dir);
    PlotFileRequest good;
    good.curves = {{record.get(), 0, 0, 0, 139, "two taps"}};
    good.path = (dir / "ok.png").string();
    std::string error;
    for (const char* graph : {"response", "phase", "impulse", "distortion"}) {
        good.graph = graph;
        EXPECT_TRUE(RenderPlotFile(good, error)) << graph << ": " << error;
    }

    struct Bad {
        PlotFileRequest request;
        const char* says;
    };
    std::vector<Bad> bad(6, {good, ""});
    bad[0].request.graph = "spectrogram";
    bad[0].says = "unknown graph 'spectrogram'";
    bad[1].request.curves.clear();
    bad[1].says = "nothing to plot";
    bad[2].request.curves = {{&empty, 0, 0, 0, 0, "empty"}, good.curves[0]};
    bad[2].says = "'empty' holds no measurement";
    bad[3].request.curves[0].record = nullptr;
    bad[3].says = "holds no measurement";
    bad[4].request.width = 0;
    bad[4].says = "out of range";
    bad[5].request.from = 0.0;
    bad[5].says = "0 < from < to";
    for (const Bad& b : bad) {
        error.clear();
        EXPECT_FALSE(RenderPlotFile(b.request, error)) << b.says;
        EXPECT_NE(error.find(b.says), std::string::npos) << error;
    }
}

} // namespace
