#pragma once
// Fitted filters written for the equalisers people own, one text per format.

#include <string>
#include <vector>

#include "filter/Equaliser.h"

namespace Kedra::Filter {

enum class EqFormat { CamillaDsp, Apo, MiniDsp, Sox, Text };

// "camilladsp", "apo", "minidsp", "sox", "text"; false for another name.
bool ParseEqFormat(const std::string& name, EqFormat& format);

// The largest boost of the cascade in dB over 10 Hz .. the lower of 20 kHz and 0.45 rate
// (0 when it only cuts): the preamp that keeps a full-scale signal from clipping.
double EqPreampDb(const std::vector<EqFilter>& filters, double rate);

// The file's text:
//  camilladsp: filters eq_1 .. (Biquad Peaking/Lowshelf/Highshelf, freq, gain, q), a Gain
//              filter eq_preamp when anything boosts, and a pipeline step using them;
//  apo:        "Preamp: -X dB" and "Filter N: ON PK Fc F Hz Gain G dB Q Q" (LSC/HSC shelves);
//  minidsp:    biquadN blocks at `rate`, a1 and a2 negated as that format wants;
//  sox:        "gain -P" then "equalizer F Qq G" per peaking filter ("bass"/"treble" for
//              shelves), for `sox in.wav out.wav $(cat FILE)`;
//  text:       the table with the before/after figures.
// `rate` is the rate the biquads run at (minidsp coefficients, the preamp).
std::string EqExportText(const EqFit& fit, EqFormat format, double rate);

} // namespace Kedra::Filter
