#include "convert/vcompress.h"

#include <cstdlib>

#include "base/options.h"
#include "base/log.h"
#include "engine/operation.h"
#include "ops/overflow.h"
#include "base/format.h"

namespace {

// Truncates toward zero, holding values far outside the 16-bit range just outside it so the
// clamp still sees them (and never converts a value no integer can hold).
inline int64_t truncateForClamp(double value) {
    if (value >= 32768.0) return 32768;
    if (value <= -32769.0) return -32769;
    return static_cast<int64_t>(value);
}

class Vcompress : public Operation {
  public:
    void plan(Run& run, int, ResultPlan& plan) override {
        const PcmSource* source = run.first;
        if (source->format.bitsPerSample == 8) fail(Fatal::kVcompress8Bit);
        logLine(kLevelInfo, "- [VCOMPRESS] threshold level %d , rate %5.2f.", run.state.silenceThreshold,
                run.options.realFactor);
        plan.format = source->format;
        plan.steps = source->steps;
    }

    void flow(Run& run, int, ResultWriter& out) override {
        const int32_t threshold = run.state.silenceThreshold;
        const double rate = run.options.realFactor;
        OverflowCounter overflow = overflowCounter(run.options.overflowLimit, "VCOMPRESS", "VCOMPRESS");
        const auto map = buildSampleMap([threshold, rate](int32_t sample, int32_t& overflows) -> int32_t {
            const int32_t magnitude = std::abs(sample);
            if (magnitude < threshold) return sample;
            // At the threshold itself the curve passes through T whatever the rate (an infinite
            // rate would otherwise make 0 x rate undefined).
            const int64_t above = static_cast<int64_t>(magnitude) - threshold;
            double level = above == 0 ? static_cast<double>(threshold)
                                      : static_cast<double>(threshold) + static_cast<double>(above) * rate;
            if (level > 32767.0) {
                overflows = 1;
                level = 32767.0;
            }
            const double sign = sample > 0 ? 1.0 : -1.0;
            // A negative rate can drive the level far below zero: clamp rather than wrap.
            const int64_t value = truncateForClamp(sign * level);
            if (value > 32767 || value < -32768) overflows = 1;
            return value > 32767 ? 32767 : (value < -32768 ? -32768 : static_cast<int32_t>(value));
        });
        streamMapped(*run.first, out, *map, overflow);
        reportOverflow(overflow);
    }
};

}  // namespace

std::unique_ptr<Operation> makeVcompress() { return std::make_unique<Vcompress>(); }
