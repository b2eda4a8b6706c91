#include "filter/CleanUp.h"

#include "filter/MinimumPhase.h"
#include "foundation/Fft.h"

namespace Kedra::Filter {

void CleanUp() {
    Math::FFTWorkspace::ReleaseInstance();
    ReleaseMinimumPhaseWorkArea();
}

} // namespace Kedra::Filter
