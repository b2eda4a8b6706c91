#pragma once
// A window applied to a response as a short convolution across bins. Convolving the
// spectrum with c0 + c1 (z + 1/z) + c2 (z^2 + 1/z^2) weights the impulse by
// c0 + 2 c1 cos(2 pi t / N) + 2 c2 cos(4 pi t / N), which is 1 at time zero and falls to
// (almost) 0 at the ends of the grid period: the response is smoothed just enough that
// its impulse fits the N taps.

#include <array>
#include <complex>
#include <string>

namespace Kedra::Filter {

class SpectralWindow {
public:
    static constexpr int MAX_ORDER = 2;

    // The only window in use: "Blackman", order 2, coefficients 0.42, 0.25, 0.04.
    static SpectralWindow Blackman();

    int Order() const { return order_; }
    double Coefficient(int j) const { return c_[static_cast<std::size_t>(j)]; }
    // c0 + 2 (c1 + .. + c_order): the window's gain on a flat response.
    double Sum() const { return sum_; }
    const std::string& Name() const { return name_; }

    // y[i] = c0 x[i] + sum_j c_j (x[i - j] + x[i + j]) for i = 0 .. half; indices below 0
    // take x[0], above half take x[half]. x and y must not overlap.
    void Apply(const std::complex<double>* x, std::complex<double>* y, int half) const;

private:
    std::array<double, MAX_ORDER + 1> c_{};
    int order_ = 0;
    double sum_ = 0.0;
    std::string name_;
};

} // namespace Kedra::Filter
