// Unpacking zip packages that were built to do harm: paths out of the directory, links,
// forged sizes, bombs, damage. Nothing may appear outside the unpack directory, and a refused
// archive is refused as a whole.
#include "measure/Package.h"

#include "measure/ZipForge.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

using namespace Kedra::Measure;
using SonvelTest::Claiming;
using SonvelTest::Entry;
using SonvelTest::ForgedEntry;
using SonvelTest::ForgeZip;
namespace fs = std::filesystem;
using SonvelTest::ReadBytes;
using SonvelTest::WriteBytes;

namespace {

fs::path Dir(const std::string& name) {
    const fs::path dir = SonvelTest::TempDir() / "package" / name;
    fs::create_directories(dir);
    return dir;
}

std::span<const unsigned char> Span(const std::string& s) {
    return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

std::vector<std::string> Listing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        names.push_back(fs::relative(e.path(), dir).string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string Random(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng());
    return s;
}

} // namespace

TEST(PackageNames, OnlyMeasurementFilesAreEntries) {
    for (const char* good : {"measurement-000.info", "measurement-999.flac", "measurement-042.wav"})
        EXPECT_TRUE(Package::IsMeasurementEntryName(good)) << good;
    for (const char* bad :
         {"measurement-00.info", "measurement-0000.info", "measurement-00a.info",
          "measurement-000.INFO", "measurement-000.info/", "dir/measurement-000.info",
          "../measurement-000.info", "measurement-000.info.exe", "measurement-000", "", "x.info"})
        EXPECT_FALSE(Package::IsMeasurementEntryName(bad)) << bad;
    EXPECT_FALSE(Package::IsMeasurementEntryName(std::string("measurement-000.info\0x", 22)));
    EXPECT_EQ(Package::EntryBaseName(5), "measurement-005");
    EXPECT_EQ(Package::EntryBaseName(123), "measurement-123");
}

TEST(PackageUnpack, HostileNamesAndLinksAreSkippedWithAWarning) {
    const fs::path dir = Dir("hostile");
    const fs::path outside = Dir("hostile-outside");
    const std::string absolute = (outside / "absolute.info").string();
    std::vector<ForgedEntry> entries = {
        Entry("../../slip-up.info", "x"),
        Entry("../hostile-outside/slip.info", "x"),
        Entry(absolute, "x"),
        Entry("..\\..\\slip-back.info", "x"),
        Entry("sub/measurement-001.info", "x"),
        Entry("measurement-002.info/", ""),
        Entry(std::string("measurement-003.info\0../../n.info", 33), "x"),
        Entry("measurement-004.info", "/etc/passwd"),
        Entry("measurement-005.info", "secret"),
        Entry("measurement-000.info", "first"),
        Entry("measurement-000.info", "second"),
        Entry("measurement-000.flac", "data"),
        Entry("line\nWARNING forged.info", "x"),
    };
    entries[7].externalAttributes = 0120777u << 16; // a symbolic link to /etc/passwd
    entries[8].flags = 1;                           // encrypted
    const std::string zip = ForgeZip(entries);

    std::vector<std::string> written;
    std::string error;
    ASSERT_TRUE(Package::UnpackMemory(Span(zip), dir, written, error)) << error;
    EXPECT_EQ(written, (std::vector<std::string>{"measurement-000.info", "measurement-000.flac"}));
    EXPECT_EQ(Listing(dir),
              (std::vector<std::string>{"measurement-000.flac", "measurement-000.info"}));
    std::ifstream first(dir / "measurement-000.info");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(first), {}), "first");
    EXPECT_TRUE(Listing(outside).empty());
    EXPECT_FALSE(fs::exists(SonvelTest::TempDir() / "slip-up.info"));
    EXPECT_FALSE(fs::exists(dir.parent_path() / "slip-back.info"));
    EXPECT_FALSE(fs::is_symlink(dir / "measurement-004.info"));

    const std::string log = SonvelTest::ReadLog();
    for (const std::string& what : std::vector<std::string>{
             "skipped entry: ../../slip-up.info", "skipped entry: " + absolute,
             "skipped entry: ..\\..\\slip-back.info", "skipped link entry: measurement-004.info",
             "skipped encrypted entry: measurement-005.info",
             "skipped second entry of the same name: measurement-000.info",
             "skipped entry: line?WARNING forged.info"})
        EXPECT_NE(log.find("WARNING Package::Unpack( <memory> ) - " + what + "\n"),
                  std::string::npos)
            << what;
}

