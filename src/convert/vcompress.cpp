#include "convert/vcompress.h"

// Not built yet: the operation answers as an unknown one.
WaveImage* vcompressStage(PcmSource*) { return nullptr; }
