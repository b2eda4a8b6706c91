#include "gui/OptionsDialog.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTimer>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "WindowTestFixture.h"
#include "app/MainCtrl.h"
#include "app/Options.h"
#include "audio/Devices.h"
#include "gui/ColourButton.h"
#include "gui/GuiFrontEnd.h"
#include "gui/MainWindow.h"
#include "support/TestSupport.h"

namespace {

using namespace Kedra::Sonvel;
namespace fs = std::filesystem;

// A widget's new value, set as a user would; the field is the widget's name.
struct Edit {
    QString widget;
    QVariant value;
};

class OptionsDialogTest : public SonvelTest::WindowTest {
protected:
    void SetUp() override {
        prefix = "options-";
        WindowTest::SetUp();
    }
    void TearDown() override {
        WindowTest::TearDown();
        Conf::Options::Reset();
    }

    std::unique_ptr<Gui::OptionsDialog> Open(std::function<bool()> measuring = [] {
        return false;
    }) {
        auto d = std::make_unique<Gui::OptionsDialog>(*ctrl, measuring, window.get());
        QObject::connect(d.get(), &Gui::OptionsDialog::applied, window.get(),
                         &Gui::MainWindow::OptionsChanged);
        return d;
    }

    static void Set(Gui::OptionsDialog& d, const Edit& e) {
        QWidget* w = d.findChild<QWidget*>(e.widget);
        ASSERT_NE(w, nullptr) << e.widget.toStdString();
        if (auto* box = qobject_cast<QCheckBox*>(w)) {
            box->setChecked(e.value.toBool());
        } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
            const int index = combo->findData(e.value);
            ASSERT_GE(index, 0) << e.widget.toStdString() << " has no " << e.value.toInt();
            combo->setCurrentIndex(index);
        } else if (auto* spin = qobject_cast<QSpinBox*>(w)) {
            spin->setValue(e.value.toInt());
        } else if (auto* number = qobject_cast<QDoubleSpinBox*>(w)) {
            number->setValue(e.value.toDouble());
        } else if (auto* line = qobject_cast<QLineEdit*>(w)) {
            line->setText(e.value.toString());
        } else if (auto* colour = qobject_cast<Gui::ColourButton*>(w)) {
            colour->SetColour(e.value.value<QColor>());
        } else {
            FAIL() << e.widget.toStdString() << " is no field widget";
        }
    }

    // What `sonvel --set` makes of the live record: each "Section.Field=VALUE" set from text,
    // then the options applied. The live record is left as it was.
    std::string AsSetWrites(const std::vector<std::string>& sets) {
        const Conf::OptionsField before = Conf::Options::Field;
        for (const std::string& s : sets) {
            const auto eq = s.find('=');
            EXPECT_EQ(Conf::Options::SetFromText(s.substr(0, eq), s.substr(eq + 1)),
                      Conf::Options::SetResult::Ok)
                << s;
        }
        ctrl->ApplyOptions();
        const std::string text = Conf::Options::SaveText();
        Conf::Options::Field = before;
        ctrl->ApplyOptions();
        return text;
    }

    bool Refused(Gui::OptionsDialog& d, const QString& field) {
        const auto* label = d.findChild<QLabel*>(field + ".error");
        return label != nullptr && !label->isHidden() && !label->text().isEmpty();
    }
};

struct Page {
    const char* name;
    std::vector<Edit> edits;
    std::vector<std::string> sets;
};

