// Log output: every reported line goes through logMessage, routed by level.
#pragma once

#include <string>

#include "base/errors.h"

// Levels: -1 internal error (exit -2), 0 error (exit -1), 1 warning, 2 finish line, 3 the rest.
enum LogLevel : int {
    kLevelInternal = -1,
    kLevelError = 0,
    kLevelWarning = 1,
    kLevelFinish = 2,
    kLevelInfo = 3,
};

// Carries a process exit from the place that ends the run to main, so that nothing runs
// after the fatal line and tests can observe the exit code.
struct QorExit {
    int code;
};

// The line being built. Empty between two calls of logMessage.
extern std::string MessageBuffer;

// Emits MessageBuffer at `level` and empties it. Levels 0 and -1 end the run (throw QorExit).
int logMessage(int level);

// Whether a line logged at `level` reaches a stream; work done only to be printed can be skipped
// when it does not.
bool logLevelShown(int level);

// `text` as a log line shows it: each control character (a byte below 0x20, and 0x7F) as "\x"
// and two lowercase hexadecimal digits ("\x0a" for a line feed), every other byte as it is. A
// file name holding a line feed cannot begin a line of its own.
std::string escapeControls(const std::string& text);

// Formats one line into MessageBuffer and emits it. Every line is written through
// escapeControls, but for a line feed that ends it.
void logLine(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The three below write a fatal line as given. The program's fatal lines are kept in the table
// in base/errors.cpp and written by fail(id, ...) through these; elsewhere a run is ended by id.
// Logs at level 0: the run ends.
[[noreturn]] void logFatal(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Logs `line` at level 0 followed by `detail` on the same stream: the run ends.
[[noreturn]] void logFatalWithDetail(const std::string& line, const std::string& detail);
// Logs at level -1: an internal consistency error, the run ends with -2.
[[noreturn]] void logInternal(const char* format, ...) __attribute__((format(printf, 1, 2)));

// While the command line is read, lines are held back: only the whole of it tells whether
// standard output carries a result, and then no line may go there. holdLogLines starts holding
// (and hands standard output back to the lines), takeStandardOutput says whether a result takes
// it, and releaseLogLines writes the held lines, each where it was meant to go, and stops
// holding. A line that ends the run is written at once, after the lines held before it.
void holdLogLines();
void takeStandardOutput(bool taken);
void releaseLogLines();

// Writes the usage text to the error stream and ends the run with `code`.
[[noreturn]] void printUsage(int code);
// Writes the usage text (printHelp: --help under a Japanese locale) or its version line
// (printVersion: --version) to standard output, and ends the run with 0.
[[noreturn]] void printHelp();
[[noreturn]] void printVersion();
// The usage text as printUsage writes it: UTF-8, or Shift_JIS when the locale names it.
std::string usageText();
// The usage text's first line, which names the program and its version.
std::string versionLine();
// Whether messages are asked for in Japanese: LC_ALL, LC_MESSAGES or LANG, the first one set,
// names a Japanese locale ("ja", "ja_JP.UTF-8", ...), installed or not.
bool localeIsJapanese();

// Gives the two streams large buffers; logMessage flushes after every line.
void initialiseStreams();
void flushStreams();
