#include "exchange/TextFile.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

using namespace Kedra::Text;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    MemoryStreamBuf buffer(text);
    LineReader reader(buffer);
    std::vector<std::string> lines;
    std::string line;
    while (reader.Next(line))
        lines.push_back(line);
    return lines;
}

// The C library's own answers are the truth; this process runs in the "C" locale here.
const std::string NUMBER_SAMPLES[] = {"1000.5",
                                      "  -3.25e2xyz",
                                      "+7",
                                      "+-3",
                                      "-+3",
                                      "0x1p3",
                                      "-0X1.8p1",
                                      "0x",
                                      "0xg",
                                      ".5",
                                      "-.5e1",
                                      "1e999",
                                      "-1e999",
                                      "1e-999",
                                      "0.0000001e-400",
                                      "4.9e-324",
                                      "inf",
                                      "-Infinity",
                                      "nan(12)",
                                      "abc",
                                      "",
                                      "  ",
                                      "1,5",
                                      "12e",
                                      "12e+",
                                      "1.5.5",
                                      "\t\r\n42",
                                      "00012.5000",
                                      "9" + std::string(30, '9')};

} // namespace

TEST(TextFile, TokenizeMergesRunsOfSeparators) {
    const auto t = Kedra::Tokenize(";; 1000;\t-3  ;10;\t ", "; \t");
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0], "1000");
    EXPECT_EQ(t[1], "-3");
    EXPECT_EQ(t[2], "10");
    EXPECT_TRUE(Kedra::Tokenize(" ;\t", "; \t").empty());
    EXPECT_EQ(Kedra::Tokenize("a,b", "; \t").size(), 1u);
}

TEST(TextFile, ParseNumberAgreesWithStrtodInTheCLocale) {
    for (const std::string& s : NUMBER_SAMPLES) {
        const double expected = std::strtod(s.c_str(), nullptr);
        const double got = ParseNumber(s);
        if (std::isnan(expected)) {
            EXPECT_TRUE(std::isnan(got)) << s;
        } else {
            EXPECT_EQ(got, expected) << '"' << s << '"';
            EXPECT_EQ(std::signbit(got), std::signbit(expected)) << s;
        }
    }
}

TEST(TextFile, FormatNumberIsPrintfG) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
    std::uniform_int_distribution<int> exponent(-320, 308);
    std::vector<double> values = {
        0.0,        -0.0, 1000.0, 20.0012345, 123456789.0,
        -2000000.0, 1e-5, 0.0001, 999999.5,   std::numeric_limits<double>::infinity()};
    for (int i = 0; i < 2000; ++i)
        values.push_back(mantissa(rng) * std::pow(10.0, exponent(rng)));
    char expected[64];
    for (double v : values) {
        std::snprintf(expected, sizeof(expected), "%g", v);
        EXPECT_EQ(FormatNumber(v), expected);
    }
    EXPECT_EQ(FormatNumber(123456789.0), "1.23457e+08");
    EXPECT_EQ(FormatNumber(20.0012345), "20.0012");
}

TEST(TextFile, FormatFixedIsPrintfF) {
    // printf in the "C" locale is the truth; the values avoid exact decimal ties.
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> value(-1e6, 1e6);
    char expected[128];
    for (int i = 0; i < 2000; ++i) {
        const double v = value(rng) / (1 + i % 7);
        const int decimals = i % 5;
        std::snprintf(expected, sizeof(expected), "%.*f", decimals, v);
        EXPECT_EQ(FormatFixed(v, decimals), expected) << v;
    }
    EXPECT_EQ(FormatFixed(-46.0206, 0), "-46");
    EXPECT_EQ(FormatFixed(0.79661, 3), "0.797");
}

TEST(TextFile, LineReaderEndsLinesAndCutsLongOnes) {
    EXPECT_EQ(Lines("a\r\nb\n\nc"), (std::vector<std::string>{"a", "b", "", "c"}));
    EXPECT_TRUE(Lines("").empty());
    EXPECT_EQ(Lines("x\ry\n"), (std::vector<std::string>{"x\ry"}));

    const std::string full(LineReader::MAX_LINE, 'a');
    EXPECT_EQ(Lines(full + "\nb"), (std::vector<std::string>{full, "b"}));
    EXPECT_EQ(Lines(full + "\r\nb"), (std::vector<std::string>{full, "b"}));
    EXPECT_EQ(Lines(full), (std::vector<std::string>{full}));

    const std::string longer = full + "zz\nnext\n";
    MemoryStreamBuf buffer(longer);
    LineReader reader(buffer);
    std::string line;
    ASSERT_TRUE(reader.Next(line));
    EXPECT_EQ(line, full);
    EXPECT_TRUE(reader.WasCut());
    EXPECT_FALSE(reader.Next(line));
    EXPECT_EQ(Lines(full + "\rz"), (std::vector<std::string>{full}));
}

TEST(TextFile, DataLinesStartWithADigit) {
    std::vector<std::string> tokens;
    EXPECT_TRUE(SplitDataLine(" \t1000,5;-3,25;10", "; \t", tokens));
    EXPECT_EQ(tokens, (std::vector<std::string>{"1000.5", "-3.25", "10"}));
    for (const char* line : {"", "   ", "#1 2", "-1 2", "+1 2", ".5 2", "\"1 2\"", "Freq 1"})
        EXPECT_FALSE(SplitDataLine(line, "; \t", tokens)) << line;
    const std::string withNul("12 3\0 4 5", 9);
    EXPECT_TRUE(SplitDataLine(withNul, "; \t", tokens));
    EXPECT_EQ(tokens.size(), 2u);
}

TEST(TextFile, AtomicWriteReplacesOrLeavesTheFile) {
    const fs::path dir = SonvelTest::TempDir() / "atomic";
    fs::create_directories(dir);
    const fs::path target = dir / "data.txt";
    std::string error;
    ASSERT_TRUE(WriteFileAtomically(target.string(), "first\n", error)) << error;
    ::chmod(target.c_str(), 0640);
    ASSERT_TRUE(WriteFileAtomically(target.string(), "second\n", error)) << error;
    std::ifstream in(target);
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_EQ(ss.str(), "second\n");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    // Renaming onto a directory fails after the temporary file was written: it must go.
    fs::create_directories(dir / "taken");
    EXPECT_FALSE(WriteFileAtomically((dir / "taken").string(), "x", error));
    EXPECT_NE(error.find("cannot rename"), std::string::npos) << error;
    EXPECT_TRUE(fs::is_directory(dir / "taken"));
    EXPECT_FALSE(WriteFileAtomically((dir / "missing" / "f.txt").string(), "x", error));
    EXPECT_FALSE(WriteFileAtomically("", "x", error));
    EXPECT_FALSE(WriteFileAtomically((dir / "").string(), "x", error));
    int entries = 0;
    for (const auto& e : fs::directory_iterator(dir))
        entries += e.path().filename().string().find(".tmp") == std::string::npos ? 1 : 100;
    EXPECT_EQ(entries, 2); // data.txt and taken, no temporary left
}
