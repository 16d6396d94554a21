// compare, mix, subtract, lrcombine and combine, run through the real binary.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/run_qor.h"
#include "support/wave_writer.h"

namespace {

// `steps` steps of `channels` interleaved samples, silent outside [head, steps - tail). Inside,
// every sample is loud under the default thresholds (16 and 1024) and of alternating sign.
std::vector<int> sound(int steps, int channels, int head, int tail, int seed, int bits = 16) {
    std::vector<int> v;
    for (int i = 0; i < steps; i++) {
        for (int c = 0; c < channels; c++) {
            int m = bits == 8 ? 20 + (i * 7 + c * 3 + seed) % 100 : 1100 + (i * 37 + c * 11 + seed * 13) % 5000;
            bool loud = i >= head && i < steps - tail;
            v.push_back(loud ? ((i + c) % 2 ? -m : m) : 0);
        }
    }
    return v;
}

// Sample `c` of step `step` of an interleaved signal, or silence where the signal has no step.
int at(const std::vector<int>& v, int channels, long long step, int c) {
    long long steps = static_cast<long long>(v.size()) / channels;
    return step >= 0 && step < steps ? v[step * channels + c] : 0;
}

// b laid `offset` steps after a, the two summed (sign +1/-1) and clamped, over the whole span
// both cover: each result step looks up what lies under it.
std::vector<int> expectedMix(const std::vector<int>& a, const std::vector<int>& b, int channels, long long offset,
                             int sign) {
    long long na = a.size() / channels, nb = b.size() / channels;
    std::vector<int> out;
    for (long long t = std::min(0LL, offset); t < std::max(na, offset + nb); t++) {
        for (int c = 0; c < channels; c++) {
            out.push_back(std::clamp(at(a, channels, t, c) + sign * at(b, channels, t - offset, c), -32768, 32767));
        }
    }
    return out;
}

// Two monos side by side, b laid `offset` steps after a.
std::vector<int> expectedStereo(const std::vector<int>& a, const std::vector<int>& b, long long offset) {
    long long na = a.size(), nb = b.size();
    std::vector<int> out;
    for (long long t = std::min(0LL, offset); t < std::max(na, offset + nb); t++) {
        out.push_back(at(a, 1, t, 0));
        out.push_back(at(b, 1, t - offset, 0));
    }
    return out;
}

// Lines of `text` that contain `tag`.
std::vector<std::string> tagged(const std::string& text, const std::string& tag) {
    std::vector<std::string> out;
    for (const std::string& l : lines(text)) {
        if (l.find(tag) != std::string::npos) out.push_back(l);
    }
    return out;
}

RunResult run(const TempDir& dir, const std::vector<std::string>& args) {
    return runQor(args, dir.path, "C.UTF-8", true);
}

std::string positions(const char* tag, int total, int s1, int s2, int e1, int e2) {
    char text[256];
    snprintf(text, sizeof text, "%d|%10d / %10d|%10d / %10d", total, s1, s2, e1, e2);
    return std::string(tag) + text;
}

// The position figures of a mix or lrcombine table, in the form `positions` makes.
std::string tablePositions(const std::string& out, const char* tag) {
    std::vector<std::string> t = tagged(out, std::string("[") + tag + "]");
    std::string total, start, end;
    for (const std::string& l : t) {
        if (l.find("Total Length") != std::string::npos) total = l.substr(l.rfind(' ') + 1);
        if (l.find("Start Position") != std::string::npos) start = l.substr(l.find(':') + 2, 23);
        if (l.find("End Position") != std::string::npos) end = l.substr(l.find(':') + 2, 23);
    }
    return tag + total + "|" + start + "|" + end;
}

TEST(Compare, TableChecksAndSlide) {
    const std::vector<std::string> table = {
        "- [COMP] Start compare. ===========================",
        "  [COMP]             :  Source1      Source2",
        "  [COMP] Channels    :          1 /          1 ",
        "  [COMP] BitRate     :         16 /         16 bits",
        "  [COMP] Frequency   :      44100 /      44100 Hz",
        "  [COMP] Length      :      0.068 /      0.068 seconds",
        "  [COMP] Length      :       3000 /       3000 steps",
        "  [COMP] HeadSilence :       1000 /       1000 steps",
        "  [COMP] Available   :       1500 /       1500 steps",
        "  [COMP] TailSilence :        500 /        500 steps",
        "C [COMP] Format check OK.",
        "C [COMP] Threshold check OK, [1024/0x400].",
        "C [COMP] match length.",
        "C [COMP] match AVAILABLE length.",
        "C [COMP] match HeadSilence length.",
    };
    TempDir dir;
    writeFile(dir / "a.wav", makeWave(1, 16, 44100, sound(3000, 1, 1000, 500, 1)));
    RunResult same = run(dir, {"compare", "a.wav", "a.wav"});
    EXPECT_EQ(same.exitCode, 0);
    EXPECT_EQ(tagged(same.out, "[COMP]"), table);
    std::vector<std::string> all = lines(same.out);
    auto start = std::find(all.begin(), all.end(), table[0]);
    ASSERT_NE(start, all.begin());
    EXPECT_EQ(*(start - 1), "- [QOR]");

    struct Case {
        const char* name;
        Bytes first, second;
        std::vector<std::string> args;
        std::vector<std::string> after;  // lines after the table
    } cases[] = {
        {"later source 1", makeWave(1, 16, 8000, sound(3000, 1, 1000, 500, 1)),
         makeWave(1, 16, 8000, sound(3000, 1, 400, 500, 2)), {},
         {"C [COMP] Format check OK.", "C [COMP] Threshold check OK, [1024/0x400].", "C [COMP] match length.",
          "C [COMP] NOT match HeadSilence length,",
          "         Source[2] slide 600 step(s) forward, If you mixing PCMs."}},
        {"earlier source 1", makeWave(1, 16, 8000, sound(3000, 1, 400, 500, 1)),
         makeWave(1, 16, 8000, sound(3000, 1, 1000, 500, 2)), {"/t100"},
         {"C [COMP] Format check OK.", "C [COMP] Threshold check OK, [100/0x64].", "C [COMP] match length.",
          "C [COMP] NOT match HeadSilence length,",
          "         Source[2] slide -600 step(s) forward, If you mixing PCMs."}},
        // Ends lined up: (3000 - 500) - (2000 - 700) = 1200.
        {"tail side", makeWave(1, 16, 8000, sound(3000, 1, 1000, 500, 1)),
         makeWave(1, 16, 8000, sound(2000, 1, 100, 700, 2)), {"/T"},
         {"C [COMP] Format check OK.", "C [COMP] Threshold check OK, [1024/0x400].",
          "C [COMP] NOT match HeadSilence length,",
          "         Source[2] slide 1200 step(s) forward, If you mixing PCMs."}},
        {"equal available", makeWave(2, 8, 8000, sound(50, 2, 10, 5, 1, 8)),
         makeWave(2, 8, 8000, sound(60, 2, 10, 15, 2, 8)), {},
         {"C [COMP] Format check OK.", "C [COMP] Threshold check OK, [16/0x10].", "C [COMP] match AVAILABLE length.",
          "C [COMP] match HeadSilence length."}},
        {"mono and stereo", makeWave(1, 16, 8000, sound(100, 1, 10, 10, 1)),
         makeWave(2, 16, 8000, sound(100, 2, 10, 10, 1)), {}, {"W [COMP] not match format."}},
        {"half rate", makeWave(1, 16, 8000, sound(100, 1, 10, 10, 1)),
         makeWave(1, 16, 4000, sound(100, 1, 10, 10, 1)), {}, {"W [COMP] not match format."}},
        {"below threshold", makeWave(1, 16, 8000, sound(100, 1, 10, 10, 1)),
         makeWave(1, 16, 8000, {0, 1024, -1024, 500}), {},
         {"C [COMP] Format check OK.", "W [COMP] too BIG threshold level."}},
        {"sound in one channel", makeWave(2, 16, 8000, {0, 0, 5000, 0, 0, 0}), makeWave(2, 16, 8000, {0, 0, 0, 3000}),
         {},
         {"C [COMP] Format check OK.", "C [COMP] Threshold check OK, [1024/0x400].",
          "C [COMP] match HeadSilence length."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir / "a.wav", c.first);
        writeFile(dir / "b.wav", c.second);
        std::vector<std::string> args = {"compare", "a.wav", "b.wav"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = run(dir, args);
        EXPECT_EQ(r.exitCode, 0);
        std::vector<std::string> t = tagged(r.out, "[COMP]");
        // The slide line carries no tag; it follows the NOT-match line.
        std::vector<std::string> all = lines(r.out);
        auto notMatch = std::find(all.begin(), all.end(), "C [COMP] NOT match HeadSilence length,");
        if (notMatch != all.end()) t.push_back(*(notMatch + 1));
        ASSERT_GE(t.size(), 10u);
        EXPECT_EQ(std::vector<std::string>(t.begin() + 10, t.end()), c.after);
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"a.wav", "b.wav"}));
    }
}

