#include "ops/lrcombine.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/buffers.h"
#include "base/options.h"
#include "base/log.h"
#include "engine/operation.h"
#include "engine/result_writer.h"
#include "ops/mix.h"
#include "wave/compare.h"

namespace {

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

class StereoCombine : public Operation {
  public:
    bool open(Run& run) override {
        const CompareResult* comparison = compareSources(run.options, run.state, run.first, run.second);
        if (comparison == nullptr) fail(Fatal::kNoComparison, "LRCOMBINE");
        if (comparison->formatMatch == 0 || comparison->thresholdOk == 0) return false;
        logLine(kLevelInfo, "- [LRCOMBINE] Start MIX. ===========================================");
        format_ = run.first->format;
        format_.channels = 2;
        format_.blockAlign = static_cast<int16_t>(2 * format_.bitsPerSample / 8);
        // A rate near the top of the 32-bit range would overflow the product; the field keeps its
        // low 32 bits as the file would.
        format_.byteRate = static_cast<int32_t>(static_cast<int64_t>(format_.blockAlign) * format_.sampleRate);
        placement_ = placeSecondSource(run.options, *comparison, "LRCOMBINE", format_.blockAlign);
        // The release line counts the stereo samples as an area of the run, besides the result.
        countArea();
        return true;
    }

    void plan(Run&, int, ResultPlan& plan) override {
        plan.format = format_;
        plan.steps = placement_.total;
    }

    // Each block of the result: silence, then each source's samples in its channel where it lies.
    void flow(Run& run, int, ResultWriter& out) override {
        const int64_t outAlign = format_.blockAlign;
        const int width = format_.bitsPerSample / 8;
        const PlacedSource sources[2] = {{run.first, placement_.start1}, {run.second, placement_.start2}};
        const int64_t inAlign = std::max(run.first->format.blockAlign, run.second->format.blockAlign);
        const int64_t perBlock = blockSteps(std::max<int64_t>(outAlign, inAlign));
        std::vector<uint8_t> block(static_cast<size_t>(perBlock * outAlign));
        std::vector<uint8_t> samples(static_cast<size_t>(perBlock * inAlign));
        forEachPlacedBlock(sources, placement_.total, perBlock, [&](int64_t, int64_t steps, const Overlap* parts) {
            memset(block.data(), run.state.silenceFill, static_cast<size_t>(steps * outAlign));
            for (int channel = 0; channel < 2; channel++) {
                const PcmSource& source = *sources[channel].source;
                const Overlap& part = parts[channel];
                if (part.steps == 0) continue;
                readSteps(source, part.first, part.steps, samples.data());
                copyChannel(block.data() + part.at * outAlign + channel * width, outAlign, samples.data(),
                            source.format.blockAlign, part.steps, width);
            }
            writeSteps(out, block.data(), steps);
        });
    }

    void stop(Run&, int) override {
        logLine(kLevelInfo, "- [LRCOMBINE] End MIX ==============================================");
    }

  private:
    FormatInfo format_{};
    Placement placement_{};
};

}  // namespace

std::unique_ptr<Operation> makeStereoCombine() { return std::make_unique<StereoCombine>(); }
