#include "exchange/MeasurementExporter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <complex>
#include <cstdint>

#include "exchange/TextFile.h"
#include "foundation/KedraLogger.h"
#include "foundation/MathHelpers.h"

namespace Kedra::Measure {

using cd = std::complex<double>;
using Kedra::Math::AmplitudeToDB;
using Kedra::Math::Phase;
using Kedra::Math::PhaseUnwrapper;
using Kedra::Math::RadToDeg;
using Kedra::Math::TWOPI;
using Kedra::Text::AppendNumber;

namespace {

constexpr const char* SOFTWARE_LINE = " Measurement exported using Vaviv Uradavadu software\n";

// The first header lines of every export: who wrote it and where to find the program.
void AppendBanner(std::string& out, const std::string& c) {
    out += c + "\n";
    out += c + SOFTWARE_LINE;
    out += c + " " + Kedra::Text::PRODUCT_WEB_ADDRESS + "\n";
    out += c + "\n";
}

void Log(const std::string& text) {
    Kedra::Logging::KedraLogger::LogText(text + "\n");
}

// A label or comment with a line break would start a header line without the comment
// prefix, which a reader takes for data.
std::string OneLine(const std::string& text) {
    std::string s = text;
    for (char& c : s)
        if (c == '\n' || c == '\r' || c == '\0')
            c = ' ';
    return s;
}

// A data number: 12 significant digits as a stream writes them, decimal mark chosen.
// Negative zero (a phase of -0) is written as 0.
void AppendData(std::string& out, double x, char decimalSep) {
    x += 0.0;
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof(buffer), x, std::chars_format::general, 12);
    for (char* p = buffer; p != result.ptr; ++p)
        if (*p == '.' || *p == ',')
            *p = decimalSep;
    out.append(buffer, result.ptr);
}

// Writes the data lines of a frequency-response export.
class PointWriter {
public:
    // `offsetDb` is added to every level: a record's SPL offset, so that it reads dB SPL.
    PointWriter(const MeasurementExporter& e, std::string& out, double offsetDb)
        : e_(e), out_(out), offsetDb_(offsetDb) {}

    void Point(double f, double magnitude, double phase) {
        const char sep = e_.separator;
        if (e_.format == 1) {
            out_ += '(';
            AppendData(out_, f, e_.decimalSep);
            out_ += sep;
            AppendData(out_, Level(magnitude), e_.decimalSep);
            out_ += sep;
            AppendData(out_, phase * RadToDeg, e_.decimalSep);
            out_ += ") ";
            return;
        }
        AppendData(out_, f, e_.decimalSep);
        out_ += sep;
        AppendData(out_, Level(magnitude), e_.decimalSep);
        if (e_.exportPhase) {
            out_ += sep;
            AppendData(out_, e_.phaseMode == 1 ? phase : phase * RadToDeg, e_.decimalSep);
        }
        out_ += '\n';
    }

    void Finish() {
        // The one-line format still ends its line.
        if (e_.format == 1)
            out_ += '\n';
    }

private:
    // The floor of a zero magnitude stays the floor.
    double Level(double magnitude) const {
        return magnitude > 0.0 ? AmplitudeToDB(magnitude) + offsetDb_ : AmplitudeToDB(magnitude);
    }

    const MeasurementExporter& e_;
    std::string& out_;
    double offsetDb_ = 0.0;
};

// Weighted averages of a spectrum's bins 0 .. last: magnitudes averaged linearly, the
// phase taken from the weighted complex sum.
class BinAverage {
public:
    BinAverage(const double* a, const cd* f, int last) : a_(a), f_(f), last_(last) {}

