#include "filter/Equaliser.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

#include "filter/MeasurementOperations.h"
#include "foundation/Fft.h"
#include "foundation/KedraLogger.h"
#include "foundation/Mem.h"
#include "measure/Smoothing.h"

namespace Kedra::Filter {

namespace {

using Complex = std::complex<double>;
using Kedra::Measure::Measurement;

constexpr double PI = 3.14159265358979323846;
constexpr int POINTS_PER_OCTAVE = 48;
// A dip is reported as a cancellation where the finely smoothed response lies this far
// below the 1/3-octave one, within a sixth of an octave.
constexpr double CANCELLATION_DB = 6.0;
constexpr double FINE_SMOOTHING = 48.0;
constexpr int CANCELLATION_REACH = POINTS_PER_OCTAVE / 6;
// Deviations below this are left as they are: a filter would only chase ripple.
constexpr double ENOUGH_DB = 0.5;
constexpr double WIDE_SMOOTHING = 3.0;

std::string Num(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%g", v);
    return b;
}

double Snap(double v, double step, double lo, double hi) {
    v = std::clamp(v, lo, hi);
    if (step <= 0.0)
        return v;
    double r = std::round(v / step) * step;
    if (r < lo)
        r = std::ceil(lo / step - 1e-9) * step;
    if (r > hi)
        r = std::floor(hi / step + 1e-9) * step;
    return r;
}

bool GridHasValue(double step, double lo, double hi) {
    return step <= 0.0 || std::ceil(lo / step - 1e-9) * step <= hi + 1e-9 * step;
}

// The record's view spectrum (its window and pass filters) without its own smoothing.
std::vector<Complex> ViewSpectrum(Measurement& m) {
    const bool smoothed = m.GetSmoothingEnabled();
    m.SetSmoothingEnabled(false);
    const Complex* f = m.GetF();
    std::vector<Complex> out(f, f + m.GetNBins());
    m.SetSmoothingEnabled(smoothed);
    return out;
}

// dB of the spectrum smoothed to 1/nOct octave, read at each of `hz` (linear between bins).
std::vector<double> SmoothedDb(const std::vector<Complex>& spectrum, double nOct, double binsPerHz,
                               const std::vector<double>& hz) {
    std::vector<Complex> s(spectrum.size());
    const int last = static_cast<int>(spectrum.size()) - 1;
    Kedra::Measure::SmoothMagnitude(spectrum.data(), s.data(), last, nOct);
    std::vector<double> db;
    db.reserve(hz.size());
    for (double f : hz) {
        const double k = std::clamp(f * binsPerHz, 0.0, static_cast<double>(last));
        const int k0 = std::min(static_cast<int>(k), last - 1);
        const double t = k - k0;
        const double a = std::abs(s[static_cast<std::size_t>(k0)]);
        const double b = std::abs(s[static_cast<std::size_t>(k0 + 1)]);
        db.push_back(20.0 * std::log10(std::max((1.0 - t) * a + t * b, 1e-30)));
    }
    return db;
}

struct Bounds {
    double fLo, fHi, gLo, gHi, qLo, qHi;
};

// The fit: greedy placement at the largest deviation, then pattern search per filter.
class Fitter {
public:
    Fitter(std::vector<double> hz, std::vector<double> goal, double rate, Bounds b)
        : hz_(std::move(hz)), goal_(std::move(goal)), rate_(rate), b_(b), total_(hz_.size(), 0.0) {}

    std::vector<double> Contribution(const EqFilter& f) const {
        const BiquadCoefficients c = RbjCoefficients(f, rate_);
        std::vector<double> db(hz_.size());
        for (std::size_t i = 0; i < hz_.size(); ++i)
            db[i] = 20.0 * std::log10(std::abs(BiquadResponse(c, hz_[i], rate_)));
        return db;
    }

    // Mean square of goal + filters with filter `index` replaced by `db`.
    double Cost(int index, const std::vector<double>& db) const {
        double sum = 0.0;
        for (std::size_t i = 0; i < hz_.size(); ++i) {
            double e = goal_[i] + total_[i] + db[i];
            if (index >= 0)
                e -= parts_[static_cast<std::size_t>(index)][i];
            sum += e * e;
        }
        return sum / static_cast<double>(hz_.size());
    }

