// A small canvas of 8-bit palette indices, written as an uncompressed Windows BMP file.
//
// Coordinates are x from the left and y from the top. Rows are stored bottom-up as in the
// file, so pixel (x, y) lives at byte (height - 1 - y) * stride + x. Drawing routines return 0
// when they drew and -1 when they refused; a refused call draws nothing. The canvas takes its
// memory from the plain heap and logs nothing.
#pragma once

#include <cstdint>
#include <functional>

#include "engine/commit.h"

inline constexpr int kBitmapNameSize = 260;  // 259 characters and the terminator
inline constexpr int kBmpFileHeaderSize = 14;
inline constexpr int kBmpInfoHeaderSize = 40;
inline constexpr int kBmpPaletteBytes = 256 * 4;
inline constexpr int kBmpPixelOffset = kBmpFileHeaderSize + kBmpInfoHeaderSize + kBmpPaletteBytes;  // 1078

struct BmpFileHeader {
    char signature[2];  // "BM"
    int32_t fileSize;
    int16_t reserved1;
    int16_t reserved2;
    int32_t pixelOffset;
};

struct BmpInfoHeader {
    int32_t headerSize;
    int32_t width;
    int32_t height;  // positive: rows bottom-up
    int16_t planes;
    int16_t bitsPerPixel;
    int32_t compression;
    int32_t imageSize;
    int32_t xPixelsPerMetre;
    int32_t yPixelsPerMetre;
    int32_t coloursUsed;
    int32_t coloursImportant;
};

struct Bitmap8 {
    char name[kBitmapNameSize];
    int32_t stride;  // width rounded up to a multiple of 4
    int32_t width;
    int32_t height;
    int32_t coloursUsed;
    BmpFileHeader fileHeader;
    BmpInfoHeader infoHeader;
    uint8_t palette[kBmpPaletteBytes];  // blue, green, red, 0 for each of 256 entries
    uint8_t* pixels;                    // stride * height palette indices
};

// Default palette indices.
enum BitmapColour : uint8_t {
    kColourWhite = 0,
    kColourBlack = 7,
    kColourLightGrey = 8,
    kColourMaroon = 11,
    kColourNavy = 14,
};

// A white canvas with the default palette, or null when the name is empty or 260 characters
// or longer, a side is not positive, the file would not fit the 32-bit size fields, or memory
// cannot be had.
Bitmap8* bitmapCreate(int32_t width, int32_t height, const char* name);
// Loads `count` entries of 4 bytes from index 0, or the 16 default entries when `entries` is
// null or `count` is not positive. Returns the number loaded, or -1 (count above 256, no canvas).
int bitmapSetPalette(Bitmap8* canvas, const uint8_t* entries, int count);
int bitmapSetPixel(Bitmap8* canvas, uint8_t colour, int32_t x, int32_t y);
// Column x, rows min(y, y + length) up to but not including max(y, y + length).
int bitmapVRun(Bitmap8* canvas, uint8_t colour, int32_t x, int32_t y, int32_t length);
// Row y, columns min(x, x + length) up to but not including max(x, x + length).
int bitmapHRun(Bitmap8* canvas, uint8_t colour, int32_t x, int32_t y, int32_t length);
// Outline of the rectangle with these corners, both included.
int bitmapRect(Bitmap8* canvas, uint8_t colour, int32_t x1, int32_t y1, int32_t x2, int32_t y2);
// Outline from (x, yc - halfHeight) to (x + width - 1, yc + halfHeight).
int bitmapRectAround(Bitmap8* canvas, uint8_t colour, int32_t x, int32_t yc, int32_t width,
                     int32_t halfHeight);
// Writes the BMP file under the canvas's name, to be put in place with the run's results: 0, or a
// negative result when the file cannot be opened or written completely. `failed` reports a
// picture that cannot be put in place at the end of the run.
int bitmapWrite(const Bitmap8* canvas, HeldOutputs& held, std::function<void(const OutputFile&)> failed);
// Frees the canvas: 0, or -1 for no canvas.
int bitmapRelease(Bitmap8* canvas);
