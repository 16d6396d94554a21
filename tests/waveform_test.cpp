// The waveform pictures: names, the samples-per-pixel choice and its report, frame and traces,
// drawn by info runs of the binary and read back from the BMP files; the frame and the sample
// reader also on a canvas of their own.
#include "bitmap/waveform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/bmp_reader.h"
#include "support/run_qor.h"
#include "support/wave_writer.h"

namespace {

constexpr uint8_t kGrey = 8, kBlack = 7, kMaroon = 11, kNavy = 14;

struct Rendered {
    std::string report, err;  // the [BITMAP] lines of the run, and its error stream
    ParsedBmp bmp;            // empty when no picture was written
};

// The [BITMAP] lines of a run's output.
std::string bitmapReport(const std::string& out) {
    std::string report;
    for (const std::string& line : lines(out)) {
        if (line.rfind("  [BITMAP]", 0) == 0) report += line + "\n";
    }
    return report;
}

// Runs info with the picture option given on `values` (interleaved; 8-bit given as signed) and
// reads the picture back.
Rendered render(const std::string& option, int channels, int bits, const std::vector<int>& values,
                int blockAlign = -1) {
    TempDir dir;
    writeFile(dir / "take.wav", makeWave(channels, bits, 8000, values, blockAlign));
    const RunResult run = runQor({"info", option, "take.wav"}, dir.path);
    Rendered r{bitmapReport(run.out), run.err, {}};
    if (fileExists(dir / "take.BMP")) r.bmp = parseBmp(readFile(dir / "take.BMP"));
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
        std::string option;  // /G draws peak to peak, /g the average; a width, or -samples per pixel
        int channels, bits, steps;
        int g, columns;
    } cases[] = {
        {"one second at 44100", "/G", 1, 8, 44100, 46, 958},
        {"not stretched to the width", "/G", 1, 8, 1000, 2, 500},
        {"short sound", "/g", 1, 16, 500, 1, 500},
        {"exactly the width", "/G", 1, 8, 960, 1, 960},
        {"one past the width", "/g", 1, 8, 961, 2, 480},
        {"reduction given, remainder not drawn", "/g-10", 1, 8, 44105, 10, 4410},
        {"stereo 16-bit", "/G", 2, 16, 2000, 3, 666},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<int> silence(static_cast<size_t>(c.steps) * c.channels, 0);
        Rendered r = render(c.option, c.channels, c.bits, silence);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.report, report("take.BMP", c.option[1] == 'G' ? 3 : 1, c.steps, c.columns, c.g));
        EXPECT_EQ(r.bmp.width, c.columns + 14);
        EXPECT_EQ(r.bmp.height, 263);
    }
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
        ASSERT_EQ(writeCanvasNow(canvas), 0);
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

