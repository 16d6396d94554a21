#include "convert/convert.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "convert/lofi.h"
#include "base/buffers.h"
#include "base/options.h"
#include "base/log.h"
#include "engine/operation.h"
#include "engine/result_writer.h"
#include "base/format.h"

namespace {

// Each output step is the mean of its window of source steps; a window that covers no step (the
// last one, when the division came out whole) is silence.
template <int Channels>
void convertWindows(const PcmSource& source, double ratio, int32_t silenceFill, ResultWriter& out);

class Convert : public Operation {
  public:
    void plan(Run& run, int, ResultPlan& plan) override {
    const PcmSource* source = run.first;
    const int32_t target = run.options.outputRate;
    if (target <= 0) fail(Fatal::kConvertRateUnset);

    // One output step spans `ratio` source steps; windows read the untouched source.
    const double ratio = static_cast<double>(source->format.sampleRate) / static_cast<double>(target);
    const double windowCount = static_cast<double>(source->steps) / ratio;
    // Checked in double first: a rate of zero or below gives no usable count at all.
    if (!(windowCount >= 0.0 && windowCount < static_cast<double>(INT32_MAX))) {
        fail(Fatal::kTooLongTotal, "CONVERT");
    }
    const int64_t windows = static_cast<int64_t>(windowCount) + 1;
    const int64_t blockAlign = source->format.blockAlign;
    if (!resultFits(windows, blockAlign)) fail(Fatal::kTooLongTotal, "CONVERT");

    ratio_ = ratio;
    // The release line counts the converted samples as an area of the run, besides the result.
    countArea();
    FormatInfo format = source->format;
    format.sampleRate = target;
    format.byteRate = static_cast<int32_t>(blockAlign * target);
    plan.format = format;
    plan.steps = windows;
    }

    void flow(Run& run, int, ResultWriter& out) override {
        if (run.first->format.channels == 1) {
            convertWindows<1>(*run.first, ratio_, run.state.silenceFill, out);
        } else {
            convertWindows<2>(*run.first, ratio_, run.state.silenceFill, out);
        }
    }

  private:
    double ratio_ = 0.0;
};

template <int Channels>
void convertWindows(const PcmSource& source, double ratio, int32_t silenceFill, ResultWriter& out) {
    const int64_t blockAlign = source.format.blockAlign;
    const double end = static_cast<double>(source.steps);
    SlidingSteps window = slidingSteps(source, ratio);
    // Padding bytes of a step hold the silence fill.
    GatheredSteps result(out, blockAlign, static_cast<uint8_t>(silenceFill));
    for (int64_t i = 0; i < out.steps; i++) {
        const double a = static_cast<double>(i) * ratio;
        const double b = std::min(a + ratio, end);
        MeanLanes means = {0, 0};
        if (a < b) {
            const int64_t last = std::min<int64_t>(static_cast<int64_t>(b), source.steps - 1);
            slideTo(window, static_cast<int64_t>(a), last);
            means = wholeMeans(windowQuotients<Channels>(window, a, b));
        }
        writeMeans<Channels>(result.next(), means);
        result.add();
    }
    result.flush();
}

}  // namespace

std::unique_ptr<Operation> makeConvert() { return std::make_unique<Convert>(); }
