#pragma once
// The reading of a sound calibrator's tone (or the program's own tone through a loudspeaker):
// its level in dBFS, its frequency, how steady it is and whether it clips, and the verdict on
// whether it can serve as a sound pressure reference. Plain functions on recorded samples; any
// thread.

#include <string>

namespace Kedra::Analyze {

// Refusal limits: the level may move by 0.1 dB at most, the frequency lie within 5 % of the
// expected one, and no sample reach the clipping level a measurement is refused at.
inline constexpr double TONE_MAX_FLUCTUATION_DB = 0.1;
inline constexpr double TONE_FREQUENCY_TOLERANCE = 0.05;
inline constexpr double TONE_CLIP_AMPLITUDE = 0.999;
// Below this the input holds no signal worth reading (about the noise of a 16-bit input).
inline constexpr double TONE_MIN_DBFS = -90.0;
// Share of the power that must lie in the one sine: less is noise, hum or several tones.
inline constexpr double TONE_MIN_PURITY = 0.9;
// Blocks over which the level's steadiness is judged, in seconds (rounded to whole periods).
inline constexpr double TONE_BLOCK_SECONDS = 0.1;

struct ToneReading {
    // RMS level per AES17: a full-scale sine reads 0 dBFS, i.e. 20*log10(RMS*sqrt(2)).
    double dbfs = -2000000.0;
    double frequency = 0.0;
    // Highest minus lowest level of the blocks, in dB.
    double fluctuationDb = 0.0;
    // Largest magnitude of a sample.
    double peak = 0.0;
    // Power of the best-fitting sine at `frequency` over the whole power (0 .. 1).
    double purity = 0.0;
    int blocks = 0;
};

// Reads `count` samples at `sampleRate`. False, with `why`, when there is too little to read
// (fewer than two blocks).
bool ReadTone(const float* samples, int count, int sampleRate, ToneReading& reading,
              std::string& why);

// Empty when the reading can be a reference for a tone expected at `expectedHz`; otherwise
// why not, in words a user can act on.
std::string JudgeTone(const ToneReading& reading, double expectedHz);

} // namespace Kedra::Analyze