std::vector<Page> EveryPage(const fs::path& dir) {
    const int simulated = Kedra::PAudioII::GetHostApiCount() - 1;
    const QString wave = QString::fromStdString((dir / "w").string());
    return {
        {"Devices",
         {{"Dev.ApiNumber", simulated},
          {"Dev.InputNumber", 1},
          {"Dev.OutputNumber", 2},
          {"Dev.SamplerateNo", 3},
          {"Dev.InputChannel", 1},
          {"Dev.OutputChMask.1", true},
          {"Dev.OutputChMask.3", true},
          {"Dev.OutputPCMAmplitude", 0.5},
          {"Dev.InputInvert", true},
          {"Dev.DelayMS", 800.0},
          {"Dev.KeepStreamActive", false},
          {"Dev.ReferenceInput", 8},
          {"Dev.InputChannels", " 1, 10"}},
         {"Dev.ApiNumber=" + std::to_string(simulated), "Dev.InputNumber=1", "Dev.OutputNumber=2",
          "Dev.SamplerateNo=3", "Dev.InputChannel=1", "Dev.OutputChMask=10",
          "Dev.OutputPCMAmplitude=0.5", "Dev.InputInvert=true", "Dev.DelayMS=800",
          "Dev.KeepStreamActive=false", "Dev.ReferenceInput=8", "Dev.InputChannels=0,9"}},
        {"Signal",
         {{"Signal.SignalType", 1},
          {"Signal.SignalLength", 16},
          {"Signal.LogSweepStartFreq", 20.0},
          {"Signal.ChirpStartFreq", 15.5},
          {"Signal.ChirpPotens", 3.0},
          {"Signal.SqNoiseFreq", 0.75},
          {"Signal.SqNoiseAmplitude", 0.25},
          {"Signal.FadeIn", false},
          {"Signal.FadeInms", 20.0},
          {"Signal.FadeOut", false},
          {"Signal.FadeOutms", 5.0}},
         {"Signal.SignalType=1", "Signal.SignalLength=16", "Signal.LogSweepStartFreq=20",
          "Signal.ChirpStartFreq=15.5", "Signal.ChirpPotens=3", "Signal.SqNoiseFreq=0.75",
          "Signal.SqNoiseAmplitude=0.25", "Signal.FadeIn=false", "Signal.FadeInms=20",
          "Signal.FadeOut=false", "Signal.FadeOutms=5"}},
        {"Analysis",
         {{"Analysis.TimeZeroMethod", 4},
          {"Analysis.TimeZeroInterpolate", false},
          {"Analysis.TimeWindowAutoApply", false},
          {"Analysis.MAnalysis", 15},
          {"Analysis.NormalizeTo0dB", true},
          {"Analysis.HighpassResult", false},
          {"Analysis.ExtendToNyquist", true},
          {"Analysis.ExtendToNyquistFreq", 18000.0}},
         {"Analysis.TimeZeroMethod=4", "Analysis.TimeZeroInterpolate=false",
          "Analysis.TimeWindowAutoApply=false", "Analysis.MAnalysis=15",
          "Analysis.NormalizeTo0dB=true", "Analysis.HighpassResult=false",
          "Analysis.ExtendToNyquist=true", "Analysis.ExtendToNyquistFreq=18000"}},
        {"Plot",
         {{"Plot.PlotFreqMin", 25.0},
          {"Plot.PlotFreqMax", 16000.0},
          {"Plot.PlotDbMin", -40.5},
          {"Plot.PlotDbMax", 6.0},
          {"Plot.PlotImpulseDBMin", -90.0},
          {"Plot.HidePhaseWhenBelowDB", -30.0},
          {"Plot.HideHDWhenBelowDB", -60.0},
          {"Plot.GraphicsNumberOfXTics", 12},
          {"Plot.GraphicsNumberOfYTics", 8},
          {"Plot.LineWidth", 3},
          {"Plot.ImpulseGraphMode", 1},
          {"Plot.FreqLogAxis", false},
          {"Plot.AmpDBAxis", false},
          {"Plot.PlotAmplitude", false},
          {"Plot.PlotPhase", false},
          {"Plot.PlotHD", true},
          {"Plot.ImpulseInterpolate", false},
          {"Plot.ImpulseShowHD", false},
          {"Plot.FreqShowGating", false},
          {"Plot.ColorMeasA", QColor(255, 0, 0)},
          {"Plot.ColorMeasB", QColor(0, 128, 255)},
          {"Plot.ColorMeasC", QColor(10, 20, 30)},
          {"Plot.ColorSignal", QColor(1, 2, 3)},
          {"Plot.ColorFg", QColor(200, 200, 200)},
          {"Plot.ColorBg", QColor(0, 0, 0)}},
         {"Plot.PlotFreqMin=25",
          "Plot.PlotFreqMax=16000",
          "Plot.PlotDbMin=-40.5",
          "Plot.PlotDbMax=6",
          "Plot.PlotImpulseDBMin=-90",
          "Plot.HidePhaseWhenBelowDB=-30",
          "Plot.HideHDWhenBelowDB=-60",
          "Plot.GraphicsNumberOfXTics=12",
          "Plot.GraphicsNumberOfYTics=8",
          "Plot.LineWidth=3",
          "Plot.ImpulseGraphMode=1",
          "Plot.FreqLogAxis=false",
          "Plot.AmpDBAxis=false",
          "Plot.PlotAmplitude=false",
          "Plot.PlotPhase=false",
          "Plot.PlotHD=true",
          "Plot.ImpulseInterpolate=false",
          "Plot.ImpulseShowHD=false",
          "Plot.FreqShowGating=false",
          "Plot.ColorMeasAString=255, 0, 0",
          "Plot.ColorMeasBString=0, 128, 255",
          "Plot.ColorMeasCString=10, 20, 30",
          "Plot.ColorSignalString=1, 2, 3",
          "Plot.ColorFgString=200, 200, 200",
          "Plot.ColorBgString=0, 0, 0"}},
        {"ImportExport",
         {{"ImExport.DecimalSep", int(',')},
          {"ImExport.Separator", int('\t')},
          {"ImExport.CommentString", "//"},
          {"ImExport.IncludeHeader", false},
          {"ImExport.ExportPhase", false},
          {"ImExport.PhaseMode", 1},
          {"ImExport.PhaseUnwrap", false},
          {"ImExport.ExportMode", 3},
          {"ImExport.LinearStepsHz", 2.5},
          {"ImExport.LogNofSteps", 200.0},
          {"ImExport.NonEqDbChange", 0.5},
          {"ImExport.NonEqPhaseChange", 2.5}},
         {"ImExport.DecimalSep=44", "ImExport.Separator=9", "ImExport.CommentString=//",
          "ImExport.IncludeHeader=false", "ImExport.ExportPhase=false", "ImExport.PhaseMode=1",
          "ImExport.PhaseUnwrap=false", "ImExport.ExportMode=3", "ImExport.LinearStepsHz=2.5",
          "ImExport.LogNofSteps=200", "ImExport.NonEqDbChange=0.5",
          "ImExport.NonEqPhaseChange=2.5"}},
        {"Filter",
         {{"Filter.HighpassEnabled", true},
          {"Filter.HighpassFreq", 80.0},
          {"Filter.LowpassEnabled", true},
          {"Filter.LowpassFreq", 8000.0},
          {"Filter.NofTaps", 1001}},
         {"Filter.HighpassEnabled=true", "Filter.HighpassFreq=80", "Filter.LowpassEnabled=true",
          "Filter.LowpassFreq=8000", "Filter.NofTaps=1001"}},
        {"Misc",
         {{"Misc.ShowToolTips", false},
          {"Misc.SaveMeasureWaves", true},
          {"Misc.SaveMeasureOutput", wave + "o.wav"},
          {"Misc.SaveMeasureRec", wave + "r.wav"},
          {"Misc.SaveMeasureCorr", wave + "c.wav"},
          {"Misc.WaveFormat", 2}},
         {"Misc.ShowToolTips=false", "Misc.SaveMeasureWaves=true",
          "Misc.SaveMeasureOutput=" + wave.toStdString() + "o.wav",
          "Misc.SaveMeasureRec=" + wave.toStdString() + "r.wav",
          "Misc.SaveMeasureCorr=" + wave.toStdString() + "c.wav", "Misc.WaveFormat=2"}},
    };
}

