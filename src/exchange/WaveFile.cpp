#include "exchange/WaveFile.h"

#include "exchange/TextFile.h"
#include "foundation/KedraLogger.h"
#include "foundation/Mem.h"
#include "measure/MeasurementCore.h"

#include <sndfile.hh>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <new>
#include <string_view>
#include <system_error>

namespace Kedra::WaveImExport {
namespace {

constexpr const char* ARTIST = "Vaviv Uradavadu";
constexpr const char* MEMORY_NAME = "<memory>";
constexpr double FULL_SCALE_24 = 8388607.0;
// Interleaved samples per read of a multi-channel file: keeps the scratch buffer small
// whatever the channel count.
constexpr sf_count_t CHUNK_SAMPLES = 65536;

void Log(const std::string& text) {
    Kedra::Logging::KedraLogger::LogText(text);
}

void Warn(const char* function, const std::string& name, const std::string& reason) {
    Log("WARNING " + std::string(function) + "( " + name + " ) - " + reason + "\n");
}

// libsndfile's virtual I/O over bytes in memory: reads from a span, or writes into a vector
// that grows as libsndfile writes (and seeks back to finish the header on close).
struct MemoryFile {
    ByteSpan readBytes;
    std::vector<unsigned char>* writeBytes = nullptr;
    sf_count_t position = 0;
    bool writeFailed = false;

