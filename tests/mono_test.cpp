// l2mono, r2mono, lrmono, ccancel and lrsprit through the binary: the derived samples with their
// clamping, the overflow limit, and the names of the split files.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/op_run.h"

namespace {

using Values = std::vector<int>;

Bytes stereo(int bits, const Values& v) { return makeWave(2, bits, 22050, v); }
Bytes mono(int bits, const Values& v) { return makeWave(1, bits, 22050, v); }
std::string overflow(int count) { return "W [MONOC] found OverFlow, " + std::to_string(count) + " time(s)."; }

// Steps that leave the range when their channels are summed (lrmono) or subtracted (ccancel),
// alternately at either end, each followed by a quiet step (3, 2); `derived` gives the result.
Values loudSteps(int count, int bits, bool subtract, bool derived) {
    const int loud = bits == 8 ? 100 : 30000;
    const int top = bits == 8 ? 127 : 32767;
    Values v;
    for (int i = 0; i < count; ++i) {
        const int sign = i % 2 == 0 ? 1 : -1;
        if (derived) {
            v.insert(v.end(), {sign > 0 ? top : -top - 1, subtract ? 1 : 5});
        } else {
            v.insert(v.end(), {sign * loud, (subtract ? -sign : sign) * loud, 3, 2});
        }
    }
    return v;
}

TEST(MonoRuns, DerivedSamples) {
    const Values lr16 = {1, -2, 32767, -32768, 300, 400};
    const OpRow rows[] = {
        {{"l2mono"}, stereo(16, lr16), 1, {"- [MONO] get LEFT channel."}, mono(16, {1, 32767, 300})},
        {{"r2mono"}, stereo(16, lr16), 1, {"- [MONO] get RIGHT channel."}, mono(16, {-2, -32768, 400})},
        {{"r2mono"}, stereo(8, {-128, 127, 5, -5}), 1, {"- [MONO] get RIGHT channel."}, mono(8, {127, -5})},
        // The sum is not halved: 20000 + 20000 clamps.
        {{"lrmono"}, stereo(16, {20000, 20000, 1000, -3000, -20000, -20000, 32767, -32768}), 1,
         {"- [MONO] mix L+R channel.", overflow(2)}, mono(16, {32767, -2000, -32768, -1})},
        {{"ccancel"}, stereo(16, {-32768, 1, 5, 5, 32767, -1, 100, 300}), 1,
         {"- [MONO] subtract L-R channel.", overflow(2)}, mono(16, {-32768, 0, 32767, -200})},
        // 8-bit, as byte - 128: silence stays silence, +72 + +72 and -128 + -128 clamp.
        {{"lrmono"}, stereo(8, {0, 0, 72, 72, -128, -128, 30, -50}), 1,
         {"- [MONO] mix L+R channel.", overflow(2)}, mono(8, {0, 127, -128, -20})},
        // Bytes 200 and 100 (+72, -28) give 228; equal channels cancel to 128.
        {{"ccancel"}, stereo(8, {72, -28, -28, -28, 127, -128, -128, 1}), 1,
         {"- [MONO] subtract L-R channel.", overflow(2)}, mono(8, {100, 0, 127, -128})},
        // 32 clamped samples pass; the 33rd ends the run unless /F is given.
        {{"lrmono"}, stereo(16, loudSteps(32, 16, false, false)), 1,
         {"- [MONO] mix L+R channel.", overflow(32)}, mono(16, loudSteps(32, 16, false, true))},
        {{"ccancel"}, stereo(8, loudSteps(33, 8, true, false)), 255,
         {"- [MONO] subtract L-R channel.", "E [MONOC] too many OverFlow (33 times), Aborted."}, {}},
        {{"ccancel", "/F"}, stereo(8, loudSteps(50, 8, true, false)), 1,
         {"- [MONO] subtract L-R channel.", overflow(50)}, mono(8, loudSteps(50, 8, true, true))},
    };
    for (const OpRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << (&row - rows) << testing::PrintToString(row.args));
        expectRun(row);
    }
}

// The tag goes before the last dot of the last path component, or at the end when it has none.
TEST(MonoRuns, SplitNames) {
    std::string folders;
    for (char letter : {'a', 'b', 'c', 'd'}) folders += std::string(200, letter) + "/";
    struct Case {
        std::string dest;  // as given, relative to the folder of the run
        std::string left, right;
    } cases[] = {
        {"take.WAV", "take_Lch.WAV", "take_Rch.WAV"},
        {"ab", "ab_Lch.WAV", "ab_Rch.WAV"},  // ".WAV" is appended first
        {"d.x/a", "d.x/a_Lch", "d.x/a_Rch"},
        {"d.x/take.wav", "d.x/take_Lch.wav", "d.x/take_Rch.wav"},
        {".wav", "_Lch.wav", "_Rch.wav"},
        // The longest name whose tagged form still fits: 1023 characters.
        {folders + std::string(211, 'n') + ".wav", folders + std::string(211, 'n') + "_Lch.wav",
         folders + std::string(211, 'n') + "_Rch.wav"},
        {folders + std::string(212, 'n') + ".wav", "", ""},
    };
    ASSERT_EQ(cases[5].left.size(), 1023u);
    const Bytes source = stereo(16, {10, -20, 30, -40, 32767, -32768});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dest.substr(0, 40));
        TempDir dir;
        std::filesystem::create_directories(dir / "d.x");
        std::filesystem::create_directories(dir / folders);
        writeFile(dir / "in.wav", source);
        const RunResult run = runQor({"lrsprit", "in.wav", c.dest}, dir.path, "C.UTF-8", true);
        std::vector<std::string> expected = {"E [QOR] too long filename. [" + c.dest + "]"};
        if (!c.left.empty()) {
            expected = {"- [MONO] get LEFT channel.", "- [OUTPUT2] Filename   : " + c.left,
                        "- [OUTPUT2] Size       : 50 Bytes", "- [MONO] get RIGHT channel.",
                        "- [OUTPUT2] Filename   : " + c.right, "- [OUTPUT2] Size       : 50 Bytes",
                        "- [APMALLOC] unhandling buffers, 7 areas.", "- [QOR] finish QOR."};
        }
        EXPECT_EQ(lastLines(run.out, expected.size()), expected);
        EXPECT_EQ(run.exitCode, c.left.empty() ? 255 : 2);
        if (c.left.empty()) {
            EXPECT_TRUE(std::filesystem::is_empty(dir / folders));
            continue;
        }
        EXPECT_EQ(readFile(dir / c.left), mono(16, {10, 30, 32767}));
        EXPECT_EQ(readFile(dir / c.right), mono(16, {-20, -40, -32768}));
    }
}

}  // namespace
