// The parser: operation words and presets, options, values and file-name settling.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "driver/command_line.h"
#include "base/log.h"
#include "support/run_qor.h"

namespace {

struct Parsed {
    std::string out, err;
    int exitCode = 0;  // 0 when parsing completed, else the code the run ended with
};

Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "qor");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    Parsed p;
    StreamCapture capture;
    try {
        parseCommandLine(static_cast<int>(argv.size()), argv.data());
    } catch (const QorExit& exit) {
        p.exitCode = exit.code;
    }
    p.out = capture.out();
    p.err = capture.err();
    return p;
}

TEST(OperationWords, ClassCodeMaskAndRunLine) {
    struct Case {
        const char* word;
        int cls, code, mask;
        const char* runLine;
    } cases[] = {
        {"info", 201, 0, 0, "- [QOR] Run INFO-mode.\n"},
        {"ask", 202, 0, 0, ""},
        {"compare", 102, 1, 0, "- [QOR] Run COMPARE-mode.\n"},
        {"MIX", 102, 2, 1, "- [QOR] Run MIX-mode.\n"},
        {"subtract", 102, 3, 1, "- [QOR] Run SUBTRACT-mode.\n"},
        {"boost", 101, 4, 0, "- [QOR] Run BOOST-mode.\n"},
        {"Max", 101, 20, 0, "- [QOR] Run MAXIMIZE-mode.\n"},
        {"add", 101, 5, 0, "- [QOR] Run ADD-mode.\n"},
        {"reverse", 101, 6, 0, "- [QOR] Run REVERSE-mode.\n"},
        {"back", 101, 8, 0, "- [QOR] Run BACKWORD-mode.\n"},
        {"l2mono", 101, 12, 4, "- [QOR] Run L2MONO-mode.\n"},
        {"r2mono", 101, 13, 4, "- [QOR] Run R2MONO-mode.\n"},
        {"lrmono", 101, 14, 4, "- [QOR] Run L+RMONO-mode.\n"},
        {"ccancel", 101, 15, 4, "- [QOR] Run L-RMONO-mode.\n"},
        {"lrsprit", 101, 17, 4, "- [QOR] Run L/RSPRIT-mode.\n"},
        {"vcompress", 101, 16, 0, "- [QOR] Run V-COMPRESS-mode.\n"},
        {"combine", 102, 11, 1, "- [QOR] Run COMBINE-mode.\n"},
        {"inssilent", 101, 7, 0, "- [QOR] Run INSERTSILENT-mode.\n"},
        {"cut", 101, 9, 0, "- [QOR] Run CUT-mode.\n"},
        {"head", 101, 10, 0, "- [QOR] Run PickupHEAD-mode.\n"},
        {"convert", 101, 72, 8, "- [QOR] Run Convert.\n"},
        {"sb8convert", 101, 71, 8, "- [QOR] Run Sinple-Convert for 8bit.\n"},
        {"lrcombine", 102, 18, 3, "- [QOR] Run L/R-COMBINE by Two-MONOs.\n"},
        {"LOFI", 101, 19, 8, "- [QOR] Run LoFi.\n"},
    };
    for (const Case& c : cases) {
        Parsed p = parse({c.word, "a", "b", "c"});
        SCOPED_TRACE(c.word);
        EXPECT_EQ(p.exitCode, 0);
        EXPECT_EQ(settings.operationClass, c.cls);
        EXPECT_EQ(settings.operationCode, c.code);
        EXPECT_EQ(settings.requirementMask, c.mask);
        EXPECT_EQ(p.out, c.runLine);
        EXPECT_EQ(p.err, "");
    }
}

