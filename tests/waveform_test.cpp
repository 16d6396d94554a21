// The waveform renderer: picture names, the samples-per-pixel choice, frame, traces and the
// report, read back from the BMP files it writes.
#include "bitmap/waveform.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>

#include "driver/command_line.h"
#include "support/bmp_reader.h"
#include "support/run_qor.h"
#include "support/wave_writer.h"

namespace {

constexpr uint8_t kGrey = 8, kBlack = 7, kMaroon = 11, kNavy = 14;

FormatInfo formatOf(int channels, int bits) {
    FormatInfo f;
    memcpy(f.chunkId, "fmt ", 4);
    f.chunkSize = 16;
    f.formatTag = 1;
    f.channels = static_cast<int16_t>(channels);
    f.sampleRate = 8000;
    f.blockAlign = static_cast<int16_t>(channels * bits / 8);
    f.byteRate = 8000 * f.blockAlign;
    f.bitsPerSample = static_cast<int16_t>(bits);
    return f;
}

struct Rendered {
    std::string out, err;
    ParsedBmp bmp;  // empty when no picture was written
};

// Renders `values` (interleaved; 8-bit given as signed) with the picture settings given, from
// a fresh set of settings, and reads the picture back.
Rendered render(const std::string& name, int channels, int bits, const std::vector<int>& values, int mode,
                int width = 960, int reduce = 0) {
    resetSettings();
    settings.bitmapEnabled = 1;
    settings.bitmapMode = mode;
    settings.bitmapWidth = width;
    settings.bitmapReduce = reduce;
    Bytes data = sampleBytes(bits, values);
    Rendered r;
    StreamCapture capture;
    EXPECT_EQ(
        waveBitmap(name.c_str(), formatOf(channels, bits), data.data(), static_cast<int64_t>(data.size())),
        0);
    r.out = capture.out();
    r.err = capture.err();
    std::string picture = pictureName(name.c_str());
    if (fileExists(picture)) r.bmp = parseBmp(readFile(picture));
    return r;
}

std::string padded(long long n) {
    std::string digits = std::to_string(n);
    return std::string(digits.size() < 9 ? 9 - digits.size() : 0, ' ') + digits;
}

std::string report(const std::string& picture, int mode, long long samples, long long width,
                   long long reduce) {
    return "  [BITMAP] Output BMP  :           " + picture + "\n" +
           (mode == 3 ? "  [BITMAP]     Mode    :           Peak to Peak Line\n"
                      : "  [BITMAP]     Mode    :           Average Line\n") +
           "  [BITMAP]     Samples : " + padded(samples) + " samples\n" +
           "  [BITMAP]     Width   : " + padded(width) + " pixel\n" +
           "  [BITMAP]     Reduce  : " + padded(reduce) + " samples/pixel\n";
}

// The axis, grid and frame of a picture with `columns` plot columns, drawn the test's own way.
std::vector<std::vector<uint8_t>> expectedFrame(int columns) {
    auto rows = blankRows(columns + 14, 263);
    if (columns == 0) return rows;
    for (int x = 10; x < columns + 10; x++) rows[131][x] = kGrey;
    for (int x = 110; x < columns; x += 100) {
        for (int y = 3; y <= 259; y++) rows[y][x] = kGrey;
    }
    for (int x = 10; x < columns + 10; x++) rows[3][x] = rows[259][x] = kGrey;
    for (int y = 3; y <= 259; y++) rows[y][10] = rows[y][columns + 9] = kGrey;
    return rows;
}

TEST(WavePicture, NameTakesTheBmpExtension) {
    struct Case {
        const char* name;
        const char* picture;
    } cases[] = {
        {"out.WAV", "out.BMP"},
        {"dir/take_Lch.wav", "dir/take_Lch.BMP"},
        {"x.bmp", "x.bmp"},
        {"X.Bmp", "X.Bmp"},
        {"noext", "noext.BMP"},
        {"a.b/c", "a.b/c.BMP"},
        {"a.b/c.d.wav", "a.b/c.d.BMP"},
        {"x.", "x.BMP"},
        {"x.bmpx", "x.BMP"},
    };
    for (const Case& c : cases) EXPECT_EQ(pictureName(c.name), c.picture) << c.name;
}

TEST(WavePicture, SamplesPerPixelChoiceAndReport) {
    struct Case {
        const char* what;
        int channels, bits;
        int steps, width, reduce, mode;
        int g, columns;
    } cases[] = {
        {"one second at 44100", 1, 8, 44100, 960, 0, 3, 46, 958},
        {"not stretched to the width", 1, 8, 1000, 960, 0, 3, 2, 500},
        {"short sound", 1, 16, 500, 960, 0, 1, 1, 500},
        {"exactly the width", 1, 8, 960, 960, 0, 3, 1, 960},
        {"one past the width", 1, 8, 961, 960, 0, 1, 2, 480},
        {"width 500, remainder not drawn", 1, 8, 44100, 500, 0, 3, 89, 495},
        {"reduction given", 1, 8, 44105, 960, 10, 1, 10, 4410},
        {"stereo 16-bit", 2, 16, 2000, 960, 0, 3, 3, 666},
        {"empty data", 1, 16, 0, 960, 0, 3, 1, 0},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<int> silence(static_cast<size_t>(c.steps) * c.channels, 0);
        Rendered r = render(dir / "r.wav", c.channels, c.bits, silence, c.mode, c.width, c.reduce);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, report(dir / "r.BMP", c.mode, c.steps, c.columns, c.g));
        EXPECT_EQ(settings.bitmapReduce, c.g);
        EXPECT_EQ(r.bmp.width, c.columns + 14);
        EXPECT_EQ(r.bmp.height, 263);
    }
    // With no samples nothing is drawn at all.
    Rendered empty = render(dir / "e.wav", 1, 16, {}, 3);
    EXPECT_EQ(empty.bmp.rows, blankRows(14, 263));
}

