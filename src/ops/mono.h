// Mono derivation from a stereo source, and the stereo split.
#pragma once

#include <cstdint>

#include "wave/output.h"
#include "wave/stats.h"

// measure 12 left, 13 right, 14 left + right, 15 left - right.
WaveImage* monoStage(PcmSource* source, int measure);
// Writes the left channel itself and returns the right channel's image.
WaveImage* splitStage(PcmSource* source);

// Fills `result` (one sample of `format` per source step) from the source's two channels by
// `measure`. Returns 0.
int monoPass(const FormatInfo& format, uint8_t* result, const PcmSource* source, int measure);

// Writes into `out` (kNameBufferSize bytes) `name` with `tag` inserted before the last "." of its
// last path component, or appended when that component has none. False when it would not fit.
bool splitName(const char* name, const char* tag, char* out);
