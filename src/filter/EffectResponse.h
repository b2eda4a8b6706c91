#pragma once
// The complex gain of one effect (or of a whole design) on the bins 0 .. half of its grid,
// with the views derived from it on demand: the windowed response and its magnitude, the
// impulse, and interpolated values between bins. Views are recomputed only after
// MarkChanged. One thread at a time (the thread that owns the design).

#include <complex>
#include <vector>

#include "filter/FrequencyGrid.h"
#include "filter/SpectralWindow.h"
#include "foundation/Interpolator.h"
#include "foundation/Mem.h"

namespace Kedra::Filter {

class EffectResponse {
public:
    // grid and window must outlive the response (the design owns all three).
    EffectResponse(const FrequencyGrid& grid, const SpectralWindow& window);
    EffectResponse(const EffectResponse&) = delete;
    EffectResponse& operator=(const EffectResponse&) = delete;

    const FrequencyGrid& Grid() const { return *grid_; }
    int Bins() const { return grid_->half + 1; }

    bool IsEnabled() const { return enabled_; }
    void SetEnabled(bool enabled) { enabled_ = enabled; }

    // The raw response, bins 0 .. half. Whoever writes to it calls MarkChanged afterwards.
    std::complex<double>* Raw() { return raw_.get(); }
    const std::complex<double>* Raw() const { return raw_.get(); }
    void Fill(std::complex<double> value);
    void MarkChanged();
    bool IsChanged() const { return changed_; }

    // Responses multiplied in after the window (the deferred effects of a design): they are
    // model curves sampled on their own finer grid and must not be smoothed again.
    void ClearDeferred();
    void AddDeferred(const EffectResponse* response);
    const std::vector<const EffectResponse*>& Deferred() const { return deferred_; }

    // Window applied to the raw response, times every deferred response.
    const std::complex<double>* WindowedResponse();
    const double* WindowedMagnitude();
    // N samples of the windowed response in time, unscaled inverse divided by N; the
    // pointer is time zero, valid from [-half] to [+half].
    const double* Impulse();

    // Windowed response and magnitude at f Hz (cubic in magnitude and unwrapped phase,
    // 0 outside 0 .. fs/2).
    std::complex<double> Value(double f);
    double Magnitude(double f);

private:
    void UpdateWindowed();

    const FrequencyGrid* grid_;
    const SpectralWindow* window_;
    bool changed_ = true;
    bool windowedStale_ = true;
    bool impulseStale_ = true;
    bool enabled_ = false;
    Mem::Array<std::complex<double>> raw_;
    Mem::Array<std::complex<double>> windowed_;
    Mem::Array<double> magnitude_;
    Mem::Array<double> time_;
    std::vector<const EffectResponse*> deferred_;
    Math::InterpolatorCubicPolar responseInterpolator_;
    Math::InterpolatorCubicSpline magnitudeInterpolator_;
};

} // namespace Kedra::Filter
