// The run as a whole: usage text, exit codes, stream routing, the release line and the hex dump.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>

#include "driver/command_line.h"
#include "base/log.h"
#include "driver/help.h"
#include "driver/operations.h"
#include "support/child_run.h"
#include "support/run_qor.h"
#include "support/wave_writer.h"
#include "wave/hexdump.h"

namespace {

// A few lines of the usage text, and the Shift_JIS bytes of the characters they use, taken from
// the JIS X 0208 table; the rest of the text is plain ASCII.
const std::map<std::string, std::string> kShiftJis = {
    {"デ", "\x83\x66"}, {"ー", "\x81\x5B"}, {"タ", "\x83\x5E"}, {"解", "\x89\xF0"}, {"析", "\x90\xCD"},
    {"表", "\x95\x5C"}, {"示", "\x8E\xA6"}, {"非", "\x94\xF1"}, {"汎", "\x94\xC4"}, {"用", "\x97\x70"},
    {"閾", "\xE8\x87"}, {"値", "\x92\x6C"}, {"×", "\x81\x7E"}, {"無", "\x96\xB3"}, {"音", "\x89\xB9"},
    {"部", "\x95\x94"}, {"位", "\x88\xCA"}, {"識", "\x8E\xAF"}, {"別", "\x95\xCA"}, {"絶", "\x90\xE2"},
    {"対", "\x91\xCE"},
};

std::string toShiftJisByTable(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out += utf8[i++];
            continue;
        }
        size_t length = c >= 0xE0 ? 3 : 2;
        auto found = kShiftJis.find(utf8.substr(i, length));
        EXPECT_NE(found, kShiftJis.end()) << "no table entry for byte " << i;
        if (found != kShiftJis.end()) out += found->second;
        i += length;
    }
    return out;
}

const char* kUsageHead =
    "\nQOR WAVE-Utility Ver.2.32\n"
    " usage : qor.exe <operation> [options] filename [filename2] [filename3]\n"
    " operation:                                 options         f2      f3\n"
    "  + info                PCMデータ解析表示   /DVR            -       -\n"
    "  + ask                 PCMデータ解析非表示 /DVR            -       -\n";
const char* kUsageTail =
    "  + 汎用          /t*   無音部位識別用閾値(絶対値)\n";
const char* kUsageEnd =
    "    follow strings options has [@] mark.\n"
    "    not ready functions has no mark.\n";

TEST(Usage, BareCommandUnknownWordAndJapaneseHelp) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        bool onStandardOutput;  // asked for: the text goes to standard output
        const char* locale;
    } cases[] = {{{}, 0, false, "C.UTF-8"},
                 {{"frobnicate", "a"}, 255, false, "C.UTF-8"},
                 {{"/D", "info", "a"}, 255, false, "C.UTF-8"},
                 {{"delsilent", "a", "b"}, 255, false, "ja_JP.UTF-8"},
                 {{"--help"}, 0, true, "ja_JP.UTF-8"},
                 {{"-h", "info", "a.wav"}, 0, true, "ja"}};
    for (const Case& c : cases) {
        RunResult r = runQor(c.args, ".", c.locale);
        const std::string& text = c.onStandardOutput ? r.out : r.err;
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(c.onStandardOutput ? r.err : r.out, "");
        EXPECT_EQ(text.rfind(kUsageHead, 0), 0u) << text.substr(0, 200);
        EXPECT_EQ(text.size() - text.rfind(kUsageEnd), strlen(kUsageEnd));
        EXPECT_NE(text.find(kUsageTail), std::string::npos);
        EXPECT_EQ(lines(text).size(), 72u);
    }
    const RunResult version = runQor({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "QOR WAVE-Utility Ver.2.32\n");
    EXPECT_EQ(version.err, "");
}

// Whether `line` holds the cells in order and nothing else, each after one blank at least.
bool isRow(const std::string& line, const std::vector<std::string>& cells) {
    size_t at = 0;
    for (const std::string& cell : cells) {
        if (cell.empty()) continue;
        const size_t start = line.find_first_not_of(' ', at);
        if (start == at || start == std::string::npos || line.compare(start, cell.size(), cell) != 0) return false;
        at = start + cell.size();
    }
    return at == line.size();
}

