#include "app/Options.h"
#include "app/AudioHelper.h"
#include "app/FrontEnd.h"
#include "app/OptionsRange.h"
#include "app/OptionsTestRecords.h"
#include "exchange/TextFile.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Kedra::Sonvel::ScriptedFrontEnd;
using Kedra::Sonvel::Conf::Color;
using Kedra::Sonvel::Conf::ColorFromText;
using Kedra::Sonvel::Conf::ColorToText;
using Kedra::Sonvel::Conf::LoadOutcome;
using Kedra::Sonvel::Conf::Options;
using Kedra::Sonvel::Conf::OptionsField;
using OptionsTesting::EveryFieldChanged;
using OptionsTesting::Flatten;

std::string Xml(const std::string& version, const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<OptionsField>"
           "<WriterProductVersion>" +
           version + "</WriterProductVersion>" + body + "</OptionsField>\n";
}

std::string Own(const std::string& body) {
    return Xml(Options::ProgramVersion(), body);
}

std::size_t Count(const std::string& text, const std::string& fragment) {
    std::size_t n = 0;
    for (std::size_t at = text.find(fragment); at != std::string::npos;
         at = text.find(fragment, at + 1))
        ++n;
    return n;
}

class OptionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        user_ = SonvelTest::TempDir() / "unit-user";
        Kedra::Sonvel::Conf::SetUserDirectory(user_);
        Options::Reset();
        Options::SetFrontEnd(&frontEnd_);
    }
    void TearDown() override { Options::SetFrontEnd(nullptr); }

    OptionsField Defaults() const { return OptionsField::Init(user_); }

    fs::path user_;
    ScriptedFrontEnd frontEnd_;
};

TEST_F(OptionsTest, DefaultsAndTheOrderOfTheElements) {
    const OptionsField& f = Options::Field;
    EXPECT_EQ(f.Misc.SaveMeasureOutput, (user_ / "Output.wav").string());
    EXPECT_EQ(f.Misc.SaveMeasureRec, (user_ / "Recording.wav").string());
    EXPECT_EQ(f.Misc.SaveMeasureCorr, (user_ / "Correlation.wav").string());
    // The colour texts of a fresh record already describe its colours.
    OptionsField saved = f;
    saved.Plot.SaveColors();
    EXPECT_EQ(saved, f);

    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(Options::SaveText().c_str()));
    const auto names = [](pugi::xml_node n) {
        std::vector<std::string> list;
        for (pugi::xml_node c : n.children())
            list.emplace_back(c.name());
        return list;
    };
    const pugi::xml_node root = doc.child("OptionsField");
    EXPECT_EQ(names(root), (std::vector<std::string>{
                               "WriterProductVersion", "Comment", "Plot", "Misc", "Dev", "Signal",
                               "Analysis", "ImExport", "Filter", "MakeMicCal", "Window", "Spl"}));
    EXPECT_EQ(names(root.child("Plot")), (std::vector<std::string>{"PlotFreqMin",
                                                                   "PlotFreqMax",
                                                                   "PlotDbMin",
                                                                   "PlotDbMax",
                                                                   "PlotImpulseDBMin",
                                                                   "GraphicsNumberOfXTics",
                                                                   "GraphicsNumberOfYTics",
                                                                   "LineWidth",
                                                                   "ImpulseGraphMode",
                                                                   "HidePhaseWhenBelowDB",
                                                                   "HideHDWhenBelowDB",
                                                                   "FreqLogAxis",
                                                                   "AmpDBAxis",
                                                                   "PlotPhase",
                                                                   "PlotAmplitude",
                                                                   "PlotHD",
                                                                   "ImpulseInterpolate",
                                                                   "ImpulseShowHD",
                                                                   "FreqShowGating",
                                                                   "ColorFgString",
                                                                   "ColorBgString",
                                                                   "ColorMeasAString",
                                                                   "ColorMeasBString",
                                                                   "ColorMeasCString",
                                                                   "ColorSignalString",
                                                                   "CustomColors"}));
    EXPECT_EQ(names(root.child("Dev")),
              (std::vector<std::string>{"SamplerateNo", "InputNumber", "OutputNumber", "ApiNumber",
                                        "OutputChMask", "InputChannel", "InputInvert", "DelayMS",
                                        "OutputPCMAmplitude", "KeepStreamActive", "ReferenceInput",
                                        "InputChannels"}));
    EXPECT_EQ(names(root.child("Filter")),
              (std::vector<std::string>{"HighpassEnabled", "LowpassEnabled", "HighpassFreq",
                                        "LowpassFreq", "NofTaps"}));
    EXPECT_STREQ(root.child("Plot").child_value("FreqLogAxis"), "true");
    EXPECT_STREQ(root.child("Plot").child_value("PlotHD"), "false");
    EXPECT_STREQ(root.child("Signal").child_value("SqNoiseFreq"), "0.9");
    EXPECT_STREQ(root.child("Signal").child_value("FadeInms"), "10");
    EXPECT_STREQ(root.child_value("WriterProductVersion"), Options::ProgramVersion().c_str());
}