TEST(PackageUnpack, BombsAndForgedSizesAreRefusedBeforeFillingTheDisk) {
    const std::string zeros(8 << 20, '\0');
    Package::Limits small;
    small.maxTotalBytes = 4 << 20;
    struct Case {
        const char* what;
        std::vector<ForgedEntry> entries;
        Package::Limits limits;
        const char* error;
    };
    const std::vector<Case> cases = {
        {"deflated zeros over the limit",
         {Entry("measurement-000.wav", zeros, true)},
         small,
         "more than 4194304 bytes"},
        {"entries that together exceed it",
         {Entry("measurement-000.wav", Random(3 << 20, 1)),
          Entry("measurement-001.wav", Random(3 << 20, 2))},
         small,
         "more than 4194304 bytes"},
        {"three gigabytes claimed",
         {Claiming("measurement-000.wav", Random(4 << 20, 3), false, 3221225472u, 4u << 20)},
         {},
         "more than 2147483648 bytes"},
        {"absurd ratio",
         {Claiming("measurement-000.wav", "tiny", false, 100000000u, 4u)},
         {},
         "claims"},
        {"size claimed from nothing",
         {Claiming("measurement-000.wav", "", false, 1000u, 0u)},
         {},
         "claims"},
        {"fewer bytes declared than inflated",
         {Claiming("measurement-000.wav", zeros, true, 1000u, {})},
         small,
         ""},
    };
    for (const Case& c : cases) {
        const fs::path dir = Dir(std::string("bomb-") + std::to_string(&c - cases.data()));
        const std::string zip = ForgeZip(c.entries);
        std::vector<std::string> written;
        std::vector<Package::DamagedEntry> bad;
        std::string error;
        // Forgery refuses the whole archive, also where damage would only cost an entry.
        EXPECT_FALSE(Package::UnpackMemory(Span(zip), dir, written, error, c.limits, &bad))
            << c.what;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
        std::uintmax_t total = 0;
        for (const auto& e : fs::directory_iterator(dir))
            total += fs::file_size(e.path());
        EXPECT_LE(total, 1000u) << c.what;
    }
}

TEST(PackageUnpack, DamagedAndTruncatedArchivesAreRefused) {
    const std::string payload = Random(200000, 4);
    const std::string zip = ForgeZip(
        {Entry("measurement-000.info", "key = 1\n"), Entry("measurement-000.flac", payload)});
    {
        const fs::path dir = Dir("intact");
        std::vector<std::string> written;
        std::string error;
        ASSERT_TRUE(Package::UnpackMemory(Span(zip), dir, written, error)) << error;
        EXPECT_EQ(written.size(), 2u);
    }
    std::string flipped = zip;
    flipped[flipped.size() / 2] ^= 0x01;
    {
        // Damage inside one entry refuses the archive, unless the caller takes a list of
        // damaged entries: then only that entry is left out.
        std::vector<std::string> written;
        std::vector<Package::DamagedEntry> bad;
        std::string error;
        EXPECT_FALSE(Package::UnpackMemory(Span(flipped), Dir("flipped"), written, error));
        const fs::path dir = Dir("flipped-listed");
        ASSERT_TRUE(Package::UnpackMemory(Span(flipped), dir, written, error, {}, &bad)) << error;
        EXPECT_EQ(written, std::vector<std::string>{"measurement-000.info"});
        ASSERT_EQ(bad.size(), 1u);
        EXPECT_EQ(bad[0].name, "measurement-000.flac");
        EXPECT_EQ(bad[0].reason, "checksum mismatch in entry measurement-000.flac");
        EXPECT_FALSE(fs::exists(dir / "measurement-000.flac"));
    }
    const std::vector<std::pair<std::string, std::string>> damaged = {
        {"half", zip.substr(0, zip.size() / 2)},
        {"no end record", zip.substr(0, zip.size() - 10)},
        {"empty", ""},
        {"text", "not a zip file at all"},
        {"noise", Random(70000, 5)},
    };
    for (const auto& [what, bytes] : damaged) {
        const fs::path dir = Dir("damaged-" + std::to_string(&what - &damaged[0].first));
        std::vector<std::string> written;
        std::string error;
        EXPECT_FALSE(Package::UnpackMemory(Span(bytes), dir, written, error)) << what;
        EXPECT_FALSE(error.empty()) << what;
        // The same from a file.
        const fs::path file =
            Dir("damaged-files") / (std::to_string(&what - &damaged[0].first) + ".zip");
        WriteBytes(file, bytes);
        const fs::path dir2 = Dir("damaged-file-" + std::to_string(&what - &damaged[0].first));
        EXPECT_FALSE(Package::UnpackFile(file.string(), dir2, written, error)) << what;
    }
    std::vector<std::string> written;
    std::string error;
    EXPECT_FALSE(Package::UnpackFile((Dir("none") / "missing.zip").string(), Dir("none-out"),
                                     written, error));
}

