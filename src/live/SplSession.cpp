#include "live/SplSession.h"

#include <algorithm>
#include <cmath>

#include "exchange/TextFile.h"

namespace Kedra::Live {

SplSession::SplSession(Weighting weighting, double samplerate, double intervalSeconds)
    : meter_(weighting, samplerate), interval_(std::max(intervalSeconds, MIN_INTERVAL_SECONDS)) {}

std::int64_t SplSession::RowEnd(std::int64_t row) const {
    // From the row's number, so the rows do not drift when an interval is no whole number of
    // samples.
    return std::llround(static_cast<double>(row) * interval_ * meter_.GetSamplerate());
}

void SplSession::Process(const float* block, int count, std::vector<SplRow>& rows) {
    int done = 0;
    while (done < count) {
        const std::int64_t end = RowEnd(row_);
        const int n = static_cast<int>(std::min<std::int64_t>(count - done, end - samples_));
        meter_.Process(block + done, n);
        done += n;
        samples_ += n;
        if (samples_ == end) {
            const SoundLevelReadings r = meter_.Readings();
            rows.push_back({static_cast<double>(row_) * interval_, r.fast, r.slow, r.leq,
                            meter_.TakePeakC(), r.overload});
            ++row_;
        }
    }
}

std::string SplCsvHeader(Weighting weighting) {
    const std::string x(1, WeightingLetter(weighting));
    return "time_s,L" + x + "F,L" + x + "S,L" + x + "eq,LCpeak\n";
}

std::string SplCsvLine(const SplRow& row) {
    using Kedra::Text::FormatFixed;
    return FormatFixed(row.seconds, 6) + "," + FormatFixed(row.fast, 2) + "," +
           FormatFixed(row.slow, 2) + "," + FormatFixed(row.leq, 2) + "," +
           FormatFixed(row.peakC, 2) + "\n";
}

} // namespace Kedra::Live
