#include "app/SplReference.h"

#include <gtest/gtest.h>

#include "app/Options.h"

namespace {

using namespace Kedra::Sonvel;

TEST(SplReference, StoredPerInputAndMalformedLinesAreLeftOut) {
    Conf::Options::Reset();
    SplReference a{"ALSA: card", 0, 94.0, -26.5, 1000.2, "2026-12-09 15:40", SplSource::Calibrator};
    SplReference b{"ALSA: card", 1, 114.0, -6.0, 998.0, "2026-12-09 15:41", SplSource::Tone};
    StoreSplReference(a);
    StoreSplReference(b);
    a.levelDb = 104.0; // a new reference of the same input replaces the old one
    StoreSplReference(a);
    const auto all = ParseSplReferences(Conf::Options::Field.Spl.References);
    ASSERT_EQ(all.size(), 2u);
    const auto found = FindSplReference("ALSA: card", 0);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->levelDb, 104.0);
    EXPECT_DOUBLE_EQ(found->Offset(), 130.5);
    EXPECT_EQ(FindSplReference("ALSA: card", 1)->source, SplSource::Tone);
    EXPECT_FALSE(FindSplReference("ALSA: other", 0).has_value());
    EXPECT_EQ(found->Describe(),
              "104.00 dB SPL = -26.50 dBFS, 1000.2 Hz, ALSA: card ch 1, 2026-12-09 15:40");

    // Hand-edited or damaged options: each unreadable line is skipped, the rest kept.
    const std::string damaged = FormatSplReferences({a}) + "\n" +
                                "only a name\n"
                                "x\t-1\t94\t-6\t1000\td\tcalibrator\n"
                                "x\t0\tloud\t-6\t1000\td\tcalibrator\n"
                                "x\t0\t94\t-6\t0\td\tcalibrator\n"
                                "x\t0\t94\t-6\t1000\td\tkazoo\n"
                                "x\t0.5\t94\t-6\t1000\td\tnoise\r\n" +
                                FormatSplReferences({b});
    EXPECT_EQ(ParseSplReferences(damaged).size(), 2u);

    EXPECT_TRUE(ClearSplReference("ALSA: card", 0));
    EXPECT_FALSE(ClearSplReference("ALSA: card", 0));
    EXPECT_EQ(ParseSplReferences(Conf::Options::Field.Spl.References).size(), 1u);
    Conf::Options::Reset();
}

} // namespace
