// Head, cut, insert silence and backward.
#pragma once

#include "wave/output.h"
#include "wave/stats.h"

WaveImage* headStage(PcmSource* source);
WaveImage* cutStage(PcmSource* source);
WaveImage* insertSilenceStage(PcmSource* source);
WaveImage* backwardStage(PcmSource* source);
