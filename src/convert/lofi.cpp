#include "convert/lofi.h"

// Not built yet: the operation answers as an unknown one.
WaveImage* lofiStage(PcmSource*) { return nullptr; }
