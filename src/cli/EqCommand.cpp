#include "cli/EqCommand.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/MainCtrl.h"
#include "cli/Refusal.h"
#include "exchange/MeasurementImporter.h"
#include "exchange/TextFile.h"
#include "exchange/WaveFile.h"
#include "filter/Equaliser.h"
#include "filter/EqualiserExport.h"

namespace Kedra::Sonvel {

namespace {

using namespace Kedra::Filter;
namespace fs = std::filesystem;

// The formats' own equaliser, and the other way round.
std::string DeviceOfFormat(const std::string& format) {
    return format == "minidsp" ? "minidsp-2x4hd" : format == "text" ? "generic" : format;
}
std::string FormatOfDevice(const std::string& device) {
    return device == "minidsp-2x4hd" ? "minidsp" : device == "generic" ? "text" : device;
}

// A target file is read as a response import is, and its level kept.
bool ReadTargetFile(const std::string& path, int rate, EqTarget& target, std::string& why) {
    Kedra::Measure::MeasurementImporter importer;
    importer.samplerate = rate;
    Kedra::Measure::Measurement m("target");
    // The import skips what it cannot use; every point of a target counts.
    std::string bad;
    Kedra::Text::ReadRegularFile(path, "eq --target", "not used",
                                 [&](std::streambuf& in) { return importer.CheckPoints(in, bad); });
    if (!bad.empty()) {
        why = "cannot read the target " + path + ": " + bad;
        return false;
    }
    if (!importer.Import(m, path) || !m.IsInitialized()) {
        why = "cannot read the target " + path +
              " (a text response: frequency and dB per line; see the log file)";
        return false;
    }
    const std::complex<double>* f0 = m.GetF0();
    target.kind = EqTarget::Kind::Points;
    for (double f = 10.0; f < rate / 2.0; f *= std::exp2(1.0 / 48.0)) {
        const int k = std::min(static_cast<int>(std::lround(f * m.GetBinsPerHz())), m.GetNHalf());
        target.hz.push_back(f);
        target.db.push_back(20.0 * std::log10(std::max(std::abs(f0[k]), 1e-30)) +
                            importer.GetRemovedLevelDb());
    }
    return true;
}

} // namespace

CLI::App* AddEqCommand(CLI::App& app, EqCommandArguments& a) {
    auto* eq = app.add_subcommand(
        "eq", "Fit parametric filters that bring a slot's response to a target, print them and "
              "the deviation before and after, write them for an equaliser and predict the "
              "result");
    eq->add_option("slot", a.slot, "A, B, C or a slot number")->required();
    eq->add_option("--target", a.target,
                   "flat (default), house:LF_DB,LF_HZ,HF_DB (LF_DB more below LF_HZ, half of it "
                   "at LF_HZ; a tilt from 0 dB at 1 kHz to HF_DB at 20 kHz) or a response text "
                   "file");
    eq->add_option(
        "--level", a.level,
        "Where the target's 0 dB lies, in the response's dB (default: so that the target's mean "
        "in the range is the response's)");
    eq->add_option("--from", a.from, "Lowest frequency fitted, Hz (default 20)");
    eq->add_option("--to", a.to, "Highest frequency fitted, Hz (default 300)");
    eq->add_option("--filters", a.filters, "Most filters (default 10)");
    eq->add_option("--max-boost", a.maxBoost, "Largest boost per filter, dB (default 6)");
    eq->add_option("--max-cut", a.maxCut, "Largest cut per filter, dB (default 15)");
    eq->add_option("--q", a.q, "Q range MIN,MAX (default 0.5,10)")->delimiter(',')->expected(2);
    eq->add_option("--smoothing", a.smoothing,
                   "1/N octave smoothing of the fitted response (default 6)");
    eq->add_flag("--shelves", a.shelves, "Also try a low and a high shelf");
    eq->add_option("--device", a.device,
                   "generic|camilladsp|apo|minidsp-2x4hd|sox: its limits and resolution "
                   "(default: that of --format, else generic)")
        ->check(CLI::IsMember(EqDeviceNames()));
    eq->add_option("--format", a.format,
                   "camilladsp|apo|minidsp|sox|text for --out (default: that of --device)")
        ->check(CLI::IsMember({"camilladsp", "apo", "minidsp", "sox", "text"}));
    eq->add_option("--out", a.out, "Write the filters to this file in --format");
    eq->add_option("--into", a.into, "Put the predicted response into this slot");
    eq->add_flag("--fir", a.fir,
                 "An FIR correction instead of parametric filters, written to --out as a wave "
                 "file (32-bit float, not normalised)");
    eq->add_option("--taps", a.taps, "FIR length, a power of two (default 65536)");
    eq->add_option("--phase", a.phase, "FIR phase: minimum (default) or linear")
        ->check(CLI::IsMember({"minimum", "linear"}));
    eq->add_option("--rate", a.rate, "FIR sample rate in Hz (default 48000)");
    return eq;
}

int RunEqCommand(MainCtrl& ctrl, const EqCommandArguments& a,
                 const std::function<int(const std::string&)>& parseSlot) {
    const std::string deviceName = !a.device.empty()   ? a.device
                                   : !a.format.empty() ? DeviceOfFormat(a.format)
                                                       : "generic";
    const std::string formatName = !a.format.empty() ? a.format : FormatOfDevice(deviceName);
    if (formatName == "minidsp" && deviceName != "minidsp-2x4hd")
        return Refuse(2, "--format minidsp writes coefficients for --device minidsp-2x4hd (its "
                         "rate and resolution), not for " +
                             deviceName);
    EqDevice device;
    EqFormat format = EqFormat::Text;
    FindEqDevice(deviceName, device);
    ParseEqFormat(formatName, format);

    const int slot = parseSlot(a.slot);
    const int into = a.into.empty() ? -1 : parseSlot(a.into);
    if (into == slot)
        return Refuse(2, "--into must name another slot than the one fitted");
    Kedra::Measure::Measurement* record = ctrl.List().No(slot);
    if (record == nullptr || !record->IsInitialized())
        return Refuse(1, "slot " + a.slot + " holds no measurement to equalise");

    EqTarget target;
    std::string why;
    if (a.target == "flat" || a.target.rfind("house:", 0) == 0) {
        if (!ParseEqTarget(a.target, target, why))
            return Refuse(1, why);
    } else if (!ReadTargetFile(a.target, record->GetSamplerate(), target, why)) {
        return Refuse(1, why);
    }
    if (a.level) {
        if (!std::isfinite(*a.level))
            return Refuse(1, "--level must be a number of dB");
        target.levelGiven = true;
        target.levelDb = *a.level;
    }
    if (a.fir && (a.out.empty() || !a.format.empty() || !a.device.empty() || !a.into.empty()))
        return Refuse(2, "--fir writes a wave file: it needs --out and takes no --format, "
                         "--device or --into");
    EqLimits limits;
    limits.fromHz = a.from;
    limits.toHz = a.to;
    limits.filters = a.filters;
    limits.maxBoostDb = a.maxBoost;
    limits.maxCutDb = a.maxCut;
    limits.qMin = a.q[0];
    limits.qMax = a.q[1];
    limits.shelves = a.shelves;
    limits.smoothing = a.smoothing;
    EqFit fit;
    if (a.fir) {
        EqFirSettings settings;
        settings.taps = a.taps;
        settings.rate = a.rate;
        settings.minimumPhase = a.phase == "minimum";
        std::vector<double> taps;
        if (!DesignEqFir(*record, target, limits, settings, taps, fit, why))
            return Refuse(1, why);
        std::printf("FIR correction of slot %s, %d taps at %g Hz, %s phase, %s target:\n",
                    a.slot.c_str(), a.taps, a.rate, a.phase.c_str(), a.target.c_str());
        std::fputs(EqExportText(fit, EqFormat::Text, fit.rate).c_str(), stdout);
        if (Kedra::WaveImExport::ArrayWaveExport(
                taps.data(), a.taps, static_cast<int>(std::lround(a.rate)), a.out,
                Kedra::WaveImExport::WaveFormat::Float32, "Sonvel FIR correction", false) != a.taps)
            return Refuse(1, "cannot write " + a.out);
        std::printf("Wrote the FIR to %s\n", a.out.c_str());
        return 0;
    }
    if (!FitEqualiser(*record, target, limits, device, fit, why))
        return Refuse(1, why);

    // The fit follows the view; a short window hides the room below its validity.
    const double valid = record->FrequencyValidityWithWindow();
    if (valid > a.from)
        std::fprintf(stderr,
                     "sonvel: note: the impulse window of slot %s makes its response valid only "
                     "above %.0f Hz; `sonvel window %s --off` fits the whole impulse\n",
                     a.slot.c_str(), valid, a.slot.c_str());
    std::printf("EQ of slot %s for %s (biquads at %g Hz), %s target:\n", a.slot.c_str(),
                device.name.c_str(), fit.rate, a.target.c_str());
    std::fputs(EqExportText(fit, EqFormat::Text, fit.rate).c_str(), stdout);

    // Written aside first and renamed last, so that a refused prediction leaves no file.
    const std::string aside = a.out.empty() ? std::string() : a.out + ".sonvel-part";
    if (!a.out.empty()) {
        std::ofstream file(aside, std::ios::binary | std::ios::trunc);
        file << EqExportText(fit, format, fit.rate);
        file.close();
        if (!file)
            return Refuse(1, "cannot write " + a.out);
    }
    if (into >= 0 && !ctrl.Action_EqPrediction(slot, into, fit.filters, fit.rate)) {
        std::error_code ec;
        if (!aside.empty())
            fs::remove(aside, ec);
        return 1;
    }
    if (!a.out.empty()) {
        std::error_code ec;
        fs::rename(aside, a.out, ec);
        if (ec) {
            fs::remove(aside, ec);
            return Refuse(1, "cannot write " + a.out + ": " + ec.message());
        }
        std::printf("Wrote the filters as %s to %s\n", formatName.c_str(), a.out.c_str());
    }
    if (into >= 0)
        std::printf("Predicted response in slot %d\n", into);
    return 0;
}

} // namespace Kedra::Sonvel
