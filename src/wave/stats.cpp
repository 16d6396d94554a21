#include "wave/stats.h"

#include <climits>
#include <cstring>

#include "driver/buffers.h"
#include "driver/command_line.h"
#include "driver/log.h"
#include "wave/hexdump.h"

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

// One pass over the samples: extremes, running means and the first and last loud steps.
template <int BytesPerSample>
void scanSamples(PcmSource* source, int32_t threshold) {
    const int channels = source->format.channels;
    const int64_t blockAlign = source->format.blockAlign;
    for (int c = 0; c < channels; c++) {
        ChannelStats& st = source->channel[c];
        const uint8_t* p = source->data + c * BytesPerSample;
        int32_t max = st.max;
        int32_t min = st.min;
        int32_t head = st.headSilence;
        int32_t tail = st.tailSilence;
        double mean = st.mean;
        double meanAbs = st.meanAbs;
        for (int32_t s = 1; s <= source->steps; s++, p += blockAlign) {
            const int32_t value = sampleValue<BytesPerSample>(p);
            const int32_t magnitude = value < 0 ? -value : value;
            if (value < min) min = value;
            if (value > max) max = value;
            if (magnitude > threshold) {
                if (head == kNoLoudStep) head = s - 1;
                tail = s;
            }
            mean = mean + (value - mean) / s;
            meanAbs = meanAbs + (magnitude - meanAbs) / s;
        }
        st.max = max;
        st.min = min;
        st.headSilence = head;
        st.tailSilence = tail;
        st.mean = mean;
        st.meanAbs = meanAbs;
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

    if (bytesPerSample == 1) {
        scanSamples<1>(source, threshold);
    } else {
        scanSamples<2>(source, threshold);
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