    void Add(const EqFilter& f) {
        filters_.push_back(f);
        parts_.push_back(Contribution(f));
        for (std::size_t i = 0; i < hz_.size(); ++i)
            total_[i] += parts_.back()[i];
    }

    void Replace(int index, const EqFilter& f, std::vector<double> db) {
        auto& part = parts_[static_cast<std::size_t>(index)];
        for (std::size_t i = 0; i < hz_.size(); ++i)
            total_[i] += db[i] - part[i];
        part = std::move(db);
        filters_[static_cast<std::size_t>(index)] = f;
    }

    EqFilter Clamp(EqFilter f) const {
        f.fc = std::clamp(f.fc, b_.fLo, b_.fHi);
        f.gainDb = std::clamp(f.gainDb, b_.gLo, b_.gHi);
        f.q = std::clamp(f.q, b_.qLo, b_.qHi);
        return f;
    }

    // Coordinate pattern search over log2 fc, gain and log2 Q of filter `index`.
    void Refine(int index, double scale) {
        EqFilter best = filters_[static_cast<std::size_t>(index)];
        double bestCost = Cost(index, parts_[static_cast<std::size_t>(index)]);
        double step[3] = {0.25 * scale, 1.0 * scale, 0.5 * scale};
        const double minStep[3] = {1.0 / 256.0, 0.01, 1.0 / 128.0};
        for (int evals = 0; evals < 600;) {
            bool moved = false;
            for (int d = 0; d < 3; ++d) {
                for (double sign : {1.0, -1.0}) {
                    EqFilter t = best;
                    if (d == 0)
                        t.fc *= std::exp2(sign * step[0]);
                    else if (d == 1)
                        t.gainDb += sign * step[1];
                    else
                        t.q *= std::exp2(sign * step[2]);
                    t = Clamp(t);
                    std::vector<double> db = Contribution(t);
                    const double c = Cost(index, db);
                    ++evals;
                    if (c < bestCost - 1e-12) {
                        bestCost = c;
                        best = t;
                        Replace(index, t, std::move(db));
                        moved = true;
                        break;
                    }
                }
            }
            if (!moved) {
                bool done = true;
                for (int d = 0; d < 3; ++d) {
                    step[d] *= 0.5;
                    done = done && step[d] < minStep[d];
                }
                if (done)
                    break;
            }
        }
    }

