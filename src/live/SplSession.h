#pragma once
// A sound level meter run cut into rows, one per interval of signal time, the same whether
// the blocks come from a file or live: the time-weighted levels at the row's time, the
// equivalent level since the start, and LCpeak since the previous row.
//
// One thread: whoever feeds it.

#include <cstdint>
#include <string>
#include <vector>

#include "live/SoundLevelMeter.h"

namespace Kedra::Live {

struct SplRow {
    double seconds = 0.0;
    double fast = 0.0;
    double slow = 0.0;
    double leq = 0.0;
    double peakC = 0.0;
    bool overload = false;
};

class SplSession {
public:
    static constexpr double MIN_INTERVAL_SECONDS = 0.001;

    // The interval is raised to MIN_INTERVAL_SECONDS; callers check first.
    SplSession(Weighting weighting, double samplerate, double intervalSeconds);

    SoundLevelMeter& Meter() { return meter_; }
    const SoundLevelMeter& Meter() const { return meter_; }

    // Feeds the meter; appends a row to `rows` at every interval's end the block reaches.
    void Process(const float* block, int count, std::vector<SplRow>& rows);

private:
    std::int64_t RowEnd(std::int64_t row) const;

    SoundLevelMeter meter_;
    double interval_;
    std::int64_t samples_ = 0;
    std::int64_t row_ = 1;
};

// "time_s,LAF,LAS,LAeq,LCpeak" for A, and the other letters alike.
std::string SplCsvHeader(Weighting weighting);
// One CSV line (with its newline): the time to the microsecond, the levels to 0.01 dB.
std::string SplCsvLine(const SplRow& row);

} // namespace Kedra::Live
