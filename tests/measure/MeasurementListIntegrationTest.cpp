// The measurement list with its packages on disk: slot numbers survive a save and an open,
// appending fills the slots after the last filled one, hostile or damaged packages leave the
// list as it was and write nothing outside their unpack directory, a failed save keeps the
// previous package.
#include "measure/MeasurementList.h"

#include "measure/MeasurementFile.h"
#include "measure/ZipForge.h"
#include "support/CommaLocale.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <minizip/unzip.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace Kedra::Measure;
using SonvelTest::Entry;
using SonvelTest::ForgedEntry;
using SonvelTest::ForgeZip;
namespace MF = Kedra::Measure::MeasurementFile;
namespace fs = std::filesystem;
using SonvelTest::ReadBytes;
using SonvelTest::WriteBytes;

namespace {

fs::path Dir(const std::string& name) {
    const fs::path dir = SonvelTest::TempDir() / "list" / name;
    fs::create_directories(dir);
    return dir;
}

bool Empty(const fs::path& dir) {
    return fs::is_empty(dir);
}

// A record whose label, samples and settings depend on `seed`.
void Fill(Measurement& m, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> g(0.0, 0.2);
    std::vector<double> s(3000);
    for (double& x : s)
        x = g(rng);
    s[1000] = 1.0 + seed;
    m.InitializeImpulse(s.data(), 3000, 1000, 48000, 12, 1, 0.05 * seed, 10.0, true);
    m.SetLabel("measurement " + std::to_string(seed));
    m.SetLowpass(1000.0 + seed, 500.5);
    m.SetLowpassEnabled(seed % 2 == 1);
    m.OffsetAbsolute(0.25 * seed);
}

// What a list holds, for "unchanged" checks.
std::vector<std::string> Snapshot(MeasurementList& list) {
    std::vector<std::string> out;
    for (int i = 0; i < list.GetSize(); ++i) {
        Measurement* m = list.No(i);
        std::string s = m->GetLabel();
        if (m->IsInitialized()) {
            s += '\n';
            s += MF::GetInfo(*m);
            for (int k = 0; k < m->GetDataLength(); k += 97) {
                char buf[32];
                const auto r = std::to_chars(buf, buf + sizeof(buf), m->GetIData()[k]);
                s += std::string(buf, r.ptr) + " ";
            }
        }
        out.push_back(s);
    }
    return out;
}

std::vector<std::string> ZipNames(const fs::path& path) {
    std::vector<std::string> names;
    unzFile uf = unzOpen64(path.c_str());
    if (uf == nullptr)
        return names;
    for (int r = unzGoToFirstFile(uf); r == UNZ_OK; r = unzGoToNextFile(uf)) {
        char name[256] = {};
        unz_file_info64 info{};
        unzGetCurrentFileInfo64(uf, &info, name, sizeof(name), nullptr, 0, nullptr, 0);
        names.push_back(name);
    }
    unzClose(uf);
    return names;
}

// The entries of a package as name -> bytes (read through a second list's own unpacker).
std::map<std::string, std::string> Entries(const fs::path& zip) {
    const Package::TempDirectory dir(Dir("entries"));
    std::vector<std::string> written;
    std::string error;
    std::map<std::string, std::string> out;
    if (Package::UnpackFile(zip.string(), dir.Path(), written, error)) {
        for (const std::string& name : written)
            out[name] = ReadBytes(dir.Path() / name);
    }
    return out;
}

// A list of 8 with slots 0 and 5 filled, saved at `path`.
void SaveZeroAndFive(const fs::path& path, bool asWave) {
    MeasurementList list(8);
    Fill(*list.No(0), 1);
    Fill(*list.No(5), 2);
    list.SetSaveAsWave(asWave);
    ASSERT_TRUE(list.Save(path.string()));
}

} // namespace