    sf_count_t Size() const {
        return static_cast<sf_count_t>(writeBytes != nullptr ? writeBytes->size()
                                                             : readBytes.size());
    }
};

sf_count_t VioLength(void* user) {
    return static_cast<MemoryFile*>(user)->Size();
}

sf_count_t VioSeek(sf_count_t offset, int whence, void* user) {
    auto* file = static_cast<MemoryFile*>(user);
    sf_count_t base = 0;
    if (whence == SEEK_CUR)
        base = file->position;
    else if (whence == SEEK_END)
        base = file->Size();
    else if (whence != SEEK_SET)
        return -1;
    sf_count_t target = 0;
    // Offsets come from header fields of the file, so they may be anything.
    if (__builtin_add_overflow(base, offset, &target) || target < 0)
        return -1;
    file->position = target;
    return target;
}

sf_count_t VioRead(void* ptr, sf_count_t count, void* user) {
    auto* file = static_cast<MemoryFile*>(user);
    const sf_count_t size = file->Size();
    if (count <= 0 || file->position >= size)
        return 0;
    const sf_count_t n = std::min(count, size - file->position);
    const unsigned char* source =
        file->writeBytes != nullptr ? file->writeBytes->data() : file->readBytes.data();
    std::memcpy(ptr, source + file->position, static_cast<std::size_t>(n));
    file->position += n;
    return n;
}

sf_count_t VioWrite(const void* ptr, sf_count_t count, void* user) {
    auto* file = static_cast<MemoryFile*>(user);
    if (file->writeBytes == nullptr || count <= 0)
        return 0;
    // Called from C: nothing may escape.
    try {
        const auto end = static_cast<std::size_t>(file->position + count);
        if (end > file->writeBytes->size())
            file->writeBytes->resize(end);
        std::memcpy(file->writeBytes->data() + file->position, ptr,
                    static_cast<std::size_t>(count));
    } catch (...) {
        file->writeFailed = true;
        return 0;
    }
    file->position += count;
    return count;
}

sf_count_t VioTell(void* user) {
    return static_cast<MemoryFile*>(user)->position;
}

SF_VIRTUAL_IO MemoryIo() {
    return SF_VIRTUAL_IO{VioLength, VioSeek, VioRead, VioWrite, VioTell};
}

// An open file for reading. Holds the memory the virtual I/O points into, so it stays put.
bool Starts(ByteSpan b, std::size_t at, std::initializer_list<unsigned char> bytes) {
    if (b.size() < at + bytes.size())
        return false;
    return std::equal(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
}

bool Starts(ByteSpan b, std::size_t at, std::string_view text) {
    return b.size() >= at + text.size() &&
           std::equal(text.begin(), text.end(), b.begin() + static_cast<std::ptrdiff_t>(at),
                      [](char c, unsigned char u) { return static_cast<unsigned char>(c) == u; });
}

// Reads `n` bytes at `offset` into `out`; false when the file holds fewer.
using ReadAt = std::function<bool(std::uint64_t offset, std::size_t n, unsigned char* out)>;

// What the header of a wave or AIFF container says of its samples, against what is there.
struct DataExtent {
    bool found = false;
    std::uint64_t stated = 0;  // bytes the data chunk's header promises
    std::uint64_t present = 0; // bytes of it the file holds
};

bool PrintableId(const unsigned char* id) {
    return std::all_of(id, id + 4, [](unsigned char c) { return c >= 0x20 && c < 0x7F; });
}

std::uint64_t LittleEndian64(const unsigned char* b) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | b[i];
    return v;
}

// Every chunk of a wave or AIFF container must lie inside the file; libsndfile takes a LIST
// chunk that claims gigabytes at its word and works through it for minutes. The data chunk
// alone may claim more than is there: `data` says how much, so that a file cut short can be
// refused once libsndfile has read its format.
bool ChunksFit(const ReadAt& read, std::uint64_t size, DataExtent& data, std::string& why) {
    unsigned char head[24];
    if (!read(0, 12, head))
        return false;
    const bool w64 = head[0] == 'r' && head[1] == 'i';
    const bool aiff = std::memcmp(head, "FORM", 4) == 0;
    const bool bigEndian = head[3] == 'X' || aiff;
    const char* dataId = aiff ? "SSND" : "data";
    const std::size_t headerBytes = w64 ? 24 : 8;
    // RF64 keeps the true data size in its ds64 chunk; 0 when there is none.
    std::uint64_t ds64Data = 0;
    std::uint64_t pos = w64 ? 40 : 12;
    for (int chunks = 0; pos + headerBytes <= size; ++chunks) {
        if (chunks > 10000) {
            why = "more than 10000 chunks";
            return false;
        }
        if (!read(pos, headerBytes, head))
            return false;
        std::uint64_t length = 0;
        if (w64) {
            length = LittleEndian64(head + 16);
            if (length < headerBytes) {
                why = "a chunk of " + std::to_string(length) + " bytes";
                return false;
            }
            length -= headerBytes;
        } else {
            for (int i = 0; i < 4; ++i)
                length = bigEndian ? (length << 8) | head[4 + i]
                                   : length | (std::uint64_t{head[4 + i]} << (8 * i));
        }
        const std::uint64_t left = size - pos - headerBytes;
        if (!w64 && std::memcmp(head, "ds64", 4) == 0 && length >= 16 && length <= left) {
            unsigned char sizes[16];
            if (!read(pos + headerBytes, 16, sizes))
                return false;
            ds64Data = LittleEndian64(sizes + 8);
        }
        if (std::memcmp(head, dataId, 4) == 0) {
            // Streaming recorders write the data size as 0 or 0xFFFFFFFF until they finish;
            // RF64 always writes the latter and keeps the size in ds64.
            const bool open = !w64 && (length == 0 || length == 0xFFFFFFFFu);
            if (!w64 && length == 0xFFFFFFFFu && ds64Data != 0) {
                data = DataExtent{true, ds64Data, left};
                return true;
            }
            if (!open)
                data = DataExtent{true, length, std::min(length, left)};
            if (length > left)
                return true;
            // libsndfile reads no samples then, and stops at a chunk id that is no text:
            // the samples that follow are not a chunk to check.
            if (length == 0) {
                unsigned char next[4];
                if (pos + headerBytes + 4 > size || !read(pos + headerBytes, 4, next) ||
                    !PrintableId(next))
                    return true;
            }
        } else if (length > left) {
            why = "a chunk of " + std::to_string(length) + " bytes where " + std::to_string(left) +
                  " are left";
            return false;
        }
        pos += headerBytes + length;
        pos += w64 ? (8 - pos % 8) % 8 : pos % 2;
    }
    return true;
}

// The metadata blocks of a FLAC stream, STREAMINFO first, must lie inside the file, so that a
// file cut inside them is named as such.
bool FlacMetadataFits(const ReadAt& read, std::uint64_t size, std::string& why) {
    std::uint64_t pos = 4;
    for (int blocks = 0;; ++blocks) {
        unsigned char head[4];
        if (blocks > 10000) {
            why = "more than 10000 metadata blocks";
            return false;
        }
        if (!read(pos, 4, head))
            return false;
        const unsigned type = head[0] & 0x7Fu;
        const std::uint64_t length = (std::uint64_t{head[1]} << 16) | (head[2] << 8) | head[3];
        if (blocks == 0 && (type != 0 || length != 34)) {
            why = "no stream information first";
            return false;
        }
        if (type == 127) {
            why = "a metadata block of the reserved type 127";
            return false;
        }
        pos += 4 + length;
        if (pos > size)
            return false;
        if ((head[0] & 0x80u) != 0)
            return true;
    }
}

// The encodings read from FLAC and AIFF: plain samples. An AIFC file may hold compressed
// ones, each a further decoder exposed to files from strangers.
bool PlainEncoding(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
        return true;
    default:
        return false;
    }
}

// Bytes per sample of the plain encodings; 0 for the others, whose blocks hold many.
int SampleBytes(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
        return 1;
    case SF_FORMAT_PCM_16:
        return 2;
    case SF_FORMAT_PCM_24:
        return 3;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
        return 4;
    case SF_FORMAT_DOUBLE:
        return 8;
    default:
        return 0;
    }
}

