#include <gtest/gtest.h>

#include <sys/wait.h>

#include <QImage>
#include <QMouseEvent>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "gui/GraphView.h"
#include "measure/MeasurementList.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace Kedra::Sonvel::Gui;

struct Session {
    int status = -1;
    std::string out;
    std::string err;
};

// Three speaker measurements on the simulated card, made once; each test plots them.
class PlotCommand : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = SonvelTest::TempDir() / "plot-command";
        fs::remove_all(dir);
        fs::create_directories(dir);
        const Session r = Sonvel("--set Dev.SamplerateNo=1 --set Dev.OutputPCMAmplitude=0.5 "
                                 "measure A B C --sim speaker");
        ASSERT_EQ(r.status, 0) << r.err;
        fs::create_directories(SONVEL_SCREENSHOT_DIR);
    }

    static Session Sonvel(const std::string& args) {
        const fs::path out = dir / "stdout.txt";
        const fs::path err = dir / "stderr.txt";
        std::string command = SONVEL_BINARY;
        command += " --user-dir '" + dir.string() + "' ";
        command += args;
        command += " >'" + out.string() + "' 2>'" + err.string() + "'";
        Session r;
        const int raw = std::system(command.c_str());
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = SonvelTest::ReadBytes(out);
        r.err = SonvelTest::ReadBytes(err);
        return r;
    }

    static inline fs::path dir;
};

TEST_F(PlotCommand, DrawsEveryGraphKindOfTheFilledPresenters) {
    // The images land in the build tree, where a developer looks at them.
    for (const char* graph : {"response", "phase", "impulse", "distortion", "groupdelay", "etc",
                              "waterfall", "waterfall --colour-map", "decay", "etc --band 1000"}) {
        std::string name = graph;
        std::replace(name.begin(), name.end(), ' ', '_');
        const fs::path png = fs::path(SONVEL_SCREENSHOT_DIR) / ("graph-" + name + ".png");
        fs::remove(png);
        const Session r =
            Sonvel(std::string("plot --graph ") + graph + " --out '" + png.string() + "'");
        ASSERT_EQ(r.status, 0) << graph << r.err;
        EXPECT_NE(r.out.find("of 3 measurements"), std::string::npos) << r.out;
        EXPECT_EQ(r.err, "") << graph;
        EXPECT_EQ(QImage(QString::fromStdString(png.string())).size(), QSize(1600, 900)) << graph;
    }
    const fs::path svg = dir / "b.svg";
    const Session one = Sonvel("plot B 0 --out '" + svg.string() +
                               "' --size 800x450 --from 100 --to 10000 --db-min -30 --db-max 5");
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_NE(one.out.find("of 2 measurements"), std::string::npos) << one.out;
    EXPECT_NE(SonvelTest::ReadBytes(svg).find("viewBox=\"0 0 800 450\""), std::string::npos);
}

