#pragma once
// The narrowband real-time analyser: windowed FFT frames of 2^10 .. 2^16 samples with
// overlap, their power spectra averaged (the last N frames, exponentially with a time
// constant, or all of them) with a peak hold beside, and fractional-octave bands (1/1 .. 1/48)
// summed from the bins.
//
// Scales, both dB re full scale after AES17 (a full-scale sine reads 0 dB):
//  - LevelDb (what the analyser shows): a sine centred on a bin reads its own level; the
//    window's coherent gain is divided out. A sine between bins reads less by the window's
//    scalloping (Hann up to 1.42 dB, flat-top under 0.1 dB).
//  - DensityDb: noise reads its power spectral density, dB re full scale per Hz, the level
//    divided by the window's equivalent noise bandwidth in Hz; it integrates over 0 .. fs/2 to
//    the noise's own level.
// One thread calls everything; Process allocates nothing.

#include <complex>
#include <string>
#include <vector>

namespace Kedra::Live {

enum class RtaWindow { Hann, FlatTop };
enum class RtaAverage { Fifo, Exponential, Infinite };

inline constexpr int RTA_MIN_FFT = 1 << 10;
inline constexpr int RTA_MAX_FFT = 1 << 16;
inline constexpr int RTA_MAX_FIFO = 128;

struct RtaSettings {
    int fftSize = 1 << 14;
    RtaWindow window = RtaWindow::Hann;
    double overlap = 0.75; // share of a frame the next one repeats, 0 .. 0.99
    RtaAverage average = RtaAverage::Exponential;
    int fifoFrames = 8;        // Fifo: 1 .. 128
    double timeConstant = 1.0; // Exponential: seconds, above 0
    int bandsPerOctave = 0;    // the bands Bands() gives: 1, 3, 6, 12, 24, 48, or 0 for none
};

// Empty when the settings can be used, else why not, in the user's words.
std::string CheckRtaSettings(const RtaSettings& settings);

struct RtaBand {
    double midband = 0.0;
    double levelDb = 0.0; // the averaged spectrum's power in the band
    double peakDb = 0.0;  // the band's loudest frame
};

class NarrowbandRta {
public:
    // Settings that CheckRtaSettings refuses give an analyser that takes no frame.
    NarrowbandRta(double sampleRate, const RtaSettings& settings);
    NarrowbandRta(const NarrowbandRta&) = delete;
    NarrowbandRta& operator=(const NarrowbandRta&) = delete;

    void Process(const float* block, int count) noexcept;
    void Reset();
    // The peak hold starts again from the last frame; the average goes on.
    void ResetPeaks();

    const RtaSettings& Settings() const { return settings_; }
    double SampleRate() const { return sampleRate_; }
    int BinCount() const { return usable_ ? settings_.fftSize / 2 + 1 : 0; }
    double BinWidth() const { return sampleRate_ / settings_.fftSize; }
    int Hop() const { return hop_; }
    long long Frames() const { return frames_; }
    // Mean of the window and its equivalent noise bandwidth in bins.
    double CoherentGain() const { return coherentGain_; }
    double EquivalentNoiseBandwidth() const { return enbw_; }

    double LevelDb(int bin) const;
    double DensityDb(int bin) const;
    double PeakDb(int bin) const;

    // The settings' 1/b-octave bands with base-ten midbands from 20 Hz to 20 kHz, those
    // whose upper edge lies below fs/2 and which are at least as wide as the window's noise
    // bandwidth: the bins' power, the noise bandwidth divided out, with the edge bins shared
    // by the part of them inside the band.
    std::vector<RtaBand> Bands() const;

private:
    struct Span {
        double midband, lower, upper;
        int from, to; // the bins it touches
    };
    void Analyse() noexcept;
    double BandPower(const Span& span, const double* power) const noexcept;
    double Average(int bin) const;

    double sampleRate_;
    RtaSettings settings_;
    bool usable_ = false;
    int hop_ = 1;
    double coherentGain_ = 1.0, enbw_ = 1.0;
    double sineScale_ = 0.0; // |X|^2 to a sine's mean square
    double alpha_ = 1.0;     // exponential weight per frame
    std::vector<double> window_, input_, frame_, power_, sum_, peak_, fifo_;
    std::vector<std::complex<double>> spectrum_;
    std::vector<Span> spans_;
    std::vector<double> bandPeak_; // per span, the loudest frame's power
    int filled_ = 0;
    long long frames_ = 0;
    int fifoNext_ = 0;
};

} // namespace Kedra::Live
