#include "filter/QBoxFit.h"

#include <algorithm>
#include <cmath>
#include <complex>

#include "foundation/KedraLogger.h"
#include "foundation/MathHelpers.h"
#include "foundation/Mem.h"

namespace Kedra::Measure {
namespace {

constexpr double START_ERROR = 1e10;

struct Pass {
    double qStart;
    double qEnd;
    double qStep;
    double fcStart;
    double fcEnd;
    double fcFactor;
};

// The first, coarse pass over the whole plausible range.
constexpr Pass FIRST_PASS{0.1, 5.0, 0.1, 1.0, 10000.0, 1.2};

class Fitter {
public:
    Fitter(int count, double& q, double& fc, double& gain)
        : count_(count), measured_(static_cast<std::size_t>(count)),
          correction_(static_cast<std::size_t>(count)), frequency_(static_cast<std::size_t>(count)),
          residual_(static_cast<std::size_t>(count)), q_(q), fc_(fc), gain_(gain) {}

    double* Measured() { return measured_.get(); }
    double* Correction() { return correction_.get(); }
    double* Frequency() { return frequency_.get(); }

    void Run(const Pass& pass) {
        // Counted rather than accumulated, so that the end value is not lost to rounding.
        const int steps =
            static_cast<int>(std::floor((pass.qEnd - pass.qStart) / pass.qStep + 1e-9));
        for (int i = 0; i <= steps; ++i) {
            const double q = pass.qStart + i * pass.qStep;
            for (double fc = pass.fcStart; fc <= pass.fcEnd; fc *= pass.fcFactor)
                Evaluate(q, fc);
        }
    }

    // The pass that refines the best fit so far: a tenth of the Q step within two old steps,
    // and an fc factor five times closer to 1 within two old factors squared.
    Pass Refine(const Pass& previous) const {
        const double s = previous.qStep;
        const double c = previous.fcFactor;
        Pass next{};
        next.qStart = bestQ_ - 2.0 * s;
        if (next.qStart <= 0.0)
            next.qStart = s / 10.0;
        next.qEnd = bestQ_ + 2.0 * s;
        next.qStep = s / 10.0;
        next.fcStart = bestFc_ / (c * c);
        if (next.fcStart <= 0.0)
            next.fcStart = 1.0;
        next.fcEnd = bestFc_ * c * c;
        next.fcFactor = (c - 1.0) / 5.0 + 1.0;
        return next;
    }

    bool Found() const { return found_; }

private:
    void Evaluate(double q, double fc) {
        const double invQ2 = 1.0 / (q * q);
        const double invFc = 1.0 / fc;
        double sum = 0.0;
        for (int j = 0; j < count_; ++j) {
            const double x = frequency_[static_cast<std::size_t>(j)] * invFc;
            const double b = x * x;
            const double model = 10.0 * std::log10(b * b / (b * invQ2 + (b - 1.0) * (b - 1.0))) +
                                 correction_[static_cast<std::size_t>(j)];
            const double r = measured_[static_cast<std::size_t>(j)] - model;
            residual_[static_cast<std::size_t>(j)] = r;
            sum += r;
        }
        const double level = sum / count_;
        double error = 0.0;
        for (int j = 0; j < count_; ++j) {
            const double e = residual_[static_cast<std::size_t>(j)] - level;
            error += e * e;
        }
        // Strictly better only: a tie keeps the earlier candidate, NaN never wins.
        if (error < bestError_) {
            bestError_ = error;
            bestQ_ = q;
            bestFc_ = fc;
            found_ = true;
            q_ = q;
            fc_ = fc;
            gain_ = std::pow(10.0, 0.05 * level);
        }
    }

    int count_;
    Mem::Array<double> measured_;
    Mem::Array<double> correction_;
    Mem::Array<double> frequency_;
    Mem::Array<double> residual_;
    double& q_;
    double& fc_;
    double& gain_;
    double bestError_ = START_ERROR;
    double bestQ_ = 0.0;
    double bestFc_ = 0.0;
    bool found_ = false;
};

void Warn(const std::string& text, const Measurement& m) {
    Kedra::Logging::KedraLogger::LogText("WARNING Measure::QBoxFit() " + text + " - " +
                                         m.GetLabel() + "\n");
}

// floor(f N/fs + 0.5) kept within the bins 1 .. N/2 + 1 (DC has no level on the model's
// logarithmic scale; the end bin is exclusive).
int RangeBin(double f, const Measurement& m) {
    const double k = std::floor(f * m.GetBinsPerHz() + 0.5);
    return static_cast<int>(std::clamp(k, 1.0, static_cast<double>(m.GetNBins())));
}

} // namespace

bool QBoxFit(Measurement& measurement, double f1, double f2, double& q, double& fc, double& gain) {
    if (!measurement.IsInitialized()) {
        Warn("without data -> nothing done", measurement);
        return false;
    }
    const bool finite = std::isfinite(f1) && std::isfinite(f2);
    const int b1 = finite ? RangeBin(f1, measurement) : 0;
    const int b2 = finite ? RangeBin(f2, measurement) : 0;
    if (b2 <= b1) {
        Warn("empty range " + std::to_string(f1) + " .. " + std::to_string(f2) +
                 " Hz -> nothing done",
             measurement);
        return false;
    }
    const int count = b2 - b1;
    Fitter fitter(count, q, fc, gain);

    const double* amplitude = measurement.GetA();
    const double df = measurement.GetHzPerBin();
    for (int i = 0; i < count; ++i) {
        fitter.Measured()[i] = Kedra::Math::AmplitudeToDB(amplitude[b1 + i]);
        fitter.Frequency()[i] = (b1 + i) * df;
        fitter.Correction()[i] = 0.0;
    }
    // The view filters shape what is displayed; the model gets the same shaping.
    if (measurement.GetLowpassEnabled() || measurement.GetHighpassEnabled()) {
        const int bins = measurement.GetNBins();
        Mem::Array<std::complex<double>> ones(static_cast<std::size_t>(bins));
        std::fill(ones.get(), ones.get() + bins, std::complex<double>(1.0, 0.0));
        const int nHalf = measurement.GetNHalf();
        const double binsPerHz = measurement.GetBinsPerHz();
        if (measurement.GetLowpassEnabled())
            MeasurementCore::LowpassSpectrum(ones.get(), ones.get(), nHalf, binsPerHz,
                                             measurement.GetLowpassStart(),
                                             measurement.GetLowpassLength());
        if (measurement.GetHighpassEnabled())
            MeasurementCore::HighpassSpectrum(ones.get(), ones.get(), nHalf, binsPerHz,
                                              measurement.GetHighpassStart(),
                                              measurement.GetHighpassLength());
        for (int i = 0; i < count; ++i)
            fitter.Correction()[i] =
                Kedra::Math::AmplitudeToDB(std::abs(ones[static_cast<std::size_t>(b1 + i)]));
    }

    Pass pass = FIRST_PASS;
    fitter.Run(pass);
    for (int refinement = 0; refinement < 2 && fitter.Found(); ++refinement) {
        pass = fitter.Refine(pass);
        fitter.Run(pass);
    }
    return fitter.Found();
}

} // namespace Kedra::Measure
