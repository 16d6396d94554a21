// Lo-fi: hold and quantise passes imitating a lower rate and resolution; the window mean shared
// with convert.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#if defined(__SSE4_1__)
#include <smmintrin.h>
#endif
#include <vector>

#include "base/format.h"
#include "wave/stats.h"

#include <memory>

#include "engine/operation.h"

std::unique_ptr<Operation> makeLofi();

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
// Drops the steps before `keepFrom` and reads on so that the steps up to `last` (inclusive,
// below the source's step count) are present.
void slideOn(SlidingSteps& window, int64_t keepFrom, int64_t last);
// Makes the steps up to `last` present, sliding on when they are not yet.
inline void slideTo(SlidingSteps& window, int64_t keepFrom, int64_t last) {
    if (last >= window.base + window.count) slideOn(window, keepFrom, last);
}

// The values of one step, a channel per lane (the second lane 0 for mono). Arithmetic on lanes
// works lane by lane exactly as on single doubles, so two channels cost one chain of operations.
using StepLanes = double __attribute__((vector_size(16)));
using MeanLanes = int32_t __attribute__((vector_size(8)));
using SampleLanes = int16_t __attribute__((vector_size(4)));

template <int Channels>
inline StepLanes lanesAt(const uint8_t* step) {
    if constexpr (Channels == 2 && std::endian::native == std::endian::little) {
        // Both samples in one load, widened together.
        int32_t samples;
        memcpy(&samples, step, sizeof samples);
#if defined(__SSE4_1__)
        return _mm_cvtepi32_pd(_mm_cvtepi16_epi32(_mm_cvtsi32_si128(samples)));
#else
        SampleLanes lanes;
        memcpy(&lanes, &samples, sizeof lanes);
        return __builtin_convertvector(__builtin_convertvector(lanes, MeanLanes), StepLanes);
#endif
    } else if constexpr (Channels == 2) {
        return StepLanes{static_cast<double>(readInt16(step)), static_cast<double>(readInt16(step + 2))};
    } else {
        return StepLanes{static_cast<double>(readInt16(step)), 0.0};
    }
}

// Writes the means of one step as 16-bit samples.
template <int Channels>
inline void writeMeans(uint8_t* step, MeanLanes means) {
    if constexpr (Channels == 2 && std::endian::native == std::endian::little) {
        const SampleLanes samples = __builtin_convertvector(means, SampleLanes);
        memcpy(step, &samples, sizeof samples);
    } else {
        for (int c = 0; c < Channels; c++) writeInt16(step + c * 2, means[c]);
    }
}

// The mean of each channel (1 or 2 channels) over the real step positions [a, b), each step
// weighted by the length of its overlap with the window; 0 <= a < b <= steps. The sum is taken in
// double precision in increasing step order; the quotient is returned as it is, and the mean is
// that quotient truncated toward zero (`truncated`, `wholeMeans`). Steps up to
// `carriedThrough` count as holding `carried`: the hold pass, whose windows read the steps the
// window before rewrote, hands that window's means on this way instead of rewriting the buffer.
// The others are read from `window`, which holds them all.
template <int Channels>
inline StepLanes windowQuotients(const SlidingSteps& window, double a, double b, int64_t carriedThrough = -1,
                                 StepLanes carried = StepLanes{}) {
    const int64_t blockAlign = window.source->format.blockAlign;
    const int64_t first = static_cast<int64_t>(a);
    const int64_t last = std::min(static_cast<int64_t>(b), static_cast<int64_t>(window.source->steps) - 1);
    const uint8_t* step = window.bytes.data() + (first - window.base) * blockAlign;
    const auto valueAt = [&](int64_t k) { return k <= carriedThrough ? carried : lanesAt<Channels>(step); };
    // A step's weight is min(k + 1, b) - max(k, a): the part of [k, k + 1) inside the window. For
    // the first step that is min(k + 1, b) - a, for the steps between exactly 1, for the last
    // k + 1 or b, less k. Each term is the same product, added in the same order, as when every
    // weight is worked out in full.
    StepLanes sum = valueAt(first) * (std::min(static_cast<double>(first) + 1.0, b) - a);
    if (last > first) {
        for (int64_t k = first + 1; k < last; k++) {
            step += blockAlign;
            sum += valueAt(k);
        }
        step += blockAlign;
        const double position = static_cast<double>(last);
        sum += valueAt(last) * (std::min(position + 1.0, b) - position);
    }
    // The weights add up to b - a, so each quotient stays within the 16-bit range.
    return sum / (b - a);
}

// The quotients truncated toward zero, as whole numbers in double precision. A zero may come out
// as -0, which adds and converts exactly like +0.
inline StepLanes truncated(StepLanes quotients) {
#if defined(__SSE4_1__)
    return _mm_round_pd(quotients, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
#else
    return __builtin_convertvector(__builtin_convertvector(quotients, MeanLanes), StepLanes);
#endif
}

inline MeanLanes wholeMeans(StepLanes quotients) { return __builtin_convertvector(quotients, MeanLanes); }