TEST_F(OptionsDialogTest, EveryPageAppliesWhatTheCommandLineSetWrites) {
    ASSERT_GE(Kedra::PAudioII::GetOutDevices(Kedra::PAudioII::GetHostApiCount() - 1).size(), 3u);
    for (const Page& page : EveryPage(dir)) {
        SCOPED_TRACE(page.name);
        const std::string expected = AsSetWrites(page.sets);
        const std::string before = Conf::Options::SaveText();
        auto d = Open();
        for (const Edit& e : page.edits)
            Set(*d, e);
        ASSERT_TRUE(d->Apply()) << d->Notice().toStdString();
        EXPECT_EQ(Conf::Options::SaveText(), expected);
        // Applying again without a change keeps the record exactly.
        ASSERT_TRUE(d->Apply());
        EXPECT_EQ(Conf::Options::SaveText(), expected);
        Conf::Options::Reset();
        ctrl->ApplyOptions();
        EXPECT_EQ(Conf::Options::SaveText(), before);
    }
}

TEST_F(OptionsDialogTest, PlotPageMatchesTheRealCommandLineAndRedrawsTheWindow) {
    const Page plot = EveryPage(dir)[3];
    const fs::path autosave = Conf::Options::AutoSavePath();
    ASSERT_FALSE(fs::exists(autosave));
    std::string command = SONVEL_BINARY;
    command += " --user-dir '" + dir.string() + "'";
    for (const std::string& s : plot.sets)
        command += " --set '" + s + "'";
    command += " options --show >'" + (dir / "out.txt").string() + "' 2>&1";
    const int raw = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << SonvelTest::ReadBytes(dir / "out.txt");
    const std::string saved = SonvelTest::ReadBytes(autosave);
    ASSERT_FALSE(saved.empty());

    auto d = Open();
    for (const Edit& e : plot.edits)
        Set(*d, e);
    ASSERT_TRUE(d->Apply());
    EXPECT_EQ(Conf::Options::SaveText(), saved);
    const Gui::GraphView* response = window->Graph(Gui::GraphKind::Response);
    EXPECT_DOUBLE_EQ(response->Settings().freqMin, 25.0);
    EXPECT_DOUBLE_EQ(response->xAxis->range().upper, 16000.0);
    EXPECT_FALSE(response->Settings().showPhase);
}

