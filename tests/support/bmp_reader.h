// The tests' own reader of 8-bit BMP files, independent of the program's canvas.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/wave_writer.h"

struct ParsedBmp {
    // File header.
    std::string signature;
    int64_t fileSize = 0;
    int64_t reserved1 = -1, reserved2 = -1;
    int64_t pixelOffset = 0;
    // Info header.
    int64_t infoSize = 0;
    int64_t width = 0, height = 0;
    int64_t planes = 0, bitsPerPixel = 0, compression = -1, imageSize = 0;
    int64_t xPixelsPerMetre = 0, yPixelsPerMetre = 0, coloursUsed = 0, coloursImportant = -1;
    // 256 entries as 0xRRGGBB, read from the blue, green, red, reserved bytes.
    std::vector<uint32_t> palette;
    bool paletteReservedZero = true;
    int64_t stride = 0;
    bool paddingZero = true;
    // rows[y][x], y from the top of the picture.
    std::vector<std::vector<uint8_t>> rows;

    uint8_t at(int64_t x, int64_t y) const { return rows.at(y).at(x); }
    // The rows of column x that hold `colour`, top to bottom.
    std::vector<int> rowsOf(int64_t x, uint8_t colour) const;
};

// Parses a BMP file image; fails the current test when it is not an 8-bit bottom-up BMP whose
// sizes agree with its length.
ParsedBmp parseBmp(const Bytes& bytes);

// rows[y][x] of a blank picture of this size (palette index 0 everywhere).
std::vector<std::vector<uint8_t>> blankRows(int64_t width, int64_t height);
// Inclusive list first..last.
std::vector<int> span(int first, int last);

struct Bitmap8;
// Writes the canvas with the program's writer and puts it in place at once, as the end of a run
// does: 0, or a negative result when it could not be written or put in place.
int writeCanvasNow(const Bitmap8* canvas);
