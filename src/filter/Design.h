#pragma once
// A filter design: several effects on one frequency grid whose responses are multiplied,
// windowed (Blackman, across bins) and turned into an impulse of N taps with time zero in
// the middle. One thread at a time (the thread that owns the design); the shared FFT and
// minimum-phase work areas make two designs on two threads unsafe as well.
//
// Standard effects, in the order they are multiplied: two high-passes, two low-passes, an
// equalizer and the closed-box model (deferred: multiplied in after the window).
//
// As the signal filter of the measuring pipeline ("SignalFilter", 1001 taps):
//  - its sections are the first high-pass and the first low-pass: SetHighpass/SetLowpass
//    set the corner fc and enable the section, DisableHighpass/DisableLowpass switch it off;
//  - the pipeline reads a section through Highpass()/Lowpass(): IsEnabled, GetFreqCenter
//    (the corner fc) and GetFreqBand (the band). The band is the full width in Hz of the
//    designed transition, centred on fc (gain 0.5 there) and reaching about 0 and 1 at
//    fc -/+ band/2. The edges fc - band (high-pass) and fc + band (low-pass) therefore lie
//    outside the transition, where the filtered signal is already silent;
//  - Impulse() gives the N taps, time zero at the middle;
//  - Filter() convolves a float signal of any length with them (overlap-save with
//    power-of-two FFTs), output as long as the input and without delay: time zero of the
//    impulse maps each input sample onto the same output sample;
//  - Revision() changes whenever the response may have changed, so that a cached filtered
//    signal can be refreshed only when needed.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "filter/Convolution.h"
#include "filter/Effect.h"
#include "filter/EffectEqualizer.h"
#include "filter/EffectResponse.h"
#include "filter/FrequencyGrid.h"
#include "filter/QBox.h"
#include "filter/SpectralWindow.h"

namespace Kedra::Filter {

class Design {
public:
    static constexpr int DEFAULT_TAPS = 1001;

    // N is made odd and at least 3, fs positive (see FrequencyGrid::Make); a correction is
    // logged as a warning.
    Design(std::string name, int n = DEFAULT_TAPS, double fs = FrequencyGrid::DEFAULT_FS);
    ~Design();
    Design(const Design&) = delete;
    Design& operator=(const Design&) = delete;

    const std::string& Name() const { return name_; }
    const FrequencyGrid& Grid() const { return grid_; }
    const SpectralWindow& Window() const { return window_; }
    int Taps() const { return grid_.n; }
    double SampleRate() const { return grid_.fs; }

    EffectHighpass& Highpass(int index = 0) { return index == 1 ? *highpass2_ : *highpass1_; }
    EffectLowpass& Lowpass(int index = 0) { return index == 1 ? *lowpass2_ : *lowpass1_; }
    EffectEqualizer& Equalizer() { return *equalizer_; }
    EffectQBox& QBoxEffect() { return *qbox_; }
    const std::vector<Effect*>& Effects() const { return effects_; }

    // The equalizer's gains are limited to this (1.0 at creation).
    double GetMaxGain() const { return maxGain_; }
    void SetMaxGain(double gain);

    // Starts from the combined response of `source` (null: from 1). Refused (false) when
    // it would make a design its own source.
    bool SetSource(Design* source);
    Design* GetSource() const { return source_; }

    void MarkDirty();
    bool IsDirty() const { return dirty_; }
    // Rebuilds the combined response when dirty.
    void Update();
    // The combined response, brought up to date first.
    EffectResponse& Combined();
    std::uint64_t Revision() const { return revision_; }

    // The measuring pipeline's sections. A band of 0 asks for the narrowest transition the
    // grid allows (4 df). Returns false when fc or band is not a finite number.
    bool SetHighpass(double fc, double band = 0.0);
    bool SetLowpass(double fc, double band = 0.0);
    void DisableHighpass() { highpass1_->Enable(false); }
    void DisableLowpass() { lowpass1_->Enable(false); }

    // Time zero of the N taps, valid from [-half] to [+half].
    const double* Impulse();
    // Copies the N taps into out[0 .. N-1], time zero at out[half].
    void CopyImpulse(double* out);

    // out[i] = sum over k of h[k] in[i - k], k = -half .. half, samples outside the input
    // taken as 0. in and out may be the same array, else they must not overlap. Returns
    // false (and leaves out untouched) for null arrays or count < 0.
    bool Filter(const float* in, float* out, int count);

private:
    void AddDependentDesign(Design* d);
    void RemoveDependentDesign(Design* d);

    std::string name_;
    FrequencyGrid grid_;
    SpectralWindow window_;
    EffectResponse combined_;
    Design* source_ = nullptr;
    std::vector<Design*> dependents_;
    bool dirty_ = true;
    std::uint64_t revision_ = 1;
    double maxGain_ = 1.0;
    std::unique_ptr<EffectHighpass> highpass1_;
    std::unique_ptr<EffectHighpass> highpass2_;
    std::unique_ptr<EffectLowpass> lowpass1_;
    std::unique_ptr<EffectLowpass> lowpass2_;
    std::unique_ptr<EffectEqualizer> equalizer_;
    std::unique_ptr<EffectQBox> qbox_;
    std::vector<Effect*> effects_;
    FastConvolver convolver_;
    std::uint64_t convolverRevision_ = 0;
};

} // namespace Kedra::Filter
