// qor in pipelines, end to end through the binary under bash: sources read from standard input,
// /dev/stdin, process substitution and named pipes; results sent to standard output, /dev/stdout
// (a pipe or a file the shell opened), process substitution and named pipes. Each piped run is
// checked against the same run on regular files: the same exit code, the same lines (all on the
// error stream when standard output carries the result) and the same bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "support/child_run.h"
#include "support/run_qor.h"
#include "support/wave_writer.h"

namespace {

// A stereo sound longer than a pipe holds (64 KiB), with a silent head so that two sources are
// aligned on their starts.
Bytes sound(int seed) {
    std::vector<int> values;
    for (int64_t i = 0; i < 50000 * 2; i++) {
        values.push_back(i < 2000 ? 0 : static_cast<int>(i * seed % 30000) - 15000);
    }
    return makeWave(2, 16, 44100, values);
}

// The same file with the sizes a writer that cannot seek leaves in the header.
Bytes withSizes(Bytes wave, uint32_t riffSize, uint32_t dataSize) {
    for (int i = 0; i < 4; i++) {
        wave[4 + i] = static_cast<uint8_t>(riffSize >> (8 * i));
        wave[40 + i] = static_cast<uint8_t>(dataSize >> (8 * i));
    }
    return wave;
}

void writeFixtures(const TempDir& dir) {
    const Bytes a = sound(7919);
    writeFile(dir / "a.wav", a);
    writeFile(dir / "b.wav", sound(104729));
    // 33 samples past full scale under /m2: the run ends before its result is complete.
    writeFile(dir / "loud.wav", makeWave(2, 16, 44100, std::vector<int>(66, 30000)));
    writeFile(dir / "ff.wav", withSizes(a, 0xFFFFFFFF, 0xFFFFFFFF));
    writeFile(dir / "zero.wav", withSizes(makeWave(1, 16, 8000, {100, 900, 3, 0, 0, 0, 7, 0}), 0, 0));
    writeFile(dir / "short.wav", Bytes(a.begin(), a.begin() + 1000));
    writeFile(dir / "text.wav", Bytes{'n', 'o', 't', ' ', 'a', ' ', 'w', 'a', 'v', 'e', '\n'});
    std::filesystem::create_directory(dir / "spool");
}

// Runs `script` under bash in the folder, with `qor` the built binary and the folder's spool/
// as the temporary folder. A run that waits for ever is ended. `nonblocking 0 1` leaves the
// shell's standard input and output non-blocking, as a parent process may (the flag belongs to
// the pipe's end, which the commands after it share).
RunResult runScript(const TempDir& dir, const std::string& script) {
    const std::string prelude =
        "qor() { '" QOR_BINARY "' \"$@\"; }\nexport TMPDIR=\"$PWD/spool\"\n"
        "nonblocking() { perl -MFcntl -e 'for (@ARGV) { open(my $f, $_ ? \">&=\" : \"<&=\", $_) or die;"
        " fcntl($f, F_SETFL, fcntl($f, F_GETFL, 0) | O_NONBLOCK) or die }' \"$@\"; }\n";
    return runProgram({"timeout", "60", "bash", "-c", prelude + script}, dir.path);
}

// The numbers bash gives process substitutions are its own.
std::string normalised(const std::string& text) {
    return std::regex_replace(text, std::regex("/dev/fd/[0-9]+"), "/dev/fd/N");
}

std::string replaced(std::string text, const std::vector<std::pair<std::string, std::string>>& renames) {
    for (const auto& [from, to] : renames) {
        for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
            text.replace(at, from.size(), to);
        }
    }
    return normalised(text);
}

