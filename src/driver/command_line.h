// The command line, read into the options.
#pragma once

#include <cstdint>

#include "base/options.h"

void resetSettings();
// Returns a positive value after a complete parse, -1 when there is no operation word.
int parseCommandLine(int argc, const char* const* argv);
void selectOperation(const char* word);
// `text` is the option without its leading "/" or "-". Returns 0, or -1 for an unknown switch.
int applyOption(const char* text);
void settleFileNames();

// Numeric option values: integers as strtol base 10 reads them, saturated to 32 bits;
// reals in plain decimal notation only (no hexadecimal, infinity or NaN).
int32_t readIntegerValue(const char* text);
double readRealValue(const char* text);
