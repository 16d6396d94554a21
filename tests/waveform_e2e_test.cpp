// Waveform pictures through the real binary: which runs draw, under which names, with which
// report lines, and what the pictures hold.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/bmp_reader.h"
#include "support/run_qor.h"
#include "support/wave_writer.h"

namespace {

struct Picture {
    std::string name;
    bool peakToPeak;
    int samples, columns, reduce;
    uint8_t colour;              // the trace colour checked
    std::vector<int> traceRows;  // rows of that colour in every plot column
};

struct Case {
    const char* what;
    std::vector<std::string> args;  // the run starts in the folder that holds the source
    std::string source;
    int channels, bits;
    std::vector<int> values;
    int exitCode;
    std::vector<Picture> pictures;
    std::string err = "";
};

std::string padded(int n) {
    std::string digits = std::to_string(n);
    return std::string(9 - std::min<size_t>(9, digits.size()), ' ') + digits;
}

std::vector<std::string> reportLines(const Picture& p) {
    return {"  [BITMAP] Output BMP  :           " + p.name,
            p.peakToPeak ? "  [BITMAP]     Mode    :           Peak to Peak Line"
                         : "  [BITMAP]     Mode    :           Average Line",
            "  [BITMAP]     Samples : " + padded(p.samples) + " samples",
            "  [BITMAP]     Width   : " + padded(p.columns) + " pixel",
            "  [BITMAP]     Reduce  : " + padded(p.reduce) + " samples/pixel"};
}

std::vector<int> repeat(std::vector<int> step, int count) {
    std::vector<int> out;
    for (int i = 0; i < count; i++) out.insert(out.end(), step.begin(), step.end());
    return out;
}

TEST(WavePictureRuns, PicturesOfSourcesAndResults) {
    const Case cases[] = {
        {"info draws the source",
         {"info", "/G", "take.wav"},
         "take.wav",
         1,
         16,
         {1000, -3000, 0},
         0,
         {{"take.BMP", true, 3, 3, 1, 7, {}}}},
        {"info with a width",
         {"info", "/g500", "take.wav"},
         "take.wav",
         1,
         8,
         std::vector<int>(44100, 2),
         0,
         {{"take.BMP", false, 44100, 495, 89, 7, {129}}}},
        {"info of a stereo source",
         {"info", "/G", "take.wav"},
         "take.wav",
         2,
         8,
         repeat({10, -20}, 1000),
         0,
         {{"take.BMP", true, 1000, 500, 2, 11, {121}}, {"take.BMP", true, 1000, 500, 2, 14, {151}}}},
        {"ask draws nothing", {"ask", "/G", "take.wav"}, "take.wav", 1, 16, {1000}, 0, {}},
        {"boost draws the result",
         {"boost", "/G", "/m2", "take.wav", "out.wav"},
         "take.wav",
         1,
         16,
         std::vector<int>(4, -3000),
         1,
         {{"out.BMP", true, 4, 4, 1, 7, {154}}}},
        {"lrsprit draws both results",
         {"lrsprit", "/g", "take.wav", "sp.wav"},
         "take.wav",
         2,
         16,
         repeat({2560, -2560}, 1000),
         2,
         {{"sp_Lch.BMP", false, 1000, 500, 2, 7, {121}}, {"sp_Rch.BMP", false, 1000, 500, 2, 7, {141}}}},
        {"a picture never replaces its source",
         {"info", "/G", "take.bmp"},
         "take.bmp",
         1,
         16,
         {1000},
         0,
         {{"take.bmp", true, 1, 1, 1, 7, {}}},
         "W [BITMAP] cannot output [take.bmp]\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const Bytes source = makeWave(c.channels, c.bits, 8000, c.values);
        writeFile(dir / c.source, source);
        const RunResult run = runQor(c.args, dir.path);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(readFile(dir / c.source), source);

        const std::vector<std::string> out = lines(run.out);
        std::vector<std::string> bmpNames;
        size_t from = 0;
        for (const Picture& p : c.pictures) {
            if (!bmpNames.empty() && bmpNames.back() == p.name) continue;  // two traces of one picture
            bmpNames.push_back(p.name);
            const std::vector<std::string> report = reportLines(p);
            auto at =
                std::search(out.begin() + static_cast<long>(from), out.end(), report.begin(), report.end());
            EXPECT_NE(at, out.end()) << "report of " << p.name << " in\n" << run.out;
            if (at != out.end()) from = static_cast<size_t>(at - out.begin()) + report.size();
        }
        int reportCount = 0;
        for (const std::string& line : out) reportCount += line.rfind("  [BITMAP] Output BMP", 0) == 0;
        EXPECT_EQ(reportCount, static_cast<int>(bmpNames.size()));

        for (const Picture& p : c.pictures) {
            if (p.traceRows.empty()) continue;
            const ParsedBmp bmp = parseBmp(readFile(dir / p.name));
            EXPECT_EQ(bmp.width, p.columns + 14);
            EXPECT_EQ(bmp.height, 263);
            for (int col = 0; col < p.columns; col++) {
                ASSERT_EQ(bmp.rowsOf(10 + col, p.colour), p.traceRows) << p.name << " column " << col;
            }
        }
        // The pictures and nothing else beside the source and the results.
        for (const std::string& entry : dir.entries()) {
            const bool isPicture = std::find(bmpNames.begin(), bmpNames.end(), entry) != bmpNames.end();
            const bool isWave = entry == c.source || entry.find(".wav") != std::string::npos;
            EXPECT_TRUE(isPicture || isWave) << entry;
        }
        for (const std::string& name : bmpNames) {
            EXPECT_TRUE(fileExists(dir / name)) << name;
        }
    }
}

TEST(WavePictureRuns, SmallPicturesHoldTheTrace) {
    // 16-bit, one sample per column: 1000 / 256 = 3 and -3000 / 256 = -11 (toward zero).
    TempDir dir;
    writeFile(dir / "take.wav", makeWave(1, 16, 8000, {1000, -3000, 0}));
    const RunResult run = runQor({"info", "/G", "take.wav"}, dir.path);
    ASSERT_EQ(run.exitCode, 0);
    const ParsedBmp bmp = parseBmp(readFile(dir / "take.BMP"));
    EXPECT_EQ(bmp.width, 17);
    EXPECT_EQ(bmp.rowsOf(10, 7), std::vector<int>{128});
    EXPECT_EQ(bmp.rowsOf(11, 7), std::vector<int>{142});
    EXPECT_EQ(bmp.rowsOf(12, 7), std::vector<int>{131});

    // A result named like its picture keeps the name; the picture is not made, and says so.
    const RunResult boost = runQor({"boost", "/G", "/m2", "take.wav", "out.bmp"}, dir.path);
    EXPECT_EQ(boost.exitCode, 1);
    EXPECT_EQ(boost.err, "W [BITMAP] cannot output [out.bmp]\n");
    EXPECT_EQ(parseCanonicalWave(readFile(dir / "out.bmp")).values, (std::vector<int>{2000, -6000, 0}));
}

}  // namespace
