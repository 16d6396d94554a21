#include "ops/lrcombine.h"

#include "driver/log.h"
#include "ops/mix.h"
#include "wave/compare.h"

void copyChannel(uint8_t* buffer, int resultChannel, const PcmSource* source, int sourceChannel, int32_t start,
                 const FormatInfo& resultFormat) {
    const int64_t bytesPerSample = resultFormat.bitsPerSample / 8;
    const int64_t outStride = resultFormat.blockAlign;
    const int64_t inStride = source->format.blockAlign;
    uint8_t* out = buffer + start * outStride + resultChannel * bytesPerSample;
    const uint8_t* in = source->data + sourceChannel * bytesPerSample;
    const int64_t steps = source->steps;
    // Samples are 8 or 16 bits wide (the analysis accepts nothing else).
    if (bytesPerSample == 2) {
        for (int64_t i = 0; i < steps; i++, out += outStride, in += inStride) {
            out[0] = in[0];
            out[1] = in[1];
        }
    } else {
        for (int64_t i = 0; i < steps; i++, out += outStride, in += inStride) out[0] = in[0];
    }
}

WaveImage* stereoCombineStage(PcmSource* first, PcmSource* second, int) {
    const CompareResult* comparison = compareSources(first, second);
    if (comparison == nullptr) logInternal("E [LRCOMBINE] ERROR in compare or statistics.");
    if (comparison->formatMatch == 0 || comparison->thresholdOk == 0) return nullptr;

    logLine(kLevelInfo, "- [LRCOMBINE] Start MIX. ===========================================");

    FormatInfo format = first->format;
    format.channels = 2;
    format.blockAlign = static_cast<int16_t>(2 * format.bitsPerSample / 8);
    // A rate near the top of the 32-bit range would overflow the product; the field keeps its
    // low 32 bits as the file would.
    format.byteRate = static_cast<int32_t>(static_cast<int64_t>(format.blockAlign) * format.sampleRate);

    const Placement p = placeSecondSource(*comparison, "LRCOMBINE", format.blockAlign);
    uint8_t* buffer = allocateSilence(p.total, format.blockAlign);
    copyChannel(buffer, 0, first, 0, p.start1, format);
    copyChannel(buffer, 1, second, 0, p.start2, format);

    WaveImage* image = buildWaveImage(format, p.total, buffer);
    if (image == nullptr) return nullptr;
    logLine(kLevelInfo, "- [LRCOMBINE] End MIX ==============================================");
    return image;
}
