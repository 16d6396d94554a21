#include "wave/stats.h"


#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>
#include <thread>
#include <type_traits>
#include <vector>

#include "bitmap/waveform.h"
#include "base/buffers.h"
#include "base/options.h"
#include "base/log.h"
#include "wave/chain_beside.h"
#include "wave/hexdump.h"
#include "wave/running_mean.h"

namespace {

// While scanning, a channel's head and tail silence hold this until its first loud step.
constexpr int32_t kNoLoudStep = INT32_MIN;
// The combined head and tail silence hold this until the first channel is taken.
constexpr int32_t kNoChannelYet = INT32_MAX;

inline int32_t sampleOfWidth(const uint8_t* p, int bytesPerSample) {
    return bytesPerSample == 1 ? sampleValue<1>(p) : sampleValue<2>(p);
}

// What the pass over the samples gathers: each channel's extremes, and the sums behind the means
// when they are printed.
struct Totals {
    int32_t max[2] = {INT32_MIN, INT32_MIN};
    int32_t min[2] = {INT32_MAX, INT32_MAX};
    MeanSums sums;
};

// `count` samples as they lie in the file: bytes, or 16-bit values in the host's order.
inline void readSamples(uint8_t* values, const uint8_t* p, int64_t count) {
    memcpy(values, p, static_cast<size_t>(count));
}
inline void readSamples(int16_t* values, const uint8_t* p, int64_t count) { readInt16s(values, p, count); }

// Extremes over a flat run of interleaved samples (steps without padding). With an even number of
// lanes, lane k always holds channel k % channels, so the lanes can be kept apart in vector
// registers and combined per channel at the end.
template <typename Sample>
void scanInterleaved(const uint8_t* data, int64_t count, int channels, Totals& totals) {
    constexpr int kLanes = 32;
    constexpr int32_t kBias = sizeof(Sample) == 1 ? 128 : 0;
    Sample lo[kLanes];
    Sample hi[kLanes];
    for (int k = 0; k < kLanes; k++) {
        lo[k] = std::numeric_limits<Sample>::max();
        hi[k] = std::numeric_limits<Sample>::min();
    }
    const int64_t vectors = count / kLanes;
    for (int64_t v = 0; v < vectors; v++) {
        Sample x[kLanes];
        readSamples(x, data + v * kLanes * sizeof(Sample), kLanes);
        for (int k = 0; k < kLanes; k++) {
            lo[k] = x[k] < lo[k] ? x[k] : lo[k];
            hi[k] = x[k] > hi[k] ? x[k] : hi[k];
        }
    }
    for (int64_t i = vectors * kLanes; i < count; i++) {
        Sample x;
        readSamples(&x, data + i * sizeof(Sample), 1);
        const int k = static_cast<int>(i % kLanes);
        lo[k] = x < lo[k] ? x : lo[k];
        hi[k] = x > hi[k] ? x : hi[k];
    }
    // The block starts on a step, so lane k holds channel k % channels.
    for (int c = 0; c < channels; c++) {
        for (int k = c; k < kLanes; k += channels) {
            totals.min[c] = std::min(totals.min[c], static_cast<int32_t>(lo[k]) - kBias);
            totals.max[c] = std::max(totals.max[c], static_cast<int32_t>(hi[k]) - kBias);
        }
    }
}

// Extremes over steps that carry padding, one channel at a time.
template <int BytesPerSample>
void scanPadded(const uint8_t* data, int64_t steps, int channels, int64_t blockAlign, Totals& totals) {
    for (int c = 0; c < channels; c++) {
        const uint8_t* p = data + c * BytesPerSample;
        for (int64_t s = 0; s < steps; s++, p += blockAlign) {
            const int32_t value = sampleValue<BytesPerSample>(p);
            totals.min[c] = value < totals.min[c] ? value : totals.min[c];
            totals.max[c] = value > totals.max[c] ? value : totals.max[c];
        }
    }
}

template <int BytesPerSample>
void scanBlock(const uint8_t* data, int64_t steps, const FormatInfo& format, Totals& totals) {
    const int channels = format.channels;
    if (format.blockAlign != channels * BytesPerSample) {
        scanPadded<BytesPerSample>(data, steps, channels, format.blockAlign, totals);
    } else {
        using Sample = std::conditional_t<BytesPerSample == 1, uint8_t, int16_t>;
        scanInterleaved<Sample>(data, steps * channels, channels, totals);
    }
}

void scanExtremes(const uint8_t* data, int64_t steps, const FormatInfo& format, bool withMeans, Totals& totals) {
    if (withMeans) {
        // The sums' pass keeps the extremes as well.
        feedMeanSums(totals.sums, data, steps, format.channels, format.bitsPerSample / 8, format.blockAlign);
    } else if (format.bitsPerSample == 8) {
        scanBlock<1>(data, steps, format, totals);
    } else {
        scanBlock<2>(data, steps, format, totals);
    }
}

// Where each channel's sound starts and ends: the first loud step (0-based) and one past the
// last, or kNoLoudStep for a channel with no loud step.
struct SoundBounds {
    int32_t first[2] = {kNoLoudStep, kNoLoudStep};
    int32_t end[2] = {kNoLoudStep, kNoLoudStep};
};

inline bool isLoud(int32_t value, int32_t threshold) { return (value < 0 ? -value : value) > threshold; }

// Looks for channel c's first loud step in a block whose first step is `base`.
void findFirstLoud(const uint8_t* data, int64_t steps, int64_t base, const FormatInfo& format, int32_t threshold,
                   int c, SoundBounds& bounds) {
    const int bytes = format.bitsPerSample / 8;
    const uint8_t* p = data + c * bytes;
    for (int64_t s = 0; s < steps; s++, p += format.blockAlign) {
        if (isLoud(sampleOfWidth(p, bytes), threshold)) {
            bounds.first[c] = static_cast<int32_t>(base + s);
            return;
        }
    }
}

// Looks for channel c's last loud step in a block, from its end; returns true when found.
bool findLastLoud(const uint8_t* data, int64_t steps, int64_t base, const FormatInfo& format, int32_t threshold,
                  int c, SoundBounds& bounds) {
    const int bytes = format.bitsPerSample / 8;
    for (int64_t s = steps - 1; s >= 0; s--) {
        if (isLoud(sampleOfWidth(data + s * format.blockAlign + c * bytes, bytes), threshold)) {
            bounds.end[c] = static_cast<int32_t>(base + s + 1);
            return true;
        }
    }
    return false;
}

// Where the chains may run beside the pass over the samples, rather than after it.
enum class BesideStart {
    kNever,         // in a second pass, when the sums leave a mean open
    kAtOnce,        // beside the whole pass
    kIfLikelyOpen,  // beside the rest of the pass, when its first part shows a mean likely open
};

// A second pass costs about what the read costs, and below 8 MiB of samples (about 2 ms from
// the page cache; 48 s of 16-bit stereo at 44.1 kHz) that is too little to be worth a thread.
constexpr int64_t kBesideFromBytes = int64_t{1} << 23;

BesideStart besideStart(const PcmSource& source) {
    if (meansAudit != nullptr && meansAudit->chains != MeansAudit::Chains::kAsChosen) {
        return meansAudit->chains == MeansAudit::Chains::kBeside ? BesideStart::kAtOnce : BesideStart::kNever;
    }
    // On one processor the thread would only take turns with the pass.
    if (static_cast<int64_t>(source.steps) * source.format.blockAlign < kBesideFromBytes ||
        std::thread::hardware_concurrency() <= 1) {
        return BesideStart::kNever;
    }
    return BesideStart::kIfLikelyOpen;
}

// Whether the sums are more likely than not to leave a magnitude mean of the whole source open,
// judged from the steps read so far. The chain's bound (settledMean) grows with the length times
// the level: for a magnitude mean its main term, from the sum of the partial sums A_s, is about
// 2u N L, with L the mean magnitude, and the text is left open when the exact mean lies within
// the bound of an edge of its digits (0.001 apart), which it does with a chance of about 4000 u N
// L. L is taken from the steps so far. A chain started where it is not needed is stopped at the
// end of the pass, but its work is taken from whatever else shares the processors, so it is
// started only when it is more often needed than not. (A value mean whose exact value is 0 or on
// an edge is left open too, at any length: that the first steps cannot tell, and such a source
// has its second pass.)
bool likelyOpen(const MeanSums& sums, int64_t totalSteps, int channels) {
    if (sums.steps == 0) return false;
    double allSettled = 1.0;
    for (int c = 0; c < channels; c++) {
        const double level = static_cast<double>(sums.sumAbs[c]) / static_cast<double>(sums.steps);
        allSettled *= 1.0 - std::min(1.0, 4000 * 0x1p-53 * static_cast<double>(totalSteps) * level);
    }
    return allSettled < 0.5;
}

// One pass over every step: extremes (and the sums behind the means when they are printed), the
// sound's bounds, and the picture when one is drawn. `judged`, when given, is started once the
// first sixteenth of the steps shows its chains likely to be needed.
void scanWhole(const PcmSource& source, int32_t threshold, bool withMeans, Totals& totals, SoundBounds& bounds,
               WavePicture* picture, ChainBeside* judged) {
    const FormatInfo& format = source.format;
    const int channels = format.channels;
    const int64_t judgeAt = std::max<int64_t>(1, source.steps / 16);
    forEachBlock(source, 0, source.steps, [&](const uint8_t* data, int64_t base, int64_t steps) {
        scanExtremes(data, steps, format, withMeans, totals);
        for (int c = 0; c < channels; c++) {
            if (bounds.first[c] == kNoLoudStep) findFirstLoud(data, steps, base, format, threshold, c, bounds);
            // A later block's loud step replaces this one's: only a block with sound is searched.
            if (bounds.first[c] != kNoLoudStep) findLastLoud(data, steps, base, format, threshold, c, bounds);
        }
        if (picture != nullptr) feedPicture(*picture, data, steps);
        if (judged != nullptr && base + steps >= judgeAt) {
            if (likelyOpen(totals.sums, source.steps, channels)) judged->start();
            judged = nullptr;
        }
    });
    if (withMeans) {
        for (int c = 0; c < channels; c++) {
            totals.max[c] = totals.sums.max[c];
            totals.min[c] = totals.sums.min[c];
        }
    }
}

// The printed means: those the sums settle come from them; the others from their running chains,
// taken from the thread beside the read when it ran, or else worked out in a second pass over the
// samples, only when some figure needs it.
void settleMeans(const PcmSource& source, const MeanSums& sums, ChainBeside& beside, double mean[2],
                 double meanAbs[2]) {
    const FormatInfo& format = source.format;
    const int channels = format.channels;
    const bool chainOnly = meansAudit != nullptr && meansAudit->chainOnly;
    bool settled[2][2] = {};
    bool needChain = false;
    for (int c = 0; c < channels; c++) {
        settled[c][0] = !chainOnly && settledMean(sums, c, false, &mean[c]);
        settled[c][1] = !chainOnly && settledMean(sums, c, true, &meanAbs[c]);
        for (const bool done : settled[c]) {
            needChain = needChain || !done;
            if (meansAudit != nullptr) (done ? meansAudit->fromSums : meansAudit->fromChain)++;
        }
    }
    if (!needChain) {
        if (meansAudit != nullptr && beside.started()) meansAudit->stoppedUnused++;
        beside.stop();
        return;
    }
    RunningMeans chain{};
    if (beside.finish(chain)) {
        if (meansAudit != nullptr) meansAudit->besideRead++;
    } else {
        if (meansAudit != nullptr) meansAudit->secondPass++;
        chain = RunningMeans{};
        forEachBlock(source, 0, source.steps, [&](const uint8_t* data, int64_t, int64_t steps) {
            feedRunningMeans(chain, data, steps, channels, format.bitsPerSample / 8, format.blockAlign);
        });
    }
    for (int c = 0; c < channels; c++) {
        if (!settled[c][0]) mean[c] = chain.mean[c];
        if (!settled[c][1]) meanAbs[c] = chain.meanAbs[c];
    }
}

// The sound's bounds alone, searched from either end: a sound usually starts and ends close to
// the ends of the file, so both searches are short.
void scanSound(const PcmSource& source, int32_t threshold, SoundBounds& bounds) {
    const FormatInfo& format = source.format;
    const int channels = format.channels;
    forEachBlock(source, 0, source.steps, [&](const uint8_t* data, int64_t base, int64_t steps) {
        bool all = true;
        for (int c = 0; c < channels; c++) {
            if (bounds.first[c] == kNoLoudStep) findFirstLoud(data, steps, base, format, threshold, c, bounds);
            all = all && bounds.first[c] != kNoLoudStep;
        }
        return !all;
    });
    bool pending[2] = {bounds.first[0] != kNoLoudStep, channels > 1 && bounds.first[1] != kNoLoudStep};
    if (!pending[0] && !pending[1]) return;
    forEachBlockBackward(source, 0, source.steps, [&](const uint8_t* data, int64_t base, int64_t steps) {
        for (int c = 0; c < channels; c++) {
            if (pending[c] && findLastLoud(data, steps, base, format, threshold, c, bounds)) pending[c] = false;
        }
        return pending[0] || pending[1];
    });
}

void dumpAll(const PcmSource& source) {
    const FormatInfo& format = source.format;
    const int bytes = format.bitsPerSample / 8;
    const int64_t total = source.steps * static_cast<int64_t>(format.blockAlign);
    // An even number of steps per block keeps every block starting on a sample.
    const int64_t perBlock = (blockSteps(format.blockAlign) + 1) & ~int64_t{1};
    HexDumpCursor cursor = hexDumpBegin(bytes, format.channels, "ALL", total);
    forEachBlock(
        source, 0, source.steps,
        [&](const uint8_t* data, int64_t base, int64_t steps) {
            hexDumpRows(cursor, data, steps * format.blockAlign, source.dataOffset + base * format.blockAlign);
        },
        perBlock);
    hexDumpEnd(cursor);
}

void dumpBorder(const Settings& options, const PcmSource& source, int32_t borderHead) {
    const int bytesPerSample = source.format.bitsPerSample / 8;
    const int64_t blockAlign = source.format.blockAlign;
    if (options.operationClass == kClassInfo) {
        dumpAll(source);
        return;
    }
    // A window of 14 * m steps beginning 2 * m steps before the sound starts.
    const int64_t m = options.integerFactor;
    if (m <= 0) return;
    const int64_t h = borderHead;
    const int64_t start = h < 2 * m ? h : h - 2 * m;
    int64_t length = 14 * m;
    if (length > source.steps - h) length = source.steps - h;
    if (length < 1) return;
    // The window lies within the data: start <= h and start + length <= steps.
    const int64_t count = std::min<int64_t>(length, source.steps - start);
    std::vector<uint8_t> window(static_cast<size_t>(count * blockAlign));
    readSteps(source, start, count, window.data());
    hexDump(window.data(), length * blockAlign, bytesPerSample, source.format.channels, "BORDER",
            source.dataOffset + start * blockAlign);
}

}  // namespace

