// Running means of each channel's sample values and magnitudes, and the exact sums that settle
// their printed figures without running them.
//
// After step s (s counting from 1) a channel's figures are
//     mean    = mean    + (value     - mean)    / s
//     meanAbs = meanAbs + (magnitude - meanAbs) / s
// in double precision, exactly in that order, so the printed figures carry the rounding of every
// step. Each update waits for the previous one of its own chain, but the chains of the channels
// and of the value and magnitude means are independent: they are kept two to a vector so that
// their divisions (by the same s) overlap. The results are bit for bit those of the serial loop.
//
// The chains still cost a division's latency per step. The statistics first gather exact integer
// sums (MeanSums, a pass as fast as reading) and ask settledMean whether those already fix the
// printed text; only a figure they leave open is worked out by its chain.
#pragma once

#include <cstdint>

#include "base/format.h"

// What one source's running means carry from one block of steps to the next. Start from zeros.
struct RunningMeans {
    double mean[2];
    double meanAbs[2];
    int64_t steps;  // steps fed so far
};

// Feeds `steps` steps of interleaved samples, `blockAlign` bytes apart, in storage order.
// `bytesPerSample` 1: unsigned 8-bit, taken as byte - 128; 2: signed 16-bit little-endian.
// `channels` is 1 or 2.
void feedRunningMeans(RunningMeans& state, const uint8_t* data, int64_t steps, int channels,
                      int bytesPerSample, int64_t blockAlign);

// Exact sums over each channel's values v_1 .. v_N, carried from block to block.
struct MeanSums {
    int64_t steps = 0;         // N so far
    int64_t sum[2] = {};       // S_N = v_1 + ... + v_N
    int64_t sumAbs[2] = {};    // A_N = |v_1| + ... + |v_N|
    // At least |S_1| + ... + |S_N| and A_1 + ... + A_N (up to 2^77: beyond 64 bits).
    unsigned __int128 pathBound[2] = {};
    unsigned __int128 pathAbsBound[2] = {};
    int32_t max[2] = {INT32_MIN, INT32_MIN};
    int32_t min[2] = {INT32_MAX, INT32_MAX};
};

// Adds `steps` steps laid out as for feedRunningMeans.
void feedMeanSums(MeanSums& sums, const uint8_t* data, int64_t steps, int channels, int bytesPerSample,
                  int64_t blockAlign);

// Whether the sums settle the printed text of channel c's running mean (of the magnitudes with
// `magnitudes`). When they do, sets *printable to a double that "%.3f" (with any sign flag and
// width) prints exactly as it prints the chain's result, and returns true. Needs sums.steps >= 1
// and at most 2^31.
bool settledMean(const MeanSums& sums, int c, bool magnitudes, double* printable);
