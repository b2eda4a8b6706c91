// Wave writers and readers driven from memory: the written bytes are taken apart by a small
// RIFF parser of the test's own, and the readers are fed files assembled byte by byte here.
#include "exchange/WaveFile.h"

#include "foundation/Mem.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include <unistd.h>

using namespace Kedra::WaveImExport;
using Bytes = std::vector<unsigned char>;
using SonvelTest::HandMadeWave;

namespace {

constexpr int FS = 44100;

std::uint32_t Le(const Bytes& b, std::size_t at, int width) {
    std::uint32_t v = 0;
    for (int i = 0; i < width; ++i)
        v |= static_cast<std::uint32_t>(b.at(at + static_cast<std::size_t>(i))) << (8 * i);
    return v;
}

std::int32_t SignedLe(const Bytes& b, std::size_t at, int width) {
    const std::uint32_t v = Le(b, at, width);
    const int shift = 32 - 8 * width;
    return static_cast<std::int32_t>(v << shift) >> shift;
}

// Body of the first top-level chunk `id` of a RIFF/WAVE file; empty when there is none.
Bytes Chunk(const Bytes& b, const std::string& id) {
    EXPECT_GE(b.size(), 12u);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4) + std::string(b.begin() + 8, b.begin() + 12),
              "RIFFWAVE");
    EXPECT_EQ(Le(b, 4, 4), b.size() - 8);
    for (std::size_t at = 12; at + 8 <= b.size();) {
        const std::size_t size = Le(b, at + 4, 4);
        const auto body = b.begin() + static_cast<long>(at + 8);
        if (std::string(b.begin() + static_cast<long>(at), body - 4) == id)
            return Bytes(body, body + static_cast<long>(size));
        at += 8 + size + (size & 1);
    }
    return {};
}

bool Contains(const Bytes& b, const std::string& text) {
    return std::search(b.begin(), b.end(), text.begin(), text.end()) != b.end();
}

// Writes, checks the mono header and returns the sample codes of the data chunk.
std::vector<std::int32_t> WrittenCodes(const std::vector<float>& x, WaveFormat format,
                                       bool normalize) {
    Bytes file;
    EXPECT_EQ(ArrayWaveExportToMemory(x.data(), static_cast<int>(x.size()), FS, format, "t",
                                      normalize, file),
              static_cast<int>(x.size()));
    const Bytes fmt = Chunk(file, "fmt ");
    const Bytes data = Chunk(file, "data");
    EXPECT_GE(fmt.size(), 16u);
    if (fmt.size() < 16)
        return {};
    const int width = BytesPerSample(format);
    const std::uint32_t tag = Le(fmt, 0, 2);
    EXPECT_TRUE(tag == (format == WaveFormat::Float32 ? 3u : 1u) || tag == 0xFFFEu) << tag;
    EXPECT_EQ(Le(fmt, 2, 2), 1u);
    EXPECT_EQ(Le(fmt, 4, 4), static_cast<std::uint32_t>(FS));
    EXPECT_EQ(Le(fmt, 14, 2), static_cast<std::uint32_t>(8 * width));
    EXPECT_EQ(data.size(), x.size() * static_cast<std::size_t>(width));
    std::vector<std::int32_t> codes;
    for (std::size_t i = 0; i + static_cast<std::size_t>(width) <= data.size(); i += width)
        codes.push_back(SignedLe(data, i, width));
    return codes;
}

// What libsndfile's float reading of a 16-bit code gives (its scale is 1/32768).
float Pcm16Read(std::int16_t code) {
    return static_cast<float>(code) / 32768.0f;
}

struct Imported {
    int n = 0;
    WaveInfo info;
    std::vector<float> samples;
};

Imported Import(const Bytes& file) {
    Imported r;
    float sentinel = 0;
    float* out = &sentinel; // replaced in every case
    r.n = ArrayWaveImportMemory(file, r.info, out);
    if (r.n > 0) {
        EXPECT_NE(out, nullptr);
        r.samples.assign(out, out + r.n);
        Mem::FreeArray(out);
    } else {
        EXPECT_EQ(out, nullptr);
    }
    return r;
}

} // namespace

