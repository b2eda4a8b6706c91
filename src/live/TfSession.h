#pragma once
// A live transfer function as the instruments run it: the first seconds of the two inputs find
// the delay, then the transfer function measures with it. The delay is found again on request,
// or when the median coherence over COHERENCE_LOW_HZ .. COHERENCE_HIGH_HZ stays under a
// threshold for REFIND_SECONDS (the system moved: a microphone, a delay in the chain). Meanwhile
// the transfer function goes on with the delay it had.
//
// One thread calls everything (the analysis thread: Find takes milliseconds). Also the
// simulated card's programme, pink noise, for a live run that plays one.

#include <cstdint>
#include <vector>

#include "audio/PCMGenerator.h"
#include "live/DelayFinder.h"
#include "live/TransferFunction.h"

namespace Kedra::Live {

// Pink noise (-3 dB per octave) from 20 Hz to 20 kHz, random phases, its peak at full scale,
// periodic over the power of two at or above `length`.
std::vector<float> PinkNoise(int fs, int length);

// Pink noise without end: one period of PinkNoise over and over (a period of 2^18 samples and
// more is longer than any FFT the transfer function takes, so the repetition is unseen).
class PinkNoiseLoop : public Kedra::PAudioII::PCMGenerator {
public:
    explicit PinkNoiseLoop(int fs, int period = 1 << 18);
    bool NextSample(float* out, bool* isFirst) noexcept override;
    void Reset() override { at_ = 0; }

private:
    std::vector<float> samples_;
    std::size_t at_ = 0;
};

class TfSession {
public:
    static constexpr double FINDER_SECONDS = 2.0;
    static constexpr double COHERENCE_LOW_HZ = 100.0;
    static constexpr double COHERENCE_HIGH_HZ = 10000.0;
    static constexpr double REFIND_SECONDS = 3.0;

    TfSession(double sampleRate, const TfSettings& settings);

    void Process(const float* ref, const float* meas, int count) noexcept;
    // Searches again from the next samples on.
    void FindAgain();
    // Below `threshold` (0 .. 1; 0 never) the median coherence asks for a new search.
    void SetRefindBelow(double threshold) { refindBelow_ = threshold; }

    bool Aligned() const { return aligned_; }
    bool Searching() const { return searching_; }
    // The last search's outcome (not found before the first has ended).
    const DelayResult& Delay() const { return delay_; }
    // Searches ended so far, and of them started by the coherence falling.
    int Searches() const { return searches_; }
    int CoherenceSearches() const { return coherenceSearches_; }
    // The median coherence over the band the last time it was looked at; NaN while none.
    double MedianCoherence() const { return median_; }

    const TransferFunction& Tf() const { return tf_; }
    TransferFunction& Tf() { return tf_; }

private:
    void WatchCoherence();

    double fs_;
    TransferFunction tf_;
    DelayFinder finder_;
    DelayResult delay_;
    bool aligned_ = false, searching_ = true;
    int searches_ = 0, coherenceSearches_ = 0;
    double refindBelow_ = 0.0, median_ = 0.0;
    long long sinceWatch_ = 0, lowFor_ = 0;
    bool tried_ = false;
    std::vector<double> band_;
};

} // namespace Kedra::Live
