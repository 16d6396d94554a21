// Waveform pictures of a result or a source, written as 8-bit BMP files.
#pragma once

#include <cstdint>
#include <string>

#include "bitmap/bitmap8.h"
#include "wave/format.h"

// Trace styles, the values of bitmapMode.
inline constexpr int kStyleAverage = 1;
inline constexpr int kStylePeakToPeak = 3;

// Draws the samples (dataBytes bytes in `format`) into a picture named after `name` with the
// extension ".BMP", writes it and logs its report lines. Returns 0.
int waveBitmap(const char* name, const FormatInfo& format, const uint8_t* samples, int64_t dataBytes);

// The picture's file name: `name` itself when its extension is ".BMP" in any case, otherwise
// `name` with its extension replaced by (or, without one, followed by) ".BMP".
std::string pictureName(const char* name);

// The zero axis over `columns` plot columns, a grid line every `spacing` columns and the frame.
void plotFrame(Bitmap8* canvas, uint8_t colour, int64_t columns, int64_t spacing);

// Draws one channel's trace over total / g columns, g samples of the channel to a column, in
// the peak-to-peak style (3) or as the average line (any other style). Returns 0, or -1 for a
// layout it cannot read (bytes outside 1..4, g below 1, no such channel).
int wavePlot(Bitmap8* canvas, uint8_t colour, int style, const uint8_t* samples, int64_t total, int bytes,
             int channels, int channel, int64_t g);
