// The one-source level, length and channel operations through the real binary: files written,
// exit codes and refusals that write nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "support/run_qor.h"
#include "support/wave_writer.h"

namespace {

using Values = std::vector<int>;
using Names = std::vector<std::string>;

Names listFolder(const std::string& path) {
    Names names;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

struct Written {
    std::string name;  // relative to the folder the run starts in
    int channels;
    Values values;
};

struct Case {
    std::vector<std::string> args;  // the run starts in <dir>/sub, which holds in.wav
    int channels, bits;
    Values source;
    int exitCode;
    std::vector<Written> files;  // in.wav itself when it is overwritten
    std::string lastError = "";  // last line of the error stream of a refusal
};

void runCase(const Case& c) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0700), 0);
    const Bytes input = makeWave(c.channels, c.bits, 8000, c.source);
    writeFile(dir / "sub/in.wav", input);
    const RunResult run = runQor(c.args, dir / "sub");
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    if (!c.lastError.empty()) {
        ASSERT_FALSE(lines(run.err).empty());
        EXPECT_EQ(lines(run.err).back(), c.lastError);
    }

    Names inSub{"in.wav"};
    Names inDir{"sub"};
    for (const Written& w : c.files) {
        const ParsedWave result = parseCanonicalWave(readFile(dir / ("sub/" + w.name)));
        EXPECT_EQ(result.channels, w.channels) << w.name;
        EXPECT_EQ(result.bits, c.bits) << w.name;
        EXPECT_EQ(result.values, w.values) << w.name;
        if (w.name.rfind("../", 0) == 0) {
            inDir.push_back(w.name.substr(3));
        } else if (w.name != "in.wav") {
            inSub.push_back(w.name);
        }
    }
    std::sort(inSub.begin(), inSub.end());
    std::sort(inDir.begin(), inDir.end());
    EXPECT_EQ(listFolder(dir / "sub"), inSub);
    EXPECT_EQ(listFolder(dir.path), inDir);
    if (c.files.empty()) {
        EXPECT_EQ(readFile(dir / "sub/in.wav"), input);
    }
}

// 33 steps that each overflow once when doubled, alternately at either end.
Values loudSteps(int count) {
    Values v;
    for (int i = 0; i < count; ++i) v.push_back(i % 2 == 0 ? 20000 : -20000);
    return v;
}

