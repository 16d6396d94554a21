// head, cut, inssilent and back: which steps the result holds, and the refusals.
#include <gtest/gtest.h>

#include "driver/command_line.h"
#include "ops/length.h"
#include "support/stage_harness.h"

namespace {

using Values = std::vector<int>;

// Interleaved values of `steps` steps whose every sample is distinct and in range.
Values ramp(int steps, int channels, int bits) {
    Values v;
    for (int s = 0; s < steps; ++s) {
        for (int c = 0; c < channels; ++c)
            v.push_back(bits == 8 ? (s * 7 + c * 50) % 251 - 125 : s * 3 - 1500 + c);
    }
    return v;
}

Values stepsOf(const Values& v, int channels, int first, int count) {
    return Values(v.begin() + first * channels, v.begin() + (first + count) * channels);
}

Values silence(int steps, int channels) { return Values(static_cast<size_t>(steps * channels), 0); }

Values join(Values a, const Values& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

WaveImage* runStage(const std::string& word, PcmSource* source) {
    if (word == "head") return headStage(source);
    if (word == "cut") return cutStage(source);
    if (word == "inssilent") return insertSilenceStage(source);
    return backwardStage(source);
}

struct LengthCase {
    std::vector<std::string> options;  // operation word first
    int channels, bits, rate, steps;
    Values expected;  // empty when refused
    std::string line;
};

TEST(LengthStages, ResultSteps) {
    const Values s16 = ramp(1000, 2, 16);
    const Values m8 = ramp(20, 1, 8);
    const Values m16 = ramp(7, 1, 16);
    const Values s8 = ramp(5, 2, 8);
    const LengthCase cases[] = {
        {{"head", "/L100"},
         2,
         16,
         44100,
         1000,
         stepsOf(s16, 2, 0, 100),
         "- [HEAD] pickup 100 steps, 0.002 seconds."},
        {{"head", "/L-100"},
         2,
         16,
         44100,
         1000,
         stepsOf(s16, 2, 900, 100),
         "- [HEAD] pickup 100 steps, 0.002 seconds."},
        {{"head", "/L1"}, 1, 8, 8000, 20, stepsOf(m8, 1, 0, 1), "- [HEAD] pickup 1 steps, 0.000 seconds."},
        {{"head", "/L-1"}, 1, 8, 8000, 20, stepsOf(m8, 1, 19, 1), "- [HEAD] pickup 1 steps, 0.000 seconds."},
        {{"head", "/L-20"}, 1, 8, 10, 20, m8, "- [HEAD] pickup 20 steps, 2.000 seconds."},
        {{"cut"}, 2, 16, 44100, 1000, s16, "- [CUT] cut 0 steps, 0.000 seconds."},
        {{"cut", "/L3"}, 1, 8, 8000, 20, stepsOf(m8, 1, 3, 17), "- [CUT] cut 3 steps, 0.000 seconds."},
        {{"cut", "/L-3"}, 1, 8, 8000, 20, stepsOf(m8, 1, 0, 17), "- [CUT] cut 3 steps, 0.000 seconds."},
        {{"cut", "/L-441"},
         2,
         16,
         44100,
         1000,
         stepsOf(s16, 2, 0, 559),
         "- [CUT] cut 441 steps, 0.010 seconds."},
        {{"cut", "/L19"}, 1, 8, 8000, 20, stepsOf(m8, 1, 19, 1), "- [CUT] cut 19 steps, 0.002 seconds."},
        {{"inssilent", "/L10"},
         1,
         8,
         8000,
         20,
         join(silence(10, 1), m8),
         "- [INSERTSILENT] insert silent 10 steps, 0.001 seconds."},
        {{"inssilent", "/L-10"},
         1,
         8,
         8000,
         20,
         join(m8, silence(10, 1)),
         "- [INSERTSILENT] insert silent 10 steps, 0.001 seconds."},
        {{"inssilent", "/L10"},
         2,
         16,
         44100,
         1000,
         join(silence(10, 2), s16),
         "- [INSERTSILENT] insert silent 10 steps, 0.000 seconds."},
        {{"inssilent", "/L-4"},
         2,
         8,
         4,
         5,
         join(s8, silence(4, 2)),
         "- [INSERTSILENT] insert silent 4 steps, 1.000 seconds."},
        {{"inssilent", "/L0"}, 1, 16, 8000, 7, m16, "- [INSERTSILENT] insert silent 0 steps, 0.000 seconds."},
        {{"inssilent", "/L6"},
         1,
         16,
         8000,
         7,
         join(silence(6, 1), m16),
         "- [INSERTSILENT] insert silent 6 steps, 0.001 seconds."},
        {{"inssilent", "/L-35"},
         1,
         16,
         8000,
         7,
         join(m16, silence(35, 1)),
         "- [INSERTSILENT] insert silent 35 steps, 0.004 seconds."},
        {{"back"},
         2,
         8,
         8000,
         5,
         {s8[8], s8[9], s8[6], s8[7], s8[4], s8[5], s8[2], s8[3], s8[0], s8[1]},
         "- [BACKWORD] Backword wave."},
        {{"back"}, 1, 16, 8000, 3, {m16[2], m16[1], m16[0]}, "- [BACKWORD] Backword wave."},
        {{"back"}, 1, 8, 8000, 1, {m8[0]}, "- [BACKWORD] Backword wave."},
    };
    for (const LengthCase& c : cases) {
        SCOPED_TRACE(c.options[0] + (c.options.size() > 1 ? " " + c.options[1] : "") + " on " +
                     std::to_string(c.channels) + "ch " + std::to_string(c.bits) + "bit");
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"in.wav", "out.wav"});
        parseArgs(args);
        auto hand = handSource(c.channels, c.bits, c.rate, ramp(c.steps, c.channels, c.bits));
        WaveImage* image = nullptr;
        StageOutcome outcome = captureStage([&] { image = runStage(c.options[0], &hand->source); });
        EXPECT_EQ(outcome.exitCode, 0);
        EXPECT_EQ(outcome.lines, std::vector<std::string>{c.line});
        ASSERT_NE(image, nullptr);
        ParsedWave result = parseImage(image);
        EXPECT_EQ(result.channels, c.channels);
        EXPECT_EQ(result.bits, c.bits);
        EXPECT_EQ(result.sampleRate, c.rate);
        EXPECT_EQ(result.blockAlign, c.channels * c.bits / 8);
        EXPECT_EQ(result.values, c.expected);
    }
}

