#include "ops/gain.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "driver/command_line.h"
#include "driver/log.h"
#include "driver/operations.h"
#include "ops/overflow.h"

namespace {

constexpr int kBoost = 4;
constexpr int kAdd = 5;
constexpr int kReverse = 6;
constexpr int kMaximize = 20;

void reportGain(int code) {
    if (code == kBoost && settings.factorMode == 1) {
        logLine(kLevelInfo, "- [B/A] BOOST %f times by floating.", settings.realFactor);
    } else if (code == kBoost && settings.integerFactor > 0) {
        logLine(kLevelInfo, "- [B/A] BOOST %d times.", settings.integerFactor);
    } else if (code == kBoost && settings.integerFactor < 0) {
        // Without /m, /M or /B the factor is still the unset marker: dividing by its magnitude
        // would silence the whole result, so the run is refused instead.
        if (settings.integerFactor == kUnset) logFatal("E [B/A] ERROR in BOOST, Multiple-Level is not set.");
        logLine(kLevelInfo, "- [B/A] BOOST 1/%d times.", -settings.integerFactor);
    } else if (code == kMaximize) {
        logLine(kLevelInfo, "- [B/A] MAXIMIZE.");
    } else if (code == kAdd) {
        logLine(kLevelInfo, "- [B/A] ADD %d.", settings.addValue);
    } else if (code == kReverse) {
        logLine(kLevelInfo, "- [B/A] REVERSE.");
    } else {
        // Not fatal here: the sample pass refuses the run at its first sample.
        logLine(kLevelInfo, "- [B/A] ERROR, unknown I_MMODE.");
    }
}

// The largest factor that keeps the loudest sample of every channel in range: full / (peak + 1).
double maximiseFactor(const PcmSource* source) {
    const int64_t full = int64_t{1} << (source->format.bitsPerSample - 1);
    int64_t hi = -full;
    int64_t lo = full;
    const int channels = std::min<int>(source->format.channels, 2);
    for (int c = 0; c < channels; ++c) {
        hi = std::max<int64_t>(hi, source->channel[c].max);
        lo = std::min<int64_t>(lo, source->channel[c].min);
    }
    const int64_t peak = std::max(hi, -lo);
    return static_cast<double>(full) / static_cast<double>(peak + 1);
}

// The rule of the run as a map of every sample value: integer rows compute the exact new value
// in 32 bits (their inputs are bounded so that nothing can wrap), then clamp and count; real rows
// count any excess over the range, even a fraction, on the double before it is truncated toward
// zero, and store a product that is not a number as 0.
template <typename Compute>
std::unique_ptr<SampleMap> integerMap(Compute compute) {
    return buildSampleMap([compute](int32_t v, int32_t& overflows) { return clampCounting(compute(v), overflows); });
}

std::unique_ptr<SampleMap> realMap(double factor) {
    return buildSampleMap([factor](int32_t v, int32_t& overflows) {
        double x = static_cast<double>(v) * factor;
        overflows += static_cast<int32_t>(x > 32767.0) | static_cast<int32_t>(x < -32768.0);
        x = x > 32767.0 ? 32767.0 : x;
        x = x < -32768.0 ? -32768.0 : x;
        return x == x ? static_cast<int32_t>(x) : 0;
    });
}

struct GainState {
    double maximiseFactor;
};

Started startGain(Run& run, int index, ResultPlan& plan) {
    if (index > 0) return Started::kDone;
    const int code = run.effect->variant;
    PcmSource* source = run.first;
    reportGain(code);
    const int bits = source->format.bitsPerSample;
    if (bits == 8) logFatal("E [B/A] ERROR in BOOST/ADD, not ready bit-rate(8).");
    if (bits != 16) logFatal("E [B/A] ERROR in BOOST/ADD, unknown bit-rate.");
    GainState& state = startState<GainState>(run);
    if (code == kMaximize) state.maximiseFactor = maximiseFactor(source);
    plan.format = source->format;
    plan.steps = source->steps;
    return Started::kResult;
}

// Rewrites every 16-bit sample of the source, in storage order, into the result.
void flowGain(Run& run, int, ResultWriter& out) {
    const int code = run.effect->variant;
    const PcmSource& source = *run.first;
    std::unique_ptr<SampleMap> map;
    const char* errorTag = "B/A16";
    if (code == kBoost && settings.factorMode == 1) {
        map = realMap(settings.realFactor);
        errorTag = "B/A16f";
    } else if (code == kBoost && settings.integerFactor > 0) {
        // Any factor from 65536 on drives every sound sample out of range, as 65536 itself does.
        const int32_t factor = std::min(settings.integerFactor, 65536);
        map = integerMap([factor](int32_t s) { return s * factor; });
    } else if (code == kBoost && settings.integerFactor < 0) {
        // Integer division truncates toward zero, as the factor's meaning (1/n) asks.
        const int64_t divisor = -static_cast<int64_t>(settings.integerFactor);
        map = integerMap([divisor](int32_t s) { return static_cast<int32_t>(s / divisor); });
    } else if (code == kReverse) {
        map = integerMap([](int32_t s) { return -s; });
    } else if (code == kAdd) {
        // Beyond +-65536 every sample is out of range already; limiting the offset there keeps
        // the sum within 32 bits without changing any result.
        const int32_t offset = std::clamp(settings.addValue, -65536, 65536);
        map = integerMap([offset](int32_t s) { return s + offset; });
    } else if (code == kMaximize && settings.factorMode == 1) {
        map = realMap(stateOf<GainState>(run).maximiseFactor);
        errorTag = "B/A16f";
    } else if (source.steps > 0) {
        logInternal("E [B/A16] LOGIC ERROR 1.");
    }
    OverflowCounter counter = overflowCounter(errorTag, "B/A16");
    streamMapped(source, out, *map, counter);
    reportOverflow(counter);
}

}  // namespace

const Effect kBoostEffect = {kNeedNothing, kBoost, startGain, flowGain, nullptr};
const Effect kAddEffect = {kNeedNothing, kAdd, startGain, flowGain, nullptr};
const Effect kReverseEffect = {kNeedNothing, kReverse, startGain, flowGain, nullptr};
const Effect kMaximizeEffect = {kNeedExtremes, kMaximize, startGain, flowGain, nullptr};
