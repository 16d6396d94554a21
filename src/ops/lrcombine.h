// Stereo combine: two mono sources become the left and right channels.
#pragma once

#include <cstdint>

#include "wave/format.h"
#include "wave/output.h"
#include "wave/stats.h"

WaveImage* stereoCombineStage(PcmSource* first, PcmSource* second, int code);

// Copies every step of `source`'s channel `sourceChannel` into channel `resultChannel` of a
// result buffer laid out as `resultFormat`, starting at result step `start`.
void copyChannel(uint8_t* buffer, int resultChannel, const PcmSource* source, int sourceChannel, int32_t start,
                 const FormatInfo& resultFormat);
