// The overflow rule shared by every pass that computes new 16-bit samples: a value outside
// -32768..32767 is clamped and counted; the count passing the counter's limit ends the run.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "base/format.h"
#include "engine/result_writer.h"
#include "wave/stats.h"

struct OverflowCounter {
    int32_t count;
    int32_t limit;           // the run's overflowLimit (/F raises it)
    const char* errorTag;    // tag of the "too many OverFlow" line, e.g. "MIX16"
    const char* warningTag;  // tag of the "found OverFlow" line
};

// `limit` is the run's overflowLimit option.
inline OverflowCounter overflowCounter(int32_t limit, const char* errorTag, const char* warningTag) {
    return OverflowCounter{0, limit, errorTag, warningTag};
}

// Counts one clamped sample; ends the run with the pass's error line when the count exceeds
// the counter's limit.
void countOverflow(OverflowCounter& counter);

// Clamps v into the 16-bit range, counting each end it crosses.
inline int32_t clampSample16(int64_t v, OverflowCounter& counter) {
    if (v > 32767) {
        countOverflow(counter);
        return 32767;
    }
    if (v < -32768) {
        countOverflow(counter);
        return -32768;
    }
    return static_cast<int32_t>(v);
}

// The block form of the same rule: a block of samples is clamped without branches, its
// overflows are counted together and then handed to addOverflows, which applies the limit. The
// run ends with the same line as when every sample is checked on its own, since the count that
// first exceeds the limit is always the limit + 1; the samples changed after it are never written.
inline int32_t clampCounting(int32_t v, int32_t& overflows) {
    overflows += static_cast<int32_t>(v > 32767) | static_cast<int32_t>(v < -32768);
    return v > 32767 ? 32767 : (v < -32768 ? -32768 : v);
}
void addOverflows(OverflowCounter& counter, int64_t overflows);

// Logs the pass's "found OverFlow" warning when it clamped at least once.
void reportOverflow(const OverflowCounter& counter);

// Every 16-bit value's new value and whether it overflowed, for passes where a new value
// depends on the old one alone: worked out once, then the samples are looked up, so the cost per
// sample is the same whatever the arithmetic, and the results are the same to the bit.
struct SampleMap {
    int16_t mapped[65536];
    uint8_t overflowed[65536];
};

// `compute` takes a sample value to its new value, clamped, adding 1 to its second argument
// when it overflowed.
template <typename Compute>
std::unique_ptr<SampleMap> buildSampleMap(Compute compute) {
    auto map = std::make_unique<SampleMap>();
    for (int32_t value = -32768; value <= 32767; value++) {
        int32_t overflows = 0;
        map->mapped[value + 32768] = static_cast<int16_t>(compute(value, overflows));
        map->overflowed[value + 32768] = static_cast<uint8_t>(overflows);
    }
    return map;
}

// Reads every step of the source, computes each sample's new value with `compute` (a value to
// its new value, clamped, adding 1 to its second argument when it overflowed) and writes them to
// the result. For rules simple enough to run in vector registers, which beats looking values up;
// steps without padding go through in runs of 4096 samples.
// `computeRun`, when given, does the same to a run of values at once and returns the overflows.
template <typename Compute, typename ComputeRun>
void streamComputed(const PcmSource& source, ResultWriter& out, OverflowCounter& counter, Compute compute,
                    ComputeRun computeRun) {
    const FormatInfo& format = source.format;
    const int channels = format.channels;
    const bool flat = format.blockAlign == channels * 2;
    forEachBlock(source, 0, source.steps, [&](uint8_t* block, int64_t, int64_t steps) {
        if (flat) {
            constexpr int64_t kRun = 4096;
            const int64_t total = steps * channels;
            int16_t values[kRun];
            for (int64_t at = 0; at < total; at += kRun) {
                const int64_t count = std::min(kRun, total - at);
                readInt16s(values, block + at * 2, count);
                const int32_t overflows = computeRun(values, count);
                writeInt16s(block + at * 2, values, count);
                addOverflows(counter, overflows);
            }
        } else {
            for (int64_t k = 0; k < steps; k++) {
                uint8_t* p = block + k * format.blockAlign;
                for (int c = 0; c < channels; c++, p += 2) {
                    int32_t overflows = 0;
                    writeInt16(p, compute(readInt16(p), overflows));
                    addOverflows(counter, overflows);
                }
            }
        }
        writeSteps(out, block, steps);
    });
}

template <typename Compute>
void streamComputed(const PcmSource& source, ResultWriter& out, OverflowCounter& counter, Compute compute) {
    streamComputed(source, out, counter, compute, [compute](int16_t* values, int64_t count) {
        int32_t overflows = 0;
        for (int64_t i = 0; i < count; i++) values[i] = static_cast<int16_t>(compute(values[i], overflows));
        return overflows;
    });
}

// Reads every step of the source, rewrites its samples through the map and writes them to the
// result, block by block.
inline void streamMapped(const PcmSource& source, ResultWriter& out, const SampleMap& map, OverflowCounter& counter) {
    streamComputed(source, out, counter, [&map](int32_t value, int32_t& overflows) -> int32_t {
        overflows += map.overflowed[value + 32768];
        return map.mapped[value + 32768];
    });
}
