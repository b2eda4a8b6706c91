#include "live/RtaAnalysis.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "exchange/TextFile.h"

namespace Kedra::Live {

std::string ParseRtaAverage(const std::string& text, RtaSettings& settings) {
    const std::string usage =
        "--average takes fifo:N (1 to 128 frames), exp:SECONDS or inf, not '" + text + "'";
    if (text == "inf") {
        settings.average = RtaAverage::Infinite;
        return {};
    }
    const auto colon = text.find(':');
    if (colon == std::string::npos)
        return usage;
    const std::string kind = text.substr(0, colon), value = text.substr(colon + 1);
    const char* end = value.data() + value.size();
    if (kind == "fifo") {
        int frames = 0;
        const auto r = std::from_chars(value.data(), end, frames);
        if (r.ec != std::errc() || r.ptr != end || frames < 1 || frames > RTA_MAX_FIFO)
            return usage;
        settings.average = RtaAverage::Fifo;
        settings.fifoFrames = frames;
        return {};
    }
    if (kind == "exp") {
        double seconds = 0.0;
        const auto r = std::from_chars(value.data(), end, seconds);
        if (r.ec != std::errc() || r.ptr != end || !(seconds > 0.0 && seconds < 1e6))
            return usage;
        settings.average = RtaAverage::Exponential;
        settings.timeConstant = seconds;
        return {};
    }
    return usage;
}

std::string CheckRtaChoice(const RtaChoice& choice, double sampleRate) {
    if (!(sampleRate >= 8000.0 && sampleRate <= 384000.0))
        return "the analyser works at 8 to 384 kHz, not " + Kedra::Text::FormatNumber(sampleRate) +
               " Hz";
    if (choice.fftSize != 0)
        return CheckRtaSettings(choice.fft);
    const int b = choice.bandsPerOctave;
    if (!(b == 1 || b == 3 || b == 6 || b == 12 || b == 24 || b == 48))
        return "--bands takes 1, 3, 6, 12, 24 or 48, not " + std::to_string(b);
    if (OctaveBandBank::Supports(b) && choice.averageGiven)
        return "--average applies to the FFT (--fft, or --bands 6 and narrower); 1/1 and 1/3 "
               "bands give their Leq over the whole run";
    return {};
}

RtaAnalysis::RtaAnalysis(double sampleRate, const RtaChoice& choice) : choice_(choice) {
    if (choice.fftSize == 0 && OctaveBandBank::Supports(choice.bandsPerOctave)) {
        bank_ = std::make_unique<OctaveBandBank>(sampleRate, choice.bandsPerOctave);
        return;
    }
    RtaSettings s = choice.fft;
    if (choice.fftSize == 0) {
        s.fftSize = RTA_BAND_FFT;
        s.bandsPerOctave = choice.bandsPerOctave;
    }
    fft_ = std::make_unique<NarrowbandRta>(sampleRate, s);
}

void RtaAnalysis::Process(const float* block, int count) noexcept {
    if (bank_)
        bank_->Process(block, count);
    else
        fft_->Process(block, count);
}

std::vector<RtaRow> RtaAnalysis::Rows() const {
    std::vector<RtaRow> rows;
    if (bank_) {
        // Lowest band first, like the other analyses.
        for (int i = bank_->BandCount() - 1; i >= 0; --i)
            rows.push_back({bank_->Midband(i), bank_->LeqDb(i), bank_->MaxFastDb(i)});
    } else if (choice_.fftSize == 0) {
        for (const RtaBand& b : fft_->Bands())
            rows.push_back({b.midband, b.levelDb, b.peakDb});
    } else {
        for (int k = 0; k < fft_->BinCount(); ++k)
            rows.push_back({k * fft_->BinWidth(), fft_->LevelDb(k), fft_->PeakDb(k)});
    }
    return rows;
}

void RtaAnalysis::Readings(RtaLevel level, std::vector<RtaReading>& out) const {
    out.clear();
    if (bank_) {
        for (int i = bank_->BandCount() - 1; i >= 0; --i) {
            const double shown = level == RtaLevel::Fast   ? bank_->FastDb(i)
                                 : level == RtaLevel::Slow ? bank_->SlowDb(i)
                                                           : bank_->LeqDb(i);
            out.push_back({bank_->Midband(i), shown,
                           level == RtaLevel::Slow ? bank_->MaxSlowDb(i) : bank_->MaxFastDb(i)});
        }
        return;
    }
    for (const RtaRow& row : Rows())
        out.push_back({row.frequency, row.leqDb, row.maxDb});
}

void RtaAnalysis::ResetPeaks() {
    if (bank_)
        bank_->ResetMaxima();
    else
        fft_->ResetPeaks();
}

WeightedRta::WeightedRta(Weighting weighting, double rate, const RtaChoice& choice)
    : analysis(rate, choice) {
    if (weighting != Weighting::Z)
        filter_ = std::make_unique<FrequencyWeighting>(weighting, rate);
}

void WeightedRta::Process(const float* block, int count) {
    if (!filter_) {
        analysis.Process(block, count);
        return;
    }
    if (weighted_.size() < static_cast<std::size_t>(count)) {
        weighted_.resize(static_cast<std::size_t>(count));
        narrow_.resize(static_cast<std::size_t>(count));
    }
    filter_->Process(block, weighted_.data(), count);
    std::copy(weighted_.begin(), weighted_.begin() + count, narrow_.begin());
    analysis.Process(narrow_.data(), count);
}

std::string RtaRowsCsv(const std::vector<RtaRow>& rows) {
    std::string out = "frequency_hz,leq_db,max_db\n";
    for (const RtaRow& r : rows)
        out += Kedra::Text::FormatFixed(r.frequency, 3) + "," +
               Kedra::Text::FormatFixed(r.leqDb, 2) + "," + Kedra::Text::FormatFixed(r.maxDb, 2) +
               "\n";
    return out;
}

} // namespace Kedra::Live
