#include "convert/lofi.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "driver/command_line.h"
#include "driver/log.h"
#include "driver/operations.h"
#include "wave/format.h"

namespace {

// Rounds a window end to the nearest step; exactly half a step rounds down.
inline int64_t nearestStep(double position) {
    const int64_t whole = static_cast<int64_t>(position);
    return position - static_cast<double>(whole) > 0.5 ? whole + 1 : whole;
}

// The quantiser: a sample moves to level (value + offset) / divisor, truncated toward zero, times
// the spacing. The spacing is 2^(16 - bits), the divisor one more than the spacing, so the largest
// positive sample still lands below 32768.
struct Quantiser {
    int32_t spacing;
    int32_t offset;
    float divisor;
};

Quantiser quantiser(int32_t bits) {
    int32_t spacing = 65536;
    for (int32_t i = 0; i < bits; i++) spacing /= 2;
    return {spacing, 65536 / (2 * spacing), static_cast<float>(spacing + 1)};
}

// The level is worked out in single precision, which gives the integer quotient exactly: the
// dividend is below 2^17 in magnitude, so a quotient that is not whole lies at least 2^-17 of its
// size from the nearest whole number, far more than single precision's 2^-24, and truncation
// lands where integer division would. The loop is a flat run the compiler vectorises.
__attribute__((target_clones("avx2", "default"))) void quantiseRun(int16_t* values, int64_t count,
                                                                    Quantiser q) {
    for (int64_t n = 0; n < count; n++) {
        const int32_t level = static_cast<int32_t>(static_cast<float>(values[n] + q.offset) / q.divisor);
        values[n] = static_cast<int16_t>(level * q.spacing);
    }
}

void quantise(Quantiser q, uint8_t* data, int64_t steps, int channels, int64_t blockAlign) {
    int16_t values[2048];
    const auto quantiseAt = [&](uint8_t* p, int64_t count) {
        for (int64_t i = 0; i < count; i++) values[i] = readInt16(p + 2 * i);
        quantiseRun(values, count, q);
        for (int64_t i = 0; i < count; i++) writeInt16(p + 2 * i, values[i]);
    };
    if (blockAlign == channels * 2) {
        // Steps without padding: one flat run of samples, taken a slice at a time.
        for (int64_t done = 0, total = steps * channels; done < total; done += 2048) {
            quantiseAt(data + 2 * done, std::min<int64_t>(2048, total - done));
        }
        return;
    }
    for (int64_t k = 0; k < steps; k++) quantiseAt(data + k * blockAlign, channels);
}

// Each window's steps are replaced by its mean. A window reads the steps the one before it
// rewrote: the last written step (and the ones before it, when windows are short) holds that
// window's mean, which is handed on in registers instead of through memory, since this hand-over
// is the chain that sets the pace of the pass.
template <int Channels, typename Release>
void holdWindows(SlidingSteps& window, double ratio, Release release) {
    const int64_t steps = window.source->steps;
    const int64_t blockAlign = window.source->format.blockAlign;
    const double end = static_cast<double>(steps);
    const int64_t windows = static_cast<int64_t>(end / ratio) + 1;
    int64_t written = -1;  // the last step rewritten so far
    StepLanes carried = {};
    for (int64_t i = 0; i < windows; i++) {
        const double a = static_cast<double>(i) * ratio;
        const double b = std::min(a + ratio, end);
        if (a >= b) continue;  // only the last window, when the division came out whole
        const int64_t first = nearestStep(a);
        const int64_t last = std::min(nearestStep(b), steps - 1);
        const int64_t reads = std::min(static_cast<int64_t>(b), steps - 1);
        if (std::max(last, reads) >= window.base + window.count) {
            slideTo(window, static_cast<int64_t>(a), std::max(last, reads), release);
        }
        // The next window reads the truncated means straight from here; the conversion to whole
        // numbers for writing stays off that path.
        const StepLanes quotients = windowQuotients<Channels>(window, a, b, written, carried);
        carried = truncated(quotients);
        const MeanLanes mean = wholeMeans(quotients);
        written = last;
        uint8_t* step = window.bytes.data() + (first - window.base) * blockAlign;
        for (int64_t k = first; k <= last; k++, step += blockAlign) writeMeans<Channels>(step, mean);
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
    const Quantiser q = quantiser(run.options.outputBits);
    const double ratio =
        static_cast<double>(source.format.sampleRate) / static_cast<double>(run.options.outputRate);
    SlidingSteps window = slidingSteps(source, ratio > 1.0 ? ratio : 1.0);
    const auto release = [&](uint8_t* data, int64_t, int64_t count) {
        quantise(q, data, count, channels, blockAlign);
        writeSteps(out, data, count);
    };
    // A target at or above the source's rate gives windows of a step or less, which the hold
    // would only smear forward (at exactly one step, into the first sample): leave the timing.
    if (ratio > 1.0) {
        if (channels == 1) {
            holdWindows<1>(window, ratio, release);
        } else {
            holdWindows<2>(window, ratio, release);
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
