// Lo-fi: hold and quantise passes imitating a lower rate and resolution; the window mean shared
// with convert.
#pragma once

#include <cstdint>
#include <algorithm>
#include <vector>

#include "wave/stats.h"

struct Effect;
extern const Effect kLofiEffect;

// A stretch of consecutive source steps held in memory, slid forward through the source as the
// windows that read it move on: steps [base, base + count), each blockAlign bytes.
struct SlidingSteps {
    const PcmSource* source;
    std::vector<uint8_t> bytes;
    int64_t capacity;  // steps the buffer holds
    int64_t base;
    int64_t count;
};

// A buffer able to hold any window of `ratio` steps together with a block of reading ahead.
SlidingSteps slidingSteps(const PcmSource& source, double ratio);
// Makes the steps up to `last` (inclusive, below the source's step count) present, giving up the
// steps before `keepFrom` when room is needed; `release`, when given, receives each stretch of
// steps given up (its first step number and count) before they go.
// Drops the first `drop` steps (already released) and reads on so that `last` is present.
void slideAfterRelease(SlidingSteps& window, int64_t drop, int64_t last);
template <typename Release>
void slideTo(SlidingSteps& window, int64_t keepFrom, int64_t last, Release release) {
    if (last < window.base + window.count) return;
    const int64_t drop = std::clamp<int64_t>(keepFrom - window.base, 0, window.count);
    if (drop > 0) release(window.bytes.data(), window.base, drop);
    slideAfterRelease(window, drop, last);
}
// A release for windows whose steps are only read.
inline void keepNothing(uint8_t*, int64_t, int64_t) {}

// The mean of each channel (1 or 2 channels) over the real step positions [a, b), each step
// weighted by the length of its overlap with the window; 0 <= a < b <= steps. The sum is taken in
// double precision in increasing step order and the quotient truncated toward zero. Reads the
// steps as they stand in `window`, which holds them all, so a pass that rewrites the buffer sees
// its own earlier writes.
void windowMeans(const SlidingSteps& window, double a, double b, int32_t* means);
