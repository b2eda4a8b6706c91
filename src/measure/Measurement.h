#pragma once
// A measurement record with the processing that makes a finished measurement out of raw
// results: building the impulse (from a spectrum, a unit impulse or the signal filter),
// locating time zero, suggesting the impulse window, the standard post-processing, a
// corrective high-pass, inversion and the level figures used for normalisation.
// Runs on the caller's thread, one thread per record.

#include <complex>

#include "measure/MeasurementCore.h"

namespace Kedra::Filter {
class Design;
}

namespace Kedra::Measure {

class Measurement : public MeasurementCore {
public:
    // Returned by every level figure of a record that holds no impulse.
    static constexpr double NO_LEVEL = 1.0;
    // Window end suggested for a spectrum that carries no level.
    static constexpr int SILENT_WINDOW_END = 10;

    explicit Measurement(const std::string& label = "") : MeasurementCore(label) {}

    // N = 2^exponent samples, `value` at N/2 (time zero), zero elsewhere; defaults restored.
    void InitializeDirac(int exponent, int sampleRate, double value);
    // `spectrum` holds count + 1 unscaled bins of a signal of 2 count samples (a power of two)
    // referred to time zero at its centre; the analysis length is N = 2 halfSize.
    void InitializeFreq(const std::complex<double>* spectrum, int count, int sampleRate,
                        int halfSize, int signalType, double factor1, double factor2,
                        bool resetSettings);
    // The measuring signal filter's taps around the middle of a power-of-two record.
    void InitializeFilter(Kedra::Filter::Design& filterChain);

    // Extremes of the N samples of GetI().
    double GetMaxImpulse();
    double GetMinImpulse();
    double GetMaxAbsImpulse();

    // Moves the current offset so that time zero lands on the impulse found by the record's
    // time-zero method, to a fraction of a sample unless the method is the causal one.
    void LocateImpulse();

    // Largest moving average of |X| over 2 width + 1 bins (X = F0 when `unprocessed`, else
    // GetF()); *peakBin (may be null) receives its centre bin.
    double GetFreqPeak(int width, bool unprocessed, int* peakBin = nullptr);
    // Mean of |F0| over the bins from fLow up to fHigh, per decade share when `logWeighted`.
    double GetForgAvg(double fLow, double fHigh, bool logWeighted);

    // Window end in samples after time zero at which the response around its main band has
    // died away; searchLimit > 0 caps it (see the definition). Always positive.
    int SuggestedImpulseWindowEnd(int searchLimit = 0);
    void UseSuggestedImpulseWindowEnd();
    double FrequencyValidityWithWindow();
    bool Invert();
    void ApplyHighpass(int startHz, int lengthHz);
    void PostMeasureStandard(int windowStart, int minimumEnd, int searchLimit, int applicationId,
                             bool autoWindow);

private:
    // Largest moving average of mags over centres start .. end-1 (and below N/2).
    double MovingAveragePeak(const double* mags, int start, int end, int width, int* peakBin) const;
    bool RefuseUnless(bool ok, const std::string& call);
};

} // namespace Kedra::Measure
