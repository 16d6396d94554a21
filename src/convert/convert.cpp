#include "convert/convert.h"

#include <algorithm>
#include <climits>

#include "convert/lofi.h"
#include "driver/command_line.h"
#include "driver/log.h"
#include "wave/format.h"

WaveImage* convertStage(PcmSource* source) {
    const int32_t target = settings.outputRate;
    if (target <= 0) logFatal("E [CONVERT] frequency not set, use /f.");

    // One output step spans `ratio` source steps; windows read the untouched source.
    const double ratio = static_cast<double>(source->format.sampleRate) / static_cast<double>(target);
    const double end = static_cast<double>(source->steps);
    const double windowCount = end / ratio;
    // Checked in double first: a rate of zero or below gives no usable count at all.
    if (!(windowCount >= 0.0 && windowCount < static_cast<double>(INT32_MAX))) {
        logFatal("E [CONVERT] too long, total length.");
    }
    const int64_t windows = static_cast<int64_t>(windowCount) + 1;
    const int64_t blockAlign = source->format.blockAlign;
    if (!resultFits(windows, blockAlign)) logFatal("E [CONVERT] too long, total length.");

    uint8_t* out = allocateSilence(windows, blockAlign);
    const int channels = source->format.channels;
    for (int64_t i = 0; i < windows; i++) {
        const double a = static_cast<double>(i) * ratio;
        const double b = std::min(a + ratio, end);
        uint8_t* step = out + i * blockAlign;
        int32_t means[2];
        windowMeans(*source, a, b, means);
        for (int c = 0; c < channels; c++) writeInt16(step + c * 2, means[c]);
    }

    FormatInfo format = source->format;
    format.sampleRate = target;
    format.byteRate = static_cast<int32_t>(blockAlign * target);
    return buildWaveImage(format, static_cast<int32_t>(windows), out);
}
