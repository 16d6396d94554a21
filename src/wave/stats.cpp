#include "wave/stats.h"

#include <algorithm>
#include <climits>
#include <limits>
#include <type_traits>
#include <cstring>

#include "driver/buffers.h"
#include "driver/command_line.h"
#include "driver/log.h"
#include "wave/hexdump.h"
#include "wave/running_mean.h"

namespace {

// While scanning, a channel's head and tail silence hold this until its first loud step.
constexpr int32_t kNoLoudStep = INT32_MIN;
// The combined head and tail silence hold this until the first channel is taken.
constexpr int32_t kNoChannelYet = INT32_MAX;

template <int BytesPerSample>
inline int32_t sampleValue(const uint8_t* p) {
    if constexpr (BytesPerSample == 1) {
        return static_cast<int32_t>(p[0]) - 128;
    } else {
        return readInt16(p);
    }
}

// One channel's samples: `steps` values, `stride` bytes apart.
template <int BytesPerSample>
struct ChannelSamples {
    const uint8_t* first;
    int64_t stride;
    int32_t steps;

    int32_t at(int64_t s) const { return sampleValue<BytesPerSample>(first + s * stride); }
};

// The extremes of one channel.
template <int BytesPerSample>
void scanExtremes(const ChannelSamples<BytesPerSample>& ch, ChannelStats& st) {
    int32_t max = st.max;
    int32_t min = st.min;
    const uint8_t* p = ch.first;
    for (int32_t s = 0; s < ch.steps; s++, p += ch.stride) {
        const int32_t value = sampleValue<BytesPerSample>(p);
        min = value < min ? value : min;
        max = value > max ? value : max;
    }
    st.max = max;
    st.min = min;
}

// The extremes together with the running means, in one pass: the means are a chain of divisions
// per channel, each waiting for the one before, and the comparisons fit into the time they wait.
template <int BytesPerSample, int Channels>
void scanExtremesAndMeans(const PcmSource* source, ChannelStats* stats) {
    int32_t max[2] = {stats[0].max, stats[Channels - 1].max};
    int32_t min[2] = {stats[0].min, stats[Channels - 1].min};
    RunningMeans means{};
    auto extremes = [&](int c, int32_t value) {
        min[c] = value < min[c] ? value : min[c];
        max[c] = value > max[c] ? value : max[c];
    };
    feedRunningMeansWith<BytesPerSample, Channels>(means, source->data, source->steps,
                                                   source->format.blockAlign, extremes);
    for (int c = 0; c < Channels; c++) {
        stats[c].max = max[c];
        stats[c].min = min[c];
        stats[c].mean = means.mean[c];
        stats[c].meanAbs = means.meanAbs[c];
    }
}

// The first and the last loud step, searched from either end: a sound usually starts and ends
// close to the ends of the file, so the searches are short.
template <int BytesPerSample>
void findSound(const ChannelSamples<BytesPerSample>& ch, int32_t threshold, ChannelStats& st) {
    auto loud = [threshold](int32_t value) { return (value < 0 ? -value : value) > threshold; };
    int32_t first = 0;
    while (first < ch.steps && !loud(ch.at(first))) first++;
    if (first == ch.steps) return;  // no loud step: both stay at the marker
    int32_t last = ch.steps - 1;
    while (!loud(ch.at(last))) last--;
    st.headSilence = first;
    st.tailSilence = last + 1;  // the 1-based index of the last loud step
}

// Extremes over a flat run of interleaved samples (steps without padding). With an even number of
// lanes, lane k always holds channel k % channels, so the lanes can be kept apart in vector
// registers and combined per channel at the end.
template <typename Sample>
void scanInterleaved(const uint8_t* data, int64_t count, int channels, ChannelStats* stats) {
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
        memcpy(x, data + v * kLanes * sizeof(Sample), sizeof x);
        for (int k = 0; k < kLanes; k++) {
            lo[k] = x[k] < lo[k] ? x[k] : lo[k];
            hi[k] = x[k] > hi[k] ? x[k] : hi[k];
        }
    }
    for (int64_t i = vectors * kLanes; i < count; i++) {
        Sample x;
        memcpy(&x, data + i * sizeof(Sample), sizeof x);
        const int k = static_cast<int>(i % kLanes);
        lo[k] = x < lo[k] ? x : lo[k];
        hi[k] = x > hi[k] ? x : hi[k];
    }
    for (int c = 0; c < channels; c++) {
        ChannelStats& st = stats[c];
        for (int k = c; k < kLanes; k += channels) {
            st.min = std::min(st.min, static_cast<int32_t>(lo[k]) - kBias);
            st.max = std::max(st.max, static_cast<int32_t>(hi[k]) - kBias);
        }
    }
}

