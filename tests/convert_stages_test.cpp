// Voltage compression, the simple 8-bit conversion, the lo-fi passes with the window mean, and
// the resampler, called in process on hand-built sources.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "convert/lofi.h"
#include "convert/sb8convert.h"
#include "convert/vcompress.h"
#include "driver/command_line.h"
#include "driver/log.h"
#include "support/pcm_fixture.h"
#include "support/run_qor.h"

namespace {

struct StageRun {
    WaveImage* image = nullptr;
    int exitCode = 0;  // 0 when the stage returned, else the code the run ended with
    std::string out, err;
};

template <typename Stage>
StageRun runStage(Stage stage, PcmSource* source) {
    StageRun run;
    StreamCapture capture;
    try {
        run.image = stage(source);
    } catch (const QorExit& exit) {
        run.exitCode = exit.code;
    }
    run.out = capture.out();
    run.err = capture.err();
    return run;
}

TEST(VoltageCompression, SampleMapping) {
    struct Case {
        const char* name;
        int channels, threshold;
        double rate;
        const char* rateText;
        std::vector<int> in, expected;
        int overflows;
    } cases[] = {
        {"rate 0 clips at the threshold", 1, 1024, 0.0, " 0.00", {5000, -5000, 1023, -1023, 1024, -1024, -32768},
         {1024, -1024, 1023, -1023, 1024, -1024, -1024}, 0},
        {"half rate above the threshold", 1, 1024, 0.5, " 0.50", {3000, -3000, 32767}, {2012, -2012, 16895}, 0},
        {"rate 1 keeps all but -32768", 1, 1024, 1.0, " 1.00", {32767, -32767, 12345, -32768}, {32767, -32767, 12345, -32767}, 1},
        {"expansion overflows at the top", 1, 1024, 2.0, " 2.00", {20000, -20000, 16895, 16896}, {32767, -32767, 32766, 32767}, 3},
        {"fractions truncate toward zero", 1, 1000, 0.3, " 0.30", {1001, -1001, 1004, -1004}, {1000, -1000, 1001, -1001}, 0},
        {"threshold 0 leaves silence", 1, 0, 1.0, " 1.00", {0, 1, -1}, {0, 1, -1}, 0},
        // The curve flips the sign: far below zero it clamps instead of wrapping.
        {"negative rate clamps both ends", 1, 1000, -2.0, "-2.00", {20000, -20000, 1500, -1500, 1200, -1200, 999},
         {-32768, 32767, 0, 0, 600, -600, 999}, 2},
        {"stereo channels alike and apart", 2, 1024, 0.5, " 0.50", {3000, 100, -100, -3000, 1024, 2024},
         {2012, 100, -100, -2012, 1024, 1524}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetSettings();
        settings.silenceThreshold = c.threshold;
        settings.realFactor = c.rate;
        auto fixture = makePcmSource(c.channels, 44100, c.in);
        StageRun run = runStage(vcompressStage, &fixture->source);
        EXPECT_EQ(run.exitCode, 0);
        ASSERT_NE(run.image, nullptr);
        EXPECT_EQ(fixture->samples(), c.expected);
        EXPECT_EQ(parseCanonicalWave(imageBytes(run.image)).values, c.expected);
        EXPECT_EQ(run.out, "- [VCOMPRESS] threshold level " + std::to_string(c.threshold) + " , rate " +
                               c.rateText + ".\n");
        EXPECT_EQ(run.err, c.overflows == 0 ? std::string()
                                            : "W [VCOMPRESS] found OverFlow, " + std::to_string(c.overflows) +
                                                  " time(s).\n");
    }
}

TEST(VoltageCompression, OverflowLimit) {
    struct Case {
        const char* name;
        int count;
        double rate;
        bool ignoreLimit;
        int exitCode;
        std::string err;
    } cases[] = {
        {"32 at the top", 32, 2.0, false, 0, "W [VCOMPRESS] found OverFlow, 32 time(s).\n"},
        {"33rd at the top aborts", 33, 2.0, false, -1, "E [VCOMPRESS] too many OverFlow (33 times), Aborted.\n"},
        {"33rd below zero aborts", 33, -3.0, false, -1, "E [VCOMPRESS] too many OverFlow (33 times), Aborted.\n"},
        {"limit lifted", 50, 2.0, true, 0, "W [VCOMPRESS] found OverFlow, 50 time(s).\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetSettings();
        settings.silenceThreshold = 1024;
        settings.realFactor = c.rate;
        if (c.ignoreLimit) settings.overflowLimit = INT32_MAX;
        auto fixture = makePcmSource(1, 8000, std::vector<int>(c.count, 30000));
        StageRun run = runStage(vcompressStage, &fixture->source);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(run.err, c.err);
    }
}

TEST(VoltageCompression, EightBitRefusedUntouched) {
    resetSettings();
    settings.silenceThreshold = 16;
    auto fixture = makePcmSource(1, 8000, {5000, -5000});
    fixture->source.format.bitsPerSample = 8;
    StageRun run = runStage(vcompressStage, &fixture->source);
    EXPECT_EQ(run.exitCode, -1);
    EXPECT_EQ(run.err, "E [VCOMPRESS] not ready bitrate(8).\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(fixture->samples(), (std::vector<int>{5000, -5000}));
}

TEST(SimpleConvert8, SampleMappingAndFormat) {
    // Each pair: 16-bit sample, expected unsigned byte.
    const std::vector<std::pair<int, int>> table = {
        {0, 128},    {127, 128},  {128, 129},    {-128, 128},   {-383, 128},  {-384, 127},
        {32639, 255}, {32640, 255}, {32767, 255}, {-32768, 1},  {-32640, 1},  {-32641, 1},
        {255, 129},  {383, 129},  {384, 130},   {-639, 127},   {-640, 126},  {16384, 192},
    };
    std::vector<int> in, expected;
    for (const auto& [s, byte] : table) {
        in.push_back(s);
        expected.push_back(byte - 128);
    }
    for (int channels : {1, 2}) {
        SCOPED_TRACE(channels);
        resetSettings();
        auto fixture = makePcmSource(channels, 22050, in);
        StageRun run = runStage(simpleConvert8Stage, &fixture->source);
        EXPECT_EQ(run.out, "- [SIMPLECONVERT] convert to 8bit.\n");
        ASSERT_NE(run.image, nullptr);
        ParsedWave w = parseCanonicalWave(imageBytes(run.image));
        EXPECT_EQ(w.bits, 8);
        EXPECT_EQ(w.channels, channels);
        EXPECT_EQ(w.blockAlign, channels);
        EXPECT_EQ(w.byteRate, channels * 22050);
        EXPECT_EQ(w.sampleRate, 22050);
        // Interleaving is kept: the bytes follow the samples' storage order.
        EXPECT_EQ(w.values, expected);
    }
}

TEST(SimpleConvert8, PaddedStepsReadAtTheirStride) {
    resetSettings();
    auto fixture = makePcmSource(1, 8000, {-384, 32767, 128}, 4);
    StageRun run = runStage(simpleConvert8Stage, &fixture->source);
    ASSERT_NE(run.image, nullptr);
    ParsedWave w = parseCanonicalWave(imageBytes(run.image));
    EXPECT_EQ(w.blockAlign, 1);
    EXPECT_EQ(w.values, (std::vector<int>{127 - 128, 255 - 128, 129 - 128}));
}

TEST(WindowMean, OverlapWeights) {
    struct Case {
        const char* name;
        std::vector<int> values;
        double a, b;
        int expected;
    } cases[] = {
        {"whole steps", {100, 200, 300}, 0.0, 2.0, 150},
        {"half steps at both ends", {100, 200, 300}, 0.5, 2.5, 200},  // (50 + 200 + 150) / 2
        {"inside one step", {100, 300}, 0.25, 0.75, 100},
        {"across a step border", {100, 300}, 0.5, 1.5, 200},
        {"quarter weights", {0, 400, 800}, 0.75, 2.25, 400},  // (0 + 400 + 200) / 1.5
        {"negative truncates toward zero", {-100, -201}, 0.0, 2.0, -150},
        {"positive truncates toward zero", {100, 201}, 0.0, 2.0, 150},
        {"ends at the last step", {10, 20, 30}, 1.0, 3.0, 25},
        {"empty window", {10, 20, 30}, 3.0, 3.0, 0},
        {"full scale stays in range", {32767, 32767, 32767}, 0.25, 2.75, 32767},
        {"lowest stays in range", {-32768, -32768, -32768}, 0.5, 2.5, -32768},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto fixture = makePcmSource(1, 8000, c.values);
        EXPECT_EQ(windowMean(fixture->source, 0, c.a, c.b), c.expected);
    }
}

TEST(WindowMean, ReadsOnlyItsChannel) {
    auto fixture = makePcmSource(2, 8000, {100, -1000, 300, -3000, 500, -5000}, 6);
    EXPECT_EQ(windowMean(fixture->source, 0, 0.0, 3.0), 300);
    EXPECT_EQ(windowMean(fixture->source, 1, 0.0, 3.0), -3000);
    EXPECT_EQ(windowMean(fixture->source, 1, 1.5, 3.0), -4333);  // (-1500 - 5000) / 1.5
}

TEST(LofiHold, WindowOrderFeedback) {
    struct Case {
        const char* name;
        int channels;
        double ratio;
        std::vector<int> in, expected;
    } cases[] = {
        // Window 1 reads step 2 as window 0's mean: (150 + 400) / 2 = 275, and so on.
        {"two steps a window", 1, 2.0, {100, 200, 300, 400, 500, 600, 700, 800},
         {150, 150, 275, 275, 437, 437, 618, 618}},
        {"fractional windows", 1, 44100.0 / 16540.0, {100, 200, 300, 400, 500, 600, 700, 800, 900, 1000},
         {187, 187, 187, 355, 355, 651, 651, 651, 825, 825}},
        // Right: 500, then (500 + 0) / 2, (250 + 0) / 2, (125 + 0) / 2 truncated.
        {"stereo keeps channels apart", 2, 2.0,
         {100, 1000, 200, 0, 300, 1000, 400, 0, 500, 1000, 600, 0, 700, 1000, 800, 0},
         {150, 500, 150, 500, 275, 250, 275, 250, 437, 125, 437, 125, 618, 62, 618, 62}},
        // Three windows of 3: [0,3) -> 20; [3,6) reads step 3 = 20 -> (20 + 50 + 60) / 3 = 43;
        // [6,7) reads step 6 = 43 -> 43. The last step is never written past.
        // Window ends at exactly half a step round down: [0, 2.5) -> 180 written to steps 0..2;
        // [2.5, 5) reads step 2 as 180: (90 + 400 + 500) / 2.5 = 396, written to steps 2..4.
        {"half-step ends round down", 1, 2.5, {100, 200, 300, 400, 500}, {180, 180, 396, 396, 396}},
        {"short last window", 1, 3.0, {10, 20, 30, 40, 50, 60, 70}, {20, 20, 20, 43, 43, 43, 43}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto fixture = makePcmSource(c.channels, 44100, c.in);
        lofiHoldPass(fixture->source, c.ratio);
        EXPECT_EQ(fixture->samples(), c.expected);
    }
}

TEST(LofiQuantise, LevelsByDepth) {
    struct Case {
        int bits;
        std::vector<int> in, expected;
    } cases[] = {
        {4, {32767, -32768, 10000, -10000, 4088, 4089, -1, 0}, {28672, -28672, 8192, -8192, 0, 4096, 0, 0}},
        {8, {1000, -10000, 32767, -32768}, {1024, -9728, 32512, -32512}},
        {1, {32767, -32768, 1, -1, 0}, {0, 0, 0, 0, 0}},
        {16, {0, -32768, 32767, -1, 1}, {16384, 0, 32767, 16383, 16384}},
        {2, {32767, 16384, -16384, -16387, -32768}, {16384, 16384, 0, -16384, -16384}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        auto fixture = makePcmSource(1, 44100, c.in);
        lofiQuantisePass(fixture->source, c.bits);
        EXPECT_EQ(fixture->samples(), c.expected);
    }
}

TEST(LofiStage, HoldsOnlyWhenTheTargetIsSlower) {
    struct Case {
        const char* name;
        int sourceRate, targetRate, bits;
        std::vector<int> in, expected;
    } cases[] = {
        // 16 bits maps s to (s + 32768) / 2 after the hold: 187 -> 16477, 355 -> 16561, ...
        {"slower target holds", 44100, 16540, 16, {100, 200, 300, 400, 500, 600, 700, 800, 900, 1000},
         {16477, 16477, 16477, 16561, 16561, 16709, 16709, 16709, 16796, 16796}},
        {"same rate only quantises", 16540, 16540, 16, {100, 5000, -7000, 20000}, {16434, 18884, 12884, 26384}},
        {"faster target only quantises", 8000, 16540, 4, {32767, 10000, 4089, -10000}, {28672, 8192, 4096, -8192}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetSettings();
        settings.outputRate = c.targetRate;
        settings.outputBits = c.bits;
        auto fixture = makePcmSource(1, c.sourceRate, c.in);
        StageRun run = runStage(lofiStage, &fixture->source);
        EXPECT_EQ(run.out, "");
        ASSERT_NE(run.image, nullptr);
        ParsedWave w = parseCanonicalWave(imageBytes(run.image));
        EXPECT_EQ(w.sampleRate, c.sourceRate);
        EXPECT_EQ(w.bits, 16);
        EXPECT_EQ(w.values, c.expected);
    }
}

TEST(ConvertStage, WindowOutputs) {
    struct Case {
        const char* name;
        int channels, sourceRate, targetRate;
        std::vector<int> in, expected;
    } cases[] = {
        {"halving, whole division leaves an empty last step", 1, 22050, 11025,
         {100, 200, 300, 400, 500, 600, 700, 800}, {150, 350, 550, 750, 0}},
        {"halving, odd length ends on the last sample", 1, 22050, 11025,
         {100, 200, 300, 400, 500, 600, 700, 800, 900}, {150, 350, 550, 750, 900}},
        {"doubling repeats every sample", 1, 11025, 22050, {10, -20, 30}, {10, 10, -20, -20, 30, 30, 0}},
        // Worked out with exact fractions: windows of 2205/827 steps over the untouched source.
        {"fractional windows without feedback", 1, 44100, 16540,
         {100, 200, 300, 400, 500, 600, 700, 800, 900, 1000}, {187, 449, 712, 949}},
        {"fractional windows, mixed signs", 1, 44100, 16540,
         {3000, -3000, 7000, -12000, 5, 0, -1, 32767, -32768, 100}, {1749, -3622, 12274, -16304}},
        {"stereo windows shared, channels apart", 2, 22050, 11025,
         {100, -1, 200, -2, 300, -3, 400, -4, 500, -5, 600, -6, 700, -7, 800, -8},
         {150, -1, 350, -3, 550, -5, 750, -7, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetSettings();
        settings.outputRate = c.targetRate;
        auto fixture = makePcmSource(c.channels, c.sourceRate, c.in);
        const std::vector<int> before = fixture->samples();
        StageRun run = runStage(convertStage, &fixture->source);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "");
        ASSERT_NE(run.image, nullptr);
        ParsedWave w = parseCanonicalWave(imageBytes(run.image));
        EXPECT_EQ(w.sampleRate, c.targetRate);
        EXPECT_EQ(w.channels, c.channels);
        EXPECT_EQ(w.blockAlign, 2 * c.channels);
        EXPECT_EQ(w.byteRate, 2 * c.channels * c.targetRate);
        EXPECT_EQ(w.bits, 16);
        EXPECT_EQ(w.values, c.expected);
        EXPECT_EQ(fixture->samples(), before);
    }
}

TEST(ConvertStage, LongSourceStepCount) {
    resetSettings();
    settings.outputRate = 22050;
    auto fixture = makePcmSource(1, 44100, std::vector<int>(44100, 7));
    StageRun run = runStage(convertStage, &fixture->source);
    ASSERT_NE(run.image, nullptr);
    ParsedWave w = parseCanonicalWave(imageBytes(run.image));
    ASSERT_EQ(w.values.size(), 22051u);
    EXPECT_EQ(w.values[22049], 7);
    EXPECT_EQ(w.values[22050], 0);
}

TEST(ConvertStage, Refusals) {
    struct Case {
        const char* name;
        int sourceRate, targetRate, steps;
        const char* err;
    } cases[] = {
        {"no frequency", 44100, 0, 4, "E [CONVERT] frequency not set, use /f.\n"},
        // 30000 steps at 1 Hz to 44100 Hz: 1,323,000,001 steps fit, their 2-byte data do not.
        {"bytes leave the 32-bit range", 1, 44100, 30000, "E [CONVERT] too long, total length.\n"},
        {"steps leave the 32-bit range", 1, 44100, 50000, "E [CONVERT] too long, total length.\n"},
        {"zero source rate", 0, 44100, 4, "E [CONVERT] too long, total length.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetSettings();
        settings.outputRate = c.targetRate;
        auto fixture = makePcmSource(1, c.sourceRate, std::vector<int>(c.steps, 1));
        StageRun run = runStage(convertStage, &fixture->source);
        EXPECT_EQ(run.exitCode, -1);
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.out, "");
    }
}

}  // namespace
