#pragma once
// The frequency grid shared by every effect of one design: N time samples per period
// (odd, so that the impulse spans exactly -half .. +half around time zero) and the
// one-sided bins 0 .. half.

#include <string>

namespace Kedra::Filter {

struct FrequencyGrid {
    int n = 3;
    int half = 1;           // (n - 1) / 2
    double fs = 48000.0;    // Hz
    double binsPerHz = 0.0; // n / fs
    double df = 0.0;        // Hz per bin, fs / n
    double invN = 0.0;
    double twoPiOverN = 0.0;

    static constexpr int MIN_N = 3;
    // Keeps the work areas (several arrays of n doubles) within reason.
    static constexpr int MAX_N = (1 << 24) + 1;
    static constexpr double DEFAULT_FS = 48000.0;

    // Builds a usable grid from any request: n below MIN_N becomes MIN_N, an even n is
    // raised to the next odd one, n above MAX_N becomes MAX_N, and a sample rate that is
    // not a positive finite number becomes DEFAULT_FS. `note` receives a description of
    // every correction made (empty when the request was used as given).
    static FrequencyGrid Make(int n, double fs, std::string* note = nullptr);

    double BinToHz(double bin) const { return bin * df; }
    double HzToBin(double f) const { return f * binsPerHz; }
};

} // namespace Kedra::Filter
