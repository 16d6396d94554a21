// Reading sources: the chunk walk and its report, malformed files, and the channel statistics.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <map>

#include "support/run_qor.h"
#include "support/wave_writer.h"

namespace {

const char* kFormatMono8 =
    "- [INFO] chunk info -------------------------------\n"
    "  [info] chunk type : FORMAT\n"
    "  [info] chunk size : 16 bytes.\n"
    "  [FORMAT] FormatID  : 1\n"
    "  [FORMAT] ch        : 1 \n"
    "  [FORMAT] hz        : 8000 Hz\n"
    "  [FORMAT] bps       : 8000 bytes/sec\n"
    "  [FORMAT] blocksize : 1 bytes/step\n"
    "  [FORMAT] bitrate   : 8 bits/sample\n";

const char* kStatsMono8 =
    "- [STAT  ] statistics -----------------------------\n"
    "  [STAT/S] Threshold : 16 (0x0010)\n"
    "  [STAT/0] Max         :       +72 /  +127\n"
    "  [STAT/0] Min         :       -68 /  -128\n"
    "  [STAT/0] Avg/Total   :        +0.667\n"
    "  [STAT/0] Avg/Abs     :        23.333\n"
    "  [STAT/0] HeadSilence :         2 steps\n"
    "  [STAT/0] Available   :         3 steps / 6 steps\n"
    "  [STAT/0] TailSilence :         1 steps\n";

const std::vector<int> kMono8 = {0, 0, 72, 0, -68, 0};

TEST(Info, CanonicalFileReport) {
    TempDir dir;
    writeFile(dir / "a.wav", makeWave(1, 8, 8000, kMono8));
    RunResult r = runQor({"info", "a.wav"}, dir.path);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, std::string("- [QOR] Run INFO-mode.\n"
                                 "- [QOR] Start QOR =================================\n"
                                 "- [INFO] file info ================================\n"
                                 "  [info] FileName : a.wav\n"
                                 "  [info] FileSize : 50\n"
                                 "  [info] FileType : RIFF\n"
                                 "  [info] RIFFSize : 42\n"
                                 "  [info] RIFFType : WAVE\n") +
                         kFormatMono8 +
                         "- [INFO] chunk info -------------------------------\n"
                         "  [info] chunk type : DATA\n"
                         "  [info] chunk size : 6 bytes.\n"
                         "  [DATA] Length :         6 steps\n"
                         "  [DATA] Length :         0.001 seconds\n" +
                         kStatsMono8 +
                         "- [info] file info = EOF ==========================\n"
                         "- [APMALLOC] unhandling buffers, 3 areas.\n"
                         "- [QOR] finish QOR.\n");
}

