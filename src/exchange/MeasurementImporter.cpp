#include "exchange/MeasurementImporter.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <complex>
#include <filesystem>
#include <fstream>
#include <ios>
#include <numeric>
#include <vector>

#include "exchange/TextFile.h"
#include "foundation/Interpolator.h"
#include "foundation/KedraLogger.h"
#include "foundation/MathHelpers.h"
#include "foundation/Mem.h"

namespace Kedra::Measure {

using cd = std::complex<double>;
using Kedra::Math::DBToAmplitude;
using Kedra::Math::TWOPI;

namespace {

void Log(const std::string& text) {
    Kedra::Logging::KedraLogger::LogText(text + "\n");
}

// The whole token as a finite number; ParseNumber takes the longest prefix, so "12abc" would
// pass as 12.
bool WholeNumber(std::string_view token, double& value) {
    if (!token.empty() && token.front() == '+')
        token.remove_prefix(1);
    const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
    return ec == std::errc() && end == token.data() + token.size() && std::isfinite(value);
}

bool IsPow2(long long n) {
    return n > 0 && (n & (n - 1)) == 0;
}

} // namespace

bool MeasurementImporter::Import(Measurement& measurement, const std::string& path) {
    Log("INFO    MeasurementImporter::Import(" + path + ")");
    const std::string who = "MeasurementImporter::Import(" + path + ")";
    removedDb_ = 0.0;
    pointsRead_ = 0;
    return Kedra::Text::ReadRegularFile(path, who, "nothing imported", [&](std::streambuf& in) {
        return Read(measurement, in, who);
    });
}

bool MeasurementImporter::ImportText(Measurement& measurement, std::string_view text,
                                     const std::string& source) {
    Log("INFO    MeasurementImporter::Import(" + source + ")");
    removedDb_ = 0.0;
    pointsRead_ = 0;
    Kedra::Text::MemoryStreamBuf buffer(text);
    return Read(measurement, buffer, "MeasurementImporter::Import(" + source + ")");
}

bool MeasurementImporter::Read(Measurement& measurement, std::streambuf& in,
                               const std::string& who) {
    if (!CheckShape(who))
        return false;
    // The measurement's bins sit on whole-hertz rates; the grid must be the same one.
    const int rate = Kedra::Math::ToIntRound(samplerate);
    const double nyquist = rate / 2.0;

    Kedra::Text::LineReader reader(in);
    std::string line;
    std::vector<std::string> tokens;
    std::vector<double> frequency;
    std::vector<double> gainDb;
    std::vector<double> phase;
    while (reader.Next(line)) {
        std::string_view view = line;
        // An editor's byte-order mark would hide the first line's numbers.
        if (reader.LineNumber() == 1 && view.substr(0, 3) == "\xEF\xBB\xBF")
            view.remove_prefix(3);
        if (!Kedra::Text::SplitDataLine(view, separators, tokens) || tokens.size() < 2)
            continue;
        const double f = Kedra::Text::ParseNumber(tokens[0]);
        const double g = Kedra::Text::ParseNumber(tokens[1]);
        double p = 0.0;
        if (importPhase && tokens.size() > 2) {
            p = Kedra::Text::ParseNumber(tokens[2]);
            if (phaseUnit == 0)
                p = p * TWOPI / 360.0;
        }
        if (!std::isfinite(f) || !std::isfinite(g) || !std::isfinite(p)) {
            Log("WARNING " + who + " : line " + std::to_string(reader.LineNumber()) +
                " holds a number that is not finite -> nothing imported");
            return false;
        }
        if (f < 0.0 || f > nyquist)
            continue;
        if (frequency.size() == static_cast<std::size_t>(MAX_POINTS)) {
            Log("WARNING " + who + " : more than " + std::to_string(MAX_POINTS) +
                " points -> nothing imported");
            return false;
        }
        frequency.push_back(f);
        gainDb.push_back(g);
        phase.push_back(p);
    }
    if (reader.WasCut()) {
        // The reader stops at such a line; the points after it would be lost unseen.
        Log("WARNING " + who + " : line " + std::to_string(reader.LineNumber()) +
            " is longer than " + std::to_string(Kedra::Text::LineReader::MAX_LINE) +
            " characters -> nothing imported");
        return false;
    }
    if (frequency.empty()) {
        Log("WARNING " + who + " : no data points from 0 Hz to half the sample rate -> " +
            "nothing imported");
        return false;
    }
    if (!std::is_sorted(frequency.begin(), frequency.end()))
        Log("INFO    " + who + " : frequencies not ascending -> points sorted");
    return Build(measurement, frequency, gainDb, phase, rate, FirstPoint::Replaced, who);
}

bool MeasurementImporter::CheckPoints(std::streambuf& in, std::string& why) const {
    Kedra::Text::LineReader reader(in);
    std::string line;
    std::vector<std::string> tokens;
    int points = 0;
    double previous = 0.0;
    int previousLine = 0;
    while (reader.Next(line)) {
        std::string_view view = line;
        if (reader.LineNumber() == 1 && view.substr(0, 3) == "\xEF\xBB\xBF")
            view.remove_prefix(3);
        if (!Kedra::Text::SplitDataLine(view, separators, tokens))
            continue;
        const std::string at = "line " + std::to_string(reader.LineNumber()) + ": ";
        double f = 0.0;
        double g = 0.0;
        if (!WholeNumber(tokens[0], f)) {
            why = at + "'" + tokens[0] + "' is not a frequency";
            return false;
        }
        if (tokens.size() < 2) {
            why = at + "a frequency without a level";
            return false;
        }
        if (!WholeNumber(tokens[1], g)) {
            why = at + "'" + tokens[1] + "' is not a level in dB";
            return false;
        }
        if (points > 0 && !(f > previous)) {
            why = at + Kedra::Text::FormatNumber(f) + " Hz does not rise above the " +
                  Kedra::Text::FormatNumber(previous) + " Hz of line " +
                  std::to_string(previousLine);
            return false;
        }
        previous = f;
        previousLine = reader.LineNumber();
        ++points;
    }
    if (reader.WasCut()) {
        why = "line " + std::to_string(reader.LineNumber()) + " is longer than " +
              std::to_string(Kedra::Text::LineReader::MAX_LINE) + " characters";
        return false;
    }
    if (points < 2) {
        why = points == 0 ? "no points (frequency and dB per line)" : "only one point, not two";
        return false;
    }
    return true;
}

bool MeasurementImporter::ImportPoints(Measurement& measurement, const std::vector<double>& hz,
                                       const std::vector<double>& db, const std::string& source) {
    const std::string who = "MeasurementImporter::ImportPoints(" + source + ")";
    Log("INFO    " + who);
    removedDb_ = 0.0;
    pointsRead_ = 0;
    if (!CheckShape(who))
        return false;
    const int rate = Kedra::Math::ToIntRound(samplerate);
    if (hz.size() != db.size() || hz.size() > static_cast<std::size_t>(MAX_POINTS)) {
        Log("WARNING " + who + " : " + std::to_string(hz.size()) + " frequencies and " +
            std::to_string(db.size()) + " levels -> nothing imported");
        return false;
    }
    std::vector<double> f, g;
    for (std::size_t i = 0; i < hz.size(); ++i) {
        if (!std::isfinite(hz[i]) || !std::isfinite(db[i])) {
            Log("WARNING " + who + " : point " + std::to_string(i) +
                " is not finite -> nothing imported");
            return false;
        }
        if (hz[i] >= 0.0 && hz[i] <= rate / 2.0) {
            f.push_back(hz[i]);
            g.push_back(db[i]);
        }
    }
    if (f.empty()) {
        Log("WARNING " + who +
            " : no points from 0 Hz to half the sample rate -> nothing "
            "imported");
        return false;
    }
    return Build(measurement, f, g, std::vector<double>(f.size(), 0.0), rate, FirstPoint::Kept,
                 who);
}

bool MeasurementImporter::CheckShape(const std::string& who) const {
    if (!IsPow2(length) || length > MAX_LENGTH) {
        Log("WARNING " + who + " : length " + std::to_string(length) +
            " is not a power of two up to " + std::to_string(MAX_LENGTH) + " -> nothing imported");
        return false;
    }
    if (!(samplerate >= 1.0 && samplerate <= INT_MAX)) {
        Log("WARNING " + who + " : sample rate out of range -> nothing imported");
        return false;
    }
    return true;
}

bool MeasurementImporter::Build(Measurement& measurement, const std::vector<double>& frequency,
                                const std::vector<double>& gainDb, const std::vector<double>& phase,
                                int rate, FirstPoint first, const std::string& who) {
    const double nyquist = rate / 2.0;
    const std::size_t n = frequency.size();
    // The interpolation needs ascending frequencies; equal ones keep their given order.
    const std::vector<std::size_t> order = Kedra::Text::StableAscendingOrder(frequency);
    std::vector<double> f;
    std::vector<double> g;
    std::vector<double> p;
    f.reserve(n + 1);
    g.reserve(n + 1);
    p.reserve(n + 1);
    for (std::size_t i : order) {
        f.push_back(frequency[i]);
        g.push_back(gainDb[i]);
        p.push_back(phase[i]);
    }
    // The lowest point of a file (often 0 Hz) is rarely meaningful; its neighbour stands in.
    if (first == FirstPoint::Replaced && n >= 2) {
        g[0] = g[1];
        p[0] = p[1];
    }
    if (nyquist > f.back()) {
        f.push_back(nyquist);
        g.push_back(g.back());
        p.push_back(p.back());
    }
    const double peak = *std::max_element(g.begin(), g.end());
    const double removed = peak > 0.0 ? peak : 0.0;
    const double scale = DBToAmplitude(removed);
    if (!std::isfinite(scale)) {
        Log("WARNING " + who + " : gain of " + Kedra::Text::FormatNumber(peak) +
            " dB out of range -> nothing imported");
        return false;
    }

    const std::size_t count = f.size();
    std::vector<cd> points(count);
    for (std::size_t i = 0; i < count; ++i)
        points[i] = DBToAmplitude(g[i] - removed) * cd(std::cos(p[i]), std::sin(p[i]));

    Kedra::Math::InterpolatorNonEqLinearPolar interpolator;
    interpolator.SetSamples(static_cast<int>(count), points.data(), f.data());
    // Below the first point the file's lowest value holds, rather than a drop to nothing.
    interpolator.SetZeroOutside(false);
    const auto bins = static_cast<std::size_t>(length) + 1;
    Mem::Array<cd> spectrum(bins);
    const double hzPerBin = static_cast<double>(rate) / (2.0 * length);
    for (std::size_t k = 0; k < bins; ++k)
        spectrum[k] = interpolator.Value(static_cast<double>(k) * hzPerBin);

    measurement.InitializeFreq(spectrum.data(), length, rate, length, 0, 0.0, 0.0, true);
    if (!measurement.IsInitialized() || measurement.GetNHalf() != length) {
        Log("WARNING " + who + " : the measurement could not be built -> nothing imported");
        return false;
    }
    measurement.SetAmplitude(scale);
    removedDb_ = removed;
    pointsRead_ = static_cast<int>(n);
    Log("INFO    " + who + " : " + std::to_string(n) + " points, " + std::to_string(length) +
        " bins at " + std::to_string(rate) + " Hz, level " + Kedra::Text::FormatNumber(removed) +
        " dB removed");
    return true;
}

} // namespace Kedra::Measure