TEST(WavePicture, ChosenReductionHoldsForLaterPictures) {
    TempDir dir;
    render(dir / "a.wav", 1, 8, std::vector<int>(44100, 0), 3);
    ASSERT_EQ(settings.bitmapReduce, 46);
    // The second picture of the run keeps 46 samples per pixel: 500 / 46 = 10 columns.
    std::vector<int> silence(500, 0);
    Bytes data = sampleBytes(8, silence);
    StreamCapture capture;
    waveBitmap((dir / "b.wav").c_str(), formatOf(1, 8), data.data(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(capture.out(), report(dir / "b.BMP", 3, 500, 10, 46));
    EXPECT_EQ(parseBmp(readFile(dir / "b.BMP")).width, 24);
}

TEST(WavePicture, AxisGridAndFrame) {
    struct Case {
        int columns, spacing;
        std::vector<int> gridColumns;
    } cases[] = {
        {250, 100, {110, 210}}, {110, 100, {}},  // the grid stops before column P, not at the plot's right
                                                 // edge
        {111, 100, {110}},      {250, 1, {}},   {30, 7, {17, 24}}, {0, 100, {}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.columns << " columns, spacing " << c.spacing);
        Bitmap8* canvas = bitmapCreate(c.columns + 14, 263, (dir / "f.bmp").c_str());
        ASSERT_NE(canvas, nullptr);
        plotFrame(canvas, kGrey, c.columns, c.spacing);
        ASSERT_EQ(bitmapWrite(canvas), 0);
        bitmapRelease(canvas);
        ParsedBmp bmp = parseBmp(readFile(dir / "f.bmp"));

        auto expected = blankRows(c.columns + 14, 263);
        if (c.columns > 0) {
            for (int x = 10; x <= c.columns + 9; x++)
                expected[3][x] = expected[131][x] = expected[259][x] = kGrey;
            for (int y = 3; y <= 259; y++) expected[y][10] = expected[y][c.columns + 9] = kGrey;
        }
        for (int x : c.gridColumns) {
            for (int y = 3; y <= 259; y++) expected[y][x] = kGrey;
        }
        EXPECT_EQ(bmp.rows, expected);
    }
}

TEST(WavePicture, PeakToPeakTraceRows) {
    struct Case {
        const char* what;
        int bits, g;
        std::vector<int> values;
        std::vector<std::vector<int>> columnRows;  // trace rows of each plot column
    } cases[] = {
        {"16-bit extremes and small values",
         16,
         1,
         {32767, -32768, 255, -255, 256, -256},
         {{4}, {259}, {131}, {131}, {130}, {132}}},
        {"8-bit extremes and silence", 8, 1, {127, -128, 0, 1}, {{4}, {259}, {131}, {130}}},
        // hi = 1000 / 256 = 3, lo = -3000 / 256 = -11, both truncated toward zero.
        {"span of a two-sample column", 16, 2, {1000, -3000}, {span(128, 142)}},
        {"full span", 8, 3, {127, 0, -128, 5, 5, 5}, {span(4, 259), {126}}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rendered r = render(dir / "p.wav", 1, c.bits, c.values, 3, 960, c.g);
        const int columns = static_cast<int>(c.columnRows.size());
        auto expected = expectedFrame(columns);
        for (int col = 0; col < columns; col++) {
            for (int y : c.columnRows[col]) expected[y][10 + col] = kBlack;
        }
        EXPECT_EQ(r.bmp.rows, expected);
    }
}

TEST(WavePicture, AverageLineJoinsNeighbours) {
    struct Case {
        const char* what;
        int bits, g;
        std::vector<int> values;
        std::vector<std::vector<int>> columnRows;
    } cases[] = {
        {"mean truncated toward zero", 16, 2, {1000, -3000}, {{134}}},
        {"mean 255.5 stays on the axis", 16, 2, {255, 256, -255, -256}, {{131}, {131}}},
        {"equal neighbours", 8, 1, {4, 4}, {{127}, {127}}},
        {"down through the axis", 8, 1, {10, -5}, {span(121, 131), span(131, 136)}},
        {"up through the axis", 8, 1, {-5, 10}, {span(131, 136), span(121, 131)}},
        {"up from the axis", 8, 1, {0, 6}, {{131}, span(125, 130)}},
        {"down from the axis", 8, 1, {0, -6}, {{131}, span(132, 137)}},
        {"back to the axis from above", 8, 1, {6, 0}, {span(125, 130), {131}}},
        {"back to the axis from below", 8, 1, {-6, 0}, {span(132, 137), {131}}},
        {"growing above", 8, 1, {3, 8}, {{128}, span(123, 127)}},
        {"growing below", 8, 1, {-3, -8}, {{134}, span(135, 139)}},
        {"shrinking above", 8, 1, {8, 3}, {span(123, 127), {128}}},
        {"shrinking below", 8, 1, {-8, -3}, {span(135, 139), {134}}},
        {"full swing", 8, 1, {-128, 127}, {span(131, 259), span(4, 131)}},
        {"three columns", 8, 1, {0, 2, 1}, {{131}, span(129, 130), {130}}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rendered r = render(dir / "a.wav", 1, c.bits, c.values, 1, 960, c.g);
        const int columns = static_cast<int>(c.columnRows.size());
        auto expected = expectedFrame(columns);
        for (int col = 0; col < columns; col++) {
            for (int y : c.columnRows[col]) expected[y][10 + col] = kBlack;
        }
        EXPECT_EQ(r.bmp.rows, expected);
    }
}

TEST(WavePicture, StereoTracesOverlaidInTwoColours) {
    TempDir dir;
    // Steps (left, right): both at +50, then left on the axis and right at -50.
    Rendered r = render(dir / "s.wav", 2, 16, {12800, 12800, 0, -12800}, 3);
    EXPECT_EQ(r.bmp.at(10, 81), kNavy);  // the right channel is drawn over the left
    EXPECT_EQ(r.bmp.rowsOf(10, kMaroon), std::vector<int>{});
    EXPECT_EQ(r.bmp.rowsOf(11, kMaroon), std::vector<int>{131});
    EXPECT_EQ(r.bmp.rowsOf(11, kNavy), std::vector<int>{181});
    EXPECT_EQ(r.bmp.rowsOf(10, kBlack), std::vector<int>{});
    EXPECT_EQ(r.bmp.rowsOf(11, kBlack), std::vector<int>{});
}

TEST(WavePicture, PlotReadsEverySampleWidth) {
    struct Case {
        const char* what;
        int bytes;
        std::vector<uint8_t> data;  // mono samples, little-endian
        std::vector<int> rows;      // one trace row per column
    } cases[] = {
        {"24-bit",
         3,
         {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x01},
         {4, 259, 131, 132, 130}},
        {"32-bit",
         4,
         {0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF},
         {4, 259, 131, 132}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int columns = static_cast<int>(c.rows.size());
        Bitmap8* canvas = bitmapCreate(columns + 14, 263, (dir / "w.bmp").c_str());
        ASSERT_NE(canvas, nullptr);
        EXPECT_EQ(wavePlot(canvas, kBlack, 3, c.data.data(), columns, c.bytes, 1, 0, 1), 0);
        ASSERT_EQ(bitmapWrite(canvas), 0);
        bitmapRelease(canvas);
        ParsedBmp bmp = parseBmp(readFile(dir / "w.bmp"));
        for (int col = 0; col < columns; col++)
            EXPECT_EQ(bmp.rowsOf(10 + col, kBlack), std::vector<int>{c.rows[col]});
    }
}

TEST(WavePicture, PlotRefusesImpossibleLayouts) {
    struct Case {
        const char* what;
        int bytes, channels, channel;
        int64_t g;
        int result;
        int row;  // trace row of column 10 when drawn
    } cases[] = {
        {"no bytes", 0, 1, 0, 1, -1, -1},
        {"five bytes", 5, 1, 0, 1, -1, -1},
        {"no samples per column", 2, 1, 0, 0, -1, -1},
        {"channel beyond the layout", 2, 2, 2, 1, -1, -1},
        {"negative channel", 2, 2, -1, 1, -1, -1},
        {"no channels", 2, 0, 0, 1, -1, -1},
        {"second channel", 2, 2, 1, 1, 0, 131 + 4},  // -1024 / 256 = -4
    };
    const uint8_t data[] = {0x00, 0x10, 0x00, 0xFC};  // 4096, -1024
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bitmap8* canvas = bitmapCreate(15, 263, (dir / "x.bmp").c_str());
        ASSERT_NE(canvas, nullptr);
        EXPECT_EQ(wavePlot(canvas, kBlack, 3, data, 1, c.bytes, c.channels, c.channel, c.g), c.result);
        ASSERT_EQ(bitmapWrite(canvas), 0);
        bitmapRelease(canvas);
        ParsedBmp bmp = parseBmp(readFile(dir / "x.bmp"));
        EXPECT_EQ(bmp.rowsOf(10, kBlack), c.row < 0 ? std::vector<int>{} : std::vector<int>{c.row});
    }
}

TEST(WavePicture, UnwritablePicturesWarnAndStillReport) {
    TempDir dir;
    const std::string take = dir / "take.bmp";
    // A picture name of `length` characters in the folder, and the result name it comes from.
    auto pictureOfLength = [&](size_t length) {
        return dir.path + "/" + std::string(length - dir.path.size() - 5, 'n') + ".BMP";
    };
    auto resultFor = [](const std::string& picture) {
        return picture.substr(0, picture.size() - 4) + ".wav";
    };
    struct Case {
        const char* what;
        std::string name;     // what the caller passes
        std::string picture;  // the picture it names
        bool warned, pictureExists;
    } cases[] = {
        {"picture is a source", take, take, true, true},
        {"picture is a source under another name", dir.path + "/./take.bmp", dir.path + "/./take.bmp", true,
         true},
        {"no such folder", dir / "none/out.wav", dir / "none/out.BMP", true, false},
        {"name of 260 characters", resultFor(pictureOfLength(260)), pictureOfLength(260), true, false},
        {"name of 259 characters", resultFor(pictureOfLength(259)), pictureOfLength(259), false, true},
    };
    ASSERT_EQ(cases[3].picture.size(), 260u);
    const Bytes source = makeWave(1, 8, 8000, {1, 2, 3});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(take, source);
        resetSettings();
        settings.bitmapEnabled = 1;
        settings.bitmapMode = 1;
        strcpy(settings.fileNames[0], "other.wav");
        strcpy(settings.fileNames[1], take.c_str());
        settings.fileCount = 2;
        const uint8_t data[] = {128, 200, 60};
        StreamCapture capture;
        waveBitmap(c.name.c_str(), formatOf(1, 8), data, 3);
        EXPECT_EQ(capture.err(), c.warned ? "W [BITMAP] cannot output [" + c.picture + "]\n" : "");
        EXPECT_EQ(capture.out(), report(c.picture, 1, 3, 3, 1));
        EXPECT_EQ(readFile(take), source);
        EXPECT_EQ(fileExists(c.picture), c.pictureExists);
    }
}

}  // namespace
