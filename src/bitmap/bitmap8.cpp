#include "bitmap/bitmap8.h"


#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "engine/commit.h"
#include "base/format.h"

namespace {

// Blue, green, red, reserved.
const uint8_t kDefaultPalette[16 * 4] = {
    0xFF, 0xFF, 0xFF, 0x00,  // 0 white
    0x00, 0xFF, 0xFF, 0x00,  // 1 yellow
    0xFF, 0x00, 0xFF, 0x00,  // 2 magenta
    0x00, 0x00, 0xFF, 0x00,  // 3 red
    0xFF, 0xFF, 0x00, 0x00,  // 4 cyan
    0x00, 0xFF, 0x00, 0x00,  // 5 green
    0xFF, 0x00, 0x00, 0x00,  // 6 blue
    0x00, 0x00, 0x00, 0x00,  // 7 black
    0xD3, 0xD3, 0xD3, 0x00,  // 8 light grey
    0x00, 0x80, 0x80, 0x00,  // 9 olive
    0x80, 0x00, 0x80, 0x00,  // 10 purple
    0x00, 0x00, 0x80, 0x00,  // 11 maroon
    0x80, 0x80, 0x00, 0x00,  // 12 teal
    0x00, 0x80, 0x00, 0x00,  // 13 dark green
    0x80, 0x00, 0x00, 0x00,  // 14 navy
    0x80, 0x80, 0x80, 0x00,  // 15 grey
};

constexpr int32_t kPixelsPerMetre = 3780;  // 96 dots per inch

}  // namespace

Bitmap8* bitmapCreate(int32_t width, int32_t height, const char* name) {
    if (name == nullptr) return nullptr;
    size_t nameLength = strlen(name);
    if (nameLength == 0 || nameLength >= static_cast<size_t>(kBitmapNameSize)) return nullptr;
    if (width <= 0 || height <= 0) return nullptr;
    int64_t stride = width % 4 == 0 ? width : static_cast<int64_t>(width) - width % 4 + 4;
    int64_t imageSize = stride * height;
    // The file size field is 32 bits wide; a picture that cannot be described is not made.
    if (imageSize + kBmpPixelOffset > INT32_MAX) return nullptr;

    auto* canvas = static_cast<Bitmap8*>(calloc(1, sizeof(Bitmap8)));
    if (canvas == nullptr) return nullptr;
    memcpy(canvas->name, name, nameLength + 1);
    canvas->width = width;
    canvas->height = height;
    canvas->stride = static_cast<int32_t>(stride);

    BmpFileHeader& file = canvas->fileHeader;
    file.signature[0] = 'B';
    file.signature[1] = 'M';
    file.fileSize = static_cast<int32_t>(imageSize + kBmpPixelOffset);
    file.pixelOffset = kBmpPixelOffset;

    BmpInfoHeader& info = canvas->infoHeader;
    info.headerSize = kBmpInfoHeaderSize;
    info.width = width;
    info.height = height;
    info.planes = 1;
    info.bitsPerPixel = 8;
    info.imageSize = static_cast<int32_t>(imageSize);
    info.xPixelsPerMetre = kPixelsPerMetre;
    info.yPixelsPerMetre = kPixelsPerMetre;

    canvas->coloursUsed = bitmapSetPalette(canvas, nullptr, 0);

    canvas->pixels = static_cast<uint8_t*>(calloc(static_cast<size_t>(imageSize), 1));
    if (canvas->pixels == nullptr) {
        free(canvas);
        return nullptr;
    }
    return canvas;
}

int bitmapSetPalette(Bitmap8* canvas, const uint8_t* entries, int count) {
    if (canvas == nullptr || count > 256) return -1;
    if (count > 0 && entries != nullptr) {
        memcpy(canvas->palette, entries, static_cast<size_t>(count) * 4);
    } else {
        count = 16;
        memcpy(canvas->palette, kDefaultPalette, sizeof kDefaultPalette);
    }
    canvas->infoHeader.coloursUsed = count;
    return count;
}

int bitmapSetPixel(Bitmap8* canvas, uint8_t colour, int32_t x, int32_t y) {
    if (canvas == nullptr || x < 0 || x >= canvas->width || y < 0 || y >= canvas->height) return -1;
    canvas->pixels[static_cast<int64_t>(canvas->height - 1 - y) * canvas->stride + x] = colour;
    return 0;
}

