#include "ops/mono.h"

#include <cstring>

#include "driver/buffers.h"
#include "driver/command_line.h"
#include "driver/log.h"
#include "ops/overflow.h"

namespace {

constexpr int kLeft = 12;
constexpr int kRight = 13;
constexpr int kSum = 14;
constexpr int kDifference = 15;

const char* measureDescription(int measure) {
    switch (measure) {
        case kLeft:
            return "get LEFT channel";
        case kRight:
            return "get RIGHT channel";
        case kSum:
            return "mix L+R channel";
        case kDifference:
            return "subtract L-R channel";
        default:
            return nullptr;
    }
}

// Copies one channel's sample of every step; kWidth is the sample size in bytes.
template <int kWidth>
void copyChannel(uint8_t* result, const uint8_t* from, int64_t steps, int64_t stride) {
    for (int64_t i = 0; i < steps; ++i, result += kWidth, from += stride) {
        memcpy(result, from, kWidth);
    }
}

// left + sign x right for 16-bit samples. The sum is not halved, so loud material clamps.
void combine16(uint8_t* result, const uint8_t* from, int64_t steps, int64_t stride, int sign) {
    OverflowCounter counter = overflowCounter("MONOC", "MONOC");
    for (int64_t i = 0; i < steps; ++i, result += 2, from += stride) {
        const int64_t d =
            static_cast<int64_t>(readInt16(from)) + sign * static_cast<int64_t>(readInt16(from + 2));
        writeInt16(result, clampSample16(d, counter));
    }
    reportOverflow(counter);
}

// The same for 8-bit samples, worked on as byte - 128 and clamped to the signed 8-bit range.
void combine8(uint8_t* result, const uint8_t* from, int64_t steps, int64_t stride, int sign) {
    OverflowCounter counter = overflowCounter("MONOC", "MONOC");
    for (int64_t i = 0; i < steps; ++i, ++result, from += stride) {
        int32_t d = (from[0] - 128) + sign * (from[1] - 128);
        if (d > 127 || d < -128) {
            countOverflow(counter);
            d = d > 0 ? 127 : -128;
        }
        *result = static_cast<uint8_t>(d + 128);
    }
    reportOverflow(counter);
}

// Points the output name at `name` (a string that fits the name buffer).
void setDestName(const char* name) {
    memcpy(settings.destNameBuffer, name, strlen(name) + 1);
    settings.destName = settings.destNameBuffer;
}

}  // namespace

int monoPass(const FormatInfo& format, uint8_t* result, const PcmSource* source, int measure) {
    const int64_t steps = source->steps;
    const int64_t stride = source->format.blockAlign;
    const int width = format.bitsPerSample / 8;
    const uint8_t* left = source->data;
    const uint8_t* right = source->data + width;
    const int sign = measure == kSum ? 1 : -1;
    switch (measure) {
        case kLeft:
        case kRight:
            if (width == 2) {
                copyChannel<2>(result, measure == kLeft ? left : right, steps, stride);
            } else {
                copyChannel<1>(result, measure == kLeft ? left : right, steps, stride);
            }
            break;
        case kSum:
        case kDifference:
            if (width == 2) {
                combine16(result, left, steps, stride, sign);
            } else {
                combine8(result, left, steps, stride, sign);
            }
            break;
        default:
            return -1;
    }
    return 0;
}

WaveImage* monoStage(PcmSource* source, int measure) {
    if (source->format.channels < 2) logFatal("E [MONO] too few channel.");
    const char* description = measureDescription(measure);
    if (description == nullptr) logFatal("E [MONO] unknown measure.");
    logLine(kLevelInfo, "- [MONO] %s.", description);

    FormatInfo format = source->format;
    const int16_t width = static_cast<int16_t>(format.bitsPerSample / 8);
    format.channels = 1;
    format.blockAlign = width;
    format.byteRate = static_cast<int32_t>(static_cast<int64_t>(width) * format.sampleRate);
    const int64_t steps = source->steps;
    uint8_t* result = allocateResult(steps, width);
    if (monoPass(format, result, source, measure) != 0) return nullptr;
    return buildWaveImage(format, static_cast<int32_t>(steps), result);
}

bool splitName(const char* name, const char* tag, char* out) {
    const size_t length = strlen(name);
    const size_t tagLength = strlen(tag);
    if (length + tagLength >= static_cast<size_t>(kNameBufferSize)) return false;
    const char* component = strrchr(name, '/');
    component = component == nullptr ? name : component + 1;
    const char* dot = strrchr(component, '.');
    const size_t at = dot == nullptr ? length : static_cast<size_t>(dot - name);
    memcpy(out, name, at);
    memcpy(out + at, tag, tagLength);
    memcpy(out + at + tagLength, name + at, length - at + 1);
    return true;
}

WaveImage* splitStage(PcmSource* source) {
    // Both names come from the output name as given, before the left file's writer may change
    // its extension.
    char leftName[kNameBufferSize];
    char rightName[kNameBufferSize];
    const bool named = settings.destName != nullptr;
    if (named && (!splitName(settings.destName, "_Lch", leftName) ||
                  !splitName(settings.destName, "_Rch", rightName))) {
        logFatal("E [QOR] too long filename. [%s]", settings.destName);
    }

    if (named) setDestName(leftName);
    WaveImage* left = monoStage(source, kLeft);
    if (left == nullptr) return nullptr;
    if (named) writeResult(left);

    if (named) setDestName(rightName);
    return monoStage(source, kRight);
}
