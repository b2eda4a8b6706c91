#include "filter/Effect.h"

#include "filter/Design.h"
#include "filter/MinimumPhase.h"
#include "foundation/MathConstants.h"

#include <algorithm>
#include <cmath>

namespace Kedra::Filter {

Effect::Effect(Design& owner, std::string name) : owner_(&owner), name_(std::move(name)) {}

const FrequencyGrid& Effect::Grid() const {
    return owner_->Grid();
}

bool Effect::IsEnabled() const {
    return response_ != nullptr && response_->IsEnabled();
}

EffectResponse& Effect::Response() {
    if (response_ == nullptr) {
        response_ = std::make_unique<EffectResponse>(owner_->Grid(), owner_->Window());
        InitialiseResponse();
    }
    return *response_;
}

void Effect::Enable(bool enable) {
    if (!enable && response_ == nullptr) {
        return;
    }
    Response().SetEnabled(enable);
    if (enable) {
        Update();
    }
    owner_->MarkDirty();
}

void Effect::SetMinimumPhase(bool on) {
    if (on != minimumPhase_) {
        minimumPhase_ = on;
        Update();
    }
}

void Effect::SetPhaseOnly(bool on) {
    if (on != phaseOnly_) {
        phaseOnly_ = on;
        Update();
    }
}

void Effect::AddDependent(Effect* effect) {
    if (effect != nullptr && effect != this &&
        std::find(dependents_.begin(), dependents_.end(), effect) == dependents_.end()) {
        dependents_.push_back(effect);
    }
}

void Effect::NotifyDependents() {
    for (Effect* d : dependents_) {
        if (!d->updating_) {
            d->updating_ = true;
            d->UpdateElement();
            d->updating_ = false;
        }
    }
}

void Effect::Update() {
    if (!IsEnabled() || updating_) {
        return;
    }
    updating_ = true;
    UpdateElement();
    EffectResponse& r = *response_;
    if (minimumPhase_) {
        MakeMinimumPhase(r.Raw(), Grid().n);
        r.MarkChanged();
    }
    if (phaseOnly_) {
        MakePhaseOnly(r.Raw(), r.Bins());
        r.MarkChanged();
    }
    updating_ = false;
    owner_->MarkDirty();
}

EffectPass::EffectPass(Design& owner, std::string name) : Effect(owner, std::move(name)) {
    // Stores the narrowest transition at 0 Hz, so that the derived values are never 0.
    shape_.band = -1.0;
    SetPass(0.0, 0.0);
}

double EffectPass::GetLowerWidthLimit() const {
    return Grid().df;
}

bool EffectPass::SetPass(double fc, double band) {
    if (!std::isfinite(fc) || !std::isfinite(band)) {
        return false;
    }
    const FrequencyGrid& g = Grid();
    fc = std::clamp(fc, 0.0, 0.5 * g.fs);
    band = std::max(band, 0.0);
    if (fc == shape_.fc && band == shape_.band) {
        deferred_ = false;
        return true;
    }
    const int order = Owner().Window().Order();
    Shape s;
    s.fc = fc;
    s.band = band;
    s.centreBins = fc * g.binsPerHz;
    s.width = band - (2 * order - 1) * g.df;
    if (s.width <= GetLowerWidthLimit()) {
        s.width = GetLowerWidthLimit();
        s.band = 2 * order * g.df;
    }
    s.piOverWidth = Math::PI / s.width;
    s.piOverWidthBins = Math::PI / (s.width * g.binsPerHz);
    s.halfWidth = 0.5 * s.width;
    s.halfWidthBins = s.halfWidth * g.binsPerHz;
    shape_ = s;
    // A disabled section keeps its response current too, so that a partner reading it
    // sees the new settings.
    if (IsCreated() && !IsEnabled()) {
        FillFromGain();
    }
    Update();
    deferred_ = false;
    return true;
}

double EffectPass::Transition(double d, double halfWidth, double piOverWidth, bool rising) {
    if (d < -halfWidth) {
        return rising ? 0.0 : 1.0;
    }
    if (d > halfWidth) {
        return rising ? 1.0 : 0.0;
    }
    if (d == 0.0) {
        return 0.5;
    }
    return rising ? 0.5 + 0.5 * std::cos(piOverWidth * d - Math::HALFPI)
                  : 0.5 + 0.5 * std::cos(piOverWidth * d + Math::HALFPI);
}

void EffectPass::FillFromGain() {
    EffectResponse& r = Response();
    std::complex<double>* h = r.Raw();
    const int bins = r.Bins();
    for (int i = 0; i < bins; ++i) {
        h[i] = {GainAtBin(i), 0.0};
    }
    r.MarkChanged();
}

void EffectHighpass::UpdateElement() {
    FillFromGain();
    if (partner_ != nullptr) {
        partner_->AdoptShape(shape_);
        partner_->Update();
    }
    if (secondPartner_ != nullptr) {
        secondPartner_->Update();
    }
    NotifyDependents();
}

double EffectHighpass::Gain(double f) const {
    return Transition(f - shape_.fc, shape_.halfWidth, shape_.piOverWidth, true);
}

double EffectHighpass::GainAtBin(double bin) const {
    return Transition(bin - shape_.centreBins, shape_.halfWidthBins, shape_.piOverWidthBins, true);
}

void EffectLowpass::UpdateElement() {
    if (partner_ == nullptr) {
        FillFromGain();
        if (secondPartner_ != nullptr) {
            secondPartner_->Update();
        }
        NotifyDependents();
        return;
    }
    EffectResponse& r = Response();
    const double* p = partner_->Response().WindowedMagnitude();
    const double* q =
        secondPartner_ != nullptr ? secondPartner_->Response().WindowedMagnitude() : nullptr;
    std::complex<double>* h = r.Raw();
    const int bins = r.Bins();
    for (int i = 0; i < bins; ++i) {
        const double pi = std::max(p[i], 0.0);
        const double g = q != nullptr ? (1.0 - std::max(q[i], 0.0)) * (1.0 - pi) : 1.0 - pi;
        h[i] = {std::max(g, 0.0), 0.0};
    }
    r.MarkChanged();
    shape_ = partner_->GetShape();
    NotifyDependents();
}

double EffectLowpass::Gain(double f) const {
    return Transition(f - shape_.fc, shape_.halfWidth, shape_.piOverWidth, false);
}

double EffectLowpass::GainAtBin(double bin) const {
    return Transition(bin - shape_.centreBins, shape_.halfWidthBins, shape_.piOverWidthBins, false);
}

} // namespace Kedra::Filter