// The guide's lines under `heading`, up to the blank line that ends them.
std::vector<std::string> listUnder(const std::string& guide, const std::string& heading) {
    std::vector<std::string> listed;
    bool in = false;
    for (const std::string& line : lines(guide)) {
        if (in && line.empty()) break;
        if (in) listed.push_back(line);
        if (line.rfind(heading, 0) == 0) in = true;
    }
    return listed;
}

TEST(Usage, HelpListsEveryOperationAndOptionOfTheTables) {
    const std::string guide = guideText("qor");
    const std::vector<std::string> operations = listUnder(guide, "Operations");
    ASSERT_EQ(operationRows().size(), 24u);
    EXPECT_EQ(operations.size(), operationRows().size());
    for (const OperationRow& row : operationRows()) {
        EXPECT_EQ(std::count_if(operations.begin(), operations.end(),
                                [&](const std::string& line) { return isRow(line, {row.word, row.help}); }),
                  1)
            << row.word;
    }
    // Every option letter the parser takes has its row, and every row is a letter it takes.
    std::string taken;
    for (char letter = '!'; letter <= '~'; letter++) {
        resetSettings();
        StreamCapture quiet;
        if (applyOption((std::string(1, letter) + "1").c_str()) == 0) taken += letter;
    }
    std::string rows;
    for (const OptionRow& row : optionRows()) rows += row.letter;
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, taken);
    const std::vector<std::string> options = listUnder(guide, "Options (");
    EXPECT_EQ(options.size(), optionRows().size());
    for (const OptionRow& row : optionRows()) {
        const std::vector<std::string> cells = {std::string("/") + row.letter + row.value, row.range, row.meaning};
        EXPECT_EQ(std::count_if(options.begin(), options.end(),
                                [&](const std::string& line) { return isRow(line, cells); }),
                  1)
            << row.letter;
    }
    for (const char* told : {"255", "254", "-1 on Windows", "-2 on Windows", "man qor", "README.md"}) {
        EXPECT_NE(guide.find(told), std::string::npos) << told;
    }
}

// --help and -h give the guide in English unless the messages' locale is Japanese (LC_ALL,
// LC_MESSAGES, LANG: the first one set), which gets the usage text the bare command prints.
TEST(Usage, HelpInEnglishOrJapaneseByTheLocale) {
    TempDir dir;
    ASSERT_EQ(symlink(QOR_BINARY, (dir / "wavetool").c_str()), 0);
    const RunResult bare = runQor({});
    const RunResult bareShiftJis = runQor({}, ".", "ja_JP.SJIS");
    const std::string english = guideText("qor");
    struct Case {
        std::vector<std::string> environment;  // what env sets, after unsetting the three
        std::string program;
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{}, QOR_BINARY, {"--help"}, english},
        {{"LC_ALL=C.UTF-8"}, QOR_BINARY, {"-h", "info", "a.wav"}, english},
        {{"LANG=en_GB.UTF-8"}, dir / "wavetool", {"--help"}, guideText("wavetool")},
        {{"LC_ALL=C", "LANG=ja_JP.UTF-8"}, QOR_BINARY, {"--help"}, english},
        {{"LC_ALL=", "LC_MESSAGES=de_DE", "LANG=ja_JP.UTF-8"}, QOR_BINARY, {"-h"}, english},
        {{"LC_ALL=ja_JP.UTF-8", "LANG=C"}, QOR_BINARY, {"--help"}, bare.err},
        {{"LC_MESSAGES=ja_JP.eucJP"}, QOR_BINARY, {"-h"}, bare.err},
        {{"LANG=ja"}, dir / "wavetool", {"--help"}, bare.err},
        {{"LANG=ja_JP.SJIS"}, QOR_BINARY, {"--help"}, bareShiftJis.err},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {"env", "-u", "LC_ALL", "-u", "LC_MESSAGES", "-u", "LANG"};
        argv.insert(argv.end(), c.environment.begin(), c.environment.end());
        argv.push_back(c.program);
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const RunResult r = runProgram(argv, dir.path);
        SCOPED_TRACE(c.environment.empty() ? "no locale" : c.environment.back());
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
    }
    // The bare command's usage text is unchanged by the locale's language.
    EXPECT_EQ(runQor({}, ".", "ja_JP.UTF-8").err, bare.err);
}