    void Add(long long j, double w) {
        if (w <= 0.0 || j < 0 || j > last_)
            return;
        const auto k = static_cast<std::size_t>(j);
        sumW_ += w;
        sumA_ += w * a_[k];
        sumF_ += w * f_[k];
    }
    // Without any positive weight the nearest bin stands alone.
    void Finish(double centreBin) {
        if (sumW_ > 0.0)
            return;
        const double c = std::clamp(std::floor(centreBin + 0.5), 0.0, static_cast<double>(last_));
        Add(static_cast<long long>(c), 1.0);
    }
    double Magnitude() const { return sumA_ / sumW_; }
    cd Complex() const { return sumF_; }

private:
    const double* a_;
    const cd* f_;
    int last_;
    double sumW_ = 0.0;
    double sumA_ = 0.0;
    cd sumF_{0.0, 0.0};
};

} // namespace

bool MeasurementExporter::CheckSettings(const std::string& who, bool response) const {
    const bool separatorOk =
        separator == ';' || separator == ' ' || separator == '\t' || separator == ',';
    const bool decimalOk = decimalSep == '.' || decimalSep == ',';
    if (!separatorOk || !decimalOk || separator == decimalSep) {
        // With ',' for both, "1,5,2" could be read either way.
        Log("WARNING " + who + " : separator and decimal mark must be distinct and known -> " +
            "nothing written");
        return false;
    }
    if (response && (exportMode < 0 || exportMode > 3 || format < 0 || format > 1)) {
        Log("WARNING " + who + " : unknown export mode " + std::to_string(exportMode) +
            " or format " + std::to_string(format) + " -> nothing written");
        return false;
    }
    return true;
}

bool MeasurementExporter::WriteFile(const std::string& path, const std::string& text,
                                    const std::string& who) const {
    std::string error;
    if (!Kedra::Text::WriteFileAtomically(path, text, error)) {
        Log("WARNING " + who + " : " + error + " -> nothing written");
        return false;
    }
    return true;
}

bool MeasurementExporter::Export(MeasurementCore& measurement, const std::string& path) {
    std::string text;
    return ExportText(measurement, text) &&
           WriteFile(path, text, "MeasurementExporter::Export(" + path + ")");
}

bool MeasurementExporter::Export(MeasurementCore& measurement, const std::string& path,
                                 double fromHz, double toHz) {
    std::string text;
    return ExportText(measurement, fromHz, toHz, text) &&
           WriteFile(path, text, "MeasurementExporter::Export(" + path + ")");
}

bool MeasurementExporter::ExportText(MeasurementCore& measurement, std::string& out) {
    if (!measurement.IsInitialized()) {
        out.clear();
        Log("WARNING MeasurementExporter::Export : no impulse -> nothing written");
        return false;
    }
    return ExportText(measurement, 0.0, measurement.GetNHalf() * measurement.GetHzPerBin(), out);
}

