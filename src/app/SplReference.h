#pragma once
// Sound pressure level references: what a calibrator (or the program's own tone or pink noise,
// read by an external meter) at a known SPL read at one input device and channel, kept in the
// options, and the offset a measurement made through that input carries. Window's thread
// (the command line's main thread), except where a function says otherwise.

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analyze/CalibratorTone.h"

namespace Kedra::Measure {
class Measurement;
class Calibrator;
} // namespace Kedra::Measure

namespace Kedra::Sonvel {

class AudioHelper;

// What sounded while the reference was recorded: a calibrator on the microphone (nothing
// plays), or the program's own tone or pink noise at the output amplitude, with the SPL an
// external meter showed for it.
enum class SplSource { Calibrator = 0, Tone = 1, Noise = 2 };
std::string SplSourceName(SplSource source);

// Common calibrator levels, in dB SPL.
inline constexpr double SPL_CALIBRATOR_LEVELS[] = {94.0, 104.0, 114.0};
// The own pink noise covers the octave around 1 kHz, where a calibrator's tone lies, so that an
// external meter and the input read the same band whatever their weighting.
inline constexpr double SPL_NOISE_LOW_HZ = 707.0;
inline constexpr double SPL_NOISE_HIGH_HZ = 1414.0;
// The start of a recording is left out: the stream and the tone settle in it.
inline constexpr double SPL_SETTLE_SECONDS = 0.3;

struct SplReference {
    std::string device;
    int channel = 0;
    double levelDb = 94.0;
    double dbfs = 0.0;
    double frequency = 1000.0;
    std::string date;
    SplSource source = SplSource::Calibrator;

    // dB to add to a dBFS level (AES17) to read dB SPL at this input.
    double Offset() const { return levelDb - dbfs; }
    // "94.00 dB SPL = -6.02 dBFS, 1000.0 Hz, Simulated: loopback ch 1, 2026-12-09 15:40"
    std::string Describe() const;
};

// The references of the options' text; a line that cannot be read is left out (and logged).
std::vector<SplReference> ParseSplReferences(std::string_view text);
std::string FormatSplReferences(const std::vector<SplReference>& references);

// In the options: the reference of one input, storing one (replacing that input's), clearing
// one (false when there was none).
std::optional<SplReference> FindSplReference(const std::string& device, int channel);
void StoreSplReference(const SplReference& reference);
bool ClearSplReference(const std::string& device, int channel);

struct SplRequest {
    // The calibrator's level (or what the external meter showed), dB SPL.
    double levelDb = 94.0;
    // The calibrator's frequency, or the frequency of the own tone.
    double frequency = 1000.0;
    double seconds = 3.0;
    SplSource source = SplSource::Calibrator;
    // Set from another thread to stop the recording early.
    const std::atomic<bool>* cancel = nullptr;
};

struct SplResult {
    bool ok = false;
    // Why it was refused, in words a user can act on.
    std::string why;
    Kedra::Analyze::ToneReading reading;
    SplReference reference;
};

// Records the input of the options' devices for the request's seconds (playing the own tone or
// noise when asked) and reads it. Any one thread at a time, like a measurement: nothing else
// may use the audio helper or the stream meanwhile. Stores nothing.
SplResult TakeSplReference(AudioHelper& audio, const SplRequest& request);

// The SPL offset of a fresh measurement made through the current input, with the gains that
// normalising applied (the record's amplitude) and the microphone calibration's correction at
// the reference's frequency taken out; the record is left uncalibrated when its input has no
// reference.
void AttachSpl(Kedra::Measure::Measurement& measurement, AudioHelper& audio);
// The same for a record measured through input `channel` of the current input device, with
// the microphone calibration that input used.
void AttachSpl(Kedra::Measure::Measurement& measurement, int channel,
               const Kedra::Measure::Calibrator& mic);

// The input device the stream records from, by name, as references are keyed.
std::string CurrentInputDevice();

} // namespace Kedra::Sonvel
