#include "measure/HarmonicDistortion.h"

#include <algorithm>
#include <cmath>
#include <complex>

#include "foundation/Fft.h"
#include "foundation/MathConstants.h"

namespace Kedra::Measure {

namespace {

// Window shapes. Harmonic k + 1 lies before harmonic k; the cut between them sits SPLIT of the
// way from k + 1 to k, so each harmonic keeps most of the gap behind it for its decay and a
// short lead-in for the pre-ringing a band-limited deconvolution leaves in front of it. The
// lead-in rises over its first half, the decay falls over its last quarter; the windows of
// neighbouring harmonics touch but never overlap. The fundamental's window is given the same
// decay length as the second harmonic's, so both are seen with the same time resolution.
constexpr double SPLIT = 0.9;
constexpr double RISE_SHARE = 0.5;
constexpr double FALL_SHARE = 0.25;
// The noise stretch tapers a tenth of its length at either end.
constexpr double NOISE_TAPER_SHARE = 0.1;
// A cut shorter than this has no spectrum worth the name (too steep a sweep for the data).
constexpr int MIN_WINDOW = 32;
constexpr int MIN_TRANSFORM = 64;

// Smoothing: power averaged over a 1/12-octave band around each grid frequency, narrow enough
// to follow a driver resonance of Q 4 within a fraction of a dB. A harmonic's band is the
// fundamental's band times k, i.e. at least k of its bins per fundamental bin.
constexpr double BAND_OCTAVES = 1.0 / 12.0;
// Below this share of its strongest bin the fundamental is too weak to refer anything to.
constexpr double FUNDAMENTAL_FLOOR = 1e-12;
constexpr double RATIO_FLOOR = 1e-30; // HD_FLOOR_DB as a power ratio

int NextPow2(long long n) {
    long long m = MIN_TRANSFORM;
    while (m < n)
        m *= 2;
    return static_cast<int>(m);
}

HarmonicWindow MakeWindow(double begin, double end, double rise, double fall, double at,
                          int length) {
    HarmonicWindow w;
    w.begin = begin;
    w.end = end;
    w.rise = rise;
    w.fall = fall;
    w.at = at;
    // Window sample i covers begin <= i < end; neighbours sharing a boundary share no sample.
    w.first = static_cast<int>(std::clamp(std::ceil(begin), 0.0, static_cast<double>(length)));
    w.last = static_cast<int>(std::clamp(std::ceil(end), 0.0, static_cast<double>(length)));
    w.usable = w.last - w.first >= MIN_WINDOW;
    return w;
}

// Power spectrum of one window and its running sum, for band means at fractional bin edges.
// Bin j is a cell from j - 0.5 to j + 0.5 holding power[j].
struct BandPower {
    std::vector<double> power;
    std::vector<double> sum; // sum[j] = power[0] + ... + power[j - 1]
    double windowEnergy = 0.0;
    bool valid = false;

