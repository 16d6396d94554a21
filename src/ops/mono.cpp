#include "ops/mono.h"

// Not built yet: the operation answers as an unknown one.
WaveImage* monoStage(PcmSource*, int) { return nullptr; }
WaveImage* splitStage(PcmSource*) { return nullptr; }
