// Sources as the engine reads them: where a source's samples lie in its file, read in bounded
// blocks, and the walks that hand those blocks to a pass.
#pragma once

#include <cstdint>

#include "base/format.h"
#include "platform/platform.h"

struct ChannelStats {
    double mean;
    double meanAbs;
    int32_t headSilence;
    int32_t tailSilence;
    int32_t available;
    int32_t max;
    int32_t min;
};

// An analysed source: its format, per-channel and combined figures, and where its samples lie
// in its file, which stays open until the end of the run.
struct PcmSource {
    const char* fileName;
    int32_t steps;
    FormatInfo format;
    ChannelStats channel[2];
    int32_t headSilence;
    int32_t tailSilence;
    int32_t available;
    platform::FileHandle fd;  // the source file, open for reading
    int64_t dataOffset;  // file offset of the first sample byte; steps * blockAlign bytes follow
};

// Reads `count` steps from step `first` of the source into `out` (count * blockAlign bytes).
// Ends the run with the read error line when the file no longer holds them.
void readSteps(const PcmSource& source, int64_t first, int64_t count, uint8_t* out);

// Steps in one block of about 1 MiB, at least 1.
int64_t blockSteps(int64_t blockAlign);

// Reads `count` steps from step `first` block by block into `buffer` (perBlock steps of room) and
// hands each block to `body` with its first step number and its step count.
template <typename Body>
void forEachBlock(const PcmSource& source, int64_t first, int64_t count, uint8_t* buffer, int64_t perBlock,
                  Body body) {
    for (int64_t done = 0; done < count;) {
        const int64_t n = count - done < perBlock ? count - done : perBlock;
        readSteps(source, first + done, n, buffer);
        body(buffer, first + done, n);
        done += n;
    }
}