TEST(Usage, ShiftJisOnlyWhenTheLocaleNamesIt) {
    const RunResult utf8 = runQor({}, ".", "C.UTF-8");
    // Every Japanese character takes three UTF-8 bytes (two for "×") and two Shift_JIS bytes.
    EXPECT_EQ(utf8.err.size(), 4817u);
    // Whether or not the locale is installed, only its name counts.
    struct Case {
        const char* locale;
        bool shiftJis;
    } cases[] = {{"C", false},          {"xx_YY.UTF-8", false}, {"ja_JP.eucJP", false},
                 {"ja_JP.SJIS", true},  {"ja_JP.Shift_JIS", true}, {"ja_JP.cp932@euro", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.locale);
        const RunResult r = runQor({}, ".", c.locale);
        EXPECT_EQ(r.exitCode, 0);
        if (!c.shiftJis) {
            EXPECT_EQ(r.err, utf8.err);
            continue;
        }
        EXPECT_EQ(r.err.rfind(toShiftJisByTable(kUsageHead), 0), 0u);
        EXPECT_NE(r.err.find(toShiftJisByTable(kUsageTail)), std::string::npos);
        EXPECT_EQ(r.err.size(), 4293u);
        // Line structure and blanks are the same in both encodings.
        auto u = lines(utf8.err);
        auto s = lines(r.err);
        ASSERT_EQ(u.size(), s.size());
        for (size_t i = 0; i < u.size(); i++) {
            bool ascii = std::all_of(u[i].begin(), u[i].end(), [](char ch) { return (ch & 0x80) == 0; });
            if (ascii) {
                EXPECT_EQ(u[i], s[i]);
            }
        }
    }
}

TEST(Run, MissingFileAndExitCodes) {
    TempDir dir;
    writeFile(dir / "st.wav", makeWave(2, 16, 44100, {0, 0, 5000, -5000}));
    writeFile(dir / "m8.wav", makeWave(1, 8, 8000, {0, 50, -50}));
    std::filesystem::create_directory(dir / "folder.wav");
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string out, err;
    } cases[] = {
        {{"info", "nothere.wav"}, 255, "- [QOR] Run INFO-mode.\n- [QOR] Start QOR =================================\n"
                                       "- [INFO] file info ================================\n",
         "E [QOR] Error input file not found. [nothere.wav]\n"},
        {{"info", "no%dthere"}, 255, "", "E [QOR] Error input file not found. [no%dthere.WAV]\n"},
        {{"ask", "nothere"}, 255, "", "E [QOR] Error input file not found. [nothere.WAV]\n"},
        {{"ask", "folder.wav"}, 255, "", "E [QOR] File read error.\n  [QOR] Is a directory\n"},
        // A control character in a name is shown escaped: a line feed cannot forge a line.
        {{"ask", "no\nE [QOR] forged.wav\t\x7f"}, 255, "",
         "E [QOR] Error input file not found. [no\\x0aE [QOR] forged.wav\\x09\\x7f.WAV]\n"},
        {{"ask", "/RC", "st.wav"}, 2, "", ""},
        {{"ask", "/RB", "st.wav"}, 16, "", ""},
        {{"ask", "/RB", "m8.wav"}, 8, "", ""},
        {{"ask", "st.wav"}, 0, "", ""},
        {{"boost", "/S", "/RC", "/m2", "nothere.wav", "out.wav"}, 255, "- [QOR] Run BOOST-mode.\n", "E [QOR] Error input file not found. [nothere.wav]\n"},
    };
    for (const Case& c : cases) {
        RunResult r = runQor(c.args, dir.path);
        SCOPED_TRACE(c.args.back());
        EXPECT_EQ(r.exitCode, c.exitCode);
        if (!c.out.empty() || c.args[0] != "info") {
            EXPECT_EQ(r.out, c.out);
        }
        EXPECT_EQ(r.err, c.err);
    }
    RunResult info = runQor({"info", "/RC", "st.wav"}, dir.path);
    EXPECT_EQ(info.exitCode, 2);
    auto out = lines(info.out);
    ASSERT_GE(out.size(), 4u);
    EXPECT_EQ(out[0], "- [QOR] Run INFO-mode.");
    EXPECT_EQ(out[1], "- [QOR] Start QOR =================================");
    EXPECT_EQ(out[out.size() - 2], "- [APMALLOC] unhandling buffers, 3 areas.");
    EXPECT_EQ(out.back(), "- [QOR] finish QOR.");
}