TEST(LengthStages, Refusals) {
    const LengthCase cases[] = {
        {{"head"}, 1, 16, 8000, 10, {}, "E [HEAD] length must over 1 or under -1."},
        {{"head", "/L0"}, 1, 16, 8000, 10, {}, "E [HEAD] length must over 1 or under -1."},
        {{"head", "/L11"}, 1, 16, 8000, 10, {}, "E [HEAD] too long, pickup length."},
        {{"head", "/L-11"}, 2, 8, 8000, 10, {}, "E [HEAD] too long, pickup length."},
        {{"head", "/L-2147483648"}, 1, 16, 8000, 10, {}, "E [HEAD] too long, pickup length."},
        {{"cut", "/L10"}, 1, 16, 8000, 10, {}, "E [CUT] too long, cutting length."},
        {{"cut", "/L-10"}, 2, 8, 8000, 10, {}, "E [CUT] too long, cutting length."},
        {{"cut", "/L-2147483648"}, 1, 16, 8000, 10, {}, "E [CUT] too long, cutting length."},
        {{"cut", "/L2147483647"}, 1, 16, 8000, 10, {}, "E [CUT] too long, cutting length."},
        {{"inssilent"}, 1, 16, 8000, 10, {}, "E [INSERTSILENT] length is not set, use /L."},
        {{"inssilent", "/L10"}, 1, 16, 8000, 10, {}, "E [INSERTSILENT] too long, cutting length."},
        {{"inssilent", "/L2147483647"}, 1, 16, 8000, 10, {}, "E [INSERTSILENT] too long, cutting length."},
        // |L| + N steps beyond the 32-bit range.
        {{"inssilent", "/L-2147483647"}, 1, 8, 8000, 10, {}, "E [INSERTSILENT] too long, cutting length."},
        // (|L| + N) x 4 bytes beyond the 32-bit range.
        {{"inssilent", "/L-600000000"}, 2, 16, 8000, 10, {}, "E [INSERTSILENT] too long, cutting length."},
    };
    for (const LengthCase& c : cases) {
        SCOPED_TRACE(c.options[0] + (c.options.size() > 1 ? " " + c.options[1] : ""));
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"in.wav", "out.wav"});
        parseArgs(args);
        auto hand = handSource(c.channels, c.bits, c.rate, ramp(c.steps, c.channels, c.bits));
        StageOutcome outcome = captureStage([&] { runStage(c.options[0], &hand->source); });
        EXPECT_EQ(outcome.exitCode, -1);
        EXPECT_EQ(outcome.lines, std::vector<std::string>{c.line});
    }
}

TEST(LengthStages, BackTwiceRestoresTheSourceAndPaddedStepsStayWhole) {
    parseArgs({"back", "in.wav", "out.wav"});
    for (int channels : {1, 2}) {
        for (int bits : {8, 16}) {
            auto hand = handSource(channels, bits, 8000, ramp(9, channels, bits));
            const Bytes original = hand->bytes;  // the stage reverses the source where it lies
            WaveImage* once = nullptr;
            captureStage([&] { once = backwardStage(&hand->source); });
            ASSERT_NE(once, nullptr);
            PcmSource reversed = hand->source;
            reversed.data = once + 44;
            WaveImage* twice = nullptr;
            captureStage([&] { twice = backwardStage(&reversed); });
            ASSERT_NE(twice, nullptr);
            EXPECT_EQ(Bytes(twice + 44, twice + 44 + original.size()), original);
        }
    }
    // Three-byte steps (a 16-bit mono sample and one padding byte) move as wholes.
    auto hand = handSource(1, 8, 8000, {0, 0, 0, 0, 0, 0});
    hand->bytes = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    hand->source.data = hand->bytes.data();
    hand->source.steps = 3;
    hand->source.format.blockAlign = 3;
    hand->source.format.bitsPerSample = 16;
    WaveImage* image = nullptr;
    captureStage([&] { image = backwardStage(&hand->source); });
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(Bytes(image + 44, image + 53), (Bytes{7, 8, 9, 4, 5, 6, 1, 2, 3}));
}

}  // namespace