TEST_F(OptionsTest, EveryFieldRoundTripsExactlyThroughTheText) {
    OptionsField changed = EveryFieldChanged(user_);
    const auto defaults = Flatten(Defaults());
    const auto flat = Flatten(changed);
    ASSERT_EQ(flat.size(), defaults.size());
    for (std::size_t i = 0; i < flat.size(); ++i)
        EXPECT_NE(flat[i].second, defaults[i].second) << flat[i].first << " is not changed";

    Options::Field = changed;
    const std::string text = Options::SaveText();
    Options::Reset();
    ASSERT_TRUE(Options::LoadText(text, true, "memory"));
    changed.WriterProductVersion = Options::ProgramVersion();
    EXPECT_EQ(Flatten(Options::Field), Flatten(changed));
    EXPECT_EQ(Options::Field, changed);
    EXPECT_TRUE(frontEnd_.Log().empty());
    // Written again, the same bytes.
    EXPECT_EQ(Options::SaveText(), text);
}

TEST_F(OptionsTest, VersionNumbers) {
    EXPECT_EQ(Options::ProductVersionNumber("1.1.1.1"), 1010101);
    EXPECT_EQ(Options::ProductVersionNumber("1.2.0.4"), 1020004);
    EXPECT_EQ(Options::ProductVersionNumber("12.34.56.78"), 12345678);
    EXPECT_EQ(Options::ProductVersionNumber("2"), 2000000);
    EXPECT_EQ(Options::ProductVersionNumber("1.2.3.4.5"), 1020304);
    EXPECT_EQ(Options::ProductVersionNumber("3000.0.0.0"), 3000000000LL);
    for (const char* bad : {"", "1..1.1", "1.x.1.1", "-1.1.1.1", "1.1.1.", "1.1.1.1a",
                            "1234567890.1.1.1", "\xc3\xa4"})
        EXPECT_FALSE(Options::ProductVersionNumber(bad).has_value()) << bad;
}

