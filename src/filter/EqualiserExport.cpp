#include "filter/EqualiserExport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace Kedra::Filter {

namespace {

// Every format writes the values at the resolution the generic profiles snap to, so that
// the text holds exactly the filters of the prediction.
std::string Fixed(double v, int decimals) {
    char b[48];
    std::snprintf(b, sizeof b, "%.*f", decimals, v);
    return b;
}

std::string Hz(double v) {
    return Fixed(v, 2);
}
std::string Db(double v) {
    return Fixed(v, 2);
}
std::string Q(double v) {
    return Fixed(v, 3);
}

std::string Coefficient(double v) {
    char b[48];
    std::snprintf(b, sizeof b, "%.17g", v);
    return b;
}

const char* CamillaType(EqFilterType t) {
    return t == EqFilterType::LowShelf    ? "Lowshelf"
           : t == EqFilterType::HighShelf ? "Highshelf"
                                          : "Peaking";
}

const char* ApoType(EqFilterType t) {
    return t == EqFilterType::LowShelf ? "LSC" : t == EqFilterType::HighShelf ? "HSC" : "PK";
}

std::string CamillaDsp(const EqFit& fit, double preamp) {
    std::string s = "# Sonvel EQ: add to the filters and the pipeline of a CamillaDSP "
                    "configuration\n# (version 3; version 2 writes \"channel: 0\" in place of "
                    "\"channels: [0]\").\nfilters:\n";
    std::vector<std::string> names;
    if (preamp > 0.0) {
        names.push_back("eq_preamp");
        s += "  eq_preamp:\n    type: Gain\n    parameters:\n      gain: " + Db(-preamp) + "\n";
    }
    for (std::size_t i = 0; i < fit.filters.size(); ++i) {
        const EqFilter& f = fit.filters[i];
        names.push_back("eq_" + std::to_string(i + 1));
        s += "  " + names.back() +
             ":\n    type: Biquad\n    parameters:\n      type: " + CamillaType(f.type) +
             "\n      freq: " + Hz(f.fc) + "\n      gain: " + Db(f.gainDb) +
             "\n      q: " + Q(f.q) + "\n";
    }
    s += "pipeline:\n  - type: Filter\n    channels: [0]\n    names:\n";
    for (const std::string& n : names)
        s += "      - " + n + "\n";
    return s;
}

std::string Apo(const EqFit& fit, double preamp) {
    std::string s = "Preamp: " + Db(-preamp) + " dB\n";
    for (std::size_t i = 0; i < fit.filters.size(); ++i) {
        const EqFilter& f = fit.filters[i];
        s += "Filter " + std::to_string(i + 1) + ": ON " + ApoType(f.type) + " Fc " + Hz(f.fc) +
             " Hz Gain " + Db(f.gainDb) + " dB Q " + Q(f.q) + "\n";
    }
    return s;
}

std::string MiniDsp(const EqFit& fit, double rate) {
    std::string s;
    for (std::size_t i = 0; i < fit.filters.size(); ++i) {
        const BiquadCoefficients c = RbjCoefficients(fit.filters[i], rate);
        // The format's a1 and a2 are those of y[n] = ... + a1 y[n-1] + a2 y[n-2].
        s += "biquad" + std::to_string(i + 1) + ",\nb0=" + Coefficient(c.b0) +
             ",\nb1=" + Coefficient(c.b1) + ",\nb2=" + Coefficient(c.b2) +
             ",\na1=" + Coefficient(-c.a1) + ",\na2=" + Coefficient(-c.a2) +
             (i + 1 < fit.filters.size() ? ",\n" : "\n");
    }
    return s;
}

std::string Sox(const EqFit& fit, double preamp) {
    std::string s = "gain " + Db(-preamp) + "\n";
    for (const EqFilter& f : fit.filters) {
        if (f.type == EqFilterType::Peaking)
            s += "equalizer " + Hz(f.fc) + " " + Q(f.q) + "q " + Db(f.gainDb) + "\n";
        else
            s += std::string(f.type == EqFilterType::LowShelf ? "bass " : "treble ") +
                 Db(f.gainDb) + " " + Hz(f.fc) + " " + Q(f.q) + "q\n";
    }
    return s;
}

std::string Table(const EqFit& fit) {
    std::string s = fit.filters.empty() ? "" : "  #  type        Fc Hz   gain dB       Q\n";
    for (std::size_t i = 0; i < fit.filters.size(); ++i) {
        const EqFilter& f = fit.filters[i];
        char b[96];
        std::snprintf(b, sizeof b, "%3zu  %-4s %12.2f %9.2f %7.3f\n", i + 1,
                      EqFilterTypeCode(f.type), f.fc, f.gainDb, f.q);
        s += b;
    }
    char b[200];
    std::snprintf(b, sizeof b,
                  "Target 0 dB at %.2f dB. Deviation from the target, %.1f to %.1f Hz: before RMS "
                  "%.2f dB, largest %.2f dB; after RMS %.2f dB, largest %.2f dB\n",
                  fit.levelDb, fit.hz.empty() ? 0.0 : fit.hz.front(),
                  fit.hz.empty() ? 0.0 : fit.hz.back(), fit.rmsBefore, fit.maxBefore, fit.rmsAfter,
                  fit.maxAfter);
    s += b;
    for (const EqDip& d : fit.dipsLeft) {
        std::snprintf(b, sizeof b,
                      "Dip not filled at %.1f Hz (%.1f dB below the target): a cancellation, "
                      "filled no deeper than 1/3-octave smoothing shows it\n",
                      d.hz, -d.depthDb);
        s += b;
    }
    return s;
}

} // namespace

bool ParseEqFormat(const std::string& name, EqFormat& format) {
    static const std::pair<const char*, EqFormat> names[] = {{"camilladsp", EqFormat::CamillaDsp},
                                                             {"apo", EqFormat::Apo},
                                                             {"minidsp", EqFormat::MiniDsp},
                                                             {"sox", EqFormat::Sox},
                                                             {"text", EqFormat::Text}};
    for (const auto& [n, f] : names)
        if (name == n) {
            format = f;
            return true;
        }
    return false;
}

double EqPreampDb(const std::vector<EqFilter>& filters, double rate) {
    const double top = std::min(20000.0, 0.45 * rate);
    double largest = 0.0;
    for (double f = 10.0; f <= top; f *= std::exp2(1.0 / 96.0))
        largest = std::max(largest, FiltersDb(filters, f, rate));
    // Rounded up to the exports' 0.01 dB, so the written preamp is never short.
    return std::ceil(largest * 100.0 - 1e-9) / 100.0;
}

std::string EqExportText(const EqFit& fit, EqFormat format, double rate) {
    const double preamp = EqPreampDb(fit.filters, rate);
    switch (format) {
    case EqFormat::CamillaDsp:
        return CamillaDsp(fit, preamp);
    case EqFormat::Apo:
        return Apo(fit, preamp);
    case EqFormat::MiniDsp:
        return MiniDsp(fit, rate);
    case EqFormat::Sox:
        return Sox(fit, preamp);
    default:
        return Table(fit);
    }
}

} // namespace Kedra::Filter
