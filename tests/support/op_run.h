// One operation run through the built binary on a source written as in.wav in a fresh folder:
// what it logged, its exit code and the file it left at out.wav.
#pragma once

#include <string>
#include <vector>

#include "support/run_qor.h"
#include "support/wave_writer.h"

struct OpRow {
    std::vector<std::string> args;  // operation word and options; "in.wav" and "out.wav" follow
    Bytes source;
    int exitCode;
    std::vector<std::string> lines;  // what the operation logs (see operationLines)
    Bytes result;                    // the file expected at out.wav; empty when none may be written
};

// Runs the row and checks its exit code, its lines, and the result file whole (header, samples
// and any padding), or that the folder holds nothing but the source.
void expectRun(const OpRow& row);

// The lines a run logs after the report of its last source, up to the report of its first
// written file or the release line; both streams, in the order written.
std::vector<std::string> operationLines(const std::string& mergedOutput);

// The last `count` lines of a run's output (all of them when it wrote fewer).
std::vector<std::string> lastLines(const std::string& out, size_t count);

// The index of the first sample where two sample arrays differ (the shorter length when one is
// a prefix of the other), or -1 when they are equal; keeps failures of long arrays readable.
long firstDifference(const std::vector<int>& got, const std::vector<int>& want);
