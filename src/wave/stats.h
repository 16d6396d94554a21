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

// Analyses `steps` (at least 1) steps of samples starting at `data`, which lies `dataOffset`
// bytes into the source file. reportMode 1 prints the statistics. The caller has checked that
// steps * blockAlign bytes are present and that a step holds every channel's sample.
PcmSource* analyseSource(uint8_t* data, const FormatInfo& format, int32_t steps, int reportMode,
                         int64_t dataOffset);
