#pragma once

namespace Kedra::Sonvel {

// Deconvolves a synthesised sweep through a known system and checks the impulse it finds;
// prints what it found and returns the process exit status (0 when right).
int RunDeconvolutionDemo();

} // namespace Kedra::Sonvel
