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
std::vector<double> EnergyTimeCurve(const double* impulse, int count, double sampleRate,
                                    double octaveMidband = 0.0);

struct WaterfallSettings {
    double firstMs = 0.0; // start time of the first slice, after time zero
    double lastMs = 3.0;  // start time of the last slice
    double stepMs = 0.1;
    double endMs = 5.0;  // every slice ends here
    double riseMs = 0.1; // raised-cosine rise at each slice's start
};

struct Waterfall {
    std::vector<double> timesMs;             // each slice's start
    std::vector<std::vector<double>> levels; // dB re the first slice's maximum, per bin
    double hzPerBin = 0.0;
};

// Spectra of the impulse from successive start times (relative to `zero`, the sample of
// time zero) to a fixed end, each with a short raised-cosine rise. Empty when the settings
// leave no slice or the end lies outside the impulse.
Waterfall CumulativeSpectralDecay(const double* impulse, int count, int zero, double sampleRate,
                                  const WaterfallSettings& settings = {});

} // namespace Kedra::Measure