TEST(OperationWords, Presets) {
    parse({"boost", "a", "b"});
    EXPECT_EQ(settings.integerFactor, kUnset);
    EXPECT_EQ(settings.factorMode, 0);
    parse({"max", "a", "b"});
    EXPECT_EQ(settings.integerFactor, kUnset);
    EXPECT_EQ(settings.factorMode, 1);
    parse({"add", "a", "b"});
    EXPECT_EQ(settings.addValue, 0);
    parse({"reverse", "a", "b"});
    EXPECT_EQ(settings.integerFactor, -1);
    for (const char* word : {"back", "combine", "inssilent"}) {
        parse({word, "a", "b", "c"});
        EXPECT_EQ(settings.lengthSteps, kUnset) << word;
    }
    parse({"vcompress", "a", "b"});
    EXPECT_EQ(settings.silenceThreshold, kUnset);
    EXPECT_EQ(settings.factorMode, 1);
    EXPECT_EQ(settings.realFactor, 0.0);
    parse({"lofi", "a", "b"});
    EXPECT_EQ(settings.outputBits, 4);
    EXPECT_EQ(settings.outputRate, 16540);
    parse({"ask", "a"});
    EXPECT_EQ(settings.stderrThreshold, 0);
    EXPECT_EQ(settings.stdoutThreshold, 0);
    parse({"info", "a"});
    EXPECT_EQ(settings.stderrThreshold, 1);
    EXPECT_EQ(settings.stdoutThreshold, 3);
    EXPECT_EQ(settings.silenceThreshold, -1);
    EXPECT_EQ(settings.overflowLimit, 32);
    EXPECT_EQ(settings.bitmapWidth, 960);
    EXPECT_EQ(settings.absoluteOffset, kUnset);
    EXPECT_EQ(settings.relativeOffset, kUnset);
}

TEST(OperationWords, UnknownWordPrintsUsageAndFails) {
    for (const char* word : {"compress", "noisecut", "fade", "/D", "frobnicate"}) {
        Parsed p = parse({word, "a"});
        EXPECT_EQ(p.exitCode, -1) << word;
        EXPECT_EQ(p.out, "");
        EXPECT_EQ(p.err, usageText());
    }
}

