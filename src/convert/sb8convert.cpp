#include "convert/sb8convert.h"

#include <algorithm>
#include <cstring>

#include "driver/log.h"
#include "wave/format.h"

namespace {

inline uint8_t toUnsigned8(int32_t sample) {
    int32_t t = sample + 128;
    if (t > 32767) t = 32767;
    // Division truncates toward zero, so the zero level spans -383..127.
    return static_cast<uint8_t>(t / 256 + 128);
}

}  // namespace

WaveImage* simpleConvert8Stage(PcmSource* source) {
    logLine(kLevelInfo, "- [SIMPLECONVERT] convert to 8bit.");
    FormatInfo& format = source->format;
    const int64_t stride = format.blockAlign;
    const int channels = format.channels;
    format.bitsPerSample = 8;
    format.blockAlign = static_cast<int16_t>(channels);
    // Held in 32 bits like every header field.
    format.byteRate = static_cast<int32_t>(static_cast<int64_t>(format.blockAlign) * format.sampleRate);

    // Byte i is written over the start of the buffer only after 16-bit sample i has been read,
    // so the reading position always stays ahead of the writing one.
    const int64_t steps = source->steps;
    uint8_t* out = source->data;
    if (stride == channels * 2) {
        // Steps without padding: blocks of samples are read out before any byte of theirs is
        // written, in loops the compiler vectorises.
        constexpr int64_t kBlock = 4096;
        const int64_t total = steps * channels;
        int16_t samples[kBlock];
        uint8_t bytes[kBlock];
        for (int64_t at = 0; at < total; at += kBlock) {
            const int64_t count = std::min(kBlock, total - at);
            memcpy(samples, source->data + at * 2, static_cast<size_t>(count) * 2);
            for (int64_t i = 0; i < count; i++) bytes[i] = toUnsigned8(samples[i]);
            memcpy(out + at, bytes, static_cast<size_t>(count));
        }
        return buildWaveImage(format, source->steps, source->data);
    }
    for (int64_t k = 0; k < steps; k++) {
        const uint8_t* step = source->data + k * stride;
        for (int c = 0; c < channels; c++) *out++ = toUnsigned8(readInt16(step + c * 2));
    }
    return buildWaveImage(format, source->steps, source->data);
}
