// Result images and the writers: canonical layout, naked PCM names, and writes that fail.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "driver/buffers.h"
#include "driver/command_line.h"
#include "driver/log.h"
#include "support/run_qor.h"
#include "support/wave_writer.h"
#include "wave/output.h"

namespace {

FormatInfo formatOf(int channels, int bits, int rate) {
    int16_t block = static_cast<int16_t>(channels * bits / 8);
    return FormatInfo{{'f', 'm', 't', ' '}, 18, 1, static_cast<int16_t>(channels), rate, rate * block, block,
                      static_cast<int16_t>(bits)};
}

void setDestination(const std::string& name) {
    strcpy(settings.destNameBuffer, name.c_str());
    settings.destName = settings.destNameBuffer;
}

TEST(Output, CanonicalImage) {
    TempDir dir;
    resetSettings();
    setDestination(dir / "out.wav");
    Bytes samples = sampleBytes(16, {1, -1, 300, -300, 32767, -32768});
    WaveImage* image = buildWaveImage(formatOf(2, 16, 44100), 3, samples.data());
    ASSERT_NE(image, nullptr);
    StreamCapture capture;
    writeResult(image);
    EXPECT_EQ(capture.out(), "- [OUTPUT2] Filename   : " + (dir / "out.wav") + "\n- [OUTPUT2] Size       : 56 Bytes\n");
    Bytes file = readFile(dir / "out.wav");
    ASSERT_EQ(file.size(), 56u);
    ParsedWave w = parseCanonicalWave(file);
    EXPECT_EQ(w.channels, 2);
    EXPECT_EQ(w.sampleRate, 44100);
    EXPECT_EQ(w.byteRate, 176400);
    EXPECT_EQ(w.blockAlign, 4);
    EXPECT_EQ(w.bits, 16);
    EXPECT_EQ(w.values, (std::vector<int>{1, -1, 300, -300, 32767, -32768}));
    EXPECT_EQ(settings.filesWritten, 1);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.wav"});
    apmalloc(kReleaseAll);
}

TEST(Output, NakedPcmNames) {
    struct Case {
        const char* dest;
        int bits;
        int signed8;
        const char* written;
        Bytes data;
        bool switched;
    } cases[] = {
        {"out.wav", 8, 0, "out.PPI", {0x80, 0x00, 0xFF}, false},
        {"out.Wav", 8, 1, "out.PC8", {0x80, 0x00, 0xFF}, true},
        {"out.WAV", 16, 1, "out.PHL", {0x01, 0x80, 0xFF, 0x7F}, false},
        {"out.raw", 8, 1, "out.raw", {0x80, 0x01, 0x02}, false},
        {"o.wav", 12, 0, "o", {0x01, 0x02}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dest);
        TempDir dir;
        resetSettings();
        settings.outputMode = 2;
        settings.signed8Output = c.signed8;
        setDestination(dir / c.dest);
        FormatInfo format = formatOf(1, c.bits, 8000);
        format.blockAlign = static_cast<int16_t>(c.bits == 8 ? 1 : 2);
        int32_t steps = static_cast<int32_t>(c.data.size()) / format.blockAlign;
        WaveImage* image = buildWaveImage(format, steps, c.data.data());
        StreamCapture capture;
        writeResult(image);
        std::string expectedOut = c.switched ? "- [SWITCH-SIGN] switched sign.\n" : "";
        expectedOut += "- [OUTPUT2] Filename   : " + (dir / c.written) + "\n- [OUTPUT2] Size       : " +
                       std::to_string(c.data.size()) + " Bytes\n";
        EXPECT_EQ(capture.out(), expectedOut);
        Bytes expected = c.data;
        if (c.switched) {
            for (uint8_t& b : expected) b ^= 0x80;
        }
        EXPECT_EQ(readFile(dir / c.written), expected);
        EXPECT_EQ(dir.entries(), std::vector<std::string>{c.written});
        EXPECT_STREQ(settings.destName, (dir / c.written).c_str());
        apmalloc(kReleaseAll);
    }
}

TEST(Output, ResultSizesThatCannotBeHeld) {
    struct Case {
        int64_t steps, blockAlign;
        bool fits;
    } cases[] = {
        {0, 4, true},
        {(INT32_MAX - 44) / 4, 4, true},
        {(INT32_MAX - 44) / 4 + 1, 4, false},
        {INT32_MAX, 1, false},
        {INT32_MAX - 44, 1, true},
        {static_cast<int64_t>(INT32_MAX) + 1, 0, false},
        {-1, 2, false},
    };
    for (const Case& c : cases) EXPECT_EQ(resultFits(c.steps, c.blockAlign), c.fits) << c.steps << "x" << c.blockAlign;
}

// Runs a write in a child process (so that the file-size limit and the exit stay there) and
// returns its exit status.
int writeInChild(const std::string& dest, int outputMode, rlim_t sizeLimit) {
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{sizeLimit, sizeLimit};
        setrlimit(RLIMIT_FSIZE, &limit);
        resetSettings();
        settings.stderrThreshold = -1;  // keep the child quiet; the line is checked end to end
        settings.outputMode = outputMode;
        setDestination(dest);
        Bytes samples(4000, 7);
        int code = 0;
        try {
            writeResult(buildWaveImage(formatOf(1, 16, 8000), 2000, samples.data()));
        } catch (const QorExit& exit) {
            code = exit.code;
        }
        _exit(code & 0xFF);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Output, FailedWritesLeaveNothingBehind) {
    TempDir dir;
    const Bytes original = {'k', 'e', 'e', 'p'};
    writeFile(dir / "old.wav", original);
    // The disk fills up: the old file stays as it was, no temporary file is left.
    EXPECT_EQ(writeInChild(dir / "old.wav", 1, 1000), 255);
    EXPECT_EQ(writeInChild(dir / "old.wav", 2, 1000), 255);
    EXPECT_EQ(readFile(dir / "old.wav"), original);
    EXPECT_EQ(writeInChild(dir / "new.wav", 1, 1000), 255);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"old.wav"});
    // A device that is full.
    EXPECT_EQ(writeInChild("/dev/full", 1, RLIM_INFINITY), 255);
    // Without a limit the same write succeeds and replaces the file whole.
    EXPECT_EQ(writeInChild(dir / "old.wav", 1, RLIM_INFINITY), 0);
    EXPECT_EQ(readFile(dir / "old.wav").size(), 4044u);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"old.wav"});
}

TEST(Output, UnwritableDestinationsEndTheRun) {
    TempDir dir;
    writeFile(dir / "plain", {1});
    struct Case {
        std::string dest;
        int mode;
        std::string error;
    } cases[] = {
        {dir / "missing/out.wav", 1, "E [OUTPUT] cannot output [" + (dir / "missing/out.wav") + "]\n"},
        {dir / "plain/out.wav", 2, "E [OUTPUT2] cannot output [" + (dir / "plain/out.PHL") + "]\n"},
        {"/proc/version/x.wav", 1, "E [OUTPUT] cannot output [/proc/version/x.wav]\n"},
    };
    for (const Case& c : cases) {
        resetSettings();
        settings.outputMode = c.mode;
        setDestination(c.dest);
        Bytes samples(8, 1);
        WaveImage* image = buildWaveImage(formatOf(1, 16, 8000), 4, samples.data());
        StreamCapture capture;
        int code = 0;
        try {
            writeResult(image);
        } catch (const QorExit& exit) {
            code = exit.code;
        }
        EXPECT_EQ(code, -1);
        EXPECT_EQ(capture.err(), c.error);
        EXPECT_EQ(settings.filesWritten, 0);
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"plain"});
    apmalloc(kReleaseAll);
}

}  // namespace
