// The overflow rule shared by every pass that computes new 16-bit samples: a value outside
// -32768..32767 is clamped and counted; the count passing overflowLimit ends the run.
#pragma once

#include <cstdint>

struct OverflowCounter {
    int32_t count;
    const char* errorTag;    // tag of the "too many OverFlow" line, e.g. "MIX16"
    const char* warningTag;  // tag of the "found OverFlow" line
};

inline OverflowCounter overflowCounter(const char* errorTag, const char* warningTag) {
    return OverflowCounter{0, errorTag, warningTag};
}

// Counts one clamped sample; ends the run with the pass's error line when the count exceeds
// the overflow limit.
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

// The vectorisable form of the same rule: a block of samples is clamped without branches, its
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
