#include "measure/MeasurementCore.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>

#include "foundation/Fft.h"
#include "foundation/KedraLogger.h"
#include "foundation/MathHelpers.h"
#include "measure/HarmonicDistortion.h"
#include "measure/Smoothing.h"

namespace Kedra::Measure {

using Kedra::Math::FFTPow2FreqToTime;
using Kedra::Math::FFTPow2TimeToFreq;
using Kedra::Math::PI;
using Kedra::Math::ToIntRound;

namespace {

constexpr const char* SIGNAL_TYPE_NAMES[] = {"NA", "LogSweep", "Chirp", "SqNoise", "QBox"};
constexpr const char* APPLICATION_NAMES[] = {"Unknown", "Sonvel", "LumadiControl", "LumadiDriver",
                                             "LumadiRoom"};

// The transforms of this record: spectra are unscaled sums referred to the exact (fractional)
// time zero; impulses are centred on the integer impulse position.
constexpr bool CENTRED = true;
constexpr bool UNSCALED = false;

// Later names win ties on the way back, so the search runs from the last name down.
template <std::size_t N>
int NameToIndex(const char* const (&names)[N], const std::string& text) {
    for (int i = static_cast<int>(N) - 1; i >= 0; --i)
        if (text == names[i])
            return i;
    return 0;
}

template <typename T>
void Scale(Mem::Array<T>& a, double g) {
    for (std::size_t i = 0; i < a.size(); ++i)
        a[i] *= g;
}

} // namespace

std::string SignalTypeToString(int type) {
    if (type < 0 || type > 4)
        return "Unknown";
    return SIGNAL_TYPE_NAMES[type];
}

int StringToSignalType(const std::string& text) {
    return NameToIndex(SIGNAL_TYPE_NAMES, text);
}

std::string ApplicationIdToString(int id) {
    if (id < 0 || id > 4)
        return "Unknown";
    return APPLICATION_NAMES[id];
}

int StringToApplicationId(const std::string& text) {
    return NameToIndex(APPLICATION_NAMES, text);
}

std::string DistortionIndexToString(int index) {
    switch (index) {
    case 0:
        return "THD";
    case 1:
        return "Noise";
    case 2:
        return "2nd HD";
    default:
        return std::to_string(index) + "th HD";
    }
}

void ConfigCtrl::SetSpectrumDirty() {
    dirty_[VIEW_A] = true;
    dirty_[VIEW_F] = true;
    dirty_[VIEW_INTERP_SPECTRUM] = true;
}

std::uint64_t ConfigCtrl::NextGeneration() {
    static std::atomic<std::uint64_t> next{0};
    return ++next;
}

void ConfigCtrl::SetAllDirty() {
    dirty_.fill(true);
    generation_ = NextGeneration();
}

void ConfigCtrl::Invalidate(Kind kind) {
    switch (kind) {
    case Kind::Data:
        SetAllDirty();
        break;
    case Kind::Filter:
        if (enabled_[FILTER_ACTIVE]) {
            dirty_[VIEW_I0_FILTER] = true;
            dirty_[VIEW_F0_FILTER] = true;
            dirty_[VIEW_INTERP_IMPULSE] = true;
            SetSpectrumDirty();
        }
        break;
    case Kind::ImpulseWindow:
        if (enabled_[IMPULSE_WINDOW_ENABLED])
            SetSpectrumDirty();
        break;
    case Kind::Smoothing:
        if (enabled_[SMOOTHING_ENABLED])
            SetSpectrumDirty();
        break;
    }
}

MeasurementCore::MeasurementCore(const std::string& label) : window_(-10, 10) {
    Reset(label);
}

MeasurementCore::~MeasurementCore() {
    Uninitialize();
}

void MeasurementCore::Reset(const std::string& label) {
    Uninitialize();
    label_ = label;
    fileVersion_ = -1;
    plotShown_ = -1;
    plotColour_ = -1;
    FreeViews();
    config_.SetAllDirty();
    baseOffset_ = 0.0;
    currentOffset_ = 0.0;
    harmonicCount_ = MAX_HARMONICS;
    harmonicsAvailable_ = false;
    SetDefaults();
}

void MeasurementCore::SetDefaults() {
    // Through the setters, so that views depending on a setting that changes are invalidated.
    SetLowpassEnabled(false);
    SetHighpassEnabled(false);
    SetLowpass(2000.0, 1000.0);
    SetHighpass(200.0, 100.0);
    applicationId_ = 0;
    applicationAttrib1_ = 0;
    applicationAttrib2_ = 0;
    recChannels_ = 0;
    recMaxAmplitude_ = 0.0;
    inverted_ = false;
    SetSmoothNOct(3.0);
    amplitude_ = 1.0;
    recDate_ = "NA";
    applicationInfo_ = "NA";
    timeZeroMethod_ = 1;
    ClearSpl();
    ClearDelays();
    SetImpulseWindowEnd(100);
    SetImpulseWindowStart(-100);
    window_.SetLockStart(false);
    SetSmoothingEnabled(false);
    SetImpulseWindowEnabled(false);
}

void MeasurementCore::FreeViews() {
    i0_ = nullptr;
    i0Owned_ = {};
    f0_ = {};
    f0Filter_ = {};
    i0Filter_ = {};
    f_ = {};
    a_ = {};
    fInUse_ = nullptr;
    spectrumInterpolator_.reset();
    impulseInterpolator_.reset();
}

void MeasurementCore::ReleaseHD() {
    hdRows_.clear();
    hdStale_ = true;
}

void MeasurementCore::Uninitialize() {
    if (!initialized_)
        return;
    raw_ = {};
    FreeViews();
    ReleaseHD();
    // The harmonic data belonged to the data just freed.
    harmonicsAvailable_ = false;
    baseOffset_ = 0.0;
    currentOffset_ = 0.0;
    config_.SetAllDirty();
    initialized_ = false;
}

void MeasurementCore::UpdatePosition() {
    // Offsets from outside (files, user input) may be absurd; the position stays an int.
    const double x = std::clamp(dataOffset_ + currentOffset_ - baseOffset_, -1e9, 1e9);
    const double floored = std::floor(x);
    position_ = static_cast<int>(floored);
    fraction_ = x - floored;
}

void MeasurementCore::AllocateImpulse(int length, int dataOffset, int sampleRate, int p,
                                      Mem::Array<double>* adopt) {
    if (initialized_) {
        raw_ = {};
        FreeViews();
    }
    ReleaseHD();
    dataLength_ = length;
    dataOffset_ = dataOffset;
    sampleRate_ = sampleRate;
    p_ = p;
    n_ = 1 << p;
    nHalf_ = n_ / 2;
    nBins_ = nHalf_ + 1;
    binsPerHz_ = static_cast<double>(n_) / sampleRate;
    hzPerBin_ = static_cast<double>(sampleRate) / n_;
    UpdatePosition();
    raw_ =
        adopt != nullptr ? std::move(*adopt) : Mem::Array<double>(static_cast<std::size_t>(length));
    // Harmonic k lies ln(k) * factor1 * fs samples before the linear impulse; only those that
    // fit in front of it can be analysed. Without a usable time constant none can.
    harmonicsAvailable_ = false;
    if (signalType_ == 1 && std::isfinite(signalFactor1_) && signalFactor1_ > 0.0) {
        const double fit = std::exp(position_ / (sampleRate * signalFactor1_));
        harmonicCount_ = fit >= MAX_HARMONICS ? MAX_HARMONICS : static_cast<int>(std::floor(fit));
        harmonicsAvailable_ = true;
    }
    config_.SetAllDirty();
    initialized_ = true;
}

bool MeasurementCore::RefuseImpulse(bool refused, int length, int sampleRate, int p) {
    // Refused before anything changes, so a bad call never costs the data already held.
    refused = refused || length <= 0 || length > MAX_DATA_LENGTH || sampleRate <= 0 || p < 1 ||
              p > MAX_EXPONENT;
    if (refused)
        Kedra::Logging::KedraLogger::LogText(
            "WARNING Measurement::InitializeImpulse(" + std::to_string(length) + ", " +
            std::to_string(sampleRate) + ", " + std::to_string(p) + ") refused - " + label_ + "\n");
    return refused;
}

void MeasurementCore::InitializeImpulse(const double* samples, int length, int dataOffset,
                                        int sampleRate, int p, int signalType, double factor1,
                                        double factor2, bool resetSettings) {
    if (RefuseImpulse(samples == nullptr, length, sampleRate, p))
        return;
    signalType_ = signalType;
    signalFactor1_ = factor1;
    signalFactor2_ = factor2;
    AllocateImpulse(length, dataOffset, sampleRate, p);
    std::memcpy(raw_.data(), samples, sizeof(double) * static_cast<std::size_t>(length));
    TakeImpulseSettings(resetSettings);
}

void MeasurementCore::InitializeImpulse(Mem::Array<double>&& samples, int dataOffset,
                                        int sampleRate, int p, int signalType, double factor1,
                                        double factor2, bool resetSettings) {
    const std::size_t length = samples.size();
    if (RefuseImpulse(samples.data() == nullptr || length > static_cast<std::size_t>(INT_MAX),
                      static_cast<int>(std::min<std::size_t>(length, INT_MAX)), sampleRate, p))
        return;
    signalType_ = signalType;
    signalFactor1_ = factor1;
    signalFactor2_ = factor2;
    AllocateImpulse(static_cast<int>(length), dataOffset, sampleRate, p, &samples);
    TakeImpulseSettings(resetSettings);
}

void MeasurementCore::TakeImpulseSettings(bool resetSettings) {
    if (resetSettings) {
        SetDefaults();
        return;
    }
    // Keep the record's settings: its gain is applied to the new data ...
    const double g = amplitude_;
    amplitude_ = 1.0;
    Amplify(g);
    // ... and a view offset the user had set is kept relative to the new base.
    const double c = currentOffset_;
    currentOffset_ = baseOffset_;
    if (c != 0.0)
        currentOffset_ = baseOffset_ + c;
    config_.Invalidate(ConfigCtrl::Kind::Data);
    ReleaseHD();
    UpdatePosition();
}

void MeasurementCore::PostInitSetOffset(double x) {
    baseOffset_ = x;
    currentOffset_ = x;
    UpdatePosition();
}

void MeasurementCore::InvalidateViews() {
    config_.Invalidate(ConfigCtrl::Kind::Data);
    ReleaseHD();
}

void MeasurementCore::PostInitSetDateNow() {
    recDate_ = Kedra::Logging::DateText();
}

void MeasurementCore::Warn(const char* text) const {
    Kedra::Logging::KedraLogger::LogText(std::string("WARNING Measurement::") + text + " - " +
                                         label_ + "\n");
}

const double* MeasurementCore::GetIData() {
    if (!initialized_) {
        Warn("GetIData() Not initialized -> 0");
        return nullptr;
    }
    return raw_.data();
}

double* MeasurementCore::GetIBaseWriteable() {
    if (!initialized_) {
        Warn("GetIBaseWriteable() Not initialized -> 0");
        return nullptr;
    }
    config_.SetAllDirty();
    ReleaseHD();
    return raw_.data();
}

double* MeasurementCore::Centred(Mem::Array<double>& a) {
    if (a.size() != static_cast<std::size_t>(n_))
        a = Mem::Array<double>(static_cast<std::size_t>(n_));
    return a.data() + nHalf_;
}

const double* MeasurementCore::GetI0() {
    if (!initialized_) {
        Warn("GetI0() Not initialized -> 0");
        return nullptr;
    }
    if (!config_.IsDirty(ConfigCtrl::VIEW_I0) && i0_ != nullptr)
        return i0_;
    ++counts_.i0;
    if (position_ >= nHalf_ && dataLength_ - position_ >= nHalf_) {
        i0Owned_ = {};
        i0_ = raw_.data() + position_;
    } else {
        double* out = Centred(i0Owned_);
        for (int i = -nHalf_; i < nHalf_; ++i) {
            const long long j = static_cast<long long>(position_) + i;
            out[i] = (j >= 0 && j < dataLength_) ? raw_[static_cast<std::size_t>(j)] : 0.0;
        }
        i0_ = out;
    }
    config_.SetDirty(ConfigCtrl::VIEW_I0, false);
    return i0_;
}

std::complex<double>* MeasurementCore::GetF0() {
    if (!initialized_) {
        Warn("GetF0() Not initialized -> 0");
        return nullptr;
    }
    if (!config_.IsDirty(ConfigCtrl::VIEW_F0) && f0_.data() != nullptr)
        return f0_.data();
    const double* i0 = GetI0();
    if (f0_.size() != static_cast<std::size_t>(nBins_))
        f0_ = Mem::Array<std::complex<double>>(static_cast<std::size_t>(nBins_));
    ++counts_.f0;
    // Removing the fractional delay refers the spectrum to the exact time zero.
    FFTPow2TimeToFreq(i0, f0_.data(), n_, CENTRED, UNSCALED, fraction_);
    config_.SetDirty(ConfigCtrl::VIEW_F0, false);
    return f0_.data();
}

void MeasurementCore::LowpassSpectrum(const std::complex<double>* in, std::complex<double>* out,
                                      int nHalf, double binsPerHz, double start, double length) {
    const double a = start * binsPerHz;
    const double b = length * binsPerHz;
    const int first = static_cast<int>(std::clamp(std::floor(a) + 1.0, 0.0, nHalf + 1.0));
    if (in != out)
        std::copy(in, in + first, out);
    for (int k = first; k <= nHalf; ++k) {
        if (k <= a + b)
            out[k] = in[k] * (0.5 * (1.0 + std::cos(PI * (k - a) / b)));
        else
            out[k] = 0.0;
    }
}

void MeasurementCore::HighpassSpectrum(const std::complex<double>* in, std::complex<double>* out,
                                       int nHalf, double binsPerHz, double start, double length) {
    const double a = start * binsPerHz;
    const double b = length * binsPerHz;
    const int stop = static_cast<int>(std::clamp(std::floor(a), 0.0, static_cast<double>(nHalf)));
    for (int k = 0; k < stop; ++k) {
        if (k < a - b)
            out[k] = 0.0;
        else
            out[k] = in[k] * (0.5 * (1.0 + std::cos(PI * (a - k) / b)));
    }
    if (in != out)
        std::copy(in + stop, in + nHalf + 1, out + stop);
}

const std::complex<double>* MeasurementCore::GetF0Filter() {
    if (!initialized_) {
        Warn("GetF0Filter() Not initialized -> 0");
        return nullptr;
    }
    if (!lowpassEnabled_ && !highpassEnabled_) {
        Warn("GetF0Filter() : Not Lowpass or highpass -> GetF0()");
        f0Filter_ = {};
        return GetF0();
    }
    if (!config_.IsDirty(ConfigCtrl::VIEW_F0_FILTER) && f0Filter_.data() != nullptr)
        return f0Filter_.data();
    const std::complex<double>* f0 = GetF0();
    if (f0Filter_.size() != static_cast<std::size_t>(nBins_))
        f0Filter_ = Mem::Array<std::complex<double>>(static_cast<std::size_t>(nBins_));
    ++counts_.f0Filter;
    std::complex<double>* out = f0Filter_.data();
    const std::complex<double>* in = f0;
    if (lowpassEnabled_) {
        LowpassSpectrum(in, out, nHalf_, binsPerHz_, lowpassStart_, lowpassLength_);
        in = out;
    }
    if (highpassEnabled_)
        HighpassSpectrum(in, out, nHalf_, binsPerHz_, highpassStart_, highpassLength_);
    config_.SetDirty(ConfigCtrl::VIEW_F0_FILTER, false);
    return out;
}

// A spectrum of this record refers to the exact time zero, which lies the fractional offset
// after index 0 of the centred impulses. Putting that delay back before the inverse transform
// keeps every impulse of the record on the same sample grid as I0, so that toggling a filter,
// windowing a filtered impulse or writing F0 back never moves the impulse by a fraction.
const double* MeasurementCore::Inverse(const std::complex<double>* spectrum,
                                       Mem::Array<double>& storage) {
    double* out = Centred(storage);
    if (fraction_ == 0.0) {
        FFTPow2FreqToTime(spectrum, out, n_, CENTRED, UNSCALED);
        return out;
    }
    Mem::Array<std::complex<double>> delayed(static_cast<std::size_t>(nBins_));
    const double w = -fraction_ * Kedra::Math::TWOPI / n_;
    delayed[0] = spectrum[0];
    for (int k = 1; k < nHalf_; ++k)
        delayed[static_cast<std::size_t>(k)] = spectrum[k] * std::polar(1.0, k * w);
    delayed[static_cast<std::size_t>(nHalf_)] = spectrum[nHalf_];
    FFTPow2FreqToTime(delayed.data(), out, n_, CENTRED, UNSCALED);
    return out;
}

const double* MeasurementCore::GetI0Filter() {
    if (!initialized_) {
        Warn("GetI0Filter() Not initialized -> 0");
        return nullptr;
    }
    if (!config_.IsDirty(ConfigCtrl::VIEW_I0_FILTER) && i0Filter_.data() != nullptr)
        return i0Filter_.data() + nHalf_;
    const std::complex<double>* f0Filter = GetF0Filter();
    ++counts_.i0Filter;
    const double* out = Inverse(f0Filter, i0Filter_);
    config_.SetDirty(ConfigCtrl::VIEW_I0_FILTER, false);
    return out;
}

const double* MeasurementCore::GetI() {
    if (!initialized_) {
        Warn("GetI() Not initialized -> 0");
        return nullptr;
    }
    if (config_.GetEnabled(ConfigCtrl::FILTER_ACTIVE))
        return GetI0Filter();
    i0Filter_ = {};
    return GetI0();
}

bool MeasurementCore::GetImpulseWindowEnabled() const {
    return config_.GetEnabled(ConfigCtrl::IMPULSE_WINDOW_ENABLED);
}
bool MeasurementCore::GetSmoothingEnabled() const {
    return config_.GetEnabled(ConfigCtrl::SMOOTHING_ENABLED);
}
bool MeasurementCore::GetSmoothingComplex() const {
    return config_.GetEnabled(ConfigCtrl::SMOOTHING_COMPLEX);
}

const std::complex<double>* MeasurementCore::GetF() {
    if (!initialized_) {
        Warn("GetF() Not initialized -> 0");
        f_ = {};
        return nullptr;
    }
    const bool windowed = GetImpulseWindowEnabled();
    const bool smoothed = GetSmoothingEnabled();
    if (!windowed && !smoothed) {
        f_ = {};
        if (config_.GetEnabled(ConfigCtrl::FILTER_ACTIVE))
            return GetF0Filter();
        return GetF0();
    }
    if (!config_.IsDirty(ConfigCtrl::VIEW_F) && f_.data() != nullptr)
        return f_.data();
    if (f_.size() != static_cast<std::size_t>(nBins_))
        f_ = Mem::Array<std::complex<double>>(static_cast<std::size_t>(nBins_));
    ++counts_.f;
    std::complex<double>* f = f_.data();
    if (windowed) {
        const double* impulse = GetI();
        Mem::Array<double> tmp(static_cast<std::size_t>(n_));
        double* w = tmp.data() + nHalf_;
        // Only the window's support needs its shape; outside it the product is 0.
        const int lo = std::max(-nHalf_, window_.GetLeftZero());
        const int hi = std::min(nHalf_ - 1, window_.GetRightZero());
        for (int i = -nHalf_; i < nHalf_; ++i)
            w[i] = (i >= lo && i <= hi) ? impulse[i] * window_.Amplitude(i) : 0.0;
        FFTPow2TimeToFreq(w, f, n_, CENTRED, UNSCALED, fraction_);
    } else {
        std::copy(GetF0(), GetF0() + nBins_, f);
    }
    if (smoothed) {
        ++counts_.smoothing;
        if (GetSmoothingComplex())
            SmoothComplex(f, f, nHalf_, nOct_);
        else
            SmoothMagnitude(f, f, nHalf_, nOct_);
    }
    if (lowpassEnabled_)
        LowpassSpectrum(f, f, nHalf_, binsPerHz_, lowpassStart_, lowpassLength_);
    if (highpassEnabled_)
        HighpassSpectrum(f, f, nHalf_, binsPerHz_, highpassStart_, highpassLength_);
    config_.SetDirty(ConfigCtrl::VIEW_F, false);
    return f;
}

const double* MeasurementCore::GetA() {
    if (!initialized_) {
        Warn("GetA() Not initialized -> 0");
        return nullptr;
    }
    if (!config_.IsDirty(ConfigCtrl::VIEW_A) && a_.data() != nullptr)
        return a_.data();
    const std::complex<double>* f = GetF();
    if (a_.size() != static_cast<std::size_t>(nBins_))
        a_ = Mem::Array<double>(static_cast<std::size_t>(nBins_));
    ++counts_.a;
    for (int k = 0; k < nBins_; ++k)
        a_[static_cast<std::size_t>(k)] = std::abs(f[k]);
    config_.SetDirty(ConfigCtrl::VIEW_A, false);
    return a_.data();
}

void MeasurementCore::F0Written() {
    if (!initialized_ || f0_.data() == nullptr)
        return;
    Mem::Array<double> result;
    Inverse(f0_.data(), result);
    // The new raw impulse is the view's: its position lies at index N/2. The view offset is
    // already in it, so the data offset takes it back out; an offset that reaches beyond the
    // new data becomes part of the base offset instead, so that Data_Offset stays an index.
    raw_ = std::move(result);
    i0_ = nullptr;
    i0Owned_ = {};
    dataLength_ = n_;
    const double shift = std::floor(currentOffset_ - baseOffset_);
    if (shift > -nHalf_ && shift < nHalf_) {
        dataOffset_ = nHalf_ - static_cast<int>(shift);
    } else {
        dataOffset_ = nHalf_;
        baseOffset_ += shift;
    }
    UpdatePosition();
    config_.SetAllDirty();
    ReleaseHD();
}

bool MeasurementCore::SafeN(double t) const {
    if (config_.GetEnabled(ConfigCtrl::FILTER_ACTIVE))
        return std::fabs(t) < 0.95 * nHalf_;
    return -position_ < t && t < dataLength_ - position_;
}

double MeasurementCore::GetIInterpolated(double t) {
    if (!initialized_)
        return 0.0;
    const double x = t + fraction_;
    if (!SafeN(x))
        return 0.0;
    if (config_.IsDirty(ConfigCtrl::VIEW_INTERP_IMPULSE) || !impulseInterpolator_) {
        if (!impulseInterpolator_)
            impulseInterpolator_ = std::make_unique<Kedra::Math::InterpolatorCubicSpline>();
        ++counts_.impulseInterpolator;
        if (config_.GetEnabled(ConfigCtrl::FILTER_ACTIVE))
            impulseInterpolator_->SetSamples(-nHalf_, nHalf_ - 1, GetI());
        else
            impulseInterpolator_->SetSamples(-position_, dataLength_ - 1 - position_,
                                             raw_.data() + position_);
        config_.SetDirty(ConfigCtrl::VIEW_INTERP_IMPULSE, false);
    }
    return impulseInterpolator_->Value(x);
}

std::complex<double> MeasurementCore::GetFInterpolatedK(double k) {
    if (!initialized_)
        return 0.0;
    if (config_.IsDirty(ConfigCtrl::VIEW_INTERP_SPECTRUM) || !spectrumInterpolator_) {
        if (!spectrumInterpolator_)
            spectrumInterpolator_ = std::make_unique<Kedra::Math::InterpolatorLinearPolar>();
        ++counts_.spectrumInterpolator;
        spectrumInterpolator_->SetSamples(0, nHalf_ - 1, GetF());
        config_.SetDirty(ConfigCtrl::VIEW_INTERP_SPECTRUM, false);
    }
    return spectrumInterpolator_->Value(k);
}

void MeasurementCore::Amplify(double g) {
    if (g == 1.0 || !initialized_)
        return;
    // Zero or non-finite would destroy the data for good and poison every later level change.
    if (g == 0.0 || !std::isfinite(g)) {
        Kedra::Logging::KedraLogger::LogText("WARNING MeasurementCore::Amplify( " +
                                             std::to_string(g) + " ) refused - " + label_ + "\n");
        return;
    }
    const bool smoothed = GetSmoothingEnabled();
    const bool keepA = smoothed && !config_.IsDirty(ConfigCtrl::VIEW_A) && a_.data() != nullptr;
    const bool keepF = smoothed && !config_.IsDirty(ConfigCtrl::VIEW_F) && f_.data() != nullptr;
    const bool keepF0 = !config_.IsDirty(ConfigCtrl::VIEW_F0) && f0_.data() != nullptr;
    const bool keepF0Filter = config_.GetEnabled(ConfigCtrl::FILTER_ACTIVE) &&
                              !config_.IsDirty(ConfigCtrl::VIEW_F0_FILTER) &&
                              f0Filter_.data() != nullptr;
    double* raw = GetIBaseWriteable();
    for (int i = 0; i < dataLength_; ++i)
        raw[i] *= g;
    if (keepA) {
        Scale(a_, std::fabs(g));
        config_.SetDirty(ConfigCtrl::VIEW_A, false);
    }
    if (keepF) {
        Scale(f_, g);
        config_.SetDirty(ConfigCtrl::VIEW_F, false);
    }
    if (keepF0) {
        Scale(f0_, g);
        config_.SetDirty(ConfigCtrl::VIEW_F0, false);
    }
    if (keepF0Filter) {
        Scale(f0Filter_, g);
        config_.SetDirty(ConfigCtrl::VIEW_F0_FILTER, false);
    }
    amplitude_ *= std::fabs(g);
}

void MeasurementCore::Offset(double delta) {
    if (delta == 0.0)
        return;
    currentOffset_ += delta;
    config_.Invalidate(ConfigCtrl::Kind::Data);
    ReleaseHD();
    UpdatePosition();
}

void MeasurementCore::OffsetAbsolute(double x) {
    if (x - currentOffset_ == 0.0)
        return;
    currentOffset_ = x;
    config_.Invalidate(ConfigCtrl::Kind::Data);
    ReleaseHD();
    UpdatePosition();
}

void MeasurementCore::SetPassEnabled(bool& field, bool b) {
    if (b == field)
        return;
    field = b;
    const bool wasActive = config_.GetEnabled(ConfigCtrl::FILTER_ACTIVE);
    const bool active = lowpassEnabled_ || highpassEnabled_;
    config_.SetEnabled(ConfigCtrl::FILTER_ACTIVE, active);
    if (active != wasActive) {
        config_.SetDirty(ConfigCtrl::VIEW_I0_FILTER);
        config_.SetDirty(ConfigCtrl::VIEW_F0_FILTER);
        config_.SetDirty(ConfigCtrl::VIEW_INTERP_IMPULSE);
        config_.SetSpectrumDirty();
    }
    config_.Invalidate(ConfigCtrl::Kind::Filter);
}

void MeasurementCore::SetLowpassEnabled(bool b) {
    SetPassEnabled(lowpassEnabled_, b);
}

void MeasurementCore::SetHighpassEnabled(bool b) {
    SetPassEnabled(highpassEnabled_, b);
}

void MeasurementCore::SetLowpass(double start, double length) {
    if (start == lowpassStart_ && length == lowpassLength_)
        return;
    lowpassStart_ = start;
    lowpassLength_ = length;
    config_.Invalidate(ConfigCtrl::Kind::Filter);
}

void MeasurementCore::SetHighpass(double start, double length) {
    if (start == highpassStart_ && length == highpassLength_)
        return;
    highpassStart_ = start;
    highpassLength_ = length;
    config_.Invalidate(ConfigCtrl::Kind::Filter);
}

void MeasurementCore::SetSmoothNOct(double n) {
    if (n == nOct_)
        return;
    nOct_ = n;
    config_.Invalidate(ConfigCtrl::Kind::Smoothing);
}

void MeasurementCore::SetImpulseWindowEnabled(bool b) {
    if (b == GetImpulseWindowEnabled())
        return;
    config_.SetEnabled(ConfigCtrl::IMPULSE_WINDOW_ENABLED, b);
    config_.SetSpectrumDirty();
}

void MeasurementCore::SetSmoothingEnabled(bool b) {
    if (b == GetSmoothingEnabled())
        return;
    config_.SetEnabled(ConfigCtrl::SMOOTHING_ENABLED, b);
    config_.SetSpectrumDirty();
}

void MeasurementCore::SetSmoothingComplex(bool b) {
    if (b == GetSmoothingComplex())
        return;
    config_.SetEnabled(ConfigCtrl::SMOOTHING_COMPLEX, b);
    config_.SetSpectrumDirty();
}

void MeasurementCore::SetImpulseWindowStart(int start, bool force) {
    if (window_.GetLockStart() && !force)
        return;
    if (window_.SetStart(start))
        config_.Invalidate(ConfigCtrl::Kind::ImpulseWindow);
}

void MeasurementCore::SetImpulseWindowEnd(int end) {
    if (window_.SetEnd(end))
        config_.Invalidate(ConfigCtrl::Kind::ImpulseWindow);
}

void MeasurementCore::CopyFilterFrom(const MeasurementCore& other) {
    SetLowpassEnabled(other.lowpassEnabled_);
    SetLowpass(other.lowpassStart_, other.lowpassLength_);
    SetHighpassEnabled(other.highpassEnabled_);
    SetHighpass(other.highpassStart_, other.highpassLength_);
    config_.Invalidate(ConfigCtrl::Kind::Filter);
}

void MeasurementCore::CopyImpulseWindowFrom(const MeasurementCore& other) {
    int start = other.window_.GetStart();
    int end = other.window_.GetEnd();
    if (sampleRate_ != other.sampleRate_ && other.sampleRate_ > 0 && sampleRate_ > 0) {
        const double ratio = static_cast<double>(sampleRate_) / other.sampleRate_;
        start = ToIntRound(start * ratio);
        end = ToIntRound(end * ratio);
    }
    SetImpulseWindowStart(start, true);
    SetImpulseWindowEnd(end);
    SetImpulseWindowEnabled(other.GetImpulseWindowEnabled());
    window_.SetLockStart(other.window_.GetLockStart());
    config_.Invalidate(ConfigCtrl::Kind::ImpulseWindow);
}

void MeasurementCore::CopyAllFrom(const MeasurementCore& other) {
    if (&other == this)
        return;
    signalType_ = other.signalType_;
    signalFactor1_ = other.signalFactor1_;
    signalFactor2_ = other.signalFactor2_;
    if (other.initialized_) {
        AllocateImpulse(other.dataLength_, other.dataOffset_, other.sampleRate_, other.p_);
        std::memcpy(raw_.data(), other.raw_.data(),
                    sizeof(double) * static_cast<std::size_t>(dataLength_));
    } else {
        // Nothing to copy but the settings; never read an absent array.
        Uninitialize();
        sampleRate_ = other.sampleRate_;
    }
    SetDefaults();
    CopyFilterFrom(other);
    CopyImpulseWindowFrom(other);
    currentOffset_ = other.currentOffset_;
    baseOffset_ = other.baseOffset_;
    label_ = other.label_;
    SetSmoothNOct(other.nOct_);
    applicationId_ = other.applicationId_;
    applicationAttrib1_ = other.applicationAttrib1_;
    applicationAttrib2_ = other.applicationAttrib2_;
    amplitude_ = other.amplitude_;
    recMaxAmplitude_ = other.recMaxAmplitude_;
    fileVersion_ = other.fileVersion_;
    // A copy is drawn as its original is, but in a colour of its own.
    plotShown_ = other.plotShown_;
    plotColour_ = -1;
    harmonicCount_ = other.harmonicCount_;
    harmonicsAvailable_ = other.harmonicsAvailable_;
    UpdatePosition();
    SetSmoothingEnabled(other.GetSmoothingEnabled());
    SetSmoothingComplex(other.GetSmoothingComplex());
    config_.Invalidate(ConfigCtrl::Kind::Data);
}

int MeasurementCore::GetHDSize() const {
    // Rows 0 (THD), 1 (noise) and one per harmonic from the 2nd up; without a 2nd harmonic in
    // the data there is nothing to show.
    if (!initialized_ || !harmonicsAvailable_ || harmonicCount_ < 2)
        return -1;
    return harmonicCount_ + 1;
}

const float* MeasurementCore::GetHDSmooth(int index) {
    if (index < 0 || index >= GetHDSize())
        return nullptr;
    if (hdStale_) {
        HarmonicDistortionInput in;
        in.samples = raw_.data();
        in.length = dataLength_;
        in.impulseAt = position_ + fraction_;
        in.sampleRate = sampleRate_;
        in.timeConstant = signalFactor1_;
        in.harmonicCount = harmonicCount_;
        ++counts_.hd;
        ComputeHarmonicDistortion(in, HD_GRID, hdRows_);
        hdStale_ = false;
    }
    if (static_cast<std::size_t>(index) >= hdRows_.size())
        return nullptr;
    return hdRows_[static_cast<std::size_t>(index)].data();
}

double MeasurementCore::GetHDSmoothInterpolated(int index, double frequency) {
    const float* row = GetHDSmooth(index);
    if (row == nullptr || sampleRate_ <= 0)
        return -1000.0;
    const double x = frequency * 2.0 * HD_GRID / sampleRate_;
    if (!(x >= 0.0) || x > HD_GRID)
        return -1000.0;
    const int k = std::min(static_cast<int>(std::floor(x)), HD_GRID - 1);
    // Halfway between a value and a point without data is no level at all.
    if (row[k] <= HD_NO_DATA_DB || row[k + 1] <= HD_NO_DATA_DB)
        return -1000.0;
    return row[k] + (row[k + 1] - row[k]) * (x - k);
}

} // namespace Kedra::Measure
