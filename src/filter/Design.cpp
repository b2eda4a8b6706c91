#include "filter/Design.h"

#include "foundation/KedraLogger.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace Kedra::Filter {

namespace {

FrequencyGrid MakeGrid(const std::string& name, int n, double fs) {
    std::string note;
    FrequencyGrid grid = FrequencyGrid::Make(n, fs, &note);
    if (!note.empty()) {
        Logging::KedraLogger::LogText("WARNING Design::Design(" + name + ") " + note + "\n");
    }
    return grid;
}

} // namespace

Design::Design(std::string name, int n, double fs)
    : name_(std::move(name)), grid_(MakeGrid(name_, n, fs)), window_(SpectralWindow::Blackman()),
      combined_(grid_, window_) {
    combined_.SetEnabled(true);
    highpass1_ = std::make_unique<EffectHighpass>(*this);
    highpass2_ = std::make_unique<EffectHighpass>(*this);
    lowpass1_ = std::make_unique<EffectLowpass>(*this);
    lowpass2_ = std::make_unique<EffectLowpass>(*this);
    equalizer_ = std::make_unique<EffectEqualizer>(*this);
    qbox_ = std::make_unique<EffectQBox>(*this);
    effects_ = {highpass1_.get(), highpass2_.get(), lowpass1_.get(),
                lowpass2_.get(),  equalizer_.get(), qbox_.get()};
}

Design::~Design() {
    if (source_ != nullptr) {
        source_->RemoveDependentDesign(this);
    }
    for (Design* d : dependents_) {
        d->source_ = nullptr;
        d->MarkDirty();
    }
}

void Design::SetMaxGain(double gain) {
    if (!std::isnan(gain) && gain != maxGain_) {
        maxGain_ = gain;
        equalizer_->Update();
    }
}

bool Design::SetSource(Design* source) {
    for (Design* s = source; s != nullptr; s = s->source_) {
        if (s == this) {
            return false;
        }
    }
    if (source_ != nullptr) {
        source_->RemoveDependentDesign(this);
    }
    source_ = source;
    if (source_ != nullptr) {
        source_->AddDependentDesign(this);
    }
    MarkDirty();
    return true;
}

void Design::AddDependentDesign(Design* d) {
    if (std::find(dependents_.begin(), dependents_.end(), d) == dependents_.end()) {
        dependents_.push_back(d);
    }
}

void Design::RemoveDependentDesign(Design* d) {
    dependents_.erase(std::remove(dependents_.begin(), dependents_.end(), d), dependents_.end());
}

void Design::MarkDirty() {
    dirty_ = true;
    ++revision_;
    for (Design* d : dependents_) {
        d->MarkDirty();
    }
}

void Design::Update() {
    if (!dirty_) {
        return;
    }
    const int bins = combined_.Bins();
    std::complex<double>* h = combined_.Raw();
    std::fill(h, h + bins, std::complex<double>(1.0, 0.0));
    combined_.ClearDeferred();
    // A source on another grid cannot be combined bin by bin; it is left out.
    if (source_ != nullptr && source_->grid_.n == grid_.n) {
        EffectResponse& s = source_->Combined();
        std::copy(s.Raw(), s.Raw() + bins, h);
        for (const EffectResponse* d : s.Deferred()) {
            combined_.AddDeferred(d);
        }
    }
    for (Effect* e : effects_) {
        if (!e->IsEnabled()) {
            continue;
        }
        if (e->IsDeferred()) {
            combined_.AddDeferred(&e->Response());
            continue;
        }
        const std::complex<double>* r = e->Response().Raw();
        for (int i = 0; i < bins; ++i) {
            h[i] *= r[i];
        }
    }
    combined_.MarkChanged();
    dirty_ = false;
}

EffectResponse& Design::Combined() {
    Update();
    return combined_;
}

bool Design::SetHighpass(double fc, double band) {
    if (!highpass1_->SetPass(fc, band)) {
        return false;
    }
    highpass1_->Enable(true);
    return true;
}

bool Design::SetLowpass(double fc, double band) {
    if (!lowpass1_->SetPass(fc, band)) {
        return false;
    }
    lowpass1_->Enable(true);
    return true;
}

const double* Design::Impulse() {
    return Combined().Impulse();
}

void Design::CopyImpulse(double* out) {
    if (out == nullptr) {
        return;
    }
    const double* h = Impulse();
    std::memcpy(out, h - grid_.half, sizeof(double) * static_cast<std::size_t>(grid_.n));
}

bool Design::Filter(const float* in, float* out, int count) {
    if (in == nullptr || out == nullptr || count < 0) {
        return false;
    }
    Update();
    if (!convolver_.IsPrepared() || convolverRevision_ != revision_) {
        const double* h = Impulse();
        convolver_.Prepare(h - grid_.half, grid_.n, grid_.half);
        convolverRevision_ = revision_;
    }
    return convolver_.Process(in, out, count);
}

} // namespace Kedra::Filter
