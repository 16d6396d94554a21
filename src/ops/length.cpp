#include "ops/length.h"

#include <cstdint>
#include <cstring>
#include <algorithm>
#include <vector>

#include "base/buffers.h"
#include "base/options.h"
#include "base/log.h"
#include "driver/operations.h"

namespace {

// The magnitude of the /L length, in 64 bits so that the unset marker has one.
int64_t lengthMagnitude(const Settings& options) {
    const int64_t length = options.lengthSteps;
    return length < 0 ? -length : length;
}

double seconds(int64_t steps, const PcmSource* source) {
    return static_cast<double>(steps) / static_cast<double>(source->format.sampleRate);
}

int64_t blockAlignOf(const PcmSource* source) { return source->format.blockAlign; }

// Reverses the order of the steps in place, each step kept whole. The block size is a template
// argument for the usual sizes so that each exchange is a fixed move.
template <int kBlock>
void reverseSteps(uint8_t* data, int64_t steps, int64_t block) {
    const int64_t size = kBlock > 0 ? kBlock : block;
    uint8_t held[kBlock > 0 ? kBlock : 65536];
    uint8_t* low = data;
    uint8_t* high = data + (steps - 1) * size;
    for (; low < high; low += size, high -= size) {
        memcpy(held, low, static_cast<size_t>(size));
        memcpy(low, high, static_cast<size_t>(size));
        memcpy(high, held, static_cast<size_t>(size));
    }
}

void reverseBlock(uint8_t* data, int64_t steps, int64_t block) {
    switch (block) {
    case 1:
        reverseSteps<1>(data, steps, block);
        break;
    case 2:
        reverseSteps<2>(data, steps, block);
        break;
    case 4:
        reverseSteps<4>(data, steps, block);
        break;
    default:
        reverseSteps<0>(data, steps, block);
        break;
    }
}

// The steps of the source that the result keeps, and where the silence goes.
struct LengthState {
    int64_t first;    // first source step kept
    int64_t count;    // source steps kept
    int64_t silence;  // silent steps inserted
    bool silenceFirst;
};

Started planKept(Run& run, int64_t first, int64_t count, int64_t silence, bool silenceFirst, ResultPlan& plan) {
    LengthState& state = startState<LengthState>(run);
    state.first = first;
    state.count = count;
    state.silence = silence;
    state.silenceFirst = silenceFirst;
    // The release line counts the kept steps as an area of the run, besides the result.
    countArea();
    plan.format = run.first->format;
    plan.steps = count + silence;
    return Started::kResult;
}

// Copies the kept steps (and the silence) to the result, block by block.
void flowKept(Run& run, int, ResultWriter& out) {
    const LengthState& state = stateOf<LengthState>(run);
    const PcmSource& source = *run.first;
    if (state.silenceFirst) writeSilence(out, state.silence);
    copySteps(out, source, state.first, state.count);
    if (!state.silenceFirst) writeSilence(out, state.silence);
}

Started startHead(Run& run, int index, ResultPlan& plan) {
    if (index > 0) return Started::kDone;
    const PcmSource* source = run.first;
    const int64_t length = run.options.lengthSteps;
    if (length == 0) logFatal("E [HEAD] length must over 1 or under -1.");
    const int64_t count = lengthMagnitude(run.options);
    const int64_t steps = source->steps;
    if (count > steps) logFatal("E [HEAD] too long, pickup length.");
    logLine(kLevelInfo, "- [HEAD] pickup %d steps, %.3f seconds.", static_cast<int32_t>(count),
            seconds(count, source));
    return planKept(run, length > 0 ? 0 : steps - count, count, 0, false, plan);
}

Started startCut(Run& run, int index, ResultPlan& plan) {
    if (index > 0) return Started::kDone;
    const PcmSource* source = run.first;
    const int64_t length = run.options.lengthSteps;
    const int64_t count = lengthMagnitude(run.options);
    const int64_t steps = source->steps;
    // At least one step must remain.
    if (count >= steps) logFatal("E [CUT] too long, cutting length.");
    logLine(kLevelInfo, "- [CUT] cut %d steps, %.3f seconds.", static_cast<int32_t>(count), seconds(count, source));
    // A positive length removes the head, a negative one the tail.
    return planKept(run, length > 0 ? length : 0, steps - count, 0, false, plan);
}

Started startInsertSilence(Run& run, int index, ResultPlan& plan) {
    if (index > 0) return Started::kDone;
    const PcmSource* source = run.first;
    const int64_t length = run.options.lengthSteps;
    if (length == kUnset) logFatal("E [INSERTSILENT] length is not set, use /L.");
    const int64_t steps = source->steps;
    const int64_t count = lengthMagnitude(run.options);
    // A positive length must leave the source longer than the silence; a negative one of any
    // size is accepted as long as the result can be held.
    if (length >= steps || !resultFits(count + steps, blockAlignOf(source))) {
        logFatal("E [INSERTSILENT] too long, cutting length.");
    }
    logLine(kLevelInfo, "- [INSERTSILENT] insert silent %d steps, %.3f seconds.", static_cast<int32_t>(count),
            seconds(count, source));
    // Silence first when the length is positive, the source first otherwise.
    return planKept(run, 0, steps, count, length > 0, plan);
}

Started startBackward(Run& run, int index, ResultPlan& plan) {
    if (index > 0) return Started::kDone;
    logLine(kLevelInfo, "- [BACKWORD] Backword wave.");
    return planKept(run, 0, run.first->steps, 0, false, plan);
}

// The source's blocks from the last to the first, each with its steps reversed.
void flowBackward(Run& run, int, ResultWriter& out) {
    const PcmSource& source = *run.first;
    const int64_t block = blockAlignOf(&source);
    const int64_t perBlock = blockSteps(block);
    std::vector<uint8_t> buffer(static_cast<size_t>(perBlock * block));
    for (int64_t end = source.steps; end > 0;) {
        const int64_t first = std::max<int64_t>(0, end - perBlock);
        const int64_t steps = end - first;
        readSteps(source, first, steps, buffer.data());
        reverseBlock(buffer.data(), steps, block);
        writeSteps(out, buffer.data(), steps);
        end = first;
    }
}

}  // namespace

const Effect kHeadEffect = {kNeedNothing, 0, startHead, flowKept, nullptr};
const Effect kCutEffect = {kNeedNothing, 0, startCut, flowKept, nullptr};
const Effect kInsertSilenceEffect = {kNeedNothing, 0, startInsertSilence, flowKept, nullptr};
const Effect kBackwardEffect = {kNeedNothing, 0, startBackward, flowBackward, nullptr};