TEST_F(PlotCommand, RefusesEmptySlotsBadSizesAndUnknownNames) {
    const std::string out = " --out '" + (dir / "x.png").string() + "'";
    struct Case {
        std::string args;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {"plot 7" + out, 1, "slot 7 holds no measurement"},
        {"plot Z" + out, 2, "'Z' is not a slot"},
        {"plot --size 16x" + out, 1, "--size must be WIDTHxHEIGHT"},
        {"plot --size 0x100" + out, 1, "--size must be WIDTHxHEIGHT"},
        {"plot --size 20000x100" + out, 1, "--size must be WIDTHxHEIGHT"},
        {"plot --size 800x-1" + out, 1, "--size must be WIDTHxHEIGHT"},
        {"plot --graph waterfall --slice-end 100000" + out, 1, "has no slice"},
        {"plot 7 --graph decay" + out, 1, "slot 7 holds no measurement"},
        {"plot 7 --graph groupdelay" + out, 1, "slot 7 holds no measurement"},
        {"plot --graph bode" + out, 2, "bode"},
        {"plot A --shown" + out, 2, "not both"},
        {"plot --graph response", 2, "--out"},
        {"plot --out '" + (dir / "x.bmp").string() + "'", 1, ".png, .svg or .pdf"},
        {"plot --out '" + (dir / "no/x.png").string() + "'", 1, "cannot write"},
        {"plot --from 500 --to 50" + out, 1, "0 < from < to"},
    };
    for (const Case& c : cases) {
        const Session r = Sonvel(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << "\n" << r.err;
    }
    EXPECT_FALSE(fs::exists(dir / "x.png"));
    EXPECT_FALSE(fs::exists(dir / "x.bmp"));
}

TEST_F(PlotCommand, ShownDrawsWhatTheListShowsAndAnImportedSlotIsShown) {
    const std::string backup = (dir / "backup.zip").string();
    const std::string wave = (dir / "a.wav").string();
    const std::string out = " --out '" + (dir / "shown.png").string() + "'";
    ASSERT_EQ(Sonvel("save '" + backup + "'").status, 0);
    ASSERT_EQ(Sonvel("export A '" + wave + "' --kind wave").status, 0);
    const Session before = Sonvel("plot --shown" + out);
    ASSERT_EQ(before.status, 0) << before.err;
    EXPECT_NE(before.out.find("of 3 measurements"), std::string::npos) << before.out;
    ASSERT_EQ(Sonvel("import '" + wave + "' --slot 7").status, 0);
    const Session after = Sonvel("plot --shown" + out);
    // `show` sets what is drawn; a slot without a measurement or a colour that is none is
    // refused and changes nothing.
    EXPECT_NE(Sonvel("show 7 --hide").out.find("Shown: 0, 1, 2"), std::string::npos);
    EXPECT_EQ(Sonvel("show 9").status, 1);
    EXPECT_EQ(Sonvel("show B --only --colour nocolour").status, 2);
    EXPECT_NE(Sonvel("show B --only --colour '#ff8000'").out.find("Shown: 1\n"), std::string::npos);
    const Session one = Sonvel("plot --shown" + out);
    std::istringstream lines(Sonvel("list").out);
    int shownLines = 0;
    for (std::string line; std::getline(lines, line);)
        if (line.find("  shown") != std::string::npos) {
            ++shownLines;
            EXPECT_EQ(line.rfind("  1 B", 0), 0u) << line;
        }
    EXPECT_EQ(shownLines, 1);
    {
        Kedra::Measure::MeasurementList saved(40);
        ASSERT_TRUE(saved.OpenTry((dir / "MeasAutosaved.zip").string(), false));
        EXPECT_EQ(saved.No(1)->GetPlotColour(), 0xff8000);
    }
    ASSERT_EQ(Sonvel("open --replace '" + backup + "'").status, 0);
    ASSERT_EQ(after.status, 0) << after.err;
    EXPECT_NE(after.out.find("of 4 measurements"), std::string::npos) << after.out;
    EXPECT_NE(one.out.find("of 1 measurement"), std::string::npos) << one.out;
}

// The window's view of the same measurements: readout and tracer, the window's band and its
// edges, the dB impulse. Written for the eye; the checks are that each draws something.
TEST_F(PlotCommand, ScreenshotsOfTheInteractiveGraphs) {
    Kedra::Measure::MeasurementList list(40);
    ASSERT_TRUE(list.OpenTry((dir / "MeasAutosaved.zip").string(), false));
    std::vector<CurveSource> curves;
    const QColor colours[] = {QColor(0, 0, 139), QColor(139, 0, 0), QColor(0, 100, 0)};
    for (int p = 0; p < 3; ++p) {
        list.No(p)->Amplify(1.0 + 0.25 * p); // apart, so that all three show
        curves.push_back({list.No(p), p, p, colours[p], QString("ABC"[p]) + ": speaker"});
    }
    const QString shots = QStringLiteral(SONVEL_SCREENSHOT_DIR);
    QString error;

    GraphView response(GraphKind::Response);
    response.resize(1600, 900);
    response.show();
    response.SetCurves(curves);
    response.replot();
    QString readout;
    QObject::connect(&response, &GraphView::cursorText, [&](const QString& t) { readout = t; });
    const QPointF at(response.xAxis->coordToPixel(1000.0), response.axisRect()->center().y());
    QMouseEvent move(QEvent::MouseMove, at, response.mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(&response, &move);
    EXPECT_TRUE(readout.contains("C: speaker")) << readout.toStdString();
    EXPECT_TRUE(response.SaveImage(shots + "/window-response.png", 1600, 900, &error))
        << error.toStdString();
    EXPECT_TRUE(response.SaveImage(shots + "/window-response-small.png", 900, 560, &error));

    GraphSettings db;
    db.impulseDb = true;
    for (bool logarithmic : {false, true}) {
        GraphView impulse(GraphKind::Impulse);
        impulse.resize(1600, 900);
        db.impulseDb = logarithmic;
        impulse.SetSettings(db);
        impulse.SetCurves(curves);
        impulse.FitAll();
        ASSERT_NE(impulse.CurveGraph(2), nullptr);
        EXPECT_GT(impulse.CurveGraph(2)->data()->size(), 100);
        EXPECT_TRUE(impulse.SaveImage(
            shots + (logarithmic ? "/window-impulse-db.png" : "/window-impulse.png"), 1600, 900,
            &error));
    }
}

} // namespace
