// Comparison of two analysed sources: formats, lengths, silences and the slide between them.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/operation.h"

#include "wave/stats.h"

struct CompareResult {
    PcmSource* first;
    PcmSource* second;
    int32_t formatMatch;
    int32_t thresholdOk;
    int32_t slide;  // steps by which source 2 starts later than source 1
};

struct Settings;

// Compares the two analysed sources and logs the comparison; /T in the options aligns the ends
// of their sounds instead of the starts.
CompareResult* compareSources(const Settings& options, const RunState& state, PcmSource* first, PcmSource* second);

// compare: the comparison of two sources, written nowhere.
std::unique_ptr<Operation> makeCompare();
