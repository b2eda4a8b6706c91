#include "filter/FrequencyGrid.h"

#include "foundation/MathConstants.h"

#include <cmath>

namespace Kedra::Filter {

FrequencyGrid FrequencyGrid::Make(int n, double fs, std::string* note) {
    std::string corrections;
    if (n < MIN_N) {
        corrections += "N " + std::to_string(n) + " raised to " + std::to_string(MIN_N) + "; ";
        n = MIN_N;
    } else if (n > MAX_N) {
        corrections += "N " + std::to_string(n) + " lowered to " + std::to_string(MAX_N) + "; ";
        n = MAX_N;
    } else if (n % 2 == 0) {
        corrections += "even N " + std::to_string(n) + " raised to " + std::to_string(n + 1) + "; ";
        n += 1;
    }
    if (!(fs > 0.0) || !std::isfinite(fs)) {
        corrections += "sample rate " + std::to_string(fs) + " replaced by " +
                       std::to_string(DEFAULT_FS) + "; ";
        fs = DEFAULT_FS;
    }
    FrequencyGrid g;
    g.n = n;
    g.half = (n - 1) / 2;
    g.fs = fs;
    g.binsPerHz = n / fs;
    g.df = fs / n;
    g.invN = 1.0 / n;
    g.twoPiOverN = Math::TWOPI / n;
    if (note != nullptr) {
        *note = corrections;
    }
    return g;
}

} // namespace Kedra::Filter