TEST(MeasurementListIntegration, SlotsZeroAndFiveComeBackInSlotsZeroAndFive) {
    for (const bool asWave : {false, true}) {
        const fs::path dir = Dir(asWave ? "slots-wave" : "slots-flac");
        const fs::path path = dir / "list.zip";
        MeasurementList list(8);
        Fill(*list.No(0), 1);
        Fill(*list.No(5), 2);
        list.SetSaveAsWave(asWave);
        ASSERT_TRUE(list.Save(path.string()));
        const std::string ext = asWave ? ".wav" : ".flac";
        EXPECT_EQ(ZipNames(path),
                  (std::vector<std::string>{"measurement-000.info", "measurement-000" + ext,
                                            "measurement-005.info", "measurement-005" + ext}));
        // Nothing but the package is left beside it.
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

        MeasurementList back(8);
        const fs::path temp = Dir(asWave ? "slots-wave-tmp" : "slots-flac-tmp");
        back.SetTempDirectory(temp.string());
        back.SetMAnalysis(13);
        Fill(*back.No(3), 9); // replaced by the open
        ASSERT_TRUE(back.OpenTry(path.string(), false));
        EXPECT_TRUE(Empty(temp));
        for (int i = 0; i < 8; ++i) {
            Measurement* m = back.No(i);
            if (i == 0 || i == 5) {
                ASSERT_TRUE(m->IsInitialized()) << i;
                EXPECT_EQ(m->GetExponent(), 13);
                MF::KeyMap expected = MF::SettingsKeys(*list.No(i));
                EXPECT_EQ(MF::SettingsKeys(*m), expected) << i;
                EXPECT_NEAR(m->GetIData()[1000], list.No(i)->GetIData()[1000], 1e-6) << i;
            } else {
                EXPECT_FALSE(m->IsInitialized()) << i;
                EXPECT_EQ(m->GetLabel(), "Empty " + std::to_string(i));
            }
        }
    }
}

TEST(MeasurementListIntegration, AppendingFillsTheSlotsAfterTheLastFilledOne) {
    const fs::path path = Dir("append") / "list.zip";
    SaveZeroAndFive(path, false);

    MeasurementList list(8);
    list.SetTempDirectory(Dir("append-tmp").string());
    Fill(*list.No(0), 10);
    Fill(*list.No(2), 12);
    ASSERT_TRUE(list.OpenTryAppend(path.string()));
    EXPECT_EQ(list.No(0)->GetLabel(), "measurement 10");
    EXPECT_FALSE(list.No(1)->IsInitialized());
    EXPECT_EQ(list.No(2)->GetLabel(), "measurement 12");
    EXPECT_EQ(list.No(3)->GetLabel(), "measurement 1");
    EXPECT_EQ(list.No(4)->GetLabel(), "measurement 2");
    for (int i = 5; i < 8; ++i)
        EXPECT_FALSE(list.No(i)->IsInitialized()) << i;
    EXPECT_EQ(list.LastFilled(), 4);

    // Only one more fits: the rest is left out and said so.
    Fill(*list.No(6), 16);
    OpenReport report;
    ASSERT_TRUE(list.OpenTry(path.string(), true, &report));
    EXPECT_EQ(list.No(7)->GetLabel(), "measurement 1");
    EXPECT_EQ(report.opened, 1);
    EXPECT_EQ(report.failed, std::vector<std::string>{"measurement-005: no free slot left"});

    // Replacing into a shorter list: entry 005 has no slot.
    MeasurementList small(4);
    small.SetTempDirectory(Dir("append-tmp").string());
    Fill(*small.No(1), 20);
    ASSERT_TRUE(small.OpenTry(path.string(), false));
    EXPECT_EQ(small.No(0)->GetLabel(), "measurement 1");
    EXPECT_FALSE(small.No(1)->IsInitialized());
    EXPECT_EQ(small.No(1)->GetLabel(), "Empty 1");

    // No slot for any of them: refused, nothing cleared.
    MeasurementList tiny(1);
    tiny.SetTempDirectory(Dir("append-tmp").string());
    Fill(*tiny.No(0), 21);
    const std::string only005 = (Dir("append") / "only005.zip").string();
    {
        MeasurementList five(6);
        Fill(*five.No(5), 22);
        ASSERT_TRUE(five.Save(only005));
    }
    EXPECT_FALSE(tiny.OpenTry(only005, false));
    EXPECT_EQ(tiny.No(0)->GetLabel(), "measurement 21");
    EXPECT_FALSE(tiny.OpenTryAppend(only005));
    EXPECT_EQ(tiny.No(0)->GetLabel(), "measurement 21");
}