TEST(WavePicture, TraceRows) {
    struct Case {
        const char* what;
        std::string option;  // /G-g peak to peak, /g-g the average, g samples per column
        int bits;
        std::vector<int> values;
        std::vector<std::vector<int>> columnRows;  // trace rows of each plot column
        int blockAlign = -1;                       // steps with padding: the values list it too
    } cases[] = {
        {"16-bit extremes and small values", "/G-1", 16, {32767, -32768, 255, -255, 256, -256},
         {{4}, {259}, {131}, {131}, {130}, {132}}},
        {"8-bit extremes and silence", "/G-1", 8, {127, -128, 0, 1}, {{4}, {259}, {131}, {130}}},
        // hi = 1000 / 256 = 3, lo = -3000 / 256 = -11, both truncated toward zero.
        {"span of a two-sample column", "/G-2", 16, {1000, -3000}, {span(128, 142)}},
        {"full span", "/G-3", 8, {127, 0, -128, 5, 5, 5}, {span(4, 259), {126}}},
        // The average line joins each column's point to the previous one.
        {"mean truncated toward zero", "/g-2", 16, {1000, -3000}, {{134}}},
        {"mean 255.5 stays on the axis", "/g-2", 16, {255, 256, -255, -256}, {{131}, {131}}},
        {"equal neighbours", "/g-1", 8, {4, 4}, {{127}, {127}}},
        {"down through the axis", "/g-1", 8, {10, -5}, {span(121, 131), span(131, 136)}},
        {"up through the axis", "/g-1", 8, {-5, 10}, {span(131, 136), span(121, 131)}},
        {"up from the axis", "/g-1", 8, {0, 6}, {{131}, span(125, 130)}},
        {"down from the axis", "/g-1", 8, {0, -6}, {{131}, span(132, 137)}},
        {"back to the axis from above", "/g-1", 8, {6, 0}, {span(125, 130), {131}}},
        {"back to the axis from below", "/g-1", 8, {-6, 0}, {span(132, 137), {131}}},
        {"growing above", "/g-1", 8, {3, 8}, {{128}, span(123, 127)}},
        {"growing below", "/g-1", 8, {-3, -8}, {{134}, span(135, 139)}},
        {"shrinking above", "/g-1", 8, {8, 3}, {span(123, 127), {128}}},
        {"shrinking below", "/g-1", 8, {-8, -3}, {span(135, 139), {134}}},
        {"full swing", "/g-1", 8, {-128, 127}, {span(131, 259), span(4, 131)}},
        {"three columns", "/g-1", 8, {0, 2, 1}, {{131}, span(129, 130), {130}}},
        // Two steps of a sample and a padding word each: the padding is never drawn.
        {"padded steps", "/G-1", 16, {32767, -32768, -32768, 32767}, {{4}, {259}}, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rendered r = render(c.option, 1, c.bits, c.values, c.blockAlign);
        const int columns = static_cast<int>(c.columnRows.size());
        auto expected = expectedFrame(columns);
        for (int col = 0; col < columns; col++) {
            for (int y : c.columnRows[col]) expected[y][10 + col] = kBlack;
        }
        EXPECT_EQ(r.bmp.rows, expected);
    }
}

TEST(WavePicture, StereoTracesOverlaidInTwoColours) {
    // Steps (left, right): both at +50, then left on the axis and right at -50.
    Rendered r = render("/G", 2, 16, {12800, 12800, 0, -12800});
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
        ASSERT_EQ(writeCanvasNow(canvas), 0);
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
        ASSERT_EQ(writeCanvasNow(canvas), 0);
        bitmapRelease(canvas);
        ParsedBmp bmp = parseBmp(readFile(dir / "x.bmp"));
        EXPECT_EQ(bmp.rowsOf(10, kBlack), c.row < 0 ? std::vector<int>{} : std::vector<int>{c.row});
    }
}

// A picture that would replace a source or whose name is too long is not made; the run warns,
// still reports it, and writes its result.
TEST(WavePicture, UnwritablePicturesWarnAndStillReport) {
    const std::string folder(100, 'd');
    auto named = [&](size_t length, const char* extension) {
        return folder + "/" + std::string(length - folder.size() - 5, 'n') + extension;
    };
    struct Case {
        const char* what;
        std::string result, picture;
        bool made;
    } cases[] = {
        {"picture name is a link to the source", "out.wav", "out.BMP", false},
        {"picture name of 260 characters", named(260, ".wav"), named(260, ".BMP"), false},
        {"picture name of 259 characters", named(259, ".wav"), named(259, ".BMP"), true},
    };
    const Bytes source = makeWave(1, 16, 8000, {1000, -3000, 0});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        writeFile(dir / "take.wav", source);
        ASSERT_EQ(mkdir((dir / folder).c_str(), 0700), 0);
        ASSERT_EQ(symlink("take.wav", (dir / "out.BMP").c_str()), 0);
        const RunResult run = runQor({"boost", "/G", "/m2", "take.wav", c.result}, dir.path);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, c.made ? "" : "W [BITMAP] cannot output [" + c.picture + "]\n");
        EXPECT_EQ(bitmapReport(run.out), report(c.picture, 3, 3, 3, 1));
        EXPECT_EQ(readFile(dir / "take.wav"), source);
        EXPECT_EQ(parseCanonicalWave(readFile(dir / c.result)).values, (std::vector<int>{2000, -6000, 0}));
        if (c.made) {
            EXPECT_EQ(parseBmp(readFile(dir / c.picture)).width, 17);
        } else if (c.picture != "out.BMP") {
            EXPECT_FALSE(fileExists(dir / c.picture));
        }
    }
}

}  // namespace
