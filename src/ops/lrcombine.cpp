#include "ops/lrcombine.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/buffers.h"
#include "base/options.h"
#include "base/log.h"
#include "driver/operations.h"
#include "ops/mix.h"
#include "wave/compare.h"

namespace {

struct StereoCombineState {
    Placement placement;
};

Started startStereoCombine(Run& run, int index, ResultPlan& plan) {
    if (index > 0) return Started::kDone;
    const CompareResult* comparison = compareSources(run.options, run.first, run.second);
    if (comparison == nullptr) logInternal("E [LRCOMBINE] ERROR in compare or statistics.");
    if (comparison->formatMatch == 0 || comparison->thresholdOk == 0) return Started::kNoResult;

    logLine(kLevelInfo, "- [LRCOMBINE] Start MIX. ===========================================");

    FormatInfo format = run.first->format;
    format.channels = 2;
    format.blockAlign = static_cast<int16_t>(2 * format.bitsPerSample / 8);
    // A rate near the top of the 32-bit range would overflow the product; the field keeps its
    // low 32 bits as the file would.
    format.byteRate = static_cast<int32_t>(static_cast<int64_t>(format.blockAlign) * format.sampleRate);

    StereoCombineState& state = startState<StereoCombineState>(run);
    state.placement = placeSecondSource(run.options, *comparison, "LRCOMBINE", format.blockAlign);
    // The release line counts the stereo samples as an area of the run, besides the result.
    countArea();
    plan.format = format;
    plan.steps = state.placement.total;
    return Started::kResult;
}

// Copies `steps` samples of a mono source's channel 0 (steps `inStride` bytes apart) into one
// channel of the result block. Samples are 8 or 16 bits wide.
void copyChannel(uint8_t* out, int64_t outStride, const uint8_t* in, int64_t inStride, int64_t steps, int width) {
    if (width == 2) {
        for (int64_t i = 0; i < steps; i++, out += outStride, in += inStride) {
            out[0] = in[0];
            out[1] = in[1];
        }
    } else {
        for (int64_t i = 0; i < steps; i++, out += outStride, in += inStride) out[0] = in[0];
    }
}

// Each block of the result: silence, then each source's samples in its channel where it lies.
void flowStereoCombine(Run& run, int, ResultWriter& out) {
    const Placement& p = stateOf<StereoCombineState>(run).placement;
    const int64_t outAlign = out.format.blockAlign;
    const int width = out.format.bitsPerSample / 8;
    const PcmSource* sources[2] = {run.first, run.second};
    const int64_t starts[2] = {p.start1, p.start2};
    const int64_t inAlign = std::max(run.first->format.blockAlign, run.second->format.blockAlign);
    const int64_t perBlock = blockSteps(std::max<int64_t>(outAlign, inAlign));
    std::vector<uint8_t> block(static_cast<size_t>(perBlock * outAlign));
    std::vector<uint8_t> samples(static_cast<size_t>(perBlock * inAlign));
    for (int64_t from = 0; from < p.total; from += perBlock) {
        const int64_t steps = std::min<int64_t>(perBlock, p.total - from);
        memset(block.data(), run.options.silenceFill, static_cast<size_t>(steps * outAlign));
        for (int channel = 0; channel < 2; channel++) {
            const PcmSource& source = *sources[channel];
            const Overlap part = overlapOf(starts[channel], source.steps, from, steps);
            if (part.steps == 0) continue;
            readSteps(source, part.first, part.steps, samples.data());
            copyChannel(block.data() + part.at * outAlign + channel * width, outAlign, samples.data(),
                        source.format.blockAlign, part.steps, width);
        }
        writeSteps(out, block.data(), steps);
    }
}

void stopStereoCombine(Run&, int) {
    logLine(kLevelInfo, "- [LRCOMBINE] End MIX ==============================================");
}

}  // namespace

const Effect kStereoCombineEffect = {kNeedSound, 0, startStereoCombine, flowStereoCombine, stopStereoCombine};
