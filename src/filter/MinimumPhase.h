#pragma once
// Minimum phase and phase only, in place on a one-sided response of an odd-length grid.

#include <complex>

namespace Kedra::Filter {

// h holds bins 0 .. n/2 of a grid of n points (n odd in use). Keeps each magnitude and
// replaces the phase by the minimum phase of the magnitude curve, from the real cepstrum
// of ln(|h| + 1e-10); the result is then made causal (samples before time zero removed).
// Uses the process-wide minimum-phase work area and FFT work area (not thread-safe).
void MakeMinimumPhase(std::complex<double>* h, int n);

// A response that vanishes at DC (a zero of order p there) has ln|h| -> -inf, and the
// floored sample at bin 0 becomes a spike whose Hilbert transform bends the phase of every
// bin by an error that falls only as 1/bin (tens of degrees near the bottom of a closed box).
// When |h[0]| is below a thousandth of |h[1]| and the magnitude rises through bins 1 and 2,
// logMagnitude[0] is replaced by the mean of p ln f over the DC bin, with p from bins 1 and 2.
void RepairLogAtZeroDc(const double* magnitude, double* logMagnitude, int bins);

// Each bin becomes h / |h|, or 0 where |h| = 0.
void MakePhaseOnly(std::complex<double>* h, int bins);

// Frees the minimum-phase work area; the next use creates it again.
void ReleaseMinimumPhaseWorkArea();

} // namespace Kedra::Filter
