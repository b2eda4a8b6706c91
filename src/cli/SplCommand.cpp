#include "cli/SplCommand.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "app/AudioHelper.h"
#include "app/MainCtrl.h"
#include "app/Options.h"
#include "app/SplReference.h"
#include "audio/StreamInitializer.h"
#include "cli/Interrupt.h"
#include "cli/Refusal.h"
#include "exchange/TextFile.h"
#include "exchange/WaveFile.h"
#include "foundation/Mem.h"
#include "live/LiveInput.h"
#include "live/SplSession.h"

namespace Kedra::Sonvel {

namespace {

using Kedra::Live::FrequencyWeighting;
using Kedra::Live::SplRow;
using Kedra::Live::SplSession;
using Kedra::Text::FormatFixed;

constexpr double DEFAULT_LIVE_SECONDS = 5.0;

std::string RateRefusal(const std::string& what, int rate) {
    return what + " runs at " + std::to_string(rate) + " Hz; the weightings are made for " +
           std::to_string(static_cast<int>(FrequencyWeighting::MIN_RATE)) + " to " +
           std::to_string(static_cast<int>(FrequencyWeighting::MAX_RATE)) + " Hz";
}

// Prints the rows as they come and keeps them for the CSV.
class RowPrinter {
public:
    RowPrinter(char letter, std::string unit) : letter_(letter), unit_(std::move(unit)) {}

    void Print(std::size_t from) const {
        for (std::size_t i = from; i < rows.size(); ++i) {
            const SplRow& r = rows[i];
            std::printf("%10.3f s  L%cF %7.2f  L%cS %7.2f  L%ceq %7.2f  LCpeak %7.2f %s%s\n",
                        r.seconds, letter_, r.fast, letter_, r.slow, letter_, r.leq, r.peakC,
                        unit_.c_str(), r.overload ? "  OVERLOAD" : "");
        }
        std::fflush(stdout);
    }

