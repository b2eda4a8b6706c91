#pragma once
// Views of a loudspeaker's response besides level and phase: group delay (and its excess
// over the minimum phase), the energy-time curve and the cumulative spectral decay.

#include <complex>
#include <vector>

namespace Kedra::Measure {

// Group delay in seconds of a one-sided spectrum of `bins` bins spaced `hzPerBin`: minus the
// phase's slope, from the phase step between the neighbouring bins, so that no unwrapping
// is needed while the delay stays below a quarter of the analysis length.
std::vector<double> GroupDelay(const std::complex<double>* spectrum, int bins, double hzPerBin);
// The group delay minus that of the minimum-phase spectrum of the same magnitude; `bins` - 1
// must be a power of two (all zero otherwise).
std::vector<double> ExcessGroupDelay(const std::complex<double>* spectrum, int bins,
                                     double hzPerBin);
// The same, from the spectrum's group delay computed already.
std::vector<double> ExcessGroupDelay(const std::complex<double>* spectrum, int bins,
                                     double hzPerBin, std::vector<double> delay);

// The squared envelope of the analytic signal of `impulse` (its Hilbert transform through
// the FFT), in dB re its peak, one value per sample; `count` a power of two. A positive
// `octaveMidband` filters the impulse to that octave band first, with the octave filter's
// magnitude and no phase, so that the band's envelope peaks where the sound arrives.
// `peakDb`, when given, receives the peak's own level (a unit impulse's is 0 dB).
std::vector<double> EnergyTimeCurve(const double* impulse, int count, double sampleRate,
                                    double octaveMidband = 0.0, double* peakDb = nullptr);

struct WaterfallSettings {
    double firstMs = 0.0; // start time of the first slice, after time zero
    double lastMs = 3.0;  // start time of the last slice
    double stepMs = 0.1;
    double endMs = 5.0;         // every slice ends here
    double riseMs = 0.1;        // raised-cosine rise, from each slice's start - rise to its start
    double smoothingNOct = 0.0; // 1/N-octave magnitude smoothing of every slice; 0 off
};

// Named slice settings: a loudspeaker's first milliseconds, or a room's decay over 300 ms,
// whose long slices resolve more detail than can be read unsmoothed.
enum class WaterfallPreset { Speaker, Room };
// Each slice holds a spectrum of thousands of bins: more would not fit in memory sensibly.
inline constexpr int WATERFALL_MAX_SLICES = 1000;
// The number of slices the settings ask for (may exceed the limit; 0 when none).
double WaterfallSliceCount(const WaterfallSettings& settings);
WaterfallSettings WaterfallPresetSettings(WaterfallPreset preset);

struct Waterfall {
    std::vector<double> timesMs; // each slice's start
    // Per slice and bin, 20 log10 of the unscaled transform's magnitude: the scale of the
    // measurement's own response, so that a slice reads like the response gated alike.
    std::vector<std::vector<double>> levels;
    double hzPerBin = 0.0;
};

// Spectra of the impulse from successive start times to a fixed end, both relative to
// `zero`, the (fractional) sample of time zero. A slice that starts after time zero rises
// over the settings' rise just before its start; one that starts at or before it holds the
// whole impulse up to the end, so that the first slice is the response gated at the end.
// Empty when the settings leave no slice or more than the limit, or the end lies outside
// the impulse.
Waterfall CumulativeSpectralDecay(const double* impulse, int count, double zero, double sampleRate,
                                  const WaterfallSettings& settings = {});

} // namespace Kedra::Measure