    void SetGoal(std::vector<double> goal) { goal_ = std::move(goal); }
    const std::vector<double>& Total() const { return total_; }
    const std::vector<EqFilter>& Filters() const { return filters_; }
    const std::vector<double>& Hz() const { return hz_; }
    const std::vector<double>& Goal() const { return goal_; }
    void Remove(int index) {
        for (std::size_t i = 0; i < hz_.size(); ++i)
            total_[i] -= parts_[static_cast<std::size_t>(index)][i];
        parts_.erase(parts_.begin() + index);
        filters_.erase(filters_.begin() + index);
    }

private:
    std::vector<double> hz_;
    std::vector<double> goal_; // response minus target (what the filters must cancel)
    double rate_;
    Bounds b_;
    std::vector<double> total_;
    std::vector<EqFilter> filters_;
    std::vector<std::vector<double>> parts_;
};

// A first guess for a peaking filter cancelling the deviation around index `peak`: its
// width at half height gives Q.
EqFilter Guess(const std::vector<double>& hz, const std::vector<double>& err, std::size_t peak) {
    const double half = 0.5 * err[peak];
    std::size_t lo = peak, hi = peak;
    while (lo > 0 && err[lo - 1] * half > 0.0 && std::fabs(err[lo - 1]) > std::fabs(half))
        --lo;
    while (hi + 1 < err.size() && err[hi + 1] * half > 0.0 &&
           std::fabs(err[hi + 1]) > std::fabs(half))
        ++hi;
    const double octaves = std::max(std::log2(hz[hi] / hz[lo]), 1.0 / POINTS_PER_OCTAVE);
    const double r = std::exp2(octaves);
    return {EqFilterType::Peaking, hz[peak], -err[peak], std::sqrt(r) / (r - 1.0)};
}

std::pair<double, double> RmsAndMax(const std::vector<double>& e) {
    double sum = 0.0, largest = 0.0;
    for (double v : e) {
        sum += v * v;
        largest = std::max(largest, std::fabs(v));
    }
    return {std::sqrt(sum / static_cast<double>(std::max<std::size_t>(e.size(), 1))), largest};
}

double Interpolated(const std::vector<double>& hz, const std::vector<double>& db, double f) {
    if (hz.empty())
        return 0.0;
    if (f <= hz.front())
        return db.front();
    if (f >= hz.back())
        return db.back();
    const auto it = std::upper_bound(hz.begin(), hz.end(), f);
    const std::size_t i = static_cast<std::size_t>(it - hz.begin());
    const double t = std::log(f / hz[i - 1]) / std::log(hz[i] / hz[i - 1]);
    return db[i - 1] + t * (db[i] - db[i - 1]);
}

// The smoothed response of the view through the filters: narrow filters change what a
// band's smoothing averages, so the sum of smoothed response and filter dB is not quite it.
std::vector<double> ThroughFilters(const std::vector<Complex>& spectrum,
                                   const std::vector<EqFilter>& filters, double rate,
                                   double hzPerBin, double nOct, const std::vector<double>& hz) {
    std::vector<BiquadCoefficients> cs;
    for (const EqFilter& f : filters)
        cs.push_back(RbjCoefficients(f, rate));
    std::vector<Complex> through(spectrum);
    for (std::size_t k = 0; k < through.size(); ++k)
        for (const BiquadCoefficients& c : cs)
            through[k] *= BiquadResponse(c, static_cast<double>(k) * hzPerBin, rate);
    return SmoothedDb(through, nOct, 1.0 / hzPerBin, hz);
}

bool Refuse(std::string& why, const std::string& text) {
    why = text;
    Kedra::Logging::KedraLogger::LogText("WARNING FitEqualiser() " + text + "\n");
    return false;
}

} // namespace

BiquadCoefficients RbjCoefficients(const EqFilter& filter, double fs) {
    const double a = std::pow(10.0, filter.gainDb / 40.0);
    const double w0 = 2.0 * PI * filter.fc / fs;
    const double cw = std::cos(w0);
    const double alpha = std::sin(w0) / (2.0 * filter.q);
    double b0, b1, b2, a0, a1, a2;
    if (filter.type == EqFilterType::Peaking) {
        b0 = 1.0 + alpha * a;
        b1 = -2.0 * cw;
        b2 = 1.0 - alpha * a;
        a0 = 1.0 + alpha / a;
        a1 = -2.0 * cw;
        a2 = 1.0 - alpha / a;
    } else {
        const double s = 2.0 * std::sqrt(a) * alpha;
        // The high shelf is the low shelf with cos w0 negated and b1, a1 mirrored.
        const double sign = filter.type == EqFilterType::LowShelf ? 1.0 : -1.0;
        b0 = a * ((a + 1.0) - sign * (a - 1.0) * cw + s);
        b1 = sign * 2.0 * a * ((a - 1.0) - sign * (a + 1.0) * cw);
        b2 = a * ((a + 1.0) - sign * (a - 1.0) * cw - s);
        a0 = (a + 1.0) + sign * (a - 1.0) * cw + s;
        a1 = -sign * 2.0 * ((a - 1.0) + sign * (a + 1.0) * cw);
        a2 = (a + 1.0) + sign * (a - 1.0) * cw - s;
    }
    return {b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0};
}

Complex BiquadResponse(const BiquadCoefficients& c, double f, double fs) {
    const Complex z1 = std::polar(1.0, -2.0 * PI * f / fs);
    const Complex z2 = z1 * z1;
    return (c.b0 + c.b1 * z1 + c.b2 * z2) / (1.0 + c.a1 * z1 + c.a2 * z2);
}

double FiltersDb(const std::vector<EqFilter>& filters, double f, double fs) {
    double db = 0.0;
    for (const EqFilter& x : filters)
        db += 20.0 * std::log10(std::abs(BiquadResponse(RbjCoefficients(x, fs), f, fs)));
    return db;
}

const char* EqFilterTypeCode(EqFilterType type) {
    switch (type) {
    case EqFilterType::LowShelf:
        return "LS";
    case EqFilterType::HighShelf:
        return "HS";
    default:
        return "PK";
    }
}

const std::vector<std::string>& EqDeviceNames() {
    static const std::vector<std::string> names = {"generic", "camilladsp", "apo", "minidsp-2x4hd",
                                                   "sox"};
    return names;
}

bool FindEqDevice(const std::string& name, EqDevice& device) {
    if (std::find(EqDeviceNames().begin(), EqDeviceNames().end(), name) == EqDeviceNames().end())
        return false;
    device = EqDevice{};
    device.name = name;
    // Software equalisers take any value; the steps are those the exports write out, so
    // the file holds exactly the filters that were predicted.
    device.frequencyStep = 0.01;
    device.gainStep = 0.01;
    device.qStep = 0.001;
    if (name == "minidsp-2x4hd") {
        // Ten filters per channel, gains in 0.1 dB up to 16 dB each way, biquads at 96 kHz.
        device.rate = 96000.0;
        device.maxFilters = 10;
        device.maxBoostDb = 16.0;
        device.maxCutDb = 16.0;
        device.gainStep = 0.1;
        device.qStep = 0.01;
        device.frequencyStep = 1.0;
    }
    return true;
}

bool ParseEqTarget(const std::string& text, EqTarget& target, std::string& why) {
    if (text == "flat") {
        target.kind = EqTarget::Kind::Flat;
        return true;
    }
    if (text.rfind("house:", 0) != 0) {
        why = "the target \"" + text + "\" is neither flat nor house:LF_DB,LF_HZ,HF_DB";
        return false;
    }
    double v[3];
    char extra = 0;
    if (std::sscanf(text.c_str() + 6, "%lf,%lf,%lf%c", &v[0], &v[1], &v[2], &extra) != 3 ||
        !std::isfinite(v[0]) || !std::isfinite(v[1]) || !std::isfinite(v[2]) || !(v[1] > 0.0)) {
        why = "the house curve \"" + text +
              "\" needs three numbers, LF_DB,LF_HZ,HF_DB, with LF_HZ above 0 (e.g. house:6,100,-3)";
        return false;
    }
    target.kind = EqTarget::Kind::House;
    target.lfDb = v[0];
    target.lfHz = v[1];
    target.hfDb = v[2];
    return true;
}

double EqTargetShapeDb(const EqTarget& target, double f) {
    switch (target.kind) {
    case EqTarget::Kind::House: {
        const double x = f / target.lfHz;
        const double low = target.lfDb / (1.0 + x * x);
        const double tilt =
            f <= 1000.0 ? 0.0 : target.hfDb * std::log10(f / 1000.0) / std::log10(20.0);
        return low + tilt;
    }
    case EqTarget::Kind::Points:
        return Interpolated(target.hz, target.db, f);
    default:
        return 0.0;
    }
}

bool FitEqualiser(Measurement& record, const EqTarget& target, const EqLimits& l,
                  const EqDevice& device, EqFit& fit, std::string& why) {
    if (!record.IsInitialized())
        return Refuse(why, "the slot holds no measurement");
    const double nyquist = record.GetSamplerate() / 2.0;
    const double lowest = 2.0 * record.GetHzPerBin();
    if (!(std::isfinite(l.fromHz) && std::isfinite(l.toHz) && l.fromHz >= lowest &&
          l.toHz <= nyquist && l.toHz >= l.fromHz * std::exp2(1.0 / 3.0)))
        return Refuse(why, "the range --from " + Num(l.fromHz) + " --to " + Num(l.toHz) +
                               " Hz must lie within the record, " + Num(lowest) + " to " +
                               Num(nyquist) + " Hz, and span a third of an octave or more");
    if (l.filters < 1 || (device.maxFilters > 0 && l.filters > device.maxFilters))
        return Refuse(why, "--filters " + std::to_string(l.filters) + ": " + device.name +
                               " takes 1 to " +
                               (device.maxFilters > 0 ? std::to_string(device.maxFilters)
                                                      : std::string("any number of")) +
                               " filters");
    if (!(l.maxBoostDb >= 0.0 && l.maxCutDb >= 0.0 && l.maxBoostDb + l.maxCutDb > 0.0))
        return Refuse(why, "--max-boost and --max-cut must be 0 or more, and not both 0");
    if ((device.maxBoostDb > 0.0 && l.maxBoostDb > device.maxBoostDb) ||
        (device.maxCutDb > 0.0 && l.maxCutDb > device.maxCutDb))
        return Refuse(why, device.name + " boosts at most " + Num(device.maxBoostDb) +
                               " dB and cuts at most " + Num(device.maxCutDb) + " dB");
    if (!(l.qMin > 0.0 && l.qMax >= l.qMin && std::isfinite(l.qMax)) ||
        !GridHasValue(device.qStep, l.qMin, l.qMax))
        return Refuse(why, "--q " + Num(l.qMin) + "," + Num(l.qMax) +
                               ": Q must be above 0, the first no larger than the second, and "
                               "the range must hold a step of " +
                               Num(device.qStep));
    if (!(l.smoothing > 0.0 && std::isfinite(l.smoothing)))
        return Refuse(why, "--smoothing must be above 0 (1/N octave)");

    fit = EqFit{};
    fit.rate = device.rate > 0.0 ? device.rate : record.GetSamplerate();
    const int points =
        static_cast<int>(std::ceil(std::log2(l.toHz / l.fromHz) * POINTS_PER_OCTAVE)) + 1;
    for (int i = 0; i < points; ++i)
        fit.hz.push_back(l.fromHz * std::pow(l.toHz / l.fromHz, i / (points - 1.0)));

    const std::vector<Complex> spectrum = ViewSpectrum(record);
    fit.responseDb = SmoothedDb(spectrum, l.smoothing, record.GetBinsPerHz(), fit.hz);
    const std::vector<double> wide =
        SmoothedDb(spectrum, WIDE_SMOOTHING, record.GetBinsPerHz(), fit.hz);
    const std::vector<double> fine =
        SmoothedDb(spectrum, FINE_SMOOTHING, record.GetBinsPerHz(), fit.hz);
    const int count = static_cast<int>(fit.hz.size());
    std::vector<char> cancelled(fit.hz.size(), 0);
    for (int i = 0; i < count; ++i)
        if (fine[static_cast<std::size_t>(i)] < wide[static_cast<std::size_t>(i)] - CANCELLATION_DB)
            for (int k = std::max(0, i - CANCELLATION_REACH);
                 k <= std::min(count - 1, i + CANCELLATION_REACH); ++k)
                cancelled[static_cast<std::size_t>(k)] = 1;

    std::vector<double> shape;
    for (double f : fit.hz)
        shape.push_back(EqTargetShapeDb(target, f));
    const auto mean = [](const std::vector<double>& v) {
        return std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
    };
    fit.levelDb = target.levelGiven ? target.levelDb : mean(fit.responseDb) - mean(shape);
    std::vector<double> goal(fit.hz.size()), before(fit.hz.size());
    for (std::size_t i = 0; i < fit.hz.size(); ++i) {
        fit.targetDb.push_back(shape[i] + fit.levelDb);
        before[i] = fit.responseDb[i] - fit.targetDb[i];
        // A dip is filled only as deep as 1/3-octave smoothing shows it: boost cannot fill a
        // cancellation.
        goal[i] = std::max(fit.responseDb[i], wide[i]) - fit.targetDb[i];
    }

    const Bounds bounds{l.fromHz, l.toHz, -l.maxCutDb, l.maxBoostDb, l.qMin, l.qMax};
    Fitter fitter(fit.hz, goal, fit.rate, bounds);
    if (l.shelves && l.filters >= 2) {
        for (EqFilterType type : {EqFilterType::LowShelf, EqFilterType::HighShelf}) {
            const bool low = type == EqFilterType::LowShelf;
            const double cost = fitter.Cost(-1, std::vector<double>(fit.hz.size(), 0.0));
            fitter.Add(fitter.Clamp({type, low ? l.fromHz * 2.0 : l.toHz / 2.0, 0.0, 0.707}));
            const int index = static_cast<int>(fitter.Filters().size()) - 1;
            fitter.Refine(index, 1.0);
            if (fitter.Cost(-1, std::vector<double>(fit.hz.size(), 0.0)) > cost - 1e-6 ||
                std::fabs(fitter.Filters().back().gainDb) < 0.1)
                fitter.Remove(index);
        }
    }
    while (static_cast<int>(fitter.Filters().size()) < l.filters) {
        std::vector<double> err(fit.hz.size());
        std::size_t peak = 0;
        double largest = 0.0;
        for (std::size_t i = 0; i < err.size(); ++i) {
            err[i] = goal[i] + fitter.Total()[i];
            const bool allowed = err[i] > 0.0 ? l.maxCutDb > 0.0 : l.maxBoostDb > 0.0;
            if (allowed && std::fabs(err[i]) > largest) {
                largest = std::fabs(err[i]);
                peak = i;
            }
        }
        if (largest < ENOUGH_DB)
            break;
        const double cost = fitter.Cost(-1, std::vector<double>(fit.hz.size(), 0.0));
        fitter.Add(fitter.Clamp(Guess(fit.hz, err, peak)));
        const int index = static_cast<int>(fitter.Filters().size()) - 1;
        fitter.Refine(index, 0.5);
        if (fitter.Cost(-1, std::vector<double>(fit.hz.size(), 0.0)) > cost - 1e-6) {
            fitter.Remove(index);
            break;
        }
    }
    for (int pass = 0; pass < 2; ++pass)
        for (int i = 0; i < static_cast<int>(fitter.Filters().size()); ++i)
            fitter.Refine(i, 0.25);
    // Corrected towards the response actually smoothed through the filters.
    for (int pass = 0; pass < 3; ++pass) {
        const std::vector<double> through = ThroughFilters(
            spectrum, fitter.Filters(), fit.rate, record.GetHzPerBin(), l.smoothing, fit.hz);
        std::vector<double> corrected(goal);
        for (std::size_t i = 0; i < fit.hz.size(); ++i)
            corrected[i] += through[i] - fit.responseDb[i] - fitter.Total()[i];
        fitter.SetGoal(std::move(corrected));
        for (int i = 0; i < static_cast<int>(fitter.Filters().size()); ++i)
            fitter.Refine(i, 0.125);
    }

    // The device's resolution last: the filters it will hold.
    for (EqFilter f : fitter.Filters()) {
        f.fc = Snap(f.fc, device.frequencyStep, l.fromHz, l.toHz);
        f.gainDb = Snap(f.gainDb, device.gainStep, -l.maxCutDb, l.maxBoostDb);
        f.q = Snap(f.q, device.qStep, l.qMin, l.qMax);
        if (f.gainDb != 0.0)
            fit.filters.push_back(f);
    }
    // In rising frequency, as people read a filter table (a cascade's order changes nothing).
    std::stable_sort(fit.filters.begin(), fit.filters.end(),
                     [](const EqFilter& a, const EqFilter& b) { return a.fc < b.fc; });

    fit.predictedDb =
        ThroughFilters(spectrum, fit.filters, fit.rate, record.GetHzPerBin(), l.smoothing, fit.hz);
    std::vector<double> after(fit.hz.size());
    for (std::size_t i = 0; i < fit.hz.size(); ++i)
        after[i] = fit.predictedDb[i] - fit.targetDb[i];
    std::tie(fit.rmsBefore, fit.maxBefore) = RmsAndMax(before);
    std::tie(fit.rmsAfter, fit.maxAfter) = RmsAndMax(after);

    // The dips left: each stretch of cancellation, at its deepest fine point.
    for (std::size_t i = 0; i < fit.hz.size();) {
        if (!cancelled[i]) {
            ++i;
            continue;
        }
        std::size_t deepest = i;
        for (; i < fit.hz.size() && cancelled[i]; ++i)
            if (fine[i] - fit.targetDb[i] < fine[deepest] - fit.targetDb[deepest])
                deepest = i;
        const double depth = fine[deepest] - fit.targetDb[deepest] +
                             FiltersDb(fit.filters, fit.hz[deepest], fit.rate);
        // One the filters lifted to the target anyway is no dip left.
        if (depth < 0.0)
            fit.dipsLeft.push_back({fit.hz[deepest], depth});
    }
    return true;
}

std::vector<double> EqResponseThrough(Measurement& record, const std::vector<EqFilter>& filters,
                                      double rate, double smoothing,
                                      const std::vector<double>& hz) {
    if (!record.IsInitialized() || !(smoothing > 0.0))
        return {};
    return ThroughFilters(ViewSpectrum(record), filters, rate > 0.0 ? rate : record.GetSamplerate(),
                          record.GetHzPerBin(), smoothing, hz);
}

namespace {

// |X(f)| in dB of the impulse under a window of `cycles` periods of f after time zero (a
// tenth of that before it), half-Hann tapered on both sides.
double WindowedLevelDb(const double* i0, int half, double fs, double f, double cycles) {
    const int after = std::clamp(static_cast<int>(cycles * fs / f), 8, half - 1);
    const int before = std::max(1, after / 10);
    const Complex step = std::polar(1.0, -2.0 * PI * f / fs);
    Complex phasor = std::polar(1.0, 2.0 * PI * f * before / fs);
    Complex sum = 0.0;
    for (int t = -before; t <= after; ++t, phasor *= step) {
        const double x = t < 0 ? static_cast<double>(-t) / before : static_cast<double>(t) / after;
        sum += (0.5 + 0.5 * std::cos(PI * x)) * i0[t] * phasor;
    }
    return 20.0 * std::log10(std::max(std::abs(sum), 1e-30));
}

} // namespace

bool DesignEqFir(Measurement& record, const EqTarget& target, const EqLimits& l,
                 const EqFirSettings& s, std::vector<double>& taps, EqFit& fit, std::string& why) {
    if (!record.IsInitialized())
        return Refuse(why, "the slot holds no measurement");
    if (s.taps < 256 || s.taps > (1 << 20) || (s.taps & (s.taps - 1)) != 0)
        return Refuse(why, "--taps " + std::to_string(s.taps) +
                               " must be a power of two from 256 to 1048576");
    if (!(s.rate >= 8000.0 && s.rate <= 384000.0))
        return Refuse(why, "--rate " + Num(s.rate) + " must lie between 8000 and 384000 Hz");
    const double nyquist = std::min<double>(record.GetSamplerate(), s.rate) / 2.0;
    const double lowest = std::max(2.0 * record.GetHzPerBin(), 2.0 * s.rate / s.taps);
    if (!(std::isfinite(l.fromHz) && std::isfinite(l.toHz) && l.fromHz >= lowest &&
          l.toHz <= nyquist && l.toHz >= l.fromHz * std::exp2(1.0 / 3.0)))
        return Refuse(why, "the range --from " + Num(l.fromHz) + " --to " + Num(l.toHz) +
                               " Hz must lie within the record and the filter, " + Num(lowest) +
                               " to " + Num(nyquist) + " Hz, and span a third of an octave");
    if (!(l.maxBoostDb >= 0.0 && l.maxCutDb >= 0.0 && l.maxBoostDb + l.maxCutDb > 0.0))
        return Refuse(why, "--max-boost and --max-cut must be 0 or more, and not both 0");

    fit = EqFit{};
    fit.rate = s.rate;
    const double* i0 = record.GetI0();
    const int half = record.GetNHalf();
    const double fs = record.GetSamplerate();
    // The correction on a log grid with half an octave either side for the fades.
    const double lo = l.fromHz / std::sqrt(2.0), hi = std::min(l.toHz * std::sqrt(2.0), nyquist);
    std::vector<double> hz, response, shape;
    for (double f = lo; f <= hi; f *= std::exp2(1.0 / POINTS_PER_OCTAVE)) {
        hz.push_back(f);
        response.push_back(WindowedLevelDb(i0, half, fs, f, s.cycles));
        shape.push_back(EqTargetShapeDb(target, f));
    }
    double sumResponse = 0.0, sumShape = 0.0;
    int inRange = 0;
    for (std::size_t i = 0; i < hz.size(); ++i)
        if (hz[i] >= l.fromHz && hz[i] <= l.toHz) {
            sumResponse += response[i];
            sumShape += shape[i];
            ++inRange;
        }
    fit.levelDb = target.levelGiven ? target.levelDb : (sumResponse - sumShape) / inRange;
    std::vector<double> correction(hz.size());
    for (std::size_t i = 0; i < hz.size(); ++i) {
        const double c =
            std::clamp(shape[i] + fit.levelDb - response[i], -l.maxCutDb, l.maxBoostDb);
        // Full inside the range, faded linearly in log frequency over the half octave out.
        const double out = hz[i] < l.fromHz ? std::log2(l.fromHz / hz[i])
                           : hz[i] > l.toHz ? std::log2(hz[i] / l.toHz)
                                            : 0.0;
        correction[i] = c * std::max(0.0, 1.0 - 2.0 * out);
    }
    const auto gainAt = [&](double f) {
        return f <= hz.front() || f >= hz.back() ? 0.0 : Interpolated(hz, correction, f);
    };

    const int n = s.taps;
    taps.assign(static_cast<std::size_t>(n), 0.0);
    if (s.minimumPhase) {
        // Built on twice the length, so that the causal impulse has room to die away.
        const int count = n;
        std::vector<Complex> h(static_cast<std::size_t>(count) + 1);
        for (int k = 0; k <= count; ++k)
            h[static_cast<std::size_t>(k)] =
                std::pow(10.0, gainAt(k * s.rate / (2.0 * count)) / 20.0);
        Kedra::Measure::ApplyMinimumPhase(h.data(), count, 1e-9, false);
        std::vector<double> impulse(static_cast<std::size_t>(2 * count));
        Kedra::Math::FFTPow2FreqToTime(h.data(), impulse.data(), 2 * count, false, false);
        // The last sixteenth fades out: the tail the length cuts off stays inaudible.
        const int fade = n / 16;
        for (int t = 0; t < n; ++t) {
            const double x = t < n - fade ? 0.0 : static_cast<double>(t - (n - fade)) / fade;
            taps[static_cast<std::size_t>(t)] =
                impulse[static_cast<std::size_t>(t)] * (0.5 + 0.5 * std::cos(PI * x));
        }
    } else {
        std::vector<Complex> h(static_cast<std::size_t>(n / 2) + 1);
        for (int k = 0; k <= n / 2; ++k)
            h[static_cast<std::size_t>(k)] = std::pow(10.0, gainAt(k * s.rate / n) / 20.0);
        // Zero phase around the middle tap.
        Kedra::Math::FFTPow2FreqToTime(h.data(), taps.data() + n / 2, n, true, false);
    }

    // The figures: the windowed response through the FIR's own response.
    for (std::size_t i = 0; i < hz.size(); ++i) {
        if (hz[i] < l.fromHz || hz[i] > l.toHz)
            continue;
        const Complex step = std::polar(1.0, -2.0 * PI * hz[i] / s.rate);
        Complex phasor = 1.0, sum = 0.0;
        for (int t = 0; t < n; ++t, phasor *= step)
            sum += taps[static_cast<std::size_t>(t)] * phasor;
        fit.hz.push_back(hz[i]);
        fit.responseDb.push_back(response[i]);
        fit.targetDb.push_back(shape[i] + fit.levelDb);
        fit.predictedDb.push_back(response[i] + 20.0 * std::log10(std::abs(sum)));
    }
    std::vector<double> before, after;
    for (std::size_t i = 0; i < fit.hz.size(); ++i) {
        before.push_back(fit.responseDb[i] - fit.targetDb[i]);
        after.push_back(fit.predictedDb[i] - fit.targetDb[i]);
    }
    std::tie(fit.rmsBefore, fit.maxBefore) = RmsAndMax(before);
    std::tie(fit.rmsAfter, fit.maxAfter) = RmsAndMax(after);
    return true;
}

bool PredictEqualised(Measurement& record, const std::vector<EqFilter>& filters, double rate,
                      Measurement& result) {
    if (!record.IsInitialized())
        return false;
    const double fs = rate > 0.0 ? rate : record.GetSamplerate();
    const int half = record.GetNHalf();
    std::vector<BiquadCoefficients> cs;
    for (const EqFilter& f : filters)
        cs.push_back(RbjCoefficients(f, fs));
    Mem::Array<Complex> r(static_cast<std::size_t>(half) + 1);
    const Complex* f0 = record.GetF0();
    for (int k = 0; k <= half; ++k) {
        Complex h = f0[k];
        for (const BiquadCoefficients& c : cs)
            h *= BiquadResponse(c, k * record.GetHzPerBin(), fs);
        r[static_cast<std::size_t>(k)] = h;
    }
    result.InitializeFreq(r.data(), half, record.GetSamplerate(), half, 0, 0.0, 0.0, true);
    if (!result.IsInitialized())
        return false;
    result.PostInitSetOffset(0.0);
    result.SetLabel(record.GetLabel() + " EQ");
    result.SetImpulseWindowStart(record.GetImpulseWindowStart(), true);
    result.SetImpulseWindowEnd(record.GetImpulseWindowEnd());
    result.SetImpulseWindowEnabled(record.GetImpulseWindowEnabled());
    result.SetSmoothNOct(record.GetSmoothNOct());
    result.SetSmoothingComplex(record.GetSmoothingComplex());
    result.SetSmoothingEnabled(record.GetSmoothingEnabled());
    if (record.HasSpl())
        result.SetSpl(record.GetSplOffset(), record.GetSplReference());
    return true;
}

} // namespace Kedra::Filter
