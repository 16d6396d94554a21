#include "convert/sb8convert.h"

#include "driver/log.h"
#include "wave/format.h"

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
    for (int64_t k = 0; k < steps; k++) {
        const uint8_t* step = source->data + k * stride;
        for (int c = 0; c < channels; c++) {
            int32_t t = readInt16(step + c * 2) + 128;
            if (t > 32767) t = 32767;
            // Division truncates toward zero, so the zero level spans -383..127.
            *out++ = static_cast<uint8_t>(t / 256 + 128);
        }
    }
    return buildWaveImage(format, source->steps, source->data);
}