MeansAudit* meansAudit = nullptr;

void analyseSource(const Settings& options, RunState& state, PcmSource* source, int reportMode, unsigned needs,
                   WavePicture* picture) {
    const FormatInfo& format = source->format;
    if (format.channels > 2 || format.chunkSize == 0 || (format.bitsPerSample != 8 && format.bitsPerSample != 16)) {
        fail(Fatal::kUnknownDatatype);
    }
    const int32_t steps = source->steps;
    const int channels = format.channels;
    const int bytesPerSample = format.bitsPerSample / 8;
    // The first source settles the threshold for the run: /t, or its default. A second source is
    // judged by it; compare and vcompress read it.
    if (!state.thresholdSettled) {
        state.silenceThreshold = options.silenceThreshold >= 0 ? options.silenceThreshold : bytesPerSample == 1 ? 16 : 1024;
        state.thresholdSettled = true;
    }
    // The threshold is held in 16 bits: a larger /t keeps only its low 16 bits.
    const int32_t threshold = static_cast<int16_t>(static_cast<uint16_t>(state.silenceThreshold & 0xFFFF));
    // The silence that writeSilence, mix, lrcombine and convert put in results from now on.
    if (format.bitsPerSample == 8) state.silenceFill = 128;

    // The border dump needs the start of the sound.
    if (options.extraInfo) needs |= kNeedSound;
    Totals totals;
    SoundBounds bounds;
    double mean[2] = {};
    double meanAbs[2] = {};
    if ((needs & kNeedExtremes) != 0 || picture != nullptr) {
        // The means are only ever printed: they are worked out only when their lines will be shown.
        const bool withMeans = reportMode != 0 && logLevelShown(kLevelInfo);
        // Where the sums may leave a mean open, its chain runs beside this pass rather than after it.
        ChainBeside beside(*source);
        const BesideStart start = withMeans ? besideStart(*source) : BesideStart::kNever;
        if (start == BesideStart::kAtOnce) beside.start();
        scanWhole(*source, threshold, withMeans, totals, bounds, picture,
                  start == BesideStart::kIfLikelyOpen ? &beside : nullptr);
        if (withMeans) settleMeans(*source, totals.sums, beside, mean, meanAbs);
        source->analysed = kNeedSound | kNeedExtremes;
    } else if ((needs & kNeedSound) != 0) {
        scanSound(*source, threshold, bounds);
        source->analysed = kNeedSound;
    }

    source->headSilence = kNoChannelYet;
    source->tailSilence = kNoChannelYet;
    if (reportMode) {
        logLine(kLevelInfo, "- [STAT  ] statistics -----------------------------");
        logLine(kLevelInfo, "  [STAT/S] Threshold : %d (0x%04X)", threshold, threshold);
    }
    const char* maxLabel = bytesPerSample == 1 ? "  +127" : "+32767";
    const char* minLabel = bytesPerSample == 1 ? "  -128" : "-32768";
    bool anyLoud = false;
    int32_t borderHead = INT32_MAX;
    for (int c = 0; c < channels; c++) {
        ChannelStats& st = source->channel[c];
        st.max = totals.max[c];
        st.min = totals.min[c];
        st.mean = mean[c];
        st.meanAbs = meanAbs[c];
        if (bounds.first[c] == kNoLoudStep) {
            st.headSilence = st.tailSilence = st.available = 0;
        } else {
            anyLoud = true;
            st.headSilence = bounds.first[c];
            st.tailSilence = steps - bounds.end[c];
            st.available = steps - st.tailSilence - st.headSilence;
        }
        if (source->headSilence == kNoChannelYet) {
            source->headSilence = st.headSilence;
        } else if (options.bothChannelJudge ? st.headSilence > source->headSilence
                                            : st.headSilence < source->headSilence) {
            source->headSilence = st.headSilence;
        }
        if (st.tailSilence < source->tailSilence) source->tailSilence = st.tailSilence;
        source->available = steps - source->tailSilence - source->headSilence;
        if (reportMode) {
            logLine(kLevelInfo, "  [STAT/%d] Max         : %+9d /%s", c, st.max, maxLabel);
            logLine(kLevelInfo, "  [STAT/%d] Min         : %+9d /%s", c, st.min, minLabel);
            logLine(kLevelInfo, "  [STAT/%d] Avg/Total   : %+13.3f", c, st.mean);
            logLine(kLevelInfo, "  [STAT/%d] Avg/Abs     : %13.3f", c, st.meanAbs);
            if (st.available > 0) logLine(kLevelInfo, "  [STAT/%d] HeadSilence : %9d steps", c, st.headSilence);
            logLine(kLevelInfo, "  [STAT/%d] Available   : %9d steps / %d steps", c, st.available, steps);
            if (st.available > 0) logLine(kLevelInfo, "  [STAT/%d] TailSilence : %9d steps", c, st.tailSilence);
        }
        if (st.headSilence < borderHead) borderHead = st.headSilence;
    }
    // A threshold above everything in the source leaves nothing available.
    if (!anyLoud) source->available = 0;

    if (options.extraInfo) dumpBorder(options, *source, borderHead);
}

const PcmSource& analysed(const PcmSource& source, unsigned needs) {
    if ((source.analysed & needs) != needs) fail(Fatal::kNotAnalysed);
    return source;
}
