#include "support/bmp_reader.h"

#include "bitmap/bitmap8.h"
#include "engine/commit.h"

#include <gtest/gtest.h>

namespace {

int64_t le(const Bytes& b, size_t at, int size, bool isSigned) {
    uint64_t v = 0;
    for (int i = 0; i < size; i++) v |= static_cast<uint64_t>(b[at + i]) << (8 * i);
    if (isSigned && size < 8 && (v >> (8 * size - 1)) != 0) v |= ~uint64_t{0} << (8 * size);
    return static_cast<int64_t>(v);
}

}  // namespace

std::vector<int> ParsedBmp::rowsOf(int64_t x, uint8_t colour) const {
    std::vector<int> found;
    for (size_t y = 0; y < rows.size(); y++) {
        if (rows[y].at(x) == colour) found.push_back(static_cast<int>(y));
    }
    return found;
}

ParsedBmp parseBmp(const Bytes& b) {
    ParsedBmp p;
    if (b.size() < 54 + 1024) {
        ADD_FAILURE() << "BMP too short: " << b.size();
        return p;
    }
    p.signature = std::string(b.begin(), b.begin() + 2);
    p.fileSize = le(b, 2, 4, false);
    p.reserved1 = le(b, 6, 2, false);
    p.reserved2 = le(b, 8, 2, false);
    p.pixelOffset = le(b, 10, 4, false);
    p.infoSize = le(b, 14, 4, false);
    p.width = le(b, 18, 4, true);
    p.height = le(b, 22, 4, true);
    p.planes = le(b, 26, 2, false);
    p.bitsPerPixel = le(b, 28, 2, false);
    p.compression = le(b, 30, 4, false);
    p.imageSize = le(b, 34, 4, false);
    p.xPixelsPerMetre = le(b, 38, 4, true);
    p.yPixelsPerMetre = le(b, 42, 4, true);
    p.coloursUsed = le(b, 46, 4, false);
    p.coloursImportant = le(b, 50, 4, false);
    for (int i = 0; i < 256; i++) {
        size_t at = 54 + 4 * static_cast<size_t>(i);
        p.palette.push_back((uint32_t{b[at + 2]} << 16) | (uint32_t{b[at + 1]} << 8) | b[at]);
        if (b[at + 3] != 0) p.paletteReservedZero = false;
    }
    if (p.bitsPerPixel != 8 || p.width <= 0 || p.height <= 0 || p.compression != 0) {
        ADD_FAILURE() << "not an uncompressed 8-bit bottom-up BMP";
        return p;
    }
    // Rows are padded to whole 32-bit words.
    p.stride = (p.width * 8 + 31) / 32 * 4;
    if (static_cast<int64_t>(b.size()) != p.pixelOffset + p.stride * p.height) {
        ADD_FAILURE() << "file length " << b.size() << " does not match the header";
        return p;
    }
    p.rows.assign(static_cast<size_t>(p.height), {});
    for (int64_t fileRow = 0; fileRow < p.height; fileRow++) {
        size_t at = static_cast<size_t>(p.pixelOffset + fileRow * p.stride);
        // The first row in the file is the bottom of the picture.
        auto& row = p.rows[static_cast<size_t>(p.height - 1 - fileRow)];
        row.assign(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + p.width));
        for (int64_t pad = p.width; pad < p.stride; pad++) {
            if (b[at + static_cast<size_t>(pad)] != 0) p.paddingZero = false;
        }
    }
    return p;
}

std::vector<std::vector<uint8_t>> blankRows(int64_t width, int64_t height) {
    return std::vector<std::vector<uint8_t>>(static_cast<size_t>(height),
                                             std::vector<uint8_t>(static_cast<size_t>(width), 0));
}

std::vector<int> span(int first, int last) {
    std::vector<int> out;
    for (int v = first; v <= last; v++) out.push_back(v);
    return out;
}

int writeCanvasNow(const Bitmap8* canvas) {
    bool failed = false;
    HeldOutputs held;
    const int written = bitmapWrite(canvas, held, [&failed](const OutputFile&) { failed = true; });
    commitOutputs(held, [] {});
    return failed ? -1 : written;
}