bool MeasurementExporter::ExportText(MeasurementCore& measurement, double fromHz, double toHz,
                                     std::string& out) {
    out.clear();
    const std::string who = "MeasurementExporter::Export";
    if (!measurement.IsInitialized()) {
        Log("WARNING " + who + " : no impulse -> nothing written");
        return false;
    }
    if (!CheckSettings(who, true))
        return false;
    if (std::isnan(fromHz) || std::isnan(toHz)) {
        Log("WARNING " + who + " : frequency range is not a number -> nothing written");
        return false;
    }
    if (exportMode == 2 && !(std::isfinite(linearStepHz) && linearStepHz > 0.0)) {
        Log("WARNING " + who + " : linear step must be positive -> nothing written");
        return false;
    }
    if (exportMode == 3 && !(std::isfinite(logSteps) && logSteps > 0.0)) {
        Log("WARNING " + who + " : logarithmic steps must be positive -> nothing written");
        return false;
    }

    const int m = measurement.GetNHalf();
    const double df = measurement.GetHzPerBin();
    const double nyquist = m * df;
    fromHz = std::max(fromHz, 0.0);
    // Bins 0 .. m-1 are exported; the Nyquist bin is not.
    const double firstBin = std::min(std::floor(fromHz / df), static_cast<double>(m));
    const double lastBin = std::min(std::floor(std::min(toHz, nyquist) / df), m - 1.0);

    // The number of stepped points, known before anything is written.
    double steps = 0.0;
    if (exportMode == 2)
        steps = (std::min(toHz, nyquist) - fromHz) / linearStepHz + 2.0;
    else if (exportMode == 3)
        steps = logSteps * std::log10(nyquist / df) + 2.0;
    if (steps > static_cast<double>(MAX_LINES)) {
        Log("WARNING " + who + " : more than " + std::to_string(MAX_LINES) +
            " frequency points -> nothing written");
        return false;
    }

    const double* a = measurement.GetA();
    const cd* f = measurement.GetF();
    if (a == nullptr || f == nullptr)
        return false;

    const std::string c = OneLine(comment);
    if (includeHeader) {
        AppendBanner(out, c);
        out += c + " Note: " + OneLine(measurement.GetLabel()) + "\n";
        // The transform length the response was computed over, which the list also shows;
        // the raw data may be longer (a sweep's whole deconvolution).
        out += c + " Number of samples: " + std::to_string(measurement.GetN()) + "\n";
        out += c + " Samplerate: " + std::to_string(measurement.GetSamplerate()) + "\n";
        out += c + "\n";
        switch (exportMode) {
        case 0:
            out += c + " All discrete frequencies are included\n";
            break;
        case 1:
            out += c + " Non-Equidistant frequency steps\n";
            out += c + " Max change [dB]: ";
            AppendNumber(out, maxChangeDb);
            out += "\n" + c + " Max change [Deg]: ";
            AppendNumber(out, maxChangePhase * 360.0 / TWOPI);
            out += "\n";
            break;
        case 2:
            out += c + " Linear frequency steps of ";
            AppendNumber(out, linearStepHz);
            out += "Hz \n";
            break;
        default:
            out += c + " Logarithmic frequency steps. (";
            AppendNumber(out, logSteps);
            out += " steps) \n";
            break;
        }
        out += c + "\n";
        if (measurement.HasSpl())
            out +=
                c + " SPL reference: " + OneLine(measurement.GetSplReference()) + "\n" + c + "\n";
        out += c + " Frequency [Hz]" + separator +
               (measurement.HasSpl() ? " Amplitude [dB SPL]" : " Amplitude [dB]");
        out += exportPhase ? std::string(1, separator) + " Phase\n" : std::string("\n");
        out += c + "\n";
    }

    PointWriter writer(*this, out, measurement.HasSpl() ? measurement.GetSplOffset() : 0.0);
    PhaseUnwrapper unwrapper;

    if (exportMode == 0 || exportMode == 1) {
        if (firstBin > lastBin) {
            writer.Finish();
            return true;
        }
        const int k0 = static_cast<int>(firstBin);
        const int k1 = static_cast<int>(lastBin);
        double lastLevel = AmplitudeToDB(a[0]);
        double lastPhase = 0.0;
        for (int k = k0; k <= k1; ++k) {
            const auto u = static_cast<std::size_t>(k);
            double phase = Phase(f[u]);
            if (phaseUnwrap)
                phase = k == k0 ? unwrapper.Start(f[u]) : unwrapper.Next(f[u]);
            if (exportMode == 1) {
                const double level = AmplitudeToDB(a[u]);
                if (!(std::abs(level - lastLevel) > maxChangeDb ||
                      std::abs(phase - lastPhase) > maxChangePhase || k == 0 || k == k1))
                    continue;
                lastLevel = level;
                lastPhase = phase;
            }
            writer.Point(k * df, a[u], phase);
        }
        writer.Finish();
        return true;
    }

    if (phaseUnwrap)
        unwrapper.Start(f[static_cast<std::size_t>(std::min(firstBin, m - 1.0))]);
    auto emit = [&](double freq, const BinAverage& avg) {
        const double phase = phaseUnwrap ? unwrapper.Next(avg.Complex()) : Phase(avg.Complex());
        writer.Point(freq, avg.Magnitude(), phase);
    };

    if (exportMode == 2) {
        // Triangle of half-width u bins around the bin below v, weight u - distance.
        const double u = std::floor(linearStepHz / (2.0 * df) + 1.0);
        for (long long i = 0;; ++i) {
            double v = fromHz + static_cast<double>(i) * linearStepHz;
            const bool last = v >= nyquist;
            if (last)
                v = nyquist;
            if (v > toHz)
                break;
            const double b = std::trunc(v / df);
            BinAverage avg(a, f, m - 1);
            const double lo = std::max(0.0, b - u);
            const double hi = std::min(m - 1.0, b + u);
            for (double j = lo; j <= hi; j += 1.0)
                avg.Add(static_cast<long long>(j), u - std::abs(b - j));
            avg.Finish(b);
            emit(v, avg);
            if (last)
                break;
        }
        writer.Finish();
        return true;
    }

    // Logarithmic steps: points at 10^(i/logSteps) Hz between the first bin above 0 Hz
    // and the end of the range. Each averages the bins between its neighbouring points
    // with a triangle falling to 0 at them (at least one bin wide on either side, which
    // below the bin spacing is linear interpolation between the two nearest bins).
    const double low = std::max(fromHz, df);
    const double high = std::min(toHz, nyquist);
    if (low <= high) {
        const double tolerance = 1e-9;
        const auto i0 = static_cast<long long>(std::ceil(logSteps * std::log10(low) - tolerance));
        const auto i1 = static_cast<long long>(std::floor(logSteps * std::log10(high) + tolerance));
        for (long long i = i0; i <= i1; ++i) {
            const double freq =
                std::clamp(std::pow(10.0, static_cast<double>(i) / logSteps), low, high);
            const double below = std::pow(10.0, static_cast<double>(i - 1) / logSteps);
            const double above = std::pow(10.0, static_cast<double>(i + 1) / logSteps);
            const double centre = freq / df;
            const double left = std::max(1.0, (freq - below) / df);
            const double right = std::max(1.0, (above - freq) / df);
            BinAverage avg(a, f, m - 1);
            const double lo = std::max(0.0, std::ceil(centre - left));
            const double hi = std::min(m - 1.0, std::floor(centre + right));
            for (double j = lo; j <= hi; j += 1.0)
                avg.Add(static_cast<long long>(j),
                        j <= centre ? 1.0 - (centre - j) / left : 1.0 - (j - centre) / right);
            avg.Finish(centre);
            emit(freq, avg);
        }
    }
    writer.Finish();
    return true;
}

