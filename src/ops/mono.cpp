#include "ops/mono.h"

#include <cstring>
#include <vector>

#include "base/buffers.h"
#include "base/options.h"
#include "base/log.h"
#include "driver/operations.h"
#include "ops/overflow.h"

namespace {

// How the mono samples are made from the two channels (an effect's variant).
enum Measure : int { kLeft, kRight, kSum, kDifference };

const char* measureDescription(int measure) {
    switch (measure) {
        case kLeft:
            return "get LEFT channel";
        case kRight:
            return "get RIGHT channel";
        case kSum:
            return "mix L+R channel";
        case kDifference:
            return "subtract L-R channel";
        default:
            return nullptr;
    }
}

// Copies one channel's sample of every step; kWidth is the sample size in bytes.
template <int kWidth>
void copyChannel(uint8_t* result, const uint8_t* from, int64_t steps, int64_t stride) {
    for (int64_t i = 0; i < steps; ++i, result += kWidth, from += stride) {
        memcpy(result, from, kWidth);
    }
}

// left + sign x right for 16-bit samples. The sum is not halved, so loud material clamps.
void combine16(uint8_t* result, const uint8_t* from, int64_t steps, int64_t stride, int sign,
               OverflowCounter& counter) {
    for (int64_t i = 0; i < steps; ++i, result += 2, from += stride) {
        const int64_t d =
            static_cast<int64_t>(readInt16(from)) + sign * static_cast<int64_t>(readInt16(from + 2));
        writeInt16(result, clampSample16(d, counter));
    }
}

// The same for 8-bit samples, worked on as byte - 128 and clamped to the signed 8-bit range.
void combine8(uint8_t* result, const uint8_t* from, int64_t steps, int64_t stride, int sign,
              OverflowCounter& counter) {
    for (int64_t i = 0; i < steps; ++i, ++result, from += stride) {
        int32_t d = (from[0] - 128) + sign * (from[1] - 128);
        if (d > 127 || d < -128) {
            countOverflow(counter);
            d = d > 0 ? 127 : -128;
        }
        *result = static_cast<uint8_t>(d + 128);
    }
}

}  // namespace

bool splitName(const char* name, const char* tag, char* out) {
    const size_t length = strlen(name);
    const size_t tagLength = strlen(tag);
    if (length + tagLength >= static_cast<size_t>(kNameBufferSize)) return false;
    const char* component = strrchr(name, '/');
    component = component == nullptr ? name : component + 1;
    const char* dot = strrchr(component, '.');
    const size_t at = dot == nullptr ? length : static_cast<size_t>(dot - name);
    memcpy(out, name, at);
    memcpy(out + at, tag, tagLength);
    memcpy(out + at + tagLength, name + at, length - at + 1);
    return true;
}

namespace {

struct MonoState {
    OverflowCounter counter;
    // The split's two output names, worked out from the destination as given before the left
    // file's writer may change its extension.
    char names[2][kNameBufferSize];
};

// The mono result: one sample of the source's width per step.
Started planMono(Run& run, int measure, ResultPlan& plan) {
    const PcmSource* source = run.first;
    if (source->format.channels < 2) logFatal("E [MONO] too few channel.");
    const char* description = measureDescription(measure);
    if (description == nullptr) logFatal("E [MONO] unknown measure.");
    logLine(kLevelInfo, "- [MONO] %s.", description);

    FormatInfo format = source->format;
    const int16_t width = static_cast<int16_t>(format.bitsPerSample / 8);
    format.channels = 1;
    format.blockAlign = width;
    format.byteRate = static_cast<int32_t>(static_cast<int64_t>(width) * format.sampleRate);
    plan.format = format;
    plan.steps = source->steps;
    // The release line counts the mono samples as an area of the run, besides the result.
    countArea();
    MonoState& state = stateOf<MonoState>(run);
    state.counter = overflowCounter(run.options.overflowLimit, "MONOC", "MONOC");
    return Started::kResult;
}

Started startMono(Run& run, int index, ResultPlan& plan) {
    if (index > 0) return Started::kDone;
    startState<MonoState>(run);
    return planMono(run, run.effect->variant, plan);
}

// Derives every step of the mono result by `measure`, block by block.
void flowMeasure(Run& run, int measure, ResultWriter& out) {
    const PcmSource& source = *run.first;
    const int64_t stride = source.format.blockAlign;
    const int width = source.format.bitsPerSample / 8;
    const int64_t perBlock = blockSteps(stride);
    std::vector<uint8_t> block(static_cast<size_t>(perBlock * stride));
    std::vector<uint8_t> result(static_cast<size_t>(perBlock * width));
    OverflowCounter& counter = stateOf<MonoState>(run).counter;
    const int sign = measure == kSum ? 1 : -1;
    forEachBlock(source, 0, source.steps, block.data(), perBlock, [&](const uint8_t* data, int64_t, int64_t steps) {
        const uint8_t* left = data;
        const uint8_t* right = data + width;
        switch (measure) {
        case kLeft:
        case kRight:
            if (width == 2) {
                copyChannel<2>(result.data(), measure == kLeft ? left : right, steps, stride);
            } else {
                copyChannel<1>(result.data(), measure == kLeft ? left : right, steps, stride);
            }
            break;
        default:
            if (width == 2) {
                combine16(result.data(), left, steps, stride, sign, counter);
            } else {
                combine8(result.data(), left, steps, stride, sign, counter);
            }
            break;
        }
        writeSteps(out, result.data(), steps);
    });
    reportOverflow(counter);
}

void flowMono(Run& run, int, ResultWriter& out) { flowMeasure(run, run.effect->variant, out); }

// Points the options' output name at `name` (a string that fits the name buffer).
void setDestName(Settings& options, const char* name) {
    memcpy(options.destNameBuffer, name, strlen(name) + 1);
    options.destName = options.destNameBuffer;
}

Started startSplit(Run& run, int index, ResultPlan& plan) {
    if (index > 1) return Started::kDone;
    MonoState& state = index == 0 ? startState<MonoState>(run) : stateOf<MonoState>(run);
    if (index == 0 && (!splitName(run.options.destName, "_Lch", state.names[0]) ||
                       !splitName(run.options.destName, "_Rch", state.names[1]))) {
        logFatal("E [QOR] too long filename. [%s]", run.options.destName);
    }
    // Each result is written under its own name: the destination is rewritten for each, and
    // beginResult names the file and its picture after it.
    setDestName(run.options, state.names[index]);
    state.counter = overflowCounter(run.options.overflowLimit, "MONOC", "MONOC");
    return planMono(run, index == 0 ? kLeft : kRight, plan);
}

void flowSplit(Run& run, int index, ResultWriter& out) {
    // The right channel's file, when it may not be written, is refused as the left one's is:
    // before any sample is made. (A naked result's name is only known when it begins.)
    if (index == 0 && run.options.outputMode == 1) refuseDestination(stateOf<MonoState>(run).names[1], false);
    flowMeasure(run, index == 0 ? kLeft : kRight, out);
}

}  // namespace

const Effect kLeftMonoEffect = {kNeedNothing, kLeft, startMono, flowMono, nullptr};
const Effect kRightMonoEffect = {kNeedNothing, kRight, startMono, flowMono, nullptr};
const Effect kSumMonoEffect = {kNeedNothing, kSum, startMono, flowMono, nullptr};
const Effect kDifferenceMonoEffect = {kNeedNothing, kDifference, startMono, flowMono, nullptr};
const Effect kSplitEffect = {kNeedNothing, 0, startSplit, flowSplit, nullptr};
