#pragma once
// What the response pipeline does after the recording, as one function of (recording,
// reference, settings): amplitude, deconvolution, calibration, impulse location, impulse
// window, Nyquist extension and alignment. A recording read from a file is analysed exactly
// like a live one.

#include <complex>
#include <functional>
#include <string>
#include <vector>

#include "analyze/SequenceAnalysis.h"
#include "foundation/Mem.h"

namespace Kedra::Measure {

class Calibrator;

// The inverse spectrum of a reference signal of N samples placed at the end of a frame of C
// samples, so that zero delay lies at index N of the deconvolved recording. It depends only
// on the signal and C, so the pipeline keeps it between runs.
class ReferenceInverse {
public:
    // False (and empty) for C not a power of two or N outside 1 .. C.
    bool Build(const float* reference, int n, int c);
    void Release();
    bool IsBuilt() const { return spectrum_.data() != nullptr; }
    int N() const { return n_; }
    int C() const { return c_; }
    const std::complex<double>* Spectrum() const { return spectrum_.data(); }

private:
    Mem::Array<std::complex<double>> spectrum_;
    int n_ = 0;
    int c_ = 0;
};

// Capacity of the recorder and transform length of a run: the smallest power of two strictly
// greater than n + tail (0 when that does not fit in an int).
int TransformLength(int n, int tail);

struct ResponseSettings {
    int sampleRate = 48000;
    bool normalizeRecording = true;
    bool lockTimeOffset = false;
    double lockedTimeOffset = 0.0;
    bool subSampleAlign = false;
    bool extendToNyquist = false;
    double maxFrequency = 20000.0;
    Kedra::Analyze::TZM timeZeroMethod = Kedra::Analyze::TZM::FirstPostivePeak;
    // Applied in this order; each bin is multiplied by the product of their corrections.
    std::vector<const Calibrator*> calibrators;
};

struct ResponseResult {
    double recordedPeak = 0.0;
    // The gain the recording was multiplied by (1 when it was not normalised).
    double appliedGain = 1.0;
    // Samples from the reference's start to time zero.
    double timeOffset = 0.0;
    // Where the impulse locator found the impulse (samples from the reference's start, its peak
    // placed between samples by a parabola), also when the time zero was locked elsewhere.
    double locatedOffset = 0.0;
    bool inverted = false;
    bool extended = false;
};

using StatusReport = std::function<void(const std::string&)>;
using CorrelationHook = std::function<void(const double* samples, int count)>;

// recording: C samples, normalised in place. spectrumOut: N/2 + 1 bins, the unscaled
// spectrum of the N samples around time zero (time zero at their centre). Returns false, with
// nothing written, when the sizes do not match the reference.
bool AnalyzeRecording(float* recording, const ReferenceInverse& reference,
                      const ResponseSettings& settings, std::complex<double>* spectrumOut,
                      ResponseResult& result, const StatusReport& report = {},
                      const CorrelationHook& correlationHook = {});

} // namespace Kedra::Measure
