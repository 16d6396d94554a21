#include "convert/lofi.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/options.h"
#include "base/log.h"
#include "base/target_clones.h"
#include "engine/operation.h"
#include "engine/result_writer.h"
#include "base/format.h"

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
QOR_AVX2_CLONES void quantiseRun(int16_t* values, int64_t count, Quantiser q) {
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

// The quantised sample values of whole means, worked out in double precision: exact for the same
// reason as in single precision above.
inline MeanLanes quantisedMeans(StepLanes means, Quantiser q) {
    const StepLanes level = truncated((means + q.offset) / static_cast<double>(q.divisor));
    return __builtin_convertvector(level * q.spacing, MeanLanes);
}

// The hold pass: window after window, each window's steps take its mean, and the next window
// reads the steps as rewritten. The last step a window rewrites (and the ones before it, when
// windows are short) is the first the next one reads; those steps' value, the previous mean, is
// handed on in registers, so the source's steps in the buffer are only read. A step is final once
// the next window starts after it; final steps are quantised and written, with any padding bytes
// they carry in the source.
template <int Channels>
void holdWindows(const PcmSource& source, double ratio, Quantiser q, ResultWriter& out) {
    const int64_t steps = source.steps;
    const int64_t blockAlign = source.format.blockAlign;
    const bool padded = blockAlign != Channels * 2;
    const double end = static_cast<double>(steps);
    const int64_t windows = static_cast<int64_t>(end / ratio) + 1;
    SlidingSteps window = slidingSteps(source, ratio);
    GatheredSteps result(out, blockAlign);
    int64_t done = 0;  // result steps final and gathered or written
    const auto finish = [&](int64_t to, MeanLanes value) {
        for (; done < to; done++) {
            uint8_t* step = result.next();
            if (padded) memcpy(step, window.bytes.data() + (done - window.base) * blockAlign, blockAlign);
            writeMeans<Channels>(step, value);
            result.add();
        }
    };
    int64_t written = -1;  // the last step rewritten so far
    StepLanes carried = {};
    MeanLanes held = {};  // `carried` quantised
    for (int64_t i = 0; i < windows; i++) {
        const double a = static_cast<double>(i) * ratio;
        const double b = std::min(a + ratio, end);
        if (a >= b) continue;  // only the last window, when the division came out whole
        const int64_t first = nearestStep(a);
        const int64_t last = std::min(nearestStep(b), steps - 1);
        const int64_t reads = std::min(static_cast<int64_t>(b), steps - 1);
        finish(first, held);
        slideTo(window, static_cast<int64_t>(a), std::max(last, reads));
        carried = truncated(windowQuotients<Channels>(window, a, b, written, carried));
        held = quantisedMeans(carried, q);
        written = last;
    }
    // The last window ends at the source's end, or within half a step of it, so its steps reach
    // the last one: every step of the result is final here.
    finish(written + 1, held);
    result.flush();
}

class Lofi : public Operation {
  public:
    void plan(Run& run, int, ResultPlan& plan) override {
        plan.format = run.first->format;
        plan.steps = run.first->steps;
    }

    void flow(Run& run, int, ResultWriter& out) override {
        const PcmSource& source = *run.first;
        const int channels = source.format.channels;
        const int64_t blockAlign = source.format.blockAlign;
        const Quantiser q = quantiser(run.options.outputBits);
        const double ratio =
            static_cast<double>(source.format.sampleRate) / static_cast<double>(run.options.outputRate);
        if (ratio > 1.0) {
            if (channels == 1) {
                holdWindows<1>(source, ratio, q, out);
            } else {
                holdWindows<2>(source, ratio, q, out);
            }
            return;
        }
        // A target at or above the source's rate gives windows of a step or less, which the hold
        // would only smear forward (at exactly one step, into the first sample): leave the timing,
        // only quantise.
        forEachBlock(source, 0, source.steps, [&](uint8_t* data, int64_t, int64_t steps) {
            quantise(q, data, steps, channels, blockAlign);
            writeSteps(out, data, steps);
        });
    }
};

}  // namespace

SlidingSteps slidingSteps(const PcmSource& source, double ratio) {
    SlidingSteps window;
    window.source = &source;
    // Room for a window and a block of reading ahead, but never more steps than the source has:
    // a header's rate alone cannot size the buffer.
    const double wanted = static_cast<double>(blockSteps(source.format.blockAlign)) + std::ceil(ratio) + 2.0;
    window.capacity = std::max<int64_t>(1, wanted < static_cast<double>(source.steps) ? static_cast<int64_t>(wanted)
                                                                                      : source.steps);
    window.bytes.resize(static_cast<size_t>(window.capacity * source.format.blockAlign));
    window.base = 0;
    window.count = 0;
    return window;
}

void slideOn(SlidingSteps& window, int64_t keepFrom, int64_t last) {
    const int64_t blockAlign = window.source->format.blockAlign;
    const int64_t drop = std::clamp<int64_t>(keepFrom - window.base, 0, window.count);
    if (drop > 0) {
        memmove(window.bytes.data(), window.bytes.data() + drop * blockAlign,
                static_cast<size_t>((window.count - drop) * blockAlign));
        window.base += drop;
        window.count -= drop;
    }
    const int64_t next = window.base + window.count;
    const int64_t more = std::min(window.capacity - window.count, window.source->steps - next);
    if (last >= next + more) fail(Fatal::kWindowBeyondBuffer);
    readSteps(*window.source, next, more, window.bytes.data() + window.count * blockAlign);
    window.count += more;
}

std::unique_ptr<Operation> makeLofi() { return std::make_unique<Lofi>(); }