TEST_F(OptionsDialogTest, OutOfRangeOrClashingValuesApplyNothing) {
    const std::string before = Conf::Options::SaveText();
    auto d = Open();
    for (const Edit& e : std::vector<Edit>{{"Signal.SignalLength", 16},
                                           {"Plot.PlotFreqMin", 0.5},
                                           {"Dev.DelayMS", 1e5},
                                           {"Plot.PlotDbMin", 20.0},
                                           {"ImExport.Separator", int(',')},
                                           {"ImExport.DecimalSep", int(',')},
                                           {"Misc.SaveMeasureRec", ""},
                                           {"Dev.InputChannels", "2, 2"}})
        Set(*d, e);
    EXPECT_FALSE(d->Apply());
    EXPECT_EQ(Conf::Options::SaveText(), before);
    for (const char* field : {"Plot.PlotFreqMin", "Dev.DelayMS", "Plot.PlotDbMax",
                              "ImExport.Separator", "Misc.SaveMeasureRec", "Dev.InputChannels"})
        EXPECT_TRUE(Refused(*d, field)) << field;
    EXPECT_FALSE(Refused(*d, "Signal.SignalLength"));
    EXPECT_NE(d->Notice().indexOf("Nothing was applied"), -1);

    // Un-ticking every output channel is refused too.
    d = Open();
    Set(*d, {"Dev.OutputChMask.0", true});
    ASSERT_TRUE(d->Apply()) << d->Notice().toStdString();
    Set(*d, {"Dev.OutputChMask.0", false});
    EXPECT_TRUE(Refused(*d, "Dev.OutputChMask"));
    EXPECT_FALSE(d->Apply());
    EXPECT_EQ(Conf::Options::Field.Dev.OutputChMask, 1);
}

