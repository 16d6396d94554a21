#include "convert/sb8convert.h"

// Not built yet: the operation answers as an unknown one.
WaveImage* simpleConvert8Stage(PcmSource*) { return nullptr; }
