// Stereo combine: two mono sources become the left and right channels.
#pragma once

#include "wave/output.h"
#include "wave/stats.h"

WaveImage* stereoCombineStage(PcmSource* first, PcmSource* second, int code);
