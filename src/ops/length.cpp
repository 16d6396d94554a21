#include "ops/length.h"

#include <cstdint>
#include <cstring>

#include "driver/buffers.h"
#include "driver/command_line.h"
#include "driver/log.h"

namespace {

// The magnitude of the /L length, in 64 bits so that the unset marker has one.
int64_t lengthMagnitude() {
    const int64_t length = settings.lengthSteps;
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

// The result of head and cut is a run of the source's own steps: its image is built around
// them, the bytes before the run taking the header when they are the source's and not kept.
WaveImage* keepSteps(PcmSource* source, int64_t first, int64_t count) {
    // The kept steps stand for the buffer they would otherwise be copied to.
    noteSharedArea();
    uint8_t* samples = source->data + first * source->format.blockAlign;
    if (samples - source->data >= kWaveHeaderSize) offerHeaderRoom(samples);
    return buildWaveImage(source->format, static_cast<int32_t>(count), samples);
}

}  // namespace

WaveImage* headStage(PcmSource* source) {
    const int64_t length = settings.lengthSteps;
    if (length == 0) logFatal("E [HEAD] length must over 1 or under -1.");
    const int64_t count = lengthMagnitude();
    const int64_t steps = source->steps;
    if (count > steps) logFatal("E [HEAD] too long, pickup length.");
    logLine(kLevelInfo, "- [HEAD] pickup %d steps, %.3f seconds.", static_cast<int32_t>(count),
            seconds(count, source));

    return keepSteps(source, length > 0 ? 0 : steps - count, count);
}

WaveImage* cutStage(PcmSource* source) {
    const int64_t length = settings.lengthSteps;
    const int64_t count = lengthMagnitude();
    const int64_t steps = source->steps;
    // At least one step must remain.
    if (count >= steps) logFatal("E [CUT] too long, cutting length.");
    logLine(kLevelInfo, "- [CUT] cut %d steps, %.3f seconds.", static_cast<int32_t>(count),
            seconds(count, source));

    // A positive length removes the head, a negative one the tail.
    return keepSteps(source, length > 0 ? length : 0, steps - count);
}

WaveImage* insertSilenceStage(PcmSource* source) {
    const int64_t length = settings.lengthSteps;
    if (length == kUnset) logFatal("E [INSERTSILENT] length is not set, use /L.");
    const int64_t steps = source->steps;
    const int64_t count = lengthMagnitude();
    const int64_t block = blockAlignOf(source);
    // A positive length must leave the source longer than the silence; a negative one of any
    // size is accepted as long as the result can be held.
    if (length >= steps || !resultFits(count + steps, block)) {
        logFatal("E [INSERTSILENT] too long, cutting length.");
    }
    logLine(kLevelInfo, "- [INSERTSILENT] insert silent %d steps, %.3f seconds.", static_cast<int32_t>(count),
            seconds(count, source));

    uint8_t* result = allocateResult(count + steps, block);
    // Silence first when the length is positive, the source first otherwise.
    const int64_t at = length > 0 ? length : 0;
    memcpy(result + at * block, source->data, static_cast<size_t>(steps * block));
    fillSilence(length > 0 ? result : result + steps * block, count, block);
    return buildWaveImage(source->format, static_cast<int32_t>(count + steps), result);
}

WaveImage* backwardStage(PcmSource* source) {
    logLine(kLevelInfo, "- [BACKWORD] Backword wave.");
    const int64_t steps = source->steps;
    const int64_t block = blockAlignOf(source);
    // The steps are reversed where they lie (the source is not read again), in the place of a
    // buffer of their own.
    noteSharedArea();
    if (steps > 0) {
        switch (block) {
            case 1:
                reverseSteps<1>(source->data, steps, block);
                break;
            case 2:
                reverseSteps<2>(source->data, steps, block);
                break;
            case 4:
                reverseSteps<4>(source->data, steps, block);
                break;
            default:
                reverseSteps<0>(source->data, steps, block);
                break;
        }
    }
    return buildWaveImage(source->format, static_cast<int32_t>(steps), source->data);
}
