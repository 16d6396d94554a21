// Convert: box-filter resampling to the frequency given by /f.
#pragma once

#include "wave/output.h"
#include "wave/stats.h"

WaveImage* convertStage(PcmSource* source);
