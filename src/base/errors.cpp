#include "base/errors.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "base/log.h"
#include "platform/platform.h"

namespace {

struct FatalLine {
    Fatal id;
    bool internal;     // an internal consistency error: the run ends with -2 instead of -1
    const char* text;  // printf format; its conversions are %d and %s only
};

// Every line that ends a run, in the order of the ids. A text of two lines is written as two
// lines on the same stream.
constexpr FatalLine kFatalLines[] = {
    {Fatal::kTooManyFiles, false, "E [QOR] too many files."},
    {Fatal::kNameTooLong, false, "E [QOR] too long filename. [%s]"},
    {Fatal::kNoDestination, false, "E [INIT] too few filename(1)."},
    {Fatal::kTooFewNames, false, "E [INIT] too few filename(2), [%d/%d]."},

    {Fatal::kInputNotFound, false, "E [QOR] Error input file not found. [%s]"},
    {Fatal::kCannotOpenInput, false, "E [QOR] cannot open input file. [%s]"},
    {Fatal::kNoFileStatus, false, "E [QOR] cannot get file status."},
    {Fatal::kInputTooLarge, false, "E [QOR] too large input file. [%s]"},
    {Fatal::kSourceChanged, false, "E [QOR] source file changed while read. [%s]"},
    {Fatal::kOneStandardInput, false, "E [QOR] standard input can be read as one source only. [%s]"},
    {Fatal::kCannotSpool, false, "E [QOR] cannot spool input stream. [%s]"},
    {Fatal::kFileReadError, false, "E [QOR] File read error."},
    {Fatal::kNotRiff, false, "E [info] file is not RIFF."},
    {Fatal::kNotWave, false, "E [info] file is not WAVE."},
    {Fatal::kUnknownFormat, false, "E [FORMAT] unknown format [%d]."},
    {Fatal::kUnknownDatatype, false, "E [FORMAT] unknown datatype."},
    {Fatal::kFactMismatch, false, "E [FORMAT] unmatch length, fact/data [%d/%d]."},

    {Fatal::kFormatsDisagree, false, "E [CHECK] not agreement source-file format."},
    {Fatal::kNeedMono, false, "E [CHECK] source file must be 1ch."},
    {Fatal::kNeedStereo, false, "E [CHECK] source file must be 2ch."},
    {Fatal::kNeed16Bit, false, "E [CHECK] source file must be 16bit."},
    {Fatal::kNeed8Bit, false, "E [CHECK] source file must be 8bit."},
    {Fatal::kOperationNotRun, false, "E [QOR] unknown operation (COMMON)."},

    {Fatal::kTooLongTotal, false, "E [%s] too long, total length."},
    {Fatal::kTooFewChannels, false, "E [MONO] too few channel."},
    {Fatal::kUnknownMeasure, false, "E [MONO] unknown measure."},
    {Fatal::kHeadLengthZero, false, "E [HEAD] length must over 1 or under -1."},
    {Fatal::kHeadTooLong, false, "E [HEAD] too long, pickup length."},
    {Fatal::kCutTooLong, false, "E [CUT] too long, cutting length."},
    {Fatal::kInsertLengthUnset, false, "E [INSERTSILENT] length is not set, use /L."},
    {Fatal::kInsertTooLong, false, "E [INSERTSILENT] too long, cutting length."},
    {Fatal::kBoostFactorUnset, false, "E [B/A] ERROR in BOOST, Multiple-Level is not set."},
    {Fatal::kBoost8Bit, false, "E [B/A] ERROR in BOOST/ADD, not ready bit-rate(8)."},
    {Fatal::kBoostUnknownBits, false, "E [B/A] ERROR in BOOST/ADD, unknown bit-rate."},
    {Fatal::kMix8Bit, false, "E [MIX] ERROR in MIX, not ready bit-rate(8)."},
    {Fatal::kMixUnknownBits, false, "E [MIX] ERROR in MIX, unknown bit-rate."},
    {Fatal::kVcompress8Bit, false, "E [VCOMPRESS] not ready bitrate(8)."},
    {Fatal::kConvertRateUnset, false, "E [CONVERT] frequency not set, use /f."},
    {Fatal::kTooManyOverflows, false, "E [%s] too many OverFlow (%d times), Aborted."},

    {Fatal::kOutOfMemory, false, "E [APMALLOC] cannot allocate memory."},
    {Fatal::kCannotOutput, false, "E [%s] cannot output [%s]"},
    {Fatal::kCannotOutputKept, false, "E [%s] cannot output [%s]\n  [OUTPUT] old contents kept as [%s]"},

    {Fatal::kNoComparison, true, "E [%s] ERROR in compare or statistics."},
    {Fatal::kUnknownGainRule, true, "E [B/A16] LOGIC ERROR 1."},
    {Fatal::kWindowBeyondBuffer, true, "E [QOR] window beyond its buffer."},
    {Fatal::kReadOutsideData, true, "E [QOR] read outside the data."},
    {Fatal::kNotAnalysed, true, "E [QOR] statistics not worked out."},
    {Fatal::kResultLongerThanPlanned, true, "E [OUTPUT] result longer than planned."},
    {Fatal::kResultShorterThanPlanned, true, "E [OUTPUT] result shorter than planned."},
    {Fatal::kWrongArguments, true, "E [QOR] fatal line %d given arguments [%s], its text takes [%s]."},
};

static_assert(std::size(kFatalLines) == static_cast<size_t>(Fatal::kCount), "one line per id");

consteval bool linesInIdOrder() {
    for (size_t i = 0; i < std::size(kFatalLines); i++) {
        if (static_cast<size_t>(kFatalLines[i].id) != i) return false;
    }
    return true;
}
static_assert(linesInIdOrder(), "the lines are in the order of the ids");

// The conversions of a text in order, as letters ("sd" for "[%s] %d"); `plain` is false when
// it holds another conversion than %d and %s, or more than the letters hold.
struct Conversions {
    char letters[8];
    bool plain;
};

constexpr Conversions conversionsOf(const char* text) {
    Conversions found{{}, true};
    size_t count = 0;
    for (const char* p = text; *p != '\0'; p++) {
        if (*p != '%') continue;
        p++;
        if ((*p != 'd' && *p != 's') || count + 1 >= sizeof found.letters) return Conversions{{}, false};
        found.letters[count++] = *p;
    }
    return found;
}

consteval bool onlyPlainConversions() {
    for (const FatalLine& line : kFatalLines) {
        if (!conversionsOf(line.text).plain) return false;
    }
    return true;
}
static_assert(onlyPlainConversions(), "a line's conversions are %d and %s, without flags or width");

}  // namespace

