#pragma once
// Signals the live instruments' tests generate, and the standard's analogue weightings as an
// independent truth.

#include <cmath>
#include <numbers>
#include <vector>

namespace LiveTest {

// amplitude * sin(2 pi f n / fs) for `count` samples.
inline std::vector<float> Sine(double f, double fs, int count, double amplitude = 1.0) {
    std::vector<float> x(static_cast<std::size_t>(count));
    for (int n = 0; n < count; ++n)
        x[static_cast<std::size_t>(n)] =
            static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * f * n / fs));
    return x;
}

// The analogue A and C weightings, dB, from their poles and the 1 kHz normalisation constants.
inline double AnalogueWeightingDb(char letter, double f) {
    const double f1 = 20.598997, f2 = 107.65265, f3 = 737.86223, f4 = 12194.217;
    const double ff = f * f;
    if (letter == 'C')
        return 20.0 * std::log10(f4 * f4 * ff / ((ff + f1 * f1) * (ff + f4 * f4))) + 0.062;
    if (letter == 'A')
        return 20.0 * std::log10(f4 * f4 * ff * ff /
                                 ((ff + f1 * f1) * std::sqrt((ff + f2 * f2) * (ff + f3 * f3)) *
                                  (ff + f4 * f4))) +
               2.000;
    return 0.0;
}

} // namespace LiveTest
