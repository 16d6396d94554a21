// Comparison of two analysed sources: formats, lengths, silences and the slide between them.
#pragma once

#include <cstdint>

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
CompareResult* compareSources(const Settings& options, PcmSource* first, PcmSource* second);

struct Effect;
// compare: the comparison of two sources, written nowhere.
extern const Effect kCompareEffect;
