#pragma once
// Text export of a measurement's frequency response or impulse response, for spreadsheets,
// crossover and circuit simulators. One exporter is configured from the export dialog and
// used once.
//
// Data numbers are written with 12 significant digits and `decimalSep` as the decimal mark,
// header numbers with 6 digits and a point; neither depends on the process locale. Files are
// replaced atomically, so a failed export leaves an existing file as it was. Every export
// returns whether it wrote; a refusal is also logged.

#include <cstdint>
#include <string>
#include <vector>

#include "measure/MeasurementCore.h"

namespace Kedra::Measure {

class MeasurementExporter {
public:
    // Frequency points of a stepped export, and lines of an impulse export, at most.
    static constexpr long long MAX_LINES = 1LL << 23;

    // Phase column (format 0 only; the one-line format always carries the phase).
    bool exportPhase = true;
    // 0 degrees, 1 radians.
    std::int32_t phaseMode = 0;
    // ';', ' ', '\t' or ','; it must differ from `decimalSep`.
    char separator = ';';
    bool includeHeader = true;
    // Impulse exports: a sample-number column in front.
    bool sampleNumbers = false;
    bool phaseUnwrap = false;
    // Prefix of every header line.
    std::string comment = "#";
    // '.' or ','.
    char decimalSep = '.';
    // 0 every bin, 1 bins where level or phase moved, 2 linear steps, 3 logarithmic steps.
    std::int32_t exportMode = 2;
    // 0 one line per point, 1 one line of "(f;dB;deg) " groups for circuit simulators.
    std::int32_t format = 0;
    double maxChangeDb = 0.1;
    // Radians.
    double maxChangePhase = 1.0;
    double linearStepHz = 10.0;
    // Logarithmic steps per decade; the points sit at 10^(i/logSteps) Hz, so every decade
    // boundary (100 Hz, 1 kHz, ...) is one of them.
    double logSteps = 1000.0;

    // The whole response, 0 Hz to half the sample rate.
    bool Export(MeasurementCore& measurement, const std::string& path);
    bool Export(MeasurementCore& measurement, const std::string& path, double fromHz, double toHz);
    // The file contents the exports above write (`out` is replaced).
    bool ExportText(MeasurementCore& measurement, std::string& out);
    bool ExportText(MeasurementCore& measurement, double fromHz, double toHz, std::string& out);

    // Samples first..last of the impulse; sample numbers outside it are written as 0.
    bool ExportImpulse(MeasurementCore& measurement, const std::string& path, int first, int last);
    bool ExportImpulseText(MeasurementCore& measurement, int first, int last, std::string& out);
    // One column per measurement, all aligned on their time zero; they must share a sample
    // rate (nothing is resampled). Where one has no sample, 0 is written.
    bool ExportImpulses(const std::vector<MeasurementCore*>& measurements, const std::string& path,
                        int first, int last);
    bool ExportImpulsesText(const std::vector<MeasurementCore*>& measurements, int first, int last,
                            std::string& out);

    // A table of derived values (group delay, energy-time curve, waterfall, decay curves):
    // the header lines name `title`, `notes` and the columns; a NaN, or a row shorter than
    // the columns, gives empty fields.
    bool ExportTable(const std::string& title, const std::vector<std::string>& notes,
                     const std::vector<std::string>& columns,
                     const std::vector<std::vector<double>>& rows, const std::string& path);
    bool ExportTableText(const std::string& title, const std::vector<std::string>& notes,
                         const std::vector<std::string>& columns,
                         const std::vector<std::vector<double>>& rows, std::string& out);

private:
    // The point settings count only for a response export.
    bool CheckSettings(const std::string& who, bool response) const;
    bool WriteFile(const std::string& path, const std::string& text, const std::string& who) const;
};

} // namespace Kedra::Measure