TEST_F(OptionsTest, WriterVersionsOutsideTheAcceptedRangeAreRefused) {
    const std::string own = Options::ProgramVersion();
    std::string newer = own;
    ++newer.back();
    struct Case {
        std::string version;
        bool accepted;
        std::string remembered;
    };
    for (const Case& c : std::vector<Case>{{"1.1.1.0", false, "1.1.1.0"},
                                           {"1.1.1.1", true, "1.1.1.1"},
                                           {own, true, own},
                                           {newer, false, newer},
                                           {"one.two", false, "Unknown"},
                                           {"", false, "Unknown"}}) {
        EXPECT_EQ(Options::VerifyProductVersionText(Xml(c.version, "")), c.accepted) << c.version;
        EXPECT_EQ(Options::FileWriterVersion(), c.remembered);
    }
    EXPECT_FALSE(Options::VerifyProductVersionText("<OptionsField><Comment/></OptionsField>"));
    EXPECT_EQ(Options::FileWriterVersion(), "Unknown");

    // A refused file keeps the record and, when asked, says so in the exact words.
    Options::Field.Comment = "kept";
    EXPECT_FALSE(Options::LoadText(Xml("1.1.1.0", "<Comment>new</Comment>"), true, "old.xml"));
    EXPECT_EQ(Options::Field.Comment, "kept");
    ASSERT_EQ(frontEnd_.Log().size(), 1u);
    EXPECT_EQ(frontEnd_.Log()[0].title, "Warning");
    EXPECT_EQ(frontEnd_.Log()[0].text,
              "The version of the selected file is not compatible with this application.\n"
              "The options cannot be loaded automatically.\n\n"
              "File:    old.xml\nVersion: 1.1.1.0\n\nVersion of this application: " +
                  own);
    EXPECT_EQ(Options::LastLoadOutcome(), LoadOutcome::Older);
    EXPECT_FALSE(Options::LoadText(Xml(newer, "<Comment>new</Comment>"), false, "new.xml"));
    EXPECT_EQ(Options::LastLoadOutcome(), LoadOutcome::Newer);
    EXPECT_EQ(frontEnd_.Log().size(), 1u);
    EXPECT_FALSE(Options::LoadText("<OptionsField><Comment/>", false, "cut.xml"));
    EXPECT_EQ(Options::LastLoadOutcome(), LoadOutcome::Unreadable);
    EXPECT_TRUE(Options::LoadText(Xml("1.1.1.1", "<Comment>new</Comment>"), true, "ok.xml"));
    EXPECT_EQ(Options::LastLoadOutcome(), LoadOutcome::Loaded);
    EXPECT_EQ(Options::Field.Comment, "new");
}

TEST_F(OptionsTest, MigrationsFollowTheWriterVersion) {
    const std::string body = "<Plot><ImpulseShowHD>false</ImpulseShowHD>"
                             "<FreqShowGating>false</FreqShowGating></Plot>"
                             "<Dev><DelayMS>200</DelayMS><KeepStreamActive>false</"
                             "KeepStreamActive></Dev>"
                             "<Analysis><ExtendToNyquist>true</ExtendToNyquist>"
                             "<ExtendToNyquistFreq>15000</ExtendToNyquistFreq></Analysis>";
    struct Case {
        const char* version;
        bool plotMigrated, devMigrated, nyquistMigrated;
    };
    for (const Case& c :
         {Case{"1.1.5.1", true, true, true}, Case{"1.1.5.2", false, true, true},
          Case{"1.1.9.8", false, true, true}, Case{"1.1.9.9", false, false, true},
          Case{"1.2.0.3", false, false, true}, Case{"1.2.0.4", false, false, false}}) {
        Options::Reset();
        ASSERT_TRUE(Options::LoadText(Xml(c.version, body), true, "m.xml")) << c.version;
        const OptionsField& f = Options::Field;
        EXPECT_EQ(f.Plot.ImpulseShowHD, c.plotMigrated) << c.version;
        EXPECT_EQ(f.Plot.FreqShowGating, c.plotMigrated) << c.version;
        EXPECT_EQ(f.Dev.KeepStreamActive, c.devMigrated) << c.version;
        EXPECT_EQ(f.Dev.DelayMS, c.devMigrated ? 1500.0 : 200.0) << c.version;
        EXPECT_EQ(f.Analysis.ExtendToNyquist, !c.nyquistMigrated) << c.version;
        EXPECT_EQ(f.Analysis.ExtendToNyquistFreq, c.nyquistMigrated ? 20000.0 : 15000.0)
            << c.version;
    }
}

