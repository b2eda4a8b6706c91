#pragma once
// Umbrella header of the Sonvel measurement engine: includes every public engine header.

#include "analyze/SequenceAnalysis.h"
#include "audio/PCMGenerator.h"
#include "audio/Pcm.h"
#include "audio/SineLogSweep.h"
#include "audio/SineSweepSingle.h"
#include "audio/SquareNoise.h"
#include "foundation/Fft.h"
#include "foundation/Interpolator.h"
#include "foundation/KedraLogger.h"
#include "foundation/MathConstants.h"
#include "foundation/MathHelpers.h"
#include "foundation/Mem.h"
#include "measure/ImpulseWindow.h"
#include "measure/MeasurementCore.h"
#include "measure/Smoothing.h"
#include "measure/SmoothingImpulseWindow.h"