TEST(WaveFormatTest, NumbersCodesAndSizes) {
    EXPECT_EQ(NumberToWaveFormat(7), WaveFormat::Pcm32);
    EXPECT_EQ(NumberToWaveFormat(-2), WaveFormat::Float32);
    EXPECT_EQ(NumberToWaveFormat(std::numeric_limits<std::int32_t>::min()), WaveFormat::Float32);
    EXPECT_EQ(NumberToWaveFormat(std::numeric_limits<std::int32_t>::max()), WaveFormat::Pcm32);
    EXPECT_EQ(NumberToWaveFormat(1), WaveFormat::Pcm16);
    EXPECT_EQ(NumberToWaveFormat(2), WaveFormat::Pcm24);
    EXPECT_EQ(SndfileFormat(WaveFormat::Float32), 0x10006);
    EXPECT_EQ(SndfileFormat(WaveFormat::Pcm16), 0x10002);
    EXPECT_EQ(SndfileFormat(WaveFormat::Pcm24), 0x10003);
    EXPECT_EQ(SndfileFormat(WaveFormat::Pcm32), 0x10004);
    EXPECT_STREQ(WaveFormatName(WaveFormat::Float32), "32 bit float");
    EXPECT_STREQ(WaveFormatName(WaveFormat::Pcm24), "24 bit PCM");
}

TEST(WaveExportTest, PcmCodesUseFullScaleOfTwoToTheBitsMinusOneMinusOne) {
    const std::vector<float> x{1.0f, -1.0f, 0.5f, -0.5f, 3.0f, -2.0f, 0.0f};
    EXPECT_EQ(WrittenCodes(x, WaveFormat::Pcm16, false),
              (std::vector<std::int32_t>{32767, -32767, 16384, -16383, 32767, -32767, 0}));
    EXPECT_EQ(
        WrittenCodes(x, WaveFormat::Pcm24, false),
        (std::vector<std::int32_t>{8388607, -8388607, 4194304, -4194303, 8388607, -8388607, 0}));
    EXPECT_EQ(WrittenCodes(x, WaveFormat::Pcm32, false),
              (std::vector<std::int32_t>{2147483647, -2147483647, 1073741824, -1073741823,
                                         2147483647, -2147483647, 0}));
    // A NaN has no code; it must come out as silence, not as whatever the cast makes of it.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(WrittenCodes({nan, inf, -inf}, WaveFormat::Pcm16, false),
              (std::vector<std::int32_t>{0, 32767, -32767}));
}

TEST(WaveExportTest, FloatIsWrittenUnchangedAndNormalizeScalesThePeakToFullScale) {
    const std::vector<float> x{1.5f, -7.25f, 0.1f, 1e-30f};
    const std::vector<std::int32_t> bits = WrittenCodes(x, WaveFormat::Float32, false);
    ASSERT_EQ(bits.size(), x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        float back = 0;
        std::memcpy(&back, &bits[i], 4);
        EXPECT_EQ(back, x[i]);
    }
    // Peak 0.25: written at full scale, the rest in proportion.
    EXPECT_EQ(WrittenCodes({0.25f, -0.125f, 0.1f}, WaveFormat::Pcm16, true),
              (std::vector<std::int32_t>{32767, -16383, 13107}));
    EXPECT_EQ(WrittenCodes({0.1f, -0.25f}, WaveFormat::Pcm24, true),
              (std::vector<std::int32_t>{3355443, -8388607}));
    // Silence has no peak to divide by and stays silence; an infinity does not set the peak.
    EXPECT_EQ(WrittenCodes({0.0f, -0.0f, 0.0f}, WaveFormat::Pcm16, true),
              (std::vector<std::int32_t>{0, 0, 0}));
    EXPECT_EQ(WrittenCodes({0.0f, 0.0f}, WaveFormat::Float32, true),
              (std::vector<std::int32_t>{0, 0}));
    EXPECT_EQ(WrittenCodes({0.5f, std::numeric_limits<float>::infinity()}, WaveFormat::Pcm16, true),
              (std::vector<std::int32_t>{32767, 32767}));
}

