// The drawing canvas: geometry, headers and palette of the BMP file, and the drawing routines.
#include "bitmap/bitmap8.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <set>
#include <utility>

#include "support/bmp_reader.h"
#include "support/run_qor.h"

namespace {

using Pixel = std::pair<int, int>;  // (x, y from the top)

// Writes the canvas into `dir` and parses it back.
ParsedBmp writeAndParse(Bitmap8* canvas) {
    EXPECT_EQ(writeCanvasNow(canvas), 0);
    return parseBmp(readFile(canvas->name));
}

// Every pixel that is not white, with its colour.
std::set<std::pair<Pixel, int>> paintedPixels(const ParsedBmp& bmp) {
    std::set<std::pair<Pixel, int>> found;
    for (size_t y = 0; y < bmp.rows.size(); y++) {
        for (size_t x = 0; x < bmp.rows[y].size(); x++) {
            if (bmp.rows[y][x] != 0)
                found.insert({{static_cast<int>(x), static_cast<int>(y)}, bmp.rows[y][x]});
        }
    }
    return found;
}

std::set<std::pair<Pixel, int>> colourAll(const std::set<Pixel>& pixels, int colour) {
    std::set<std::pair<Pixel, int>> out;
    for (const Pixel& p : pixels) out.insert({p, colour});
    return out;
}

// The outline of the rectangle from (left, top) to (right, bottom), corners included.
std::set<Pixel> outline(int left, int top, int right, int bottom) {
    std::set<Pixel> out;
    for (int x = left; x <= right; x++) out.insert({x, top}), out.insert({x, bottom});
    for (int y = top; y <= bottom; y++) out.insert({left, y}), out.insert({right, y});
    return out;
}

TEST(Bitmap8Canvas, GeometryHeadersAndDefaultPalette) {
    struct Case {
        int width, height;
        int64_t stride;
    } cases[] = {
        {974, 263, 976}, {1, 263, 4}, {14, 263, 16}, {15, 263, 16}, {16, 263, 16}, {17, 263, 20}, {3, 1, 4},
    };
    // 0xRRGGBB for the 16 default entries.
    const uint32_t palette[16] = {0xFFFFFF, 0xFFFF00, 0xFF00FF, 0xFF0000, 0x00FFFF, 0x00FF00,
                                  0x0000FF, 0x000000, 0xD3D3D3, 0x808000, 0x800080, 0x800000,
                                  0x008080, 0x008000, 0x000080, 0x808080};
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
        Bitmap8* canvas = bitmapCreate(c.width, c.height, (dir / "g.bmp").c_str());
        ASSERT_NE(canvas, nullptr);
        ParsedBmp bmp = writeAndParse(canvas);
        EXPECT_EQ(bitmapRelease(canvas), 0);

        const int64_t image = c.stride * c.height;
        EXPECT_EQ(bmp.signature, "BM");
        EXPECT_EQ(bmp.fileSize, image + 14 + 40 + 1024);
        EXPECT_EQ(static_cast<int64_t>(readFile(dir / "g.bmp").size()), bmp.fileSize);
        EXPECT_EQ(bmp.reserved1, 0);
        EXPECT_EQ(bmp.reserved2, 0);
        EXPECT_EQ(bmp.pixelOffset, 1078);
        EXPECT_EQ(bmp.infoSize, 40);
        EXPECT_EQ(bmp.width, c.width);
        EXPECT_EQ(bmp.height, c.height);
        EXPECT_EQ(bmp.planes, 1);
        EXPECT_EQ(bmp.bitsPerPixel, 8);
        EXPECT_EQ(bmp.compression, 0);
        EXPECT_EQ(bmp.imageSize, image);
        EXPECT_EQ(bmp.stride, c.stride);
        EXPECT_EQ(bmp.xPixelsPerMetre, 3780);
        EXPECT_EQ(bmp.yPixelsPerMetre, 3780);
        EXPECT_EQ(bmp.coloursUsed, 16);
        EXPECT_EQ(bmp.coloursImportant, 0);
        for (int i = 0; i < 256; i++) EXPECT_EQ(bmp.palette[i], i < 16 ? palette[i] : 0u) << "entry " << i;
        EXPECT_TRUE(bmp.paletteReservedZero);
        EXPECT_TRUE(bmp.paddingZero);
        EXPECT_EQ(bmp.rows, blankRows(c.width, c.height));
    }
    // The default picture's figures, worked out by hand.
    Bitmap8* canvas = bitmapCreate(974, 263, (dir / "d.bmp").c_str());
    ASSERT_NE(canvas, nullptr);
    EXPECT_EQ(canvas->stride, 976);
    EXPECT_EQ(canvas->infoHeader.imageSize, 256688);
    EXPECT_EQ(canvas->fileHeader.fileSize, 257766);
    EXPECT_EQ(canvas->coloursUsed, 16);
    bitmapRelease(canvas);
}