TEST(Mix, PositionsAndSamples) {
    struct Case {
        const char* op;
        int channels, n1, head1, n2, head2;
        std::vector<std::string> args;
        long long offset;
        std::string table;
        const char* relativeLine;  // null when none is expected
    } cases[] = {
        {"mix", 1, 1000, 0, 500, 0, {"/O200"}, 200, positions("MIX", 1000, 0, 200, 1000, 700), nullptr},
        {"mix", 1, 1000, 0, 500, 0, {"/O-300"}, -300, positions("MIX", 1300, 300, 0, 1300, 500), nullptr},
        {"mix", 1, 1000, 0, 500, 0, {"/O1200"}, 1200, positions("MIX", 1700, 0, 1200, 1000, 1700), nullptr},
        {"mix", 1, 1000, 300, 500, 20, {"/o50", "/O0"}, 0, positions("MIX", 1000, 0, 0, 1000, 500), nullptr},
        {"mix", 1, 1000, 420, 500, 20, {}, 400, positions("MIX", 1000, 0, 400, 1000, 900), nullptr},
        {"mix", 2, 1000, 100, 500, 300, {"/o-10"}, -210, positions("MIX", 1210, 210, 0, 1210, 500),
         "- [MIX] Relative Offset [-10]."},
        // Tail side: sound ends at 1000 - 5 and at offset + 500 - 5, so the offset is 500.
        {"mix", 1, 1000, 0, 500, 250, {"/T"}, 500, positions("MIX", 1000, 0, 500, 1000, 1000), nullptr},
        {"subtract", 2, 700, 50, 900, 10, {}, 40, positions("MIX", 940, 0, 40, 700, 940), nullptr},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.table);
        std::vector<int> a = sound(c.n1, c.channels, c.head1, 5, 1);
        std::vector<int> b = sound(c.n2, c.channels, c.head2, 5, 2);
        writeFile(dir / "a.wav", makeWave(c.channels, 16, 22050, a));
        writeFile(dir / "b.wav", makeWave(c.channels, 16, 22050, b));
        std::vector<std::string> args = {c.op, "a.wav", "b.wav", "out.wav"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = run(dir, args);
        ASSERT_EQ(r.exitCode, 1) << r.out;
        EXPECT_EQ(tablePositions(r.out, "MIX"), c.table);
        std::vector<std::string> relative = tagged(r.out, "] Relative Offset [");
        EXPECT_EQ(relative, c.relativeLine ? std::vector<std::string>{c.relativeLine} : std::vector<std::string>{});
        EXPECT_EQ(tagged(r.out, "SUBTRACT mode").size(), std::string(c.op) == "subtract" ? 1u : 0u);
        ParsedWave w = parseCanonicalWave(readFile(dir / "out.wav"));
        EXPECT_EQ(w.channels, c.channels);
        EXPECT_EQ(w.sampleRate, 22050);
        EXPECT_EQ(w.values, expectedMix(a, b, c.channels, c.offset, std::string(c.op) == "subtract" ? -1 : 1));
    }
}

