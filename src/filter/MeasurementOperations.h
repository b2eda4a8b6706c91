#pragma once
// Operations that combine or change whole measurements: arithmetic between two responses,
// level (and time) matching in a band, joining a near-field and a far-field response, and
// the minimum-phase version of a one-sided spectrum. Results are ordinary records.

#include <complex>
#include <string>
#include <vector>

#include "measure/Measurement.h"

namespace Kedra::Measure {

// result = A op B on the complex spectra (GetF), op one of "/", "*", "+", "-". Inputs on
// different grids are averaged onto the result grid: the larger bin count and the larger
// sample rate. The result is named "(A) op (B)" and may be A or B itself. False, with the
// result untouched, when A or B holds no data or the operator is unknown. Division by a
// bin of exactly 0 gives non-finite values in that bin.
bool Operation(const std::string& op, Measurement& a, Measurement& b, Measurement& result);

// Scales A so that its mean magnitude over the band fc +- bw/2 equals B's; with matchTime
// A's time offset also moves by the delay that brings its phase at fc onto B's. False, with
// A untouched, when either holds no data or the band holds no bin with a level.
bool Match(Measurement& a, Measurement& b, double fc, double bw, bool matchTime);

// Matches A to B (A is changed), then fills the result on B's grid with A below the band
// fc +- bw/2, B above it and a linear complex cross-fade across it. On different grids A is
// read at the frequency of each result bin. The result may be B itself. False, with the
// result untouched, under the conditions of Match.
bool Stitch(Measurement& a, Measurement& b, double fc, double bw, bool matchTime,
            Measurement& result);

// In place on h[0 .. count], the one-sided spectrum of N = 2 count samples (a power of two):
// keeps every magnitude and takes the minimum phase of ln(|h| + floor). With `causal` the
// impulse is then cut to time zero and later. Refused (logged, h untouched) unless count
// is a power of two.
void ApplyMinimumPhase(std::complex<double>* h, int count, double floor, bool causal);

enum class AverageMode {
    Power,  // root mean square of the magnitudes, minimum phase
    Vector, // complex mean
    Db,     // mean of the levels in dB, minimum phase
};

// The average of the inputs' spectra (GetF) into `result`, on the grid Operation uses: the
// largest bin count and sample rate. A vector average of records that are not aligned keeps
// each one's time offset relative to the first; aligned, each is taken from its own time
// zero. False, with the result untouched, for fewer than two inputs or one without data.
// The result may be one of the inputs.
bool Average(const std::vector<Measurement*>& inputs, AverageMode mode, bool align,
             Measurement& result);

} // namespace Kedra::Measure
