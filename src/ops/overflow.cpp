#include "ops/overflow.h"

#include "driver/log.h"
#include "driver/operations.h"

#include <vector>

void countOverflow(OverflowCounter& counter) {
    counter.count++;
    if (counter.count > counter.limit) {
        logFatal("E [%s] too many OverFlow (%d times), Aborted.", counter.errorTag, counter.count);
    }
}

void reportOverflow(const OverflowCounter& counter) {
    if (counter.count > 0) {
        logLine(kLevelWarning, "W [%s] found OverFlow, %d time(s).", counter.warningTag, counter.count);
    }
}

void addOverflows(OverflowCounter& counter, int64_t overflows) {
    if (counter.count + overflows > counter.limit) {
        counter.count = counter.limit;
        countOverflow(counter);
    }
    counter.count += static_cast<int32_t>(overflows);
}

void applySampleMap(const SampleMap& map, const SampleLayout& layout, OverflowCounter& counter) {
    constexpr int64_t kBlock = 4096;
    if (layout.stride == layout.channels * 2) {
        // Steps without padding are one run of samples, counted block by block.
        const int64_t total = layout.steps * layout.channels;
        for (int64_t at = 0; at < total; at += kBlock) {
            const int64_t count = std::min(kBlock, total - at);
            uint8_t* p = layout.data + at * 2;
            int32_t overflows = 0;
            for (int64_t i = 0; i < count; i++, p += 2) {
                const int32_t index = readInt16(p) + 32768;
                writeInt16(p, map.mapped[index]);
                overflows += map.overflowed[index];
            }
            addOverflows(counter, overflows);
        }
        return;
    }
    uint8_t* step = layout.data;
    for (int64_t s = 0; s < layout.steps; ++s, step += layout.stride) {
        uint8_t* p = step;
        for (int64_t c = 0; c < layout.channels; ++c, p += 2) {
            const int32_t index = readInt16(p) + 32768;
            writeInt16(p, map.mapped[index]);
            addOverflows(counter, map.overflowed[index]);
        }
    }
}

void streamMapped(const PcmSource& source, ResultWriter& out, const SampleMap& map, OverflowCounter& counter) {
    const FormatInfo& format = source.format;
    const int64_t perBlock = blockSteps(format.blockAlign);
    std::vector<uint8_t> block(static_cast<size_t>(perBlock * format.blockAlign));
    forEachBlock(source, 0, source.steps, block.data(), perBlock, [&](uint8_t* data, int64_t, int64_t steps) {
        applySampleMap(map, SampleLayout{data, steps, format.channels, format.blockAlign}, counter);
        writeSteps(out, data, steps);
    });
}