TEST(PackageTempDirectory, EachIsNewPrivateAndGoneAfterwards) {
    fs::path a;
    fs::path b;
    {
        const Package::TempDirectory first(Dir("temp"));
        const Package::TempDirectory second(Dir("temp"));
        ASSERT_TRUE(first.Valid()) << first.Error();
        ASSERT_TRUE(second.Valid()) << second.Error();
        a = first.Path();
        b = second.Path();
        EXPECT_NE(a, b);
        EXPECT_EQ(a.parent_path(), Dir("temp"));
        EXPECT_EQ(fs::status(a).permissions() & fs::perms::all, fs::perms::owner_all);
        WriteBytes(a / "measurement-000.info", "x");
    }
    EXPECT_FALSE(fs::exists(a));
    EXPECT_FALSE(fs::exists(b));
    // Without a parent: the system's temporary directory, here pointed into the test's own.
    const char* const saved = std::getenv("TMPDIR");
    const std::string savedValue = saved != nullptr ? saved : "";
    ::setenv("TMPDIR", Dir("system-temp").c_str(), 1);
    {
        const Package::TempDirectory system;
        EXPECT_TRUE(system.Valid());
        EXPECT_EQ(system.Path().parent_path(), Dir("system-temp"));
    }
    if (saved != nullptr)
        ::setenv("TMPDIR", savedValue.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
    const Package::TempDirectory nowhere(Dir("temp") / "does" / "not" / "exist");
    EXPECT_FALSE(nowhere.Valid());
    EXPECT_FALSE(nowhere.Error().empty());
}

TEST(PackageWriter, AnUncommittedPackageLeavesTheTargetAlone) {
    const fs::path dir = Dir("writer");
    const fs::path target = dir / "list.zip";
    WriteBytes(target, "previous");
    std::string error;
    {
        Package::Writer writer;
        ASSERT_TRUE(writer.Open(target.string(), error)) << error;
        ASSERT_TRUE(writer.Add("measurement-000.info", Span(std::string("abc")), error));
    }
    EXPECT_EQ(Listing(dir), std::vector<std::string>{"list.zip"});
    std::ifstream in(target, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "previous");

    Package::Writer writer;
    ASSERT_TRUE(writer.Open(target.string(), error)) << error;
    const std::string payload = Random(300000, 6);
    ASSERT_TRUE(writer.Add("measurement-007.wav", Span(payload), error)) << error;
    ASSERT_TRUE(writer.Commit(error)) << error;
    EXPECT_EQ(Listing(dir), std::vector<std::string>{"list.zip"});
    std::vector<std::string> written;
    const fs::path out = Dir("writer-out");
    ASSERT_TRUE(Package::UnpackFile(target.string(), out, written, error)) << error;
    EXPECT_EQ(written, std::vector<std::string>{"measurement-007.wav"});
    std::ifstream back(out / "measurement-007.wav", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(back), {}), payload);

    Package::Writer nowhere;
    EXPECT_FALSE(nowhere.Open((dir / "missing-dir" / "x.zip").string(), error));
}
