// boost, add, reverse and max: sample values, overflow counting and refusals.
#include <gtest/gtest.h>

#include <limits>

#include "driver/command_line.h"
#include "ops/gain.h"
#include "support/stage_harness.h"

namespace {

std::vector<int> samples16(const HandSource& hand) {
    std::vector<int> values;
    for (size_t i = 0; i + 1 < hand.bytes.size(); i += 2) values.push_back(readInt16(&hand.bytes[i]));
    return values;
}

int codeOf(const std::string& word) {
    if (word == "boost") return 4;
    if (word == "add") return 5;
    if (word == "reverse") return 6;
    return 20;
}

struct GainCase {
    std::vector<std::string> options;  // operation word first
    int channels;
    std::vector<int> in;
    std::vector<int> out;
    std::vector<std::string> lines;
};

void runGainCase(const GainCase& c) {
    std::vector<std::string> args = c.options;
    args.push_back("in.wav");
    args.push_back("out.wav");
    parseArgs(args);
    auto hand = handSource(c.channels, 16, 44100, c.in);
    WaveImage* image = nullptr;
    StageOutcome outcome = captureStage([&] { image = gainStage(&hand->source, codeOf(c.options[0])); });
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.lines, c.lines);
    EXPECT_EQ(samples16(*hand), c.out);
    ASSERT_NE(image, nullptr);
    const ParsedWave result = parseImage(image);
    EXPECT_EQ(result.channels, c.channels);
    EXPECT_EQ(result.values, c.out);
}

TEST(GainStage, IntegerRows) {
    const GainCase cases[] = {
        // -32768 has no positive twin: it is clamped and counted.
        {{"reverse"},
         1,
         {-32768, 32767, 1, -1, 0},
         {32767, -32767, -1, 1, 0},
         {"- [B/A] REVERSE.", "W [B/A16] found OverFlow, 1 time(s)."}},
        // reverse stays an integer operation whatever real factor is given.
        {{"reverse", "/B6"}, 2, {100, -200}, {-100, 200}, {"- [B/A] REVERSE."}},
        // Division truncates toward zero.
        {{"boost", "/m-3"},
         1,
         {7, -7, 3, -2, 32767, -32768},
         {2, -2, 1, 0, 10922, -10922},
         {"- [B/A] BOOST 1/3 times."}},
        {{"boost", "/m3"},
         2,
         {10000, -10000, 12000, -11000},
         {30000, -30000, 32767, -32768},
         {"- [B/A] BOOST 3 times.", "W [B/A16] found OverFlow, 2 time(s)."}},
        // /m after /M decides: the integer factor applies.
        {{"boost", "/M9", "/m2"}, 1, {-3, 4}, {-6, 8}, {"- [B/A] BOOST 2 times."}},
        {{"add", "/v100"},
         1,
         {32700, -32768, 0, 32667, 32668},
         {32767, -32668, 100, 32767, 32767},
         {"- [B/A] ADD 100.", "W [B/A16] found OverFlow, 2 time(s)."}},
        {{"add"}, 2, {5, -5, 32767, -32768}, {5, -5, 32767, -32768}, {"- [B/A] ADD 0."}},
        {{"add", "/M2.5", "/v1"}, 1, {3}, {4}, {"- [B/A] ADD 1."}},
        // The sum is taken in 64 bits: a large offset clamps, it never wraps round.
        {{"add", "/v2147483647"},
         1,
         {1, -1, -32768},
         {32767, 32767, 32767},
         {"- [B/A] ADD 2147483647.", "W [B/A16] found OverFlow, 3 time(s)."}},
        {{"add", "/v-2147483648"},
         1,
         {32767, 0},
         {-32768, -32768},
         {"- [B/A] ADD -2147483648.", "W [B/A16] found OverFlow, 2 time(s)."}},
    };
    for (const GainCase& c : cases) {
        SCOPED_TRACE(c.options[0] + (c.options.size() > 1 ? " " + c.options[1] : ""));
        runGainCase(c);
    }
}