class Reader {
public:
    Reader() = default;
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    bool OpenPath(const std::string& path) {
        std::error_code ec;
        const std::filesystem::file_status status = std::filesystem::status(path, ec);
        if (ec || !std::filesystem::exists(status)) {
            error_ = "no such file";
            return false;
        }
        // A directory, FIFO or device would make libsndfile fail late, or block.
        if (!std::filesystem::is_regular_file(status)) {
            error_ = "not a regular file";
            return false;
        }
        unsigned char head[FORMAT_HEAD_BYTES] = {};
        std::size_t got = 0;
        if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
            got = std::fread(head, 1, sizeof head, f);
            std::fclose(f);
        }
        if (!IsReadable(ByteSpan(head, got)))
            return false;
        std::ifstream in(path, std::ios::binary);
        const ReadAt read = [&](std::uint64_t offset, std::size_t n, unsigned char* out) {
            in.clear();
            in.seekg(static_cast<std::streamoff>(offset));
            in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(n));
            return in.gcount() == static_cast<std::streamsize>(n);
        };
        if (!Fits(read, std::filesystem::file_size(path, ec)))
            return false;
        handle_ = SndfileHandle(path, SFM_READ);
        return Check();
    }

    bool OpenMemory(ByteSpan bytes) {
        if (!IsReadable(bytes.first(std::min(bytes.size(), FORMAT_HEAD_BYTES))))
            return false;
        const ReadAt read = [&](std::uint64_t offset, std::size_t n, unsigned char* out) {
            if (offset > bytes.size() || n > bytes.size() - offset)
                return false;
            std::memcpy(out, bytes.data() + offset, n);
            return true;
        };
        if (!Fits(read, bytes.size()))
            return false;
        memory_.readBytes = bytes;
        SF_VIRTUAL_IO io = MemoryIo();
        handle_ = SndfileHandle(io, &memory_, SFM_READ);
        return Check();
    }

    SndfileHandle& Handle() { return handle_; }
    const std::string& Error() const { return error_; }
    // After reading: why the samples read cannot be trusted (a FLAC frame that failed its
    // check, a stream cut short), or empty.
    std::string Damage() {
        if (handle_.error() == 0)
            return {};
        return "damaged " + Kind() + " (" + handle_.strError() + ")";
    }

    WaveInfo Info() const {
        return WaveInfo{handle_.samplerate(), static_cast<std::int32_t>(handle_.frames()),
                        handle_.channels()};
    }

private:
    bool Fits(const ReadAt& read, std::uint64_t size) {
        std::string why;
        if (format_ == "FLAC" ? FlacMetadataFits(read, size, why)
                              : ChunksFit(read, size, data_, why))
            return true;
        error_ = "damaged " + Kind() + " (" +
                 (why.empty() ? std::string("cut inside its header") : why) + ")";
        return false;
    }

    bool IsReadable(ByteSpan head) {
        format_ = AudioFormatName(head);
        if (IsReadableContainer(head))
            return true;
        error_ = "not a wave, FLAC or AIFF file (" + format_ + ")";
        return false;
    }

    std::string Kind() const {
        return format_ == "FLAC" || format_ == "AIFF" ? format_ + " file" : "wave file";
    }

    // libsndfile guesses a format from the content too: it must be the one the magic named.
    bool SameFormat() const {
        const int major = handle_.format() & SF_FORMAT_TYPEMASK;
        if (format_ == "FLAC")
            return major == SF_FORMAT_FLAC;
        if (format_ == "AIFF")
            return major == SF_FORMAT_AIFF;
        return major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_RF64 ||
               major == SF_FORMAT_W64;
    }

    bool Check() {
        if (handle_.rawHandle() == nullptr) {
            error_ = sf_strerror(nullptr);
            if (format_ == "FLAC" || format_ == "AIFF")
                error_ = "damaged " + Kind() + " (" + error_ + ")";
            handle_ = SndfileHandle();
            return false;
        }
        if (!SameFormat()) {
            error_ = "libsndfile reads it as another format than " + format_;
            handle_ = SndfileHandle();
            return false;
        }
        if ((format_ == "FLAC" || format_ == "AIFF") && !PlainEncoding(handle_.format())) {
            error_ = "compressed " + format_ + " samples, which are not read";
            handle_ = SndfileHandle();
            return false;
        }
        if (handle_.channels() < 1 || handle_.samplerate() < 1 || handle_.frames() < 0) {
            error_ = "invalid channel count, sample rate or length";
            handle_ = SndfileHandle();
            return false;
        }
        if (handle_.frames() > std::numeric_limits<std::int32_t>::max()) {
            error_ = "more frames than an array can hold";
            handle_ = SndfileHandle();
            return false;
        }
        return Complete();
    }

    // libsndfile shortens the frame count of a file cut short to what is there, silently.
    bool Complete() {
        if (!data_.found || data_.stated <= data_.present)
            return true;
        const std::uint64_t missing = data_.stated - data_.present;
        const int width = SampleBytes(handle_.format());
        const std::uint64_t frameBytes =
            static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(handle_.channels());
        // Less than a frame missing loses no sample.
        if (frameBytes > 0 && missing < frameBytes)
            return true;
        const double rate = handle_.samplerate();
        const double held = static_cast<double>(handle_.frames());
        const double promised =
            frameBytes > 0 ? held + static_cast<double>(missing / frameBytes)
            : data_.present > 0
                ? held * (static_cast<double>(data_.stated) / static_cast<double>(data_.present))
                : -1.0;
        error_ = "the " + Kind() + " is truncated: its header promises ";
        if (promised < 0.0) {
            error_ += std::to_string(data_.stated) + " bytes of samples, it holds none";
        } else {
            error_ += Text::FormatFixed(promised / rate, 2) + " s, it holds " +
                      Text::FormatFixed(held / rate, 2) + " s";
            if (Text::FormatFixed(promised / rate, 2) == Text::FormatFixed(held / rate, 2))
                error_ += " (" + Text::FormatFixed(held, 0) + " of " +
                          Text::FormatFixed(promised, 0) + " frames)";
        }
        handle_ = SndfileHandle();
        return false;
    }

    MemoryFile memory_;
    SndfileHandle handle_;
    DataExtent data_;
    std::string error_;
    std::string format_;
};