TEST_F(OptionsTest, FloorsOfOlderFilesAreRaised) {
    struct Case {
        const char* body;
        double hideHD, impulseMin;
        int mAnalysis;
    };
    for (const Case& c :
         {Case{"<Plot><HideHDWhenBelowDB>-0.5</HideHDWhenBelowDB><PlotImpulseDBMin>-10</"
               "PlotImpulseDBMin></Plot><Analysis><MAnalysis>8</MAnalysis></Analysis>",
               -10.0, -70.0, 16},
          Case{"<Plot><HideHDWhenBelowDB>-1</HideHDWhenBelowDB><PlotImpulseDBMin>-20</"
               "PlotImpulseDBMin></Plot><Analysis><MAnalysis>10</MAnalysis></Analysis>",
               -1.0, -20.0, 10},
          Case{"<Plot><HideHDWhenBelowDB>30</HideHDWhenBelowDB><PlotImpulseDBMin>-19.99</"
               "PlotImpulseDBMin></Plot><Analysis><MAnalysis>-3</MAnalysis></Analysis>",
               -10.0, -70.0, 16}}) {
        ASSERT_TRUE(Options::LoadText(Own(c.body), true, "f.xml"));
        EXPECT_EQ(Options::Field.Plot.HideHDWhenBelowDB, c.hideHD) << c.body;
        EXPECT_EQ(Options::Field.Plot.PlotImpulseDBMin, c.impulseMin) << c.body;
        EXPECT_EQ(Options::Field.Analysis.MAnalysis, c.mAnalysis) << c.body;
    }
}

TEST_F(OptionsTest, MissingSectionsAndFieldsGetTheirDefaults) {
    Options::Field = EveryFieldChanged(user_);
    // Only the version and one plot field: every other section and field is a default,
    // nothing of the record held before the read survives.
    ASSERT_TRUE(Options::LoadText(Own("<Plot><LineWidth>4</LineWidth></Plot>"), true, "s.xml"));
    OptionsField expected = Defaults();
    expected.WriterProductVersion = Options::ProgramVersion();
    expected.Plot.LineWidth = 4;
    EXPECT_EQ(Options::Field, expected);
    EXPECT_EQ(Options::Field.Filter.NofTaps, 501);

    // Empty or missing debug wave paths get theirs in the user directory.
    ASSERT_TRUE(
        Options::LoadText(Own("<Misc><SaveMeasureRec></SaveMeasureRec><SaveMeasureCorr>/my/c.wav</"
                              "SaveMeasureCorr></Misc>"),
                          true, "m.xml"));
    EXPECT_EQ(Options::Field.Misc.SaveMeasureRec, (user_ / "Recording.wav").string());
    EXPECT_EQ(Options::Field.Misc.SaveMeasureOutput, (user_ / "Output.wav").string());
    EXPECT_EQ(Options::Field.Misc.SaveMeasureCorr, "/my/c.wav");
    // Unknown elements, duplicates and another order are tolerated; the first one counts.
    ASSERT_TRUE(Options::LoadText(Own("<Future><X>1</X></Future><Filter><NofTaps>11</NofTaps>"
                                      "<HighpassFreq>70</HighpassFreq><NofTaps>13</NofTaps>"
                                      "</Filter><Comment>c</Comment>"),
                                  true, "o.xml"));
    EXPECT_EQ(Options::Field.Filter.NofTaps, 11);
    EXPECT_EQ(Options::Field.Filter.HighpassFreq, 70.0);
    EXPECT_EQ(Options::Field.Comment, "c");
}