namespace {

// The line of `id` with its conversions filled, after checking that they fit it.
std::string lineText(const FatalLine& line, Fatal id, const char* conversions, va_list args) {
    const Conversions expected = conversionsOf(line.text);
    if (strcmp(expected.letters, conversions) != 0) {
        fail(Fatal::kWrongArguments, static_cast<int>(id), conversions, expected.letters);
    }
    // A string (a file name) is shown escaped before the text is divided into its lines: a
    // line feed in a name neither ends the line nor starts one.
    std::string text;
    for (const char* p = line.text; *p != '\0'; p++) {
        if (*p != '%') {
            text += *p;
        } else if (*++p == 'd') {
            text += std::to_string(va_arg(args, int));
        } else {
            const char* argument = va_arg(args, const char*);
            text += escapeControls(argument != nullptr ? argument : "(null)");
        }
    }
    return text;
}

// Writes the line (and the detail after it, when it has one) and ends the run.
[[noreturn]] void endWith(const FatalLine& line, const std::string& text, const std::string& reason) {
    if (line.internal) logInternal("%s", text.c_str());
    const size_t feed = text.find('\n');
    if (feed != std::string::npos) logFatalWithDetail(text.substr(0, feed), text.substr(feed + 1));
    if (reason.empty()) logFatal("%s", text.c_str());
    // The detail speaks under the line's own tag: "E [OUTPUT] ..." is followed by "  [OUTPUT] ...".
    const size_t open = text.find('[');
    const size_t close = text.find(']', open);
    const std::string tag = open != std::string::npos && close != std::string::npos
                                ? text.substr(open, close - open + 1)
                                : std::string("[QOR]");
    logFatalWithDetail(text, "  " + tag + " " + reason);
}

}  // namespace

void failWith(Fatal id, const char* conversions, ...) {
    const FatalLine& line = kFatalLines[static_cast<size_t>(id)];
    va_list args;
    va_start(args, conversions);
    const std::string text = lineText(line, id, conversions, args);
    va_end(args);
    endWith(line, text, "");
}

void failWithReason(const char* reason, Fatal id, const char* conversions, ...) {
    const FatalLine& line = kFatalLines[static_cast<size_t>(id)];
    va_list args;
    va_start(args, conversions);
    const std::string text = lineText(line, id, conversions, args);
    va_end(args);
    endWith(line, text, reason != nullptr ? reason : "");
}

const char* systemReason(int error) { return platform::errorText(error); }