// The release line each kind of run ends with: the count of areas it worked with (file images,
// analysed sources, comparison records, working buffers, results) is part of the log.
TEST(Run, ReleaseLineOfEachKindOfRun) {
    TempDir dir;
    std::vector<int> stereo;
    for (int i = 0; i < 400; i++) stereo.push_back((i % 50) * 200 - 5000);
    writeFile(dir / "s.wav", makeWave(2, 16, 8000, stereo));
    writeFile(dir / "t.wav", makeWave(2, 16, 8000, stereo));
    struct Case {
        std::vector<std::string> args;
        int areas;
    } cases[] = {
        {{"info", "s.wav"}, 3},
        {{"compare", "s.wav", "t.wav"}, 6},
        {{"boost", "/m2", "s.wav", "o.wav"}, 4},
        {{"head", "/L10", "s.wav", "o.wav"}, 5},
        {{"l2mono", "s.wav", "o.wav"}, 5},
        {{"lrsprit", "s.wav", "o.wav"}, 7},
        {{"mix", "/F", "s.wav", "t.wav", "o.wav"}, 8},
    };
    for (const Case& c : cases) {
        RunResult r = runQor(c.args, dir.path);
        auto out = lines(r.out);
        ASSERT_GE(out.size(), 2u) << c.args[0];
        EXPECT_EQ(out[out.size() - 2], "- [APMALLOC] unhandling buffers, " + std::to_string(c.areas) + " areas.")
            << c.args[0];
        EXPECT_EQ(out.back(), "- [QOR] finish QOR.");
    }
}

TEST(Run, DebugRoutesEverythingToTheErrorStreamInOrder) {
    TempDir dir;
    writeFile(dir / "st.wav", makeWave(2, 16, 44100, {0, 0, 5000, -5000}));
    RunResult plain = runQor({"info", "/x", "st.wav"}, dir.path, "C.UTF-8", true);
    RunResult debug = runQor({"ask", "st.wav", "/D"}, dir.path);
    EXPECT_EQ(debug.out, "");
    auto merged = lines(plain.out);
    auto err = lines(debug.err);
    // The same lines in the same order; ask logs no Run line and /D its own line.
    ASSERT_EQ(merged.size(), err.size() + 1);
    EXPECT_EQ(merged[1], "W[QOR] Arg. unknown. [/x]");
    EXPECT_EQ(err[0], "S [INIT] run DEBUG mode.");
    for (size_t i = 1; i < err.size(); i++) EXPECT_EQ(merged[i + 1], err[i]);
}

