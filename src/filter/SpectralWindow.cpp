#include "filter/SpectralWindow.h"

#include <algorithm>

namespace Kedra::Filter {

SpectralWindow SpectralWindow::Blackman() {
    SpectralWindow w;
    w.c_ = {0.42, 0.25, 0.04};
    w.order_ = 2;
    w.sum_ = w.c_[0] + 2.0 * (w.c_[1] + w.c_[2]);
    w.name_ = "Blackman";
    return w;
}

void SpectralWindow::Apply(const std::complex<double>* x, std::complex<double>* y, int half) const {
    if (half < 0) {
        return;
    }
    for (int i = 0; i <= half; ++i) {
        std::complex<double> acc = c_[0] * x[i];
        for (int j = 1; j <= order_; ++j) {
            const int lo = std::max(i - j, 0);
            const int hi = std::min(i + j, half);
            acc += c_[static_cast<std::size_t>(j)] * (x[lo] + x[hi]);
        }
        y[i] = acc;
    }
}

} // namespace Kedra::Filter
