#include "live/OctaveBandBank.h"

#include <algorithm>
#include <cmath>

#include "foundation/MathConstants.h"

namespace Kedra::Live {

namespace {

using Kedra::Math::PI;

// The base-ten octave ratio.
const double G = std::pow(10.0, 0.3);

// A band runs at the lowest rate r = fs / 2^k that keeps its midband at or below FRACTION * r.
// The decimators pass 0.35 r flat and fold what lay between 0.5 r and 0.65 r down to
// 0.35 r .. 0.5 r: for a one-third-octave band at 0.2 r that lies beyond G^1.5 of its midband,
// where its own filter takes 50 dB away; an octave band is wider and stays at 0.125 r, so that
// what folds comes from beyond G^2 (40.5 dB allowed) and lands beyond 2.8 times its midband.
double RateFraction(int bandsPerOctave) {
    return bandsPerOctave == 1 ? 0.125 : 0.2;
}

// The nominal midbands are the R10 series: 1, 1.25, 1.6, ... 8 times a power of ten.
double NominalOfThird(int x) {
    static const double mantissa[10] = {1.0, 1.25, 1.6, 2.0, 2.5, 3.15, 4.0, 5.0, 6.3, 8.0};
    const int decade = (x >= 0 ? x : x - 9) / 10;
    return mantissa[x - 10 * decade] * std::pow(10.0, 3 + decade);
}

} // namespace

double MeanSquareToDb(double meanSquare) {
    if (!(meanSquare > 0.0))
        return LEVEL_FLOOR_DB;
    return std::max(LEVEL_FLOOR_DB, 10.0 * std::log10(2.0 * meanSquare));
}

double ExactMidband(int x, int bandsPerOctave) {
    const double b = bandsPerOctave;
    if (bandsPerOctave % 2 == 1)
        return 1000.0 * std::pow(G, x / b);
    return 1000.0 * std::pow(G, (2.0 * x + 1.0) / (2.0 * b));
}

double BandEdgeRatio(int bandsPerOctave) {
    return std::pow(G, 1.0 / (2.0 * bandsPerOctave));
}

OctaveBandBank::OctaveBandBank(double sampleRate, int bandsPerOctave)
    : sampleRate_(sampleRate), bandsPerOctave_(bandsPerOctave) {
    if (!Supports(bandsPerOctave) || !(sampleRate > 0.0))
        return;
    // In thirds of an octave from 1 kHz: 20 Hz .. 20 kHz, or 31.5 Hz .. 16 kHz in octaves.
    const int step = bandsPerOctave == 3 ? 1 : 3;
    const int lowest = bandsPerOctave == 3 ? -17 : -15;
    const int highest = bandsPerOctave == 3 ? 13 : 12;
    const double edge = BandEdgeRatio(bandsPerOctave);
    const double fraction = RateFraction(bandsPerOctave);
    for (int x = highest; x >= lowest; x -= step) {
        Band band;
        band.midband = ExactMidband(x / step, bandsPerOctave);
        band.nominal = NominalOfThird(x);
        if (band.midband * edge >= 0.5 * sampleRate)
            continue;
        band.stage = std::max(
            0, static_cast<int>(std::floor(std::log2(fraction * sampleRate / band.midband))));
        const double rate = sampleRate / std::ldexp(1.0, band.stage);
        for (const auto& q : Kedra::Measure::BandPassFilter(band.midband, edge, rate))
            band.sections.push_back({q, 0.0, 0.0});
        bands_.push_back(std::move(band));
    }
    if (bands_.empty())
        return;
    const int stageCount = bands_.back().stage + 1;
    stages_.resize(static_cast<std::size_t>(stageCount));
    for (int k = 0; k < stageCount; ++k) {
        Stage& s = stages_[static_cast<std::size_t>(k)];
        const double rate = sampleRate / std::ldexp(1.0, k);
        s.fast = 1.0 - std::exp(-1.0 / (FAST_SECONDS * rate));
        s.slow = 1.0 - std::exp(-1.0 / (SLOW_SECONDS * rate));
        s.firstBand = BandCount();
        s.endBand = 0;
        for (int i = 0; i < BandCount(); ++i)
            if (bands_[static_cast<std::size_t>(i)].stage == k) {
                s.firstBand = std::min(s.firstBand, i);
                s.endBand = i + 1;
            }
        if (s.endBand == 0)
            s.firstBand = 0;
    }
    decimators_.resize(static_cast<std::size_t>(stageCount - 1));

    // Kaiser-windowed half-band: beta 10 for 100 dB; every second tap beside the centre is 0.
    constexpr int MIDDLE = (DECIMATOR_TAPS - 1) / 2;
    const double beta = 10.06;
    double sum = 0.0;
    for (int n = 0; n < DECIMATOR_TAPS; ++n) {
        const int k = n - MIDDLE;
        const double r = static_cast<double>(k) / MIDDLE;
        const double window =
            std::cyl_bessel_i(0.0, beta * std::sqrt(1.0 - r * r)) / std::cyl_bessel_i(0.0, beta);
        const double sinc = k == 0 ? 0.5 : std::sin(0.5 * PI * k) / (PI * k);
        taps_[static_cast<std::size_t>(n)] = sinc * window;
        sum += taps_[static_cast<std::size_t>(n)];
    }
    for (int n = 0; n < DECIMATOR_TAPS; ++n) {
        taps_[static_cast<std::size_t>(n)] /= sum;
        if ((n - MIDDLE) % 2 != 0 || n == MIDDLE)
            liveTaps_.push_back(n);
    }
}

void OctaveBandBank::Process(const float* block, int count) noexcept {
    if (block == nullptr || stages_.empty())
        return;
    for (int i = 0; i < count; ++i) {
        double x = block[i];
        RunStage(0, x);
        for (std::size_t k = 1; k < stages_.size(); ++k) {
            if (!Decimate(decimators_[k - 1], x, x))
                break;
            RunStage(static_cast<int>(k), x);
        }
    }
}

bool OctaveBandBank::Decimate(Decimator& d, double x, double& y) const noexcept {
    d.history[static_cast<std::size_t>(d.position)] = x;
    d.history[static_cast<std::size_t>(d.position + DECIMATOR_TAPS)] = x;
    d.position = d.position + 1 == DECIMATOR_TAPS ? 0 : d.position + 1;
    d.odd = !d.odd;
    if (d.odd)
        return false;
    // history[position ..] runs from the oldest sample to the newest; the taps are symmetric.
    const double* h = d.history.data() + d.position;
    double sum = 0.0;
    for (const int n : liveTaps_)
        sum += taps_[static_cast<std::size_t>(n)] * h[n];
    y = sum;
    return true;
}

void OctaveBandBank::RunStage(int stage, double x) noexcept {
    const Stage& s = stages_[static_cast<std::size_t>(stage)];
    for (int i = s.firstBand; i < s.endBand; ++i) {
        Band& b = bands_[static_cast<std::size_t>(i)];
        double y = x;
        for (Section& c : b.sections) {
            // Transposed direct form II.
            const double out = c.q.b0 * y + c.z1;
            c.z1 = c.q.b1 * y - c.q.a1 * out + c.z2;
            c.z2 = c.q.b2 * y - c.q.a2 * out;
            y = out;
        }
        const double square = y * y;
        b.sum += square;
        ++b.count;
        b.fast += s.fast * (square - b.fast);
        b.slow += s.slow * (square - b.slow);
        b.maxFast = std::max(b.maxFast, b.fast);
        b.maxSlow = std::max(b.maxSlow, b.slow);
    }
}

void OctaveBandBank::Reset() {
    for (Band& b : bands_) {
        for (Section& c : b.sections)
            c.z1 = c.z2 = 0.0;
        b.fast = b.slow = 0.0;
    }
    for (Decimator& d : decimators_)
        d = Decimator{};
    ResetLevels();
}

void OctaveBandBank::ResetLevels() {
    for (Band& b : bands_) {
        b.sum = 0.0;
        b.count = 0;
    }
    ResetMaxima();
}

void OctaveBandBank::ResetMaxima() {
    for (Band& b : bands_) {
        b.maxFast = b.fast;
        b.maxSlow = b.slow;
    }
}

double OctaveBandBank::LeqDb(int band) const {
    const Band& b = bands_[static_cast<std::size_t>(band)];
    return b.count > 0 ? MeanSquareToDb(b.sum / static_cast<double>(b.count)) : LEVEL_FLOOR_DB;
}

double OctaveBandBank::FastDb(int band) const {
    return MeanSquareToDb(bands_[static_cast<std::size_t>(band)].fast);
}

double OctaveBandBank::SlowDb(int band) const {
    return MeanSquareToDb(bands_[static_cast<std::size_t>(band)].slow);
}

double OctaveBandBank::MaxFastDb(int band) const {
    return MeanSquareToDb(bands_[static_cast<std::size_t>(band)].maxFast);
}

double OctaveBandBank::MaxSlowDb(int band) const {
    return MeanSquareToDb(bands_[static_cast<std::size_t>(band)].maxSlow);
}

} // namespace Kedra::Live
