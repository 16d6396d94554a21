// Naked PCM results: the name each depth and sign takes, and the bytes written.
#include <gtest/gtest.h>

#include "support/op_run.h"

namespace {

TEST(NakedOutput, NamesAndBytes) {
    struct Case {
        std::vector<std::string> args;  // `cut` without a length keeps every sample
        int bits;
        std::vector<int> values;
        std::string written;
        bool switched;  // 8-bit signed output: the sign bit of every byte flipped
        Bytes data;
    } cases[] = {
        {{"cut", "/N", "in.wav", "out.wav"}, 8, {0, -128, 127}, "out.PPI", false, {0x80, 0x00, 0xFF}},
        {{"cut", "/N", "/8", "in.wav", "out.Wav"}, 8, {0, -128, 127}, "out.PC8", true, {0x00, 0x80, 0x7F}},
        {{"cut", "/N", "/8", "in.wav", "out.WAV"}, 16, {-32767, 32767}, "out.PHL", false,
         {0x01, 0x80, 0xFF, 0x7F}},
        // A name of another kind is kept, and so are the bytes.
        {{"cut", "/N", "/8", "in.wav", "out.raw"}, 8, {0, -127, -126}, "out.raw", false, {0x80, 0x01, 0x02}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written);
        TempDir dir;
        writeFile(dir / "in.wav", makeWave(1, c.bits, 8000, c.values));
        const RunResult run = runQor(c.args, dir.path, "C.UTF-8", true);
        EXPECT_EQ(run.exitCode, 1);
        std::vector<std::string> expected = {"- [CUT] cut 0 steps, 0.000 seconds."};
        if (c.switched) expected.push_back("- [SWITCH-SIGN] switched sign.");
        expected.push_back("- [OUTPUT2] Filename   : " + c.written);
        expected.push_back("- [OUTPUT2] Size       : " + std::to_string(c.data.size()) + " Bytes");
        expected.push_back("- [APMALLOC] unhandling buffers, 5 areas.");
        expected.push_back("- [QOR] finish QOR.");
        EXPECT_EQ(lastLines(run.out, expected.size()), expected);
        EXPECT_EQ(readFile(dir / c.written), c.data);
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in.wav", c.written}));
    }
}

}  // namespace
