#include "exchange/Calibrator.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <ios>
#include <numeric>
#include <vector>

#include "exchange/TextFile.h"
#include "foundation/KedraLogger.h"
#include "foundation/MathHelpers.h"

namespace Kedra::Measure {

using cd = std::complex<double>;
using Kedra::Math::AmplitudeToDB;
using Kedra::Math::DBToAmplitude;
using Kedra::Math::Phase;
using Kedra::Math::PI;
using Kedra::Math::RadToDeg;
using Kedra::Math::ToIntRound;
using Kedra::Math::TWOPI;
using Kedra::Text::FormatNumber;

struct Calibrator::Table {
    std::vector<double> frequencies;
    std::vector<cd> response;

    void Add(double f, cd h) {
        frequencies.push_back(f);
        response.push_back(h);
    }
};

namespace {

// Taper widths of the extensions below and above the imported band, in Hz, and the
// half-width of the triangular average they start from.
constexpr double LOW_TAPER_HZ = 5.0;
constexpr double HIGH_TAPER_HZ = 100.0;
constexpr double AVERAGE_HALF_WIDTH_HZ = 50.0;
// The band whose mean level becomes 0 dB, and the lowest frequency a table describes.
constexpr double NORMALISE_LOW_HZ = 1000.0;
constexpr double NORMALISE_HIGH_HZ = 2000.0;
constexpr double LOWEST_POINT_HZ = 10.0;

void Log(const std::string& text) {
    Kedra::Logging::KedraLogger::LogText(text + "\n");
}

cd Polar(double magnitude, double phase) {
    return {magnitude * std::cos(phase), magnitude * std::sin(phase)};
}

bool IsFinite(cd z) {
    return std::isfinite(z.real()) && std::isfinite(z.imag());
}

// int() of a bin position that may lie far outside any array.
int BinIndex(double x) {
    return static_cast<int>(std::clamp(x, -1.0e9, 1.0e9));
}

// A comment must stay on its line: a line break in it would let the rest be read as data.
std::string OneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    return text;
}

// Halves the bin count of x[0 .. bins] (bins even) in place: magnitude and unwrapped phase
// are averaged with weights 1/4, 1/2, 1/4 around every even bin; the two end bins lean
// 3/4 on themselves, so the new Nyquist bin is set as well.
void HalveBins(cd* x, int bins, double* magnitude, double* phase) {
    Kedra::Math::PhaseUnwrapper unwrap(Kedra::Math::HALFPI);
    for (int i = 0; i <= bins; ++i) {
        magnitude[i] = std::abs(x[i]);
        phase[i] = unwrap.Next(x[i]);
    }
    const int half = bins / 2;
    x[0] = Polar(0.75 * magnitude[0] + 0.25 * magnitude[1], 0.75 * phase[0] + 0.25 * phase[1]);
    for (int k = 1; k < half; ++k) {
        const int j = 2 * k;
        x[k] = Polar(0.25 * magnitude[j - 1] + 0.5 * magnitude[j] + 0.25 * magnitude[j + 1],
                     0.25 * phase[j - 1] + 0.5 * phase[j] + 0.25 * phase[j + 1]);
    }
    x[half] = Polar(0.25 * magnitude[bins - 1] + 0.75 * magnitude[bins],
                    0.25 * phase[bins - 1] + 0.75 * phase[bins]);
}

// Triangular average around `centre` (weight n there, down to 1 at distance n - 1) over the
// bins first .. last. Without any bin in reach the nearest bin stands alone.
struct Average {
    double magnitude;
    double phase;
};

Average TriangularAverage(const cd* x, int centre, int n, int first, int last) {
    double weights = 0.0;
    double magnitudes = 0.0;
    cd values = 0.0;
    for (int d = -(n - 1); d <= n - 1; ++d) {
        const long k = static_cast<long>(centre) + d;
        if (k < first || k > last)
            continue;
        const double w = n - std::abs(d);
        weights += w;
        magnitudes += w * std::abs(x[k]);
        values += w * x[k];
    }
    if (weights == 0.0) {
        const cd v = x[std::clamp(centre, first, last)];
        return {std::abs(v), Phase(v)};
    }
    return {magnitudes / weights, Phase(values)};
}

// Below lowHz the phase ramps from 0 at 0 Hz to the measured phase at lowHz.
void ExtendBelow(cd* x, int bins, double binsPerHz, double lowHz) {
    if (lowHz <= 0.0)
        return;
    const int n = std::max(1, BinIndex(binsPerHz * AVERAGE_HALF_WIDTH_HZ));
    const Average ref = TriangularAverage(x, BinIndex(binsPerHz * lowHz), n, 1, bins);
    for (int k = 0; k <= bins; ++k) {
        const double fk = k / binsPerHz;
        if (fk >= lowHz)
            break;
        const cd extension = Polar(ref.magnitude, ref.phase * fk / lowHz);
        if (fk <= lowHz - LOW_TAPER_HZ) {
            x[k] = extension;
        } else {
            const double w = 0.5 + 0.5 * std::cos((fk - lowHz) * PI / LOW_TAPER_HZ);
            x[k] = w * x[k] + (1.0 - w) * extension;
        }
    }
}

// Above highHz the level holds and the phase goes on with the slope measured just above it.
void ExtendAbove(cd* x, int bins, double binsPerHz, double highHz) {
    const int i = BinIndex(binsPerHz * highHz);
    if (i > bins)
        return;
    const int r = std::min(BinIndex(binsPerHz * (highHz + HIGH_TAPER_HZ)), bins);
    const int n = std::max(1, BinIndex(binsPerHz * AVERAGE_HALF_WIDTH_HZ));
    const Average ref = TriangularAverage(x, i, n, 0, bins - 1);
    const double p2 = TriangularAverage(x, r, n, 0, bins - 1).phase;
    const double slope = r > i ? (p2 - ref.phase) / (r - i) : 0.0;
    for (int k = std::max(i, 0); k <= bins; ++k) {
        const double fk = k / binsPerHz;
        if (fk <= highHz)
            continue;
        const cd extension = Polar(ref.magnitude, ref.phase + (k - i) * slope);
        if (fk >= highHz + HIGH_TAPER_HZ) {
            x[k] = extension;
        } else {
            const double w = 0.5 + 0.5 * std::cos((fk - highHz) * PI / HIGH_TAPER_HZ);
            x[k] = w * x[k] + (1.0 - w) * extension;
        }
    }
}

} // namespace