TEST(WaveExportTest, TitleAndArtistAreStoredAndRefusedInputWritesNothing) {
    Bytes file;
    ASSERT_EQ(ArrayWaveExportToMemory(std::vector<float>{0.1f}.data(), 1, FS, WaveFormat::Pcm16,
                                      "Left woofer", false, file),
              1);
    EXPECT_TRUE(Contains(file, "INAM") && Contains(file, "Left woofer"));
    EXPECT_TRUE(Contains(file, "IART") && Contains(file, "Vaviv Uradavadu"));

    const float one = 1.0f;
    EXPECT_EQ(ArrayWaveExportToMemory(&one, 0, FS, WaveFormat::Pcm16, "t", false, file), 0);
    EXPECT_TRUE(file.empty());
    EXPECT_EQ(ArrayWaveExportToMemory(nullptr, 5, FS, WaveFormat::Pcm16, "t", false, file), 0);
    EXPECT_EQ(ArrayWaveExportToMemory(&one, 1, 0, WaveFormat::Pcm16, "t", false, file), 0);
    EXPECT_EQ(ArrayWaveExportToMemory(&one, 1, -48000, WaveFormat::Pcm24, "t", false, file), 0);
    EXPECT_TRUE(file.empty());
    EXPECT_NE(SonvelTest::ReadLog().find("WARNING ArrayWaveExport( <memory> ) - no samples"),
              std::string::npos);
}

TEST(WaveDataFileTest, TruncatedTwentyFourBitCodesAndPeakRestoreTheValues) {
    const std::vector<double> x{0.5, -0.3, 0.4, -0.5, 0.0, -0.4};
    double peak = -1;
    Bytes file;
    ASSERT_TRUE(ArrayToWaveMemory(x.data(), 6, 48000, peak, file));
    EXPECT_EQ(peak, 0.5);
    EXPECT_FALSE(Contains(file, "INAM") || Contains(file, "IART"));
    const Bytes data = Chunk(file, "data");
    ASSERT_EQ(data.size(), 18u);
    // trunc(x * 8388607 / 0.5), toward zero: -5033164.2 -> -5033164, +-6710885.6 -> +-6710885.
    const std::vector<std::int32_t> expected{8388607, -5033164, 6710885, -8388607, 0, -6710885};
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(SignedLe(data, 3 * i, 3), expected[i]) << i;

    // Round trip through libsndfile's reader. Truncation loses less than one step of
    // peak/8388607, and the reader's scale of 1/8388608 against the writer's 1/8388607
    // at most |x|/8388608 more: below two steps in all.
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> dist(-3.0, 3.0);
    std::vector<double> y(5000);
    for (double& v : y)
        v = dist(rng);
    y[1234] = -4.0;
    ASSERT_TRUE(ArrayToWaveMemory(y.data(), 5000, 48000, peak, file));
    EXPECT_EQ(peak, 4.0);
    std::vector<double> back(5000);
    ASSERT_TRUE(WaveMemoryToArray(file, back.data(), 5000, peak));
    const double step = peak / 8388607.0;
    for (std::size_t i = 0; i < y.size(); ++i)
        ASSERT_LT(std::fabs(back[i] - y[i]), 2.0 * step) << i;
    EXPECT_NEAR(back[1234], -4.0, 1e-6);

    // Silence: peak 0, written as zeros, and restored as zeros.
    const std::vector<double> zeros(16, 0.0);
    ASSERT_TRUE(ArrayToWaveMemory(zeros.data(), 16, 48000, peak, file));
    EXPECT_EQ(peak, 0.0);
    std::vector<double> z(16, 9.0);
    ASSERT_TRUE(WaveMemoryToArray(file, z.data(), 16, peak));
    EXPECT_EQ(z, zeros);
    EXPECT_FALSE(ArrayToWaveMemory(zeros.data(), 0, 48000, peak, file));
}

