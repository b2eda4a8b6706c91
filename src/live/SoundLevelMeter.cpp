#include "live/SoundLevelMeter.h"

#include <algorithm>
#include <cmath>

namespace Kedra::Live {

SoundLevelMeter::SoundLevelMeter(Weighting weighting, double samplerate)
    : samplerate_(samplerate), weighting_(weighting, samplerate),
      cWeighting_(Weighting::C, samplerate), fast_(TimeWeighting::FAST_SECONDS, samplerate),
      slow_(TimeWeighting::SLOW_SECONDS, samplerate) {}

void SoundLevelMeter::Process(const float* block, int count) noexcept {
    const auto hold = static_cast<std::int64_t>(std::ceil(OVERLOAD_HOLD_SECONDS * samplerate_));
    for (int start = 0; start < count; start += CHUNK) {
        const int n = std::min(CHUNK, count - start);
        const float* in = block + start;
        weighting_.Process(in, weighted_.data(), n);
        cWeighting_.Process(in, weightedC_.data(), n);
        for (int i = 0; i < n; ++i) {
            const double y = weighted_[static_cast<std::size_t>(i)];
            const double square = y * y;
            sumSquares_ += square;
            fastMax_ = std::max(fastMax_, fast_.Process(square));
            slowMax_ = std::max(slowMax_, slow_.Process(square));
            const double peak = truePeak_.Process(weightedC_[static_cast<std::size_t>(i)]);
            peakCSpan_ = std::max(peakCSpan_, peak);
            if (std::abs(in[i]) >= FULL_SCALE) {
                if (overloadLeft_ == 0)
                    ++overloads_;
                overloadLeft_ = hold;
            } else if (overloadLeft_ > 0) {
                --overloadLeft_;
            }
        }
        samples_ += n;
    }
    peakC_ = std::max(peakC_, peakCSpan_);
}

void SoundLevelMeter::Reset() noexcept {
    weighting_.Reset();
    cWeighting_.Reset();
    fast_.Reset();
    slow_.Reset();
    truePeak_.Reset();
    ResetStatistics();
}

void SoundLevelMeter::ResetStatistics() noexcept {
    sumSquares_ = 0.0;
    samples_ = 0;
    fastMax_ = slowMax_ = peakC_ = peakCSpan_ = 0.0;
    overloadLeft_ = 0;
    overloads_ = 0;
}

double SoundLevelMeter::Level(double meanSquare) const {
    // AES17: the mean square of a full-scale sine is 1/2.
    if (!(meanSquare > 0.0))
        return FLOOR_DB;
    return std::max(FLOOR_DB, 10.0 * std::log10(2.0 * meanSquare) + offsetDb_);
}

double SoundLevelMeter::PeakLevel(double peak) const {
    return Level(peak * peak);
}

SoundLevelReadings SoundLevelMeter::Readings() const {
    SoundLevelReadings r;
    r.seconds = static_cast<double>(samples_) / samplerate_;
    r.fast = Level(fast_.MeanSquare());
    r.slow = Level(slow_.MeanSquare());
    r.leq = samples_ > 0 ? Level(sumSquares_ / static_cast<double>(samples_)) : FLOOR_DB;
    r.fastMax = Level(fastMax_);
    r.slowMax = Level(slowMax_);
    // The exposure re 1 s: the energy summed over the run's seconds.
    r.sel = Level(sumSquares_ / samplerate_);
    r.peakC = PeakLevel(peakC_);
    r.overload = overloadLeft_ > 0;
    r.overloads = overloads_;
    return r;
}

double SoundLevelMeter::TakePeakC() noexcept {
    const double level = PeakLevel(peakCSpan_);
    peakCSpan_ = 0.0;
    return level;
}

} // namespace Kedra::Live
