// vcompress, sb8convert, lofi and convert through the real binary: options, files and exit codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/run_qor.h"
#include "support/wave_writer.h"

namespace {

bool hasLine(const std::string& text, const std::string& line) {
    const std::vector<std::string> all = lines(text);
    return std::find(all.begin(), all.end(), line) != all.end();
}

TEST(ConvertCommands, ResultFiles) {
    struct Case {
        const char* name;
        std::vector<std::string> options;
        int channels, bits, rate;
        std::vector<int> in;
        const char* stageLine;  // a line the run must print, or null
        int outChannels, outBits, outRate;
        std::vector<int> expected;  // 8-bit results as byte - 128
    } cases[] = {
        {"vcompress half rate", {"vcompress", "/M0.5"}, 1, 16, 44100, {3000, -3000, 500},
         "- [VCOMPRESS] threshold level 1024 , rate  0.50.", 1, 16, 44100, {2012, -2012, 500}},
        {"vcompress threshold from /t clips", {"vcompress", "/t2000"}, 2, 16, 8000, {3000, -3000, 1500, -2500},
         "- [VCOMPRESS] threshold level 2000 , rate  0.00.", 2, 16, 8000, {2000, -2000, 1500, -2000}},
        {"sb8convert stereo", {"sb8convert"}, 2, 16, 22050, {-384, 32767, 128, -32768},
         "- [SIMPLECONVERT] convert to 8bit.", 2, 8, 22050, {127 - 128, 255 - 128, 129 - 128, 1 - 128}},
        // Presets 4 bits and 16540 Hz: windows of 2 steps hold 15000 and (15000 - 10000) / 2,
        // then 4 bits keep 3 x 4096 and 0.
        {"lofi presets", {"lofi"}, 1, 16, 33080, {10000, 20000, 30000, -10000}, nullptr, 1, 16, 33080,
         {12288, 12288, 0, 0}},
        {"lofi options override", {"lofi", "/b16", "/f16540"}, 1, 16, 44100,
         {100, 200, 300, 400, 500, 600, 700, 800, 900, 1000}, nullptr, 1, 16, 44100,
         {16477, 16477, 16477, 16561, 16561, 16709, 16709, 16709, 16796, 16796}},
        {"convert halves the rate", {"convert", "/f11025"}, 1, 16, 22050, {100, 200, 300, 400, 500, 600, 700, 800},
         nullptr, 1, 16, 11025, {150, 350, 550, 750, 0}},
        {"convert doubles stereo", {"convert", "/f22050"}, 2, 16, 11025, {10, -10, 20, -20}, nullptr, 2, 16, 22050,
         {10, -10, 10, -10, 20, -20, 20, -20, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeFile(dir / "a.wav", makeWave(c.channels, c.bits, c.rate, c.in));
        std::vector<std::string> args = c.options;
        args.push_back("a.wav");
        args.push_back("b.wav");
        RunResult run = runQor(args, dir.path);
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_EQ(run.err, "");
        if (c.stageLine != nullptr) {
            EXPECT_TRUE(hasLine(run.out, c.stageLine)) << run.out;
        }
        ASSERT_TRUE(fileExists(dir / "b.wav"));
        ParsedWave w = parseCanonicalWave(readFile(dir / "b.wav"));
        EXPECT_EQ(w.channels, c.outChannels);
        EXPECT_EQ(w.bits, c.outBits);
        EXPECT_EQ(w.sampleRate, c.outRate);
        EXPECT_EQ(w.blockAlign, c.outChannels * c.outBits / 8);
        EXPECT_EQ(w.byteRate, w.blockAlign * c.outRate);
        EXPECT_EQ(w.values, c.expected);
    }
}

TEST(ConvertCommands, Refusals) {
    struct Case {
        const char* name;
        std::vector<std::string> options;
        int bits;
        const char* errorLine;
        const char* warningLine;  // or null
    } cases[] = {
        {"vcompress 8-bit", {"vcompress"}, 8, "E [VCOMPRESS] not ready bitrate(8).", nullptr},
        {"vcompress overflow limit", {"vcompress", "/M4"}, 16, "E [VCOMPRESS] too many OverFlow (33 times), Aborted.",
         nullptr},
        {"sb8convert 8-bit", {"sb8convert"}, 8, "E [CHECK] source file must be 16bit.", nullptr},
        {"lofi 8-bit", {"lofi"}, 8, "E [CHECK] source file must be 16bit.", nullptr},
        {"convert without /f", {"convert"}, 16, "E [CONVERT] frequency not set, use /f.", nullptr},
        {"convert with a refused /f", {"convert", "/f48000"}, 16, "E [CONVERT] frequency not set, use /f.",
         "W [INIT] BAD frequency, use 0 Hz."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::vector<int> values(40, c.bits == 8 ? 100 : 20000);
        writeFile(dir / "a.wav", makeWave(1, c.bits, 8000, values));
        std::vector<std::string> args = c.options;
        args.push_back("a.wav");
        args.push_back("b.wav");
        RunResult run = runQor(args, dir.path);
        EXPECT_EQ(run.exitCode, 255);
        std::string expectedErr = c.warningLine == nullptr ? "" : std::string(c.warningLine) + "\n";
        expectedErr += std::string(c.errorLine) + "\n";
        EXPECT_EQ(run.err, expectedErr);
        EXPECT_FALSE(fileExists(dir / "b.wav"));
    }
}

}  // namespace
