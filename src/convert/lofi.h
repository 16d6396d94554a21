// Lo-fi: hold and quantise passes imitating a lower rate and resolution.
#pragma once

#include "wave/output.h"
#include "wave/stats.h"

WaveImage* lofiStage(PcmSource* source);
