#include "ops/mix.h"

#include <algorithm>
#include <cstring>

#include "driver/buffers.h"
#include "driver/command_line.h"
#include "driver/log.h"
#include "ops/overflow.h"

namespace {

constexpr int kCodeSubtract = 3;

}  // namespace

Placement placeSecondSource(const CompareResult& comparison, const char* tag, int64_t resultBlockAlign) {
    // 64-bit throughout: slide + /o and the positions may leave the 32-bit range, which is refused
    // below before anything is printed with them.
    int64_t offset;
    if (settings.absoluteOffset != kUnset) {
        offset = settings.absoluteOffset;
    } else {
        offset = comparison.slide;
        if (settings.relativeOffset != kUnset) {
            offset += settings.relativeOffset;
            logLine(kLevelInfo, "- [%s] Relative Offset [%d].", tag, settings.relativeOffset);
        }
    }

    const int64_t n1 = comparison.first->steps;
    const int64_t n2 = comparison.second->steps;
    const int64_t mixStart = std::min<int64_t>(offset, 0);
    const int64_t mixEnd = std::max(n1, offset + n2);
    const int64_t total = mixEnd - mixStart;
    if (!resultFits(total, resultBlockAlign)) logFatal("E [%s] too long, total length.", tag);

    // Shifting by the mix start puts the earlier of the two sources at step 0; after the check
    // every position lies in 0..total and fits in 32 bits.
    Placement p;
    p.start1 = static_cast<int32_t>(0 - mixStart);
    p.end1 = static_cast<int32_t>(n1 - mixStart);
    p.start2 = static_cast<int32_t>(offset - mixStart);
    p.end2 = static_cast<int32_t>(offset + n2 - mixStart);
    p.total = static_cast<int32_t>(total);

    logLine(kLevelInfo, "  [%s]                :    Source1      Source2          Mix", tag);
    logLine(kLevelInfo, "  [%s] Total Length   :                           %10d", tag, p.total);
    logLine(kLevelInfo, "  [%s] Start Position : %10d / %10d / %10d", tag, p.start1, p.start2, 0);
    logLine(kLevelInfo, "  [%s] End Position   : %10d / %10d / %10d", tag, p.end1, p.end2, p.total);
    return p;
}

void mixPass16(uint8_t* buffer, int64_t bufferBlockAlign, const PcmSource* second, int sign, int32_t start2) {
    const int channels = second->format.channels;
    const int64_t sourceBlockAlign = second->format.blockAlign;
    const int64_t steps = second->steps;
    OverflowCounter counter = overflowCounter("MIX16", "MIX16");
    uint8_t* out = buffer + start2 * bufferBlockAlign;
    const uint8_t* in = second->data;
    if (bufferBlockAlign == channels * 2 && sourceBlockAlign == channels * 2) {
        // Steps without padding on either side: one run of samples, in vectorisable blocks.
        constexpr int64_t kBlock = 4096;
        const int64_t total = steps * channels;
        int16_t mixed[kBlock];
        int16_t added[kBlock];
        for (int64_t at = 0; at < total; at += kBlock) {
            const int count = static_cast<int>(std::min(kBlock, total - at));
            memcpy(mixed, out + at * 2, static_cast<size_t>(count) * 2);
            memcpy(added, in + at * 2, static_cast<size_t>(count) * 2);
            int32_t overflows = 0;
            for (int i = 0; i < count; i++) {
                mixed[i] = static_cast<int16_t>(clampCounting(mixed[i] + sign * added[i], overflows));
            }
            memcpy(out + at * 2, mixed, static_cast<size_t>(count) * 2);
            addOverflows(counter, overflows);
        }
        reportOverflow(counter);
        return;
    }
    // Steps are blockAlign bytes apart in both buffers; within a step the channels' samples
    // follow one another, channel 0 first.
    for (int64_t i = 0; i < steps; i++) {
        for (int c = 0; c < channels; c++) {
            uint8_t* o = out + 2 * c;
            const int32_t d = readInt16(o) + sign * readInt16(in + 2 * c);
            writeInt16(o, clampSample16(d, counter));
        }
        out += bufferBlockAlign;
        in += sourceBlockAlign;
    }
    reportOverflow(counter);
}

WaveImage* mixStage(PcmSource* first, PcmSource* second, int code) {
    const CompareResult* comparison = compareSources(first, second);
    if (comparison == nullptr) logInternal("E [MIX] ERROR in compare or statistics.");
    if (comparison->formatMatch == 0 || comparison->thresholdOk == 0) return nullptr;

    logLine(kLevelInfo, "- [MIX] Start MIX. ===========================================");
    const int sign = code == kCodeSubtract ? -1 : 1;
    if (code == kCodeSubtract) logLine(kLevelInfo, "- [MIX] run SUBTRACT mode.");

    const int64_t blockAlign = first->format.blockAlign;
    const Placement p = placeSecondSource(*comparison, "MIX", blockAlign);

    uint8_t* buffer = first->data;
    // When source 1 spans the whole mix, source 2 is mixed into it where it lies.
    if (p.start1 == 0 && p.total == first->steps) {
        noteSharedArea();
    } else {
        buffer = allocateSilence(p.total, blockAlign);
        memcpy(buffer + p.start1 * blockAlign, first->data, static_cast<size_t>(first->steps * blockAlign));
    }

    switch (second->format.bitsPerSample) {
    case 16:
        mixPass16(buffer, blockAlign, second, sign, p.start2);
        break;
    case 8:
        logFatal("E [MIX] ERROR in MIX, not ready bit-rate(8).");
    default:
        logFatal("E [MIX] ERROR in MIX, unknown bit-rate.");
    }

    WaveImage* image = buildWaveImage(first->format, p.total, buffer);
    if (image == nullptr) return nullptr;
    logLine(kLevelInfo, "- [MIX] End MIX ==============================================");
    return image;
}