TEST(WaveReadTest, HandMadeFilesReadBackTheirSamples) {
    const std::vector<std::int16_t> mono{0, 16384, -16384, 32767, -32768, 1};
    const Imported m = Import(HandMadeWave(1, 22050, mono));
    ASSERT_EQ(m.n, 6);
    EXPECT_EQ(m.info.samplerate, 22050);
    EXPECT_EQ(m.info.frames, 6);
    EXPECT_EQ(m.info.channels, 1);
    for (std::size_t i = 0; i < mono.size(); ++i)
        EXPECT_EQ(m.samples[i], Pcm16Read(mono[i])) << i;

    // Stereo: the left channel, and the frame count rather than the sample count.
    const std::vector<std::int16_t> stereo{100, -1, 200, -2, 300, -3};
    const Bytes s = HandMadeWave(2, 48000, stereo);
    const Imported st = Import(s);
    ASSERT_EQ(st.n, 3);
    EXPECT_EQ(st.info.frames, 3);
    EXPECT_EQ(st.info.channels, 2);
    EXPECT_EQ(st.samples, (std::vector<float>{Pcm16Read(100), Pcm16Read(200), Pcm16Read(300)}));
    // The right channel when asked; a mono file has none.
    {
        WaveInfo right;
        float* raw = nullptr;
        ASSERT_EQ(ArrayWaveImportMemory(s, right, raw, nullptr, 1), 3);
        EXPECT_EQ(std::vector<float>(raw, raw + 3),
                  (std::vector<float>{Pcm16Read(-1), Pcm16Read(-2), Pcm16Read(-3)}));
        Mem::FreeArray(raw);
        std::string why;
        EXPECT_EQ(ArrayWaveImportMemory(HandMadeWave(1, 22050, mono), right, raw, &why, 1), 0);
        EXPECT_EQ(raw, nullptr);
        EXPECT_EQ(why, "it has one channel, not two");
    }
    const WaveInfo info = WaveMemoryInfo(s);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.frames, 3);
    EXPECT_EQ(info.channels, 2);

    // Capacity below the length cuts; above it the rest is cleared; scale multiplies.
    std::vector<double> d(5, 7.0);
    ASSERT_TRUE(WaveMemoryToArray(s, d.data(), 2, 1.0));
    EXPECT_EQ(d, (std::vector<double>{100 / 32768.0, 200 / 32768.0, 7, 7, 7}));
    ASSERT_TRUE(WaveMemoryToArray(s, d.data(), 5, 2.0));
    EXPECT_EQ(d, (std::vector<double>{200 / 32768.0, 400 / 32768.0, 600 / 32768.0, 0, 0}));

    // Three channels: readable by the array reader, refused by the import.
    const Bytes three = HandMadeWave(3, 8000, {1, 2, 3, 4, 5, 6});
    ASSERT_TRUE(WaveMemoryToArray(three, d.data(), 2, 32768.0));
    EXPECT_EQ(d[0], 1.0);
    EXPECT_EQ(d[1], 4.0);
    const Imported t = Import(three);
    EXPECT_EQ(t.n, 0);
    EXPECT_EQ(t.info.channels, 3);
    EXPECT_NE(SonvelTest::ReadLog().find("WARNING ArrayWaveImport( <memory> ) - 3 channels"),
              std::string::npos);
}

TEST(WaveReadTest, MalformedFilesFailCleanly) {
    const std::vector<std::int16_t> samples{10, 20, 30, 40, 50, 60, 70, 80};
    const Bytes good = HandMadeWave(1, 48000, samples);

    auto refused = [](const Bytes& file) {
        const Imported r = Import(file);
        double x = 5.0;
        const bool read = WaveMemoryToArray(file, &x, 1, 1.0);
        const WaveInfo info = WaveMemoryInfo(file);
        return r.n == 0 && !read && x == 5.0 && info.samplerate == 0 && info.frames == 0 &&
               info.channels == 0;
    };
    EXPECT_TRUE(refused({}));
    EXPECT_TRUE(refused(Bytes(good.begin(), good.begin() + 4)));
    EXPECT_TRUE(refused(Bytes(good.begin(), good.begin() + 30)));
    Bytes magic = good;
    std::memcpy(magic.data() + 8, "WAVX", 4);
    EXPECT_TRUE(refused(magic));
    Bytes noChannels = good;
    noChannels[22] = 0;
    EXPECT_TRUE(refused(noChannels));
    EXPECT_TRUE(refused(Bytes(1000, 0xFF)));
    EXPECT_NE(SonvelTest::ReadLog().find("WARNING WaveFileInfo( <memory> ) - "), std::string::npos);

    // A data size beyond the file is a file cut short; less than a frame missing loses no
    // sample. Streaming recorders leave 0xFFFFFFFF (the rest of the file) or 0 (libsndfile
    // reads nothing then) until they finish: neither is cut short.
    EXPECT_TRUE(refused(HandMadeWave(1, 48000, samples, 0x7FFFFFF0u)));
    EXPECT_EQ(Import(Bytes(good.begin(), good.end() - 1)).n, 7);
    EXPECT_EQ(Import(HandMadeWave(1, 48000, samples, 0xFFFFFFFFu)).samples.back(), Pcm16Read(80));
    Bytes open = good;
    std::fill(open.begin() + 40, open.begin() + 44, 0);
    std::string why;
    WaveInfo info;
    float* out = nullptr;
    EXPECT_EQ(ArrayWaveImportMemory(open, info, out, &why), 0);
    EXPECT_EQ(why, "no samples");

    // Cut anywhere, the file gives either nothing or a prefix of its true samples.
    for (std::size_t cut = 0; cut <= good.size(); ++cut) {
        const Imported r = Import(Bytes(good.begin(), good.begin() + static_cast<long>(cut)));
        ASSERT_LE(r.n, static_cast<int>((cut > 44 ? cut - 44 : 0) / 2)) << cut;
        for (int i = 0; i < r.n; ++i)
            ASSERT_EQ(r.samples[static_cast<std::size_t>(i)], Pcm16Read(samples[i])) << cut;
    }

    // Random damage to the header must never crash or read beyond the bytes given.
    std::mt19937 rng(3);
    for (int trial = 0; trial < 2000; ++trial) {
        Bytes bad = good;
        for (int k = 0; k < 3; ++k)
            bad[rng() % 44] = static_cast<unsigned char>(rng());
        const Imported r = Import(bad);
        ASSERT_LE(static_cast<std::size_t>(r.n), bad.size()) << trial;
    }
}

