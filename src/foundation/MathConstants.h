#pragma once

#include <cmath>

namespace Kedra::Math {

// Computed once at start, as arc cosine of -1, so that every Part shares the same bits.
inline const double PI = std::acos(-1.0);
inline const double TWOPI = 2.0 * PI;
inline const double HALFPI = PI * 0.5;

} // namespace Kedra::Math