bool MeasurementExporter::ExportImpulse(MeasurementCore& measurement, const std::string& path,
                                        int first, int last) {
    std::string text;
    return ExportImpulseText(measurement, first, last, text) &&
           WriteFile(path, text, "MeasurementExporter::ExportImpulse(" + path + ")");
}

bool MeasurementExporter::ExportImpulseText(MeasurementCore& measurement, int first, int last,
                                            std::string& out) {
    std::vector<MeasurementCore*> one{&measurement};
    out.clear();
    if (!measurement.IsInitialized()) {
        Log("WARNING MeasurementExporter::ExportImpulse : no impulse -> nothing written");
        return false;
    }
    return ExportImpulsesText(one, first, last, out);
}

bool MeasurementExporter::ExportTable(const std::string& title,
                                      const std::vector<std::string>& notes,
                                      const std::vector<std::string>& columns,
                                      const std::vector<std::vector<double>>& rows,
                                      const std::string& path) {
    std::string text;
    return ExportTableText(title, notes, columns, rows, text) &&
           WriteFile(path, text, "MeasurementExporter::ExportTable(" + path + ")");
}

bool MeasurementExporter::ExportTableText(const std::string& title,
                                          const std::vector<std::string>& notes,
                                          const std::vector<std::string>& columns,
                                          const std::vector<std::vector<double>>& rows,
                                          std::string& out) {
    out.clear();
    const std::string who = "MeasurementExporter::ExportTable";
    if (!CheckSettings(who, false))
        return false;
    if (columns.empty() || static_cast<long long>(rows.size()) > MAX_LINES) {
        Log("WARNING " + who + " : no columns or too many rows -> nothing written");
        return false;
    }
    const std::string c = OneLine(comment);
    if (includeHeader) {
        AppendBanner(out, c);
        out += c + " " + OneLine(title) + "\n";
        for (const std::string& note : notes)
            out += c + " " + OneLine(note) + "\n";
        out += c + "\n";
        out += c;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (i > 0)
                out += separator;
            out += OneLine(columns[i]);
        }
        out += "\n";
    }
    for (const std::vector<double>& row : rows) {
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (i > 0)
                out += separator;
            if (i < row.size() && std::isfinite(row[i]))
                AppendData(out, row[i], decimalSep);
        }
        out += "\n";
    }
    return true;
}