// Reads up to `frames` frames and keeps one channel (0 unless told); returns the frames read.
template <typename T>
sf_count_t ReadFirstChannel(SndfileHandle& handle, T* out, sf_count_t frames, int channel = 0) {
    const int channels = handle.channels();
    if (channels == 1) {
        const sf_count_t got = handle.readf(out, frames);
        return std::max<sf_count_t>(got, 0);
    }
    const sf_count_t chunkFrames = std::max<sf_count_t>(1, CHUNK_SAMPLES / channels);
    std::vector<T> chunk(static_cast<std::size_t>(chunkFrames * channels));
    sf_count_t done = 0;
    while (done < frames) {
        const sf_count_t want = std::min(chunkFrames, frames - done);
        const sf_count_t got = handle.readf(chunk.data(), want);
        if (got <= 0)
            break;
        for (sf_count_t i = 0; i < got; ++i)
            out[done + i] = chunk[static_cast<std::size_t>(i * channels + channel)];
        done += got;
        if (got < want)
            break;
    }
    return done;
}

// Largest finite magnitude; 0 when there is none. A stray NaN or infinity must not turn the
// whole signal into NaN or zeros.
template <typename T>
T FinitePeak(const T* x, int count) {
    T peak = 0;
    for (int i = 0; i < count; ++i) {
        const T a = std::fabs(x[i]);
        if (std::isfinite(a) && a > peak)
            peak = a;
    }
    return peak;
}

void PutLittleEndian(unsigned char* out, std::uint32_t value, int bytes) {
    for (int b = 0; b < bytes; ++b)
        out[b] = static_cast<unsigned char>(value >> (8 * b));
}

double FullScale(WaveFormat format) {
    switch (format) {
    case WaveFormat::Pcm16:
        return 32767.0;
    case WaveFormat::Pcm24:
        return 8388607.0;
    case WaveFormat::Pcm32:
        return 2147483647.0;
    case WaveFormat::Float32:
        break;
    }
    return 1.0;
}

// floor(x * full scale + 0.5) inside (-1, 1), +-full scale outside; NaN has no code and
// becomes silence rather than undefined behaviour.
std::int32_t PcmCode(float x, double fullScale) {
    if (std::isnan(x))
        return 0;
    if (x >= 1.0f)
        return static_cast<std::int32_t>(fullScale);
    if (x <= -1.0f)
        return -static_cast<std::int32_t>(fullScale);
    return static_cast<std::int32_t>(std::floor(static_cast<double>(x) * fullScale + 0.5));
}

