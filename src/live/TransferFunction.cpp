#include "live/TransferFunction.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "foundation/Fft.h"
#include "foundation/MathConstants.h"

namespace Kedra::Live {

namespace {

using Kedra::Math::PI;

constexpr double NOT_SHOWN = std::numeric_limits<double>::quiet_NaN();
// The lowest frequency the constant resolution must reach with its full resolution.
constexpr double CONSTANT_FROM_HZ = 20.0;
// The delay lines reach a little beyond what the delay finder searches.
constexpr double MAX_DELAY_SECONDS = 0.75;

bool IsPowerOfTwo(int n) {
    return n > 0 && (n & (n - 1)) == 0;
}

int PowerOfTwoAtLeast(long long n) {
    int p = 1;
    while (p < n)
        p <<= 1;
    return p;
}

bool ValidBands(int b) {
    return b == 3 || b == 6 || b == 12 || b == 24 || b == 48;
}

// The first bin of a length whose spacing is 1/b octave or finer.
int FirstFineBin(int bandsPerOctave) {
    return static_cast<int>(std::ceil(1.0 / (std::pow(2.0, 1.0 / bandsPerOctave) - 1.0)));
}

} // namespace

std::string CheckTfSettings(const TfSettings& s, double fs) {
    if (!(fs >= TF_MIN_RATE && fs <= TF_MAX_RATE))
        return "the transfer function works at 8000 to 192000 Hz, not " +
               std::to_string(static_cast<long long>(std::lround(fs))) + " Hz";
    if (s.resolution == TfResolution::Fixed &&
        (!IsPowerOfTwo(s.fftSize) || s.fftSize < TF_MIN_FFT || s.fftSize > TF_MAX_FFT))
        return "the FFT size must be a power of two from 256 to 262144, not " +
               std::to_string(s.fftSize);
    if (s.resolution == TfResolution::Constant && !ValidBands(s.bandsPerOctave))
        return "the resolution must be 3, 6, 12, 24 or 48 per octave, not " +
               std::to_string(s.bandsPerOctave);
    if (!(s.overlap >= 0.5 && s.overlap <= 0.75))
        return "the overlap must lie between 0.5 and 0.75";
    if (s.average == TfAverage::Exponential && !(s.timeConstant > 0.0 && s.timeConstant < 1e6))
        return "the time constant of the average must be above 0 seconds";
    return {};
}

double MagnitudeDb(std::complex<double> h) {
    const double a = std::abs(h);
    return a > 0.0 ? 20.0 * std::log10(a) : -2000000.0;
}

double PhaseDeg(std::complex<double> h) {
    return std::arg(h) * 180.0 / PI;
}

TransferFunction::TransferFunction(double sampleRate, const TfSettings& settings)
    : sampleRate_(sampleRate), settings_(settings) {
    usable_ = CheckTfSettings(settings, sampleRate).empty();
    if (!usable_)
        return;
    std::vector<int> sizes;
    std::vector<std::pair<int, int>> bins; // first, end
    if (settings.resolution == TfResolution::Fixed) {
        sizes.push_back(settings.fftSize);
        bins.emplace_back(1, settings.fftSize / 2 + 1);
    } else {
        const int k = FirstFineBin(settings.bandsPerOctave);
        const int longest =
            std::min(TF_MAX_CONSTANT_FFT, PowerOfTwoAtLeast(static_cast<long long>(
                                              std::ceil(k * sampleRate / CONSTANT_FROM_HZ))));
        for (int n = std::max(longest, TF_MIN_CONSTANT_FFT); n >= TF_MIN_CONSTANT_FFT; n /= 2) {
            sizes.push_back(n);
            const int first = n == longest ? 1 : k;
            const int end = n == TF_MIN_CONSTANT_FFT || n / 2 + 1 <= 2 * k ? n / 2 + 1 : 2 * k;
            bins.emplace_back(first, end);
            if (end == n / 2 + 1)
                break;
        }
    }
    const int longest = sizes.front();
    maxDelay_ = static_cast<int>(std::ceil(MAX_DELAY_SECONDS * sampleRate));
    const int line = PowerOfTwoAtLeast(maxDelay_ + 1);
    refLine_.assign(static_cast<std::size_t>(line), 0.0f);
    measLine_.assign(static_cast<std::size_t>(line), 0.0f);
    lineMask_ = line - 1;
    alignedRef_.assign(static_cast<std::size_t>(longest), 0.0f);
    alignedMeas_.assign(static_cast<std::size_t>(longest), 0.0f);
    historyMask_ = longest - 1;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        Layer layer;
        const int n = sizes[i];
        layer.size = n;
        layer.hop = std::max(1, static_cast<int>(std::lround(n * (1.0 - settings.overlap))));
        layer.firstBin = bins[i].first;
        layer.endBin = bins[i].second;
        layer.countdown = n;
        layer.window.resize(static_cast<std::size_t>(n));
        // Periodic Hann: the segment's FFT sees it as one period.
        for (int j = 0; j < n; ++j)
            layer.window[static_cast<std::size_t>(j)] = 0.5 - 0.5 * std::cos(2.0 * PI * j / n);
        layer.x.assign(static_cast<std::size_t>(n), 0.0);
        layer.y.assign(static_cast<std::size_t>(n), 0.0);
        const auto spectrum = static_cast<std::size_t>(n / 2 + 1);
        layer.fx.assign(spectrum, {});
        layer.fy.assign(spectrum, {});
        const auto used = static_cast<std::size_t>(layer.endBin - layer.firstBin);
        layer.gxy.assign(used, {});
        layer.gxx.assign(used, 0.0);
        layer.gyy.assign(used, 0.0);
        layers_.push_back(std::move(layer));
    }
}

