#include "foundation/FftKernel.h"

#include <cmath>
#include <utility>

namespace Kedra::Math::detail {
namespace {

template <typename T>
void ComplexKernel(std::complex<T>* z, std::size_t m, int direction) {
    if (m < 2) {
        return;
    }
    for (std::size_t i = 0, j = 0; i < m; ++i) {
        if (i < j) {
            std::swap(z[i], z[j]);
        }
        std::size_t bit = m >> 1;
        while (bit != 0 && (j & bit) != 0) {
            j ^= bit;
            bit >>= 1;
        }
        j |= bit;
    }
    const double sign = direction >= 0 ? 1.0 : -1.0;
    for (std::size_t span = 1; span < m; span <<= 1) {
        const double theta = sign * 3.141592653589793 / static_cast<double>(span);
        for (std::size_t j = 0; j < span; ++j) {
            const T wr = static_cast<T>(std::cos(theta * static_cast<double>(j)));
            const T wi = static_cast<T>(std::sin(theta * static_cast<double>(j)));
            for (std::size_t i = j; i < m; i += 2 * span) {
                const T ar = z[i + span].real();
                const T ai = z[i + span].imag();
                const T tr = wr * ar - wi * ai;
                const T ti = wr * ai + wi * ar;
                z[i + span] = {z[i].real() - tr, z[i].imag() - ti};
                z[i] = {z[i].real() + tr, z[i].imag() + ti};
            }
        }
    }
}

template <typename T>
void RealKernel(T* d, std::size_t n, int direction) {
    if (n < 2) {
        return;
    }
    const bool forward = direction >= 0;
    auto* z = reinterpret_cast<std::complex<T>*>(d);
    const std::size_t half = n / 2;
    if (forward) {
        ComplexKernel(z, half, +1);
    }
    const double theta = (forward ? 1.0 : -1.0) * 3.141592653589793 / static_cast<double>(half);
    const T c2 = forward ? T(-0.5) : T(0.5);
    for (std::size_t i = 1; i <= n / 4 && i < half - i + 1; ++i) {
        const std::size_t k = half - i;
        if (i > k) {
            break;
        }
        const T wr = static_cast<T>(std::cos(theta * static_cast<double>(i)));
        const T wi = static_cast<T>(std::sin(theta * static_cast<double>(i)));
        const T h1r = T(0.5) * (d[2 * i] + d[2 * k]);
        const T h1i = T(0.5) * (d[2 * i + 1] - d[2 * k + 1]);
        const T h2r = -c2 * (d[2 * i + 1] + d[2 * k + 1]);
        const T h2i = c2 * (d[2 * i] - d[2 * k]);
        d[2 * i] = h1r + wr * h2r - wi * h2i;
        d[2 * i + 1] = h1i + wr * h2i + wi * h2r;
        d[2 * k] = h1r - wr * h2r + wi * h2i;
        d[2 * k + 1] = -h1i + wr * h2i + wi * h2r;
    }
    const T s0 = d[0];
    const T s1 = d[1];
    if (forward) {
        d[0] = s0 + s1;
        d[1] = s0 - s1;
    } else {
        d[0] = T(0.5) * (s0 + s1);
        d[1] = T(0.5) * (s0 - s1);
        ComplexKernel(z, half, -1);
    }
}

} // namespace

void ComplexTransformPow2(std::complex<double>* z, std::size_t m, int direction) {
    ComplexKernel(z, m, direction);
}
void ComplexTransformPow2(std::complex<float>* z, std::size_t m, int direction) {
    ComplexKernel(z, m, direction);
}
void RealTransformPow2(double* data, std::size_t n, int direction) { RealKernel(data, n, direction); }
void RealTransformPow2(float* data, std::size_t n, int direction) { RealKernel(data, n, direction); }

} // namespace Kedra::Math::detail
