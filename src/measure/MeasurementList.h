#pragma once
// The program's measurements in a fixed number of numbered slots, saved and opened as zip
// packages of measurement files ("measurement-NNN.info" with ".flac" or ".wav"). A slot is
// filled when its measurement holds data; the slot objects live as long as the list (until
// SetNo replaces one), so a view may keep pointing at a slot.
//
// Opening places every measurement of a package that reads correctly and names each one that
// does not, with the reason. A package that is refused as a whole (not a zip, hostile names,
// links, bombs, forged sizes), or none of whose measurements can be read, leaves the list as it
// was. Measurements are decoded one at a time, so a package never needs more memory than its
// largest measurement. Saving builds the new package beside the old one and replaces it only
// once complete.
// One thread at a time (the caller's).

#include <memory>
#include <string>
#include <vector>

#include "measure/Measurement.h"
#include "measure/Package.h"

namespace Kedra::Measure {

// What an open found: the measurements of a package (one per entry base name such as
// "measurement-001"), how many were placed, and for each one that was not, the reason.
struct OpenReport {
    // Refused as a whole; `reason` says why.
    bool refused = false;
    std::string reason;
    int found = 0;
    int opened = 0;
    // "measurement-001: the data file ends early, after 1200 of 65536 samples"
    std::vector<std::string> failed;

    // Everything the package held is in the list (an empty package included).
    bool Complete() const { return !refused && failed.empty() && opened == found; }
};

// Whether the file starts as a zip archive does (a local file header, or an empty archive's
// end record).
bool LooksLikeZip(const std::string& path);

class MeasurementList {
public:
    // Entry numbers have three digits.
    static constexpr int MAX_SAVED_SLOTS = 1000;

    explicit MeasurementList(int slotCount);
    MeasurementList(const MeasurementList&) = delete;
    MeasurementList& operator=(const MeasurementList&) = delete;

    // A package, else the older single-file format (which this version refuses with a log
    // line). Never throws.
    // True when at least one measurement was placed; `report`, when given, says the rest.
    bool OpenTry(const std::string& path, bool append, OpenReport* report = nullptr);
    bool OpenTryAppend(const std::string& path) { return OpenTry(path, true); }
    // Replacing: measurement-NNN goes to slot NNN. Appending: the measurements go, in entry
    // order, to the slots after the last filled one, as far as slots exist.
    bool OpenPackage(const std::string& path, bool append, OpenReport* report = nullptr);
    bool OpenObsolete(const std::string& path, bool append);
    // Every filled slot i as entries measurement-iii; the previous file at `path` stays intact
    // unless the new package was written completely.
    bool Save(const std::string& path);

    void Clear();
    // Filled slots to the front, empty ones behind, both in their order; empty slots relabelled.
    void Rearange();

    // Takes over `measurement` for slot `index`; ignored for an index out of range or null.
    void SetNo(std::unique_ptr<Measurement> measurement, int index);
    // Hands slot `index`'s record over and leaves an empty one there; null out of range.
    std::unique_ptr<Measurement> Take(int index);
    // The two slots' records trade places whole; ignored when either index is out of range.
    void Swap(int a, int b);
    // Null for an index out of range.
    Measurement* No(int index);
    int GetSize() const { return static_cast<int>(slots_.size()); }
    bool IsFilled(int index);
    // Index of the last filled slot, -1 when none is.
    int LastFilled() const;

    void SetMAnalysis(int exponent);
    int GetMAnalysis() const { return exponent_; }
    void SetSaveAsWave(bool b) { saveAsWave_ = b; }
    bool GetSaveAsWave() const { return saveAsWave_; }
    // The directory under which each open makes its own private unpack directory; empty (the
    // default) means the system temporary directory.
    void SetTempDirectory(const std::string& dir) { tempDirectory_ = dir; }
    const std::string& GetTempDirectory() const { return tempDirectory_; }
    // Limits a package must keep to be unpacked.
    void SetPackageLimits(const Package::Limits& limits) { limits_ = limits; }

    static std::string EmptyLabel(int index);

private:
    int exponent_ = 16;
    bool saveAsWave_ = false;
    std::string tempDirectory_;
    Package::Limits limits_;
    std::vector<std::unique_ptr<Measurement>> slots_;
};

} // namespace Kedra::Measure