void TransferFunction::Reset() {
    aligned_ = 0;
    std::fill(alignedRef_.begin(), alignedRef_.end(), 0.0f);
    std::fill(alignedMeas_.begin(), alignedMeas_.end(), 0.0f);
    for (Layer& layer : layers_) {
        layer.countdown = layer.size;
        layer.segments = 0;
        std::fill(layer.gxy.begin(), layer.gxy.end(), std::complex<double>{});
        std::fill(layer.gxx.begin(), layer.gxx.end(), 0.0);
        std::fill(layer.gyy.begin(), layer.gyy.end(), 0.0);
    }
}

void TransferFunction::SetDelay(double samples) {
    if (!usable_ || !std::isfinite(samples))
        return;
    samples = std::clamp(samples, static_cast<double>(-maxDelay_), static_cast<double>(maxDelay_));
    if (samples == delay_)
        return;
    delay_ = samples;
    // The whole part on one channel, so the fraction left is 0 .. 1.
    const int whole = static_cast<int>(std::floor(samples));
    refShift_ = std::max(whole, 0);
    measShift_ = std::max(-whole, 0);
    Reset();
}

void TransferFunction::Process(const float* ref, const float* meas, int count) noexcept {
    if (!usable_ || ref == nullptr || meas == nullptr)
        return;
    const int settle = std::max(refShift_, measShift_);
    for (int i = 0; i < count; ++i) {
        refLine_[static_cast<std::size_t>(lineAt_)] = ref[i];
        measLine_[static_cast<std::size_t>(lineAt_)] = meas[i];
        ++streamed_;
        // Until the lines hold the delay, the shifted channel would read silence.
        if (streamed_ > settle) {
            alignedRef_[static_cast<std::size_t>(historyAt_)] =
                refLine_[static_cast<std::size_t>((lineAt_ - refShift_) & lineMask_)];
            alignedMeas_[static_cast<std::size_t>(historyAt_)] =
                measLine_[static_cast<std::size_t>((lineAt_ - measShift_) & lineMask_)];
            historyAt_ = (historyAt_ + 1) & historyMask_;
            ++aligned_;
            for (Layer& layer : layers_)
                if (--layer.countdown == 0) {
                    Analyse(layer);
                    layer.countdown = layer.hop;
                }
        }
        lineAt_ = (lineAt_ + 1) & lineMask_;
    }
}

