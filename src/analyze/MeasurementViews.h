#pragma once
// The room acoustic parameters and the loudspeaker views of a measurement record.

#include <vector>

#include "analyze/LoudspeakerViews.h"
#include "analyze/RoomAcoustics.h"

namespace Kedra::Measure {

class Measurement;

// From the whole measured impulse, not the windowed view (a short window would cut the
// decay off): from 10 ms before time zero to half the record's length after it, and for a
// log sweep no further than its first harmonic image that the circular deconvolution wrapped
// round after the sound. Empty for an empty record.
std::vector<RoomBandResult> RoomAcousticsOf(Measurement& m);

// Group delay in seconds of the current view (window, smoothing, filters), one value per
// bin; the excess group delay too when asked for.
void GroupDelayOf(Measurement& m, std::vector<double>& delay,
                  std::vector<double>* excess = nullptr);

// The energy-time curve of the current view's impulse (dB re its peak), broadband or in the
// octave band at `octaveMidband`, and each sample's time in ms from time zero.
// `peakDb`, when given, receives the peak's own level, on the scale of the response's levels.
void EnergyTimeOf(Measurement& m, double octaveMidband, std::vector<double>& timesMs,
                  std::vector<double>& db, double* peakDb = nullptr);

// The cumulative spectral decay of the current view's impulse (window off) from its
// sub-sample time zero.
Waterfall WaterfallOf(Measurement& m, const WaterfallSettings& settings);

} // namespace Kedra::Measure