TEST_F(OptionsDialogTest, HostileRecordIsShownAndRefusedWithoutLoss) {
    for (const char* s :
         {"Signal.SignalLength=40", "Dev.ApiNumber=99", "Dev.InputNumber=7", "Dev.SamplerateNo=9",
          "ImExport.DecimalSep=120", "Plot.LineWidth=-3", "Plot.PlotFreqMin=1e300"}) {
        const std::string a(s);
        ASSERT_EQ(Conf::Options::SetFromText(a.substr(0, a.find('=')), a.substr(a.find('=') + 1)),
                  Conf::Options::SetResult::Ok);
    }
    const std::string before = Conf::Options::SaveText();
    auto d = Open();
    for (const char* field :
         {"Signal.SignalLength", "ImExport.DecimalSep", "Plot.LineWidth", "Plot.PlotFreqMin"})
        EXPECT_TRUE(Refused(*d, field)) << field;
    EXPECT_FALSE(d->Apply());
    EXPECT_EQ(Conf::Options::SaveText(), before);
    // Values no list offers stay chosen; correcting the others applies them unchanged.
    for (const Edit& e : std::vector<Edit>{{"Signal.SignalLength", 18},
                                           {"ImExport.DecimalSep", int('.')},
                                           {"Plot.LineWidth", 2},
                                           {"Plot.PlotFreqMin", 20.0}})
        Set(*d, e);
    ASSERT_TRUE(d->Apply()) << d->Notice().toStdString();
    EXPECT_EQ(Conf::Options::Field.Dev.ApiNumber, 99);
    EXPECT_EQ(Conf::Options::Field.Dev.InputNumber, 7);
    EXPECT_EQ(Conf::Options::Field.Dev.SamplerateNo, 9);
}

TEST_F(OptionsDialogTest, ResetToDefaultsAppliesOnlyWithOk) {
    const std::string defaults = Conf::Options::SaveText();
    for (const char* s : {"Plot.LineWidth=4", "Dev.DelayMS=700", "ImExport.Separator=9",
                          "Signal.SignalType=2", "Misc.WaveFormat=3"}) {
        const std::string a(s);
        ASSERT_EQ(Conf::Options::SetFromText(a.substr(0, a.find('=')), a.substr(a.find('=') + 1)),
                  Conf::Options::SetResult::Ok);
    }
    ctrl->ApplyOptions();
    const std::string changed = Conf::Options::SaveText();
    ASSERT_NE(changed, defaults);

    // Through the dialog's own buttons.
    const auto click = [](Gui::OptionsDialog& d, QDialogButtonBox::StandardButton which) {
        d.findChild<QDialogButtonBox*>()->button(which)->click();
    };
    auto cancelled = Open();
    click(*cancelled, QDialogButtonBox::RestoreDefaults);
    click(*cancelled, QDialogButtonBox::Cancel);
    EXPECT_EQ(cancelled->result(), QDialog::Rejected);
    EXPECT_EQ(Conf::Options::SaveText(), changed);

    auto ok = Open();
    click(*ok, QDialogButtonBox::RestoreDefaults);
    EXPECT_EQ(Conf::Options::SaveText(), changed);
    click(*ok, QDialogButtonBox::Ok);
    EXPECT_EQ(ok->result(), QDialog::Accepted);
    EXPECT_EQ(Conf::Options::SaveText(), defaults);
}

