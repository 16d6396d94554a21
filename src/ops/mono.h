// Mono derivation from a stereo source, and the stereo split.
#pragma once

#include <cstdint>

#include "base/format.h"

struct Effect;
extern const Effect kLeftMonoEffect;        // l2mono
extern const Effect kRightMonoEffect;       // r2mono
extern const Effect kSumMonoEffect;         // lrmono
extern const Effect kDifferenceMonoEffect;  // ccancel
extern const Effect kSplitEffect;           // lrsprit: the left channel, then the right

// Writes into `out` (kNameBufferSize bytes) `name` with `tag` inserted before the last "." of its
// last path component, or appended when that component has none. False when it would not fit.
bool splitName(const char* name, const char* tag, char* out);
