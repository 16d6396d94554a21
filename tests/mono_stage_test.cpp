// l2mono, r2mono, lrmono, ccancel and the split names of lrsprit.
#include <gtest/gtest.h>

#include <string>

#include "driver/command_line.h"
#include "ops/mono.h"
#include "support/run_qor.h"
#include "support/stage_harness.h"

namespace {

using Values = std::vector<int>;

const char* wordOf(int measure) {
    static const char* const words[] = {"l2mono", "r2mono", "lrmono", "ccancel"};
    return words[measure - 12];
}

TEST(MonoStage, ResultSamples) {
    struct Case {
        int measure, bits;
        Values in;  // left, right, left, right ... (8-bit as byte - 128)
        Values out;
        std::vector<std::string> lines;
    } cases[] = {
        {12, 16, {1, -2, 32767, -32768, 300, 400}, {1, 32767, 300}, {"- [MONO] get LEFT channel."}},
        {13, 16, {1, -2, 32767, -32768, 300, 400}, {-2, -32768, 400}, {"- [MONO] get RIGHT channel."}},
        {12, 8, {-128, 127, 5, -5}, {-128, 5}, {"- [MONO] get LEFT channel."}},
        {13, 8, {-128, 127, 5, -5}, {127, -5}, {"- [MONO] get RIGHT channel."}},
        // The sum is not halved: 20000 + 20000 clamps.
        {14,
         16,
         {20000, 20000, 1000, -3000, -20000, -20000, 32767, -32768},
         {32767, -2000, -32768, -1},
         {"- [MONO] mix L+R channel.", "W [MONOC] found OverFlow, 2 time(s)."}},
        {15,
         16,
         {-32768, 1, 5, 5, 32767, -1, 100, 300},
         {-32768, 0, 32767, -200},
         {"- [MONO] subtract L-R channel.", "W [MONOC] found OverFlow, 2 time(s)."}},
        // 8-bit, as byte - 128: silence stays silence, +72 + +72 and -128 + -128 clamp.
        {14,
         8,
         {0, 0, 72, 72, -128, -128, 30, -50},
         {0, 127, -128, -20},
         {"- [MONO] mix L+R channel.", "W [MONOC] found OverFlow, 2 time(s)."}},
        // Bytes 200 and 100 (+72, -28) give 228; equal channels cancel to 128.
        {15,
         8,
         {72, -28, -28, -28, 127, -128, -128, 1},
         {100, 0, 127, -128},
         {"- [MONO] subtract L-R channel.", "W [MONOC] found OverFlow, 2 time(s)."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(wordOf(c.measure)) + " " + std::to_string(c.bits) + "bit");
        parseArgs({wordOf(c.measure), "in.wav", "out.wav"});
        auto hand = handSource(2, c.bits, 22050, c.in);
        WaveImage* image = nullptr;
        StageOutcome outcome = captureStage([&] { image = monoStage(&hand->source, c.measure); });
        EXPECT_EQ(outcome.exitCode, 0);
        EXPECT_EQ(outcome.lines, c.lines);
        ASSERT_NE(image, nullptr);
        ParsedWave result = parseImage(image);
        EXPECT_EQ(result.channels, 1);
        EXPECT_EQ(result.bits, c.bits);
        EXPECT_EQ(result.sampleRate, 22050);
        EXPECT_EQ(result.blockAlign, c.bits / 8);
        EXPECT_EQ(result.byteRate, 22050 * c.bits / 8);
        EXPECT_EQ(result.values, c.out);
    }
}

TEST(MonoStage, OverflowLimitAndRefusals) {
    struct Case {
        std::vector<std::string> args;
        int measure, bits, channels, overflowing;
        int exitCode;
        std::string last;
    } cases[] = {
        {{"lrmono"}, 14, 16, 2, 32, 0, "W [MONOC] found OverFlow, 32 time(s)."},
        {{"lrmono"}, 14, 16, 2, 33, -1, "E [MONOC] too many OverFlow (33 times), Aborted."},
        {{"ccancel"}, 15, 8, 2, 33, -1, "E [MONOC] too many OverFlow (33 times), Aborted."},
        {{"ccancel", "/F"}, 15, 8, 2, 50, 0, "W [MONOC] found OverFlow, 50 time(s)."},
        {{"l2mono"}, 12, 16, 1, 0, -1, "E [MONO] too few channel."},
        {{"lrmono"}, 99, 16, 2, 0, -1, "E [MONO] unknown measure."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + std::to_string(c.overflowing));
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"in.wav", "out.wav"});
        parseArgs(args);
        // Each overflowing step pushes past one end of the range, alternately; a quiet step follows.
        const int loud = c.bits == 8 ? 100 : 30000;
        Values in;
        for (int i = 0; i < c.overflowing; ++i) {
            const int sign = i % 2 == 0 ? 1 : -1;
            in.insert(in.end(), {sign * loud, (c.measure == 15 ? -sign : sign) * loud, 3, 2});
        }
        if (in.empty()) in = {3, 2};
        auto hand = handSource(c.channels, c.bits, 8000, in);
        StageOutcome outcome = captureStage([&] { monoStage(&hand->source, c.measure); });
        EXPECT_EQ(outcome.exitCode, c.exitCode);
        ASSERT_FALSE(outcome.lines.empty());
        EXPECT_EQ(outcome.lines.back(), c.last);
    }
}

