#include "driver/command_line.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <string>

#include "base/log.h"
#include "driver/help.h"
#include "driver/operations.h"
#include "platform/platform.h"

namespace {

// In the order --help lists them. <n> is an integer, <x> a decimal number; lengths and offsets
// are in steps.
const OptionRow kOptions[] = {
    {'D', "", "", "debug: every line goes to the error stream"},
    {'S', "", "", "silent: only errors are shown"},
    {'V', "", "", "a hexadecimal dump of the data (info) or of the start of the sound"},
    {'F', "", "", "never abort for clipped samples (by default the 33rd ends the run)"},
    {'2', "", "", "silence is judged on both channels together"},
    {'T', "", "", "two sources are aligned on the ends of their sounds"},
    {'W', "", "", "overwrite: the result replaces the first source"},
    {'N', "", "", "write naked PCM: .PPI (8-bit), .PC8 (8-bit signed), .PHL (16-bit)"},
    {'8', "", "", "8-bit naked output is signed"},
    {'t', "<n>", "0..32767", "silence threshold (default 16 for 8-bit, 1024 for 16-bit sources)"},
    {'G', "[<n>]", "1.. or -1..", "waveform BMP, peak to peak: n pixels wide (960), -n samples a pixel"},
    {'g', "[<n>]", "1.. or -1..", "waveform BMP, average trace: n pixels wide (960), -n samples a pixel"},
    {'m', "<n>", "up to 256", "integer factor of boost, negative divides; with /V a window of 14n steps"},
    {'M', "<x>", "real", "real factor of boost; the rate of vcompress"},
    {'B', "<x>", "-48..48", "factor of boost in dB"},
    {'v', "<n>", "integer", "the value add adds to every sample"},
    {'O', "<n>", "steps", "offset of source 2 (mix, subtract, lrcombine) instead of the detected one"},
    {'o', "<n>", "steps", "correction of the detected offset of source 2"},
    {'L', "<n>", "steps", "length of head, cut, inssilent (negative: at the tail); combine's gap"},
    {'b', "<n>", "1..16", "output bits of lofi (default 4)"},
    {'f', "<n>", "3675..44100", "output rate in Hz of convert and lofi (lofi's default 16540)"},
    {'R', "<c>", "C or B", "exit code of info and ask: the channels (/RC) or bits per sample (/RB)"},
};

// The value rule shared by /G and /g: a positive value is a width, a negative one a reduction.
void applyBitmapValue(int mode, const char* value) {
    settings.bitmapEnabled = 1;
    settings.bitmapMode = mode;
    int32_t v = readIntegerValue(value);
    if (v > 0) {
        settings.bitmapWidth = v;
        logLine(kLevelInfo, "S [INIT] with output bitmap-file, %d pixels.", v);
    } else if (v < 0) {
        // The magnitude of the smallest value does not fit; keep the largest instead.
        settings.bitmapReduce = v == INT32_MIN ? INT32_MAX : -v;
        logLine(kLevelInfo, "S [INIT] with output bitmap-file, x%d samples/pixel.", settings.bitmapReduce);
    }
}

void applyDecibels(const char* value) {
    double db = readRealValue(value);
    settings.factorMode = 1;
    if (db > 48.1) {
        logLine(kLevelWarning, "W [INIT] too large Multiple-Level(dB).");
        db = 48.0;
    } else if (db < -48.1) {
        logLine(kLevelWarning, "W [INIT] too small Multiple-Level(dB).");
        db = -48.0;
    }
    settings.realFactor = pow(10.0, db / 20.0);
    logLine(kLevelInfo, "S [INIT] change Magnificate by FLOAT(dB) mode, %+5.2fdB.", db);
}

void addFileName(const char* name) {
    if (settings.fileCount >= kMaxFileNames) fail(Fatal::kTooManyFiles);
    if (strlen(name) >= static_cast<size_t>(kNameBufferSize)) fail(Fatal::kNameTooLong, name);
    strcpy(settings.fileNames[settings.fileCount], name);
    settings.fileCount++;
}

// An absolute path ("/home/me/take.wav") is a file name even though it begins with "/", and so
// is a lone "-" (standard input or standard output) where the command line needs it.
bool isOption(const char* argument, bool dashIsName) {
    if (dashIsName && strcmp(argument, "-") == 0) return false;
    if (argument[0] == '-') return true;
    if (argument[0] != '/') return false;
    return strchr(argument + 1, '/') == nullptr;
}

// A destination that got ".WAV" is written under the name as written when only that exists and
// is neither a regular file nor a folder (a named pipe, /dev/null, a terminal, /dev/fd/N), or
// when it names standard output: such a name has no extension to give it. A device name that
// Windows keeps under every extension (NUL, CON, ...) is written as written too: there "NUL.WAV"
// is the null device itself, not a file beside it.
void settleDestinationName() {
    char* name = settings.destNameBuffer;
    const std::string written(name, strlen(name) - 4);
    if (platform::namesReservedDevice(written)) {
        name[written.size()] = '\0';
        return;
    }
    platform::FileInfo status;
    if (platform::statPath(name, status) != -ENOENT) return;
    const bool stream = platform::statPath(written, status) == 0 && !status.regular && !status.directory;
    if (stream || platform::namesStandardOutput(written)) name[written.size()] = '\0';
}

// The file names the operation needs: its sources, and its destination unless /W names it.
int namesNeeded(bool overwrite) {
    switch (settings.operationClass) {
    case kClassOneSource:
        return overwrite ? 1 : 2;
    case kClassTwoSources:
        return settings.operationCode == 1 || overwrite ? 2 : 3;
    default:
        return 1;
    }
}

// A lone "-" has always been read as an unknown switch, which a run warns about and passes over.
// It names standard input or output only where the other names are too few for the operation:
// every command line that ran before runs as it did.
bool dashesAreNames(int argc, const char* const* argv) {
    int names = 0;
    bool overwrite = false;
    for (int i = 2; i < argc; i++) {
        if (strcmp(argv[i], "-") == 0) continue;
        if (!isOption(argv[i], false)) {
            names++;
        } else if (argv[i][1] == 'W') {
            overwrite = true;
        }
    }
    return names < namesNeeded(overwrite);
}

// Lines logged while the command line is read are held until it is read whole.
struct HeldWhileParsing {
    HeldWhileParsing() { holdLogLines(); }
    ~HeldWhileParsing() { releaseLogLines(); }
    HeldWhileParsing(const HeldWhileParsing&) = delete;
    HeldWhileParsing& operator=(const HeldWhileParsing&) = delete;
};

}  // namespace

