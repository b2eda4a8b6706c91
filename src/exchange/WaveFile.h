#pragma once
// Wave files over libsndfile: sample arrays written as mono RIFF/WAVE files and wave files
// read back into arrays. Every function opens, works, flushes and closes before it returns.
//
// Writers render the whole file in memory and then replace the target in one rename, so a
// failed write leaves an existing file as it was. Readers take a path or a whole file held in
// memory (the memory entry points let tests and fuzzers drive them without files). Readers
// take wave, FLAC and AIFF files (IsReadableContainer), refuse one whose decoder reports
// damage or whose samples end before its header says, and keep the first channel only.
//
// Integer formats are written with full scale 2^(bits-1) - 1: -1.0 becomes -32767 and the
// most negative code is never written. libsndfile reads them back divided by 2^(bits-1), so a
// round trip loses a gain of 1 - 2^-(bits-1) besides the rounding.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace Kedra::Measure {
class MeasurementCore;
}

namespace Kedra::WaveImExport {

// The numbers are stored in the options; keep the order.
enum class WaveFormat : std::int32_t { Float32 = 0, Pcm16 = 1, Pcm24 = 2, Pcm32 = 3 };

// Out-of-range option numbers are clamped to the nearest format.
WaveFormat NumberToWaveFormat(std::int32_t n);
// "32 bit float", "16 bit PCM", "24 bit PCM", "32 bit PCM".
const char* WaveFormatName(WaveFormat format);
// The libsndfile format code (major WAV plus subtype).
int SndfileFormat(WaveFormat format);
// Bytes per stored sample: 4, 2, 3, 4.
int BytesPerSample(WaveFormat format);

// All zero for a file that cannot be opened.
struct WaveInfo {
    std::int32_t samplerate = 0;
    std::int32_t frames = 0; // samples per channel
    std::int32_t channels = 0;
};

using ByteSpan = std::span<const unsigned char>;

// --- Writers -----------------------------------------------------------------------------

// Writes `count` samples as a mono WAV with title and artist strings; with `normalize` the
// samples are first divided by their largest finite magnitude (an all-zero signal stays zero).
// Returns the samples written; 0 when nothing was written, and then the target is untouched.
int ArrayWaveExport(const float* samples, int count, int samplerate, const std::string& path,
                    WaveFormat format, const std::string& title, bool normalize);
// The doubles are narrowed to floats first.
int ArrayWaveExport(const double* samples, int count, int samplerate, const std::string& path,
                    WaveFormat format, const std::string& title, bool normalize);
// The same file rendered into `out` (replaced); only a failure is logged.
int ArrayWaveExportToMemory(const float* samples, int count, int samplerate, WaveFormat format,
                            const std::string& title, bool normalize,
                            std::vector<unsigned char>& out);

// Samples first..last (inclusive, clamped to -N/2 .. N/2-1) of the measurement's impulse,
// at its sample rate, titled with its label. True when every one of them was written; false
// for a measurement without impulse or an empty range.
bool ImpulseWaveExport(Kedra::Measure::MeasurementCore& measurement, const std::string& path,
                       int first, int last, bool normalize, WaveFormat format);

// The data file of a saved measurement: 24-bit PCM holding trunc(x * 8388607 / peak), no
// strings. `peak` receives the largest finite magnitude (0 for silence, which is written as
// zeros); reading with `peak` as scale restores the values. True when samples were written.
bool ArrayToWaveFile(const double* samples, int count, int samplerate, const std::string& path,
                     double& peak);
bool ArrayToWaveMemory(const double* samples, int count, int samplerate, double& peak,
                       std::vector<unsigned char>& out);

// --- Readers -----------------------------------------------------------------------------

// What the first bytes of a file say it is: "RIFF WAVE", "RIFX WAVE", "RF64 WAVE", "Wave64",
// "FLAC", "Ogg", "AIFF" (also AIFC), "CAF", "Sun audio", "MIDI sample dump", "MP3",
// "zip archive", "text", or "an unknown format (first bytes ...)". Forty bytes are enough.
inline constexpr std::size_t FORMAT_HEAD_BYTES = 40;
std::string AudioFormatName(ByteSpan head);
// The wave variants: RIFF, RIFX and RF64 WAVE, and Wave64.
bool IsWaveContainer(ByteSpan head);
// What the readers below accept: the wave variants, FLAC (native, not in Ogg) and AIFF/AIFC
// with plain samples, the formats impulses are shared in. libsndfile would read many more
// by their content, each one more decoder exposed to files from strangers.
bool IsReadableContainer(ByteSpan head);
// Whether the file's first bytes name an audio format (any, not only the wave containers):
// such a file is an impulse for the wave reader, which names the ones it refuses.
bool FileLooksLikeAudio(const std::string& path);

// Reads min(frames, capacity) frames of channel 0 into `out`, multiplied by `scale` unless it
// is exactly 1.0; the rest of the capacity is set to 0. True when at least one frame was read.
template <typename T>
bool WaveFileToArray(const std::string& path, T* out, int capacity, double scale);
template <typename T>
bool WaveMemoryToArray(ByteSpan bytes, T* out, int capacity, double scale);

// A file that cannot be read gives zeros, and then `why` (when given) receives the reason.
WaveInfo WaveFileInfo(const std::string& path, std::string* why = nullptr);
WaveInfo WaveMemoryInfo(ByteSpan bytes, std::string* why = nullptr);

// Fills `info` and hands back a new Mem array of the frames of a mono file, or of the left
// channel of a stereo file; the caller frees it with Mem::FreeArray. Returns the frames read;
// 0 (and a null array) for a file that cannot be read, holds no frames or has more than two
// channels, and then `why` (when given) receives the reason that is also logged. `channel` 1
// reads the right channel instead (refused for a mono file).
int ArrayWaveImport(const std::string& path, WaveInfo& info, float*& out,
                    std::string* why = nullptr, int channel = 0);
// The same from memory, logged under the name "<memory>".
int ArrayWaveImportMemory(ByteSpan bytes, WaveInfo& info, float*& out, std::string* why = nullptr,
                          int channel = 0);

} // namespace Kedra::WaveImExport
