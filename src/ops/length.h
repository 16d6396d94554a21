// Head, cut, insert silence and backward.
#pragma once

struct Effect;
extern const Effect kHeadEffect;
extern const Effect kCutEffect;
extern const Effect kInsertSilenceEffect;
extern const Effect kBackwardEffect;