TEST(MeasurementListIntegration, SlotHandling) {
    MeasurementList list(3);
    EXPECT_EQ(list.GetSize(), 3);
    EXPECT_EQ(list.No(-1), nullptr);
    EXPECT_EQ(list.No(3), nullptr);
    EXPECT_EQ(list.No(1)->GetLabel(), "Empty 1");
    Fill(*list.No(0), 1);
    Fill(*list.No(2), 3);
    Measurement* first = list.No(0);
    Measurement* third = list.No(2);
    list.Rearange();
    EXPECT_EQ(list.No(0), first);
    EXPECT_EQ(list.No(1), third);
    EXPECT_FALSE(list.No(2)->IsInitialized());
    EXPECT_EQ(list.No(2)->GetLabel(), "Empty 2");

    auto replacement = std::make_unique<Measurement>("new");
    Measurement* raw = replacement.get();
    list.SetNo(std::move(replacement), 2);
    EXPECT_EQ(list.No(2), raw);
    list.SetNo(std::make_unique<Measurement>("ignored"), 3);
    list.SetNo(nullptr, 0);
    EXPECT_EQ(list.No(0), first);

    list.Clear();
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(list.No(i)->IsInitialized());
        EXPECT_EQ(list.No(i)->GetLabel(), "Empty " + std::to_string(i));
    }
}

TEST(MeasurementListIntegration, AnalysisExponentResizesTheViewsOfFilledSlots) {
    MeasurementList list(2);
    // A unit impulse at time zero has |X[k]| = 1 in every bin of an unscaled transform.
    std::vector<double> s(5000, 0.0);
    s[2000] = 1.0;
    list.No(0)->InitializeImpulse(s.data(), 5000, 2000, 48000, 12, 0, 0.0, 0.0, true);
    ASSERT_EQ(list.No(0)->GetNBins(), 2049);
    ASSERT_NEAR(list.No(0)->GetA()[2048], 1.0, 1e-9);
    list.SetMAnalysis(14);
    EXPECT_EQ(list.GetMAnalysis(), 14);
    EXPECT_NE(SonvelTest::ReadLog().find("INFO    MeasurementList::SetMAnalysis( 14 )\n"),
              std::string::npos);
    Measurement& m = *list.No(0);
    EXPECT_EQ(m.GetExponent(), 14);
    EXPECT_EQ(m.GetN(), 16384);
    EXPECT_EQ(m.GetNBins(), 8193);
    EXPECT_DOUBLE_EQ(m.GetBinsPerHz(), 16384.0 / 48000.0);
    EXPECT_DOUBLE_EQ(m.GetHzPerBin(), 48000.0 / 16384.0);
    const double* a = m.GetA();
    for (int k = 0; k <= 8192; k += 511)
        EXPECT_NEAR(a[k], 1.0, 1e-9) << k;
    EXPECT_NEAR(a[8192], 1.0, 1e-9);
    EXPECT_FALSE(list.No(1)->IsInitialized());
}

