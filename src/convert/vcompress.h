// Voltage compression of the samples above the threshold.
#pragma once

#include "wave/output.h"
#include "wave/stats.h"

WaveImage* vcompressStage(PcmSource* source);