// Renders a mono WAV around sample bytes that are already in the file's encoding. Returns
// the samples libsndfile took; `out` holds the finished file.
sf_count_t RenderWave(const std::vector<unsigned char>& data, int bytesPerSample, int format,
                      int samplerate, const std::string* title, std::vector<unsigned char>& out,
                      std::string& error) {
    out.clear();
    MemoryFile memory;
    memory.writeBytes = &out;
    SF_VIRTUAL_IO io = MemoryIo();
    sf_count_t written = 0;
    {
        SndfileHandle handle(io, &memory, SFM_WRITE, format, 1, samplerate);
        if (handle.rawHandle() == nullptr) {
            error = sf_strerror(nullptr);
            out.clear();
            return 0;
        }
        if (title != nullptr) {
            handle.setString(SF_STR_TITLE, title->c_str());
            handle.setString(SF_STR_ARTIST, ARTIST);
        }
        written = handle.writeRaw(data.data(), static_cast<sf_count_t>(data.size()));
        handle.writeSync();
    } // the last reference closes the file, which completes the header
    if (memory.writeFailed) {
        error = "out of memory while rendering the file";
        out.clear();
        return 0;
    }
    return std::max<sf_count_t>(written, 0) / bytesPerSample;
}

bool CommitFile(const std::string& path, const std::vector<unsigned char>& bytes,
                std::string& error) {
    const std::string_view contents(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return Text::WriteFileAtomically(path, contents, error);
}

int ExportToMemory(const float* samples, int count, int samplerate, WaveFormat format,
                   const std::string& title, bool normalize, std::vector<unsigned char>& out,
                   std::string& error) {
    out.clear();
    if (samples == nullptr || count <= 0) {
        error = "no samples";
        return 0;
    }
    const float peak = normalize ? FinitePeak(samples, count) : 0.0f;
    // Dividing silence by its zero peak would write NaN; it stays silence.
    const bool divide = normalize && peak > 0.0f;
    const int width = BytesPerSample(format);
    const double fullScale = FullScale(format);
    std::vector<unsigned char> data(static_cast<std::size_t>(count) *
                                    static_cast<std::size_t>(width));
    for (int i = 0; i < count; ++i) {
        const float x = divide ? samples[i] / peak : samples[i];
        const std::uint32_t word = format == WaveFormat::Float32
                                       ? std::bit_cast<std::uint32_t>(x)
                                       : static_cast<std::uint32_t>(PcmCode(x, fullScale));
        PutLittleEndian(&data[static_cast<std::size_t>(i) * static_cast<std::size_t>(width)], word,
                        width);
    }
    const sf_count_t written =
        RenderWave(data, width, SndfileFormat(format), samplerate, &title, out, error);
    if (written != count) {
        if (error.empty())
            error =
                "wrote " + std::to_string(written) + " of " + std::to_string(count) + " samples";
        out.clear();
        return 0;
    }
    return count;
}

bool DataFileToMemory(const double* samples, int count, int samplerate, double& peak,
                      std::vector<unsigned char>& out, std::string& error) {
    out.clear();
    peak = 0.0;
    if (samples == nullptr || count <= 0) {
        error = "no samples";
        return false;
    }
    peak = FinitePeak(samples, count);
    std::vector<unsigned char> data(static_cast<std::size_t>(count) * 3);
    for (int i = 0; i < count; ++i) {
        const double x = samples[i];
        std::int32_t code = 0;
        if (peak > 0.0 && !std::isnan(x)) {
            // The peak itself (and an infinity) is exactly full scale; the quotient might
            // round just below it.
            if (std::fabs(x) >= peak)
                code = static_cast<std::int32_t>(std::copysign(FULL_SCALE_24, x));
            else
                code = static_cast<std::int32_t>(std::trunc(x * FULL_SCALE_24 / peak));
        }
        PutLittleEndian(&data[static_cast<std::size_t>(i) * 3], static_cast<std::uint32_t>(code),
                        3);
    }
    const sf_count_t written =
        RenderWave(data, 3, SndfileFormat(WaveFormat::Pcm24), samplerate, nullptr, out, error);
    if (written != count) {
        if (error.empty())
            error =
                "wrote " + std::to_string(written) + " of " + std::to_string(count) + " samples";
        out.clear();
        return false;
    }
    return true;
}

template <typename T>
bool ReadToArray(Reader& reader, const std::string& name, T* out, int capacity, double scale) {
    if (out == nullptr || capacity <= 0) {
        Warn("WaveFileToArray", name, "no room for samples");
        return false;
    }
    SndfileHandle& handle = reader.Handle();
    const sf_count_t want = std::min<sf_count_t>(handle.frames(), capacity);
    const sf_count_t got = ReadFirstChannel(handle, out, want);
    if (const std::string damage = reader.Damage(); !damage.empty()) {
        std::fill(out, out + capacity, T(0));
        Warn("WaveFileToArray", name, damage);
        return false;
    }
    if (scale != 1.0) {
        for (sf_count_t i = 0; i < got; ++i)
            out[i] = static_cast<T>(out[i] * scale);
    }
    // A short file must not leave whatever the array held before.
    std::fill(out + got, out + capacity, T(0));
    if (got <= 0)
        Warn("WaveFileToArray", name, "no frames read");
    return got > 0;
}

int Import(Reader& reader, const std::string& name, WaveInfo& info, float*& out, std::string& why,
           int channel) {
    SndfileHandle& handle = reader.Handle();
    info = reader.Info();
    if (info.channels > 2) {
        why = std::to_string(info.channels) + " channels, only mono or stereo is read";
        Warn("ArrayWaveImport", name, why);
        return 0;
    }
    if (channel < 0 || channel >= info.channels) {
        why = info.channels == 1 ? "it has one channel, not two" : "it has no such channel";
        Warn("ArrayWaveImport", name, why);
        return 0;
    }
    // The frame count in a header is not trusted to size the array: a short compressed file
    // may claim billions. Read in chunks, then copy into an array of the true length.
    std::vector<float> samples;
    samples.reserve(static_cast<std::size_t>(std::min<sf_count_t>(info.frames, 1 << 20)));
    std::vector<float> chunk(static_cast<std::size_t>(CHUNK_SAMPLES / info.channels));
    sf_count_t total = 0;
    while (total < info.frames) {
        const sf_count_t want =
            std::min<sf_count_t>(static_cast<sf_count_t>(chunk.size()), info.frames - total);
        const sf_count_t got = ReadFirstChannel(handle, chunk.data(), want, channel);
        if (got <= 0)
            break;
        samples.insert(samples.end(), chunk.begin(), chunk.begin() + got);
        total += got;
        if (got < want)
            break;
    }
    if (const std::string damage = reader.Damage(); !damage.empty()) {
        why = damage;
        Warn("ArrayWaveImport", name, why);
        return 0;
    }
    const int n = static_cast<int>(total);
    Log("INFO    ArrayWaveImport " + std::to_string(info.channels) +
        " channel samples read = " + std::to_string(n) + "\n");
    if (n <= 0) {
        why = "no samples";
        return 0;
    }
    Mem::Array<float> array(samples.size());
    std::memcpy(array.data(), samples.data(), samples.size() * sizeof(float));
    out = array.release();
    return n;
}

template <typename T>
bool ToArray(Reader& reader, bool opened, const std::string& name, T* out, int capacity,
             double scale) {
    if (!opened) {
        Warn("WaveFileToArray", name, reader.Error());
        return false;
    }
    try {
        return ReadToArray(reader, name, out, capacity, scale);
    } catch (const std::bad_alloc&) {
        Warn("WaveFileToArray", name, "out of memory");
        return false;
    }
}

WaveInfo InfoOf(Reader& reader, bool opened, const std::string& name, std::string* why) {
    if (!opened) {
        Warn("WaveFileInfo", name, reader.Error());
        if (why != nullptr)
            *why = reader.Error();
        return WaveInfo{};
    }
    return reader.Info();
}

int ImportFrom(Reader& reader, bool opened, const std::string& name, WaveInfo& info, float*& out,
               std::string* why, int channel) {
    std::string reason;
    int n = 0;
    if (!opened) {
        reason = reader.Error();
        Warn("ArrayWaveImport", name, reason);
    } else {
        try {
            n = Import(reader, name, info, out, reason, channel);
        } catch (const std::bad_alloc&) {
            reason = "out of memory";
            Warn("ArrayWaveImport", name, reason);
        }
    }
    if (n == 0 && why != nullptr)
        *why = reason;
    return n;
}

} // namespace

