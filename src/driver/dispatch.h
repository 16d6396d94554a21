// The order of a run and the dispatch of processing operations.
#pragma once

// Runs qor on a command line; returns the exit code (negative codes as the program gives them).
int runQor(int argc, const char* const* argv);

// Loads and checks the sources of a processing operation, runs it and writes its result.
// Returns 0, or -1 (unknown code), -2 (no result), -3 (a source is missing).
int dispatchOperation(int operationClass, int operationCode);
