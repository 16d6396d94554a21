// Waveform pictures of a result or a source, written as 8-bit BMP files.
#pragma once

#include <cstdint>

#include "wave/format.h"

// Draws the samples (dataBytes bytes in `format`) into a picture named after `name` with the
// extension ".BMP", writes it and logs its report lines. Returns 0.
int waveBitmap(const char* name, const FormatInfo& format, const uint8_t* samples, int64_t dataBytes);