// Files with more chunks than fmt and data: what the walk reports, in order, on both streams.
TEST(Info, ChunkWalk) {
    const Bytes fmt = chunk("fmt ", fmtBody(1, 1, 8000, 8));
    Bytes fmt18 = fmtBody(1, 1, 8000, 8);
    fmt18.push_back(0);
    fmt18.push_back(0);
    const Bytes data = chunk("data", sampleBytes(8, kMono8));
    const Bytes fact6 = chunk("fact", {6, 0, 0, 0});
    const std::string walkHead = "- [INFO] chunk info -------------------------------\n";
    const std::string dataLines =
        walkHead + "  [info] chunk type : DATA\n  [info] chunk size : 6 bytes.\n"
                   "  [DATA] Length :         6 steps\n  [DATA] Length :         0.001 seconds\n";
    std::string fmt18Lines = kFormatMono8;
    fmt18Lines.replace(fmt18Lines.find("16 bytes"), 2, "18");
    struct Case {
        const char* name;
        Bytes file;
        std::string walk;  // the chunk lines between RIFFType and the statistics
    } cases[] = {
        {"list before data", riffWave({fmt, chunk("LIST", Bytes(4, 'x')), data}),
         std::string(kFormatMono8) + walkHead + "W [info] chunk type : unknown, [LIST].\n  [info] chunk size : 4 bytes.\n" + dataLines},
        {"list after data is not visited", riffWave({fmt, data, chunk("LIST", Bytes(2, 'x'))}),
         std::string(kFormatMono8) + dataLines},
        {"fact that matches", riffWave({fmt, fact6, data}),
         std::string(kFormatMono8) + walkHead + "  [info] chunk type : FACTOR\n  [info] chunk size : 4 bytes.\n"
                                                "  [FACTOR] Length  : 6\n" + dataLines},
        {"18-byte fmt body", riffWave({chunk("fmt ", fmt18), data}), fmt18Lines + dataLines},
        {"odd chunk with its pad byte", riffWave({fmt, chunk("odd ", {1, 2, 3, 0}, 3), data}),
         std::string(kFormatMono8) + walkHead + "W [info] chunk type : unknown, [odd ].\n  [info] chunk size : 3 bytes.\n" + dataLines},
        {"data chunk running past the end", riffWave({fmt, chunk("data", sampleBytes(8, kMono8), 1000)}),
         std::string(kFormatMono8) + walkHead + "  [info] chunk type : DATA\n  [info] chunk size : 1000 bytes.\n"
             "W [DATA] chunk runs over file, use 6 steps.\n"
             "  [DATA] Length :         6 steps\n  [DATA] Length :         0.001 seconds\n"},
        {"data chunk of size -1", riffWave({fmt, chunk("data", sampleBytes(8, kMono8), 0xFFFFFFFF)}),
         std::string(kFormatMono8) + walkHead + "  [info] chunk type : DATA\n  [info] chunk size : -1 bytes.\n"
             "W [DATA] chunk runs over file, use 6 steps.\n"
             "  [DATA] Length :         6 steps\n  [DATA] Length :         0.001 seconds\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeFile(dir / "a.wav", c.file);
        RunResult r = runQor({"info", "a.wav"}, dir.path, "C.UTF-8", true);
        EXPECT_EQ(r.exitCode, 0);
        size_t from = r.out.find("  [info] RIFFType : WAVE\n");
        size_t to = r.out.find("- [STAT  ]");
        ASSERT_NE(from, std::string::npos);
        ASSERT_NE(to, std::string::npos) << r.out;
        EXPECT_EQ(r.out.substr(from + 25, to - from - 25), c.walk);
        EXPECT_NE(r.out.find(kStatsMono8), std::string::npos);
    }
}

// Malformed files end with one error line and 255, for info and for a processing operation,
// and leave nothing behind.
TEST(Info, MalformedFilesAreRefused) {
    const Bytes fmt = chunk("fmt ", fmtBody(1, 1, 8000, 8));
    const Bytes data = chunk("data", sampleBytes(8, kMono8));
    Bytes rifx = makeWave(1, 8, 8000, kMono8);
    rifx[3] = 'X';
    struct Case {
        const char* name;
        Bytes file;
        std::string error;
    } cases[] = {
        {"empty", {}, "E [info] file is not RIFF."},
        {"RIFF only", {'R', 'I', 'F', 'F'}, "E [info] file is not WAVE."},
        {"11 bytes", {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V'}, "E [info] file is not WAVE."},
        {"RIFX", rifx, "E [info] file is not RIFF."},
        {"not WAVE", riffWave({fmt, data}), ""},  // patched below
        {"float tag", riffWave({chunk("fmt ", fmtBody(3, 1, 8000, 32)), data}), "E [FORMAT] unknown format [3]."},
        {"extensible tag", riffWave({chunk("fmt ", fmtBody(0xFFFE, 1, 8000, 16)), data}), "E [FORMAT] unknown format [-2]."},
        {"data before fmt", riffWave({data, fmt}), "E [FORMAT] unknown datatype."},
        {"block align 0", riffWave({chunk("fmt ", fmtBody(1, 1, 8000, 8, 0)), data}), "E [FORMAT] unknown datatype."},
        {"channels 0", riffWave({chunk("fmt ", fmtBody(1, 0, 8000, 8, 1)), data}), "E [FORMAT] unknown datatype."},
        {"channels 3", riffWave({chunk("fmt ", fmtBody(1, 3, 8000, 8)), data}), "E [FORMAT] unknown datatype."},
        {"24-bit", riffWave({chunk("fmt ", fmtBody(1, 1, 8000, 24)), data}), "E [FORMAT] unknown datatype."},
        {"rate 0", riffWave({chunk("fmt ", fmtBody(1, 1, 0, 8)), data}), "E [FORMAT] unknown datatype."},
        {"block align below a step", riffWave({chunk("fmt ", fmtBody(1, 2, 8000, 16, 2)), data}), "E [FORMAT] unknown datatype."},
        {"fmt cut short", riffWave({chunk("fmt ", {1, 0, 1, 0}), data}), "E [FORMAT] unknown datatype."},
        {"fact mismatch", riffWave({fmt, chunk("fact", {5, 0, 0, 0}), data}), "E [FORMAT] unmatch length, fact/data [5/6]."},
    };
    cases[4].file[8] = 'A';
    cases[4].error = "E [info] file is not WAVE.";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeFile(dir / "a.wav", c.file);
        for (std::vector<std::string> args : {std::vector<std::string>{"info", "a.wav"}, {"reverse", "a.wav", "out.wav"}}) {
            RunResult r = runQor(args, dir.path);
            EXPECT_EQ(r.exitCode, 255);
            EXPECT_EQ(r.err, c.error + "\n");
            EXPECT_EQ(r.out.find("finish"), std::string::npos);
            EXPECT_EQ(dir.entries(), std::vector<std::string>{"a.wav"});
        }
    }
}

// Files that hold no usable sound: info ends normally, an operation has no source.
TEST(Info, FilesWithoutSound) {
    const Bytes fmt = chunk("fmt ", fmtBody(1, 2, 8000, 16));
    Bytes cutHeader = riffWave({fmt});
    cutHeader.insert(cutHeader.end(), {'d', 'a', 't', 'a', 4});
    struct Case {
        const char* name;
        Bytes file;
    } cases[] = {
        {"no data chunk", riffWave({fmt})},
        {"data shorter than a step", riffWave({fmt, chunk("data", {1, 2, 3})})},
        {"header cut within the last 8 bytes", cutHeader},
        {"LIST of size -1", riffWave({fmt, chunk("LIST", {}, 0xFFFFFFFF), chunk("data", Bytes(8, 1))})},
        {"LIST running past the end", riffWave({fmt, chunk("LIST", {}, 0x7FFFFFF0), chunk("data", Bytes(8, 1))})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeFile(dir / "a.wav", c.file);
        RunResult info = runQor({"info", "a.wav"}, dir.path);
        EXPECT_EQ(info.exitCode, 0);
        EXPECT_EQ(info.err.find("E "), std::string::npos) << info.err;
        EXPECT_NE(info.out.find("- [info] file info = EOF"), std::string::npos);
        EXPECT_EQ(info.out.find("[STAT"), std::string::npos);
        RunResult op = runQor({"reverse", "a.wav", "out.wav"}, dir.path);
        EXPECT_EQ(op.exitCode, 255);
        EXPECT_EQ(op.err, "E [QOR] unknown operation (COMMON).\n");
    }
}

TEST(Info, ExtraInfoDumps) {
    TempDir dir;
    std::vector<int> values(40, 0);
    for (int i = 10; i < 30; i++) values[i] = 3000;
    writeFile(dir / "m.wav", makeWave(1, 16, 8000, values));
    struct Case {
        std::vector<std::string> args;
        const char* caption;
        size_t rows;
        const char* firstRow;
    } cases[] = {
        {{"info", "/V", "m.wav"}, "ALL", 40, " 0000002C  0000 0000          0 "},
        {{"ask", "/V", "m.wav"}, "BORDER", 14, " 0000003C  0000 0000          0 "},
        {{"ask", "/V", "/m3", "m.wav"}, "BORDER", 30, " 00000034  0000 0000          0 "},
        {{"ask", "/V", "/m0", "m.wav"}, nullptr, 0, nullptr},
    };
    for (const Case& c : cases) {
        RunResult r = runQor(c.args, dir.path);
        SCOPED_TRACE(c.args[1] + c.args[2]);
        EXPECT_EQ(r.exitCode, 0);
        auto err = lines(r.err);
        if (c.caption == nullptr) {
            EXPECT_EQ(r.err.find("===="), std::string::npos);
            continue;
        }
        size_t at = 0;
        while (at < err.size() && err[at].find("LitE") == std::string::npos) at++;
        ASSERT_LT(at + c.rows + 1, err.size());
        EXPECT_EQ(err[at].substr(0, 11), " " + std::string(c.caption) + std::string(10 - strlen(c.caption), ' '));
        EXPECT_EQ(err[at + 1], c.firstRow);
        EXPECT_EQ(err[at + c.rows + 1], " " + std::string(78, '='));
    }
}

// The figure of every "  [TAG] Name : number ..." line, keyed "TAG Name" (the first number when
// a line holds two).
std::map<std::string, long> figures(const std::string& out) {
    std::map<std::string, long> found;
    for (const std::string& line : lines(out)) {
        const size_t close = line.find("] "), colon = line.find(" : ");
        if (line.rfind("  [", 0) != 0 || close == std::string::npos || colon == std::string::npos) continue;
        std::string name = line.substr(close + 2, colon - close - 2);
        name.erase(name.find_last_not_of(' ') + 1);
        const char* number = line.c_str() + colon + 3;
        char* end = nullptr;
        const long value = strtol(number, &end, 10);
        if (end != number) found[line.substr(3, close - 3) + " " + name] = value;
    }
    return found;
}

// Silence and extremes as info reports them per channel, and as compare reports them for the
// whole source (the figures of source 1 of a source compared with itself).
TEST(Statistics, SilenceAndExtremes) {
    struct Case {
        const char* name;
        int channels, bits;
        std::vector<int> values;
        std::vector<std::string> options;
        long threshold;
        // per channel: head, tail, available, max, min; -1 where no line is printed
        std::vector<std::array<long, 5>> perChannel;
        std::array<long, 3> whole;  // head, tail, available
    } cases[] = {
        {"magnitude equal to the threshold is silence", 1, 16, {1024, -1024, 1025, 0}, {}, 1024,
         {{2, 1, 1, 1025, -1024}}, {2, 1, 1}},
        {"nothing loud", 1, 16, {5, -5}, {}, 1024, {{-1, -1, 0, 5, -5}}, {0, 0, 0}},
        {"right channel silent", 2, 16, {0, 0, 0, 0, 3000, 0, 0, 0}, {}, 1024,
         {{2, 1, 1, 3000, 0}, {-1, -1, 0, 0, 0}}, {0, 0, 4}},
        {"right channel silent, both judged", 2, 16, {0, 0, 0, 0, 3000, 0, 0, 0}, {"/2"}, 1024,
         {{2, 1, 1, 3000, 0}, {-1, -1, 0, 0, 0}}, {2, 0, 2}},
        {"channels start apart", 2, 16, {0, 0, 2000, 0, 0, 2000, 0, 0}, {}, 1024,
         {{1, 2, 1, 2000, 0}, {2, 1, 1, 2000, 0}}, {1, 1, 2}},
        {"-32768 is loud under 32767", 1, 16, {0, -32768}, {"/t32767"}, 32767, {{1, 0, 1, 0, -32768}},
         {1, 0, 1}},
        {"threshold 0", 1, 8, {0, 1, 0}, {"/t0"}, 0, {{1, 1, 1, 1, 0}}, {1, 1, 1}},
        // Only the low 16 bits of a threshold count: 65636 judges and is reported as 100.
        {"threshold beyond 16 bits", 1, 16, {100, 101}, {"/t65636"}, 100, {{1, 0, 1, 101, 100}}, {1, 0, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeFile(dir / "a.wav", makeWave(c.channels, c.bits, 8000, c.values));
        std::vector<std::string> info = {"info", "a.wav"}, compare = {"compare", "a.wav", "a.wav"};
        info.insert(info.end(), c.options.begin(), c.options.end());
        compare.insert(compare.end(), c.options.begin(), c.options.end());
        auto perChannel = figures(runQor(info, dir.path).out);
        EXPECT_EQ(perChannel["STAT/S Threshold"], c.threshold);
        for (int ch = 0; ch < c.channels; ch++) {
            const std::string tag = "STAT/" + std::to_string(ch) + " ";
            std::array<long, 5> got{};
            const char* names[] = {"HeadSilence", "TailSilence", "Available", "Max", "Min"};
            for (int i = 0; i < 5; i++) {
                got[i] = perChannel.count(tag + names[i]) ? perChannel[tag + names[i]] : -1;
            }
            EXPECT_EQ(got, c.perChannel[ch]) << "channel " << ch;
        }
        auto whole = figures(runQor(compare, dir.path).out);
        const std::array<long, 3> got = {whole["COMP HeadSilence"], whole["COMP TailSilence"],
                                         whole["COMP Available"]};
        EXPECT_EQ(got, c.whole);
    }
}

// Without /t the first source's threshold judges the second: an 8-bit source (16) then a 16-bit
// source whose one sample of 20 is then loud.
TEST(Statistics, ThresholdCarriesToTheSecondSource) {
    TempDir dir;
    writeFile(dir / "a.wav", makeWave(1, 8, 8000, {0, 20}));
    writeFile(dir / "b.wav", makeWave(1, 16, 8000, {0, 20, 0}));
    const std::vector<std::string> out = lines(runQor({"compare", "a.wav", "b.wav"}, dir.path).out);
    const std::vector<std::string> expected = {"  [COMP] HeadSilence :          1 /          1 steps",
                                               "  [COMP] Available   :          1 /          1 steps",
                                               "  [COMP] TailSilence :          0 /          1 steps"};
    auto at = std::search(out.begin(), out.end(), expected.begin(), expected.end());
    EXPECT_NE(at, out.end()) << testing::PrintToString(out);
}

}  // namespace
