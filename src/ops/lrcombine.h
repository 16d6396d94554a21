// Stereo combine: two mono sources become the left and right channels.
#pragma once

struct Effect;
extern const Effect kStereoCombineEffect;