TEST(Bitmap8Canvas, CreateRefusesBadNamesAndSizes) {
    const std::string name259(259, 'n');
    struct Case {
        const char* what;
        int width, height;
        std::string name;
        bool made;
    } cases[] = {
        {"259 characters", 10, 10, name259, true},
        {"260 characters", 10, 10, name259 + "n", false},
        {"empty name", 10, 10, "", false},
        {"zero width", 0, 10, "a", false},
        {"negative width", -4, 10, "a", false},
        {"zero height", 10, 0, "a", false},
        {"file beyond 32-bit sizes", 9000000, 263, "a", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bitmap8* canvas = bitmapCreate(c.width, c.height, c.name.c_str());
        EXPECT_EQ(canvas != nullptr, c.made);
        if (canvas != nullptr) {
            EXPECT_EQ(std::string(canvas->name), c.name);
        }
        bitmapRelease(canvas);
    }
    EXPECT_EQ(bitmapCreate(10, 10, nullptr), nullptr);
}

TEST(Bitmap8Canvas, PixelsAndRuns) {
    // Canvas 17 x 263 (stride 20): runs that reach the right edge must leave the padding alone.
    enum Kind { kPixel, kV, kH };
    struct Case {
        const char* what;
        Kind kind;
        int x, y, length;
        int result;
        std::set<Pixel> pixels;
    };
    std::set<Pixel> rows126to130, rows3to259;
    for (int y = 126; y <= 130; y++) rows126to130.insert({5, y});
    for (int y = 3; y <= 259; y++) rows3to259.insert({2, y});
    const Case cases[] = {
        {"pixel top left", kPixel, 0, 0, 0, 0, {{0, 0}}},
        {"pixel bottom right", kPixel, 16, 262, 0, 0, {{16, 262}}},
        {"pixel right of width", kPixel, 17, 0, 0, -1, {}},
        {"pixel below height", kPixel, 0, 263, 0, -1, {}},
        {"pixel negative", kPixel, -1, 5, 0, -1, {}},
        {"vrun upward", kV, 5, 131, -5, 0, rows126to130},
        {"vrun frame height", kV, 2, 3, 257, 0, rows3to259},
        {"vrun empty", kV, 2, 40, 0, 0, {}},
        {"vrun from height upward", kV, 4, 263, -2, 0, {{4, 261}, {4, 262}}},
        {"vrun past bottom", kV, 4, 262, 2, -1, {}},
        {"vrun above top", kV, 4, 1, -2, -1, {}},
        {"vrun column at width", kV, 17, 0, 3, -1, {}},
        {"hrun ends at width", kH, 13, 7, 4, 0, {{13, 7}, {14, 7}, {15, 7}, {16, 7}}},
        {"hrun past width", kH, 14, 7, 4, -1, {}},
        {"hrun leftward", kH, 10, 0, -3, 0, {{7, 0}, {8, 0}, {9, 0}}},
        {"hrun left of zero", kH, 1, 0, -2, -1, {}},
        {"hrun row at height", kH, 0, 263, 1, -1, {}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bitmap8* canvas = bitmapCreate(17, 263, (dir / "r.bmp").c_str());
        ASSERT_NE(canvas, nullptr);
        int result = c.kind == kPixel ? bitmapSetPixel(canvas, 9, c.x, c.y)
                     : c.kind == kV   ? bitmapVRun(canvas, 9, c.x, c.y, c.length)
                                      : bitmapHRun(canvas, 9, c.x, c.y, c.length);
        EXPECT_EQ(result, c.result);
        ParsedBmp bmp = writeAndParse(canvas);
        bitmapRelease(canvas);
        EXPECT_EQ(paintedPixels(bmp), colourAll(c.pixels, 9));
        EXPECT_TRUE(bmp.paddingZero);
    }
    EXPECT_EQ(bitmapSetPixel(nullptr, 1, 0, 0), -1);
    EXPECT_EQ(bitmapVRun(nullptr, 1, 0, 0, 1), -1);
    EXPECT_EQ(bitmapHRun(nullptr, 1, 0, 0, 1), -1);
}

TEST(Bitmap8Canvas, Rectangles) {
    enum Kind { kRect, kAround };
    struct Case {
        const char* what;
        Kind kind;
        int a, b, c, d;  // corners, or x, centre y, width, half-height
        int result;
        std::set<Pixel> pixels;
    };
    const Case cases[] = {
        {"corners in any order", kRect, 12, 8, 2, 3, 0, outline(2, 3, 12, 8)},
        {"one pixel", kRect, 4, 4, 4, 4, 0, {{4, 4}}},
        {"right edge at width", kRect, 0, 0, 17, 5, -1, {}},
        {"bottom at height", kRect, 0, 0, 5, 263, -1, {}},
        {"negative corner", kRect, -1, 0, 5, 5, -1, {}},
        {"frame around the axis", kAround, 10, 131, 5, 128, 0, outline(10, 3, 14, 259)},
        {"zero width", kAround, 10, 131, 0, 128, -1, {}},
        {"zero half-height", kAround, 10, 131, 5, 0, -1, {}},
        // The outline does not fit, yet the call counts as drawn.
        {"outline beyond the canvas", kAround, 10, 131, 8, 128, 0, {}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bitmap8* canvas = bitmapCreate(17, 263, (dir / "r.bmp").c_str());
        ASSERT_NE(canvas, nullptr);
        int result = c.kind == kRect ? bitmapRect(canvas, 3, c.a, c.b, c.c, c.d)
                                     : bitmapRectAround(canvas, 3, c.a, c.b, c.c, c.d);
        EXPECT_EQ(result, c.result);
        ParsedBmp bmp = writeAndParse(canvas);
        bitmapRelease(canvas);
        EXPECT_EQ(paintedPixels(bmp), colourAll(c.pixels, 3));
    }
}

TEST(Bitmap8Canvas, PaletteLoading) {
    TempDir dir;
    Bitmap8* canvas = bitmapCreate(4, 2, (dir / "p.bmp").c_str());
    ASSERT_NE(canvas, nullptr);
    uint8_t entries[257 * 4] = {};
    for (int i = 0; i < 257 * 4; i++) entries[i] = static_cast<uint8_t>(i * 7 + 1);

    EXPECT_EQ(bitmapSetPalette(canvas, entries, 257), -1);
    ParsedBmp bmp = writeAndParse(canvas);
    EXPECT_EQ(bmp.coloursUsed, 16);
    EXPECT_EQ(bmp.palette[0], 0xFFFFFFu);
    EXPECT_EQ(bmp.palette[15], 0x808080u);

    // Three entries replace indices 0..2; the default entries 3..15 stay.
    EXPECT_EQ(bitmapSetPalette(canvas, entries, 3), 3);
    bmp = writeAndParse(canvas);
    EXPECT_EQ(bmp.coloursUsed, 3);
    EXPECT_EQ(bmp.palette[0], 0x0F0801u);  // bytes 1, 8, 15 as blue, green, red
    EXPECT_EQ(bmp.palette[2], 0x474039u);  // bytes 57, 64, 71
    EXPECT_EQ(bmp.palette[3], 0xFF0000u);  // default red
    EXPECT_EQ(bmp.palette[15], 0x808080u);

    // No entries: the 16 defaults again.
    EXPECT_EQ(bitmapSetPalette(canvas, nullptr, 5), 16);
    bmp = writeAndParse(canvas);
    EXPECT_EQ(bmp.coloursUsed, 16);
    EXPECT_EQ(bmp.palette[0], 0xFFFFFFu);

    // All 256 entries.
    EXPECT_EQ(bitmapSetPalette(canvas, entries, 256), 256);
    bmp = writeAndParse(canvas);
    EXPECT_EQ(bmp.coloursUsed, 256);
    EXPECT_EQ(bmp.palette[255], (uint32_t{uint8_t(1022 * 7 + 1)} << 16) |
                                    (uint32_t{uint8_t(1021 * 7 + 1)} << 8) | uint8_t(1020 * 7 + 1));
    bitmapRelease(canvas);
    EXPECT_EQ(bitmapSetPalette(nullptr, nullptr, 0), -1);
}

TEST(Bitmap8Canvas, WriteReportsFailuresAndTruncates) {
    TempDir dir;
    // A longer file under the same name is replaced, not overlaid.
    writeFile(dir / "t.bmp", Bytes(5000, 0xAA));
    Bitmap8* canvas = bitmapCreate(5, 3, (dir / "t.bmp").c_str());
    ASSERT_NE(canvas, nullptr);
    EXPECT_EQ(writeCanvasNow(canvas), 0);
    EXPECT_EQ(readFile(dir / "t.bmp").size(), 1078u + 8 * 3);
    bitmapRelease(canvas);

    canvas = bitmapCreate(5, 3, (dir / "missing/t.bmp").c_str());
    ASSERT_NE(canvas, nullptr);
    EXPECT_LT(writeCanvasNow(canvas), 0);
    EXPECT_FALSE(fileExists(dir / "missing/t.bmp"));
    bitmapRelease(canvas);

    // A device that is always full fails the first write.
    if (fileExists("/dev/full")) {
        canvas = bitmapCreate(5, 3, "/dev/full");
        ASSERT_NE(canvas, nullptr);
        EXPECT_LT(writeCanvasNow(canvas), 0);
        bitmapRelease(canvas);
    }
    EXPECT_EQ(writeCanvasNow(nullptr), -1);
    EXPECT_EQ(bitmapRelease(nullptr), -1);
}

TEST(Bitmap8Canvas, FailedWriteKeepsTheFormerFile) {
    TempDir dir;
    const std::string keep = dir / "keep.bmp";
    const Bytes former(100, 0x55);
    writeFile(keep, former);
    chmod(keep.c_str(), 0640);
    Bitmap8* canvas = bitmapCreate(200, 200, keep.c_str());
    ASSERT_NE(canvas, nullptr);

    // A file-size limit below the picture's 41078 bytes makes a write fail part way.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 20000;
    void (*savedHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int result = writeCanvasNow(canvas);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, savedHandler);
    EXPECT_LT(result, 0);
    EXPECT_EQ(readFile(keep), former);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"keep.bmp"});

    // Without the limit the picture replaces the file and keeps its permissions.
    EXPECT_EQ(writeCanvasNow(canvas), 0);
    bitmapRelease(canvas);
    EXPECT_EQ(readFile(keep).size(), 1078u + 200 * 200);
    struct stat status;
    ASSERT_EQ(stat(keep.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"keep.bmp"});
}

}  // namespace