std::span<const OptionRow> optionRows() { return kOptions; }

void resetSettings() {
    memset(&settings, 0, sizeof settings);
    settings.destName = nullptr;
    settings.stderrThreshold = 1;
    settings.stdoutThreshold = 3;
    settings.silenceThreshold = -1;
    settings.overflowLimit = 32;
    settings.outputMode = 1;
    settings.bitmapWidth = 960;
    settings.addValue = -1;
    settings.integerFactor = 1;
    settings.realFactor = 0.0;
    settings.absoluteOffset = kUnset;
    settings.relativeOffset = kUnset;
}

int32_t readIntegerValue(const char* text) {
    const long long value = strtoll(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

double readRealValue(const char* text) {
    // Take the longest prefix that reads as a plain decimal number, then convert only that, so
    // that strtod's hexadecimal, infinity and NaN forms are never accepted.
    const char* p = text;
    while (isspace(static_cast<unsigned char>(*p))) p++;
    std::string number;
    if (*p == '+' || *p == '-') number += *p++;
    size_t digits = 0;
    while (isdigit(static_cast<unsigned char>(*p))) {
        number += *p++;
        digits++;
    }
    if (*p == '.') {
        std::string fraction = ".";
        const char* q = p + 1;
        while (isdigit(static_cast<unsigned char>(*q))) fraction += *q++;
        if (digits > 0 || fraction.size() > 1) {
            digits += fraction.size() - 1;
            number += fraction;
            p = q;
        }
    }
    if (digits == 0) return 0.0;
    if (*p == 'e' || *p == 'E') {
        std::string exponent = "e";
        const char* q = p + 1;
        if (*q == '+' || *q == '-') exponent += *q++;
        if (isdigit(static_cast<unsigned char>(*q))) {
            while (isdigit(static_cast<unsigned char>(*q))) exponent += *q++;
            number += exponent;
        }
    }
    return strtod(number.c_str(), nullptr);
}

void selectOperation(const char* word) {
    const OperationRow* op = findOperation(word);
    if (op != nullptr) {
        settings.operation = op;
        settings.operationClass = op->operationClass;
        settings.operationCode = op->operationCode;
        settings.requirementMask = op->requirementMask;
        applyPresets(op->presets, settings);
        if (op->runLine != nullptr) logLine(kLevelInfo, "%s", op->runLine);
        return;
    }
    settings.operationClass = -1;
    printUsage(-1);
}

int applyOption(const char* text) {
    const char* value = text[0] == '\0' ? text : text + 1;
    switch (text[0]) {
    case '2':
        settings.bothChannelJudge = 1;
        logLine(kLevelInfo, "S [INIT] both channel judge mode.");
        return 0;
    case '8':
        settings.signed8Output = 1;
        logLine(kLevelInfo, "S [INIT] output signed-8bit mode.");
        return 0;
    case 'B':
        applyDecibels(value);
        return 0;
    case 'M':
        settings.factorMode = 1;
        settings.realFactor = readRealValue(value);
        logLine(kLevelInfo, "S [INIT] change Magnificate by FLOAT mode, [%5.2f].", settings.realFactor);
        return 0;
    case 'D':
        settings.stderrThreshold = 3;
        settings.stdoutThreshold = -1;
        logLine(kLevelInfo, "S [INIT] run DEBUG mode.");
        return 0;
    case 'F':
        settings.overflowLimit = INT32_MAX;
        logLine(kLevelInfo, "S [INIT] ignore overflow mode.");
        return 0;
    case 'G':
        applyBitmapValue(3, value);
        return 0;
    case 'g':
        applyBitmapValue(1, value);
        return 0;
    case 'L':
        settings.lengthSteps = readIntegerValue(value);
        logLine(kLevelInfo, "S [INIT] Length is [%d].", settings.lengthSteps);
        return 0;
    case 'N':
        settings.outputMode = 2;
        logLine(kLevelInfo, "S [INIT] output Naked-PCM mode.");
        return 0;
    case 'O':
        settings.absoluteOffset = readIntegerValue(value);
        logLine(kLevelInfo, "S [INIT] Absolute Offset is [%d] steps.", settings.absoluteOffset);
        return 0;
    case 'R':
        if (value[0] == 'c' || value[0] == 'C') {
            settings.exitCodeMode = 1;
        } else if (value[0] == 'b' || value[0] == 'B') {
            settings.exitCodeMode = 2;
        } else {
            settings.exitCodeMode = 0;
        }
        return 0;
    case 'S':
        settings.stderrThreshold = 0;
        settings.stdoutThreshold = 0;
        logLine(kLevelInfo, "S [INIT] run SILENT mode.");
        return 0;
    case 'T':
        settings.tailSideJudge = 1;
        logLine(kLevelInfo, "S [INIT] threshold judgement does tail side.");
        return 0;
    case 'V':
        settings.extraInfo = 1;
        logLine(kLevelInfo, "S [INIT] View extra-info mode.");
        return 0;
    case 'W':
        settings.overwriteMode = 1;
        logLine(kLevelInfo, "S [INIT] OVERWRITE mode.");
        return 0;
    case 'b': {
        int32_t bits = readIntegerValue(value);
        if (bits >= 1 && bits <= 16) {
            settings.outputBits = bits;
        } else {
            logLine(kLevelWarning, "W [INIT] BAD resolution, use %d bits.", settings.outputBits);
        }
        logLine(kLevelInfo, "S [INIT] resolution [%d] bits.", settings.outputBits);
        return 0;
    }
    case 'f': {
        int32_t rate = readIntegerValue(value);
        if (rate >= 3675 && rate <= 44100) {
            settings.outputRate = rate;
        } else {
            logLine(kLevelWarning, "W [INIT] BAD frequency, use %d Hz.", settings.outputRate);
        }
        logLine(kLevelInfo, "S [INIT] frequency [%d] Hz.", settings.outputRate);
        return 0;
    }
    case 'm':
        settings.factorMode = 0;
        settings.integerFactor = readIntegerValue(value);
        if (settings.integerFactor > 256) {
            logLine(kLevelWarning, "W [INIT] too large Multiple-Level.");
            settings.integerFactor = 256;
        }
        logLine(kLevelInfo, "S [INIT] Multiple-Level is [%d].", settings.integerFactor);
        return 0;
    case 'o':
        settings.relativeOffset = readIntegerValue(value);
        logLine(kLevelInfo, "S [INIT] Relative Offset is [%d] steps.", settings.relativeOffset);
        return 0;
    case 't':
        settings.silenceThreshold = readIntegerValue(value);
        logLine(kLevelInfo, "S [INIT] Threshold-Level is [%d].", settings.silenceThreshold);
        return 0;
    case 'v':
        settings.addValue = readIntegerValue(value);
        logLine(kLevelInfo, "S [INIT] Voltage-Level is [%d].", settings.addValue);
        return 0;
    default:
        logLine(kLevelWarning, "W[QOR] Arg. unknown. [/%s]", text);
        return -1;
    }
}

void settleFileNames() {
    for (int i = 0; i < settings.fileCount; i++) {
        char* name = settings.fileNames[i];
        size_t length = strlen(name);
        size_t from = length > 4 ? length - 4 : 0;
        if (memchr(name + from, '.', length - from) != nullptr || strcmp(name, "-") == 0) continue;
        if (length + 4 >= static_cast<size_t>(kNameBufferSize)) {
            fail(Fatal::kNameTooLong, name);
        }
        strcat(name, ".WAV");
        settings.extensionAppended[i] = true;
    }

    int needed = 1;
    bool takesDestination = false;
    if (settings.operationClass == kClassOneSource) {
        takesDestination = true;
    } else if (settings.operationClass == kClassTwoSources) {
        needed = 2;
        takesDestination = settings.operationCode != 1;
    }

    settings.destName = nullptr;
    if (takesDestination) {
        if (settings.fileCount == 0) fail(Fatal::kNoDestination);
        if (settings.overwriteMode) {
            strcpy(settings.destNameBuffer, settings.fileNames[0]);
        } else {
            settings.fileCount--;
            strcpy(settings.destNameBuffer, settings.fileNames[settings.fileCount]);
            settings.fileNames[settings.fileCount][0] = '\0';
            if (settings.extensionAppended[settings.fileCount]) settleDestinationName();
            settings.extensionAppended[settings.fileCount] = false;
        }
        settings.destName = settings.destNameBuffer;
        // A result on standard output leaves it to the result alone: every line goes to the
        // error stream, from the first on.
        takeStandardOutput(platform::namesStandardOutput(settings.destName));
    }
    if (settings.fileCount < needed) {
        fail(Fatal::kTooFewNames, settings.fileCount, needed);
    }
}

int parseCommandLine(int argc, const char* const* argv) {
    resetSettings();
    if (argc < 2) return -1;
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) printGuide(argv[0]);
    if (strcmp(argv[1], "--version") == 0) printVersion();
    const HeldWhileParsing held;
    selectOperation(argv[1]);
    const bool dashIsName = dashesAreNames(argc, argv);
    for (int i = 2; i < argc; i++) {
        const char* argument = argv[i];
        if (isOption(argument, dashIsName)) {
            applyOption(argument + 1);
        } else {
            addFileName(argument);
        }
    }
    settleFileNames();
    return 1;
}
