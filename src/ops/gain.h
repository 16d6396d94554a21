// Gain, offset, maximise and reverse (boost, add, max, reverse): every 16-bit sample rewritten
// by the same rule, with the overflow policy.
#pragma once

struct Effect;
extern const Effect kBoostEffect;
extern const Effect kAddEffect;
extern const Effect kReverseEffect;
extern const Effect kMaximizeEffect;
