// Concatenation: source 2 follows source 1 after a gap.
#pragma once

#include "wave/output.h"
#include "wave/stats.h"

WaveImage* concatenationStage(PcmSource* first, PcmSource* second);
