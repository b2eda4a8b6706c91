#pragma once
// The measurement record: one impulse response with the settings that say how it is viewed,
// the descriptive data that travels with it, and views derived from it on demand (re-centred
// impulse, spectra, magnitude, filtered variants, interpolators). Each view is cached until a
// setting it depends on changes; setters store only changed values and invalidate only the
// views they affect. One thread at a time; no locking.

#include <array>
#include <complex>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Interpolator.h"
#include "foundation/Mem.h"
#include "measure/ImpulseWindow.h"

namespace Kedra::Measure {

std::string SignalTypeToString(int type);
int StringToSignalType(const std::string& text);
std::string ApplicationIdToString(int id);
int StringToApplicationId(const std::string& text);
std::string DistortionIndexToString(int index);

// Settings flags and the per-view dirty flags of a record.
class ConfigCtrl {
public:
    enum Setting {
        FILTER_ACTIVE = 0,
        IMPULSE_WINDOW_ENABLED,
        SMOOTHING_ENABLED,
        SMOOTHING_COMPLEX
    };
    enum View {
        VIEW_I0 = 0,
        VIEW_I0_FILTER,
        VIEW_F0,
        VIEW_F0_FILTER,
        VIEW_A,
        VIEW_F,
        VIEW_INTERP_IMPULSE,
        VIEW_INTERP_SPECTRUM,
        VIEW_SPARE_1, // kept so that the flag set has its historic size
        VIEW_SPARE_2,
    };
    enum class Kind { Data, Filter, ImpulseWindow, Smoothing };

    bool GetEnabled(int index) const { return enabled_[static_cast<std::size_t>(index)]; }
    void SetEnabled(int index, bool b) { enabled_[static_cast<std::size_t>(index)] = b; }
    bool IsDirty(View v) const { return dirty_[v]; }
    void SetDirty(View v, bool b = true) { dirty_[v] = b; }
    // Every change of the data comes through here, so the data's generation moves with it.
    void SetAllDirty();
    // Unique to this state of the data among all records of the process; never 0.
    std::uint64_t DataGeneration() const { return generation_; }
    // A, F and the spectrum interpolator: what a change of window or smoothing affects.
    void SetSpectrumDirty();
    void Invalidate(Kind kind);

private:
    std::array<bool, 4> enabled_{};
    std::array<bool, 10> dirty_{true, true, true, true, true, true, true, true, true, true};
    std::uint64_t generation_ = NextGeneration();

    static std::uint64_t NextGeneration();
};

class MeasurementCore {
public:
    // How often each view was computed; lets tests hold the caching contract by behaviour.
    struct RecomputeCounts {
        int i0 = 0;
        int f0 = 0;
        int f0Filter = 0;
        int i0Filter = 0;
        int f = 0;
        int a = 0;
        int smoothing = 0;
        int spectrumInterpolator = 0;
        int impulseInterpolator = 0;
        int hd = 0;
    };

    static constexpr int MAX_HARMONICS = 11;
    // N = 2^24 samples is minutes of signal at any rate the program offers; no record holds
    // more raw samples either, so every record can be saved and read back.
    static constexpr int MAX_EXPONENT = 24;
    static constexpr int MAX_DATA_LENGTH = 1 << MAX_EXPONENT;
    static constexpr int HD_GRID = 8192; // rows hold HD_GRID + 1 points, 2*HD_GRID/fs per Hz

    explicit MeasurementCore(const std::string& label = "");
    MeasurementCore(const MeasurementCore&) = delete;
    MeasurementCore& operator=(const MeasurementCore&) = delete;
    virtual ~MeasurementCore();

    void Reset(const std::string& label);
    void SetDefaults();
    void Uninitialize();

    // Copies `length` samples; p is the exponent of the analysis length N = 2^p.
    void InitializeImpulse(const double* samples, int length, int dataOffset, int sampleRate, int p,
                           int signalType, double factor1, double factor2, bool resetSettings);
    // The same, taking the array over instead of copying it (a large record is never held
    // twice); `samples` is left empty unless the call is refused.
    void InitializeImpulse(Mem::Array<double>&& samples, int dataOffset, int sampleRate, int p,
                           int signalType, double factor1, double factor2, bool resetSettings);
    void PostInitSetOffset(double x);
    void PostInitSetDateNow();

