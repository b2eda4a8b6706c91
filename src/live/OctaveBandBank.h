#pragma once
// Octave and one-third-octave band levels of a signal, as a bank of band-pass filters with
// base-ten midbands (G = 10^(3/10), 1000 Hz * G^(x/b)). Each band is an eighth-order
// Butterworth band-pass (analyze/RoomAcoustics' design, edges at midband * G^(+-1/(2b)),
// pre-warped); the low bands run at a rate divided by powers of two, reached through a chain
// of half-band decimators, so that no filter works far below a fifth of its own rate, where
// its poles crowd z = 1 and its cost is wasted. Per band: Leq since the last ResetLevels,
// the time-weighted levels F (125 ms) and S (1 s) as exponential averages of the squared band
// signal, and their maxima.
//
// Levels are dB re full scale (AES17: a full-scale sine reads 0 dB); a caller with an SPL
// reference adds its offset. One thread calls everything (the analysis thread, or whoever
// reads a file); Process allocates nothing.

#include <array>
#include <vector>

#include "analyze/RoomAcoustics.h"

namespace Kedra::Live {

// A silent band reads this rather than minus infinity.
inline constexpr double LEVEL_FLOOR_DB = -300.0;
// 10 log10(2 * meanSquare), the AES17 level of a mean square; LEVEL_FLOOR_DB at most.
double MeanSquareToDb(double meanSquare);

inline constexpr double FAST_SECONDS = 0.125;
inline constexpr double SLOW_SECONDS = 1.0;

// The exact midband of band x (0 at 1000 Hz) of a 1/b-octave series, base ten: odd b
// centres a band on 1000 Hz, even b puts two band edges there.
double ExactMidband(int x, int bandsPerOctave);
// The ratio of a 1/b-octave band's upper edge to its midband, G^(1/(2b)).
double BandEdgeRatio(int bandsPerOctave);

class OctaveBandBank {
public:
    // bandsPerOctave 1 (31.5 Hz .. 16 kHz) or 3 (20 Hz .. 20 kHz); of those, the bands whose
    // upper edge lies below half the sample rate. Any other count gives no band.
    OctaveBandBank(double sampleRate, int bandsPerOctave);
    static bool Supports(int bandsPerOctave) { return bandsPerOctave == 1 || bandsPerOctave == 3; }

    void Process(const float* block, int count) noexcept;
    // Filters, decimators and every level back to silence.
    void Reset();
    // Leq and the maxima start again; the filters and F and S go on.
    void ResetLevels();
    // Only the maxima start again, from the present F and S levels.
    void ResetMaxima();

    int BandCount() const { return static_cast<int>(bands_.size()); }
    int BandsPerOctave() const { return bandsPerOctave_; }
    double SampleRate() const { return sampleRate_; }
    double Midband(int band) const { return bands_[static_cast<std::size_t>(band)].midband; }
    // The nominal midband (20, 25, 31.5, ... 20000).
    double Nominal(int band) const { return bands_[static_cast<std::size_t>(band)].nominal; }
    // The band's rate is the sample rate divided by 2^Decimation.
    int Decimation(int band) const { return bands_[static_cast<std::size_t>(band)].stage; }

    double LeqDb(int band) const;
    double FastDb(int band) const;
    double SlowDb(int band) const;
    double MaxFastDb(int band) const;
    double MaxSlowDb(int band) const;

private:
    struct Section {
        Kedra::Measure::Biquad q;
        double z1 = 0.0, z2 = 0.0;
    };
    struct Band {
        double midband = 0.0, nominal = 0.0;
        int stage = 0;
        std::vector<Section> sections;
        double sum = 0.0; // squared samples since ResetLevels
        long long count = 0;
        double fast = 0.0, slow = 0.0, maxFast = 0.0, maxSlow = 0.0;
    };
    // A half-band low-pass keeping every second sample: flat (0.001 dB) to 0.175 of its input
    // rate, at least 100 dB down from 0.325.
    static constexpr int DECIMATOR_TAPS = 47;
    struct Decimator {
        std::array<double, 2 * DECIMATOR_TAPS> history{};
        int position = 0;
        bool odd = false;
    };
    struct Stage {
        int firstBand = 0, endBand = 0;
        double fast = 0.0, slow = 0.0; // per-sample weights of the exponential averages
    };

    void RunStage(int stage, double x) noexcept;
    bool Decimate(Decimator& d, double x, double& y) const noexcept;

    double sampleRate_;
    int bandsPerOctave_;
    std::vector<Band> bands_; // highest first: stage 0, then each lower rate in turn
    std::vector<Stage> stages_;
    std::vector<Decimator> decimators_; // decimators_[k - 1] feeds stage k
    std::array<double, DECIMATOR_TAPS> taps_{};
    std::vector<int> liveTaps_; // the taps that are not zero
};

} // namespace Kedra::Live
