// Mix and subtract: source 2 added to or taken from source 1 at an offset.
#pragma once

#include <cstdint>

#include "wave/compare.h"
#include "wave/stats.h"

#include <memory>

#include "engine/operation.h"

struct Settings;

// mix adds source 2, subtract takes it away.
enum class MixSign { kAdd, kSubtract };
std::unique_ptr<Operation> makeMix(MixSign sign);

// Where the two sources lie on the result's time line, in steps from the result's first step
// (ends exclusive). The result starts at 0 and ends at `total`.
struct Placement {
    int32_t start1, end1;
    int32_t start2, end2;
    int32_t total;
};

// Places source 2 against source 1 for a two-source result: at /O when given, otherwise at the
// comparison's slide corrected by /o. Logs the relative-offset line and the position table under
// `tag`; ends the run with "E [tag] too long, total length." when a result of that many steps of
// `resultBlockAlign` bytes cannot be held.
Placement placeSecondSource(const Settings& options, const CompareResult& comparison, const char* tag,
                            int64_t resultBlockAlign);