TEST(Log, RoutingByLevelAndThresholds) {
    struct Case {
        int8_t errMax, outMax;
        int level;
        bool toErr, toOut;
    } cases[] = {
        {1, 3, 1, true, false}, {1, 3, 2, false, true},  {1, 3, 3, false, true}, {3, -1, 3, true, false},
        {3, -1, 1, true, false}, {0, 0, 1, false, false}, {0, 0, 3, false, false},
    };
    for (const Case& c : cases) {
        resetSettings();
        settings.stderrThreshold = c.errMax;
        settings.stdoutThreshold = c.outMax;
        StreamCapture capture;
        logLine(c.level, "line %d%%", 5);
        std::string out = capture.out(), err = capture.err();
        EXPECT_EQ(err, c.toErr ? "line 5%\n" : "");
        EXPECT_EQ(out, c.toOut ? "line 5%\n" : "");
        EXPECT_TRUE(MessageBuffer.empty());
    }
    resetSettings();
    StreamCapture capture;
    logLine(kLevelInfo, "ends in a feed\n");
    MessageBuffer = "set by hand";
    logMessage(kLevelInfo);
    logMessage(kLevelInfo);  // an empty buffer writes nothing
    EXPECT_EQ(capture.out(), "ends in a feed\nset by hand\n");
}

TEST(Log, ErrorLevelsEndTheRun) {
    struct Case {
        std::function<void()> end;
        int code;
        std::string err;
    } cases[] = {
        {[] { logLine(0, "E [X] stop."); }, -1, "E [X] stop.\n"},
        {[] { logLine(-1, "E [X] stop."); }, -2, "E [X] stop.\n"},
        // Lines from the table: filled in order, internal ones end with -2, a second line follows
        // on the same stream, and arguments that do not fit the line are refused.
        {[] { fail(Fatal::kTooFewNames, 1, 2); }, -1, "E [INIT] too few filename(2), [1/2].\n"},
        {[] { fail(Fatal::kNoComparison, "MIX"); }, -2, "E [MIX] ERROR in compare or statistics.\n"},
        {[] { fail(Fatal::kCannotOutputKept, "OUTPUT2", "a.PHL", "a.PHL.kept"); }, -1,
         "E [OUTPUT2] cannot output [a.PHL]\n  [OUTPUT] old contents kept as [a.PHL.kept]\n"},
        {[] { fail(Fatal::kFactMismatch, "7", 6); }, -2,
         "E [QOR] fatal line " + std::to_string(static_cast<int>(Fatal::kFactMismatch)) +
             " given arguments [sd], its text takes [dd].\n"},
    };
    for (const Case& c : cases) {
        resetSettings();
        settings.stderrThreshold = 0;
        settings.stdoutThreshold = 0;
        StreamCapture capture;
        int caught = 0;
        try {
            c.end();
        } catch (const QorExit& exit) {
            caught = exit.code;
        }
        EXPECT_EQ(caught, c.code);
        EXPECT_EQ(capture.err(), c.err);
    }
}

TEST(HexDump, RowsAndColumns) {
    const std::string rule = " " + std::string(78, '=') + "\n";
    struct Case {
        Bytes bytes;
        int bps, channels;
        const char* caption;
        int64_t offset;
        std::string expected;
    } cases[] = {
        {{0x10, 0x00, 0xFF, 0xFF}, 2, 2, "BORDER", 44,
         rule + " BORDER    LitE BigE    Decimal   :  LitE BigE    Decimal\n" +
             " 0000002C  1000 0010         16   :  FFFF FFFF          1-\n" + rule},
        {{0x80, 0x00, 0xFF}, 1, 1, "ALL", 0x1234ABCD,
         rule + " ALL       Bin Dec\n" + " 1234ABCD  80  128 \n" + " 1234ABCE  00    0 \n" +
             " 1234ABCF  FF  255 \n" + rule},
        {{0x00, 0x80, 0x80}, 2, 2, "X", 0,  // an unfinished row keeps no line feed
         rule + " X         LitE BigE    Decimal   :  LitE BigE    Decimal\n" +
             " 00000000  0080 8000      32768-  :  " + rule},
    };
    for (const Case& c : cases) {
        StreamCapture capture;
        EXPECT_EQ(hexDump(c.bytes.data(), static_cast<int64_t>(c.bytes.size()), c.bps, c.channels, c.caption, c.offset), 0);
        EXPECT_EQ(capture.err(), c.expected);
    }
    StreamCapture capture;
    EXPECT_EQ(hexDump(nullptr, 0, 2, 1, "ALL", 0), -1);
    EXPECT_EQ(capture.err(), "");
}

}  // namespace
