// Simple conversion of 16-bit sources to 8-bit.
#pragma once

struct Effect;
extern const Effect kSimpleConvert8Effect;
