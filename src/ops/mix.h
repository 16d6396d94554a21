// Mix and subtract: source 2 added to or taken from source 1 at an offset.
#pragma once

#include "wave/output.h"
#include "wave/stats.h"

// code 2 mixes, 3 subtracts. Returns the result, or null when the sources are unfit.
WaveImage* mixStage(PcmSource* first, PcmSource* second, int code);