// Each option: the settings it leaves and the exact lines on each stream (info routes by defaults).
TEST(Options, LinesAndEffects) {
    struct Case {
        std::vector<std::string> args;
        std::string out, err;
    } cases[] = {
        {{"/2"}, "S [INIT] both channel judge mode.\n", ""},
        {{"/8"}, "S [INIT] output signed-8bit mode.\n", ""},
        {{"/B-6"}, "S [INIT] change Magnificate by FLOAT(dB) mode, -6.00dB.\n", ""},
        {{"/B60"}, "S [INIT] change Magnificate by FLOAT(dB) mode, +48.00dB.\n", "W [INIT] too large Multiple-Level(dB).\n"},
        {{"/B-48.2"}, "S [INIT] change Magnificate by FLOAT(dB) mode, -48.00dB.\n", "W [INIT] too small Multiple-Level(dB).\n"},
        {{"/B48.05"}, "S [INIT] change Magnificate by FLOAT(dB) mode, +48.05dB.\n", ""},
        {{"/M1.5"}, "S [INIT] change Magnificate by FLOAT mode, [ 1.50].\n", ""},
        {{"/F"}, "S [INIT] ignore overflow mode.\n", ""},
        {{"/G"}, "", ""},
        {{"/G640"}, "S [INIT] with output bitmap-file, 640 pixels.\n", ""},
        {{"/g-8"}, "S [INIT] with output bitmap-file, x8 samples/pixel.\n", ""},
        {{"/L-4410"}, "S [INIT] Length is [-4410].\n", ""},
        {{"/L12ab"}, "S [INIT] Length is [12].\n", ""},
        {{"/N"}, "S [INIT] output Naked-PCM mode.\n", ""},
        {{"/O-300"}, "S [INIT] Absolute Offset is [-300] steps.\n", ""},
        {{"/RC"}, "", ""},
        {{"/T"}, "S [INIT] threshold judgement does tail side.\n", ""},
        {{"/V5"}, "S [INIT] View extra-info mode.\n", ""},
        {{"/Wx"}, "S [INIT] OVERWRITE mode.\n", ""},
        {{"/b8"}, "S [INIT] resolution [8] bits.\n", ""},
        {{"/b17"}, "S [INIT] resolution [0] bits.\n", "W [INIT] BAD resolution, use 0 bits.\n"},
        {{"/f22050"}, "S [INIT] frequency [22050] Hz.\n", ""},
        {{"/f3674"}, "S [INIT] frequency [0] Hz.\n", "W [INIT] BAD frequency, use 0 Hz.\n"},
        {{"/m300"}, "S [INIT] Multiple-Level is [256].\n", "W [INIT] too large Multiple-Level.\n"},
        {{"/m-4"}, "S [INIT] Multiple-Level is [-4].\n", ""},
        {{"/o25"}, "S [INIT] Relative Offset is [25] steps.\n", ""},
        {{"/t:5"}, "S [INIT] Threshold-Level is [0].\n", ""},
        {{"/t99999999999"}, "S [INIT] Threshold-Level is [2147483647].\n", ""},
        {{"/v-99999999999"}, "S [INIT] Voltage-Level is [-2147483648].\n", ""},
        {{"/x"}, "", "W[QOR] Arg. unknown. [/x]\n"},
        {{"-x"}, "", "W[QOR] Arg. unknown. [/x]\n"},
        {{"/"}, "", "W[QOR] Arg. unknown. [/]\n"},
        {{"/s"}, "", "W[QOR] Arg. unknown. [/s]\n"},
        {{"/x\n- [QOR] finish QOR.\r"}, "", "W[QOR] Arg. unknown. [/x\\x0a- [QOR] finish QOR.\\x0d]\n"},
        {{"/S", "/t100"}, "", ""},
        {{"/t100", "/S"}, "S [INIT] Threshold-Level is [100].\n", ""},
        {{"/D"}, "", "S [INIT] run DEBUG mode.\n"},
        {{"/D", "/x"}, "", "S [INIT] run DEBUG mode.\nW[QOR] Arg. unknown. [/x]\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"info"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back("a");
        Parsed p = parse(args);
        SCOPED_TRACE(c.args[0]);
        EXPECT_EQ(p.exitCode, 0);
        EXPECT_EQ(p.out, "- [QOR] Run INFO-mode.\n" + c.out);
        EXPECT_EQ(p.err, c.err);
    }
}

TEST(Options, Values) {
    parse({"boost", "/B-6", "a", "b"});
    EXPECT_EQ(settings.factorMode, 1);
    EXPECT_DOUBLE_EQ(settings.realFactor, pow(10.0, -6.0 / 20.0));
    parse({"max", "/m2", "a", "b"});
    EXPECT_EQ(settings.factorMode, 0);
    EXPECT_EQ(settings.integerFactor, 2);
    parse({"lofi", "/b20", "/f48000", "a", "b"});
    EXPECT_EQ(settings.outputBits, 4);
    EXPECT_EQ(settings.outputRate, 16540);
    parse({"lofi", "/f3675", "a", "b"});
    EXPECT_EQ(settings.outputRate, 3675);
    parse({"lofi", "/f44100", "a", "b"});
    EXPECT_EQ(settings.outputRate, 44100);
    parse({"info", "/G-8", "/g", "a"});
    EXPECT_EQ(settings.bitmapEnabled, 1);
    EXPECT_EQ(settings.bitmapMode, 1);
    EXPECT_EQ(settings.bitmapReduce, 8);
    EXPECT_EQ(settings.bitmapWidth, 960);
    for (auto [text, code] : {std::pair{"/RC", 1}, {"/Rb", 2}, {"/RC:ch", 1}, {"/R", 0}, {"/Rx", 0}}) {
        parse({"info", text, "a"});
        EXPECT_EQ(settings.exitCodeMode, code) << text;
    }
}

TEST(Options, RealValuesAreDecimalOnly) {
    struct Case {
        const char* text;
        double value;
    } cases[] = {
        {"1.5", 1.5}, {"-2", -2.0}, {".5", 0.5}, {"3.", 3.0}, {"1e2", 100.0}, {"1e", 1.0}, {"2.5e-1x", 0.25},
        {"0x10", 0.0}, {"inf", 0.0}, {"nan", 0.0}, {"-infinity", 0.0}, {"", 0.0}, {".", 0.0}, {" 7", 7.0},
    };
    for (const Case& c : cases) EXPECT_EQ(readRealValue(c.text), c.value) << c.text;
}

TEST(Options, IntegerValuesSaturate) {
    EXPECT_EQ(readIntegerValue("2147483648"), INT32_MAX);
    EXPECT_EQ(readIntegerValue("-2147483649"), INT32_MIN);
    EXPECT_EQ(readIntegerValue(" +12"), 12);
    EXPECT_EQ(readIntegerValue("abc"), 0);
    EXPECT_EQ(readIntegerValue("0x1F"), 0);
}

TEST(FileNames, Settling) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> sources;
        const char* dest;  // null: no destination
    } cases[] = {
        {{"boost", "a", "b", "c"}, {"a.WAV", "b.WAV"}, "c.WAV"},
        {{"boost", "a.wav", "/m2", "b.wav"}, {"a.wav"}, "b.wav"},
        {{"boost", "/W", "take"}, {"take.WAV"}, "take.WAV"},
        {{"mix", "/W", "a", "b"}, {"a.WAV", "b.WAV"}, "a.WAV"},
        {{"compare", "a", "b"}, {"a.WAV", "b.WAV"}, nullptr},
        {{"info", "take.wave"}, {"take.wave.WAV"}, nullptr},
        {{"info", "a.b"}, {"a.b"}, nullptr},
        {{"info", "/home/me/take.wav"}, {"/home/me/take.wav"}, nullptr},
        {{"info", "/home/me/take"}, {"/home/me/take.WAV"}, nullptr},
    };
    for (const Case& c : cases) {
        Parsed p = parse(c.args);
        SCOPED_TRACE(c.args.back());
        ASSERT_EQ(p.exitCode, 0) << p.err;
        ASSERT_EQ(settings.fileCount, static_cast<int>(c.sources.size()));
        for (size_t i = 0; i < c.sources.size(); i++) EXPECT_STREQ(settings.fileNames[i], c.sources[i].c_str());
        if (c.dest == nullptr) {
            EXPECT_EQ(settings.destName, nullptr);
        } else {
            ASSERT_NE(settings.destName, nullptr);
            EXPECT_STREQ(settings.destName, c.dest);
        }
    }
}

