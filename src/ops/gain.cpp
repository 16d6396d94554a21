#include "ops/gain.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "base/options.h"
#include "base/log.h"
#include "base/target_clones.h"
#include "engine/operation.h"
#include "ops/overflow.h"

namespace {

using enum GainRule;

void reportGain(const Settings& options, GainRule rule) {
    if (rule == kBoost && options.factorMode == 1) {
        logLine(kLevelInfo, "- [B/A] BOOST %f times by floating.", options.realFactor);
    } else if (rule == kBoost && options.integerFactor > 0) {
        logLine(kLevelInfo, "- [B/A] BOOST %d times.", options.integerFactor);
    } else if (rule == kBoost && options.integerFactor < 0) {
        // Without /m, /M or /B the factor is still the unset marker: dividing by its magnitude
        // would silence the whole result, so the run is refused instead.
        if (options.integerFactor == kUnset) fail(Fatal::kBoostFactorUnset);
        logLine(kLevelInfo, "- [B/A] BOOST 1/%d times.", -options.integerFactor);
    } else if (rule == kMaximize) {
        logLine(kLevelInfo, "- [B/A] MAXIMIZE.");
    } else if (rule == kAdd) {
        logLine(kLevelInfo, "- [B/A] ADD %d.", options.addValue);
    } else if (rule == kReverse) {
        logLine(kLevelInfo, "- [B/A] REVERSE.");
    } else {
        // Not fatal here: the sample pass refuses the run at its first sample.
        logLine(kLevelInfo, "- [B/A] ERROR, unknown I_MMODE.");
    }
}

// The largest factor that keeps the loudest sample of every channel in range: full / (peak + 1).
double maximiseFactor(const PcmSource& source) {
    const int64_t full = int64_t{1} << (source.format.bitsPerSample - 1);
    int64_t hi = -full;
    int64_t lo = full;
    const int channels = std::min<int>(source.format.channels, 2);
    for (int c = 0; c < channels; ++c) {
        hi = std::max<int64_t>(hi, source.channel[c].max);
        lo = std::min<int64_t>(lo, source.channel[c].min);
    }
    const int64_t peak = std::max(hi, -lo);
    return static_cast<double>(full) / static_cast<double>(peak + 1);
}

// Integer rows compute the exact new value in 32 bits (their inputs are bounded so that nothing
// can wrap), then clamp and count. Real rows count any excess over the range, even a fraction, on
// the double before it is truncated toward zero, and store a product that is not a number as 0.
template <typename Compute>
auto integerRule(Compute compute) {
    return [compute](int32_t v, int32_t& overflows) { return clampCounting(compute(v), overflows); };
}

// One run of samples through the real rule with a finite factor. The product is monotonic in the
// sample, so the samples that overflow are those outside [lowest, highest], worked out once from
// the rule itself: counting them is a comparison of 16-bit values. Built twice where the loader can
// choose (base/target_clones.h): the same values either way.
QOR_AVX2_CLONES int32_t scaleRun(int16_t* values, int64_t count, double factor, int16_t lowest,
                                 int16_t highest) {
    int32_t overflows = 0;
    for (int64_t i = 0; i < count; i++) {
        const int16_t v = values[i];
        overflows += static_cast<int32_t>(v < lowest) | static_cast<int32_t>(v > highest);
        double x = static_cast<double>(v) * factor;
        x = x > 32767.0 ? 32767.0 : x;
        x = x < -32768.0 ? -32768.0 : x;
        values[i] = static_cast<int16_t>(static_cast<int32_t>(x));
    }
    return overflows;
}

auto realRule(double factor) {
    return [factor](int32_t v, int32_t& overflows) {
        double x = static_cast<double>(v) * factor;
        overflows += static_cast<int32_t>(x > 32767.0) | static_cast<int32_t>(x < -32768.0);
        x = x > 32767.0 ? 32767.0 : x;
        x = x < -32768.0 ? -32768.0 : x;
        return x == x ? static_cast<int32_t>(x) : 0;
    };
}

// Scales every sample by a real factor. A factor that is not finite makes a product that is not a
// number for silence; those runs look values up instead.
void streamScaled(const PcmSource& source, ResultWriter& out, OverflowCounter& counter, double factor) {
    const auto rule = realRule(factor);
    if (!std::isfinite(factor)) {
        streamMapped(source, out, *buildSampleMap(rule), counter);
        return;
    }
    // The samples in range form one interval, [first, last]; with none in range, every one counts.
    int32_t first = 32768;
    int32_t last = -32769;
    for (int32_t v = -32768; v <= 32767; v++) {
        int32_t overflows = 0;
        rule(v, overflows);
        if (overflows == 0) {
            first = std::min(first, v);
            last = v;
        }
    }
    const auto lowest = static_cast<int16_t>(first > 32767 ? 32767 : first);
    const auto highest = static_cast<int16_t>(first > 32767 ? -32768 : last);
    streamComputed(source, out, counter, rule, [factor, lowest, highest](int16_t* values, int64_t count) {
        return scaleRun(values, count, factor, lowest, highest);
    });
}

class Gain : public Operation {
  public:
    explicit Gain(GainRule rule) : rule_(rule) {}