TEST(GainStage, RealRows) {
    const GainCase cases[] = {
        {{"boost", "/M1.5"},
         1,
         {20000, 30000, -1, -30000, 1},
         {30000, 32767, -1, -32768, 1},
         {"- [B/A] BOOST 1.500000 times by floating.", "W [B/A16] found OverFlow, 2 time(s)."}},
        // 32767.5 exceeds the range and counts; -32767.5 does not and truncates toward zero.
        {{"boost", "/M1.5"},
         1,
         {21845, -21845, 21844},
         {32767, -32767, 32766},
         {"- [B/A] BOOST 1.500000 times by floating.", "W [B/A16] found OverFlow, 1 time(s)."}},
        {{"boost", "/M1"},
         2,
         {32767, -32768},
         {32767, -32768},
         {"- [B/A] BOOST 1.000000 times by floating."}},
        // 10^(6/20) = 1.99526231...: 16422 -> 32766.2, 16423 -> 32768.19, -16423 -> -32768.19.
        {{"boost", "/B6"},
         1,
         {1000, -1000, 16422, 16423, -16423},
         {1995, -1995, 32766, 32767, -32768},
         {"- [B/A] BOOST 1.995262 times by floating.", "W [B/A16] found OverFlow, 2 time(s)."}},
        // Samples from -16384 to 16383: factor 32768/16385.
        {{"max"}, 1, {-16384, 16383, 0, 1, -1}, {-32766, 32764, 0, 1, -1}, {"- [B/A] MAXIMIZE."}},
        // Peak 16383 on both sides: factor exactly 2; a given /M is replaced.
        {{"max", "/M5"}, 1, {16383, -16383, 5}, {32766, -32766, 10}, {"- [B/A] MAXIMIZE."}},
        // A sample -32768 gives the factor 32768/32769, a very slight attenuation.
        {{"max"}, 1, {-32768, 32767, 100}, {-32767, 32766, 99}, {"- [B/A] MAXIMIZE."}},
        // Stereo: the peak is taken over both channels (4000 on the right): factor 32768/4001.
        {{"max"}, 2, {1000, 200, -500, -4000}, {8189, 1637, -4094, -32759}, {"- [B/A] MAXIMIZE."}},
        {{"max"}, 1, {1, 0, -1}, {16384, 0, -16384}, {"- [B/A] MAXIMIZE."}},
    };
    for (const GainCase& c : cases) {
        SCOPED_TRACE(c.options[0] + (c.options.size() > 1 ? " " + c.options[1] : ""));
        runGainCase(c);
    }
}

TEST(GainStage, MaximiseStoresItsFactor) {
    parseArgs({"max", "/M7", "in.wav", "out.wav"});
    auto hand = handSource(1, 16, 8000, {0, 0});
    captureStage([&] { gainStage(&hand->source, 20); });
    EXPECT_EQ(settings.realFactor, 32768.0);  // a silent source: 32768 / (0 + 1)
}

TEST(GainStage, ProductThatIsNotANumberIsStoredAsZero) {
    parseArgs({"boost", "/M2", "in.wav", "out.wav"});
    settings.realFactor = std::numeric_limits<double>::infinity();
    auto hand = handSource(1, 16, 8000, {0, 1, -1});
    StageOutcome outcome = captureStage([&] { gainStage(&hand->source, 4); });
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(samples16(*hand), (std::vector<int>{0, 32767, -32768}));
    EXPECT_EQ(outcome.lines, (std::vector<std::string>{"- [B/A] BOOST inf times by floating.",
                                                       "W [B/A16] found OverFlow, 2 time(s)."}));
}

TEST(GainStage, PaddedStepsKeepTheirPadding) {
    parseArgs({"reverse", "in.wav", "out.wav"});
    // Stereo 16-bit steps of six bytes: left, right, then two padding bytes.
    auto hand = handSource(2, 16, 8000, {0, 0, 0, 0, 0, 0});
    hand->bytes = {0x01, 0x00, 0xFE, 0xFF, 0xAA, 0xBB, 0x00, 0x80, 0x10, 0x00, 0xCC, 0xDD};
    hand->source.data = hand->bytes.data();
    hand->source.steps = 2;
    hand->source.format.blockAlign = 6;
    StageOutcome outcome = captureStage([&] { gainStage(&hand->source, 6); });
    EXPECT_EQ(outcome.exitCode, 0);
    // 1 -> -1, -2 -> 2, -32768 -> 32767 (clamped), 16 -> -16; padding untouched.
    EXPECT_EQ(hand->bytes, (Bytes{0xFF, 0xFF, 0x02, 0x00, 0xAA, 0xBB, 0xFF, 0x7F, 0xF0, 0xFF, 0xCC, 0xDD}));
}