// Extremes, silence and, with `withMeans`, the running means of every channel.
template <int BytesPerSample>
void scanSamples(PcmSource* source, int32_t threshold, bool withMeans) {
    const int channels = source->format.channels;
    if (withMeans) {
        if (channels == 1) {
            scanExtremesAndMeans<BytesPerSample, 1>(source, source->channel);
        } else {
            scanExtremesAndMeans<BytesPerSample, 2>(source, source->channel);
        }
    } else if (source->format.blockAlign == channels * BytesPerSample) {
        // Steps without padding are one flat run of samples.
        using Sample = std::conditional_t<BytesPerSample == 1, uint8_t, int16_t>;
        scanInterleaved<Sample>(source->data, static_cast<int64_t>(source->steps) * channels, channels,
                                source->channel);
    }
    for (int c = 0; c < channels; c++) {
        const ChannelSamples<BytesPerSample> ch{source->data + c * BytesPerSample, source->format.blockAlign,
                                                source->steps};
        ChannelStats& st = source->channel[c];
        if (!withMeans && source->format.blockAlign != channels * BytesPerSample) scanExtremes(ch, st);
        findSound(ch, threshold, st);
    }
}

void dumpBorder(const PcmSource* source, int32_t borderHead, int64_t dataOffset) {
    const int bytesPerSample = source->format.bitsPerSample / 8;
    const int64_t blockAlign = source->format.blockAlign;
    if (settings.operationClass == kClassInfo) {
        hexDump(source->data, source->steps * blockAlign, bytesPerSample, source->format.channels, "ALL",
                dataOffset);
        return;
    }
    // A window of 14 * m steps beginning 2 * m steps before the sound starts.
    const int64_t m = settings.integerFactor;
    if (m <= 0) return;
    const int64_t h = borderHead;
    const int64_t start = h < 2 * m ? h : h - 2 * m;
    int64_t length = 14 * m;
    if (length > source->steps - h) length = source->steps - h;
    hexDump(source->data + start * blockAlign, length * blockAlign, bytesPerSample, source->format.channels,
            "BORDER", dataOffset + start * blockAlign);
}

}  // namespace

PcmSource* analyseSource(uint8_t* data, const FormatInfo& format, int32_t steps, int reportMode,
                         int64_t dataOffset) {
    auto* source = apmallocZeroed<PcmSource>();
    if (format.channels > 2 || format.chunkSize == 0 || (format.bitsPerSample != 8 && format.bitsPerSample != 16)) {
        logFatal("E [FORMAT] unknown datatype.");
    }
    source->format = format;
    source->steps = steps;
    source->data = data;
    const int channels = format.channels;
    for (int c = 0; c < channels; c++) {
        source->channel[c].max = INT32_MIN;
        source->channel[c].min = INT32_MAX;
        source->channel[c].headSilence = kNoLoudStep;
        source->channel[c].tailSilence = kNoLoudStep;
    }
    source->headSilence = kNoChannelYet;
    source->tailSilence = kNoChannelYet;

    const int bytesPerSample = format.bitsPerSample / 8;
    if (settings.silenceThreshold < 0) settings.silenceThreshold = bytesPerSample == 1 ? 16 : 1024;
    // The threshold is held in 16 bits: a larger /t keeps only its low 16 bits.
    const int32_t threshold = static_cast<int16_t>(static_cast<uint16_t>(settings.silenceThreshold & 0xFFFF));
    if (format.bitsPerSample == 8) settings.silenceFill = 128;

    // The means are only ever printed: they are worked out only when their lines will be shown.
    const bool withMeans = reportMode != 0 && logLevelShown(kLevelInfo);
    if (bytesPerSample == 1) {
        scanSamples<1>(source, threshold, withMeans);
    } else {
        scanSamples<2>(source, threshold, withMeans);
    }

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
        if (st.headSilence == kNoLoudStep && st.tailSilence == kNoLoudStep) {
            st.headSilence = st.tailSilence = st.available = 0;
        } else {
            anyLoud = true;
            st.tailSilence = steps - st.tailSilence;
            st.available = steps - st.tailSilence - st.headSilence;
        }
        if (source->headSilence == kNoChannelYet) {
            source->headSilence = st.headSilence;
        } else if (settings.bothChannelJudge ? st.headSilence > source->headSilence
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

    if (settings.extraInfo) dumpBorder(source, borderHead, dataOffset);
    return source;
}
