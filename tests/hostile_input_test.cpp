// Hostile source files through the whole program: every command refuses them with exactly its
// one line, or reads them as far as they go, and never leaves a file behind (no result, no
// temporary file, no picture) nor touches the source.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "support/run_qor.h"
#include "support/wave_writer.h"

namespace {

const std::vector<int> kSound = {0, 0, 90, -90, 60, 0};

struct HostileFile {
    std::string name;
    Bytes file;
    // The run's one error line; empty when the file holds no sound (info and ask then end
    // normally, an operation has no source).
    std::string error;
};

std::vector<HostileFile> hostileFiles() {
    const Bytes valid = makeWave(1, 8, 8000, kSound);
    const Bytes fmt = chunk("fmt ", fmtBody(1, 1, 8000, 8));
    const Bytes data = chunk("data", sampleBytes(8, kSound));
    const std::string notRiff = "E [info] file is not RIFF.";
    const std::string notWave = "E [info] file is not WAVE.";
    const std::string datatype = "E [FORMAT] unknown datatype.";

    std::vector<HostileFile> files = {{"empty", {}, notRiff}};
    for (size_t n = 1; n <= 11; n++) {
        files.push_back({std::to_string(n) + " bytes of a header", Bytes(valid.begin(), valid.begin() + n),
                         n < 4 ? notRiff : notWave});
    }
    Bytes rifx = valid;
    rifx[3] = 'X';
    Bytes wavf = valid;
    wavf[11] = 'f';
    Bytes cutHeader = riffWave({fmt});
    cutHeader.insert(cutHeader.end(), {'d', 'a', 't', 'a', 6, 0, 0});
    const std::vector<HostileFile> more = {
        {"RIFX", rifx, notRiff},
        {"not WAVE", wavf, notWave},
        {"fmt cut short", riffWave({chunk("fmt ", {1, 0, 1, 0}), data}), datatype},
        {"block align 0", riffWave({chunk("fmt ", fmtBody(1, 1, 8000, 8, 0)), data}), datatype},
        {"channels 0", riffWave({chunk("fmt ", fmtBody(1, 0, 8000, 8, 1)), data}), datatype},
        {"channels 3", riffWave({chunk("fmt ", fmtBody(1, 3, 8000, 8)), data}), datatype},
        {"24-bit", riffWave({chunk("fmt ", fmtBody(1, 1, 8000, 24)), data}), datatype},
        {"float tag", riffWave({chunk("fmt ", fmtBody(3, 1, 8000, 32)), data}), "E [FORMAT] unknown format [3]."},
        {"extensible tag", riffWave({chunk("fmt ", fmtBody(0xFFFE, 1, 8000, 16)), data}),
         "E [FORMAT] unknown format [-2]."},
        {"data before fmt", riffWave({data, fmt}), datatype},
        {"fact mismatch", riffWave({fmt, chunk("fact", {5, 0, 0, 0}), data}),
         "E [FORMAT] unmatch length, fact/data [5/6]."},
        {"fact body of one byte", riffWave({fmt, chunk("fact", {7}), Bytes{0}, data}),
         "E [FORMAT] unmatch length, fact/data [7/6]."},
        {"no chunks", riffWave({}), ""},
        {"header cut within the last 8 bytes", cutHeader, ""},
        {"fmt of size 0xFFFFFFFF", riffWave({chunk("fmt ", fmtBody(1, 1, 8000, 8), 0xFFFFFFFF), data}), ""},
        {"fmt running past the end", riffWave({chunk("fmt ", fmtBody(1, 1, 8000, 8), 0x7FFFFFF0), data}), ""},
        {"fact of size 0xFFFFFFFF before fmt", riffWave({chunk("fact", {6, 0, 0, 0}, 0xFFFFFFFF), fmt, data}), ""},
    };
    files.insert(files.end(), more.begin(), more.end());
    return files;
}

TEST(HostileInput, EveryCommandRefusesOrSkipsAndLeavesNothingBehind) {
    enum Kind { kReport, kAsk, kOperation };
    struct Command {
        Kind kind;
        std::vector<std::string> args;
    } commands[] = {
        {kReport, {"info", "/G", "/V", "h.wav"}},
        {kAsk, {"ask", "/RB", "h.wav"}},
        {kOperation, {"boost", "/m2", "/W", "h.wav"}},
        {kOperation, {"mix", "good.wav", "h.wav", "out.wav"}},  // the hostile file as source 2
        {kOperation, {"sb8convert", "/N", "/G", "h.wav", "out.wav"}},
        {kOperation, {"lrsprit", "/g", "h.wav", "out"}},
    };
    const Bytes good = makeWave(1, 8, 8000, kSound);
    for (const HostileFile& h : hostileFiles()) {
        SCOPED_TRACE(h.name);
        TempDir dir;
        writeFile(dir / "good.wav", good);
        writeFile(dir / "h.wav", h.file);
        for (const Command& c : commands) {
            SCOPED_TRACE(c.args[0]);
            RunResult r = runQor(c.args, dir.path);
            if (!h.error.empty()) {
                EXPECT_EQ(r.exitCode, 255);
                EXPECT_EQ(r.err, h.error + "\n");
            } else if (c.kind == kOperation) {
                EXPECT_EQ(r.exitCode, 255);
                EXPECT_EQ(r.err, "E [QOR] unknown operation (COMMON).\n");
            } else {
                EXPECT_EQ(r.exitCode, 0);
                EXPECT_EQ(r.err, "");
            }
            if (c.kind == kAsk) {
                EXPECT_EQ(r.out, "");
            }
            if (r.exitCode == 255) {
                EXPECT_EQ(r.out.find("finish"), std::string::npos);
            }
            EXPECT_EQ(dir.entries(), (std::vector<std::string>{"good.wav", "h.wav"}));
            EXPECT_EQ(readFile(dir / "h.wav"), h.file);
        }
    }
}

// A data chunk that claims more than the file holds: the steps present are used, with a warning.
TEST(HostileInput, DataChunksRunningOverTheFileUseWhatIsThere) {
    const Bytes fmt16 = chunk("fmt ", fmtBody(1, 2, 8000, 16));
    const Bytes samples = sampleBytes(16, {0, 0, 900, -900, 10000, -10000});
    struct Case {
        const char* name;
        Bytes file;
        int steps;
        std::vector<int> doubled;  // the samples boost /m2 writes
    } cases[] = {
        {"size 0xFFFFFFFF", riffWave({fmt16, chunk("data", samples, 0xFFFFFFFF)}), 3,
         {0, 0, 1800, -1800, 20000, -20000}},
        {"size past the end", riffWave({fmt16, chunk("data", samples, 4000)}), 3, {0, 0, 1800, -1800, 20000, -20000}},
        {"a part step at the end", riffWave({fmt16, chunk("data", sampleBytes(16, {100, -200, 300, -400, 5}), 400)}),
         2, {200, -400, 600, -800}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeFile(dir / "h.wav", c.file);
        const std::string warning = "W [DATA] chunk runs over file, use " + std::to_string(c.steps) + " steps.\n";
        char length[64];
        snprintf(length, sizeof length, "  [DATA] Length : %9d steps", c.steps);

        RunResult info = runQor({"info", "h.wav"}, dir.path);
        EXPECT_EQ(info.exitCode, 0);
        EXPECT_EQ(info.err, warning);
        const std::vector<std::string> out = lines(info.out);
        EXPECT_EQ(std::count(out.begin(), out.end(), std::string(length)), 1);

        RunResult boost = runQor({"boost", "/m2", "h.wav", "out.wav"}, dir.path);
        EXPECT_EQ(boost.exitCode, 1);
        EXPECT_EQ(boost.err, warning);
        EXPECT_EQ(parseCanonicalWave(readFile(dir / "out.wav")).values, c.doubled);
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"h.wav", "out.wav"}));
    }
}