TEST(GainStage, Refusals) {
    struct Case {
        std::vector<std::string> options;
        int bits;
        int exitCode;
        std::vector<std::string> lines;
    } cases[] = {
        {{"boost"}, 16, -1, {"E [B/A] ERROR in BOOST, Multiple-Level is not set."}},
        {{"boost"}, 8, -1, {"E [B/A] ERROR in BOOST, Multiple-Level is not set."}},
        {{"boost", "/m-2147483648"}, 16, -1, {"E [B/A] ERROR in BOOST, Multiple-Level is not set."}},
        {{"boost", "/m0"}, 16, -2, {"- [B/A] ERROR, unknown I_MMODE.", "E [B/A16] LOGIC ERROR 1."}},
        {{"max", "/m2"}, 16, -2, {"- [B/A] MAXIMIZE.", "E [B/A16] LOGIC ERROR 1."}},
        {{"boost", "/m2"},
         8,
         -1,
         {"- [B/A] BOOST 2 times.", "E [B/A] ERROR in BOOST/ADD, not ready bit-rate(8)."}},
        {{"reverse"}, 8, -1, {"- [B/A] REVERSE.", "E [B/A] ERROR in BOOST/ADD, not ready bit-rate(8)."}},
        {{"add", "/v3"}, 24, -1, {"- [B/A] ADD 3.", "E [B/A] ERROR in BOOST/ADD, unknown bit-rate."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options[0] + (c.options.size() > 1 ? " " + c.options[1] : ""));
        std::vector<std::string> args = c.options;
        args.push_back("in.wav");
        args.push_back("out.wav");
        parseArgs(args);
        auto hand = handSource(1, c.bits == 8 ? 8 : 16, 8000, {10, -10});
        hand->source.format.bitsPerSample = static_cast<int16_t>(c.bits);
        const Bytes before = hand->bytes;
        StageOutcome outcome = captureStage([&] { gainStage(&hand->source, codeOf(c.options[0])); });
        EXPECT_EQ(outcome.exitCode, c.exitCode);
        EXPECT_EQ(outcome.lines, c.lines);
        EXPECT_EQ(hand->bytes, before);
    }
}

TEST(GainStage, OverflowLimit) {
    struct Case {
        std::vector<std::string> options;
        int overflowing;
        int exitCode;
        std::string last;
    } cases[] = {
        {{"boost", "/m2"}, 32, 0, "W [B/A16] found OverFlow, 32 time(s)."},
        {{"boost", "/m2"}, 33, -1, "E [B/A16] too many OverFlow (33 times), Aborted."},
        {{"boost", "/m2", "/F"}, 33, 0, "W [B/A16] found OverFlow, 33 time(s)."},
        {{"boost", "/M2"}, 32, 0, "W [B/A16] found OverFlow, 32 time(s)."},
        {{"boost", "/M2"}, 33, -1, "E [B/A16f] too many OverFlow (33 times), Aborted."},
        {{"boost", "/F", "/M2"}, 40, 0, "W [B/A16] found OverFlow, 40 time(s)."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options[1] + " " + std::to_string(c.overflowing));
        std::vector<std::string> args = c.options;
        args.push_back("in.wav");
        args.push_back("out.wav");
        parseArgs(args);
        // Overflowing samples alternate in sign, with quiet ones in between.
        std::vector<int> in;
        std::vector<int> expected;
        for (int i = 0; i < c.overflowing; ++i) {
            in.insert(in.end(), {i % 2 == 0 ? 20000 : -20000, 7});
            expected.insert(expected.end(), {i % 2 == 0 ? 32767 : -32768, 14});
        }
        auto hand = handSource(2, 16, 8000, in);
        StageOutcome outcome = captureStage([&] { gainStage(&hand->source, 4); });
        EXPECT_EQ(outcome.exitCode, c.exitCode);
        ASSERT_FALSE(outcome.lines.empty());
        EXPECT_EQ(outcome.lines.back(), c.last);
        if (c.exitCode == 0) {
            EXPECT_EQ(samples16(*hand), expected);
        }
    }
}

}  // namespace
