// In-process runs of one operation stage on a source built by hand, as the statistics would
// leave it, with every logged line captured in order.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/wave_writer.h"
#include "wave/stats.h"

// A PcmSource over its own sample bytes. Values are interleaved; 8-bit values are given as
// signed (byte - 128), 16-bit values as stored. Build it after parseArgs: an 8-bit source sets
// the silence fill byte, as the statistics do.
struct HandSource {
    Bytes bytes;
    PcmSource source{};
};
std::unique_ptr<HandSource> handSource(int channels, int bits, int sampleRate,
                                       const std::vector<int>& values);

// Parses a command line (operation word first, file names included) into the settings; the
// parser's own lines are discarded.
void parseArgs(const std::vector<std::string>& args);

struct StageOutcome {
    std::vector<std::string> lines;  // every line, both streams, in program order
    int exitCode = 0;                // 0 when the stage returned, else the code the run ended with
};
StageOutcome captureStage(const std::function<void()>& body);

// The values of a result image (8-bit as byte - 128), read back by the tests' own parser.
ParsedWave parseImage(const uint8_t* image);