    const double* GetIData();
    double* GetIBaseWriteable();

    // Centred views are indexed -N/2 .. N/2-1 with index 0 at the impulse position.
    const double* GetI0();
    std::complex<double>* GetF0();
    std::complex<double>* GetF0Writeable() { return GetF0(); }
    const std::complex<double>* GetF0Filter();
    const double* GetI0Filter();
    const double* GetI();
    const std::complex<double>* GetF();
    const double* GetA();
    void F0Written();

    double GetIInterpolated(double t);
    std::complex<double> GetFInterpolatedK(double k);
    std::complex<double> GetFInterpolated(double f) { return GetFInterpolatedK(f * binsPerHz_); }
    bool SafeN(double t) const;
    double WindowAmplitude(double sample) { return window_.Amplitude(sample); }

    void Amplify(double g);
    void AmplifyAbsolute(double a) { Amplify(a / amplitude_); }
    void Offset(double delta);
    void OffsetAbsolute(double x);

    void SetLowpassEnabled(bool b);
    void SetHighpassEnabled(bool b);
    void SetLowpass(double start, double length);
    void SetHighpass(double start, double length);
    void SetSmoothNOct(double n);
    void SetImpulseWindowEnabled(bool b);
    void SetSmoothingEnabled(bool b);
    void SetSmoothingComplex(bool b);
    void SetImpulseWindowStart(int start, bool force = false);
    void SetImpulseWindowEnd(int end);
    void SetImpulseWindowLockStart(bool b) { window_.SetLockStart(b); }

    void CopyFilterFrom(const MeasurementCore& other);
    void CopyImpulseWindowFrom(const MeasurementCore& other);
    void CopyAllFrom(const MeasurementCore& other);

    // The spectral tapers the filter views use; in may equal out. Frequencies in Hz.
    static void LowpassSpectrum(const std::complex<double>* in, std::complex<double>* out,
                                int nHalf, double binsPerHz, double start, double length);
    static void HighpassSpectrum(const std::complex<double>* in, std::complex<double>* out,
                                 int nHalf, double binsPerHz, double start, double length);

    // Harmonic distortion rows (HarmonicDistortion.h), in dB relative to the fundamental,
    // computed at the first request after a data change: -1 / null / -1000 while the record
    // holds no logarithmic-sweep data with a 2nd harmonic in it.
    int GetHDSize() const;
    const float* GetHDSmooth(int index);
    double GetHDSmoothInterpolated(int index, double frequency);
    int GetHarmonicCount() const { return harmonicCount_; }
    bool GetHarmonicsAvailable() const { return harmonicsAvailable_; }

    bool IsInitialized() const { return initialized_; }
    const std::string& GetLabel() const { return label_; }
    void SetLabel(const std::string& label) { label_ = label; }
    int GetSamplerate() const { return sampleRate_; }
    int GetDataLength() const { return dataLength_; }
    int GetDataOffset() const { return dataOffset_; }
    int GetExponent() const { return p_; }
    int GetN() const { return n_; }
    int GetNHalf() const { return nHalf_; }
    int GetNBins() const { return nBins_; }
    double GetBinsPerHz() const { return binsPerHz_; }
    double GetHzPerBin() const { return hzPerBin_; }
    double GetBaseOffset() const { return baseOffset_; }
    double GetCurrentOffset() const { return currentOffset_; }
    int GetImpulsePosition() const { return position_; }
    double GetIFracOffset() const { return fraction_; }
    double GetAmplitude() const { return amplitude_; }

    bool GetLowpassEnabled() const { return lowpassEnabled_; }
    bool GetHighpassEnabled() const { return highpassEnabled_; }
    double GetLowpassStart() const { return lowpassStart_; }
    double GetLowpassLength() const { return lowpassLength_; }
    double GetHighpassStart() const { return highpassStart_; }
    double GetHighpassLength() const { return highpassLength_; }
    double GetSmoothNOct() const { return nOct_; }
    bool GetImpulseWindowEnabled() const;
    bool GetSmoothingEnabled() const;
    bool GetSmoothingComplex() const;
    int GetImpulseWindowStart() const { return window_.GetStart(); }
    int GetImpulseWindowEnd() const { return window_.GetEnd(); }
    int GetImpulseWindowEndDelta() { return window_.GetRightTaper(); }
    bool GetImpulseWindowLockStart() const { return window_.GetLockStart(); }
    const ConfigCtrl& GetConfig() const { return config_; }

