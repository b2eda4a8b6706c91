#pragma once

#include <cmath>

namespace Kedra::Math {

// Computed once at start, as arc cosine of -1, so that every Part shares the same bits.
inline const double PI = std::acos(-1.0);
inline const double TWOPI = 2.0 * PI;
inline const double HALFPI = PI * 0.5;
inline const double SQRT2 = std::sqrt(2.0);
inline const double DegToRad = PI / 180.0;
inline const double RadToDeg = 180.0 / PI;

inline const float PI_F = static_cast<float>(PI);
inline const float SQRT2_F = static_cast<float>(SQRT2);
inline const float DegToRad_F = static_cast<float>(DegToRad);
inline const float RadToDeg_F = static_cast<float>(RadToDeg);

} // namespace Kedra::Math
