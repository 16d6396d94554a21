// Convert: box-filter resampling to the frequency given by /f.
#pragma once

struct Effect;
extern const Effect kConvertEffect;
