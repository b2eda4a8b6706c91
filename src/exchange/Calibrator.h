#pragma once
// One calibration: the response of a part of the measuring chain that is not the device
// under test (measuring microphone, or the sound card's own output-to-input path), held as
// a short table of frequency points. It is read from and written to ".cal" text files,
// built from a measurement, and answers the complex factor that removes that response
// from a measured spectrum.
//
// Used on one thread at a time. GetCorrection does not change the calibrator and
// allocates nothing, so it may run once per spectrum bin.

#include <complex>
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/Mem.h"
#include "measure/MeasurementCore.h"

namespace Kedra::Measure {

class Calibrator {
public:
    // Import reduces a measurement to this many bins above 0 Hz (fewer when it has fewer).
    static constexpr int IMPORT_BINS = 16384;

    Calibrator();
    Calibrator(const Calibrator&) = delete;
    Calibrator& operator=(const Calibrator&) = delete;

    // Each reader and Import either installs a complete new table or refuses with a log
    // line and leaves the previous table, `valid` and `active` as they were.

    // Reads a calibration file; needs at least two data points. A missing file reads
    // as empty.
    bool Open(const std::string& path);
    // The same rules over text held in memory; `source` names it in log lines.
    bool OpenText(std::string_view text, const std::string& source = "<memory>");
    // Why the last Open or OpenText refused, for the user: "no such file: X", "one data line,
    // fewer than the two needed" ...; empty after one that read.
    const std::string& LastError() const { return lastError_; }

    // Writes the table; false (and nothing written) while no table is loaded. The file
    // is replaced atomically, so a failed save leaves an existing file as it was.
    bool Save(const std::string& path) const;
    // The file contents Save writes; empty while no table is loaded.
    std::string SaveText() const;

    // Builds the table from the measurement's frequency response; outside
    // [lowHz, highHz] the response is replaced by a smooth extension. `active` is kept.
    bool Import(MeasurementCore& measurement, double lowHz, double highHz);

    // Only a loaded calibrator can become active.
    void SetActive(bool b);

    // The correction factor at f Hz: 1 while inactive or for NaN, the end point's value
    // outside the table, linear interpolation of gain and phase inside.
    std::complex<double> GetCorrection(double f) const;

    int GetCount() const { return count_; }
    bool IsActive() const { return active_; }
    bool IsValid() const { return valid_; }
    bool IsAllocated() const { return frequencies_.data() != nullptr; }
    // Ascending frequencies in Hz.
    const double* GetFrequencies() const { return frequencies_.data(); }
    // The calibrated response H at each point.
    const std::complex<double>* GetResponse() const { return response_.data(); }
    // 1/|H| limited to [minCorrection, maxCorrection].
    const double* GetCorrectionGain() const { return correctionGain_.data(); }
    // Minus the phase of H, in radians.
    const double* GetCorrectionPhase() const { return correctionPhase_.data(); }

    // Written on the "#Comment" line; Import sets it to the measurement's label.
    std::string comment;
    // Characters that split the columns of a data line.
    std::string separators = "; \t";
    // Import keeps a bin when level or phase moved further than this from the last kept one.
    double maxChangeDb = 0.02;
    double maxChangeDeg = 0.2;
    // Limits of the correction gain (linear), applied when a table is loaded.
    double maxCorrection;
    double minCorrection;
    // Unit of the third column: 0 degrees, anything else radians.
    std::int32_t phaseUnit = 0;
    // Whether the correction includes the phase (everywhere, the held end values too).
    bool usePhase = true;

private:
    struct Table;
    bool ReadPoints(std::streambuf& in, const std::string& source);
    bool Install(Table& table, const std::string& who);

    std::string lastError_;
    int count_ = 0;
    bool active_ = false;
    bool valid_ = false;
    Mem::Array<double> frequencies_;
    Mem::Array<std::complex<double>> response_;
    Mem::Array<double> correctionGain_;
    Mem::Array<double> correctionPhase_;
};

} // namespace Kedra::Measure