Calibrator::Calibrator()
    : maxCorrection(DBToAmplitude(12.0)), minCorrection(DBToAmplitude(-12.0)) {}

bool Calibrator::Open(const std::string& path) {
    std::error_code ec;
    const bool exists = std::filesystem::exists(path, ec);
    lastError_.clear();
    if (Kedra::Text::ReadRegularFile(path, "Calibrator::Open(" + path + ")", "previous table kept",
                                     [&](std::streambuf& in) { return ReadPoints(in, path); }))
        return true;
    if (!exists)
        lastError_ = "no such file: " + path;
    else if (!std::filesystem::is_regular_file(path, ec))
        lastError_ = "not a file: " + path;
    else if (lastError_.empty())
        lastError_ = "cannot read " + path;
    return false;
}

bool Calibrator::OpenText(std::string_view text, const std::string& source) {
    Kedra::Text::MemoryStreamBuf buffer(text);
    lastError_.clear();
    return ReadPoints(buffer, source);
}

bool Calibrator::ReadPoints(std::streambuf& in, const std::string& source) {
    const std::string who = "Calibrator::Open(" + source + ")";
    Kedra::Text::LineReader reader(in);
    std::string line;
    std::vector<std::string> tokens;
    std::vector<double> frequency;
    std::vector<double> gainDb;
    std::vector<double> phase;
    while (reader.Next(line)) {
        if (!Kedra::Text::SplitDataLine(line, separators, tokens) || tokens.size() < 2)
            continue;
        const double f = Kedra::Text::ParseNumber(tokens[0]);
        const double g = Kedra::Text::ParseNumber(tokens[1]);
        double p = tokens.size() > 2 ? Kedra::Text::ParseNumber(tokens[2]) : 0.0;
        if (phaseUnit == 0)
            p = p * TWOPI / 360.0;
        // Infinity or NaN would poison the level normalisation and the ordered lookup.
        if (!std::isfinite(f) || !std::isfinite(g) || !std::isfinite(p)) {
            lastError_ = "line " + std::to_string(reader.LineNumber()) +
                         " holds a number that is not finite";
            Log("WARNING " + who + " : line " + std::to_string(reader.LineNumber()) +
                " holds a number that is not finite -> file refused, previous table kept");
            return false;
        }
        frequency.push_back(f);
        gainDb.push_back(g);
        phase.push_back(p);
    }
    if (reader.WasCut())
        Log("WARNING " + who + " : line " + std::to_string(reader.LineNumber()) +
            " is longer than " + std::to_string(Kedra::Text::LineReader::MAX_LINE) +
            " characters -> reading ends after them");
    const std::size_t n = frequency.size();
    if (n < 2) {
        lastError_ = n == 1 ? "one data line, fewer than the two needed"
                            : "no data lines (at least two are needed)";
        Log("WARNING " + who + " : " + std::to_string(n) +
            (n == 1 ? " data point" : " data points") +
            ", at least 2 needed -> previous table kept");
        return false;
    }

    // The lookup needs ascending frequencies; equal ones keep their file order.
    const std::vector<std::size_t> order = Kedra::Text::StableAscendingOrder(frequency);
    if (!std::is_sorted(frequency.begin(), frequency.end()))
        Log("INFO    " + who + " : frequencies not ascending -> points sorted");
    // Only a table that rises above 0 dB is shifted down to peak at 0 dB.
    const double peak = *std::max_element(gainDb.begin(), gainDb.end());
    const double shift = peak > 0.0 ? peak : 0.0;

    Table table;
    for (std::size_t i : order)
        table.Add(frequency[i],
                  DBToAmplitude(gainDb[i] - shift) * cd(std::cos(phase[i]), std::sin(phase[i])));
    if (!Install(table, who))
        return false;
    Log("INFO    " + who + " : " + std::to_string(count_) + " points");
    return true;
}