    std::vector<SplRow> rows;

private:
    char letter_;
    std::string unit_;
};

void PrintSummary(const Kedra::Live::SoundLevelMeter& meter, const std::string& unit) {
    const Kedra::Live::SoundLevelReadings r = meter.Readings();
    const char x = Kedra::Live::WeightingLetter(meter.GetWeighting());
    std::printf("Summary over %s s (%s):\n", FormatFixed(r.seconds, 3).c_str(), unit.c_str());
    std::printf("  L%cFmax  %s\n", x, FormatFixed(r.fastMax, 2).c_str());
    std::printf("  L%cSmax  %s\n", x, FormatFixed(r.slowMax, 2).c_str());
    std::printf("  L%ceq    %s\n", x, FormatFixed(r.leq, 2).c_str());
    std::printf("  SEL     %s\n", FormatFixed(r.sel, 2).c_str());
    std::printf("  LCpeak  %s\n", FormatFixed(r.peakC, 2).c_str());
    std::printf("  overloads %d\n", r.overloads);
}

} // namespace

CLI::App* AddSplCommand(CLI::App& app, SplCommandArguments& a) {
    auto* spl = app.add_subcommand(
        "spl", "Sound level meter over a wave file, the simulated sound card or the input of the "
               "options: readings every interval and a summary (dB SPL where the input has an "
               "SPL reference, else dB re full scale)");
    spl->add_option("file", a.file, "A wave, FLAC or AIFF file, read at its own rate");
    spl->add_option("--sim", a.sim,
                    "Listen on the simulated sound card: loopback|speaker|room|dead");
    spl->add_option("--seconds", a.seconds,
                    "How much to read (default: the whole file, or 5 s live)");
    spl->add_option("--weighting", a.weighting, "Frequency weighting A, C or Z (default A)");
    spl->add_option("--interval", a.interval,
                    "Seconds between readings (default 1, at least 0.001)");
    spl->add_option("--csv", a.csv,
                    "Write the readings to this CSV file: time_s,LxF,LxS,Lxeq,LCpeak");
    return spl;
}

int RunSplCommand(MainCtrl& ctrl, const SplCommandArguments& a,
                  const std::function<void()>& chooseDevices) {
    const auto weighting = Kedra::Live::ParseWeighting(a.weighting);
    if (!weighting)
        return Refuse(2, "--weighting must be A, C or Z, not '" + a.weighting + "'");
    if (!(a.interval >= SplSession::MIN_INTERVAL_SECONDS) || !std::isfinite(a.interval))
        return Refuse(2, "--interval must be at least 0.001 s, not " + FormatFixed(a.interval, 6));
    if (a.seconds && !(*a.seconds > 0.0 && std::isfinite(*a.seconds)))
        return Refuse(2, "--seconds must be more than 0");
    if (!a.file.empty() && !a.sim.empty())
        return Refuse(2, "spl reads a FILE or listens (--sim, or the devices), not both");

    std::unique_ptr<SplSession> session;
    std::unique_ptr<RowPrinter> printer;
    std::string unit = "dB re full scale";
    const char letter = Kedra::Live::WeightingLetter(*weighting);
    const auto feed = [&](const float* block, int count) {
        const std::size_t before = printer->rows.size();
        session->Process(block, count, printer->rows);
        printer->Print(before);
    };

    if (!a.file.empty()) {
        Kedra::WaveImExport::WaveInfo info;
        float* raw = nullptr;
        std::string why;
        const int frames = Kedra::WaveImExport::ArrayWaveImport(a.file, info, raw, &why);
        if (frames <= 0)
            return Refuse(1, "cannot read " + a.file + ": " + why);
        const auto samples =
            std::unique_ptr<float, void (*)(float*)>(raw, [](float* p) { Mem::FreeArrayNoRef(p); });
        if (!FrequencyWeighting::SupportsRate(info.samplerate))
            return Refuse(1, RateRefusal(a.file, info.samplerate));
        session = std::make_unique<SplSession>(*weighting, info.samplerate, a.interval);
        printer = std::make_unique<RowPrinter>(letter, "dBFS");
        const long long wanted =
            a.seconds ? std::min<long long>(frames, std::llround(*a.seconds * info.samplerate))
                      : frames;
        constexpr int chunk = 1 << 16;
        for (long long done = 0; done < wanted; done += chunk)
            feed(samples.get() + done, static_cast<int>(std::min<long long>(chunk, wanted - done)));
    } else {
        chooseDevices();
        if (!ctrl.Audio().ApplyDevices(Conf::Options::Field))
            return Refuse(1, "the sound level meter has no input to listen to");
        auto* stream = Kedra::PAudioII::StreamInitializer::Get();
        const int fs = stream->GetSamplerate();
        if (!FrequencyWeighting::SupportsRate(fs))
            return Refuse(1, RateRefusal("the input", fs) +
                                 "; choose another sample rate in the options");
        session = std::make_unique<SplSession>(*weighting, fs, a.interval);
        const int channel = Conf::Options::Field.Dev.InputChannel;
        std::string shortUnit = "dBFS";
        if (const auto reference = FindSplReference(CurrentInputDevice(), channel)) {
            session->Meter().SetOffsetDb(reference->Offset());
            unit = shortUnit = "dB SPL";
        }
        printer = std::make_unique<RowPrinter>(letter, shortUnit);
        const InterruptScope interrupt;
        const Kedra::Live::LiveRun run =
            Kedra::Live::RunLive(stream, channel, a.seconds.value_or(DEFAULT_LIVE_SECONDS), feed,
                                 InterruptScope::Flag());
        if (InterruptScope::Interrupted())
            std::printf("Stopped by Ctrl+C after %s s\n",
                        FormatFixed(static_cast<double>(run.samples) / fs, 3).c_str());
        if (!run.ok)
            return Refuse(1, run.why);
        if (run.dropped > 0) {
            PrintSummary(session->Meter(), unit);
            return Refuse(1, std::to_string(run.dropped) +
                                 " samples were lost because the analysis fell behind; the "
                                 "levels leave them out, so nothing was written");
        }
    }
    PrintSummary(session->Meter(), unit);
    if (!a.csv.empty()) {
        std::string text = Kedra::Live::SplCsvHeader(*weighting);
        for (const SplRow& row : printer->rows)
            text += Kedra::Live::SplCsvLine(row);
        std::string error;
        if (!Kedra::Text::WriteFileAtomically(a.csv, text, error))
            return Refuse(1, "could not write " + a.csv + ": " + error);
        std::printf("Wrote %zu rows to %s\n", printer->rows.size(), a.csv.c_str());
    }
    return 0;
}

} // namespace Kedra::Sonvel