// A sample rate near the top of the 32-bit range: a result whose byte rate no longer fits keeps
// the value wrapped to 32 bits, as the header field holds it, and the run ends normally.
TEST(HostileInput, ExtremeSampleRatesKeepTheirHeaders) {
    const int rate = INT32_MAX;
    const Bytes stereo16 = riffWave({chunk("fmt ", fmtBody(1, 2, rate, 16, 4, 0)),
                                     chunk("data", sampleBytes(16, {1000, -7, 2000, -8, 3000, -9}))});
    const Bytes stereo8 = riffWave({chunk("fmt ", fmtBody(1, 2, rate, 8, 2, 0)),
                                    chunk("data", sampleBytes(8, {10, 1, 20, 2, 30, 3}))});
    const Bytes mono16 = riffWave({chunk("fmt ", fmtBody(1, 1, rate, 16, 2, 0)),
                                   chunk("data", sampleBytes(16, {1000, 2000, 3000}))});
    struct Case {
        std::vector<std::string> args;
        int channels, bits, blockAlign, byteRate;
        std::vector<int> values;
    } cases[] = {
        // 2 x 0x7FFFFFFF is 0xFFFFFFFE in 32 bits.
        {{"l2mono", "s16.wav", "out.wav"}, 1, 16, 2, -2, {1000, 2000, 3000}},
        {{"r2mono", "s16.wav", "out.wav"}, 1, 16, 2, -2, {-7, -8, -9}},
        {{"lrmono", "s8.wav", "out.wav"}, 1, 8, 1, INT32_MAX, {11, 22, 33}},
        {{"lrcombine", "m16.wav", "m16.wav", "out.wav"}, 2, 16, 4, -4, {1000, 1000, 2000, 2000, 3000, 3000}},
        // Operations that keep the format copy the source's byte rate (0 here).
        {{"reverse", "s16.wav", "out.wav"}, 2, 16, 4, 0, {-1000, 7, -2000, 8, -3000, 9}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        TempDir dir;
        writeFile(dir / "s16.wav", stereo16);
        writeFile(dir / "s8.wav", stereo8);
        writeFile(dir / "m16.wav", mono16);
        RunResult r = runQor(c.args, dir.path);
        ASSERT_EQ(r.exitCode, 1) << r.err;
        ParsedWave w = parseCanonicalWave(readFile(dir / "out.wav"));
        EXPECT_EQ(w.channels, c.channels);
        EXPECT_EQ(w.bits, c.bits);
        EXPECT_EQ(w.sampleRate, rate);
        EXPECT_EQ(w.blockAlign, c.blockAlign);
        EXPECT_EQ(w.byteRate, c.byteRate);
        EXPECT_EQ(w.values, c.values);
    }
}

}  // namespace
