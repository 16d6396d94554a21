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

// A tracked buffer for the samples of a result, steps * blockAlign bytes with undefined contents.
// Room for the header is kept in front of it, so the result image is built around the samples
// without copying them. The caller has checked resultFits.
uint8_t* allocateResult(int64_t steps, int64_t blockAlign);
// The same, every byte set to the silence fill byte.
uint8_t* allocateSilence(int64_t steps, int64_t blockAlign);
// Sets `steps` steps at `at` to silence (the silence fill byte).
void fillSilence(uint8_t* at, int64_t steps, int64_t blockAlign);
// Declares the kWaveHeaderSize bytes before `samples` free for the result header: an operation
// that rewrites a source in place returns an image built where the source's own header was.
void offerHeaderRoom(uint8_t* samples);

// The result image of `steps` steps of `samples`: built in place when header room was kept or
// offered in front of the samples, otherwise in a new buffer with the samples copied.
WaveImage* buildWaveImage(const FormatInfo& format, int32_t steps, const uint8_t* samples);
int writeResult(WaveImage* image);
int writeRiffFile(WaveImage* image);
int writeNakedPcm(WaveImage* image);
// Switches 8-bit samples between unsigned (silence 128) and signed (silence 0), in place.
void switchSign8(uint8_t* bytes, int64_t length);
