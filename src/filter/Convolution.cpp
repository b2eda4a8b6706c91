#include "filter/Convolution.h"

#include "foundation/Fft.h"

#include <algorithm>
#include <cstring>

namespace Kedra::Filter {
namespace {

// Below this many output samples per tap the direct sum is cheaper than setting up FFTs.
constexpr long long DIRECT_LIMIT = 64LL * 1024;

int PowerOfTwoAtLeast(long long n) {
    int p = 2;
    while (p < n && p < (1 << 30)) {
        p *= 2;
    }
    return p;
}

} // namespace

void ConvolveDirect(const double* h, int taps, int centre, const float* in, float* out, int count) {
    for (int i = 0; i < count; ++i) {
        double acc = 0.0;
        // in index i + centre - j must lie in 0 .. count-1.
        const int jLo = std::max(0, i + centre - (count - 1));
        const int jHi = std::min(taps - 1, i + centre);
        for (int j = jLo; j <= jHi; ++j) {
            acc += h[j] * static_cast<double>(in[i + centre - j]);
        }
        out[i] = static_cast<float>(acc);
    }
}

bool FastConvolver::Prepare(const double* h, int taps, int centre) {
    if (h == nullptr || taps < 1 || centre < 0 || centre >= taps) {
        return false;
    }
    h_ = Mem::Array<double>(static_cast<std::size_t>(taps));
    std::memcpy(h_.get(), h, sizeof(double) * static_cast<std::size_t>(taps));
    taps_ = taps;
    centre_ = centre;
    nfft_ = 0;
    spectrum_ = Mem::Array<double>();
    return true;
}

void FastConvolver::PrepareSpectrum(int nfft) {
    if (nfft == nfft_) {
        return;
    }
    spectrum_ = Mem::Array<double>::Zeros(static_cast<std::size_t>(nfft));
    std::memcpy(spectrum_.get(), h_.get(), sizeof(double) * static_cast<std::size_t>(taps_));
    // Packed real transform (positive exponent, unscaled); the product with a signal block
    // transformed the same way is the circular convolution after the inverse, which yields
    // nfft/2 times the samples: fold 2/nfft into the filter once.
    Math::RealFFT(spectrum_.get(), nfft, Math::FFT_FORWARD);
    const double scale = 2.0 / nfft;
    for (int i = 0; i < nfft; ++i) {
        spectrum_[i] *= scale;
    }
    nfft_ = nfft;
}

bool FastConvolver::Process(const float* in, float* out, int count) {
    if (in == nullptr || out == nullptr || count < 0 || taps_ < 1) {
        return false;
    }
    if (count == 0) {
        return true;
    }
    Mem::Array<float> copy;
    if (in == out) {
        copy = Mem::Array<float>(static_cast<std::size_t>(count));
        std::memcpy(copy.get(), in, sizeof(float) * static_cast<std::size_t>(count));
        in = copy.get();
    }
    if (static_cast<long long>(count) * taps_ <= DIRECT_LIMIT) {
        ConvolveDirect(h_.get(), taps_, centre_, in, out, count);
        return true;
    }
    // Blocks of about four filter lengths keep the FFT cost per output sample low; a signal
    // shorter than that is done in one block.
    const long long needed = static_cast<long long>(count) + taps_ - 1;
    const int nfft = std::min(PowerOfTwoAtLeast(4LL * taps_), PowerOfTwoAtLeast(needed));
    PrepareSpectrum(nfft);
    const int hop = nfft - (taps_ - 1); // valid outputs per block
    Mem::Array<double> block(static_cast<std::size_t>(nfft));
    double* b = block.get();
    const double* g = spectrum_.get();
    for (long long start = 0; start < count; start += hop) {
        // Output start + i needs input from start + i + centre - (taps - 1) on; the block
        // begins there, so its circular result is valid from index taps - 1.
        const long long first = start + centre_ - (taps_ - 1);
        for (int k = 0; k < nfft; ++k) {
            const long long idx = first + k;
            b[k] = (idx >= 0 && idx < count) ? static_cast<double>(in[idx]) : 0.0;
        }
        Math::RealFFT(b, nfft, Math::FFT_FORWARD);
        b[0] *= g[0];
        b[1] *= g[1];
        for (int k = 2; k < nfft; k += 2) {
            const double re = b[k] * g[k] - b[k + 1] * g[k + 1];
            const double im = b[k] * g[k + 1] + b[k + 1] * g[k];
            b[k] = re;
            b[k + 1] = im;
        }
        Math::RealFFT(b, nfft, Math::FFT_INVERSE);
        const long long n = std::min<long long>(hop, count - start);
        for (long long i = 0; i < n; ++i) {
            out[start + i] = static_cast<float>(b[taps_ - 1 + i]);
        }
    }
    return true;
}

} // namespace Kedra::Filter