TEST_F(OptionsDialogTest, ToolsMenuOpensTheDialogWhoseOkApplies) {
    QAction* open = nullptr;
    for (QAction* a : window->ToolsMenu()->actions())
        if (a->text() == "&Options...")
            open = a;
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(open->shortcut(), QKeySequence("Ctrl+,"));
    EXPECT_EQ(open->shortcut().toString(QKeySequence::NativeText), "Ctrl+,");
    bool seen = false;
    QTimer::singleShot(0, [&seen] {
        auto* d = qobject_cast<Gui::OptionsDialog*>(QApplication::activeModalWidget());
        if (d == nullptr)
            return;
        seen = true;
        // Tooltips follow their option at once.
        QWidget* delay = d->findChild<QWidget*>("Dev.DelayMS");
        const bool tipped = !delay->toolTip().isEmpty();
        d->findChild<QCheckBox*>("Misc.ShowToolTips")->setChecked(false);
        seen = tipped && delay->toolTip().isEmpty();
        d->findChild<Gui::ColourButton*>("Plot.ColorMeasB")->SetColour(QColor(1, 200, 3));
        d->accept();
    });
    open->trigger();
    EXPECT_TRUE(seen);
    EXPECT_EQ(Conf::Options::Field.Plot.ColorMeasB, (Conf::Color{1, 200, 3, 255}));
    EXPECT_FALSE(Conf::Options::Field.Misc.ShowToolTips);
}

TEST_F(OptionsDialogTest, WithSimTheDevicesPageShowsTheSimulatedCardAndKeepsTheOptions) {
    const Conf::DevOptions before = Conf::Options::Field.Dev;
    ctrl->Audio().UseSimulated(true, Kedra::PAudioII::SimulatedModel::Room);
    auto d = Open();
    EXPECT_EQ(d->findChild<QComboBox*>("Dev.ApiNumber")->currentText(), "Simulated");
    EXPECT_TRUE(d->findChild<QComboBox*>("Dev.InputNumber")->currentText().contains("room"));
    EXPECT_TRUE(d->findChild<QComboBox*>("Dev.OutputNumber")->currentText().contains("room"));
    EXPECT_NE(d->findChild<QLabel*>("Dev.simulatedNote"), nullptr);
    d->show();
    QApplication::processEvents();
    Screenshot("options-devices-sim.png", d.get());
    ASSERT_TRUE(d->Apply()) << d->Notice().toStdString();
    EXPECT_EQ(Conf::Options::Field.Dev.ApiNumber, before.ApiNumber);
    EXPECT_EQ(Conf::Options::Field.Dev.InputNumber, before.InputNumber);
    EXPECT_EQ(Conf::Options::Field.Dev.OutputNumber, before.OutputNumber);
}

TEST_F(OptionsDialogTest, WhileMeasuringOnlyPlotAndExportOptionsApply) {
    auto d = Open([] { return true; });
    EXPECT_NE(d->Notice().indexOf("measurement is running"), -1);
    const std::string before = Conf::Options::SaveText();
    Set(*d, {"Dev.DelayMS", 900.0});
    Set(*d, {"Plot.LineWidth", 5});
    EXPECT_FALSE(d->Apply());
    EXPECT_EQ(Conf::Options::SaveText(), before);
    Set(*d, {"Dev.DelayMS", 1500.0});
    ASSERT_TRUE(d->Apply()) << d->Notice().toStdString();
    EXPECT_EQ(Conf::Options::Field.Plot.LineWidth, 5);
}

TEST_F(OptionsDialogTest, ScreenshotOfEveryPage) {
    const QString shots = QStringLiteral(SONVEL_SCREENSHOT_DIR);
    fs::create_directories(shots.toStdString());
    auto d = Open();
    // One refusal on show, to see how it reads.
    Set(*d, {"Plot.PlotFreqMax", 10.0});
    d->show();
    for (int p = 0; p < d->PageList()->count(); ++p) {
        d->PageList()->setCurrentRow(p);
        QApplication::processEvents();
        const QString name = d->PageList()->item(p)->text().toLower().remove('/');
        const QImage image = d->grab().toImage();
        EXPECT_GE(image.width(), d->minimumWidth());
        EXPECT_TRUE(image.save(shots + "/options-" + name + ".png")) << name.toStdString();
    }
}

} // namespace