TEST(OneSourceRuns, WriteTheirResults) {
    const Case cases[] = {
        {{"boost", "/m2", "in.wav", "out.wav"},
         2,
         16,
         {100, -200, 16384, -16384},
         1,
         {{"out.wav", 2, {200, -400, 32767, -32768}}}},
        {{"boost", "/W", "/m-2", "in.wav"}, 1, 16, {101, -101, 7}, 1, {{"in.wav", 1, {50, -50, 3}}}},
        {{"reverse", "in.wav", "out"}, 1, 16, {-32768, 5}, 1, {{"out.WAV", 1, {32767, -5}}}},
        {{"add", "/v-10", "in.wav", "out.wav"}, 1, 16, {0, -32760}, 1, {{"out.wav", 1, {-10, -32768}}}},
        {{"max", "in.wav", "out.wav"}, 1, 16, {-16384, 16383, 2}, 1, {{"out.wav", 1, {-32766, 32764, 3}}}},
        {{"boost", "/F", "/m2", "in.wav", "out.wav"},
         1,
         16,
         loudSteps(33),
         1,
         {{"out.wav", 1,
           [] {
               Values v;
               for (int i = 0; i < 33; ++i) v.push_back(i % 2 == 0 ? 32767 : -32768);
               return v;
           }()}}},
        {{"head", "/L-2", "in.wav", "out.wav"}, 1, 8, {1, 2, 3, 4}, 1, {{"out.wav", 1, {3, 4}}}},
        {{"cut", "/L1", "in.wav", "out.wav"}, 2, 16, {1, 2, 3, 4, 5, 6}, 1, {{"out.wav", 2, {3, 4, 5, 6}}}},
        // The silence of an 8-bit source is 128 (0 as byte - 128) in every channel.
        {{"inssilent", "/L1", "in.wav", "out.wav"},
         2,
         8,
         {-5, 9, 100, -100},
         1,
         {{"out.wav", 2, {0, 0, -5, 9, 100, -100}}}},
        {{"inssilent", "/L-3", "in.wav", "out.wav"}, 1, 8, {-5, 9}, 1, {{"out.wav", 1, {-5, 9, 0, 0, 0}}}},
        {{"back", "in.wav", "out.wav"}, 2, 16, {1, 2, 3, 4, 5, 6}, 1, {{"out.wav", 2, {5, 6, 3, 4, 1, 2}}}},
        {{"l2mono", "in.wav", "out.wav"}, 2, 8, {-128, 127, 3, 4}, 1, {{"out.wav", 1, {-128, 3}}}},
        {{"ccancel", "in.wav", "out.wav"}, 2, 16, {-32768, 1, 7, 7}, 1, {{"out.wav", 1, {-32768, 0}}}},
        {{"lrmono", "in.wav", "out.wav"}, 2, 8, {72, 72, 10, -30}, 1, {{"out.wav", 1, {127, -20}}}},
        {{"lrsprit", "in.wav", "take.wav"},
         2,
         16,
         {1, -1, 2, -2},
         2,
         {{"take_Lch.wav", 1, {1, 2}}, {"take_Rch.wav", 1, {-1, -2}}}},
        {{"lrsprit", "in.wav", "a.b.wav"},
         2,
         8,
         {1, -1},
         2,
         {{"a.b_Lch.wav", 1, {1}}, {"a.b_Rch.wav", 1, {-1}}}},
        // The last path component has no dot: the tags are appended.
        {{"lrsprit", "in.wav", "../ab"}, 2, 16, {9, 8}, 2, {{"../ab_Lch", 1, {9}}, {"../ab_Rch", 1, {8}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args.back());
        runCase(c);
    }
}

TEST(OneSourceRuns, RefusalsWriteNothing) {
    const Case cases[] = {
        {{"boost", "in.wav", "out.wav"},
         1,
         16,
         {1},
         255,
         {},
         "E [B/A] ERROR in BOOST, Multiple-Level is not set."},
        {{"boost", "/W", "in.wav"},
         1,
         16,
         {1},
         255,
         {},
         "E [B/A] ERROR in BOOST, Multiple-Level is not set."},
        {{"boost", "/m0", "in.wav", "out.wav"}, 1, 16, {1}, 254, {}, "E [B/A16] LOGIC ERROR 1."},
        {{"boost", "/m2", "in.wav", "out.wav"},
         1,
         16,
         loudSteps(33),
         255,
         {},
         "E [B/A16] too many OverFlow (33 times), Aborted."},
        {{"boost", "/W", "/M2", "in.wav"},
         1,
         16,
         loudSteps(33),
         255,
         {},
         "E [B/A16f] too many OverFlow (33 times), Aborted."},
        {{"add", "/v8", "in.wav", "out.wav"},
         1,
         8,
         {1},
         255,
         {},
         "E [B/A] ERROR in BOOST/ADD, not ready bit-rate(8)."},
        {{"head", "/L4", "in.wav", "out.wav"},
         1,
         16,
         {1, 2, 3},
         255,
         {},
         "E [HEAD] too long, pickup length."},
        {{"head", "in.wav", "out.wav"},
         1,
         16,
         {1, 2, 3},
         255,
         {},
         "E [HEAD] length must over 1 or under -1."},
        {{"cut", "/L-3", "in.wav", "out.wav"},
         1,
         16,
         {1, 2, 3},
         255,
         {},
         "E [CUT] too long, cutting length."},
        {{"inssilent", "in.wav", "out.wav"},
         1,
         16,
         {1, 2},
         255,
         {},
         "E [INSERTSILENT] length is not set, use /L."},
        {{"inssilent", "/L2", "in.wav", "out.wav"},
         1,
         16,
         {1, 2},
         255,
         {},
         "E [INSERTSILENT] too long, cutting length."},
        {{"l2mono", "in.wav", "out.wav"}, 1, 16, {1, 2}, 255, {}, "E [CHECK] source file must be 2ch."},
        {{"lrsprit", "in.wav", "out.wav"}, 1, 16, {1, 2}, 255, {}, "E [CHECK] source file must be 2ch."},
        {{"lrmono", "in.wav", "out.wav"},
         2,
         16,
         Values(66, 20000),
         255,
         {},
         "E [MONOC] too many OverFlow (33 times), Aborted."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        runCase(c);
    }
}

TEST(OneSourceRuns, SplitToNakedPcmNamesBothFilesFromTheGivenName) {
    TempDir dir;
    writeFile(dir / "in.wav", makeWave(2, 16, 8000, {1, -1, 2, -2}));
    const RunResult run = runQor({"lrsprit", "/N", "in.wav", "out.wav"}, dir.path);
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_EQ(dir.entries(), (Names{"in.wav", "out_Lch.PHL", "out_Rch.PHL"}));
    EXPECT_EQ(readFile(dir / "out_Lch.PHL"), sampleBytes(16, {1, 2}));
    EXPECT_EQ(readFile(dir / "out_Rch.PHL"), sampleBytes(16, {-1, -2}));
}

}  // namespace