bool MeasurementExporter::ExportImpulses(const std::vector<MeasurementCore*>& measurements,
                                         const std::string& path, int first, int last) {
    std::string text;
    return ExportImpulsesText(measurements, first, last, text) &&
           WriteFile(path, text, "MeasurementExporter::ExportImpulses(" + path + ")");
}

bool MeasurementExporter::ExportImpulsesText(const std::vector<MeasurementCore*>& measurements,
                                             int first, int last, std::string& out) {
    out.clear();
    const std::string who = "MeasurementExporter::ExportImpulses";
    if (measurements.empty()) {
        Log("WARNING " + who + " : no measurement -> nothing written");
        return false;
    }
    for (MeasurementCore* m : measurements) {
        if (m == nullptr || !m->IsInitialized()) {
            Log("WARNING " + who + " : a measurement holds no impulse -> nothing written");
            return false;
        }
        if (m->GetSamplerate() != measurements.front()->GetSamplerate()) {
            // Columns at different rates would not share the time axis of the file.
            Log("WARNING " + who + " : sample rates differ -> nothing written");
            return false;
        }
    }
    if (!CheckSettings(who, false))
        return false;
    const long long lines = static_cast<long long>(last) - first + 1;
    if (lines > MAX_LINES) {
        Log("WARNING " + who + " : more than " + std::to_string(MAX_LINES) +
            " samples asked for -> nothing written");
        return false;
    }

    const bool single = measurements.size() == 1;
    const std::string c = OneLine(comment);
    if (includeHeader) {
        MeasurementCore& m0 = *measurements.front();
        AppendBanner(out, c);
        if (single) {
            out += c + " Note: " + OneLine(m0.GetLabel()) + "\n";
            out += c + " Number of samples: " + std::to_string(m0.GetN()) + "\n";
        }
        out += c + " Samplerate: " + std::to_string(m0.GetSamplerate()) + "\n";
        out += c + " First sample number in file: " + std::to_string(first) + "\n";
        out += c + " Last sample number in file: " + std::to_string(last) + "\n";
        out += c + "\n";
        // The heading is a header line too: without the prefix a reader would take it for data.
        out += c;
        if (sampleNumbers)
            out += std::string(" sample") + separator;
        if (single) {
            out += " Amplitude";
        } else {
            for (std::size_t i = 0; i < measurements.size(); ++i) {
                if (i > 0)
                    out += separator;
                const std::string label = OneLine(measurements[i]->GetLabel());
                out += " " + (label.empty() ? "Amplitude " + std::to_string(i + 1) : label);
            }
        }
        out += "\n";
    }

    std::vector<const double*> impulses;
    for (MeasurementCore* m : measurements) {
        const double* i = m->GetI();
        if (i == nullptr)
            return false;
        impulses.push_back(i);
    }
    for (long long s = first; s <= last; ++s) {
        if (sampleNumbers) {
            out += std::to_string(s);
            out += separator;
        }
        for (std::size_t i = 0; i < measurements.size(); ++i) {
            if (i > 0)
                out += separator;
            const int half = measurements[i]->GetNHalf();
            const double x = s >= -half && s < half ? impulses[i][s] : 0.0;
            AppendData(out, x, decimalSep);
        }
        out += '\n';
    }
    return true;
}

} // namespace Kedra::Measure
