#include "wave/compare.h"

// Not built yet: the operation answers as an unknown one.
CompareResult* compareSources(PcmSource*, PcmSource*) { return nullptr; }