TEST(MeasurementListIntegration, HostilePackagesLeaveTheListAsItWasAndWriteNothingOutside) {
    const fs::path good = Dir("hostile") / "good.zip";
    SaveZeroAndFive(good, false);
    std::map<std::string, std::string> e = Entries(good);
    ASSERT_EQ(e.size(), 4u);
    SaveZeroAndFive(Dir("hostile") / "wave.zip", true);
    std::map<std::string, std::string> w = Entries(Dir("hostile") / "wave.zip");
    ASSERT_EQ(w.size(), 4u);

    const fs::path temp = Dir("hostile-tmp");
    // Unpack directories are made directly inside `temp`, so "../" leads into `temp` itself
    // and "../../" next to it.
    const fs::path absolute = Dir("hostile-abs") / "measurement-000.info";
    const std::string info0 = e["measurement-000.info"];
    const std::string flac0 = e["measurement-000.flac"];
    MF::KeyMap keys = MF::ParseInfo(info0);
    keys["Data_L"] = "2000000000";
    const std::string hugeInfo = MF::RenderInfo(keys);
    keys = MF::ParseInfo(e["measurement-005.info"]);
    keys["Data_FileFormat"] = "mp3";
    const std::string badInfo5 = MF::RenderInfo(keys);
    ForgedEntry link = Entry("measurement-000.info", "/etc/passwd");
    link.externalAttributes = 0120777u << 16;

    struct Case {
        std::string what;
        std::string zip;
    };
    const std::string goodBytes = ReadBytes(good);
    const std::vector<Case> cases = {
        {"zip slip", ForgeZip({Entry("../measurement-000.info", info0),
                               Entry("../../measurement-000.flac", flac0)})},
        {"absolute",
         ForgeZip({Entry(absolute.string(), info0),
                   Entry((absolute.parent_path() / "measurement-000.flac").string(), flac0)})},
        {"link", ForgeZip({link, Entry("measurement-000.flac", flac0)})},
        {"truncated", goodBytes.substr(0, goodBytes.size() / 2)},
        {"bomb", ForgeZip({Entry("measurement-000.info", info0),
                           Entry("measurement-000.flac", std::string(6 << 20, '\0'), true)})},
        {"2e9 samples",
         ForgeZip({Entry("measurement-000.info", hugeInfo), Entry("measurement-000.flac", flac0)})},
        {"flac cut", ForgeZip({Entry("measurement-000.info", info0),
                               Entry("measurement-000.flac", flac0.substr(0, flac0.size() / 2))})},
        {"wave cut",
         ForgeZip({Entry("measurement-000.info", w["measurement-000.info"]),
                   Entry("measurement-000.wav", w["measurement-000.wav"].substr(
                                                    0, w["measurement-000.wav"].size() / 2))})},
        {"all bad",
         ForgeZip({Entry("measurement-000.info", hugeInfo), Entry("measurement-000.flac", flac0),
                   Entry("measurement-005.info", badInfo5),
                   Entry("measurement-005.flac", e["measurement-005.flac"])})},
        {"not a zip", "KDR\x03\x00\x00\x00 older single-file list"},
    };
    for (const bool append : {false, true}) {
        for (const Case& c : cases) {
            MeasurementList list(8);
            Fill(*list.No(1), 5);
            Fill(*list.No(2), 6);
            list.SetTempDirectory(temp.string());
            Package::Limits limits;
            limits.maxTotalBytes = 4 << 20;
            list.SetPackageLimits(limits);
            const std::vector<std::string> before = Snapshot(list);
            const fs::path file =
                Dir("hostile-files") / (std::to_string(&c - cases.data()) + ".zip");
            WriteBytes(file, c.zip);

            EXPECT_FALSE(list.OpenTry(file.string(), append)) << c.what;
            EXPECT_EQ(Snapshot(list), before) << c.what;
            EXPECT_TRUE(Empty(temp)) << c.what;
            EXPECT_FALSE(fs::exists(temp / "measurement-000.info")) << c.what;
            EXPECT_FALSE(fs::exists(temp.parent_path() / "measurement-000.flac")) << c.what;
            EXPECT_FALSE(fs::exists(absolute)) << c.what;
        }
    }
    const std::string log = SonvelTest::ReadLog();
    EXPECT_NE(log.find("the older single-file format (.kdr) is not read"), std::string::npos);
    EXPECT_NE(log.find(") -> No files\n"), std::string::npos);
    EXPECT_NE(log.find("Data out of range: Data_L = 2000000000"), std::string::npos);

    // The same list opens the good package afterwards.
    MeasurementList list(8);
    list.SetTempDirectory(temp.string());
    EXPECT_TRUE(list.OpenTry(good.string(), false));
    EXPECT_TRUE(list.No(5)->IsInitialized());
}

