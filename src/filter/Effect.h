#pragma once
// Effects: complex gains per bin on the grid of their design. Every effect belongs to one
// Design, which multiplies the responses of its enabled effects. An effect's response is
// created on first use. One thread at a time (the thread that owns the design).

#include <complex>
#include <memory>
#include <string>
#include <vector>

#include "filter/EffectResponse.h"
#include "filter/FrequencyGrid.h"

namespace Kedra::Filter {

class Design;

class Effect {
public:
    Effect(Design& owner, std::string name);
    Effect(const Effect&) = delete;
    Effect& operator=(const Effect&) = delete;
    virtual ~Effect() = default;

    // Fills the raw response from the effect's parameters.
    virtual void UpdateElement() {}

    const std::string& Name() const { return name_; }
    Design& Owner() const { return *owner_; }
    const FrequencyGrid& Grid() const;

    // True only when the response exists and is enabled.
    bool IsEnabled() const;
    // Enabling creates the response if needed and updates it; either way the design is
    // marked dirty.
    void Enable(bool enable);
    void SetMinimumPhase(bool on);
    bool GetMinimumPhase() const { return minimumPhase_; }
    void SetPhaseOnly(bool on);
    bool GetPhaseOnly() const { return phaseOnly_; }
    bool IsDeferred() const { return deferred_; }
    bool IsCreated() const { return response_ != nullptr; }

    // When created and enabled: UpdateElement, then minimum phase and phase only as
    // flagged, then the design (and every design that depends on it) is marked dirty.
    void Update();

    // Created on first use.
    EffectResponse& Response();

    // Effects whose UpdateElement runs after this one's (for example a low-pass that is the
    // complement of this effect).
    void AddDependent(Effect* effect);

protected:
    // Called once when the response has just been created.
    virtual void InitialiseResponse() {}
    void NotifyDependents();

    bool deferred_ = false;

private:
    Design* owner_;
    std::string name_;
    std::vector<Effect*> dependents_;
    std::unique_ptr<EffectResponse> response_;
    bool minimumPhase_ = false;
    bool phaseOnly_ = false;
    bool updating_ = false; // breaks cycles of partners and dependents
};

// Raised-sine transition of width W around the centre frequency fc.
class EffectPass : public Effect {
public:
    // Everything derived from (fc, band) by the width rule.
    struct Shape {
        double fc = 0.0;         // Hz
        double band = 0.0;       // Hz, as stored after the width rule
        double width = 0.0;      // Hz, effective width W of the raw transition
        double centreBins = 0.0; // fc * N / fs
        double halfWidth = 0.0;  // W / 2, Hz
        double halfWidthBins = 0.0;
        double piOverWidth = 0.0;     // pi / W, per Hz
        double piOverWidthBins = 0.0; // pi / (W N / fs), per bin
    };

    EffectPass(Design& owner, std::string name);

    // Sets the centre fc (Hz) and the requested band (Hz), then updates. The Blackman
    // window widens every transition by (2 order - 1) df = 3 df, so the raw transition is
    // made that much narrower: W = band - 3 df. When that leaves W <= df, W = df and the
    // band is stored as 4 df, the narrowest transition the grid can carry. fc is limited
    // to 0 .. fs/2 and a negative band counts as 0; a NaN or infinite fc or band is
    // refused (returns false, nothing changes).
    bool SetPass(double fc, double band);
    double GetFreqCenter() const { return shape_.fc; }
    // The band after the width rule: the full width (Hz) of the windowed transition, which
    // runs from about fc - band/2 to fc + band/2.
    double GetFreqBand() const { return shape_.band; }
    double GetFreqWidth() const { return shape_.width; }
    double GetLowerWidthLimit() const;
    const Shape& GetShape() const { return shape_; }

    // Optional links: a high-pass hands its settings to its partners on every update; a
    // low-pass with a partner becomes the complement of the partner's windowed magnitude.
    void SetPartner(EffectPass* partner) { partner_ = partner; }
    void SetSecondPartner(EffectPass* partner) { secondPartner_ = partner; }
    EffectPass* GetPartner() const { return partner_; }
    EffectPass* GetSecondPartner() const { return secondPartner_; }

    virtual double Gain(double f) const = 0;        // f in Hz
    virtual double GainAtBin(double bin) const = 0; // fractional bin

    // Takes over another section's settings as they are (no width rule, no update).
    void AdoptShape(const Shape& shape) { shape_ = shape; }

protected:
    void InitialiseResponse() override { FillFromGain(); }
    void FillFromGain();
    // The shared raised-sine transition; `rising` selects the high-pass.
    static double Transition(double d, double halfWidth, double piOverWidth, bool rising);

    Shape shape_;
    EffectPass* partner_ = nullptr;
    EffectPass* secondPartner_ = nullptr;
};

class EffectHighpass : public EffectPass {
public:
    explicit EffectHighpass(Design& owner) : EffectPass(owner, "Highpass") {}
    void UpdateElement() override;
    double Gain(double f) const override;
    double GainAtBin(double bin) const override;
};

class EffectLowpass : public EffectPass {
public:
    explicit EffectLowpass(Design& owner) : EffectPass(owner, "Lowpass") {}
    // Without a partner: the low-pass transition. With a partner P (and a second partner
    // R): g = (1 - r)(1 - p) from their windowed magnitudes, and P's settings are taken
    // over, so that the pair forms a crossover.
    void UpdateElement() override;
    double Gain(double f) const override;
    double GainAtBin(double bin) const override;
};

} // namespace Kedra::Filter
