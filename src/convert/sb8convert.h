// Simple conversion of 16-bit sources to 8-bit.
#pragma once

#include "wave/output.h"
#include "wave/stats.h"

WaveImage* simpleConvert8Stage(PcmSource* source);
