#pragma once
// The FLAC data file of a saved measurement: one channel of 24-bit samples. Encoding and
// decoding work on memory, so that malformed files can be tried without touching the disk.

#include <span>
#include <string>
#include <vector>

#include "foundation/Mem.h"

namespace Kedra::Measure::Flac {

// Full scale of a 24-bit sample; -1.0 maps to -8388607, the most negative code is unused.
inline constexpr double FULL_SCALE_24 = 8388607.0;

// Writes round(x * 8388607 / scale) for every sample, scale being the largest finite
// magnitude (1.0 for silence, so nothing is divided by zero); NaN is written as 0. `scale`
// receives the factor that restores the values. False (and `error`) when libFLAC refuses,
// for example at a sample rate FLAC cannot store.
bool Encode24(const double* samples, int count, int sampleRate, double& scale,
              std::vector<unsigned char>& out, std::string& error);

// Decodes the first `count` samples of channel 0, each code c giving
// c / (2^(bits-1) - 1) * scale. Refuses (false, `error`) a stream that is not FLAC, is damaged
// (lost sync, CRC or MD5 mismatch) or ends before `count` samples. `out` is allocated only
// once the stream's header has been read.
bool Decode(std::span<const unsigned char> bytes, int count, double scale, Mem::Array<double>& out,
            std::string& error);

} // namespace Kedra::Measure::Flac
