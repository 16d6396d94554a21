#include "convert/lofi.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "driver/command_line.h"
#include "driver/log.h"
#include "driver/operations.h"
#include "wave/format.h"

namespace {

inline uint8_t* stepAt(SlidingSteps& window, int64_t step) {
    return window.bytes.data() + (step - window.base) * window.source->format.blockAlign;
}

// Rounds a window end to the nearest step; exactly half a step rounds down.
inline int64_t nearestStep(double position) {
    const int64_t whole = static_cast<int64_t>(position);
    return position - static_cast<double>(whole) > 0.5 ? whole + 1 : whole;
}

// The quantiser's grid for every sample value: the spacing is 2^(16 - bits), the divisor one more
// than the spacing, so the largest positive sample still lands below 32768.
std::vector<int16_t> quantiseGrid(int32_t bits) {
    int32_t spacing = 65536;
    for (int32_t i = 0; i < bits; i++) spacing /= 2;
    const int32_t offset = 65536 / (2 * spacing);
    const int32_t divisor = spacing + 1;
    std::vector<int16_t> grid(65536);
    for (int32_t value = -32768; value <= 32767; value++) {
        const int32_t level = static_cast<int16_t>((value + offset) / divisor);
        grid[value + 32768] = static_cast<int16_t>(level * spacing);
    }
    return grid;
}

void quantise(const std::vector<int16_t>& grid, uint8_t* data, int64_t steps, int channels, int64_t blockAlign) {
    if (blockAlign == channels * 2) {
        // Steps without padding: one flat run of samples.
        uint8_t* p = data;
        for (int64_t n = steps * channels; n > 0; n--, p += 2) writeInt16(p, grid[readInt16(p) + 32768]);
        return;
    }
    for (int64_t k = 0; k < steps; k++) {
        for (int c = 0; c < channels; c++) {
            uint8_t* p = data + k * blockAlign + c * 2;
            writeInt16(p, grid[readInt16(p) + 32768]);
        }
    }
}

Started startLofi(Run& run, int index, ResultPlan& plan) {
    if (index > 0) return Started::kDone;
    plan.format = run.first->format;
    plan.steps = run.first->steps;
    return Started::kResult;
}

// The hold pass replaces each window's steps by its mean, window after window over the steps as
// already rewritten: the first step a window reads holds the previous window's mean, and that
// feedback is part of the sound. A step is final once the windows have moved past it; final
// steps are quantised and written.
void flowLofi(Run& run, int, ResultWriter& out) {
    const PcmSource& source = *run.first;
    const int channels = source.format.channels;
    const int64_t blockAlign = source.format.blockAlign;
    const int64_t steps = source.steps;
    const std::vector<int16_t> grid = quantiseGrid(run.options.outputBits);
    const double ratio =
        static_cast<double>(source.format.sampleRate) / static_cast<double>(run.options.outputRate);
    SlidingSteps window = slidingSteps(source, ratio > 1.0 ? ratio : 1.0);
    const auto release = [&](uint8_t* data, int64_t, int64_t count) {
        quantise(grid, data, count, channels, blockAlign);
        writeSteps(out, data, count);
    };
    // A target at or above the source's rate gives windows of a step or less, which the hold
    // would only smear forward (at exactly one step, into the first sample): leave the timing.
    if (ratio > 1.0) {
        const double end = static_cast<double>(steps);
        const int64_t windows = static_cast<int64_t>(end / ratio) + 1;
        for (int64_t i = 0; i < windows; i++) {
            const double a = static_cast<double>(i) * ratio;
            const double b = std::min(a + ratio, end);
            if (a >= b) continue;  // only the last window, when the division came out whole
            const int64_t first = nearestStep(a);
            const int64_t last = std::min(nearestStep(b), steps - 1);
            const int64_t reads = std::min(static_cast<int64_t>(b), steps - 1);
            slideTo(window, static_cast<int64_t>(a), std::max(last, reads), release);
            int32_t mean[2];
            if (channels == 1) {
                windowMeans<1>(window, a, b, mean);
            } else {
                windowMeans<2>(window, a, b, mean);
            }
            for (int64_t k = first; k <= last; k++) {
                for (int c = 0; c < channels; c++) writeInt16(stepAt(window, k) + c * 2, mean[c]);
            }
        }
    }
    // Whatever the windows left (all of it without a hold pass) goes out as it is.
    while (window.base + window.count < steps) {
        slideTo(window, window.base + window.count, std::min(steps - 1, window.base + window.count + window.capacity - 1),
                release);
    }
    release(window.bytes.data(), window.base, window.count);
}

}  // namespace

SlidingSteps slidingSteps(const PcmSource& source, double ratio) {
    SlidingSteps window;
    window.source = &source;
    window.capacity = blockSteps(source.format.blockAlign) + static_cast<int64_t>(std::ceil(ratio)) + 2;
    window.bytes.resize(static_cast<size_t>(window.capacity * source.format.blockAlign));
    window.base = 0;
    window.count = 0;
    return window;
}

void slideAfterRelease(SlidingSteps& window, int64_t drop, int64_t last) {
    const int64_t blockAlign = window.source->format.blockAlign;
    if (drop > 0) {
        memmove(window.bytes.data(), window.bytes.data() + drop * blockAlign,
                static_cast<size_t>((window.count - drop) * blockAlign));
        window.base += drop;
        window.count -= drop;
    }
    const int64_t next = window.base + window.count;
    const int64_t more = std::min(window.capacity - window.count, window.source->steps - next);
    if (last >= next + more) logInternal("E [QOR] window beyond its buffer.");
    readSteps(*window.source, next, more, window.bytes.data() + window.count * blockAlign);
    window.count += more;
}

const Effect kLofiEffect = {kNeedNothing, 0, startLofi, flowLofi, nullptr};
