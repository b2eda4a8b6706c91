#include "filter/MinimumPhase.h"

#include "foundation/Fft.h"
#include "foundation/Mem.h"

#include <cmath>
#include <memory>

namespace Kedra::Filter {
namespace {

constexpr double LOG_FLOOR = 1e-10;

struct MinimumPhaseWorkArea {
    int n = -1;
    int half = 0;
    bool causal = true;
    Mem::Array<double> time; // n samples, time zero at [half]
    Mem::Array<double> magnitude;
    Mem::Array<double> logMagnitude;
    Mem::Array<std::complex<double>> spectrum;

    void SetLength(int length) {
        if (length == n) {
            return;
        }
        n = length;
        half = length / 2;
        const auto bins = static_cast<std::size_t>(half) + 1;
        time = Mem::Array<double>(static_cast<std::size_t>(length));
        magnitude = Mem::Array<double>(bins);
        logMagnitude = Mem::Array<double>(bins);
        spectrum = Mem::Array<std::complex<double>>(bins);
    }
};

std::unique_ptr<MinimumPhaseWorkArea>& WorkArea() {
    static std::unique_ptr<MinimumPhaseWorkArea> area;
    return area;
}

} // namespace

void MakeMinimumPhase(std::complex<double>* h, int n) {
    if (h == nullptr || n < 1) {
        return;
    }
    auto& area = WorkArea();
    if (area == nullptr) {
        area = std::make_unique<MinimumPhaseWorkArea>();
    }
    MinimumPhaseWorkArea& w = *area;
    w.SetLength(n);
    Math::FFTWorkspace& fft = Math::FFTWorkspace::Instance();
    fft.SetLength(n);
    const int half = w.half;
    double* t = w.time.get() + half;

    for (int i = 0; i <= half; ++i) {
        w.magnitude[i] = std::abs(h[i]);
        w.logMagnitude[i] = std::log(w.magnitude[i] + LOG_FLOOR);
    }
    RepairLogAtZeroDc(w.magnitude.get(), w.logMagnitude.get(), half + 1);
    // Real cepstrum (inverse divided by n), folded onto positive times: the odd part of
    // the causal cepstrum, whose spectrum is i times the minimum phase.
    fft.RealSpectrumToTime(w.logMagnitude.get(), t);
    t[0] = 0.0;
    for (int k = 1; k <= half; ++k) {
        t[-k] = -t[-k];
    }
    fft.TimeToSpectrum(t, w.spectrum.get()); // unscaled
    for (int i = 0; i <= half; ++i) {
        const double phi = w.spectrum[i].imag();
        h[i] = w.magnitude[i] * std::complex<double>(std::cos(phi), std::sin(phi));
    }
    if (w.causal) {
        fft.SpectrumToTime(h, t); // divided by n: the forward transform below restores h
        for (int k = 1; k <= half; ++k) {
            t[-k] = 0.0;
        }
        fft.TimeToSpectrum(t, h);
    }
}

void RepairLogAtZeroDc(const double* magnitude, double* logMagnitude, int bins) {
    if (bins < 3 || !(magnitude[1] > 0.0) || !(magnitude[2] > magnitude[1]) ||
        !(magnitude[0] < 1e-3 * magnitude[1])) {
        return;
    }
    const double ln2 = std::log(2.0);
    const double order = (std::log(magnitude[2]) - std::log(magnitude[1])) / ln2;
    // The mean of ln|x| over -1/2 .. 1/2 (in bins) is -(1 + ln 2).
    const double mean = logMagnitude[1] - order * (1.0 + ln2);
    if (std::isfinite(mean) && mean > logMagnitude[0]) {
        logMagnitude[0] = mean;
    }
}

void MakePhaseOnly(std::complex<double>* h, int bins) {
    for (int i = 0; i < bins; ++i) {
        const double m = std::abs(h[i]);
        h[i] = m > 0.0 ? h[i] / m : std::complex<double>(0.0, 0.0);
    }
}

void ReleaseMinimumPhaseWorkArea() {
    WorkArea().reset();
}

} // namespace Kedra::Filter
