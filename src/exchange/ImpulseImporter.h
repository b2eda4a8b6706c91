#pragma once
// Import of an impulse response made elsewhere: one sample per text line, or a wave file.
// The samples become a measurement like a measured one (built from their spectrum), with the
// main peak moved to time zero unless told otherwise.
//
// A failed import leaves the measurement as it was and logs why.

#include <cstdint>
#include <streambuf>
#include <string>
#include <string_view>

#include "exchange/WaveFile.h"
#include "measure/Measurement.h"

namespace Kedra::Measure {

class ImpulseImporter {
public:
    // Samples taken at most (about 47 s at 44.1 kHz); a longer file is cut there, and the
    // cut is logged and reported by WasTruncated.
    static constexpr int MAX_SAMPLES = 1 << 21;

    // Moves the impulse's main peak to time zero and records the shift as the offset.
    bool alignPeak = true;
    // Sample rate of a text import; a wave import uses the file's own.
    std::int32_t samplerate = 44100;

    bool ImportText(Measurement& measurement, const std::string& path);
    // The same rules over text held in memory; `source` names it in log lines.
    bool ImportTextMemory(Measurement& measurement, std::string_view text,
                          const std::string& source = "<memory>");
    // Mono, or the left channel of a stereo file.
    bool ImportWave(Measurement& measurement, const std::string& path);
    bool ImportWaveMemory(Measurement& measurement, Kedra::WaveImExport::ByteSpan bytes);

    // Of the last import: samples taken, and whether the file held more than MAX_SAMPLES.
    int GetSamplesRead() const { return samplesRead_; }
    bool WasTruncated() const { return truncated_; }
    // Why the last wave import took nothing (the file's format, its damage), else empty.
    const std::string& GetWaveError() const { return waveError_; }

    // The transform length used for n samples: 2048 up to 1024 samples, else twice the
    // smallest power of two that holds them.
    static int TransformLength(int n);

private:
    bool ReadText(Measurement& measurement, std::streambuf& in, const std::string& who);
    bool ReadWave(Measurement& measurement, int frames, const Kedra::WaveImExport::WaveInfo& info,
                  float* samples, const std::string& who);
    bool Build(Measurement& measurement, const double* samples, int n, int rate,
               const std::string& who);

    int samplesRead_ = 0;
    bool truncated_ = false;
    std::string waveError_;
};

} // namespace Kedra::Measure