bool Calibrator::Install(Table& table, const std::string& who) {
    const std::size_t n = table.frequencies.size();
    Mem::Array<double> frequencies(n);
    Mem::Array<cd> response(n);
    Mem::Array<double> gain(n);
    Mem::Array<double> phase(n);
    for (std::size_t i = 0; i < n; ++i) {
        const cd h = table.response[i];
        if (!std::isfinite(table.frequencies[i]) || !IsFinite(h)) {
            lastError_ = "a point is not a finite number";
            Log("WARNING " + who + " : a point is not a finite number -> previous table kept");
            return false;
        }
        frequencies[i] = table.frequencies[i];
        response[i] = h;
        // A zero response has an infinite inverse, which the upper limit catches.
        double g = 1.0 / std::abs(h);
        if (g > maxCorrection)
            g = maxCorrection;
        if (g < minCorrection)
            g = minCorrection;
        gain[i] = g;
        phase[i] = Phase(std::conj(h));
    }
    frequencies_ = std::move(frequencies);
    response_ = std::move(response);
    correctionGain_ = std::move(gain);
    correctionPhase_ = std::move(phase);
    count_ = static_cast<int>(n);
    valid_ = true;
    return true;
}

std::string Calibrator::SaveText() const {
    if (!valid_)
        return {};
    std::string out = "#This file has been saved using Vaviv Uradavadu software\n";
    out += std::string("#") + Kedra::Text::PRODUCT_WEB_ADDRESS + "\n";
    out += "#Fileversion = 0\n";
    out += "#Comment     = " + OneLine(comment) + "\n";
    out += "Frequency;Gain [dB]; Phase [degrees]\n";
    for (int i = 0; i < count_; ++i) {
        const cd h = response_[static_cast<std::size_t>(i)];
        Kedra::Text::AppendNumber(out, frequencies_[static_cast<std::size_t>(i)]);
        out += "; ";
        Kedra::Text::AppendNumber(out, AmplitudeToDB(std::abs(h)));
        out += ";";
        Kedra::Text::AppendNumber(out, Phase(h) * RadToDeg);
        out += "\n";
    }
    return out;
}

bool Calibrator::Save(const std::string& path) const {
    const std::string who = "Calibrator::Save(" + path + ")";
    if (!valid_) {
        Log("WARNING " + who + " : no table loaded -> nothing written");
        return false;
    }
    std::string error;
    if (!Kedra::Text::WriteFileAtomically(path, SaveText(), error)) {
        Log("WARNING " + who + " : " + error + " -> file not written");
        return false;
    }
    return true;
}