void TransferFunction::Analyse(Layer& layer) noexcept {
    const int n = layer.size;
    const int start = historyAt_ - n;
    for (int j = 0; j < n; ++j) {
        const auto at = static_cast<std::size_t>((start + j) & historyMask_);
        const double w = layer.window[static_cast<std::size_t>(j)];
        layer.x[static_cast<std::size_t>(j)] = w * alignedRef_[at];
        layer.y[static_cast<std::size_t>(j)] = w * alignedMeas_[at];
    }
    // Plain sums, not centred, not scaled: every reading is a ratio of two of them.
    Kedra::Math::FFTPow2TimeToFreq(layer.x.data(), layer.fx.data(), n, false, false);
    Kedra::Math::FFTPow2TimeToFreq(layer.y.data(), layer.fy.data(), n, false, false);
    const double alpha = settings_.average == TfAverage::Exponential && layer.segments > 0
                             ? 1.0 - std::exp(-layer.hop / (sampleRate_ * settings_.timeConstant))
                             : 0.0;
    for (int k = layer.firstBin; k < layer.endBin; ++k) {
        const auto i = static_cast<std::size_t>(k - layer.firstBin);
        const std::complex<double> x = layer.fx[static_cast<std::size_t>(k)];
        const std::complex<double> y = layer.fy[static_cast<std::size_t>(k)];
        const std::complex<double> xy = std::conj(x) * y;
        if (alpha > 0.0) {
            layer.gxy[i] += alpha * (xy - layer.gxy[i]);
            layer.gxx[i] += alpha * (std::norm(x) - layer.gxx[i]);
            layer.gyy[i] += alpha * (std::norm(y) - layer.gyy[i]);
        } else {
            layer.gxy[i] += xy;
            layer.gxx[i] += std::norm(x);
            layer.gyy[i] += std::norm(y);
        }
    }
    ++layer.segments;
}

std::vector<int> TransferFunction::FftSizes() const {
    std::vector<int> sizes;
    for (const Layer& layer : layers_)
        sizes.push_back(layer.size);
    return sizes;
}

long long TransferFunction::Segments() const {
    long long fewest = 0;
    for (std::size_t i = 0; i < layers_.size(); ++i)
        fewest = i == 0 ? layers_[i].segments : std::min(fewest, layers_[i].segments);
    return fewest;
}

std::vector<TfPoint> TransferFunction::Points() const {
    std::vector<TfPoint> points;
    // The whole samples went through the delay line; the fraction is turned back here.
    const double fraction = delay_ - (refShift_ - measShift_);
    for (const Layer& layer : layers_) {
        for (int k = layer.firstBin; k < layer.endBin; ++k) {
            const auto i = static_cast<std::size_t>(k - layer.firstBin);
            TfPoint p;
            p.frequency = k * sampleRate_ / layer.size;
            p.segments = layer.segments;
            p.fftSize = layer.size;
            const double gxx = layer.gxx[i], gyy = layer.gyy[i];
            const std::complex<double> gxy = layer.gxy[i];
            if (gxx > 0.0) {
                p.h = gxy / gxx * std::polar(1.0, 2.0 * PI * k * fraction / layer.size);
                p.coherence = gyy > 0.0 ? std::min(1.0, std::norm(gxy) / (gxx * gyy)) : 0.0;
            } else {
                p.h = {NOT_SHOWN, NOT_SHOWN};
                p.coherence = NOT_SHOWN;
            }
            if (layer.segments < TF_MIN_COHERENCE_SEGMENTS)
                p.coherence = NOT_SHOWN;
            points.push_back(p);
        }
    }
    return points;
}

std::vector<std::complex<double>> TfBins(const std::vector<TfPoint>& points, int n, double fs) {
    std::vector<double> f, mag, phase;
    for (const TfPoint& p : points) {
        if (!std::isfinite(p.h.real()) || !std::isfinite(p.h.imag()))
            continue;
        double ph = std::arg(p.h);
        // Unwrapped: the shortest turn from the point before.
        if (!phase.empty())
            ph = phase.back() + std::remainder(ph - phase.back(), 2.0 * PI);
        f.push_back(p.frequency);
        mag.push_back(std::abs(p.h));
        phase.push_back(ph);
    }
    std::vector<std::complex<double>> bins;
    if (f.empty() || n < 2)
        return bins;
    bins.resize(static_cast<std::size_t>(n / 2 + 1));
    std::size_t j = 0;
    for (std::size_t k = 0; k < bins.size(); ++k) {
        const double fk = static_cast<double>(k) * fs / n;
        while (j + 1 < f.size() && f[j + 1] <= fk)
            ++j;
        double m = mag[j], ph = phase[j];
        if (fk > f[j] && j + 1 < f.size()) {
            const double t = (fk - f[j]) / (f[j + 1] - f[j]);
            m += t * (mag[j + 1] - mag[j]);
            ph += t * (phase[j + 1] - phase[j]);
        }
        bins[k] = std::polar(m, ph);
    }
    const auto real = [](std::complex<double> h) {
        return std::complex<double>(h.real() < 0.0 ? -std::abs(h) : std::abs(h), 0.0);
    };
    bins.front() = real(bins.front());
    bins.back() = real(bins.back());
    return bins;
}

} // namespace Kedra::Live
