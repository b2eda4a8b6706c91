#pragma once
// The dual-channel transfer function: H1 = Gxy / Gxx between a reference x (what goes into the
// system) and a measurement y (what comes out), with the magnitude-squared coherence
// g2 = |Gxy|^2 / (Gxx Gyy). The spectra are Welch averages of Hann-windowed segments.
//
// The reference is delayed by the delay SetDelay gives (the measurement, for a negative one)
// before averaging: the whole samples through a delay line, the fraction as a phase turn of
// the readings. The readings' phase is thus the system's with that delay removed.
//
// Two resolutions:
//  - Fixed: one FFT of N samples (a power of two, TF_MIN_FFT .. TF_MAX_FFT), every bin from
//    fs/N to fs/2.
//  - Constant: 1/b octave or finer (b = 3, 6, 12, 24 or 48) from several FFT lengths. With
//    K = ceil(1 / (2^(1/b) - 1)) (35 for 1/24 octave), bin k of a length is 1/b octave or finer
//    from k = K on. The longest length L is the shortest power of two (at most 2^19) with
//    K fs / L <= 20 Hz; it gives the bins from fs/L up to 2K fs/L. Each length of half the one
//    before takes over at the bin where the one before reaches 2K, from its own bin K, down to
//    TF_MIN_CONSTANT_FFT, which runs to fs/2. At 48 kHz and 1/24 octave: 131072 up to 25.6 Hz,
//    65536 to 51.3 Hz, 32768 to 102.5 Hz, 16384 to 205 Hz, 8192 to 410 Hz, 4096 to 820 Hz,
//    2048 to 1641 Hz, 1024 to 3281 Hz and 512 to 24 kHz: 536 points, 1/24 octave at 20 Hz.
//    The long lengths need long input: 8 segments of 131072 at 50 % overlap are 12.3 s.
//
// A coherence needs TF_MIN_COHERENCE_SEGMENTS averaged segments (one segment always gives 1):
// until then a point's coherence reads NaN; its `segments` says how many it has.
//
// One thread calls everything; Process allocates nothing.

#include <complex>
#include <string>
#include <vector>

namespace Kedra::Live {

enum class TfResolution { Fixed, Constant };
enum class TfAverage { Infinite, Exponential };

inline constexpr int TF_MIN_FFT = 1 << 8;
inline constexpr int TF_MAX_FFT = 1 << 18;
inline constexpr int TF_MIN_CONSTANT_FFT = 1 << 9;
inline constexpr int TF_MAX_CONSTANT_FFT = 1 << 19;
inline constexpr int TF_MIN_COHERENCE_SEGMENTS = 8;
inline constexpr double TF_MIN_RATE = 8000.0;
inline constexpr double TF_MAX_RATE = 192000.0;

struct TfSettings {
    TfResolution resolution = TfResolution::Fixed;
    int fftSize = 1 << 14;   // Fixed
    int bandsPerOctave = 24; // Constant: 3, 6, 12, 24 or 48
    double overlap = 0.5;    // 0.5 .. 0.75
    TfAverage average = TfAverage::Infinite;
    double timeConstant = 2.0; // Exponential: seconds, above 0
};

// Empty when the settings can be used at this rate, else why not, in the user's words.
std::string CheckTfSettings(const TfSettings& settings, double sampleRate);

struct TfPoint {
    double frequency = 0.0;
    std::complex<double> h; // H1, the delay removed; NaN while the reference held nothing there
    double coherence = 0.0; // 0 .. 1; NaN before TF_MIN_COHERENCE_SEGMENTS segments
    long long segments = 0; // averaged into this point so far
    int fftSize = 0;        // the length it comes from
};

double MagnitudeDb(std::complex<double> h);
// -180 .. 180.
double PhaseDeg(std::complex<double> h);

// The points (those with an answer) as the n/2 + 1 bins of an FFT of n samples from 0 Hz to
// fs/2, for a measurement's spectrum: magnitude and unwrapped phase linear between the points,
// held beyond the first and the last; DC and Nyquist real (the nearest point's magnitude, with
// the sign of its real part). Empty when no point has an answer.
std::vector<std::complex<double>> TfBins(const std::vector<TfPoint>& points, int n, double fs);

class TransferFunction {
public:
    // Settings that CheckTfSettings refuses give an instrument that takes nothing.
    TransferFunction(double sampleRate, const TfSettings& settings);
    TransferFunction(const TransferFunction&) = delete;
    TransferFunction& operator=(const TransferFunction&) = delete;

    bool Usable() const { return usable_; }
    const TfSettings& Settings() const { return settings_; }
    double SampleRate() const { return sampleRate_; }

    void Process(const float* ref, const float* meas, int count) noexcept;
    // The averages and the aligned history emptied; the delay lines keep the stream.
    void Reset();

    // Delay of the measurement behind the reference in samples, |delay| at most MaxDelay();
    // a change empties the averages (they were taken with the other alignment).
    void SetDelay(double samples);
    double Delay() const { return delay_; }
    int MaxDelay() const { return maxDelay_; }

    // The FFT lengths, longest first, and the points over all of them in rising frequency.
    std::vector<int> FftSizes() const;
    std::vector<TfPoint> Points() const;
    // Segments of the length that has the fewest (the longest).
    long long Segments() const;

private:
    struct Layer {
        int size = 0, hop = 0, firstBin = 0, endBin = 0; // bins firstBin .. endBin - 1
        int countdown = 0;
        long long segments = 0;
        std::vector<double> window, x, y;
        std::vector<std::complex<double>> fx, fy, gxy;
        std::vector<double> gxx, gyy;
    };
    void Analyse(Layer& layer) noexcept;

    double sampleRate_;
    TfSettings settings_;
    bool usable_ = false;
    double delay_ = 0.0;
    int maxDelay_ = 0;
    int refShift_ = 0, measShift_ = 0; // whole samples each channel is delayed by
    // Delay lines and the aligned history, rings of a power of two.
    std::vector<float> refLine_, measLine_, alignedRef_, alignedMeas_;
    int lineMask_ = 0, historyMask_ = 0;
    long long streamed_ = 0; // samples into the delay lines since construction
    int lineAt_ = 0, historyAt_ = 0;
    long long aligned_ = 0; // aligned samples since Reset
    std::vector<Layer> layers_;
};

} // namespace Kedra::Live