bool IsWaveContainer(ByteSpan head) {
    static constexpr std::initializer_list<unsigned char> W64_RIFF = {
        0x72, 0x69, 0x66, 0x66, 0x2E, 0x91, 0xCF, 0x11,
        0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
    static constexpr std::initializer_list<unsigned char> W64_WAVE = {
        0x77, 0x61, 0x76, 0x65, 0xF3, 0xAC, 0xD3, 0x11,
        0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
    return ((Starts(head, 0, "RIFF") || Starts(head, 0, "RIFX") || Starts(head, 0, "RF64")) &&
            Starts(head, 8, "WAVE")) ||
           (Starts(head, 0, W64_RIFF) && Starts(head, 24, W64_WAVE));
}

bool IsReadableContainer(ByteSpan head) {
    return IsWaveContainer(head) || Starts(head, 0, "fLaC") ||
           (Starts(head, 0, "FORM") && (Starts(head, 8, "AIFF") || Starts(head, 8, "AIFC")));
}

bool FileLooksLikeAudio(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char head[FORMAT_HEAD_BYTES] = {};
    in.read(reinterpret_cast<char*>(head), sizeof head);
    const std::string format =
        AudioFormatName(ByteSpan(head, static_cast<std::size_t>(in.gcount())));
    return format != "text" && format != "empty" && format.rfind("an unknown", 0) != 0;
}

std::string AudioFormatName(ByteSpan head) {
    if (IsWaveContainer(head)) {
        if (Starts(head, 0, "RIFF") || Starts(head, 0, "RIFX") || Starts(head, 0, "RF64"))
            return std::string(reinterpret_cast<const char*>(head.data()), 4) + " WAVE";
        return "Wave64";
    }
    struct Magic {
        std::size_t at;
        std::string_view bytes;
        const char* name;
    };
    static constexpr Magic MAGICS[] = {
        {0, "fLaC", "FLAC"},
        {0, "OggS", "Ogg"},
        {8, "AIFF", "AIFF"},
        {8, "AIFC", "AIFF"},
        {0, "caff", "CAF"},
        {0, ".snd", "Sun audio"},
        {0, "\xF0\x7E", "MIDI sample dump"},
        {0, "ID3", "MP3"},
        {0, "PK\x03\x04", "zip archive"},
        {0, "RIFF", "RIFF, but not WAVE"},
        {0, "MThd", "MIDI"},
        {0, "\x1A\x45\xDF\xA3", "Matroska"},
    };
    for (const Magic& m : MAGICS)
        if (Starts(head, m.at, m.bytes))
            return m.name;
    // An MPEG audio frame starts with eleven set bits.
    if (head.size() >= 2 && head[0] == 0xFF && (head[1] & 0xE0) == 0xE0)
        return "MP3";
    if (head.empty())
        return "empty";
    const bool text = std::all_of(head.begin(), head.end(), [](unsigned char c) {
        return c == '\t' || c == '\n' || c == '\r' || (c >= 0x20 && c != 0x7F);
    });
    if (text)
        return "text";
    std::string bytes;
    char hex[4];
    for (std::size_t i = 0; i < std::min<std::size_t>(head.size(), 4); ++i) {
        std::snprintf(hex, sizeof hex, "%02X", head[i]);
        if (i > 0)
            bytes += ' ';
        bytes += hex;
    }
    return "an unknown format (first bytes " + bytes + ")";
}

WaveFormat NumberToWaveFormat(std::int32_t n) {
    return static_cast<WaveFormat>(std::clamp<std::int32_t>(n, 0, 3));
}

const char* WaveFormatName(WaveFormat format) {
    switch (format) {
    case WaveFormat::Float32:
        return "32 bit float";
    case WaveFormat::Pcm16:
        return "16 bit PCM";
    case WaveFormat::Pcm24:
        return "24 bit PCM";
    case WaveFormat::Pcm32:
        return "32 bit PCM";
    }
    return "";
}

int SndfileFormat(WaveFormat format) {
    switch (format) {
    case WaveFormat::Pcm16:
        return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    case WaveFormat::Pcm24:
        return SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    case WaveFormat::Pcm32:
        return SF_FORMAT_WAV | SF_FORMAT_PCM_32;
    case WaveFormat::Float32:
        break;
    }
    return SF_FORMAT_WAV | SF_FORMAT_FLOAT;
}

int BytesPerSample(WaveFormat format) {
    switch (format) {
    case WaveFormat::Pcm16:
        return 2;
    case WaveFormat::Pcm24:
        return 3;
    case WaveFormat::Pcm32:
    case WaveFormat::Float32:
        break;
    }
    return 4;
}

int ArrayWaveExportToMemory(const float* samples, int count, int samplerate, WaveFormat format,
                            const std::string& title, bool normalize,
                            std::vector<unsigned char>& out) {
    std::string error;
    try {
        const int written =
            ExportToMemory(samples, count, samplerate, format, title, normalize, out, error);
        if (written == 0)
            Warn("ArrayWaveExport", MEMORY_NAME, error);
        return written;
    } catch (const std::bad_alloc&) {
        out.clear();
        Warn("ArrayWaveExport", MEMORY_NAME, "out of memory");
        return 0;
    }
}

int ArrayWaveExport(const float* samples, int count, int samplerate, const std::string& path,
                    WaveFormat format, const std::string& title, bool normalize) {
    std::string error;
    int written = 0;
    try {
        std::vector<unsigned char> bytes;
        written =
            ExportToMemory(samples, count, samplerate, format, title, normalize, bytes, error);
        if (written > 0 && !CommitFile(path, bytes, error))
            written = 0;
    } catch (const std::bad_alloc&) {
        written = 0;
        error = "out of memory";
    }
    if (written == 0)
        Warn("ArrayWaveExport", path, error);
    Log("INFO    ArrayWaveExport( " + std::to_string(count) + " ) -> " + std::to_string(written) +
        " -> " + path + "\n");
    return written;
}

int ArrayWaveExport(const double* samples, int count, int samplerate, const std::string& path,
                    WaveFormat format, const std::string& title, bool normalize) {
    if (samples == nullptr || count <= 0)
        return ArrayWaveExport(static_cast<const float*>(nullptr), count, samplerate, path, format,
                               title, normalize);
    Mem::Array<float> narrowed(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        narrowed[static_cast<std::size_t>(i)] = static_cast<float>(samples[i]);
    return ArrayWaveExport(narrowed.data(), count, samplerate, path, format, title, normalize);
}

bool ImpulseWaveExport(Kedra::Measure::MeasurementCore& measurement, const std::string& path,
                       int first, int last, bool normalize, WaveFormat format) {
    if (!measurement.IsInitialized()) {
        Warn("ImpulseWaveExport", path, "the measurement holds no impulse");
        return false;
    }
    const double* impulse = measurement.GetI();
    if (impulse == nullptr)
        return false;
    const int half = measurement.GetNHalf();
    first = std::max(first, -half);
    last = std::min(last, half - 1);
    if (last < first) {
        Warn("ImpulseWaveExport", path, "empty sample range");
        return false;
    }
    const int count = last - first + 1;
    // The impulse is centred: index 0 is time zero, the array reaches back to -N/2.
    const int written = ArrayWaveExport(impulse + first, count, measurement.GetSamplerate(), path,
                                        format, measurement.GetLabel(), normalize);
    return written == count;
}

bool ArrayToWaveMemory(const double* samples, int count, int samplerate, double& peak,
                       std::vector<unsigned char>& out) {
    std::string error;
    try {
        if (DataFileToMemory(samples, count, samplerate, peak, out, error))
            return true;
    } catch (const std::bad_alloc&) {
        out.clear();
        error = "out of memory";
    }
    Warn("ArrayToWaveFile", MEMORY_NAME, error);
    return false;
}

bool ArrayToWaveFile(const double* samples, int count, int samplerate, const std::string& path,
                     double& peak) {
    std::string error;
    try {
        std::vector<unsigned char> bytes;
        if (DataFileToMemory(samples, count, samplerate, peak, bytes, error) &&
            CommitFile(path, bytes, error))
            return true;
    } catch (const std::bad_alloc&) {
        error = "out of memory";
    }
    Warn("ArrayToWaveFile", path, error);
    return false;
}

template <typename T>
bool WaveFileToArray(const std::string& path, T* out, int capacity, double scale) {
    Reader reader;
    const bool opened = reader.OpenPath(path);
    return ToArray(reader, opened, path, out, capacity, scale);
}

template <typename T>
bool WaveMemoryToArray(ByteSpan bytes, T* out, int capacity, double scale) {
    Reader reader;
    const bool opened = reader.OpenMemory(bytes);
    return ToArray(reader, opened, MEMORY_NAME, out, capacity, scale);
}

template bool WaveFileToArray<float>(const std::string&, float*, int, double);
template bool WaveFileToArray<double>(const std::string&, double*, int, double);
template bool WaveMemoryToArray<float>(ByteSpan, float*, int, double);
template bool WaveMemoryToArray<double>(ByteSpan, double*, int, double);

WaveInfo WaveFileInfo(const std::string& path, std::string* why) {
    Reader reader;
    const bool opened = reader.OpenPath(path);
    return InfoOf(reader, opened, path, why);
}

WaveInfo WaveMemoryInfo(ByteSpan bytes, std::string* why) {
    Reader reader;
    const bool opened = reader.OpenMemory(bytes);
    return InfoOf(reader, opened, MEMORY_NAME, why);
}

int ArrayWaveImport(const std::string& path, WaveInfo& info, float*& out, std::string* why,
                    int channel) {
    Log("INFO    ArrayWaveImport(" + path + ")\n");
    info = WaveInfo{};
    out = nullptr;
    Reader reader;
    const bool opened = reader.OpenPath(path);
    return ImportFrom(reader, opened, path, info, out, why, channel);
}

int ArrayWaveImportMemory(ByteSpan bytes, WaveInfo& info, float*& out, std::string* why,
                          int channel) {
    Log(std::string("INFO    ArrayWaveImport(") + MEMORY_NAME + ")\n");
    info = WaveInfo{};
    out = nullptr;
    Reader reader;
    const bool opened = reader.OpenMemory(bytes);
    return ImportFrom(reader, opened, MEMORY_NAME, info, out, why, channel);
}

} // namespace Kedra::WaveImExport
