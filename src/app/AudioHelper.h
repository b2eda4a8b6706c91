#pragma once
// The measuring companion of the controller: it owns the response pipeline, the three test
// signals, the analysis length and the two calibrators, applies the options to them and the
// stream, and turns one measurement from the pipeline's spectrum into a finished, normalised
// and validated record. Window's thread only (the command line's main thread).

#include <complex>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "analyze/Response.h"
#include "app/FrontEnd.h"
#include "audio/SimulatedSoundCard.h"
#include "audio/SineLogSweep.h"
#include "audio/SineSweepSingle.h"
#include "audio/SquareNoise.h"
#include "exchange/Calibrator.h"
#include "exchange/WaveFile.h"
#include "foundation/Mem.h"
#include "measure/Measurement.h"

namespace Kedra::Sonvel {

namespace Conf {
struct OptionsField;
struct DevOptions;
} // namespace Conf

// The amplitude of -40 dB and of -70 dB.
inline const double MEASURE_LOW_WARN_AMP = 0.01;
inline const double MEASURE_LOW_REJECT_AMP = 0.00031622776601683794;
inline constexpr const char* CAL_MIC_FILENAME = "CalibrationMic.cal";
inline constexpr const char* CAL_DACADC_FILENAME = "CalibrationDacAdc.cal";
// "CalibrationMic-in3.cal": the microphone calibration of input 3 (0-based input 2), which a
// measurement of several inputs uses for that input in place of the common one.
std::string MicCalibrationFileFor(int input);

// DevOptions.SamplerateNo to Hz; 0 for an unknown number.
int SampleRateOfNumber(int number);

AmplitudeVerdict JudgeAmplitude(double amplitude);

// The output channels of a mask ("Left, Right") and the name of an input channel ("Ch. 3",
// "Unknown" past the fourth), as the measurement's progress title names them.
std::string OutputChannelNames(int mask);
std::string InputChannelName(int channel);

// The inputs (0-based) a measurement records: Dev.InputChannels, or Dev.InputChannel alone when
// that list is empty.
std::vector<int> MeasuredInputs(const Conf::DevOptions& dev);
// Why these inputs and this reference input (-1: none) cannot be recorded from a device with
// `available` inputs, in words that count inputs from 1; empty when they can.
std::string CheckInputs(const std::vector<int>& inputs, int reference, int available);
// "Unnamed-3 (input 2)": the label of one input's record, whatever input the label named before.
std::string InputLabel(const std::string& label, int input);

// Brings the band average (log-weighted, lowHz .. highHz) to 0 dB, unless the peak would then
// lie more than 10 dB up, in which case the peak goes to +10 dB. Returns the gain applied.
double NormalizeMeasurement(Kedra::Measure::Measurement& measurement, double lowHz, double highHz);

// The pipeline with its debug hooks writing wave files: the played signal, the recording and
// the correlation of each measurement, while `enabled`. A file that cannot be written is
// logged; the measurement goes on.
class DebugWaveResponse : public Kedra::Measure::Response {
public:
    void DebugOutput(const float* samples, int count) override;
    void DebugRecording(const float* samples, int count) override;
    void DebugCorrelation(const double* samples, int count) override;

    bool enabled = false;
    std::string outputPath;
    std::string recordingPath;
    std::string correlationPath;
    Kedra::WaveImExport::WaveFormat format = Kedra::WaveImExport::WaveFormat::Float32;
    int sampleRate = 48000;
};

class AudioHelper {
public:
    explicit AudioHelper(FrontEnd& frontEnd);
    ~AudioHelper();
    AudioHelper(const AudioHelper&) = delete;
    AudioHelper& operator=(const AudioHelper&) = delete;

    // Applies sample rate, signal, analysis and calibration options; not the devices.
    void ApplyOptions(const Conf::OptionsField& options);
    // Applies the devices of the options to the stream: host API `ApiNumber`, and the devices
    // `OutputNumber` and `InputNumber` in its lists of output and input devices. Only what is
    // about to use the stream calls it, as asking for devices starts PortAudio. A host API or
    // device that does not exist is told to the user and gives false; the stream keeps its
    // devices.
    bool ApplyDevices(const Conf::OptionsField& options);
    // A simulated model, when on, replaces the devices of the options: the same as choosing
    // the "Simulated" host API and the model's device.
    void UseSimulated(bool on, Kedra::PAudioII::SimulatedModel model);
    bool UsesSimulated() const { return simulated_; }
    Kedra::PAudioII::SimulatedModel SimulatedModelInUse() const { return model_; }

