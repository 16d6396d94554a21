#include "wave/output.h"

#include <climits>
#include <cstring>

#include "driver/buffers.h"
#include "driver/command_line.h"

bool resultFits(int64_t steps, int64_t blockAlign) {
    if (steps < 0 || steps > INT32_MAX || blockAlign < 0 || blockAlign > INT32_MAX) return false;
    return steps * blockAlign <= static_cast<int64_t>(INT32_MAX) - kWaveHeaderSize;
}

uint8_t* allocateSilence(int64_t steps, int64_t blockAlign) {
    size_t bytes = static_cast<size_t>(steps * blockAlign);
    auto* buffer = static_cast<uint8_t*>(apmalloc(bytes));
    memset(buffer, settings.silenceFill, bytes);
    return buffer;
}

// Not built yet.
WaveImage* buildWaveImage(const FormatInfo&, int32_t, const uint8_t*) { return nullptr; }
int writeResult(WaveImage*) { return 0; }
