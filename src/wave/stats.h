// Channel statistics and silence detection of one data chunk.
#pragma once

#include <cstdint>

#include "wave/format.h"

struct ChannelStats {
    double mean;
    double meanAbs;
    int32_t headSilence;
    int32_t tailSilence;
    int32_t available;
    int32_t max;
    int32_t min;
};

// An analysed source: its format, per-channel and combined figures, and where its samples lie.
struct PcmSource {
    const char* fileName;
    int32_t steps;
    FormatInfo format;
    ChannelStats channel[2];
    int32_t headSilence;
    int32_t tailSilence;
    int32_t available;
    uint8_t* data;       // first sample byte, inside image; steps * blockAlign bytes follow
    uint8_t* image;      // the whole loaded file
    int64_t imageSize;   // bytes in image
};