TEST_F(OptionsTest, ColourTextRoundTrip) {
    for (int v = 0; v < 256; v += 5) {
        const auto b = static_cast<std::uint8_t>(v);
        for (const Color c : {Color{b, 0, 255, 255}, Color{255, b, 1, 255}, Color{7, 8, b, 255},
                              Color{b, b, b, b}, Color{1, 2, 3, b}}) {
            Color back{42, 42, 42, 42};
            std::string error;
            ASSERT_TRUE(ColorFromText(ColorToText(c), back, error)) << ColorToText(c);
            EXPECT_EQ(back, c) << ColorToText(c);
        }
    }
    EXPECT_EQ(ColorToText({240, 240, 240, 255}), "240, 240, 240");
    EXPECT_EQ(ColorToText({1, 2, 3, 4}), "4, 1, 2, 3");

    struct Good {
        const char* text;
        Color color;
    };
    for (const Good& g : {Good{"Black", {0, 0, 0, 255}}, Good{"darkblue", {0, 0, 139, 255}},
                          Good{" DarkRed ", {139, 0, 0, 255}}, Good{"DarkGreen", {0, 100, 0, 255}},
                          Good{"#0a0B0c", {10, 11, 12, 255}}, Good{"#800a0b0c", {10, 11, 12, 128}},
                          Good{" 1 ,2, 3 ", {1, 2, 3, 255}}, Good{"0,0,0,0", {0, 0, 0, 0}}}) {
        Color c;
        std::string error;
        EXPECT_TRUE(ColorFromText(g.text, c, error)) << g.text;
        EXPECT_EQ(c, g.color) << g.text;
    }
    for (const char* bad : {"", "  ", "256, 0, 0", "1, 2", "1, 2, 3, 4, 5", "1,,2,3", "-1, 2, 3",
                            "1, 2, 3x", "#12345", "#1234567", "#gg0000", "Reddish", "1.5, 2, 3"}) {
        Color c{5, 6, 7, 8};
        std::string error;
        EXPECT_FALSE(ColorFromText(bad, c, error)) << bad;
        EXPECT_EQ(c, (Color{5, 6, 7, 8})) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST_F(OptionsTest, ABrokenColourResetsThePlotOptionsOnly) {
    ASSERT_TRUE(Options::LoadText(Own("<Plot><LineWidth>5</LineWidth>"
                                      "<ColorMeasAString>1, 2, 3</ColorMeasAString>"
                                      "<ColorMeasBString>DarkRed</ColorMeasBString></Plot>"),
                                  true, "c.xml"));
    EXPECT_EQ(Options::Field.Plot.ColorMeasA, (Color{1, 2, 3, 255}));
    EXPECT_EQ(Options::Field.Plot.ColorMeasB, (Color{139, 0, 0, 255}));
    EXPECT_EQ(Options::Field.Plot.LineWidth, 5);

    ASSERT_TRUE(Options::LoadText(Own("<Plot><LineWidth>5</LineWidth><PlotHD>true</PlotHD>"
                                      "<ColorFgString>1, 2, 3</ColorFgString>"
                                      "<ColorSignalString>purple-ish</ColorSignalString>"
                                      "</Plot><Filter><NofTaps>99</NofTaps></Filter>"),
                                  true, "c.xml"));
    EXPECT_EQ(Options::Field.Plot, Kedra::Sonvel::Conf::PlotOptions{});
    EXPECT_EQ(Options::Field.Filter.NofTaps, 99);
    EXPECT_NE(SonvelTest::ReadLog().find("WARNING PlotOptions::PostLoad() Exception:\n "
                                         "\"purple-ish\" is not a colour\n Using default colors\n"),
              std::string::npos);
}

TEST_F(OptionsTest, AValueOfTheWrongTypeKeepsItsDefault) {
    ASSERT_TRUE(Options::LoadText(
        Own("<Plot><PlotFreqMin>abc</PlotFreqMin><PlotFreqMax>1e999</PlotFreqMax>"
            "<PlotDbMin>nan</PlotDbMin><PlotDbMax>  +12.5e0 </PlotDbMax>"
            "<LineWidth>3.5</LineWidth><GraphicsNumberOfXTics>99999999999</GraphicsNumberOfXTics>"
            "<GraphicsNumberOfYTics>0x10</GraphicsNumberOfYTics><ImpulseGraphMode>1</"
            "ImpulseGraphMode><PlotHD>yes</PlotHD><PlotPhase>0</PlotPhase>"
            "<CustomColors><int>1</int><int>two</int></CustomColors></Plot>"
            "<Comment><b>bold</b></Comment><Dev><OutputPCMAmplitude>1e40</OutputPCMAmplitude>"
            "<DelayMS>0,5</DelayMS><InputNumber>-7</InputNumber>"
            "<InputChannels><int>1</int><int>2;3</int></InputChannels></Dev>"),
        true, "t.xml"));
    // Read, but not all of it: the file must not be written over unseen.
    EXPECT_EQ(Options::LastLoadOutcome(), LoadOutcome::InPart);
    const OptionsField& f = Options::Field;
    const OptionsField d = Defaults();
    EXPECT_EQ(f.Plot.PlotFreqMin, d.Plot.PlotFreqMin);
    EXPECT_EQ(f.Plot.PlotFreqMax, d.Plot.PlotFreqMax);
    EXPECT_EQ(f.Plot.PlotDbMin, d.Plot.PlotDbMin);
    EXPECT_EQ(f.Plot.PlotDbMax, 12.5);
    EXPECT_EQ(f.Plot.LineWidth, d.Plot.LineWidth);
    EXPECT_EQ(f.Plot.GraphicsNumberOfXTics, d.Plot.GraphicsNumberOfXTics);
    EXPECT_EQ(f.Plot.GraphicsNumberOfYTics, d.Plot.GraphicsNumberOfYTics);
    EXPECT_EQ(f.Plot.ImpulseGraphMode, 1);
    EXPECT_EQ(f.Plot.PlotHD, d.Plot.PlotHD);
    EXPECT_FALSE(f.Plot.PlotPhase);
    EXPECT_TRUE(f.Plot.CustomColors.empty());
    EXPECT_EQ(f.Comment, "");
    EXPECT_EQ(f.Dev.OutputPCMAmplitude, d.Dev.OutputPCMAmplitude);
    EXPECT_EQ(f.Dev.DelayMS, d.Dev.DelayMS);
    EXPECT_EQ(f.Dev.InputNumber, -7);
    EXPECT_TRUE(f.Dev.InputChannels.empty());
    const std::string log = SonvelTest::ReadLog();
    EXPECT_NE(log.find("WARNING Options::LoadData(t.xml) - Plot.PlotFreqMin: \"abc\" is not a "
                       "finite number -> default kept\n"),
              std::string::npos);
    EXPECT_NE(log.find("WARNING Options::LoadData(t.xml) - Dev.DelayMS: \"0,5\" is not a finite "
                       "number -> default kept\n"),
              std::string::npos);
    for (const char* field :
         {"Plot.PlotFreqMax", "Plot.PlotDbMin", "Plot.LineWidth", "Plot.GraphicsNumberOfXTics",
          "Plot.GraphicsNumberOfYTics", "Plot.PlotHD", "Plot.CustomColors", "Comment",
          "Dev.OutputPCMAmplitude", "Dev.InputChannels"})
        EXPECT_EQ(Count(log, "(t.xml) - " + std::string(field) + ":"), 1u) << field;
    EXPECT_EQ(Count(log, "(t.xml) - Plot.PlotDbMax:"), 0u);
    // A list given as plain text is no list.
    ASSERT_TRUE(Options::LoadText(Own("<Plot><CustomColors> <int>4</int> 5 </CustomColors></Plot>"),
                                  true, "l.xml"));
    EXPECT_TRUE(Options::Field.Plot.CustomColors.empty());
    ASSERT_TRUE(Options::LoadText(Own("<Plot><CustomColors>\n  <int> 4 </int>\n  <int>-5</int>"
                                      "\n</CustomColors></Plot>"),
                                  true, "l.xml"));
    EXPECT_EQ(Options::Field.Plot.CustomColors, (std::vector<int>{4, -5}));
}

TEST_F(OptionsTest, HostileXmlIsRefusedOrReadWithoutHarm) {
    Options::Field.Comment = "kept";
    const std::string good = Own("<Comment>new</Comment><Filter><NofTaps>7</NofTaps></Filter>");
    // Every truncation of a good file is refused and changes nothing.
    for (std::size_t cut = 0; cut < good.size() - 2; cut += 3) {
        EXPECT_FALSE(Options::LoadText(good.substr(0, cut), false, "cut.xml")) << cut;
        EXPECT_EQ(Options::Field.Comment, "kept") << cut;
    }
    const std::string refused[] = {
        "",
        std::string("\0\x01\xff\xfe garbage", 12),
        "<Other><WriterProductVersion>1.2.0.0</WriterProductVersion></Other>",
        "<OptionsField><WriterProductVersion>1.2.0.0</WriterProductVersion>"
        "</OptionsField><Second/>",
        "<OptionsField><WriterProductVersion><v>1.2.0.0</v></WriterProductVersion>"
        "</OptionsField>",
        "<OptionsField><Comment>no version</Comment></OptionsField>",
        // Oversized: refused before parsing.
        Own("<Comment>" + std::string(Options::MAX_FILE_BYTES, 'x') + "</Comment>"),
    };
    for (const std::string& text : refused) {
        EXPECT_FALSE(Options::LoadText(text, false, "bad.xml")) << text.substr(0, 60);
        EXPECT_EQ(Options::Field.Comment, "kept");
    }
    EXPECT_NE(SonvelTest::ReadLog().find("WARNING Options::LoadData(cut.xml) - not well-formed "
                                         "XML ("),
              std::string::npos);

    // Entities of a document type are never expanded: the reference stays literal text.
    const std::string laughs =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE OptionsField [\n <!ENTITY lol \"lol\">\n"
        " <!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">\n"
        " <!ENTITY lol2 \"&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;\">\n"
        " <!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">\n"
        " <!ENTITY lol9 \"&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;\">\n"
        " <!ENTITY ext SYSTEM \"file:///etc/passwd\">\n]>\n<OptionsField>"
        "<WriterProductVersion>" +
        Options::ProgramVersion() +
        "</WriterProductVersion><Comment>&lol9;&ext;</Comment>"
        "<Filter><NofTaps>&lol9;</NofTaps></Filter></OptionsField>";
    ASSERT_TRUE(Options::LoadText(laughs, false, "lol.xml"));
    EXPECT_EQ(Options::Field.Comment, "&lol9;&ext;");
    EXPECT_EQ(Options::Field.Filter.NofTaps, 501);

    // Deep nesting inside a section neither overflows the stack nor counts as a value.
    std::string deep;
    for (int i = 0; i < 200000; ++i)
        deep += "<d>";
    for (int i = 0; i < 200000; ++i)
        deep += "</d>";
    ASSERT_TRUE(Options::LoadText(Own("<Plot><LineWidth>" + deep + "</LineWidth></Plot>" + deep),
                                  false, "deep.xml"));
    EXPECT_EQ(Options::Field.Plot.LineWidth, 2);
}

} // namespace

TEST(OptionsSetFromText, DottedPathsByTheFileRules) {
    using Kedra::Sonvel::Conf::Options;
    Options::Reset();
    EXPECT_EQ(Options::SetFromText("Signal.SignalLength", "16"), Options::SetResult::Ok);
    EXPECT_EQ(Options::Field.Signal.SignalLength, 16);
    EXPECT_EQ(Options::SetFromText("Dev.OutputPCMAmplitude", "+0.25"), Options::SetResult::Ok);
    EXPECT_EQ(Options::Field.Dev.OutputPCMAmplitude, 0.25f);
    EXPECT_EQ(Options::SetFromText("Analysis.NormalizeTo0dB", "true"), Options::SetResult::Ok);
    EXPECT_TRUE(Options::Field.Analysis.NormalizeTo0dB);
    EXPECT_EQ(Options::SetFromText("Plot.CustomColors", "1,2,3"), Options::SetResult::Ok);
    EXPECT_EQ(Options::Field.Plot.CustomColors, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(Options::SetFromText("Comment", "a = b"), Options::SetResult::Ok);
    EXPECT_EQ(Options::Field.Comment, "a = b");
    // Refusals leave the field as it was.
    EXPECT_EQ(Options::SetFromText("Signal.SignalLength", "16.5"), Options::SetResult::BadValue);
    EXPECT_EQ(Options::SetFromText("Signal.SignalLength", "0,5"), Options::SetResult::BadValue);
    EXPECT_EQ(Options::SetFromText("Dev.DelayMS", "nan"), Options::SetResult::BadValue);
    EXPECT_EQ(Options::SetFromText("Plot.CustomColors", "1,x"), Options::SetResult::BadValue);
    EXPECT_EQ(Options::Field.Signal.SignalLength, 16);
    EXPECT_EQ(Options::Field.Plot.CustomColors, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(Options::SetFromText("Signal.NoSuchField", "1"), Options::SetResult::NoField);
    EXPECT_EQ(Options::SetFromText("Nowhere.SignalLength", "1"), Options::SetResult::NoField);
    EXPECT_EQ(Options::SetFromText("Signal", "1"), Options::SetResult::NoField);
    // A colour text reaches its colour, so that a save keeps it; a broken one changes nothing.
    EXPECT_EQ(Options::SetFromText("Plot.ColorMeasAString", "#FF8000"), Options::SetResult::Ok);
    EXPECT_EQ(Options::Field.Plot.ColorMeasA, (Color{255, 128, 0, 255}));
    EXPECT_NE(Options::SaveText().find("<ColorMeasAString>255, 128, 0<"), std::string::npos);
    EXPECT_EQ(Options::SetFromText("Plot.ColorMeasBString", "12, x"), Options::SetResult::BadValue);
    EXPECT_EQ(Options::Field.Plot.ColorMeasBString, "139, 0, 0");
    EXPECT_EQ(Options::Field.Plot.ColorMeasA, (Color{255, 128, 0, 255}));
    Options::Reset();
}

// The command line and scripts cannot set what the window would refuse.
TEST(OptionsSetInRange, ValuesOutsideTheRangeAreRefusedAndChangeNothing) {
    using Kedra::Sonvel::Conf::OptionRanges;
    using Kedra::Sonvel::Conf::OutOfRange;
    Options::Reset();
    const OptionsField before = Options::Field;
    const struct {
        const char *path, *value, *why;
    } cases[] = {
        {"Dev.OutputPCMAmplitude", "5", "Dev.OutputPCMAmplitude must lie between 0 and 1, not 5"},
        {"Dev.OutputPCMAmplitude", " -0.5", "must lie between 0 and 1, not -0.5"},
        {"Signal.SignalLength", "99", "Signal.SignalLength must lie between 12 and 22, not 99"},
        {"Dev.SamplerateNo", "99", "Dev.SamplerateNo must lie between 0 and 5, not 99"},
        {"Filter.HighpassFreq", "1e9", "must lie between 1 and 96000, not 1e9"},
    };
    for (const auto& c : cases) {
        std::string why;
        EXPECT_EQ(Options::SetInRange(c.path, c.value, why), Options::SetResult::OutOfRange)
            << c.path;
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
    EXPECT_EQ(Options::Field, before);
    std::string why;
    EXPECT_EQ(Options::SetInRange("Signal.SignalLength", "22", why), Options::SetResult::Ok);
    EXPECT_EQ(Options::SetInRange("Dev.OutputPCMAmplitude", "+1", why), Options::SetResult::Ok);
    EXPECT_EQ(Options::SetInRange("Dev.OutputPCMAmplitude", "nan", why),
              Options::SetResult::BadValue);
    EXPECT_EQ(Options::SetInRange("Signal.SignalLength", "x9", why), Options::SetResult::BadValue);

    // Each range names a numeric field whose ends it takes and whose default it holds.
    Options::Reset();
    const auto defaults = Flatten(Options::Field);
    for (const auto& r : OptionRanges()) {
        const std::string path(r.path);
        const auto it = std::find_if(defaults.begin(), defaults.end(),
                                     [&](const auto& f) { return f.first == path; });
        ASSERT_NE(it, defaults.end()) << path;
        EXPECT_FALSE(OutOfRange(path, it->second)) << path << " = " << it->second;
        for (const double end : {r.lo, r.hi})
            EXPECT_EQ(Options::SetInRange(path, Kedra::Text::FormatNumber(end), why),
                      Options::SetResult::Ok)
                << path << " " << end;
    }
    Options::Reset();
    const int rates =
        static_cast<int>(Kedra::Sonvel::Conf::FindOptionRange("Dev.SamplerateNo")->hi);
    EXPECT_GT(Kedra::Sonvel::SampleRateOfNumber(rates), 0);
    EXPECT_EQ(Kedra::Sonvel::SampleRateOfNumber(rates + 1), 0);
}