    void plan(Run& run, int, ResultPlan& plan) override {
        const PcmSource* source = run.first;
        reportGain(run.options, rule_);
        const int bits = source->format.bitsPerSample;
        if (bits == 8) fail(Fatal::kBoost8Bit);
        if (bits != 16) fail(Fatal::kBoostUnknownBits);
        if (rule_ == kMaximize) maximiseFactor_ = maximiseFactor(analysed(*source, kNeedExtremes));
        plan.format = source->format;
        plan.steps = source->steps;
    }

    // Rewrites every 16-bit sample of the source, in storage order, into the result.
    void flow(Run& run, int, ResultWriter& out) override {
        const PcmSource& source = *run.first;
        const Settings& options = run.options;
        OverflowCounter integerCounter = overflowCounter(options.overflowLimit, "B/A16", "B/A16");
        OverflowCounter realCounter = overflowCounter(options.overflowLimit, "B/A16f", "B/A16");
        OverflowCounter* counter = &integerCounter;
        if (rule_ == kBoost && options.factorMode == 1) {
            counter = &realCounter;
            streamScaled(source, out, realCounter, options.realFactor);
        } else if (rule_ == kBoost && options.integerFactor > 0) {
            // Any factor from 65536 on drives every sound sample out of range, as 65536 itself does.
            const int32_t factor = std::min(options.integerFactor, 65536);
            streamComputed(source, out, integerCounter, integerRule([factor](int32_t s) { return s * factor; }));
        } else if (rule_ == kBoost && options.integerFactor < 0) {
            // Integer division truncates toward zero, as the factor's meaning (1/n) asks. A division
            // costs more than looking the value up.
            const int64_t divisor = -static_cast<int64_t>(options.integerFactor);
            const auto map =
                buildSampleMap(integerRule([divisor](int32_t s) { return static_cast<int32_t>(s / divisor); }));
            streamMapped(source, out, *map, integerCounter);
        } else if (rule_ == kReverse) {
            streamComputed(source, out, integerCounter, integerRule([](int32_t s) { return -s; }));
        } else if (rule_ == kAdd) {
            // Beyond +-65536 every sample is out of range already; limiting the offset there keeps
            // the sum within 32 bits without changing any result.
            const int32_t offset = std::clamp(options.addValue, -65536, 65536);
            streamComputed(source, out, integerCounter, integerRule([offset](int32_t s) { return s + offset; }));
        } else if (rule_ == kMaximize && options.factorMode == 1) {
            counter = &realCounter;
            streamScaled(source, out, realCounter, maximiseFactor_);
        } else {
            fail(Fatal::kUnknownGainRule);
        }
        reportOverflow(*counter);
    }

  private:
    GainRule rule_;
    double maximiseFactor_ = 0.0;
};

}  // namespace

std::unique_ptr<Operation> makeGain(GainRule rule) { return std::make_unique<Gain>(rule); }
