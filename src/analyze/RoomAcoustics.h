#pragma once
// Room acoustic parameters of an impulse response: reverberation times (EDT, T20, T30) from
// the backward-integrated decay, clarity (C50, C80), definition (D50) and centre time (Ts),
// in octave bands from 63 Hz to 8 kHz and broadband. The decay is integrated with the
// background noise handled by the iterative method of Lundeby et al. (1995): the integral
// stops where the decay meets the noise, the noise's mean square is taken out of it, and the
// energy after that point is added from the late decay's slope. A reverberation time whose
// evaluation range does not lie 10 dB above the noise is left out, with the reason.

#include <array>
#include <limits>
#include <string>
#include <vector>

namespace Kedra::Measure {

// One second-order section, a0 = 1.
struct Biquad {
    double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
};

// An octave band by its exact (base-ten) midband frequency and its nominal name.
struct OctaveBand {
    double midband;
    int nominal;
};
// 63 Hz to 8 kHz.
inline constexpr int ROOM_BAND_COUNT = 8;
const std::array<OctaveBand, ROOM_BAND_COUNT>& RoomOctaveBands();

// An eighth-order Butterworth octave band-pass (four sections) at `midband`, its edges at
// midband * 10^(+-0.15), pre-warped so that they lie exactly there at `sampleRate`; unity
// gain at midband.
std::vector<Biquad> OctaveBandFilter(double midband, double sampleRate);
// The same design for any band: edges at midband / edgeRatio and midband * edgeRatio
// (10^(0.3 / (2 b)) for a 1/b-octave band).
std::vector<Biquad> BandPassFilter(double midband, double edgeRatio, double sampleRate);
// The filter's level in dB at a frequency.
double FilterLevelDb(const std::vector<Biquad>& filter, double frequency, double sampleRate);
// Runs the cascade over the time-reversed signal and reverses the result: the filter's own
// ringing then lies before the sound instead of lengthening a short decay.
void FilterTimeReversed(const std::vector<Biquad>& filter, const double* in, double* out,
                        int count);

// What a parameter is when it cannot be given.
inline constexpr double INVALID_PARAMETER = std::numeric_limits<double>::quiet_NaN();

// Why a reverberation time is left out.
enum class RoomOmission : int {
    None = 0,
    NoSound,    // nothing above the noise to integrate
    TooShort,   // the decay is shorter than the band filter's own (or spans under 3 samples)
    NoiseFloor, // the evaluation range's lower end lies less than 10 dB above the noise
};

// A left-out value with the figures that decided it: for TooShort the decay time found and
// the filter's own (s); for NoiseFloor the decay range above the noise and the range needed
// (dB).
struct RoomOmissionNote {
    RoomOmission why = RoomOmission::NoSound;
    double found = INVALID_PARAMETER;
    double limit = INVALID_PARAMETER;
};
// The note in words, e.g. "evaluation range not 10 dB above the noise: 38.2 dB of decay
// above the noise, 45.0 dB needed".
std::string RoomOmissionText(const RoomOmissionNote& note);

// The decay of one band: the backward integral in dB (0 dB at the start), one value per
// sample from `start` to `truncation`.
struct DecayCurve {
    int start = 0;           // first rise to 20 dB below the maximum, or a band's earlier peak
    int truncation = 0;      // where the decay meets the noise (Lundeby's cross point)
    double noiseDb = 0.0;    // the noise's mean square, dB re the peak interval
    double rangeDb = 0.0;    // decay range above the noise
    double tailEnergy = 0.0; // energy after the truncation, from the late decay's slope
    std::vector<double> db;  // the integral, from start to truncation
    double sampleRate = 48000.0;
    // The level the decay starts from, on the response's scale: the band's mean power gain
    // (|H|^2 weighted by the band filter's, over 0 .. Nyquist for broadband) in dB, so that a
    // flat response at L dB starts every band at L dB. Set by AnalyzeRoom.
    double startDb = 0.0;
};

struct RoomParameters {
    double edt = INVALID_PARAMETER; // s
    double t20 = INVALID_PARAMETER; // s
    double t30 = INVALID_PARAMETER; // s
    double c50 = INVALID_PARAMETER; // dB
    double c80 = INVALID_PARAMETER; // dB
    double d50 = INVALID_PARAMETER; // %
    double ts = INVALID_PARAMETER;  // ms
    // Why edt, t20, t30 are missing (why None when given).
    RoomOmissionNote edtNote, t20Note, t30Note;
    // The late sound lies under the noise (past the truncation, or less than the noise puts
    // into the same stretch): the clarity is the lower bound the noise allows, the early
    // energy over all the energy measured after 50 (80) ms.
    bool c50IsBound = false;
    bool c80IsBound = false;
};

// The 60 dB decay time of a filter's impulse response, from its slowest pole: a band's decay
// shorter than this is the filter's, not the sound's.
double FilterDecayTime(const std::vector<Biquad>& filter, double sampleRate);

// The parameters of one (band-filtered) impulse whose sound starts at `start` (negative:
// find it in this impulse). `resolution` is the band filter's own decay time (s): shorter
// reverberation times are left out; 0 for an unfiltered impulse. `decay` receives the curve
// when given.
RoomParameters AnalyzeDecay(const double* impulse, int count, double sampleRate, int start = -1,
                            DecayCurve* decay = nullptr, double resolution = 0.0);

struct RoomBandResult {
    std::string name;     // "63" .. "8000", or "broadband"
    double midband = 0.0; // 0 for broadband
    RoomParameters parameters;
    DecayCurve decay;
};

// Every octave band whose upper edge lies below Nyquist, then the broadband result. The
// start of the sound is found once, in the broadband impulse, and holds for every band
// (the low bands' filters spread the onset over tens of milliseconds), unless the band's
// peak lies before it, where the backward filter moved its share of the direct sound.
// A band's reverberation times shorter than its filter's own decay (FilterDecayTime, about
// B * T = 8.3 for these filters) are left out: on an anechoic impulse the backward filter's
// own rise reads as a decay of up to 0.85 of that, which the B * T > 4 often allowed for
// time-reversed analysis would pass as the room's. The broadband result is held to the
// highest band's.
std::vector<RoomBandResult> AnalyzeRoom(const double* impulse, int count, double sampleRate);

// First sample where the squared impulse rises to 20 dB below its maximum.
int ImpulseStart(const double* impulse, int count);

// The end of the linear part of a log sweep's deconvolved impulse of `count` samples whose
// time zero lies at `position`: harmonic k lies ln(k) * sweepRate * fs samples before the
// linear impulse, and the circular deconvolution wraps those that reach past the buffer's
// start round to its end, after the sound. Returns the first such image (orders 2 to
// SWEEP_IMAGE_ORDERS) after `position`, less 10 ms; `count` when none lies there. Higher
// orders, which the distortion view does not count either, are taken for noise.
inline constexpr int SWEEP_IMAGE_ORDERS = 11;
int SweepLinearEnd(int count, int position, double sampleRate, double sweepRate);

} // namespace Kedra::Measure
