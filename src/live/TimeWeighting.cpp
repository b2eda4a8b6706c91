#include "live/TimeWeighting.h"

#include <cmath>

namespace Kedra::Live {

TimeWeighting::TimeWeighting(double timeConstant, double samplerate)
    : alpha_(-std::expm1(-1.0 / (timeConstant * samplerate))) {}

} // namespace Kedra::Live
