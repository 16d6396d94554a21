// Gain, offset, maximise and reverse (boost, add, max, reverse).
#pragma once

#include "wave/output.h"
#include "wave/stats.h"

// code 4 boost, 5 add, 6 reverse, 20 max. Changes the source samples in place.
WaveImage* gainStage(PcmSource* source, int code);