    int GetSignalType() const { return signalType_; }
    double GetSignalTypeFactor1() const { return signalFactor1_; }
    double GetSignalTypeFactor2() const { return signalFactor2_; }

    // Descriptive data stored with the record; no view depends on it.
    bool GetInverted() const { return inverted_; }
    void SetInverted(bool b) { inverted_ = b; }
    int GetRecChannels() const { return recChannels_; }
    void SetRecChannels(int c) { recChannels_ = c; }
    double GetRecMaxAmplitude() const { return recMaxAmplitude_; }
    void SetRecMaxAmplitude(double a) { recMaxAmplitude_ = a; }
    int GetTimeZeroMethod() const { return timeZeroMethod_; }
    void SetTimeZeroMethod(int m) { timeZeroMethod_ = m; }
    const std::string& GetRecDate() const { return recDate_; }
    void SetRecDate(const std::string& d) { recDate_ = d; }
    int GetApplicationId() const { return applicationId_; }
    void SetApplicationId(int id) { applicationId_ = id; }
    int GetApplicationAttrib1() const { return applicationAttrib1_; }
    void SetApplicationAttrib1(int a) { applicationAttrib1_ = a; }
    int GetApplicationAttrib2() const { return applicationAttrib2_; }
    void SetApplicationAttrib2(int a) { applicationAttrib2_ = a; }
    const std::string& GetApplicationInfo() const { return applicationInfo_; }
    void SetApplicationInfo(const std::string& s) { applicationInfo_ = s; }
    int GetFileVersion() const { return fileVersion_; }
    void SetFileVersion(int v) { fileVersion_ = v; }
    // How the record is drawn among the others: shown (1), hidden (0) or not known (-1, read
    // from a file written before the flag existed); its colour 0xRRGGBB, or -1 for the
    // palette's colour of the slot it lies in. A new or reset record knows neither.
    int GetPlotShown() const { return plotShown_; }
    void SetPlotShown(int shown) { plotShown_ = shown < 0 ? -1 : (shown > 0 ? 1 : 0); }
    int GetPlotColour() const { return plotColour_; }
    void SetPlotColour(int colour) { plotColour_ = colour < 0 ? -1 : (colour & 0xFFFFFF); }

    // Sound pressure level: a record measured while its input had an SPL reference reads
    // dB SPL as its level (20*log10|H| as the views show it, amplification included) plus
    // this offset. `reference` says what the reference was. A record without one is in dB
    // re full scale. New data, a reset or a copy drops it: it belongs to one measurement.
    bool HasSpl() const { return hasSpl_; }
    double GetSplOffset() const { return splOffset_; }
    const std::string& GetSplReference() const { return splReference_; }
    void SetSpl(double offset, const std::string& reference) {
        hasSpl_ = true;
        splOffset_ = offset;
        splReference_ = reference;
    }
    void ClearSpl() {
        hasSpl_ = false;
        splOffset_ = 0.0;
        splReference_.clear();
    }

    // A record measured with a timing reference (a loopback input) knows two delays, in
    // samples: the card's own, from the played signal to the reference's impulse, and the
    // acoustic one, from the reference's impulse (its time zero) to its own.
    bool HasDelays() const { return hasDelays_; }
    double GetSystemDelay() const { return systemDelay_; }
    double GetAcousticDelay() const { return acousticDelay_; }
    void SetDelays(double system, double acoustic) {
        hasDelays_ = true;
        systemDelay_ = system;
        acousticDelay_ = acoustic;
    }
    void ClearDelays() {
        hasDelays_ = false;
        systemDelay_ = 0.0;
        acousticDelay_ = 0.0;
    }