int bitmapVRun(Bitmap8* canvas, uint8_t colour, int32_t x, int32_t y, int32_t length) {
    if (canvas == nullptr) return -1;
    int64_t end = static_cast<int64_t>(y) + length;
    if (x < 0 || x >= canvas->width || y < 0 || y > canvas->height || end < 0 || end > canvas->height)
        return -1;
    int64_t from = std::min<int64_t>(y, end);
    int64_t to = std::max<int64_t>(y, end);
    for (int64_t row = from; row < to; row++) {
        canvas->pixels[(canvas->height - 1 - row) * canvas->stride + x] = colour;
    }
    return 0;
}

int bitmapHRun(Bitmap8* canvas, uint8_t colour, int32_t x, int32_t y, int32_t length) {
    if (canvas == nullptr) return -1;
    int64_t end = static_cast<int64_t>(x) + length;
    if (y < 0 || y >= canvas->height || x < 0 || x > canvas->width || end < 0 || end > canvas->width)
        return -1;
    int64_t from = std::min<int64_t>(x, end);
    int64_t to = std::max<int64_t>(x, end);
    uint8_t* row = canvas->pixels + static_cast<int64_t>(canvas->height - 1 - y) * canvas->stride;
    memset(row + from, colour, static_cast<size_t>(to - from));
    return 0;
}

int bitmapRect(Bitmap8* canvas, uint8_t colour, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
    if (canvas == nullptr) return -1;
    int32_t left = std::min(x1, x2);
    int32_t right = std::max(x1, x2);
    int32_t top = std::min(y1, y2);
    int32_t bottom = std::max(y1, y2);
    if (left < 0 || top < 0 || right >= canvas->width || bottom >= canvas->height) return -1;
    bitmapHRun(canvas, colour, left, top, right - left + 1);
    bitmapHRun(canvas, colour, left, bottom, right - left + 1);
    bitmapVRun(canvas, colour, left, top, bottom - top + 1);
    bitmapVRun(canvas, colour, right, top, bottom - top + 1);
    return 0;
}

int bitmapRectAround(Bitmap8* canvas, uint8_t colour, int32_t x, int32_t yc, int32_t width,
                     int32_t halfHeight) {
    if (width == 0 || halfHeight == 0) return -1;
    // Corners are computed in 64 bits and refused when they leave the coordinate range.
    int64_t right = static_cast<int64_t>(x) + width - 1;
    int64_t top = static_cast<int64_t>(yc) - halfHeight;
    int64_t bottom = static_cast<int64_t>(yc) + halfHeight;
    if (right >= INT32_MIN && right <= INT32_MAX && top >= INT32_MIN && top <= INT32_MAX &&
        bottom >= INT32_MIN && bottom <= INT32_MAX) {
        bitmapRect(canvas, colour, x, static_cast<int32_t>(top), static_cast<int32_t>(right),
                   static_cast<int32_t>(bottom));
    }
    return 0;
}

int bitmapWrite(const Bitmap8* canvas, HeldOutputs& held, std::function<void(const OutputFile&)> failed) {
    if (canvas == nullptr) return -1;

    uint8_t head[kBmpPixelOffset];
    const BmpFileHeader& file = canvas->fileHeader;
    head[0] = static_cast<uint8_t>(file.signature[0]);
    head[1] = static_cast<uint8_t>(file.signature[1]);
    writeInt32(head + 2, file.fileSize);
    writeInt16(head + 6, file.reserved1);
    writeInt16(head + 8, file.reserved2);
    writeInt32(head + 10, file.pixelOffset);
    const BmpInfoHeader& info = canvas->infoHeader;
    uint8_t* p = head + kBmpFileHeaderSize;
    writeInt32(p + 0, info.headerSize);
    writeInt32(p + 4, info.width);
    writeInt32(p + 8, info.height);
    writeInt16(p + 12, info.planes);
    writeInt16(p + 14, info.bitsPerPixel);
    writeInt32(p + 16, info.compression);
    writeInt32(p + 20, info.imageSize);
    writeInt32(p + 24, info.xPixelsPerMetre);
    writeInt32(p + 28, info.yPixelsPerMetre);
    writeInt32(p + 32, info.coloursUsed);
    writeInt32(p + 36, info.coloursImportant);
    memcpy(head + kBmpFileHeaderSize + kBmpInfoHeaderSize, canvas->palette, kBmpPaletteBytes);

    const int64_t pixelBytes = static_cast<int64_t>(canvas->stride) * canvas->height;
    return writeFileWhole(held, canvas->name, head, kBmpPixelOffset, canvas->pixels, pixelBytes, {}, std::move(failed));
}

int bitmapRelease(Bitmap8* canvas) {
    if (canvas == nullptr) return -1;
    free(canvas->pixels);
    free(canvas);
    return 0;
}
