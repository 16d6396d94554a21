// Running means of each channel's sample values and magnitudes, fed block by block.
//
// After step s (s counting from 1) a channel's figures are
//     mean    = mean    + (value     - mean)    / s
//     meanAbs = meanAbs + (magnitude - meanAbs) / s
// in double precision, exactly in that order, so the printed figures carry the rounding of every
// step. Each update waits for the previous one of its own chain, but the chains of the channels
// and of the value and magnitude means are independent: they are kept two to a vector so that
// their divisions (by the same s) overlap. The results are bit for bit those of the serial loop.
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

namespace running_mean_detail {

// Two doubles worked on together; every operation is the IEEE one of each element.
typedef double Pair __attribute__((vector_size(16)));

inline int32_t magnitude(int32_t value) { return value < 0 ? -value : value; }

}  // namespace running_mean_detail

// feedRunningMeans for a known sample size and channel count, calling `perSample(channel, value)`
// for every sample on the way: work folded in here runs in the time the division chains leave
// idle, instead of in a pass of its own.
template <int BytesPerSample, int Channels, typename PerSample>
inline void feedRunningMeansWith(RunningMeans& state, const uint8_t* data, int64_t steps, int64_t blockAlign,
                                 PerSample&& perSample) {
    using running_mean_detail::magnitude;
    using running_mean_detail::Pair;
    static_assert(Channels == 1 || Channels == 2);
    // s as a double, counted up exactly (steps stay far below 2^53).
    double s = static_cast<double>(state.steps);
    if constexpr (Channels == 1) {
        // Mono: the value mean and the magnitude mean share one vector.
        Pair means = {state.mean[0], state.meanAbs[0]};
        for (int64_t i = 0; i < steps; i++, data += blockAlign) {
            const int32_t value = sampleValue<BytesPerSample>(data);
            perSample(0, value);
            s += 1.0;
            const Pair x = {static_cast<double>(value), static_cast<double>(magnitude(value))};
            means = means + (x - means) / Pair{s, s};
        }
        state.mean[0] = means[0];
        state.meanAbs[0] = means[1];
    } else {
        Pair mean = {state.mean[0], state.mean[1]};
        Pair meanAbs = {state.meanAbs[0], state.meanAbs[1]};
        for (int64_t i = 0; i < steps; i++, data += blockAlign) {
            const int32_t left = sampleValue<BytesPerSample>(data);
            const int32_t right = sampleValue<BytesPerSample>(data + BytesPerSample);
            perSample(0, left);
            perSample(1, right);
            s += 1.0;
            const Pair step = {s, s};
            const Pair x = {static_cast<double>(left), static_cast<double>(right)};
            const Pair m = {static_cast<double>(magnitude(left)), static_cast<double>(magnitude(right))};
            mean = mean + (x - mean) / step;
            meanAbs = meanAbs + (m - meanAbs) / step;
        }
        state.mean[0] = mean[0];
        state.mean[1] = mean[1];
        state.meanAbs[0] = meanAbs[0];
        state.meanAbs[1] = meanAbs[1];
    }
    state.steps += steps;
}
