#pragma once
// One acoustic measurement from start to finish: render the test signal, optionally filter
// it, play it on the stream while recording one input channel, and analyse the recording
// (ResponseAnalysis.h). Progress is reported as short texts through a status callback.
//
// Threads: a run blocks the caller's thread, sleeping in 100 ms steps of device time while
// the audio thread records. Abort may be called from any thread.

#include <atomic>
#include <complex>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analyze/ResponseAnalysis.h"
#include "analyze/SequenceAnalysis.h"
#include "foundation/Mem.h"

namespace Kedra::PAudioII {
class PCMGenerator;
}
namespace Kedra::Filter {
class Design;
}

namespace Kedra::Measure {

class Calibrator;
class MeasurementCore;

using ResponseStatusCallback = void (*)(const std::string& text);
// The recorded input's level while a run records: dBFS of the last tenth of a second, or
// -infinity while nothing arrives. Called on the run's thread.
using ResponseLevelCallback = void (*)(double dbfs);

class Response {
public:
    static constexpr int DEFAULT_FILTER_TAPS = 1001;

    Response();
    virtual ~Response();
    Response(const Response&) = delete;
    Response& operator=(const Response&) = delete;

    // Debug hooks: a subclass may save the signals of a run.
    virtual void DebugRecording(const float* samples, int count);
    virtual void DebugOutput(const float* samples, int count);
    virtual void DebugCorrelation(const double* samples, int count);

    // N = 2^lengthExponent; spectrumOut receives N/2 + 1 bins. A null generator means the
    // pipeline's own logarithmic sweep.
    bool Measure(int lengthExponent, std::complex<double>* spectrumOut, int inputChannel,
                 Kedra::PAudioII::PCMGenerator* generator);
    // The same, playing the signal through the signal filter and only the part of a sweep
    // inside the enabled sections' band.
    bool MeasureFiltered(int lengthExponent, std::complex<double>* spectrumOut, int inputChannel,
                         Kedra::PAudioII::PCMGenerator* generator);
    // Several inputs in one run: every channel of `channels` (distinct, 0 .. 30) is recorded
    // from the same play; spectra[i] (N/2 + 1 bins) and inputResults[i] belong to
    // channels[i]. When `referenceInput` is among them, it is analysed first, without
    // calibration, and every other input takes its time zero from the reference's impulse
    // (referenceOffset): the card's latency drops out of their delays. A null spectrum is
    // allowed for the reference. The single-input fields below follow channels[0].
    bool MeasureInputs(int lengthExponent, const std::vector<int>& channels,
                       const std::vector<std::complex<double>*>& spectra,
                       Kedra::PAudioII::PCMGenerator* generator, bool filtered);
    void PostInitializeMeasurement(MeasurementCore& measurement);
    // The same with the results of one input of the last run.
    void PostInitializeMeasurement(MeasurementCore& measurement, const ResponseResult& result);
    void Abort();

    void SetNofFilterTaps(int taps);
    int GetNofFilterTaps() const;
    void UpdateFromPAudio();
    void SetFilterLowpass(double hz);
    void SetFilterHighpass(double hz);
    void DisableFilterLowpass();
    void DisableFilterHighpass();
    Kedra::Filter::Design& SignalFilter() { return *signalFilter_; }

    // Calibrators are borrowed; each counts while it is active.
    void AddCalibrator(const Calibrator* calibrator);
    void RemoveCalibrator(const Calibrator* calibrator);

    void ReportStatus(const std::string& text);

    Kedra::PAudioII::PCMGenerator& OwnGenerator() { return *generator_; }
    const float* SignalBuffer() const { return signalBuffer_.data(); }
    int LastLength() const { return lastLength_; }
    ResponseSettings Settings() const;

    // Settings, read at the start of every run.
    int tailSamples;
    bool normalizeRecording = true;
    bool lockTimeOffset = false;
    double lockedTimeOffset = 0.0;
    bool subSampleAlign = false;
    bool extendToNyquist = false;
    double maxFrequency = 20000.0;
    Kedra::Analyze::TZM timeZeroMethod = Kedra::Analyze::TZM::FirstPostivePeak;
    ResponseStatusCallback statusCallback = nullptr;
    ResponseLevelCallback levelCallback = nullptr;
    bool applyCalibration = true;
    // The input that carries the played signal back (a loopback), or -1.
    int referenceInput = -1;
    // For MeasureInputs: per input, calibrators in place of the common ones (empty: those).
    std::vector<std::vector<const Calibrator*>> inputCalibrators;

    // Results of the last run.
    double recordedPeak = 0.0;
    double timeOffset = 0.0;
    bool inverted = false;
    double appliedGain = 1.0;
    // Why the last run returned false, in words for the user; empty after a success.
    std::string failure;
    // The last run ended because Abort was called.
    bool aborted = false;
    // Per input of the last run, in the order asked for.
    std::vector<ResponseResult> inputResults;
    // The reference's impulse in the last run (the card's own delay, samples), or NaN.
    double referenceOffset = 0.0;

protected:
    // Sleeps until the stream has processed `ms` milliseconds of frames: about real time on a
    // sound card, less on the simulated one, which runs faster. A card that delivers nothing,
    // or less, still ends the sleep after `ms` of real time.
    virtual void Sleep(int ms);

private:
    bool Render(int n, Kedra::PAudioII::PCMGenerator* generator);
    // Checks the arguments of a run and renders its signal; null when they are refused.
    Kedra::PAudioII::PCMGenerator* RenderFor(int lengthExponent, bool haveSpectrum,
                                             Kedra::PAudioII::PCMGenerator* generator);
    // Filters the rendered signal when the filter changed; the band a sweep plays in it.
    void PrepareFiltered(int n, Kedra::PAudioII::PCMGenerator* generator, int* start, int* end);
    bool MeasureSignal(int end, const std::vector<std::complex<double>*>& spectra, int exponent,
                       const std::vector<int>& channels, const float* played,
                       const float* reference, int start);
    void StartOutput();
    void StopOutput();
    void PlayedBand(int n, Kedra::PAudioII::PCMGenerator* generator, int* start, int* end);

    std::unique_ptr<Kedra::PAudioII::PCMGenerator> generator_;
    std::unique_ptr<Kedra::Filter::Design> signalFilter_;
    std::vector<const Calibrator*> calibrators_;
    Kedra::PAudioII::PCMGenerator* lastGenerator_ = nullptr;
    Mem::Array<float> signalBuffer_;
    int lastLength_ = 0;
    Mem::Array<float> filteredBuffer_;
    std::uint64_t filteredRevision_ = 0;
    bool filteredValid_ = false;
    // The reference's inverse spectrum, kept with the render cache.
    ReferenceInverse inverse_;
    std::uint64_t renderCount_ = 0;
    std::uint64_t inverseRender_ = 0;
    std::atomic<bool> abortRequested_{false};
};

} // namespace Kedra::Measure
