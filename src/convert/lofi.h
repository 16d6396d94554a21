// Lo-fi: hold and quantise passes imitating a lower rate and resolution; the window mean shared
// with convert.
#pragma once

#include <cstdint>
#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <vector>

#include "wave/format.h"
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
template <int Channels>
inline void windowMeans(const SlidingSteps& window, double a, double b, int32_t* means) {
    const int64_t blockAlign = window.source->format.blockAlign;
    const int64_t first = static_cast<int64_t>(a);
    const int64_t last = std::min(static_cast<int64_t>(b), static_cast<int64_t>(window.source->steps) - 1);
    // A step's weight is min(k + 1, b) - max(k, a): the part of [k, k + 1) inside the window. For
    // the first step that is min(k + 1, b) - a, for the steps between exactly 1, for the last
    // k + 1 or b, less k. Each term is the same product, added in the same order, as when every
    // weight is worked out in full.
    const uint8_t* step = window.bytes.data() + (first - window.base) * blockAlign;
    const double firstWeight = std::min(static_cast<double>(first) + 1.0, b) - a;
    double sum[2] = {0.0, 0.0};
    for (int c = 0; c < Channels; c++) sum[c] += static_cast<double>(readInt16(step + c * 2)) * firstWeight;
    if (last > first) {
        for (int64_t k = first + 1; k < last; k++) {
            step += blockAlign;
            for (int c = 0; c < Channels; c++) sum[c] += static_cast<double>(readInt16(step + c * 2));
        }
        step += blockAlign;
        const double position = static_cast<double>(last);
        const double lastWeight = std::min(position + 1.0, b) - position;
        for (int c = 0; c < Channels; c++) sum[c] += static_cast<double>(readInt16(step + c * 2)) * lastWeight;
    }
    // The weights add up to b - a, so the quotient stays within the 16-bit range.
#if defined(__SSE2__)
    if constexpr (Channels == 2) {
        // Both channels in one packed division: each lane is divided exactly as on its own.
        const __m128i q = _mm_cvttpd_epi32(_mm_div_pd(_mm_set_pd(sum[1], sum[0]), _mm_set1_pd(b - a)));
        means[0] = static_cast<int16_t>(_mm_cvtsi128_si32(q));
        means[1] = static_cast<int16_t>(_mm_cvtsi128_si32(_mm_srli_si128(q, 4)));
        return;
    }
#endif
    for (int c = 0; c < Channels; c++) means[c] = static_cast<int16_t>(static_cast<int32_t>(sum[c] / (b - a)));
}