TEST(MeasurementListIntegration, DamagedMeasurementsAreNamedAndTheOthersOpened) {
    // An empty list saves an archive of no entries, which is complete, not damaged.
    const fs::path empty = Dir("partial") / "empty.zip";
    ASSERT_TRUE(MeasurementList(4).Save(empty.string()));
    OpenReport nothing;
    EXPECT_FALSE(MeasurementList(4).OpenTry(empty.string(), false, &nothing));
    EXPECT_TRUE(nothing.Complete());
    EXPECT_EQ(nothing.found, 0);

    const fs::path good = Dir("partial") / "good.zip";
    SaveZeroAndFive(good, false);
    std::map<std::string, std::string> e = Entries(good);
    const std::string& flac5 = e["measurement-005.flac"];
    // A data file cut in half, and a data entry whose stored bytes rotted (checksum mismatch).
    const std::string cut =
        ForgeZip({Entry("measurement-000.info", e["measurement-000.info"]),
                  Entry("measurement-000.flac", e["measurement-000.flac"]),
                  Entry("measurement-005.info", e["measurement-005.info"]),
                  Entry("measurement-005.flac", flac5.substr(0, flac5.size() / 2))});
    std::string rotted = ForgeZip({Entry("measurement-000.info", e["measurement-000.info"]),
                                   Entry("measurement-000.flac", e["measurement-000.flac"]),
                                   Entry("measurement-005.info", e["measurement-005.info"]),
                                   Entry("measurement-005.flac", flac5)});
    const std::size_t at = rotted.find(flac5.substr(flac5.size() / 2, 64));
    ASSERT_NE(at, std::string::npos);
    rotted[at] ^= 0x10;
    struct Case {
        std::string what;
        std::string zip;
        std::string reason;
    };
    for (const Case& c : {Case{"cut", cut,
                               "measurement-005: Failed to read the FLAC data: the data "
                               "file ends early"},
                          Case{"rotted", rotted,
                               "measurement-005: checksum mismatch in entry "
                               "measurement-005.flac"}}) {
        const fs::path file = Dir("partial") / (c.what + ".zip");
        WriteBytes(file, c.zip);
        for (const bool append : {false, true}) {
            MeasurementList list(8);
            list.SetTempDirectory(Dir("partial-tmp").string());
            Fill(*list.No(1), 5);
            OpenReport report;
            EXPECT_TRUE(list.OpenTry(file.string(), append, &report)) << c.what;
            EXPECT_FALSE(report.Complete());
            EXPECT_EQ(report.found, 2);
            EXPECT_EQ(report.opened, 1);
            ASSERT_EQ(report.failed.size(), 1u) << c.what;
            EXPECT_EQ(report.failed[0].rfind(c.reason, 0), 0u) << report.failed[0];
            // Replacing clears the list; appending keeps slot 1 and adds after it.
            const int placed = append ? 2 : 0;
            EXPECT_EQ(list.No(placed)->GetLabel(), "measurement 1") << c.what;
            EXPECT_EQ(list.No(1)->IsInitialized(), append);
            EXPECT_EQ(list.LastFilled(), placed);
            EXPECT_TRUE(Empty(Dir("partial-tmp")));
        }
    }

    // A package may decode to so many samples only: beyond them its measurements are named.
    MeasurementList list(8);
    Package::Limits budget;
    budget.maxSamples = 5000;
    list.SetPackageLimits(budget);
    OpenReport report;
    EXPECT_TRUE(list.OpenTry(good.string(), false, &report));
    EXPECT_EQ(report.opened, 1);
    ASSERT_EQ(report.failed.size(), 1u);
    EXPECT_EQ(report.failed[0], "measurement-005: Data_L = 3000 is more than the 2000 samples left "
                                "of what one package may hold");
}

