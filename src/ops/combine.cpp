#include "ops/combine.h"

#include <cstring>

#include "driver/command_line.h"
#include "driver/log.h"

WaveImage* concatenationStage(PcmSource* first, PcmSource* second) {
    // Source 2's steps are copied into room counted in source 1's step size; files whose declared
    // step sizes differ cannot be joined without reshaping one of them.
    if (first->format.blockAlign != second->format.blockAlign) {
        logFatal("E [CHECK] not agreement source-file format.");
    }
    const int64_t blockAlign = first->format.blockAlign;
    const double rate = first->format.sampleRate;

    int64_t gap = 0;
    if (settings.lengthSteps > 0) {
        gap = settings.lengthSteps;
        logLine(kLevelInfo, "- [COMBINE] insert blank %d steps, %.3f seconds.", settings.lengthSteps,
                static_cast<double>(gap) / rate);
    }

    const int64_t n1 = first->steps;
    const int64_t n2 = second->steps;
    const int64_t total = n1 + n2 + gap;
    if (!resultFits(total, blockAlign)) logFatal("E [COMBINE] too long, total length.");
    logLine(kLevelInfo, "- [COMBINE] total %d steps, %.3f seconds.", static_cast<int32_t>(total),
            static_cast<double>(total) / rate);

    // Only the gap between the sources is silence; the rest is copied over.
    uint8_t* buffer = allocateResult(total, blockAlign);
    memcpy(buffer, first->data, static_cast<size_t>(n1 * blockAlign));
    fillSilence(buffer + n1 * blockAlign, gap, blockAlign);
    memcpy(buffer + (n1 + gap) * blockAlign, second->data, static_cast<size_t>(n2 * blockAlign));

    return buildWaveImage(first->format, static_cast<int32_t>(total), buffer);
}
