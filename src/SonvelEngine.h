#pragma once
// Umbrella header of the Sonvel measurement engine: includes every public engine header.

#include "analyze/SequenceAnalysis.h"
#include "foundation/Fft.h"
#include "foundation/KedraLogger.h"
#include "foundation/MathConstants.h"
#include "foundation/Mem.h"
