// Result images and the two output writers.
#pragma once

#include <cstdint>

#include "wave/format.h"

// A complete canonical RIFF/WAVE file in memory: a 44-byte header, then the samples.
using WaveImage = uint8_t;
inline constexpr int kWaveHeaderSize = 44;

// True when a result of `steps` steps of `blockAlign` bytes can be held: the step count and
// the whole file (data + 44 bytes) stay within the signed 32-bit range.
bool resultFits(int64_t steps, int64_t blockAlign);

// A tracked buffer of steps * blockAlign bytes, every byte set to the silence fill byte.
// The caller has checked resultFits.
uint8_t* allocateSilence(int64_t steps, int64_t blockAlign);

WaveImage* buildWaveImage(const FormatInfo& format, int32_t steps, const uint8_t* samples);
int writeResult(WaveImage* image);
int writeRiffFile(WaveImage* image);
int writeNakedPcm(WaveImage* image);
// Switches 8-bit samples between unsigned (silence 128) and signed (silence 0), in place.
void switchSign8(uint8_t* bytes, int64_t length);
