#pragma once

namespace Kedra::Filter {

// Frees the process-wide work areas of the filters (the FFT work area and the
// minimum-phase work area). Both are created again on their next use. Call when no design
// is being computed, typically at exit.
void CleanUp();

} // namespace Kedra::Filter