    // Records the gain that was applied to the data before it reached the record (for example
    // by normalising a recording); the samples are not touched.
    void SetAmplitude(double a) { amplitude_ = a; }
    // Every view is computed anew at its next request (the data changed behind the record).
    void InvalidateViews();
    // Changes the analysis length N = 2^p of a record that holds data. The views were sized
    // for the old N, so they are dropped and computed anew at their next request.
    void SetExponent(int p) {
        if (!initialized_ || p < 1 || p > MAX_EXPONENT || p == p_)
            return;
        FreeViews();
        ReleaseHD();
        p_ = p;
        n_ = 1 << p;
        nHalf_ = n_ / 2;
        nBins_ = nHalf_ + 1;
        binsPerHz_ = static_cast<double>(n_) / sampleRate_;
        hzPerBin_ = static_cast<double>(sampleRate_) / n_;
        config_.SetAllDirty();
    }

    const RecomputeCounts& GetRecomputeCounts() const { return counts_; }
    // Changes whenever the measured data does (not on view changes): a key for caches of
    // what is derived from the data alone.
    std::uint64_t GetDataGeneration() const { return config_.DataGeneration(); }

protected:
    // `adopt`, when given, becomes the raw array instead of a new one of `length`.
    void AllocateImpulse(int length, int dataOffset, int sampleRate, int p,
                         Mem::Array<double>* adopt = nullptr);
    bool RefuseImpulse(bool refused, int length, int sampleRate, int p);
    void TakeImpulseSettings(bool resetSettings);
    void UpdatePosition();
    void Warn(const char* text) const;
    void FreeViews();
    void ReleaseHD();

    std::string label_;
    bool initialized_ = false;
    Mem::Array<double> raw_;
    int dataLength_ = 0;
    int dataOffset_ = 0;
    int sampleRate_ = 0;
    int p_ = 0;
    int n_ = 0;
    int nHalf_ = 0;
    int nBins_ = 0;
    double binsPerHz_ = 0.0;
    double hzPerBin_ = 0.0;
    double baseOffset_ = 0.0;
    double currentOffset_ = 0.0;
    int position_ = 0;
    double fraction_ = 0.0;
    double amplitude_ = 1.0;
    bool inverted_ = false;
    int signalType_ = 0;
    double signalFactor1_ = 0.0;
    double signalFactor2_ = 0.0;
    int recChannels_ = 0;
    double recMaxAmplitude_ = 0.0;
    int timeZeroMethod_ = 1;
    std::string recDate_ = "NA";
    int applicationId_ = 0;
    int applicationAttrib1_ = 0;
    int applicationAttrib2_ = 0;
    std::string applicationInfo_ = "NA";
    int fileVersion_ = -1;
    int plotShown_ = -1;
    int plotColour_ = -1;
    bool hasSpl_ = false;
    double splOffset_ = 0.0;
    std::string splReference_;
    bool hasDelays_ = false;
    double systemDelay_ = 0.0;
    double acousticDelay_ = 0.0;
    ImpulseWindow window_;
    bool lowpassEnabled_ = false;
    double lowpassStart_ = 2000.0;
    double lowpassLength_ = 1000.0;
    bool highpassEnabled_ = false;
    double highpassStart_ = 200.0;
    double highpassLength_ = 100.0;
    double nOct_ = 3.0;
    int harmonicCount_ = MAX_HARMONICS;
    bool harmonicsAvailable_ = false;
    bool hdStale_ = true;
    std::vector<Mem::Array<float>> hdRows_;
    ConfigCtrl config_;

private:
    void SetPassEnabled(bool& field, bool b);
    double* Centred(Mem::Array<double>& a);
    const double* Inverse(const std::complex<double>* spectrum, Mem::Array<double>& storage);

    // I0 either aliases the raw data or lives in i0Owned_.
    const double* i0_ = nullptr;
    Mem::Array<double> i0Owned_;
    Mem::Array<std::complex<double>> f0_;
    Mem::Array<std::complex<double>> f0Filter_;
    Mem::Array<double> i0Filter_;
    Mem::Array<std::complex<double>> f_;
    Mem::Array<double> a_;
    const std::complex<double>* fInUse_ = nullptr;
    std::unique_ptr<Kedra::Math::InterpolatorLinearPolar> spectrumInterpolator_;
    std::unique_ptr<Kedra::Math::InterpolatorCubicSpline> impulseInterpolator_;
    RecomputeCounts counts_;
};

} // namespace Kedra::Measure