// A file written by libsndfile itself, as its bytes; empty when this libsndfile cannot write
// that format.
template <typename T>
Bytes WrittenBy(int format, const std::vector<T>& samples, const std::string& name) {
    const auto path = SonvelTest::TempDir() / name;
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 1;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (f == nullptr)
        return {};
    if constexpr (std::is_same_v<T, short>) {
        // libsndfile stores shorts unscaled in a float file; their normalised values are exact.
        std::vector<double> x(samples.begin(), samples.end());
        for (double& v : x)
            v /= 32768.0;
        if ((format & SF_FORMAT_SUBMASK) == SF_FORMAT_FLOAT)
            sf_write_double(f, x.data(), static_cast<sf_count_t>(x.size()));
        else
            sf_write_short(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    } else {
        sf_write_double(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    }
    sf_close(f);
    const std::string bytes = SonvelTest::ReadBytes(path);
    return Bytes(bytes.begin(), bytes.end());
}

ByteSpan Head(const Bytes& file) {
    return ByteSpan(file).first(std::min(file.size(), FORMAT_HEAD_BYTES));
}

bool Logged(const std::string& text) {
    return SonvelTest::ReadLog().find(text) != std::string::npos;
}

// Files written by libsndfile: the wave variants, FLAC and AIFF (impulses are shared in them)
// give back every sample; everything else is refused before libsndfile may decode it, with
// the format it is named by.
TEST(WaveReadTest, WaveFlacAndAiffAreReadOthersRefused) {
    // 16-bit codes: exact in every container and width below.
    const std::vector<short> samples{100, -200, 300, -400, 500, -600, 700, -32767};
    for (const int format :
         {SF_FORMAT_WAV | SF_FORMAT_PCM_16, SF_FORMAT_WAV | SF_FORMAT_PCM_16 | SF_ENDIAN_BIG,
          SF_FORMAT_RF64 | SF_FORMAT_PCM_16, SF_FORMAT_W64 | SF_FORMAT_PCM_16,
          SF_FORMAT_FLAC | SF_FORMAT_PCM_16, SF_FORMAT_FLAC | SF_FORMAT_PCM_24,
          SF_FORMAT_AIFF | SF_FORMAT_PCM_16, SF_FORMAT_AIFF | SF_FORMAT_PCM_24,
          SF_FORMAT_AIFF | SF_FORMAT_FLOAT}) {
        const Bytes file = WrittenBy(format, samples, "container");
        ASSERT_FALSE(file.empty()) << std::hex << format;
        EXPECT_TRUE(IsReadableContainer(Head(file))) << std::hex << format;
        const Imported r = Import(file);
        ASSERT_EQ(r.n, 8) << std::hex << format;
        for (std::size_t i = 0; i < samples.size(); ++i)
            EXPECT_EQ(r.samples[i], samples[i] / 32768.0f) << std::hex << format << " " << i;
        std::vector<double> d(10, 9.0);
        ASSERT_TRUE(WaveMemoryToArray<double>(file, d.data(), 10, 2.0)) << std::hex << format;
        EXPECT_EQ(d[7], -32767 / 16384.0);
        EXPECT_EQ(d[8], 0.0);
    }
    EXPECT_EQ(AudioFormatName(Head(WrittenBy(SF_FORMAT_AIFF | SF_FORMAT_FLOAT, samples, "c"))),
              "AIFF");
    struct Foreign {
        int format;
        const char* name;
    };
    for (const Foreign f : {Foreign{SF_FORMAT_AU | SF_FORMAT_PCM_16, "Sun audio"},
                            Foreign{SF_FORMAT_CAF | SF_FORMAT_PCM_16, "CAF"},
                            Foreign{SF_FORMAT_OGG | SF_FORMAT_VORBIS, "Ogg"},
                            Foreign{SF_FORMAT_SDS | SF_FORMAT_PCM_16, "MIDI sample dump"}}) {
        const Bytes file = WrittenBy(f.format, samples, "foreign");
        if (file.empty())
            continue; // a libsndfile built without that format cannot make the example
        EXPECT_EQ(AudioFormatName(Head(file)), f.name);
        EXPECT_EQ(Import(file).n, 0) << f.name;
        EXPECT_EQ(WaveMemoryInfo(file).frames, 0) << f.name;
        EXPECT_TRUE(Logged(std::string("not a wave, FLAC or AIFF file (") + f.name + ")"))
            << f.name;
    }
    // An AIFC of compressed samples stays refused, before any of them is decoded.
    const Bytes ulaw = WrittenBy(SF_FORMAT_AIFF | SF_FORMAT_ULAW, samples, "ulaw");
    ASSERT_FALSE(ulaw.empty());
    EXPECT_EQ(Import(ulaw).n, 0);
    EXPECT_TRUE(Logged("compressed AIFF samples, which are not read"));

    // AIFF and AIFC made byte by byte (fuzz/make-corpus.sh), not by libsndfile.
    for (const char* name : {"h-pcm16.aiff", "h-none.aifc"}) {
        const Imported r = Import(SonvelTest::FuzzFinding("wave", name));
        EXPECT_EQ(r.samples, (std::vector<float>{0.5f, -0.5f, 0.25f, -0.25f})) << name;
        EXPECT_EQ(r.info.samplerate, 44100) << name;
    }
    EXPECT_EQ(Import(SonvelTest::FuzzFinding("wave", "h-aiff-huge-chunk")).n, 0);

    const Bytes text{'1', '0', '0', ';', '-', '3', '\n'};
    EXPECT_EQ(AudioFormatName(text), "text");
    EXPECT_EQ(AudioFormatName(Bytes{0x00, 0x01, 0xFE, 0x42, 0x99}),
              "an unknown format (first bytes 00 01 FE 42)");
}

// A FLAC file cut short or damaged anywhere is refused whole, with the reason; so is an AIFF
// file cut inside its header or its samples, or with a chunk larger than the file.
TEST(WaveReadTest, DamagedFlacAndAiffAreRefusedAndSayWhy) {
    std::vector<double> x(20000);
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] = 0.5 * std::sin(0.01 * static_cast<double>(i)) * std::exp(-1e-4 * i);
    const Bytes flac = WrittenBy(SF_FORMAT_FLAC | SF_FORMAT_PCM_24, x, "damaged.flac");
    ASSERT_GT(flac.size(), 1000u);
    ASSERT_EQ(Import(flac).n, 20000);
    std::vector<double> d(20000);
    const auto refused = [&](const Bytes& b, const std::string& why) {
        std::string reason;
        WaveInfo info;
        float* out = nullptr;
        EXPECT_EQ(ArrayWaveImportMemory(b, info, out, &reason), 0) << why;
        EXPECT_EQ(out, nullptr);
        EXPECT_FALSE(WaveMemoryToArray<double>(b, d.data(), 20000, 1.0)) << why;
        EXPECT_NE(reason.find(why), std::string::npos) << reason;
    };
    refused(Bytes(flac.begin(), flac.begin() + 30), "damaged FLAC file (cut inside its header)");
    refused(Bytes(flac.begin(), flac.begin() + static_cast<long>(flac.size() / 2)),
            "damaged FLAC file (");
    Bytes flipped = flac;
    for (std::size_t i = flac.size() / 2; i < flac.size() / 2 + 50; ++i)
        flipped[i] ^= 0x5A;
    refused(flipped, "damaged FLAC file (");

    const std::vector<short> codes(1000, 1234);
    const Bytes aiff = WrittenBy(SF_FORMAT_AIFF | SF_FORMAT_PCM_16, codes, "damaged.aiff");
    ASSERT_EQ(std::string(aiff.begin() + 12, aiff.begin() + 16), "COMM");
    refused(Bytes(aiff.begin(), aiff.begin() + 20), "damaged AIFF file (");
    Bytes huge = aiff;
    huge[16] = 0x7F;
    refused(huge, "damaged AIFF file (a chunk of 2130706450 bytes");
    refused(Bytes(aiff.begin(), aiff.end() - 100), "the AIFF file is truncated");

    // Random damage to either header never crashes nor reads beyond the bytes given.
    std::mt19937 rng(5);
    for (const Bytes* good : {&flac, &aiff}) {
        for (int trial = 0; trial < 500; ++trial) {
            Bytes bad = *good;
            for (int k = 0; k < 3; ++k)
                bad[4 + rng() % 60] = static_cast<unsigned char>(rng());
            ASSERT_LE(static_cast<std::size_t>(Import(bad).n), 20000u) << trial;
        }
    }
}

// libsndfile shortens the frame count of a file cut inside its samples without a word; every
// container says how much its header promised, RF64 in its ds64 chunk.
TEST(WaveReadTest, SamplesCutShortAreRefusedWithWhatTheHeaderPromised) {
    const std::vector<short> codes(3 * 48000, 1000);
    for (const int container : {SF_FORMAT_WAV, SF_FORMAT_RF64, SF_FORMAT_W64, SF_FORMAT_AIFF}) {
        const Bytes whole = WrittenBy(container | SF_FORMAT_PCM_16, codes, "cut");
        ASSERT_EQ(Import(whole).n, 3 * 48000) << container;
        const Bytes cut(whole.begin(), whole.end() - (3 * 48000 - 15000) * 2);
        std::string why;
        WaveInfo info;
        float* out = nullptr;
        EXPECT_EQ(ArrayWaveImportMemory(cut, info, out, &why), 0);
        EXPECT_EQ(out, nullptr);
        EXPECT_NE(why.find("is truncated: its header promises 3.00 s, it holds 0.31 s"),
                  std::string::npos)
            << container << ": " << why;
        why.clear();
        EXPECT_EQ(WaveMemoryInfo(cut, &why).frames, 0);
        EXPECT_NE(why.find("is truncated"), std::string::npos) << why;
        std::vector<double> d(4, 7.0);
        EXPECT_FALSE(WaveMemoryToArray(cut, d.data(), 4, 1.0));
        EXPECT_EQ(d, std::vector<double>(4, 7.0));
    }
}

// Inputs the fuzzer found (fuzz/corpus/wave/) are not wave files: every entry point refuses
// them alike.
TEST(WaveReadTest, FuzzFindingsAreRefused) {
    for (const char* name : {
             // Taken by libsndfile for MPEG layer I, whose frames read as double but not float.
             "crash-e710a6f26806787ef2eaf331a211ed1ee7ef40eb",
         }) {
        SCOPED_TRACE(name);
        const Bytes b = SonvelTest::FuzzFinding("wave", name);
        ASSERT_FALSE(b.empty());
        EXPECT_EQ(WaveMemoryInfo(b).frames, 0);
        std::vector<float> f(4096);
        std::vector<double> d(4096);
        EXPECT_FALSE(WaveMemoryToArray<float>(b, f.data(), 4096, 1.0));
        EXPECT_FALSE(WaveMemoryToArray<double>(b, d.data(), 4096, 1.0));
        WaveInfo info;
        float* samples = nullptr;
        EXPECT_EQ(ArrayWaveImportMemory(b, info, samples), 0);
        EXPECT_EQ(samples, nullptr);
        Mem::FreeArray(samples);
    }
}

// A wave file whose LIST chunk claims 4 GiB in a file of 316 bytes (fuzz/corpus/wave/): the
// readers must refuse it within seconds; the child is killed by the alarm if they hang.
TEST(WaveReadDeathTest, AChunkLargerThanTheFileIsRefusedInTime) {
    const Bytes b =
        SonvelTest::FuzzFinding("wave", "timeout-b0233b0bf127976e7643d18f203e5e75523a0a53");
    ASSERT_FALSE(b.empty());
    EXPECT_EXIT(
        {
            alarm(10);
            std::vector<float> f(4096);
            const bool refused =
                WaveMemoryInfo(b).frames == 0 && !WaveMemoryToArray<float>(b, f.data(), 4096, 1.0);
            std::exit(refused ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