    double Integral(double x) const {
        const int bins = static_cast<int>(power.size());
        x = std::clamp(x, -0.5, bins - 0.5);
        const int cell = std::min(static_cast<int>(std::floor(x + 0.5)), bins - 1);
        return sum[static_cast<std::size_t>(cell)] +
               power[static_cast<std::size_t>(cell)] * (x + 0.5 - cell);
    }
    double Mean(double a, double b) const {
        const double top = static_cast<double>(power.size()) - 0.5;
        a = std::clamp(a, -0.5, top);
        b = std::clamp(b, -0.5, top);
        if (b - a <= 0.0) {
            const int cell = static_cast<int>(std::clamp(std::floor(a + 0.5), 0.0, top - 0.5));
            return power[static_cast<std::size_t>(cell)];
        }
        return std::max(0.0, Integral(b) - Integral(a)) / (b - a);
    }
};

void Analyse(const HarmonicDistortionInput& in, const HarmonicWindow& w, int m,
             std::vector<double>& buffer, std::vector<std::complex<double>>& spectrum,
             BandPower& out) {
    if (!w.usable)
        return;
    std::fill(buffer.begin(), buffer.end(), 0.0);
    double energy = 0.0;
    for (int i = w.first; i < w.last; ++i) {
        const double a = w.Amplitude(i);
        buffer[static_cast<std::size_t>(i - w.first)] = a * in.samples[i];
        energy += a * a;
    }
    // Unscaled, not centred: only magnitudes are compared, and all windows share m.
    Kedra::Math::FFTPow2TimeToFreq(buffer.data(), spectrum.data(), m, false, false);
    const std::size_t bins = static_cast<std::size_t>(m / 2 + 1);
    out.power.resize(bins);
    out.sum.resize(bins + 1);
    out.sum[0] = 0.0;
    for (std::size_t j = 0; j < bins; ++j) {
        out.power[j] = std::norm(spectrum[j]);
        out.sum[j + 1] = out.sum[j] + out.power[j];
    }
    out.windowEnergy = energy;
    out.valid = true;
}

float ToDb(double powerRatio) {
    return static_cast<float>(10.0 * std::log10(std::max(powerRatio, RATIO_FLOOR)));
}

bool Holds(const HarmonicDistortionInput& in) {
    return in.samples != nullptr && in.length > 0 && in.sampleRate > 0 &&
           std::isfinite(in.impulseAt) && std::isfinite(in.timeConstant) && in.timeConstant > 0.0 &&
           in.harmonicCount >= 2 && std::isfinite(in.timeConstant * in.sampleRate);
}

} // namespace

double HarmonicWindow::Amplitude(double i) const {
    if (i < begin || i >= end)
        return 0.0;
    if (rise > 0.0 && i < begin + rise)
        return 0.5 * (1.0 - std::cos(Kedra::Math::PI * (i - begin) / rise));
    if (fall > 0.0 && i > end - fall)
        return 0.5 * (1.0 - std::cos(Kedra::Math::PI * (end - i) / fall));
    return 1.0;
}

std::vector<HarmonicWindow> HarmonicWindows(const HarmonicDistortionInput& in) {
    std::vector<HarmonicWindow> windows;
    if (!Holds(in))
        return windows;
    const int count = in.harmonicCount;
    const double scale = in.timeConstant * in.sampleRate; // samples per unit of ln(k)
    auto at = [&](int k) { return in.impulseAt - std::log(static_cast<double>(k)) * scale; };
    // cut[k]: the boundary between harmonic k + 1 and harmonic k.
    std::vector<double> cut(static_cast<std::size_t>(count + 1));
    for (int k = 1; k <= count; ++k)
        cut[static_cast<std::size_t>(k)] = at(k + 1) + SPLIT * (at(k) - at(k + 1));
    const double fundamentalEnd = at(1) + SPLIT * (at(1) - at(2));
    windows.resize(static_cast<std::size_t>(count + 1));
    for (int k = 1; k <= count; ++k) {
        const double begin = cut[static_cast<std::size_t>(k)];
        const double end = k == 1 ? fundamentalEnd : cut[static_cast<std::size_t>(k - 1)];
        const double t = at(k);
        windows[static_cast<std::size_t>(k)] =
            MakeWindow(begin, end, RISE_SHARE * (t - begin), FALL_SHARE * (end - t), t, in.length);
        // A harmonic whose impulse is not in the data cannot be read from it.
        if (t < 0.0 || t >= in.length)
            windows[static_cast<std::size_t>(k)].usable = false;
    }
    // Noise: the quiet stretch in front of the highest harmonic (and its lead-in once more as
    // a guard), back towards the linear impulse's tail, as long as the second harmonic's cut.
    // When the data ends before the next harmonic, that harmonic's decay may still reach into
    // the stretch; it is far weaker than the harmonics read, so it only lifts the floor.
    const HarmonicWindow& top = windows[static_cast<std::size_t>(count)];
    const double noiseEnd = top.begin - (top.at - top.begin);
    const HarmonicWindow& second = windows[2];
    const double noiseBegin = std::max(0.0, noiseEnd - (second.end - second.begin));
    const double taper = NOISE_TAPER_SHARE * std::max(0.0, noiseEnd - noiseBegin);
    windows[0] =
        MakeWindow(noiseBegin, std::max(noiseBegin, noiseEnd), taper, taper, noiseBegin, in.length);
    return windows;
}

// The noise row says what a harmonic row would read if its window held only the noise: the
// stretch's power is scaled to the second harmonic's window energy (the stretch may be
// shorter) and referred to the fundamental at the same frequency, without mapping. THD is the
// root-sum-square of the harmonic ratios that have data at that frequency.
bool ComputeHarmonicDistortion(const HarmonicDistortionInput& in, int gridSize,
                               std::vector<Mem::Array<float>>& rows) {
    rows.clear();
    if (gridSize < 1)
        return false;
    const std::vector<HarmonicWindow> windows = HarmonicWindows(in);
    if (windows.empty())
        return false;
    const int count = in.harmonicCount;
    long long longest = 0;
    for (const HarmonicWindow& w : windows)
        if (w.usable)
            longest = std::max<long long>(longest, w.last - w.first);
    const int m = NextPow2(longest);
    const double nyquistBin = m / 2.0;

    std::vector<double> buffer(static_cast<std::size_t>(m));
    std::vector<std::complex<double>> spectrum(static_cast<std::size_t>(m / 2 + 1));
    std::vector<BandPower> power(windows.size());
    for (std::size_t k = 0; k < windows.size(); ++k)
        Analyse(in, windows[k], m, buffer, spectrum, power[k]);

    rows.resize(static_cast<std::size_t>(count + 1));
    for (auto& row : rows) {
        row = Mem::Array<float>(static_cast<std::size_t>(gridSize + 1));
        std::fill(row.data(), row.data() + gridSize + 1, HD_NO_DATA_DB);
    }
    const BandPower& fundamental = power[1];
    if (!fundamental.valid)
        return true;
    const double floor =
        FUNDAMENTAL_FLOOR * *std::max_element(fundamental.power.begin(), fundamental.power.end());
    const BandPower& noise = power[0];
    const double noiseScale = noise.valid && power[2].valid && noise.windowEnergy > 0.0
                                  ? power[2].windowEnergy / noise.windowEnergy
                                  : 0.0;
    const double halfBand = std::exp2(0.5 * BAND_OCTAVES);
    for (int g = 0; g <= gridSize; ++g) {
        const double x = static_cast<double>(g) * m / (2.0 * gridSize); // fundamental bin
        double a = x / halfBand;
        double b = x * halfBand;
        if (b - a < 1.0) {
            a = x - 0.5;
            b = x + 0.5;
        }
        const double p1 = fundamental.Mean(a, b);
        if (!(p1 > floor))
            continue;
        double sum = 0.0;
        bool any = false;
        for (int k = 2; k <= count; ++k) {
            const BandPower& h = power[static_cast<std::size_t>(k)];
            if (!h.valid || k * x > nyquistBin)
                continue;
            const double ratio = h.Mean(k * a, k * b) / p1;
            rows[static_cast<std::size_t>(k)][static_cast<std::size_t>(g)] = ToDb(ratio);
            sum += ratio;
            any = true;
        }
        if (any)
            rows[0][static_cast<std::size_t>(g)] = ToDb(sum);
        if (noiseScale > 0.0)
            rows[1][static_cast<std::size_t>(g)] = ToDb(noiseScale * noise.Mean(a, b) / p1);
    }
    return true;
}

} // namespace Kedra::Measure
