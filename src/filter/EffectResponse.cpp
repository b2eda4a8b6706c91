#include "filter/EffectResponse.h"

#include "foundation/Fft.h"

#include <algorithm>
#include <cmath>

namespace Kedra::Filter {

EffectResponse::EffectResponse(const FrequencyGrid& grid, const SpectralWindow& window)
    : grid_(&grid), window_(&window), raw_(static_cast<std::size_t>(grid.half) + 1) {
    Fill({1.0, 0.0});
}

void EffectResponse::Fill(std::complex<double> value) {
    std::fill(raw_.get(), raw_.get() + Bins(), value);
    MarkChanged();
}

void EffectResponse::MarkChanged() {
    changed_ = true;
    windowedStale_ = true;
    impulseStale_ = true;
}

void EffectResponse::ClearDeferred() {
    if (!deferred_.empty()) {
        deferred_.clear();
        MarkChanged();
    }
}

void EffectResponse::AddDeferred(const EffectResponse* response) {
    if (response != nullptr && response != this && response->grid_->n == grid_->n) {
        deferred_.push_back(response);
        MarkChanged();
    }
}

void EffectResponse::UpdateWindowed() {
    if (!windowedStale_) {
        return;
    }
    const auto bins = static_cast<std::size_t>(Bins());
    if (windowed_.size() != bins) {
        windowed_ = Mem::Array<std::complex<double>>(bins);
        magnitude_ = Mem::Array<double>(bins);
    }
    window_->Apply(raw_.get(), windowed_.get(), grid_->half);
    for (const EffectResponse* d : deferred_) {
        const std::complex<double>* r = d->raw_.get();
        for (std::size_t i = 0; i < bins; ++i) {
            windowed_[i] *= r[i];
        }
    }
    for (std::size_t i = 0; i < bins; ++i) {
        magnitude_[i] = std::abs(windowed_[i]);
    }
    responseInterpolator_.SetSamples(0, grid_->half, windowed_.get());
    magnitudeInterpolator_.SetSamples(0, grid_->half, magnitude_.get());
    windowedStale_ = false;
    changed_ = false;
}

const std::complex<double>* EffectResponse::WindowedResponse() {
    UpdateWindowed();
    return windowed_.get();
}

const double* EffectResponse::WindowedMagnitude() {
    UpdateWindowed();
    return magnitude_.get();
}

const double* EffectResponse::Impulse() {
    UpdateWindowed();
    const int half = grid_->half;
    if (impulseStale_) {
        if (time_.size() != static_cast<std::size_t>(grid_->n)) {
            time_ = Mem::Array<double>(static_cast<std::size_t>(grid_->n));
        }
        Math::FFTWorkspace& ws = Math::FFTWorkspace::Instance();
        ws.SetLength(grid_->n);
        // Conjugate-symmetric completion, inverse transform divided by N, time zero at
        // the middle of the buffer.
        ws.SpectrumToTime(windowed_.get(), time_.get() + half);
        impulseStale_ = false;
    }
    return time_.get() + half;
}

std::complex<double> EffectResponse::Value(double f) {
    UpdateWindowed();
    return responseInterpolator_.Value(f * grid_->binsPerHz);
}

double EffectResponse::Magnitude(double f) {
    UpdateWindowed();
    return magnitudeInterpolator_.Value(f * grid_->binsPerHz);
}

} // namespace Kedra::Filter
