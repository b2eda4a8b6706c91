#include "live/TfSession.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>

#include "foundation/Fft.h"

namespace Kedra::Live {

namespace {

// How often a search that has held enough looks again, and how often the coherence is watched.
constexpr double RETRY_SECONDS = 0.5;
constexpr double WATCH_SECONDS = 0.25;
// A new delay closer than this to the one in use is the same: the averages stay.
constexpr double SAME_DELAY_SAMPLES = 0.01;

} // namespace

std::vector<float> PinkNoise(int fs, int length) {
    int period = 1;
    while (period < length)
        period <<= 1;
    std::vector<std::complex<double>> bins(static_cast<std::size_t>(period / 2 + 1));
    std::mt19937 random(30);
    std::uniform_real_distribution<double> phase(0.0, 6.283185307179586);
    for (std::size_t k = 1; k + 1 < bins.size(); ++k) {
        const double f = static_cast<double>(k) * fs / period;
        if (f >= 20.0 && f <= 20000.0)
            bins[k] = std::polar(1.0 / std::sqrt(f), phase(random));
    }
    std::vector<double> one(static_cast<std::size_t>(period));
    // Any scale: the peak is brought to 1 below.
    Kedra::Math::FFTPow2FreqToTime(bins.data(), one.data(), period, false, true);
    double peak = 0.0;
    for (const double v : one)
        peak = std::max(peak, std::fabs(v));
    std::vector<float> out(static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = peak > 0.0 ? static_cast<float>(one[i] / peak) : 0.0f;
    return out;
}

PinkNoiseLoop::PinkNoiseLoop(int fs, int period)
    : PCMGenerator(Kedra::PAudioII::GENERATOR_KIND_PLAIN), samples_(PinkNoise(fs, period)) {}

bool PinkNoiseLoop::NextSample(float* out, bool* isFirst) noexcept {
    // Endless noise has no start to line a recording up with.
    *isFirst = false;
    *out = samples_.empty() ? 0.0f : samples_[at_];
    if (++at_ >= samples_.size())
        at_ = 0;
    return true;
}

TfSession::TfSession(double sampleRate, const TfSettings& settings)
    : fs_(sampleRate), tf_(sampleRate, settings), finder_(sampleRate, FINDER_SECONDS) {}

void TfSession::FindAgain() {
    finder_.Reset();
    searching_ = true;
    lowFor_ = 0;
}

void TfSession::Process(const float* ref, const float* meas, int count) noexcept {
    if (aligned_)
        tf_.Process(ref, meas, count);
    if (searching_) {
        finder_.Process(ref, meas, count);
        sinceWatch_ += count;
        const int enough = static_cast<int>(std::lround(FINDER_SECONDS * fs_));
        if (finder_.Held() >= enough &&
            (!tried_ || sinceWatch_ >= std::lround(RETRY_SECONDS * fs_))) {
            tried_ = true;
            sinceWatch_ = 0;
            try {
                delay_ = finder_.Find();
            } catch (...) {
                delay_ = DelayResult{};
                delay_.why = "the delay finder ran out of memory";
            }
            ++searches_;
            if (delay_.found) {
                searching_ = false;
                tried_ = false;
                if (!aligned_ || std::fabs(delay_.samples - tf_.Delay()) > SAME_DELAY_SAMPLES)
                    tf_.SetDelay(delay_.samples);
                aligned_ = true;
                lowFor_ = 0;
            }
        }
        return;
    }
    sinceWatch_ += count;
    const long long every = std::lround(WATCH_SECONDS * fs_);
    if (sinceWatch_ >= every) {
        const long long elapsed = sinceWatch_;
        sinceWatch_ = 0;
        WatchCoherence();
        lowFor_ = median_ < refindBelow_ ? lowFor_ + elapsed : 0;
        if (lowFor_ >= std::lround(REFIND_SECONDS * fs_)) {
            ++coherenceSearches_;
            FindAgain();
        }
    }
}

void TfSession::WatchCoherence() {
    band_.clear();
    try {
        for (const TfPoint& p : tf_.Points())
            if (p.frequency >= COHERENCE_LOW_HZ && p.frequency <= COHERENCE_HIGH_HZ &&
                !std::isnan(p.coherence))
                band_.push_back(p.coherence);
    } catch (...) {
        band_.clear();
    }
    if (band_.empty()) {
        median_ = std::nan("");
        return;
    }
    auto mid = band_.begin() + static_cast<std::ptrdiff_t>(band_.size() / 2);
    std::nth_element(band_.begin(), mid, band_.end());
    median_ = *mid;
}

} // namespace Kedra::Live