TEST(MeasurementListIntegration, AFailedSaveKeepsThePreviousPackage) {
    const fs::path dir = Dir("refused-save");
    const fs::path path = dir / "list.zip";
    SaveZeroAndFive(path, false);
    const std::string previous = ReadBytes(path);

    MeasurementList list(4);
    Fill(*list.No(2), 7);
    EXPECT_FALSE(list.Save((dir / "no-such-dir" / "list.zip").string()));
    EXPECT_NE(SonvelTest::ReadLog().find("the previous file is kept"), std::string::npos);

    // A disk that fills up half way: a file size limit stops even root. The save runs in a
    // child so that the limit binds nothing else.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        MeasurementList big(2);
        std::vector<double> noise(200000);
        std::mt19937 rng(1);
        std::normal_distribution<double> g(0.0, 0.3);
        for (double& x : noise)
            x = g(rng);
        big.No(0)->InitializeImpulse(noise.data(), 200000, 0, 48000, 12, 0, 0.0, 0.0, true);
        const rlimit limit{64 * 1024, 64 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(big.Save(path.string()) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the save past the size limit reported success";
    EXPECT_EQ(ReadBytes(path), previous);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
    const bool writable = ::access(dir.c_str(), W_OK) == 0;
    if (!writable) {
        EXPECT_FALSE(list.Save(path.string()));
    }
    fs::permissions(dir, fs::perms::owner_all);
    EXPECT_EQ(ReadBytes(path), previous);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

    // A save that succeeds replaces it.
    ASSERT_TRUE(list.Save(path.string()));
    EXPECT_EQ(ZipNames(path),
              (std::vector<std::string>{"measurement-002.info", "measurement-002.flac"}));
    if (writable)
        std::printf("  (running as a user who writes into a read-only directory (root): the "
                    "unwritable-directory case was not tried)\n");
}

TEST(MeasurementListIntegration, TwoListsOpenOnePackageAtOnce) {
    const fs::path path = Dir("parallel") / "list.zip";
    SaveZeroAndFive(path, false);
    const fs::path temp = Dir("parallel-tmp");
    MeasurementList a(8);
    MeasurementList b(8);
    a.SetTempDirectory(temp.string());
    b.SetTempDirectory(temp.string());
    bool okA = false;
    bool okB = false;
    std::thread ta([&] {
        for (int i = 0; i < 5; ++i)
            okA = a.OpenTry(path.string(), false);
    });
    std::thread tb([&] {
        for (int i = 0; i < 5; ++i)
            okB = b.OpenTry(path.string(), false);
    });
    ta.join();
    tb.join();
    EXPECT_TRUE(okA);
    EXPECT_TRUE(okB);
    EXPECT_EQ(Snapshot(a), Snapshot(b));
    EXPECT_EQ(a.No(5)->GetLabel(), "measurement 2");
    EXPECT_TRUE(Empty(temp));
}

TEST(MeasurementListIntegration, PackagesReadTheSameUnderACommaDecimalLocale) {
    const fs::path path = Dir("locale") / "list.zip";
    MeasurementList list(2);
    Fill(*list.No(1), 3);
    list.No(1)->SetHighpass(40.5, 12.25);
    const std::vector<std::string> before = Snapshot(list);

    const SonvelTest::ScopedCommaLocale locale;
    if (locale.Name() == nullptr)
        GTEST_SKIP() << "no comma-decimal locale is installed and none could be built";
    ASSERT_TRUE(list.Save(path.string()));
    const std::string info = Entries(path)["measurement-001.info"];
    EXPECT_NE(info.find("FR_HighpassStart\t= 40.5\n"), std::string::npos) << info;
    EXPECT_NE(info.find("Info_Offset\t= 0.75\n"), std::string::npos) << info;
    MeasurementList back(2);
    back.SetTempDirectory(Dir("locale-tmp").string());
    ASSERT_TRUE(back.OpenTry(path.string(), false));
    EXPECT_EQ(back.No(1)->GetHighpassStart(), 40.5);
    EXPECT_EQ(MF::SettingsKeys(*back.No(1)), MF::SettingsKeys(*list.No(1)));
    EXPECT_EQ(Snapshot(list), before);
}