TEST(Pipes, StreamsAreReadAndWrittenAsFilesAre) {
    struct Case {
        const char* name;
        std::vector<std::string> plain;  // the run on regular files
        std::string piped;               // the same run in a pipeline
        std::vector<std::pair<std::string, std::string>> renames;  // plain names as the piped run shows them
        bool resultOnStandardOutput;  // every line of the piped run goes to the error stream
        std::string want = "want.wav";  // the plain run's result, compared with the piped run's got.wav
        std::string gotPrefix = "";     // what got.wav held before the result
    } cases[] = {
        {"standard input as -", {"info", "a.wav"}, "cat a.wav | qor info -", {{"a.wav", "-"}}, false},
        {"standard input redirected from a file", {"info", "a.wav"}, "qor info - < a.wav", {{"a.wav", "-"}}, false},
        {"/dev/stdin, with the dump", {"info", "/V", "a.wav"}, "cat a.wav | qor info /V /dev/stdin",
         {{"a.wav", "/dev/stdin"}}, false},
        {"process substitution", {"info", "a.wav"}, "qor info <(cat a.wav)", {{"a.wav", "/dev/fd/N"}}, false},
        {"a named pipe", {"info", "a.wav"}, "mkfifo p.wav; cat a.wav > p.wav & qor info p.wav", {{"a.wav", "p.wav"}},
         false},
        {"a stream that ends early", {"info", "short.wav"}, "cat short.wav | qor info -", {{"short.wav", "-"}}, false},
        {"a stream that is not WAVE", {"info", "text.wav"}, "cat text.wav | qor info -", {{"text.wav", "-"}}, false},
        {"sizes unknown as 0xFFFFFFFF", {"boost", "/m2", "ff.wav", "want.wav"},
         "cat ff.wav | qor boost /m2 - got.wav", {{"ff.wav", "-"}, {"want.wav", "got.wav"}}, false},
        {"sizes unknown as 0", {"info", "zero.wav"}, "cat zero.wav | qor info -", {{"zero.wav", "-"}}, false},
        {"a named pipe without extension, to a file", {"boost", "/m2", "a.wav", "want.wav"},
         "mkfifo p; cat a.wav > p & qor boost /m2 p got.wav", {{"a.wav", "p"}, {"want.wav", "got.wav"}}, false},
        {"/dev/stdin as the second source", {"mix", "a.wav", "b.wav", "want.wav"},
         "cat b.wav | qor mix a.wav /dev/stdin got.wav", {{"b.wav", "/dev/stdin"}, {"want.wav", "got.wav"}}, false},
        {"standard input to standard output", {"boost", "/m2", "a.wav", "want.wav"},
         "cat a.wav | qor boost /m2 - - > got.wav", {{"a.wav", "-"}, {"want.wav", "-"}}, true},
        {"two process substitutions", {"mix", "a.wav", "b.wav", "want.wav"},
         "qor mix <(cat a.wav) <(cat b.wav) - > got.wav",
         {{"a.wav", "/dev/fd/N"}, {"b.wav", "/dev/fd/N"}, {"want.wav", "-"}}, true},
        {"/dev/stdout into a pipe", {"reverse", "a.wav", "want.wav"},
         "qor reverse a.wav /dev/stdout | cat > got.wav; exit ${PIPESTATUS[0]}", {{"want.wav", "/dev/stdout"}}, true},
        {"/dev/stdout that the shell opened on a file", {"boost", "/m2", "a.wav", "want.wav"},
         "printf old > got.wav; qor boost /m2 a.wav /dev/stdout >> got.wav", {{"want.wav", "/dev/stdout"}}, true,
         "want.wav", "old"},
        {"silent", {"boost", "/S", "/m2", "a.wav", "want.wav"}, "qor boost /S /m2 a.wav - > got.wav",
         {{"want.wav", "-"}}, true},
        {"debug", {"boost", "/D", "/m2", "a.wav", "want.wav"}, "qor boost /D /m2 a.wav - > got.wav",
         {{"want.wav", "-"}}, true},
        {"naked, to /dev/fd/1", {"back", "/N", "a.wav", "want.wav"}, "qor back /N a.wav /dev/fd/1 > got.wav",
         {{"want.PHL", "/dev/fd/N"}}, true, "want.PHL"},
        {"a failed run sends nothing", {"boost", "/m2", "loud.wav", "want.wav"},
         "qor boost /m2 loud.wav - > got.wav", {{"want.wav", "-"}}, true},
        {"process substitution as destination", {"back", "a.wav", "want.wav"},
         "qor back a.wav >(cat > got.wav); status=$?; wait $!; exit $status", {{"want.wav", "/dev/fd/N"}}, false},
        {"a named pipe without extension as destination", {"lrmono", "a.wav", "want.wav"},
         "mkfifo p; cat p > got.wav & qor lrmono a.wav p; status=$?; wait; exit $status", {{"want.wav", "p"}}, false},
        // The run finds the pipe empty, then waits for what comes.
        {"non-blocking standard input, written late", {"boost", "/m2", "a.wav", "want.wav"},
         "(sleep 0.2; cat a.wav) | { nonblocking 0; qor boost /m2 - got.wav; }",
         {{"a.wav", "-"}, {"want.wav", "got.wav"}}, false},
        // The pipe takes 64 KiB at a time while the reader sleeps: short writes, each resumed
        // where it stopped, and waits between them.
        {"non-blocking standard output, read late", {"reverse", "a.wav", "want.wav"},
         "{ nonblocking 1; qor reverse a.wav -; } | { sleep 0.2; cat > got.wav; }; exit ${PIPESTATUS[0]}",
         {{"want.wav", "-"}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeFixtures(dir);
        const RunResult plain = runQor(c.plain, dir.path, "C.UTF-8", c.resultOnStandardOutput);
        const RunResult piped = runScript(dir, c.piped);
        EXPECT_EQ(piped.exitCode, plain.exitCode) << piped.err;
        if (c.resultOnStandardOutput) {
            EXPECT_EQ(piped.out, "");
            EXPECT_EQ(normalised(piped.err), replaced(plain.out, c.renames));
        } else {
            EXPECT_EQ(normalised(piped.out), replaced(plain.out, c.renames));
            EXPECT_EQ(normalised(piped.err), replaced(plain.err, c.renames));
        }
        // The plain run's result, or nothing at all where it wrote none.
        const bool wrote = fileExists(dir / c.want);
        const bool tookResult = c.resultOnStandardOutput || std::string(c.piped).find("got.wav") != std::string::npos;
        if (tookResult) {
            Bytes expected(c.gotPrefix.begin(), c.gotPrefix.end());
            if (wrote) {
                const Bytes result = readFile(dir / c.want);
                expected.insert(expected.end(), result.begin(), result.end());
            }
            EXPECT_EQ(readFile(dir / "got.wav"), expected);
        }
        EXPECT_TRUE(std::filesystem::is_empty(dir / "spool")) << "the temporary folder keeps a file";
    }
}

TEST(Pipes, WhatAStreamCannotDoIsSaid) {
    struct Case {
        const char* name;
        std::string script;
        int exitCode;
        std::vector<std::string> errLines;  // lines the error stream must hold, the last one last
        std::vector<std::string> made;      // files the run leaves besides the fixtures
    } cases[] = {
        {"standard input twice", "cat a.wav | qor mix - - out.wav", 255,
         {"E [QOR] standard input can be read as one source only. [-]"}, {}},
        {"standard input as - and as /dev/stdin", "cat a.wav | qor compare - /dev/stdin", 255,
         {"E [QOR] standard input can be read as one source only. [/dev/stdin]"}, {}},
        {"the reader leaves", "qor boost /m2 a.wav - | head -c 100 > /dev/null; exit ${PIPESTATUS[0]}", 255,
         {"E [OUTPUT] cannot output [-]", "  [OUTPUT] Broken pipe"}, {}},
        {"standard output closed", "qor boost /m2 a.wav - >&-", 255,
         {"E [OUTPUT] cannot output [-]", "  [OUTPUT] Bad file descriptor"}, {}},
        // What a stream carried cannot be written back, into its own pipe least of all.
        {"a stream written back", "cat a.wav | qor boost /W /m2 /dev/stdin", 255,
         {"E [OUTPUT] cannot output [/dev/stdin]", "  [OUTPUT] a stream cannot be written back."}, {}},
        {"a named pipe written back", "mkfifo p.wav; cat a.wav > p.wav & qor boost /W /m2 p.wav; s=$?; kill %1 2>/dev/null; exit $s",
         255, {"E [OUTPUT] cannot output [p.wav]", "  [OUTPUT] a stream cannot be written back."}, {"p.wav"}},
        // A picture of standard input has no name of its own: none lands beside the devices or
        // in the current folder under a dash.
        {"a picture of standard input on standard output", "cat a.wav | qor boost /G /m2 - - > got.wav", 1,
         {"W [BITMAP] cannot output [-.BMP]", "- [QOR] finish QOR."}, {"got.wav"}},
        {"a picture of /dev/stdin", "cat a.wav | qor info /G /dev/stdin", 0,
         {"W [BITMAP] cannot output [/dev/stdin.BMP]"}, {}},
        {"standard input closed", "qor info - <&-", 255,
         {"E [QOR] cannot open input file. [-]", "  [QOR] Bad file descriptor"}, {}},
        // One descriptor is free when the run starts (the loader needs it for a moment): the
        // second source finds none. Whatever the test's parent left open is closed first.
        {"too many open files",
         "for fd in $(ls /proc/$$/fd); do ((fd > 2)) && eval \"exec $fd<&-\"; done; ulimit -n 4; "
         "exec '" QOR_BINARY "' compare a.wav b.wav",
         255,
         {"E [QOR] cannot open input file. [b.wav]", "  [QOR] Too many open files"}, {}},
        // The spool is written before any result is opened: the limit fails that write.
        {"a stream spooled under a file-size limit", "cat a.wav | (ulimit -f 100; qor boost /m2 - out.wav)",
         255,
         {"E [QOR] cannot spool input stream. [-]", "  [QOR] File too large"}, {}},

        // Beside enough names, a lone "-" stays the unknown switch it was before.
        {"a lone - that is not needed", "cat b.wav | qor info - a.wav", 0, {"W[QOR] Arg. unknown. [/]"}, {}},
        {"a picture named after the source", "qor boost /G /m2 a.wav - > got.wav", 1,
         {"  [BITMAP] result on standard output, picture named after the source.",
          "  [BITMAP] Output BMP  :           a.BMP", "- [QOR] finish QOR."},
         {"a.BMP", "got.wav"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeFixtures(dir);
        const std::vector<std::string> before = dir.entries();
        const RunResult r = runScript(dir, c.script);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        const std::vector<std::string> err = lines(r.err);
        for (const std::string& line : c.errLines) {
            EXPECT_NE(std::find(err.begin(), err.end(), line), err.end()) << line << "\n" << r.err;
        }
        ASSERT_FALSE(err.empty());
        EXPECT_EQ(err.back(), c.errLines.back());
        std::vector<std::string> made;
        for (const std::string& name : dir.entries()) {
            if (std::find(before.begin(), before.end(), name) == before.end()) made.push_back(name);
        }
        EXPECT_EQ(made, c.made);
        EXPECT_TRUE(std::filesystem::is_empty(dir / "spool")) << "the temporary folder keeps a file";
    }
}

}  // namespace
