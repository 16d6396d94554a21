#include "ops/mix.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/buffers.h"
#include "base/options.h"
#include "base/log.h"
#include "engine/operation.h"
#include "engine/result_writer.h"
#include "ops/overflow.h"

Placement placeSecondSource(const Settings& options, const CompareResult& comparison, const char* tag,
                            int64_t resultBlockAlign) {
    // 64-bit throughout: slide + /o and the positions may leave the 32-bit range, which is refused
    // below before anything is printed with them.
    int64_t offset;
    if (options.absoluteOffset != kUnset) {
        offset = options.absoluteOffset;
    } else {
        offset = comparison.slide;
        if (options.relativeOffset != kUnset) {
            offset += options.relativeOffset;
            logLine(kLevelInfo, "- [%s] Relative Offset [%d].", tag, options.relativeOffset);
        }
    }

    const int64_t n1 = comparison.first->steps;
    const int64_t n2 = comparison.second->steps;
    const int64_t mixStart = std::min<int64_t>(offset, 0);
    const int64_t mixEnd = std::max(n1, offset + n2);
    const int64_t total = mixEnd - mixStart;
    if (!resultFits(total, resultBlockAlign)) fail(Fatal::kTooLongTotal, tag);

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

namespace {

// Adds sign * source 2's samples to a 16-bit result block, clamping and counting overflows.
void mixBlock16(uint8_t* out, int64_t outBlockAlign, const uint8_t* in, int64_t inBlockAlign, int64_t steps,
                int channels, int sign, OverflowCounter& counter) {
    if (outBlockAlign == channels * 2 && inBlockAlign == channels * 2) {
        // Steps without padding on either side: one run of samples, in vectorisable blocks.
        constexpr int64_t kBlock = 4096;
        const int64_t total = steps * channels;
        int16_t mixed[kBlock];
        int16_t added[kBlock];
        for (int64_t at = 0; at < total; at += kBlock) {
            const int count = static_cast<int>(std::min(kBlock, total - at));
            readInt16s(mixed, out + at * 2, count);
            readInt16s(added, in + at * 2, count);
            int32_t overflows = 0;
            for (int i = 0; i < count; i++) {
                mixed[i] = static_cast<int16_t>(clampCounting(mixed[i] + sign * added[i], overflows));
            }
            writeInt16s(out + at * 2, mixed, count);
            addOverflows(counter, overflows);
        }
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
        out += outBlockAlign;
        in += inBlockAlign;
    }
}

class Mix : public Operation {
  public:
    explicit Mix(MixSign sign) : sign_(sign == MixSign::kSubtract ? -1 : 1) {}

    bool open(Run& run) override {
        const CompareResult* comparison = compareSources(run.options, run.state, run.first, run.second);
        if (comparison == nullptr) fail(Fatal::kNoComparison, "MIX");
        if (comparison->formatMatch == 0 || comparison->thresholdOk == 0) return false;
        logLine(kLevelInfo, "- [MIX] Start MIX. ===========================================");
        if (sign_ < 0) logLine(kLevelInfo, "- [MIX] run SUBTRACT mode.");
        placement_ = placeSecondSource(run.options, *comparison, "MIX", run.first->format.blockAlign);
        // The release line counts the mixed samples as an area of the run, besides the result.
        countArea();
        switch (run.second->format.bitsPerSample) {
        case 16:
            break;
        case 8:
            fail(Fatal::kMix8Bit);
        default:
            fail(Fatal::kMixUnknownBits);
        }
        return true;
    }

    void plan(Run& run, int, ResultPlan& plan) override {
        plan.format = run.first->format;
        plan.steps = placement_.total;
    }

    // Each block of the result: silence, source 1 where it lies, then source 2 added in.
    void flow(Run& run, int, ResultWriter& out) override {
        const PcmSource& first = *run.first;
        const PcmSource& second = *run.second;
        const int64_t outAlign = first.format.blockAlign;
        const int64_t inAlign = second.format.blockAlign;
        const int64_t perBlock = blockSteps(std::max(outAlign, inAlign));
        std::vector<uint8_t> block(static_cast<size_t>(perBlock * outAlign));
        std::vector<uint8_t> added(static_cast<size_t>(perBlock * inAlign));
        OverflowCounter counter = overflowCounter(run.options.overflowLimit, "MIX16", "MIX16");
        const PlacedSource sources[2] = {{&first, placement_.start1}, {&second, placement_.start2}};
        forEachPlacedBlock(sources, placement_.total, perBlock, [&](int64_t, int64_t steps, const Overlap* parts) {
            const Overlap& one = parts[0];
            const Overlap& two = parts[1];
            if (one.steps < steps) memset(block.data(), run.state.silenceFill, static_cast<size_t>(steps * outAlign));
            if (one.steps > 0) readSteps(first, one.first, one.steps, block.data() + one.at * outAlign);
            if (two.steps > 0) {
                readSteps(second, two.first, two.steps, added.data());
                mixBlock16(block.data() + two.at * outAlign, outAlign, added.data(), inAlign, two.steps,
                           second.format.channels, sign_, counter);
            }
            writeSteps(out, block.data(), steps);
        });
        reportOverflow(counter);
    }

    void stop(Run&, int) override {
        logLine(kLevelInfo, "- [MIX] End MIX ==============================================");
    }

  private:
    int sign_;
    Placement placement_{};
};

}  // namespace

std::unique_ptr<Operation> makeMix(MixSign sign) { return std::make_unique<Mix>(sign); }