TEST(Mix, OverflowCounting) {
    std::vector<int> loud32(32, 20000), loud33(33, 20000);
    struct Case {
        const char* op;
        std::vector<int> a, b;
        std::vector<std::string> args;
        int exitCode;
        const char* overflowLine;  // null when none is expected
        std::vector<int> expected;
    } cases[] = {
        {"mix", loud32, loud32, {"/O0"}, 1, "W [MIX16] found OverFlow, 32 time(s).", std::vector<int>(32, 32767)},
        {"mix", loud33, loud33, {"/O0"}, 255, "E [MIX16] too many OverFlow (33 times), Aborted.", {}},
        {"mix", loud33, loud33, {"/O0", "/F"}, 1, "W [MIX16] found OverFlow, 33 time(s).", std::vector<int>(33, 32767)},
        {"mix", {-20000, 30000}, {-20000, 2767}, {"/O0"}, 1, "W [MIX16] found OverFlow, 1 time(s).", {-32768, 32767}},
        {"subtract", {2000}, {2000, -32768}, {"/O0"}, 1, "W [MIX16] found OverFlow, 1 time(s).", {0, 32767}},
        {"subtract", {2000, -3000}, {2000, -3000}, {}, 1, nullptr, {0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected.size());
        TempDir dir;
        writeFile(dir / "a.wav", makeWave(1, 16, 8000, c.a));
        writeFile(dir / "b.wav", makeWave(1, 16, 8000, c.b));
        std::vector<std::string> args = {c.op, "a.wav", "b.wav", "out.wav"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = run(dir, args);
        EXPECT_EQ(r.exitCode, c.exitCode);
        std::vector<std::string> overflowLines = tagged(r.out, "OverFlow");
        EXPECT_EQ(overflowLines, c.overflowLine ? std::vector<std::string>{c.overflowLine} : std::vector<std::string>{});
        if (c.exitCode == 255) {
            EXPECT_EQ(lines(r.out).back(), c.overflowLine);
            EXPECT_FALSE(fileExists(dir / "out.wav"));
        } else {
            EXPECT_EQ(parseCanonicalWave(readFile(dir / "out.wav")).values, c.expected);
        }
    }
}

// Steps whose declared size is larger than their samples keep source 1's padding; only the
// samples are mixed.
TEST(Mix, PaddedStepsMixSamplesOnly) {
    TempDir dir;
    auto padded = [](const std::vector<int>& samples, int pad) {
        std::vector<int> v;
        for (int s : samples) v.insert(v.end(), {s, pad});
        return riffWave({chunk("fmt ", fmtBody(1, 1, 8000, 16, 4, 32000)), chunk("data", sampleBytes(16, v))});
    };
    writeFile(dir / "a.wav", padded({0, 3000, 4000, 0}, 7));
    writeFile(dir / "b.wav", padded({2000, -5000}, 9));
    RunResult r = run(dir, {"mix", "a.wav", "b.wav", "out.wav"});
    ASSERT_EQ(r.exitCode, 1) << r.out;
    ParsedWave w = parseCanonicalWave(readFile(dir / "out.wav"));
    EXPECT_EQ(w.blockAlign, 4);
    EXPECT_EQ(w.values, (std::vector<int>{0, 7, 5000, 7, -1000, 7, 0, 7}));
}

TEST(Mix, RefusedSources) {
    struct Case {
        std::vector<std::string> args;
        Bytes first, second;
        std::vector<std::string> last;  // the final lines of the run
    } cases[] = {
        {{"mix", "a.wav", "b.wav", "out.wav"}, makeWave(1, 8, 8000, {0, 50, -50}), makeWave(1, 8, 8000, {50, 0}),
         {"  [MIX] End Position   :          3 /          3 /          3",
          "E [MIX] ERROR in MIX, not ready bit-rate(8)."}},
        {{"subtract", "a.wav", "b.wav", "out.wav"}, makeWave(2, 8, 8000, {0, 0, 50, -50}),
         makeWave(2, 8, 8000, {50, 0}),
         {"  [MIX] End Position   :          2 /          2 /          2",
          "E [MIX] ERROR in MIX, not ready bit-rate(8)."}},
        {{"mix", "a.wav", "b.wav", "out.wav", "/O0"}, makeWave(1, 16, 8000, {0, 5000}),
         makeWave(1, 16, 8000, {1000, -1000}),
         {"W [COMP] too BIG threshold level.", "E [QOR] unknown operation (COMMON)."}},
        {{"subtract", "a.wav", "b.wav", "out.wav"}, makeWave(1, 16, 8000, {0, 0}), makeWave(1, 16, 8000, {0, 5000}),
         {"W [COMP] too BIG threshold level.", "E [QOR] unknown operation (COMMON)."}},
        {{"lrcombine", "a.wav", "b.wav", "out.wav", "/O0"}, makeWave(1, 8, 8000, {0, 16}),
         makeWave(1, 8, 8000, {0, 50}), {"W [COMP] too BIG threshold level.", "E [QOR] unknown operation (COMMON)."}},
        // 44 header bytes + 2 * total must stay within the signed 32-bit range.
        {{"mix", "a.wav", "b.wav", "out.wav", "/O1073741302"}, makeWave(1, 16, 8000, sound(1000, 1, 0, 0, 1)),
         makeWave(1, 16, 8000, sound(500, 1, 0, 0, 2)), {"E [MIX] too long, total length."}},
        {{"mix", "a.wav", "b.wav", "out.wav", "/O-2147483000"}, makeWave(1, 16, 8000, sound(1000, 1, 0, 0, 1)),
         makeWave(1, 16, 8000, sound(500, 1, 0, 0, 2)), {"E [MIX] too long, total length."}},
        // slide 10 + /o 2147483647 leaves 32 bits before the positions are taken.
        {{"subtract", "a.wav", "b.wav", "out.wav", "/o2147483647"}, makeWave(1, 16, 8000, sound(100, 1, 10, 0, 1)),
         makeWave(1, 16, 8000, sound(100, 1, 0, 0, 2)),
         {"- [MIX] Relative Offset [2147483647].", "E [MIX] too long, total length."}},
        {{"lrcombine", "a.wav", "b.wav", "out.wav", "/O2147483000"}, makeWave(1, 8, 8000, sound(1000, 1, 0, 0, 1, 8)),
         makeWave(1, 8, 8000, sound(500, 1, 0, 0, 2, 8)), {"E [LRCOMBINE] too long, total length."}},
        {{"combine", "a.wav", "b.wav", "out.wav", "/L2147483647"}, makeWave(1, 8, 8000, {1}),
         makeWave(1, 8, 8000, {2}),
         {"- [COMBINE] insert blank 2147483647 steps, 268435.456 seconds.", "E [COMBINE] too long, total length."}},
        {{"combine", "a.wav", "b.wav", "out.wav"}, makeWave(1, 16, 8000, {1, 2}),
         riffWave({chunk("fmt ", fmtBody(1, 1, 8000, 16, 4, 32000)), chunk("data", sampleBytes(16, {1, 2}))}),
         {"E [CHECK] not agreement source-file format."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        TempDir dir;
        writeFile(dir / "a.wav", c.first);
        writeFile(dir / "b.wav", c.second);
        RunResult r = run(dir, c.args);
        EXPECT_EQ(r.exitCode, 255);
        std::vector<std::string> all = lines(r.out);
        ASSERT_GE(all.size(), c.last.size());
        EXPECT_EQ(std::vector<std::string>(all.end() - c.last.size(), all.end()), c.last);
        EXPECT_FALSE(fileExists(dir / "out.wav"));
    }
}

TEST(LrCombine, ChannelsPlacedAndFilled) {
    struct Case {
        int bits, n1, head1, n2, head2;
        std::vector<std::string> args;
        bool swap;  // source 2's file named first
        long long offset;
        std::string table;
    } cases[] = {
        {16, 1000, 0, 500, 0, {"/O200"}, false, 200, positions("LRCOMBINE", 1000, 0, 200, 1000, 700)},
        {16, 1000, 0, 500, 0, {"/O-300"}, false, -300, positions("LRCOMBINE", 1300, 300, 0, 1300, 500)},
        {16, 1000, 40, 1200, 90, {"/O0", "/o7"}, false, 0, positions("LRCOMBINE", 1200, 0, 0, 1000, 1200)},
        {8, 300, 10, 700, 50, {}, false, -40, positions("LRCOMBINE", 700, 40, 0, 340, 700)},
        {8, 300, 10, 700, 50, {}, true, 40, positions("LRCOMBINE", 700, 0, 40, 700, 340)},
        {16, 300, 10, 700, 50, {"/o5"}, false, -35, positions("LRCOMBINE", 700, 35, 0, 335, 700)},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.table);
        std::vector<int> a = sound(c.n1, 1, c.head1, 3, 1, c.bits);
        std::vector<int> b = sound(c.n2, 1, c.head2, 3, 2, c.bits);
        if (c.swap) std::swap(a, b);
        writeFile(dir / "a.wav", makeWave(1, c.bits, 11025, a));
        writeFile(dir / "b.wav", makeWave(1, c.bits, 11025, b));
        std::vector<std::string> args = {"lrcombine", "a.wav", "b.wav", "out.wav"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = run(dir, args);
        ASSERT_EQ(r.exitCode, 1) << r.out;
        EXPECT_EQ(tablePositions(r.out, "LRCOMBINE"), c.table);
        std::vector<std::string> t = tagged(r.out, "[LRCOMBINE]");
        EXPECT_EQ(t.back(), "- [LRCOMBINE] End MIX ==============================================");
        ParsedWave w = parseCanonicalWave(readFile(dir / "out.wav"));
        EXPECT_EQ(w.channels, 2);
        EXPECT_EQ(w.sampleRate, 11025);
        EXPECT_EQ(w.bits, c.bits);
        EXPECT_EQ(w.blockAlign, c.bits / 4);
        EXPECT_EQ(w.byteRate, 11025 * c.bits / 4);
        // 8-bit silence reads back as 0 only when the fill byte was 128.
        EXPECT_EQ(w.values, expectedStereo(a, b, c.offset));
    }
}

TEST(Combine, JoinsWithGap) {
    struct Case {
        int bits, channels, n1, n2, rate;
        std::vector<std::string> args;
        int gap;
        std::vector<std::string> lines;
    } cases[] = {
        {16, 1, 44100, 22050, 44100, {}, 0, {"- [COMBINE] total 66150 steps, 1.500 seconds."}},
        {16, 1, 44100, 22050, 44100, {"/L4410"}, 4410,
         {"- [COMBINE] insert blank 4410 steps, 0.100 seconds.", "- [COMBINE] total 70560 steps, 1.600 seconds."}},
        {8, 2, 5, 3, 1000, {"/L3"}, 3,
         {"- [COMBINE] insert blank 3 steps, 0.003 seconds.", "- [COMBINE] total 11 steps, 0.011 seconds."}},
        {8, 1, 5, 3, 1000, {"/L0"}, 0, {"- [COMBINE] total 8 steps, 0.008 seconds."}},
        {16, 2, 5, 3, 1000, {"/L-5"}, 0, {"- [COMBINE] total 8 steps, 0.008 seconds."}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines.back());
        std::vector<int> a = sound(c.n1, c.channels, 0, 1, 1, c.bits);
        std::vector<int> b = sound(c.n2, c.channels, 1, 0, 2, c.bits);
        writeFile(dir / "a.wav", makeWave(c.channels, c.bits, c.rate, a));
        writeFile(dir / "b.wav", makeWave(c.channels, c.bits, c.rate, b));
        std::vector<std::string> args = {"combine", "a.wav", "b.wav", "out.wav"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = run(dir, args);
        ASSERT_EQ(r.exitCode, 1) << r.out;
        EXPECT_EQ(tagged(r.out, "[COMBINE]"), c.lines);
        std::vector<int> expected = a;
        expected.resize(a.size() + static_cast<size_t>(c.gap * c.channels), 0);
        expected.insert(expected.end(), b.begin(), b.end());
        ParsedWave w = parseCanonicalWave(readFile(dir / "out.wav"));
        EXPECT_EQ(w.channels, c.channels);
        EXPECT_EQ(w.bits, c.bits);
        EXPECT_EQ(w.values, expected);
    }
}

}  // namespace
