// The order of a run: parse, read the sources, run the operation, put the results in place.
#pragma once

// Runs qor on a command line; returns the exit code (negative codes as the program gives them).
int runQor(int argc, const char* const* argv);
