#include "analyze/RoomAcoustics.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>

#include "foundation/Fft.h"
#include "foundation/MathConstants.h"

namespace Kedra::Measure {

namespace {

using Kedra::Math::PI;

struct Line {
    double a = 0.0; // dB at sample 0
    double b = 0.0; // dB per sample
    bool ok = false;
};

// Least squares over (x, y); at least three points.
Line Fit(const std::vector<double>& x, const std::vector<double>& y, std::size_t from,
         std::size_t to) {
    Line line;
    const double n = static_cast<double>(to - from);
    if (to <= from + 2)
        return line;
    double sx = 0.0, sy = 0.0;
    for (std::size_t i = from; i < to; ++i) {
        sx += x[i];
        sy += y[i];
    }
    const double mx = sx / n, my = sy / n;
    double sxx = 0.0, sxy = 0.0;
    for (std::size_t i = from; i < to; ++i) {
        sxx += (x[i] - mx) * (x[i] - mx);
        sxy += (x[i] - mx) * (y[i] - my);
    }
    if (sxx <= 0.0)
        return line;
    line.b = sxy / sxx;
    line.a = my - line.b * mx;
    line.ok = true;
    return line;
}

double Db(double energy) {
    return 10.0 * std::log10(std::max(energy, 1e-300));
}

double MeanSquare(const double* h, int from, int to) {
    double sum = 0.0;
    for (int n = from; n < to; ++n)
        sum += h[n] * h[n];
    return to > from ? sum / (to - from) : 0.0;
}

// The squared impulse averaged over intervals of `length` samples from `from`: level in dB
// and the interval's centre sample.
void Smooth(const double* h, int count, int from, int length, std::vector<double>& centre,
            std::vector<double>& level) {
    centre.clear();
    level.clear();
    for (int n = from; n + length <= count; n += length) {
        centre.push_back(n + 0.5 * (length - 1));
        level.push_back(Db(MeanSquare(h, n, n + length)));
    }
}

// The first interval at or after `from` whose level lies at or below `db`; the size when none.
std::size_t FirstAtOrBelow(const std::vector<double>& level, std::size_t from, double db) {
    for (std::size_t i = from; i < level.size(); ++i)
        if (level[i] <= db)
            return i;
    return level.size();
}

// A fitted line over the samples of the decay curve between two levels, x the sample index.
Line FitCurve(const std::vector<double>& db, double upper, double lower, bool& reached) {
    std::size_t from = 0;
    while (from < db.size() && db[from] > upper)
        ++from;
    std::size_t to = from;
    while (to < db.size() && db[to] >= lower)
        ++to;
    reached = to < db.size();
    Line line;
    if (to <= from + 2)
        return line;
    const double n = static_cast<double>(to - from);
    const double mx = 0.5 * static_cast<double>(from + to - 1);
    double my = 0.0;
    for (std::size_t i = from; i < to; ++i)
        my += db[i];
    my /= n;
    double sxx = 0.0, sxy = 0.0;
    for (std::size_t i = from; i < to; ++i) {
        const double dx = static_cast<double>(i) - mx;
        sxx += dx * dx;
        sxy += dx * (db[i] - my);
    }
    line.b = sxy / sxx;
    line.a = my - line.b * mx;
    line.ok = true;
    return line;
}

std::complex<double> Response(const std::vector<Biquad>& filter, double frequency,
                              double sampleRate) {
    const std::complex<double> z1 = std::polar(1.0, -2.0 * PI * frequency / sampleRate);
    const std::complex<double> z2 = z1 * z1;
    std::complex<double> h = 1.0;
    for (const Biquad& q : filter)
        h *= (q.b0 + q.b1 * z1 + q.b2 * z2) / (1.0 + q.a1 * z1 + q.a2 * z2);
    return h;
}

} // namespace

const std::array<OctaveBand, ROOM_BAND_COUNT>& RoomOctaveBands() {
    // Base-ten midbands: 1000 Hz * 10^(0.3 x).
    static const std::array<OctaveBand, ROOM_BAND_COUNT> bands = [] {
        const int nominal[ROOM_BAND_COUNT] = {63, 125, 250, 500, 1000, 2000, 4000, 8000};
        std::array<OctaveBand, ROOM_BAND_COUNT> b{};
        for (int i = 0; i < ROOM_BAND_COUNT; ++i)
            b[static_cast<std::size_t>(i)] = {1000.0 * std::pow(10.0, 0.3 * (i - 4)), nominal[i]};
        return b;
    }();
    return bands;
}

std::vector<Biquad> OctaveBandFilter(double midband, double sampleRate) {
    return BandPassFilter(midband, std::pow(10.0, 0.15), sampleRate);
}

std::vector<Biquad> BandPassFilter(double midband, double g, double sampleRate) {
    constexpr int ORDER = 4;
    const auto warp = [sampleRate](double f) {
        return 2.0 * sampleRate * std::tan(PI * f / sampleRate);
    };
    const double w1 = warp(midband / g);
    const double w2 = warp(midband * g);
    const double w0 = std::sqrt(w1 * w2);
    const double bw = w2 - w1;
    std::vector<Biquad> filter;
    // Each low-pass prototype pole p gives the band-pass poles of s^2 - p bw s + w0^2; the
    // poles in the upper half plane pair with their conjugates.
    for (int k = 0; k < ORDER; ++k) {
        const std::complex<double> p =
            std::polar(1.0, PI * (2.0 * k + ORDER + 1.0) / (2.0 * ORDER));
        const std::complex<double> root = std::sqrt(p * p * bw * bw - 4.0 * w0 * w0);
        for (const std::complex<double>& s : {(p * bw + root) / 2.0, (p * bw - root) / 2.0}) {
            if (s.imag() <= 0.0)
                continue;
            const std::complex<double> z = (2.0 * sampleRate + s) / (2.0 * sampleRate - s);
            Biquad q;
            // Zeros at z = 1 and z = -1: the prototype's zeros at s = 0 and at infinity.
            q.b0 = 1.0;
            q.b1 = 0.0;
            q.b2 = -1.0;
            q.a1 = -2.0 * z.real();
            q.a2 = std::norm(z);
            filter.push_back(q);
        }
    }
    const double gain = std::abs(Response(filter, midband, sampleRate));
    if (!filter.empty() && gain > 0.0) {
        filter[0].b0 /= gain;
        filter[0].b2 /= gain;
    }
    return filter;
}

double FilterLevelDb(const std::vector<Biquad>& filter, double frequency, double sampleRate) {
    return 20.0 * std::log10(std::abs(Response(filter, frequency, sampleRate)));
}

void FilterTimeReversed(const std::vector<Biquad>& filter, const double* in, double* out,
                        int count) {
    // Running the cascade backwards in time is filtering the reversed signal and reversing
    // the result, in one pass and without copies. Transposed direct form II, all sections
    // per sample.
    constexpr std::size_t MAX_SECTIONS = 8;
    const std::size_t sections = std::min(filter.size(), MAX_SECTIONS);
    double s1[MAX_SECTIONS] = {}, s2[MAX_SECTIONS] = {};
    for (int n = count - 1; n >= 0; --n) {
        double x = in[n];
        for (std::size_t i = 0; i < sections; ++i) {
            const Biquad& q = filter[i];
            const double y = q.b0 * x + s1[i];
            s1[i] = q.b1 * x - q.a1 * y + s2[i];
            s2[i] = q.b2 * x - q.a2 * y;
            x = y;
        }
        out[n] = x;
    }
}

int ImpulseStart(const double* impulse, int count) {
    double peak = 0.0;
    for (int n = 0; n < count; ++n)
        peak = std::max(peak, impulse[n] * impulse[n]);
    const double limit = peak * 0.01;
    for (int n = 0; n < count; ++n)
        if (impulse[n] * impulse[n] >= limit)
            return n;
    return 0;
}

double FilterDecayTime(const std::vector<Biquad>& filter, double sampleRate) {
    // The envelope of the impulse response falls by the slowest pole's radius per sample.
    double slowest = 0.0;
    for (const Biquad& q : filter) {
        const std::complex<double> root = std::sqrt(std::complex<double>(q.a1 * q.a1 - 4.0 * q.a2));
        slowest =
            std::max({slowest, std::abs((-q.a1 + root) / 2.0), std::abs((-q.a1 - root) / 2.0)});
    }
    if (!(slowest > 0.0) || !(sampleRate > 0.0))
        return 0.0;
    if (slowest >= 1.0) // never settles
        return std::numeric_limits<double>::infinity();
    return std::log(1000.0) / (-std::log(slowest) * sampleRate);
}

std::string RoomOmissionText(const RoomOmissionNote& note) {
    char text[160];
    switch (note.why) {
    case RoomOmission::None:
        return {};
    case RoomOmission::NoSound:
        return "no decay above the noise";
    case RoomOmission::TooShort:
        if (std::isfinite(note.found) && note.limit > 0.0)
            std::snprintf(text, sizeof text,
                          "decay shorter than the octave filters resolve: %.4f s found, "
                          "%.4f s needed",
                          note.found, note.limit);
        else
            std::snprintf(text, sizeof text, "decay too short: it spans fewer than 3 samples");
        return text;
    case RoomOmission::NoiseFloor:
        std::snprintf(text, sizeof text,
                      "evaluation range not 10 dB above the noise: %.1f dB of decay above "
                      "the noise, %.1f dB needed",
                      note.found, note.limit);
        return text;
    }
    return {};
}

RoomParameters AnalyzeDecay(const double* impulse, int count, double sampleRate, int start,
                            DecayCurve* decayOut, double resolution) {
    RoomParameters result;
    DecayCurve local;
    DecayCurve& decay = decayOut != nullptr ? *decayOut : local;
    decay = DecayCurve{};
    decay.sampleRate = sampleRate;
    if (impulse == nullptr || count < 16 || !(sampleRate > 0.0))
        return result;
    if (start < 0 || start >= count)
        start = ImpulseStart(impulse, count);
    decay.start = start;

    // Lundeby et al.: noise from the last tenth, a first line from the peak down to 10 dB
    // above the noise, then intervals fitted to the decay rate, the noise taken from 10 dB
    // below the line's meeting with it, and the late decay refitted, until the meeting point
    // settles. Their 10 ms intervals hold a whole anechoic decay; shorter ones are tried
    // before the decay is called too short to follow.
    const int lastTenth = std::max(start + 1, count - count / 10);
    double noiseDb = Db(MeanSquare(impulse, lastTenth, count));
    std::vector<double> centre, level;
    int length = 1;
    double peakDb = 0.0;
    Line line;
    std::size_t stop = 0;
    bool smoothed = false;
    for (double seconds : {0.01, 0.001, 0.0001}) {
        length = std::max(1, static_cast<int>(std::lround(seconds * sampleRate)));
        Smooth(impulse, count, start, length, centre, level);
        if (level.size() < 4)
            continue;
        smoothed = true;
        const std::size_t peak =
            static_cast<std::size_t>(std::max_element(level.begin(), level.end()) - level.begin());
        peakDb = level[peak];
        stop = FirstAtOrBelow(level, peak, noiseDb + 10.0);
        line = Fit(centre, level, peak, stop);
        if (line.ok && line.b < 0.0)
            break;
    }
    if (!smoothed || !(peakDb > noiseDb))
        return result;
    const bool lineFound = line.ok && line.b < 0.0;
    // Without a line the sound falls to the noise within a few samples: the integral ends
    // there and nothing is added after it.
    double cross = lineFound ? (noiseDb - line.a) / line.b
                             : static_cast<double>(start) + static_cast<double>(stop) * length;
    for (int iteration = 0; lineFound && iteration < 5; ++iteration) {
        const double per10Db = 10.0 / -line.b;
        length = std::clamp(static_cast<int>(std::lround(per10Db / 5.0)), 1, count / 8);
        const double noiseFrom = std::min(cross + per10Db, static_cast<double>(lastTenth));
        const int noiseStart = std::clamp(static_cast<int>(noiseFrom), start + 1, count - 1);
        noiseDb = Db(MeanSquare(impulse, noiseStart, count));
        Smooth(impulse, count, start, length, centre, level);
        const std::size_t top =
            static_cast<std::size_t>(std::max_element(level.begin(), level.end()) - level.begin());
        const std::size_t from = FirstAtOrBelow(level, top, noiseDb + 30.0);
        const std::size_t to = FirstAtOrBelow(level, from, noiseDb + 10.0);
        const Line late = Fit(centre, level, from, to);
        if (!late.ok || late.b >= 0.0)
            break;
        line = late;
        const double next = (noiseDb - line.a) / line.b;
        const bool settled = std::abs(next - cross) < length;
        cross = next;
        if (settled)
            break;
    }
    const int truncation = std::clamp(static_cast<int>(std::lround(cross)), start + 2, count);
    decay.truncation = truncation;
    decay.noiseDb = noiseDb - peakDb;
    decay.rangeDb = peakDb - noiseDb;

    // The energy after the truncation, as the late line continues it.
    const double ratio = lineFound ? std::pow(10.0, line.b / 10.0) : 0.0;
    const double atTruncation =
        lineFound ? std::pow(10.0, (line.a + line.b * truncation) / 10.0) : 0.0;
    const double tail = truncation < count ? atTruncation / (1.0 - ratio) : 0.0;
    decay.tailEnergy = tail;

    // The integral goes into the curve's storage and is turned into dB in place below.
    std::vector<double>& integral = decay.db;
    integral.resize(static_cast<std::size_t>(truncation - start));
    double sum = tail;
    double moment = truncation < count ? atTruncation * ((truncation - start) / (1.0 - ratio) +
                                                         ratio / ((1.0 - ratio) * (1.0 - ratio)))
                                       : 0.0;
    // The noise's mean square lies under the decay up to the truncation too: taken out, the
    // curve's lower end is not lifted by it.
    const double noise = lineFound ? std::pow(10.0, noiseDb / 10.0) : 0.0;
    for (int n = truncation - 1; n >= start; --n) {
        const double energy = impulse[n] * impulse[n] - noise;
        sum += energy;
        moment += (n - start) * energy;
        integral[static_cast<std::size_t>(n - start)] = std::max(sum, 0.5 * tail);
    }
    const double total = sum;
    if (!(total > 0.0)) {
        integral.clear();
        return result;
    }
    // Energy after a time: from the integral, the tail included, while the sound there
    // outweighs what the noise puts into the same stretch; else (or past the truncation) all
    // that was measured, noise and all, with the flag set: the sound's late energy is at most
    // that, so the clarity is at least what it gives.
    const double noiseMeanSquare = std::pow(10.0, noiseDb / 10.0);
    const auto late = [&](double seconds, bool& bound) {
        const int n = start + static_cast<int>(std::lround(seconds * sampleRate));
        const double noiseThere = noiseMeanSquare * std::max(0, count - n);
        bound = n >= truncation || integral[static_cast<std::size_t>(n - start)] < noiseThere;
        if (!bound)
            return integral[static_cast<std::size_t>(n - start)];
        return n < count ? MeanSquare(impulse, n, count) * (count - n) : 0.0;
    };
    const auto early = [&](double seconds, double lateEnergy, bool bound) {
        if (!bound)
            return total - lateEnergy;
        const int n = std::min(count, start + static_cast<int>(std::lround(seconds * sampleRate)));
        return MeanSquare(impulse, start, n) * (n - start);
    };
    const double late50 = late(0.05, result.c50IsBound);
    const double late80 = late(0.08, result.c80IsBound);
    const double early50 = early(0.05, late50, result.c50IsBound);
    const double early80 = early(0.08, late80, result.c80IsBound);
    for (double& x : integral)
        x = Db(x / total);

    // Reverberation times from the slopes, when the decay reached the range's lower end,
    // that end lies 10 dB above the noise, and the decay outlasts the band filter's own.
    const auto time = [&](double upper, double lower, RoomOmissionNote& note) {
        const double needed = -lower + 10.0;
        if (decay.rangeDb < needed) {
            note = {RoomOmission::NoiseFloor, decay.rangeDb, needed};
            return INVALID_PARAMETER;
        }
        bool reached = false;
        const Line fit = FitCurve(decay.db, upper, lower, reached);
        if (!reached) {
            // The integral met the noise before the range's lower end.
            note = {RoomOmission::NoiseFloor, -decay.db.back(), -lower};
            return INVALID_PARAMETER;
        }
        if (!fit.ok || fit.b >= 0.0) {
            note = {RoomOmission::TooShort, INVALID_PARAMETER, 0.0};
            return INVALID_PARAMETER;
        }
        const double seconds = -60.0 / (fit.b * sampleRate);
        if (seconds < resolution) {
            note = {RoomOmission::TooShort, seconds, resolution};
            return INVALID_PARAMETER;
        }
        note = {RoomOmission::None, seconds, resolution};
        return seconds;
    };
    result.edt = time(0.0, -10.0, result.edtNote);
    result.t20 = time(-5.0, -25.0, result.t20Note);
    result.t30 = time(-5.0, -35.0, result.t30Note);

    if (late50 > 0.0 && early50 > 0.0)
        result.c50 = 10.0 * std::log10(early50 / late50);
    if (late80 > 0.0 && early80 > 0.0)
        result.c80 = 10.0 * std::log10(early80 / late80);
    result.d50 = 100.0 * early50 / (early50 + late50);
    result.ts = 1000.0 * moment / total / sampleRate;
    return result;
}

std::vector<RoomBandResult> AnalyzeRoom(const double* impulse, int count, double sampleRate) {
    std::vector<RoomBandResult> results;
    if (impulse == nullptr || count < 16 || !(sampleRate > 0.0))
        return results;
    const int start = ImpulseStart(impulse, count);
    // The levels the decays start from, from the spectrum: a band filter run over a cut-out
    // impulse loses what it spreads past the cut, a low band's several dB.
    int n = 2;
    while (n < count)
        n *= 2;
    std::vector<double> padded(static_cast<std::size_t>(n), 0.0);
    std::copy(impulse, impulse + count, padded.begin());
    std::vector<std::complex<double>> spectrum(static_cast<std::size_t>(n / 2 + 1));
    // Unscaled: the mean of |X_k|^2 over the bins is the impulse's energy (Parseval).
    Kedra::Math::FFTPow2TimeToFreq(padded.data(), spectrum.data(), n, false, false);
    const auto levelDb = [&](const std::vector<Biquad>* filter) {
        double power = 0.0;
        double weight = 0.0;
        for (int k = 1; k < n / 2; ++k) {
            const double g =
                filter != nullptr
                    ? std::pow(10.0, FilterLevelDb(*filter, k * sampleRate / n, sampleRate) / 10.0)
                    : 1.0;
            power += g * std::norm(spectrum[static_cast<std::size_t>(k)]);
            weight += g;
        }
        return weight > 0.0 ? Db(power / weight) : -2000000.0;
    };
    std::vector<double> band(static_cast<std::size_t>(count));
    double finest = 0.0; // the highest band's own decay time
    for (const OctaveBand& b : RoomOctaveBands()) {
        if (b.midband * std::pow(10.0, 0.15) >= 0.5 * sampleRate)
            continue;
        RoomBandResult r;
        r.name = std::to_string(b.nominal);
        r.midband = b.midband;
        const std::vector<Biquad> filter = OctaveBandFilter(b.midband, sampleRate);
        FilterTimeReversed(filter, impulse, band.data(), count);
        const double resolution = FilterDecayTime(filter, sampleRate);
        finest = resolution;
        // Run backwards, the filter moves the band's share of the direct sound before the
        // broadband start, by up to its own decay time: the band's decay starts no later
        // than its peak there.
        const int reach = static_cast<int>(std::min<double>(start, resolution * sampleRate));
        int bandStart = start;
        for (int n = start - 1; n >= start - reach; --n)
            if (band[static_cast<std::size_t>(n)] * band[static_cast<std::size_t>(n)] >
                band[static_cast<std::size_t>(bandStart)] *
                    band[static_cast<std::size_t>(bandStart)])
                bandStart = n;
        r.parameters =
            AnalyzeDecay(band.data(), count, sampleRate, bandStart, &r.decay, resolution);
        r.decay.startDb = levelDb(&filter);
        results.push_back(std::move(r));
    }
    RoomBandResult broadband;
    broadband.name = "broadband";
    // The sum of the bands resolves no shorter a decay than the highest of them.
    broadband.parameters =
        AnalyzeDecay(impulse, count, sampleRate, start, &broadband.decay, finest);
    broadband.decay.startDb = levelDb(nullptr);
    results.push_back(std::move(broadband));
    return results;
}

int SweepLinearEnd(int count, int position, double sampleRate, double sweepRate) {
    if (count <= 0 || position < 0 || position >= count || !(sampleRate > 0.0) ||
        !(sweepRate > 0.0) || !std::isfinite(sweepRate))
        return count;
    // The image's own onset and the band filters' reach into it stay out too.
    const long long guard = static_cast<long long>(std::lround(0.01 * sampleRate));
    long long end = count;
    for (int k = 2; k <= SWEEP_IMAGE_ORDERS; ++k) {
        const double back = std::log(static_cast<double>(k)) * sweepRate * sampleRate;
        if (back > 1e15)
            break;
        long long at = static_cast<long long>(position) - std::llround(back);
        at %= count;
        if (at < 0)
            at += count;
        if (at > position)
            end = std::min(end, at - guard);
    }
    return static_cast<int>(std::clamp<long long>(end, position + 1, count));
}

} // namespace Kedra::Measure
