// Voltage compression of the samples above the threshold.
#pragma once

struct Effect;
extern const Effect kVcompressEffect;
