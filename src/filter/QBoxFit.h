#pragma once
// Fits the closed-box model (QBox: a second-order high-pass with quality factor Q and
// resonance fc, plus a level) to the magnitude of a measurement between two frequencies, by
// exhaustive search in three passes of increasing fineness. The error is the sum of squared
// dB differences after removing the mean level difference; the model is compared with the
// measurement as displayed, its low-pass and high-pass view filters included.

#include "measure/Measurement.h"

namespace Kedra::Measure {

// Bins from round(f1 N/fs) up to, not including, round(f2 N/fs) take part (never DC, never
// past Nyquist). q, fc (Hz) and gain (linear) are written only by a candidate that fits
// strictly better than every earlier one, so they hold either the caller's values or the
// best fit. True when a fit was written; false, with the outputs untouched, when the record
// holds no data or the range holds no bin (both logged), or no candidate had a finite error.
bool QBoxFit(Measurement& measurement, double f1, double f2, double& q, double& fc, double& gain);

} // namespace Kedra::Measure
