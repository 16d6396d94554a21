// The command line, read into the options.
#pragma once

#include <cstdint>
#include <span>

#include "base/options.h"

void resetSettings();
// Returns a positive value after a complete parse, -1 when there is no operation word.
int parseCommandLine(int argc, const char* const* argv);
void selectOperation(const char* word);
// `text` is the option without its leading "/" or "-". Returns 0, or -1 for an unknown switch.
int applyOption(const char* text);
void settleFileNames();

// One row per option letter that applyOption takes, for --help: the value written after the
// letter ("" for a switch), the values it accepts and what it does.
struct OptionRow {
    char letter;
    const char* value;
    const char* range;
    const char* meaning;
};
std::span<const OptionRow> optionRows();

// Numeric option values: integers as strtol base 10 reads them, saturated to 32 bits;
// reals in plain decimal notation only (no hexadecimal, infinity or NaN).
int32_t readIntegerValue(const char* text);
double readRealValue(const char* text);
