// Mono derivation from a stereo source, and the stereo split.
#pragma once

#include "wave/output.h"
#include "wave/stats.h"

// measure 12 left, 13 right, 14 left + right, 15 left - right.
WaveImage* monoStage(PcmSource* source, int measure);
// Writes the left channel itself and returns the right channel's image.
WaveImage* splitStage(PcmSource* source);
