#include <SonvelEngine.h>

#include <complex>
#include <cstdio>

// Transforms an impulse through the installed library and checks the flat spectrum.
int main() {
    double x[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    std::complex<double> spectrum[5];
    Kedra::Math::FFTPow2TimeToFreq(x, spectrum, 8, false, false);
    for (const auto& bin : spectrum) {
        if (std::abs(bin - std::complex<double>(1.0, 0.0)) > 1e-12) {
            std::puts("installed engine: wrong spectrum");
            return 1;
        }
    }
    std::puts("installed engine: ok");
    return 0;
}