TEST(FileNames, Refusals) {
    std::string longName(1020, 'n');  // 1020 + ".WAV" no longer fits 1023 characters
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"boost", "a"}, "E [INIT] too few filename(2), [0/1].\n"},
        {{"boost"}, "E [INIT] too few filename(1).\n"},
        {{"mix", "a", "b"}, "E [INIT] too few filename(2), [1/2].\n"},
        {{"info"}, "E [INIT] too few filename(2), [0/1].\n"},
        {{"info", "1", "2", "3", "4", "5", "6", "7", "8", "9"}, "E [QOR] too many files.\n"},
        {{"info", std::string(1024, 'x')}, "E [QOR] too long filename. [" + std::string(1024, 'x') + "]\n"},
        {{"info", longName}, "E [QOR] too long filename. [" + longName + "]\n"},
        {{"info", "\x1b[2J" + longName}, "E [QOR] too long filename. [\\x1b[2J" + longName + "]\n"},
    };
    for (const Case& c : cases) {
        Parsed p = parse(c.args);
        EXPECT_EQ(p.exitCode, -1) << c.args[0];
        EXPECT_EQ(p.err, c.err);
    }
    Parsed fits = parse({"info", std::string(1019, 'n')});
    EXPECT_EQ(fits.exitCode, 0);
    EXPECT_EQ(strlen(settings.fileNames[0]), 1023u);
}

}  // namespace
