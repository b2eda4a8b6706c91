#pragma once
// Room and speaker equalisation: parametric filters (RBJ cookbook biquads) fitted so that a
// record's smoothed response meets a target curve, within the limits and the resolution of
// the equaliser that will run them, and the record as it will sound through them.
// Plain functions on the caller's thread; a record is read (its view settings are restored).

#include <complex>
#include <string>
#include <vector>

#include "measure/Measurement.h"

namespace Kedra::Filter {

enum class EqFilterType { Peaking, LowShelf, HighShelf };

struct EqFilter {
    EqFilterType type = EqFilterType::Peaking;
    double fc = 1000.0;  // Hz; shelves: the RBJ corner (half the gain in dB there)
    double gainDb = 0.0; // at fc (peaking), far side of the shelf (shelves)
    double q = 1.0;
};

// Normalised by a0: y[n] = b0 x[n] + b1 x[n-1] + b2 x[n-2] - a1 y[n-1] - a2 y[n-2].
struct BiquadCoefficients {
    double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
};

// The cookbook forms (R. Bristow-Johnson) at sample rate fs, shelves with their Q form.
BiquadCoefficients RbjCoefficients(const EqFilter& filter, double fs);
std::complex<double> BiquadResponse(const BiquadCoefficients& c, double f, double fs);
// The cascade's level in dB at f.
double FiltersDb(const std::vector<EqFilter>& filters, double f, double fs);
// "PK", "LS", "HS".
const char* EqFilterTypeCode(EqFilterType type);

// What an equaliser can hold: the rate its biquads run at (0: the record's), how many
// filters, and the steps its settings take (0: any value). Frequencies snap to a multiple of
// frequencyStep.
struct EqDevice {
    std::string name;
    double rate = 0.0;
    int maxFilters = 0;                      // 0: no limit of its own
    double maxBoostDb = 0.0, maxCutDb = 0.0; // 0: no limit of its own
    double gainStep = 0.0, qStep = 0.0, frequencyStep = 0.0;
};
// generic, camilladsp, apo, minidsp-2x4hd, sox; false for another name.
bool FindEqDevice(const std::string& name, EqDevice& device);
const std::vector<std::string>& EqDeviceNames();

// The curve the response is brought to. Flat, a house curve (LF_DB more below LF_HZ,
// half of it at LF_HZ, and a straight tilt in log frequency from 0 dB at 1 kHz to HF_DB at
// 20 kHz) or points read from a file (interpolated in log frequency, end values held).
struct EqTarget {
    enum class Kind { Flat, House, Points } kind = Kind::Flat;
    double lfDb = 0.0, lfHz = 100.0, hfDb = 0.0;
    std::vector<double> hz, db;
    bool levelGiven = false;
    double levelDb = 0.0; // with levelGiven: the target's 0 dB in the record's dB
};
// "flat" or "house:LF_DB,LF_HZ,HF_DB"; false and `why` for anything else (a file is read by
// the caller into `hz`/`db`).
bool ParseEqTarget(const std::string& text, EqTarget& target, std::string& why);
// The target's shape in dB at f, before the level.
double EqTargetShapeDb(const EqTarget& target, double f);

struct EqLimits {
    double fromHz = 20.0, toHz = 300.0;
    int filters = 10;
    double maxBoostDb = 6.0, maxCutDb = 15.0;
    double qMin = 0.5, qMax = 10.0;
    bool shelves = false;
    double smoothing = 6.0; // 1/N octave of the fitted response
};

// A dip the filters were kept from filling: a cancellation, where the finely smoothed
// response lies well below what 1/3-octave smoothing shows.
struct EqDip {
    double hz = 0.0;
    double depthDb = 0.0; // the finely smoothed response through the filters, re the target
};

struct EqFit {
    std::vector<EqFilter> filters;
    double levelDb = 0.0; // the target's level
    double rmsBefore = 0.0, maxBefore = 0.0, rmsAfter = 0.0, maxAfter = 0.0;
    std::vector<EqDip> dipsLeft;
    double rate = 0.0; // the biquads' rate the fit and the prediction used
    // The log-spaced curves the fit worked on (dB).
    std::vector<double> hz, responseDb, targetDb, predictedDb;
};

// False and `why` (naming the setting and what it may be) for a record without data, a
// range outside the record or upside down, or limits that contradict one another or exceed
// the device's; nothing is fitted then.
bool FitEqualiser(Kedra::Measure::Measurement& record, const EqTarget& target,
                  const EqLimits& limits, const EqDevice& device, EqFit& fit, std::string& why);

// The record's view, smoothed to 1/smoothing octave, through the filters running at `rate`,
// in dB at each of `hz`: the prediction's curve (a record without data gives none).
std::vector<double> EqResponseThrough(Kedra::Measure::Measurement& record,
                                      const std::vector<EqFilter>& filters, double rate,
                                      double smoothing, const std::vector<double>& hz);

// A correction FIR: the target against the record's response read through a
// frequency-dependent window (`cycles` periods of each frequency, so long at low frequencies
// and short at high), limited to the boost and cut of `limits`, faded to 0 dB over half an
// octave outside --from .. --to, as `taps` samples (a power of two, 256 to 2^20) at `rate`.
struct EqFirSettings {
    int taps = 65536;
    double rate = 48000.0;
    bool minimumPhase = true; // else linear phase, time zero in the middle
    double cycles = 30.0;
};
// `fit` receives the level, the curves and the figures (filters empty); `taps` the FIR.
bool DesignEqFir(Kedra::Measure::Measurement& record, const EqTarget& target,
                 const EqLimits& limits, const EqFirSettings& settings, std::vector<double>& taps,
                 EqFit& fit, std::string& why);

// The record through the filters running at `rate` (0: the record's): its unprocessed
// spectrum times the cascade, as a new record with the record's view settings. False when
// the record holds no data.
bool PredictEqualised(Kedra::Measure::Measurement& record, const std::vector<EqFilter>& filters,
                      double rate, Kedra::Measure::Measurement& result);

} // namespace Kedra::Filter
