#include "ops/combine.h"

#include <vector>

#include "base/buffers.h"
#include "base/options.h"
#include "base/log.h"
#include "engine/operation.h"
#include "engine/result_writer.h"

namespace {

class Concatenation : public Operation {
  public:
    void plan(Run& run, int, ResultPlan& plan) override {
        const PcmSource* first = run.first;
        const PcmSource* second = run.second;
        // Source 2's steps are copied into room counted in source 1's step size; files whose
        // declared step sizes differ cannot be joined without reshaping one of them.
        if (first->format.blockAlign != second->format.blockAlign) {
            fail(Fatal::kFormatsDisagree);
        }
        const int64_t blockAlign = first->format.blockAlign;
        const double rate = first->format.sampleRate;
        if (run.options.lengthSteps > 0) {
            gap_ = run.options.lengthSteps;
            logLine(kLevelInfo, "- [COMBINE] insert blank %d steps, %.3f seconds.", run.options.lengthSteps,
                    static_cast<double>(gap_) / rate);
        }
        const int64_t total = static_cast<int64_t>(first->steps) + second->steps + gap_;
        if (!resultFits(total, blockAlign)) fail(Fatal::kTooLongTotal, "COMBINE");
        logLine(kLevelInfo, "- [COMBINE] total %d steps, %.3f seconds.", static_cast<int32_t>(total),
                static_cast<double>(total) / rate);
        // The release line counts the joined samples as an area of the run, besides the result.
        countArea();
        plan.format = first->format;
        plan.steps = total;
    }

    // Source 1, the silent gap, source 2: copied block by block.
    void flow(Run& run, int, ResultWriter& out) override {
        copySteps(out, *run.first, 0, run.first->steps);
        writeSilence(out, gap_);
        copySteps(out, *run.second, 0, run.second->steps);
    }

  private:
    int64_t gap_ = 0;
};

}  // namespace

std::unique_ptr<Operation> makeConcatenation() { return std::make_unique<Concatenation>(); }
