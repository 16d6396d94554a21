// The order of a run and the engine that streams a processing operation's results.
#pragma once

struct Settings;

// Runs qor on a command line; returns the exit code (negative codes as the program gives them).
int runQor(int argc, const char* const* argv);

// Reads and checks the sources of a processing operation, runs it with the run's options and
// writes its results. Returns 0, or -1 (no such operation), -2 (no result), -3 (a source is missing).
int dispatchOperation(Settings& options, int operationClass, int operationCode);
