// Concatenation: source 2 follows source 1 after a gap.
#pragma once

struct Effect;
extern const Effect kConcatenationEffect;
