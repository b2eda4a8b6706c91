#include "analyze/ResponseAnalysis.h"

#include <algorithm>
#include <cmath>

#include "exchange/Calibrator.h"
#include "foundation/Fft.h"
#include "foundation/MathHelpers.h"

namespace Kedra::Measure {

using Kedra::Analyze::TZM;

namespace {

bool IsPowerOfTwo(int n) {
    return n > 0 && (n & (n - 1)) == 0;
}

// Spectra that become impulses here are 2/C-scaled products (see SequenceAnalysis.h); the
// impulse window's spectrum is the plain sum, centred on time zero, as a measurement expects.
constexpr bool CENTRED = true;
constexpr bool NOT_CENTRED = false;
constexpr bool UNSCALED = false;
constexpr bool INPUT_SCALED = true;

} // namespace

int TransformLength(int n, int tail) {
    const long long need = static_cast<long long>(std::max(n, 0)) + std::max(tail, 0);
    long long c = 1;
    while (c <= need)
        c <<= 1;
    return c > (1LL << 30) ? 0 : static_cast<int>(c);
}

bool ReferenceInverse::Build(const float* reference, int n, int c) {
    Release();
    if (reference == nullptr || !IsPowerOfTwo(c) || n < 1 || n > c)
        return false;
    Mem::Array<double> frame = Mem::Array<double>::Zeros(static_cast<std::size_t>(c));
    // Right-aligned: zero delay lands at index N of the deconvolved recording.
    for (int i = 0; i < n; ++i)
        frame[static_cast<std::size_t>(c - n + i)] = reference[i];
    spectrum_ = Mem::Array<std::complex<double>>(static_cast<std::size_t>(c / 2 + 1));
    Kedra::Analyze::InverseSpectrum(frame.data(), c, spectrum_.data());
    n_ = n;
    c_ = c;
    return true;
}

void ReferenceInverse::Release() {
    spectrum_ = {};
    n_ = 0;
    c_ = 0;
}

bool AnalyzeRecording(float* recording, const ReferenceInverse& reference,
                      const ResponseSettings& settings, std::complex<double>* spectrumOut,
                      ResponseResult& result, const StatusReport& report,
                      const CorrelationHook& correlationHook) {
    const int c = reference.C();
    const int n = reference.N();
    if (recording == nullptr || spectrumOut == nullptr || !reference.IsBuilt() ||
        !IsPowerOfTwo(n) || n < 2 || settings.sampleRate <= 0)
        return false;
    auto say = [&](const char* text) {
        if (report)
            report(text);
    };
    const double fs = settings.sampleRate;

    say("Analyzing amplitude");
    float peak = 0.0f;
    for (int i = 0; i < c; ++i)
        peak = std::max(peak, std::fabs(recording[i]));
    result = ResponseResult{};
    result.recordedPeak = peak;
    // A silent recording is left as it is: there is nothing to scale.
    if (settings.normalizeRecording && peak < 1.0f && peak > 0.0f) {
        const float gain = 1.0f / peak;
        for (int i = 0; i < c; ++i)
            recording[i] *= gain;
        result.appliedGain = gain;
    }

    say("Correlating Signal");
    Mem::Array<std::complex<double>> product(static_cast<std::size_t>(c / 2 + 1));
    Kedra::Analyze::CorrelateSpectrum(recording, c, reference.Spectrum(), product.data());

    std::vector<const Calibrator*> active;
    for (const Calibrator* cal : settings.calibrators)
        if (cal != nullptr && cal->IsActive())
            active.push_back(cal);
    if (!active.empty()) {
        say("Applying calibration");
        for (int k = 0; k <= c / 2; ++k) {
            const double f = k * fs / c;
            std::complex<double> correction = 1.0;
            for (const Calibrator* cal : active)
                correction *= cal->GetCorrection(f);
            product[static_cast<std::size_t>(k)] *= correction;
        }
    }

    Mem::Array<double> correlation(static_cast<std::size_t>(c));
    Kedra::Math::FFTPow2FreqToTime(product.data(), correlation.data(), c, NOT_CENTRED,
                                   INPUT_SCALED);
    product = {};
    if (correlationHook)
        correlationHook(correlation.data(), c);

    int q;
    double offset;
    bool inverted = false;
    const int located = Kedra::Analyze::LocateImpulse(correlation.data(), c, false,
                                                      settings.timeZeroMethod, &inverted);
    result.locatedOffset = located - n;
    // A parabola through the peak and its neighbours places it between samples.
    if (settings.timeZeroMethod != TZM::CausalImpulse && located > 0 && located + 1 < c) {
        const double* y = correlation.data() + located;
        const double curve = y[-1] - 2.0 * y[0] + y[1];
        const double shift = curve != 0.0 ? 0.5 * (y[-1] - y[1]) / curve : 0.0;
        if (std::fabs(shift) < 1.0)
            result.locatedOffset += shift;
    }
    if (settings.lockTimeOffset) {
        say("Using locked time offset");
        q = static_cast<int>(std::floor(settings.lockedTimeOffset + 0.5)) + n;
        offset = settings.lockedTimeOffset;
        result.inverted = false;
    } else {
        say("Locating largest correlation");
        q = located;
        result.inverted = inverted;
        offset = q - n;
    }
    result.timeOffset = offset;

    // The impulse window: N samples centred on time zero, zero outside the recording.
    Mem::Array<double> window(static_cast<std::size_t>(n));
    const int half = n / 2;
    for (int i = -half; i < half; ++i) {
        const long long j = static_cast<long long>(q) + i;
        window[static_cast<std::size_t>(i + half)] =
            (j >= 0 && j < c) ? correlation[static_cast<std::size_t>(j)] : 0.0;
    }
    correlation = {};
    Kedra::Math::FFTPow2TimeToFreq(window.data() + half, spectrumOut, n, CENTRED, UNSCALED);

    if (settings.extendToNyquist) {
        const int cutoff = static_cast<int>(std::floor(n * settings.maxFrequency / fs + 0.5));
        double delay = 0.0;
        result.extended = Kedra::Analyze::ExtendToNyquist(spectrumOut, half, cutoff, &delay,
                                                          !settings.lockTimeOffset, -30.0);
        if (result.extended && !settings.lockTimeOffset) {
            result.timeOffset -= delay;
            say("Extended to Nyquist frequency");
        }
    }

    if (settings.lockTimeOffset) {
        Kedra::Analyze::DelaySpectrum(spectrumOut, spectrumOut, half,
                                      n + settings.lockedTimeOffset - q);
    } else if (settings.subSampleAlign && !result.extended &&
               settings.timeZeroMethod != TZM::CausalImpulse) {
        double w = 0.0;
        if (half >= 17) {
            Kedra::Math::FFTPow2FreqToTime(spectrumOut, window.data() + half, n, CENTRED, UNSCALED);
            w = Kedra::Analyze::FractionalPeakOffset(window.data() + half);
        }
        Kedra::Analyze::DelaySpectrum(spectrumOut, spectrumOut, half, -w);
        result.timeOffset += w;
    }
    return true;
}

} // namespace Kedra::Measure