TEST(SplitName, InsertsTheTagBeforeTheLastDotOfTheLastComponent) {
    struct Case {
        std::string name, left;
    } cases[] = {
        {"out.wav", "out_Lch.wav"},
        {"take.WAV", "take_Lch.WAV"},
        {"a.b.wav", "a.b_Lch.wav"},
        {"../ab", "../ab_Lch"},
        {"dir.x/take", "dir.x/take_Lch"},
        {"dir.x/take.wav", "dir.x/take_Lch.wav"},
        {".wav", "_Lch.wav"},
        {"ab", "ab_Lch"},
        {std::string(1015, 'n') + ".wav", std::string(1015, 'n') + "_Lch.wav"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 40));
        char out[kNameBufferSize];
        ASSERT_TRUE(splitName(c.name.c_str(), "_Lch", out));
        EXPECT_EQ(std::string(out), c.left);
    }
    char out[kNameBufferSize];
    EXPECT_FALSE(splitName((std::string(1016, 'n') + ".wav").c_str(), "_Lch", out));
}

TEST(SplitStage, WritesTheLeftFileAndReturnsTheRight) {
    TempDir dir;
    parseArgs({"lrsprit", "in.wav", dir / "take.wav"});
    auto hand = handSource(2, 16, 8000, {10, -20, 30, -40, 32767, -32768});
    WaveImage* right = nullptr;
    StageOutcome outcome = captureStage([&] { right = splitStage(&hand->source); });
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.lines, (std::vector<std::string>{
                                 "- [MONO] get LEFT channel.",
                                 "- [OUTPUT2] Filename   : " + (dir / "take_Lch.wav"),
                                 "- [OUTPUT2] Size       : 50 Bytes",
                                 "- [MONO] get RIGHT channel.",
                             }));
    EXPECT_EQ(settings.destName, dir / "take_Rch.wav");
    EXPECT_EQ(settings.filesWritten, 1);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"take_Lch.wav"});
    EXPECT_EQ(parseCanonicalWave(readFile(dir / "take_Lch.wav")).values, (Values{10, 30, 32767}));
    ASSERT_NE(right, nullptr);
    EXPECT_EQ(parseImage(right).values, (Values{-20, -40, -32768}));
}

TEST(SplitStage, RefusesANameThatWouldNotFit) {
    const std::string name = std::string(1016, 'n') + ".wav";
    parseArgs({"lrsprit", "in.wav", name});
    auto hand = handSource(2, 16, 8000, {1, 2});
    StageOutcome outcome = captureStage([&] { splitStage(&hand->source); });
    EXPECT_EQ(outcome.exitCode, -1);
    EXPECT_EQ(outcome.lines, std::vector<std::string>{"E [QOR] too long filename. [" + name + "]"});
    EXPECT_EQ(settings.filesWritten, 0);
}

}  // namespace