bool Calibrator::Import(MeasurementCore& measurement, double lowHz, double highHz) {
    const std::string who = "Calibrator::Import(" + measurement.GetLabel() + ", " +
                            FormatNumber(lowHz) + ", " + FormatNumber(highHz) + ")";
    const auto refuse = [&](const std::string& why) {
        Log("WARNING " + who + " : " + why + " -> previous table kept");
        return false;
    };
    if (!measurement.IsInitialized())
        return refuse("the measurement holds no data");
    const int fs = measurement.GetSamplerate();
    if (fs <= 0)
        return refuse("sample rate " + std::to_string(fs));
    if (!std::isfinite(lowHz) || !std::isfinite(highHz) || !(lowHz < highHz) || highHz <= 0.0 ||
        lowHz >= 0.5 * fs)
        return refuse("the band does not lie within 0 Hz to half the sample rate");
    const int m = measurement.GetNHalf();
    if (m < 2)
        return refuse("too few bins");
    const cd* spectrum = measurement.GetF();
    if (spectrum == nullptr)
        return refuse("no frequency response");

    // A short measurement is reduced only as far as its bins reach.
    const int bins = std::min(m, IMPORT_BINS);
    const std::size_t all = static_cast<std::size_t>(m) + 1;
    Mem::Array<cd> x(all);
    std::copy(spectrum, spectrum + all, x.data());
    if (m > bins) {
        Mem::Array<double> magnitude(all);
        Mem::Array<double> phase(all);
        for (int current = m; current > bins; current /= 2)
            HalveBins(x.data(), current, magnitude.data(), phase.data());
    }

    const double binsPerHz = 2.0 * bins / fs;
    ExtendBelow(x.data(), bins, binsPerHz, lowHz);
    ExtendAbove(x.data(), bins, binsPerHz, highHz);

    const int lo = ToIntRound(binsPerHz * NORMALISE_LOW_HZ);
    const int hi = std::min(ToIntRound(binsPerHz * NORMALISE_HIGH_HZ), bins + 1);
    if (lo >= hi)
        return refuse("no bin between 1 kHz and 2 kHz");
    double sum = 0.0;
    for (int k = lo; k < hi; ++k)
        sum += std::abs(x[static_cast<std::size_t>(k)]);
    const double mean = sum / (hi - lo);
    if (!(mean > 0.0) || !std::isfinite(mean))
        return refuse("no usable level between 1 kHz and 2 kHz");
    const double scale = 1.0 / mean;

    // Thinning: a bin is kept when level or phase moved far enough from the last kept one;
    // long flat stretches still get a point every fifth of the band.
    const double binWidth = 1.0 / binsPerHz;
    const int last = bins - 1;
    const int first = std::min(ToIntRound(LOWEST_POINT_HZ / binWidth) + 1, last);
    const int gap = bins / 5;
    Table table;
    const auto value = [&](int k) { return x[static_cast<std::size_t>(k)] * scale; };
    table.Add(0.0, value(first));
    double lastLevel = 0.0;
    double lastPhase = 0.0;
    int lastBin = 0;
    const auto store = [&](int k) {
        const cd v = value(k);
        table.Add(k * binWidth, v);
        lastLevel = AmplitudeToDB(std::abs(v));
        lastPhase = Phase(v) * RadToDeg;
        lastBin = k;
    };
    for (int k = first; k <= last; ++k) {
        const cd v = value(k);
        const double level = AmplitudeToDB(std::abs(v));
        const double degrees = Phase(v) * RadToDeg;
        if (std::abs(level - lastLevel) > maxChangeDb ||
            std::abs(degrees - lastPhase) > maxChangeDeg || k == first || k == last) {
            if (k - lastBin > gap && k - 1 > lastBin)
                store(k - 1);
            store(k);
        }
    }
    if (0.5 * fs > table.frequencies.back())
        table.Add(0.5 * fs, table.response.back());

    if (!Install(table, who))
        return false;
    comment = measurement.GetLabel();
    Log("INFO    " + who + " : " + std::to_string(count_) + " points");
    return true;
}

void Calibrator::SetActive(bool b) {
    if (valid_)
        active_ = b;
}

std::complex<double> Calibrator::GetCorrection(double f) const {
    if (!active_)
        return 1.0;
    const double* fr = frequencies_.data();
    const double* gain = correctionGain_.data();
    const double* phase = correctionPhase_.data();
    const int end = count_ - 1;
    const auto at = [&](int i) { return usePhase ? Polar(gain[i], phase[i]) : cd(gain[i], 0.0); };
    if (f >= fr[0] && f <= fr[end]) {
        int lo = 0;
        int hi = end;
        while (hi - lo > 1) {
            const int mid = (lo + hi) / 2;
            if (f < fr[mid])
                hi = mid;
            else
                lo = mid;
        }
        const double span = fr[hi] - fr[lo];
        // Equal end frequencies leave no span; the upper point then holds, as above the table.
        const double t = span > 0.0 ? (f - fr[lo]) / span : 1.0;
        const double g = gain[lo] + t * (gain[hi] - gain[lo]);
        if (!usePhase)
            return {g, 0.0};
        return Polar(g, phase[lo] + t * (phase[hi] - phase[lo]));
    }
    if (f < fr[0])
        return at(0);
    if (f > fr[end])
        return at(end);
    return 1.0;
}

} // namespace Kedra::Measure