    // Measures into `measurement`, named "A", "B" or "C" in the progress texts. Returns the
    // pipeline's result; the amplitude is validated (and reported) on success.
    bool PerformMeasurement(Kedra::Measure::Measurement& measurement, const std::string& name);
    bool ValidateMeasAmp(Kedra::Measure::Measurement& measurement);
    // With several inputs (Dev.InputChannels), PerformMeasurement leaves the first input's
    // record in its argument and the others' here, each with its input (0-based), until taken.
    // MeasuredInputsOfLast: the inputs of the last measurement, the first one's first.
    std::vector<std::pair<int, std::unique_ptr<Kedra::Measure::Measurement>>> TakeMoreInputs() {
        return std::move(moreInputs_);
    }
    const std::vector<int>& MeasuredInputsOfLast() const { return lastInputs_; }
    // A recording made elsewhere, analysed exactly like a live one: `recording` starts with
    // the first sample of the played signal; `reference` is the played signal (null: the
    // current test signal). The length exponent follows the reference.
    bool AnalyzeRecording(Kedra::Measure::Measurement& measurement, const float* recording,
                          int count, int sampleRate, const float* reference, int referenceCount);

    // Calibration files: opened, saved in the user directory in our own format and (mic
    // only) activated. Switching on re-opens the saved copy.
    bool ImportMicCalibration(const std::string& path);
    // The calibration of the microphone on one input (0-based), saved beside the common one.
    bool ImportMicCalibration(const std::string& path, int input);
    bool ImportDacAdcCalibration(const std::string& path);
    bool SetMicCalibration(bool on);
    bool SetDacAdcCalibration(bool on);
    // Tells the front end which calibrations are in use and which files are there.
    void NotifyCalibration();
    Kedra::Measure::Calibrator& MicCalibrator() { return mic_; }
    Kedra::Measure::Calibrator& DacAdcCalibrator() { return dacAdc_; }

    Kedra::Measure::Response& GetResponse() { return *response_; }
    Kedra::PAudioII::PCMGenerator& ActiveGenerator() { return *active_; }
    Kedra::PAudioII::SineLogSweep& Sweep() { return sweep_; }
    int LengthExponent() const { return m_; }
    int Length() const { return 1 << m_; }
    int SampleRate() const;
    // The detected time offset of the last measurement, for the front end to show.
    double LastTimeOffset() const { return lastOffset_; }
    const AmplitudeVerdict& LastVerdict() const { return lastVerdict_; }
    // Renders the active signal (length 2^m) into `out`.
    void RenderSignal(std::vector<float>& out);
    // Signal code of a measurement: 1 sweep, 2 chirp, 3 square noise.
    int SignalCode() const;
    // The time-zero lock is a control of the window, not an option.
    void SetTimeZeroLock(bool locked, double offset) {
        lockTimeZero_ = locked;
        lockedTimeZero_ = offset;
    }
    bool TimeZeroLocked() const { return lockTimeZero_; }
    // The longest recording delay waited for, in ms; longer ones are taken for a typing error.
    static constexpr double MAX_DELAY_MS = 10000.0;

private:
    // Steps after the pipeline: the record from the spectrum, its window, high-pass,
    // normalisation, date and the amplitude validation.
    void Finish(Kedra::Measure::Measurement& measurement, const std::complex<double>* spectrum,
                int lengthExponent, bool filtered, int sampleRate,
                const Kedra::Measure::ResponseResult& result);

    FrontEnd& frontEnd_;
    std::unique_ptr<DebugWaveResponse> response_;
    Kedra::PAudioII::SineLogSweep sweep_;
    Kedra::PAudioII::SineSweepSingle chirp_;
    Kedra::PAudioII::SquareNoise noise_;
    Kedra::PAudioII::PCMGenerator* active_;
    int m_ = 18;
    Mem::Array<std::complex<double>> spectrum_;
    Kedra::Measure::Calibrator mic_;
    Kedra::Measure::Calibrator dacAdc_;
    bool simulated_ = false;
    Kedra::PAudioII::SimulatedModel model_ = Kedra::PAudioII::SimulatedModel::Loopback;
    double lastOffset_ = 0.0;
    bool lockTimeZero_ = false;
    double lockedTimeZero_ = 0.0;
    AmplitudeVerdict lastVerdict_;
    std::vector<std::pair<int, std::unique_ptr<Kedra::Measure::Measurement>>> moreInputs_;
    std::vector<int> lastInputs_;
};

} // namespace Kedra::Sonvel
