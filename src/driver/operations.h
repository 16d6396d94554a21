// The operations: one row per operation word, and the handlers through which every processing
// operation streams its result.
#pragma once

#include <cstdint>
#include <cstddef>
#include <new>
#include <type_traits>

#include "base/format.h"
#include "engine/result_writer.h"
#include "wave/stats.h"

struct Effect;
struct Settings;

// One processing run: its options, the sources it reads and the operation's own state between
// its handlers.
struct Run {
    Settings& options;  // the parsed options; the handlers read (and the split rewrites) them here
    const Effect* effect;
    PcmSource* first;
    PcmSource* second;  // null for one-source operations
    alignas(std::max_align_t) unsigned char state[4096];
};

// The operation's state, made at the start of the run (plain data: nothing to release).
template <typename T>
T& startState(Run& run) {
    static_assert(sizeof(T) <= sizeof run.state && std::is_trivially_destructible_v<T>);
    return *new (run.state) T{};
}
template <typename T>
T& stateOf(Run& run) {
    return *std::launder(reinterpret_cast<T*>(run.state));
}

// The plan of one result, known before any sample moves.
struct ResultPlan {
    FormatInfo format;
    int64_t steps;
};

enum class Started {
    kNoResult,  // the sources do not fit the operation: the run fails
    kDone,      // no (further) result
    kResult,    // a result follows, as planned
};

// How a processing operation runs. For each result in turn (index 0, then 1, ...): `start`
// makes its checks, logs its opening lines and plans the result; `flow` produces every step of it
// into the writer, reading the sources block by block, and logs the pass's closing lines; the
// picture is drawn; `stop` (when given) logs the lines that follow the picture; the result is
// written.
struct Effect {
    unsigned needs;  // what the analysis of each source must work out (AnalysisNeed bits)
    int variant;     // which of the operations sharing these handlers runs
    Started (*start)(Run& run, int index, ResultPlan& plan);
    void (*flow)(Run& run, int index, ResultWriter& out);
    void (*stop)(Run& run, int index);
};

struct OperationRow {
    const char* word;
    int32_t operationClass;
    int32_t operationCode;
    int32_t requirementMask;
    const char* runLine;  // null: the word logs no "Run" line
    void (*applyPresets)();
    const Effect* effect;  // null for info and ask
};

// The row of `word` (letter case ignored), or null.
const OperationRow* findOperation(const char* word);
// The row of an operation code, or null.
const OperationRow* operationByCode(int32_t code);
