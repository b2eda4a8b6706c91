#pragma once
// The analyser as the command line runs it, over a stream of blocks from a wave file or card:
// 1/1 and 1/3-octave bands from the filter bank (Leq since the start and the highest F level
// per band), or narrower bands (1/6 .. 1/48) or the bins themselves from the FFT analyser
// (its average at the end and its peak hold). One thread; Process allocates nothing.

#include <memory>
#include <string>
#include <vector>

#include "live/FrequencyWeighting.h"
#include "live/NarrowbandRta.h"
#include "live/OctaveBandBank.h"

namespace Kedra::Live {

struct RtaChoice {
    int bandsPerOctave = 3; // 1, 3, 6, 12, 24 or 48; ignored when fftSize is set
    int fftSize = 0;        // a power of two from 1024 to 65536: one row per bin
    bool averageGiven = false;
    RtaSettings fft; // the FFT analyser's window, overlap and average
};

// The frame of FFT bands: fine enough for 1/12-octave bands from 20 Hz at 48 kHz.
inline constexpr int RTA_BAND_FFT = 1 << 16;

// "fifo:N", "exp:SECONDS" or "inf" into `settings`; empty, or why the text is no average.
std::string ParseRtaAverage(const std::string& text, RtaSettings& settings);
// Empty when the choice can be run at that rate, else why not.
std::string CheckRtaChoice(const RtaChoice& choice, double sampleRate);

struct RtaRow {
    double frequency = 0.0; // band midband or bin frequency, Hz
    double leqDb = 0.0;
    double maxDb = 0.0;
};

// Which of the filter bank's levels a display shows per band.
enum class RtaLevel { Fast, Slow, Leq };

// A band or bin as a display shows it: its level and the highest since ResetPeaks.
struct RtaReading {
    double frequency = 0.0;
    double levelDb = 0.0;
    double peakDb = 0.0;
};

class RtaAnalysis {
public:
    // The choice must have passed CheckRtaChoice.
    RtaAnalysis(double sampleRate, const RtaChoice& choice);
    void Process(const float* block, int count) noexcept;
    // The FFT frames analysed so far (0 for the filter bank).
    long long Frames() const { return fft_ ? fft_->Frames() : 0; }
    bool UsesFft() const { return fft_ != nullptr; }
    int FrameSize() const { return fft_ ? fft_->Settings().fftSize : 0; }
    std::vector<RtaRow> Rows() const;
    // Into `out` (resized): the filter bank's F, S or Leq level with the highest F level (S
    // for S); the FFT's average with its peak hold, whatever `level`.
    void Readings(RtaLevel level, std::vector<RtaReading>& out) const;
    // The peaks start again from the present levels; the averages and Leq go on.
    void ResetPeaks();

private:
    RtaChoice choice_;
    std::unique_ptr<OctaveBandBank> bank_;
    std::unique_ptr<NarrowbandRta> fft_;
};

// The analysis behind a frequency weighting (Z: none), as the command line and the window
// run it on their blocks. One thread; Process allocates only when a block is larger than any
// before.
class WeightedRta {
public:
    WeightedRta(Weighting weighting, double rate, const RtaChoice& choice);
    void Process(const float* block, int count);
    RtaAnalysis analysis;

private:
    std::unique_ptr<FrequencyWeighting> filter_;
    std::vector<double> weighted_;
    std::vector<float> narrow_;
};

// The rows as text with the header `frequency_hz,leq_db,max_db`.
std::string RtaRowsCsv(const std::vector<RtaRow>& rows);

} // namespace Kedra::Live
