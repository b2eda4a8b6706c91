#pragma once
// The closed-box loudspeaker model: a second-order high-pass s^2 / (s^2 + s/Q + 1) with
// s = j f / fc, and its response on a fine power-of-two grid, made minimum phase by the
// real cepstrum.

#include <complex>

#include "filter/Effect.h"
#include "foundation/Interpolator.h"
#include "foundation/Mem.h"

namespace Kedra::Filter {

class QBox {
public:
    QBox(double q, double fc) : q_(q), fc_(fc) {}

    // |H(j f / fc)|. A resonance at 0 Hz or below passes everything (1); Q at 0 or below
    // damps everything (0).
    double Amplitude(double f) const;
    double GetQ() const { return q_; }
    double GetFc() const { return fc_; }

private:
    double q_;
    double fc_;
};

class QBoxResponse {
public:
    // n2 is rounded up to a power of two (at least 16); bins 0 .. n2/2.
    QBoxResponse(int n2, double fs);

    void Set(double q, double fc);
    double GetQ() const { return q_; }
    double GetFc() const { return fc_; }
    // Minimum phase (default on): the model's magnitude with the phase of the real
    // cepstrum. Magnitude (default on): off leaves only the unit phasor.
    void SetMinimumPhase(bool on);
    void SetMagnitude(bool on);
    bool GetMinimumPhase() const { return minimumPhase_; }
    bool GetMagnitude() const { return magnitude_; }

    int Size() const { return n2_; }
    int Bins() const { return m_ + 1; }
    double BinWidth() const { return df2_; }
    bool IsChanged() const { return changed_; }
    void ClearChanged() { changed_ = false; }

    // Recomputes when dirty.
    const std::complex<double>* Response();
    // At f Hz, cubic in magnitude and unwrapped phase between the fine bins.
    std::complex<double> Value(double f);

private:
    void Recompute();

    int n2_;
    int m_;
    double fs_;
    double df2_;
    double q_ = 0.707;
    double fc_ = 50.0;
    bool minimumPhase_ = true;
    bool magnitude_ = true;
    bool changed_ = false;
    bool dirty_ = true;
    Mem::Array<std::complex<double>> response_;
    Math::InterpolatorCubicPolar interpolator_;
};

class EffectQBox : public Effect {
public:
    // The fine grid has 16 times the design's N, at least 2^18 and at most 2^22 points: the
    // cepstral phase near a low resonance is only as good as the number of bins below it
    // (within 1 degree from fc/4 up for fc of 40 Hz at 48 kHz with 2^18 points).
    explicit EffectQBox(Design& owner);

    // Sets the model and marks the effect initialised by its design. Q and fc must be
    // positive and finite, else the call is refused (returns false, nothing changes).
    bool Set(double q, double fc);
    bool IsInitialised() const { return initialised_; }
    // Changing the model's flags takes effect at the next Update.
    QBoxResponse& Model() { return response_; }

    // When initialised: the fine response interpolated onto the design's bins; else logs a
    // warning and changes nothing.
    void UpdateElement() override;

private:
    bool initialised_ = false;
    QBoxResponse response_;
};

} // namespace Kedra::Filter
