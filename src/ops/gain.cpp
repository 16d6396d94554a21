#include "ops/gain.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "driver/command_line.h"
#include "driver/log.h"
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

// Integer rows: `compute` gives the exact new value in 32 bits (its inputs are bounded so that
// nothing can wrap); the clamp and count follow.
template <typename Compute>
void integerPass(const SampleLayout& layout, Compute compute) {
    OverflowCounter counter = overflowCounter("B/A16", "B/A16");
    rewriteSamples(layout, counter,
                   [compute](int32_t v, int32_t& overflows) { return clampCounting(compute(v), overflows); });
    reportOverflow(counter);
}

// Real rows: any excess over the range counts, even a fraction, so the check is made on the
// double before it is truncated toward zero. A product that is not a number is stored as 0.
void realPass(const SampleLayout& layout, double factor) {
    OverflowCounter counter = overflowCounter("B/A16f", "B/A16");
    rewriteSamples(layout, counter, [factor](int32_t v, int32_t& overflows) {
        double x = static_cast<double>(v) * factor;
        overflows += static_cast<int32_t>(x > 32767.0) | static_cast<int32_t>(x < -32768.0);
        x = x > 32767.0 ? 32767.0 : x;
        x = x < -32768.0 ? -32768.0 : x;
        return x == x ? static_cast<int32_t>(x) : 0;
    });
    reportOverflow(counter);
}

// Rewrites every 16-bit sample of the source in place, in storage order.
int gainPass16(PcmSource* source, int code) {
    const FormatInfo& format = source->format;
    const SampleLayout data{source->data, source->steps, format.channels, format.blockAlign};

    if (code == kMaximize) settings.realFactor = maximiseFactor(source);

    if (code == kBoost && settings.factorMode == 1) {
        realPass(data, settings.realFactor);
    } else if (code == kBoost && settings.integerFactor > 0) {
        // Any factor from 65536 on drives every sound sample out of range, as 65536 itself does.
        const int32_t factor = std::min(settings.integerFactor, 65536);
        integerPass(data, [factor](int32_t s) { return s * factor; });
    } else if (code == kBoost && settings.integerFactor < 0) {
        // Integer division truncates toward zero, as the factor's meaning (1/n) asks.
        const int64_t divisor = -static_cast<int64_t>(settings.integerFactor);
        integerPass(data, [divisor](int32_t s) { return static_cast<int32_t>(s / divisor); });
    } else if (code == kReverse) {
        integerPass(data, [](int32_t s) { return -s; });
    } else if (code == kAdd) {
        // Beyond +-65536 every sample is out of range already; limiting the offset there keeps
        // the sum within 32 bits without changing any result.
        const int32_t offset = std::clamp(settings.addValue, -65536, 65536);
        integerPass(data, [offset](int32_t s) { return s + offset; });
    } else if (code == kMaximize && settings.factorMode == 1) {
        realPass(data, settings.realFactor);
    } else if (data.steps > 0) {
        logInternal("E [B/A16] LOGIC ERROR 1.");
    }
    return 0;
}

}  // namespace

WaveImage* gainStage(PcmSource* source, int code) {
    reportGain(code);
    const int bits = source->format.bitsPerSample;
    if (bits == 8) logFatal("E [B/A] ERROR in BOOST/ADD, not ready bit-rate(8).");
    if (bits != 16) logFatal("E [B/A] ERROR in BOOST/ADD, unknown bit-rate.");
    gainPass16(source, code);
    return buildWaveImage(source->format, source->steps, source->data);
}
