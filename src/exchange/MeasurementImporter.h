#pragma once
// Import of a frequency response made elsewhere (frequency, gain in dB and optionally phase
// per text line, as in FRD files, other programs' exports and microphone calibration files).
// The points are interpolated onto the bins of a new measurement, which is built from that
// spectrum like a measured one. A response that rises above 0 dB is stored peaking at 0 dB,
// with the removed level kept as the measurement's amplitude.
//
// A failed import leaves the measurement as it was and logs why.

#include <cstdint>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "measure/Measurement.h"

namespace Kedra::Measure {

class MeasurementImporter {
public:
    // Points read at most; a longer file is refused.
    static constexpr int MAX_POINTS = 1 << 21;
    // Largest accepted `length`.
    static constexpr int MAX_LENGTH = 1 << 24;

    // Column separators; every ',' inside a column is read as a decimal point.
    std::string separators = "; \t";
    // Take the third column as phase.
    bool importPhase = false;
    // 0 degrees, otherwise radians.
    std::int32_t phaseUnit = 0;
    // Bins above 0 Hz of the built measurement (half its transform length, a power of two).
    std::int32_t length = 65536;
    // Rounded to whole hertz, the rate a measurement carries.
    double samplerate = 44100.0;

    bool Import(Measurement& measurement, const std::string& path);
    // The same rules over text held in memory; `source` names it in log lines.
    bool ImportText(Measurement& measurement, std::string_view text,
                    const std::string& source = "<memory>");

    // Builds the measurement from levels in dB at frequencies (any order; those outside 0 Hz
    // .. half the sample rate left out), with no phase, as a file of those points would be,
    // except that the lowest point is kept. `source` names them in log lines.
    bool ImportPoints(Measurement& measurement, const std::vector<double>& hz,
                      const std::vector<double>& db, const std::string& source);

    // A stricter reading of the same lines, for points that must all count (a target curve):
    // every data line holds a frequency and a level that are whole numbers, the frequencies
    // rise, and there are at least two. False with `why` (naming the line) otherwise.
    bool CheckPoints(std::streambuf& in, std::string& why) const;

    // The level removed from the file's gains by the last import (0 when none was).
    double GetRemovedLevelDb() const { return removedDb_; }
    // Points taken from the file by the last import (before the end points are added).
    int GetPointsRead() const { return pointsRead_; }

private:
    enum class FirstPoint { Replaced, Kept };
    bool Read(Measurement& measurement, std::streambuf& in, const std::string& who);
    bool CheckShape(const std::string& who) const;
    bool Build(Measurement& measurement, const std::vector<double>& frequency,
               const std::vector<double>& gainDb, const std::vector<double>& phase, int rate,
               FirstPoint first, const std::string& who);

    double removedDb_ = 0.0;
    int pointsRead_ = 0;
};

} // namespace Kedra::Measure
