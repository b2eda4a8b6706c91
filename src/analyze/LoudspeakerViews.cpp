#include "analyze/LoudspeakerViews.h"

#include <algorithm>
#include <cmath>

#include "analyze/RoomAcoustics.h"
#include "filter/MeasurementOperations.h"
#include "foundation/Fft.h"
#include "foundation/MathConstants.h"
#include "measure/Smoothing.h"

namespace Kedra::Measure {

namespace {

using Kedra::Math::PI;

bool PowerOfTwo(int n) {
    return n > 0 && (n & (n - 1)) == 0;
}

int NextPowerOfTwo(int n) {
    int p = 1;
    while (p < n)
        p <<= 1;
    return p;
}

double Db(double power) {
    return 10.0 * std::log10(std::max(power, 1e-300));
}

} // namespace

std::vector<double> GroupDelay(const std::complex<double>* spectrum, int bins, double hzPerBin) {
    std::vector<double> delay(static_cast<std::size_t>(std::max(bins, 0)), 0.0);
    if (spectrum == nullptr || bins < 2 || !(hzPerBin > 0.0))
        return delay;
    const double radiansPerBin = 2.0 * PI * hzPerBin;
    for (int k = 0; k < bins; ++k) {
        const int lo = std::max(k - 1, 0);
        const int hi = std::min(k + 1, bins - 1);
        const double step = std::arg(spectrum[hi] * std::conj(spectrum[lo]));
        delay[static_cast<std::size_t>(k)] = -step / ((hi - lo) * radiansPerBin);
    }
    return delay;
}

std::vector<double> ExcessGroupDelay(const std::complex<double>* spectrum, int bins,
                                     double hzPerBin) {
    return ExcessGroupDelay(spectrum, bins, hzPerBin, GroupDelay(spectrum, bins, hzPerBin));
}

std::vector<double> ExcessGroupDelay(const std::complex<double>* spectrum, int bins,
                                     double hzPerBin, std::vector<double> delay) {
    if (spectrum == nullptr || bins < 3 || !PowerOfTwo(bins - 1))
        return std::vector<double>(delay.size(), 0.0);
    std::vector<std::complex<double>> minimum(static_cast<std::size_t>(bins));
    for (int k = 0; k < bins; ++k)
        minimum[static_cast<std::size_t>(k)] = std::abs(spectrum[k]);
    ApplyMinimumPhase(minimum.data(), bins - 1, 1e-10, false);
    const std::vector<double> own = GroupDelay(minimum.data(), bins, hzPerBin);
    for (std::size_t k = 0; k < delay.size() && k < own.size(); ++k)
        delay[k] -= own[k];
    return delay;
}

std::vector<double> EnergyTimeCurve(const double* impulse, int count, double sampleRate,
                                    double octaveMidband, double* peakDb) {
    std::vector<double> etc;
    if (impulse == nullptr || count < 4 || !PowerOfTwo(count))
        return etc;
    std::vector<std::complex<double>> spectrum(static_cast<std::size_t>(count / 2 + 1));
    Kedra::Math::FFTPow2TimeToFreq(impulse, spectrum.data(), count, false, false);
    // The band as a zero-phase filter of the octave filter's magnitude: a causal filter
    // would move the envelope's peak by its group delay, a millisecond and more.
    if (octaveMidband > 0.0 && octaveMidband * std::pow(10.0, 0.15) < 0.5 * sampleRate) {
        const std::vector<Biquad> band = OctaveBandFilter(octaveMidband, sampleRate);
        for (std::size_t k = 0; k < spectrum.size(); ++k)
            spectrum[k] *=
                std::pow(10.0, FilterLevelDb(band, k * sampleRate / count, sampleRate) / 20.0);
    }
    std::vector<double> h(static_cast<std::size_t>(count));
    Kedra::Math::FFTPow2FreqToTime(spectrum.data(), h.data(), count, false, false);
    // The Hilbert transform: every bin between DC and Nyquist turned by -90 degrees.
    spectrum.front() = 0.0;
    spectrum.back() = 0.0;
    for (std::size_t k = 1; k + 1 < spectrum.size(); ++k)
        spectrum[k] *= std::complex<double>(0.0, -1.0);
    std::vector<double> hilbert(static_cast<std::size_t>(count));
    Kedra::Math::FFTPow2FreqToTime(spectrum.data(), hilbert.data(), count, false, false);
    etc.resize(static_cast<std::size_t>(count));
    double peak = 0.0;
    for (std::size_t n = 0; n < etc.size(); ++n) {
        etc[n] = h[n] * h[n] + hilbert[n] * hilbert[n];
        peak = std::max(peak, etc[n]);
    }
    const double reference = Db(peak);
    if (peakDb != nullptr)
        *peakDb = reference;
    for (double& e : etc)
        e = Db(e) - reference;
    return etc;
}

WaterfallSettings WaterfallPresetSettings(WaterfallPreset preset) {
    if (preset == WaterfallPreset::Speaker)
        return {};
    // A room rings for hundreds of ms; a 5 ms rise keeps each slice's edge from spreading
    // over the few hundred Hz where its modes lie, and 1/6 octave keeps their peaks apart.
    WaterfallSettings room;
    room.firstMs = 0.0;
    room.lastMs = 300.0;
    room.stepMs = 10.0;
    room.endMs = 500.0;
    room.riseMs = 5.0;
    room.smoothingNOct = 6.0;
    return room;
}

double WaterfallSliceCount(const WaterfallSettings& s) {
    if (!(s.stepMs > 0.0) || !(s.lastMs >= s.firstMs))
        return 0.0;
    return std::floor((s.lastMs - s.firstMs) / s.stepMs + 1e-9) + 1.0;
}

Waterfall CumulativeSpectralDecay(const double* impulse, int count, double zero, double sampleRate,
                                  const WaterfallSettings& s) {
    Waterfall w;
    const double perMs = sampleRate / 1000.0;
    if (impulse == nullptr || !(zero >= 0.0) || !(zero < count) || !(s.stepMs > 0.0) ||
        !(s.lastMs >= s.firstMs) || !(s.endMs > s.lastMs) || !(sampleRate > 0.0) ||
        !(s.riseMs >= 0.0) || !std::isfinite(s.riseMs) || !std::isfinite(s.stepMs) ||
        !(WaterfallSliceCount(s) <= WATERFALL_MAX_SLICES))
        return w;
    // Samples strictly before the end time belong to every slice.
    const double endAt = zero + s.endMs * perMs;
    if (!(endAt <= count))
        return w;
    const int stop = static_cast<int>(std::ceil(endAt));
    const double rise = s.riseMs * perMs;
    const int base = static_cast<int>(std::floor(zero));
    // About 12 Hz per bin, and room for the longest slice that starts at time zero. A slice
    // holding the sound before time zero too is folded onto this length: the folded sum's
    // transform is the longer slice's spectrum, sampled at these bins.
    const int n = NextPowerOfTwo(std::max(static_cast<int>(sampleRate / 12.0), 2 * (stop - base)));
    w.hzPerBin = sampleRate / n;
    std::vector<double> segment(static_cast<std::size_t>(n));
    std::vector<std::complex<double>> spectrum(static_cast<std::size_t>(n / 2 + 1));
    const int slices = static_cast<int>(WaterfallSliceCount(s));
    for (int i = 0; i < slices; ++i) {
        const double t = s.firstMs + i * s.stepMs;
        const double startAt = zero + t * perMs;
        const bool whole = t <= 0.0;
        // The first sample the rise lets through, found in double: a long rise may reach far
        // before the impulse.
        const double first = std::floor(startAt - rise) + (rise > 0.0 ? 1.0 : 0.0);
        const int from = whole ? 0 : static_cast<int>(std::clamp(first, 0.0, double(stop)));
        std::fill(segment.begin(), segment.end(), 0.0);
        for (int m = from; m < stop; ++m) {
            double gain = 1.0;
            if (!whole && m < startAt)
                gain = rise > 0.0 && m > startAt - rise
                           ? 0.5 * (1.0 - std::cos(PI * (m - (startAt - rise)) / rise))
                           : 0.0;
            const int at = ((m - base) % n + n) % n;
            segment[static_cast<std::size_t>(at)] += gain * impulse[m];
        }
        // Unscaled, not centred: the level is that of the measurement's own spectrum.
        Kedra::Math::FFTPow2TimeToFreq(segment.data(), spectrum.data(), n, false, false);
        if (s.smoothingNOct > 0.0 && std::isfinite(s.smoothingNOct))
            SmoothMagnitude(spectrum.data(), spectrum.data(), n / 2, s.smoothingNOct);
        std::vector<double> level(spectrum.size());
        for (std::size_t k = 0; k < level.size(); ++k)
            level[k] = Db(std::norm(spectrum[k]));
        w.timesMs.push_back(t);
        w.levels.push_back(std::move(level));
    }
    return w;
}

} // namespace Kedra::Measure
