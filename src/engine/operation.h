// The interface every processing operation implements, and what a run hands it.
#pragma once

#include <cstdint>
#include <string>

#include "base/format.h"
#include "engine/run_state.h"
#include "engine/source_blocks.h"

struct ResultWriter;
struct Settings;

// The plan of one result, known before any sample moves: its format, its length and the file it
// goes to (the run's destination unless the operation names its own).
struct ResultPlan {
    FormatInfo format{};
    int64_t steps = 0;
    std::string name;
};

// One processing run: its options (read only), what it learns as it goes, and its sources.
struct Run {
    const Settings& options;
    RunState& state;
    PcmSource* first;
    PcmSource* second;  // null for one-source operations
};

// A processing operation, made for one run by its table row; what it keeps between the calls
// below is its own members. `open` makes the checks and logs the lines that come before any
// result (false: the sources do not fit the operation, and the run fails). Then for each of its
// `results()` results in turn (index 0, then 1, ...): `plan` logs the result's opening lines and
// plans it; `flow` produces every step of it into the writer, reading the sources block by
// block, and logs the pass's closing lines; the picture is drawn; `stop` logs the lines that
// follow the picture; the result is written.
class Operation {
  public:
    virtual ~Operation() = default;
    virtual bool open(Run&) { return true; }
    virtual int results() const { return 1; }
    virtual void plan(Run& run, int index, ResultPlan& plan) = 0;
    virtual void flow(Run& run, int index, ResultWriter& out) = 0;
    virtual void stop(Run&, int) {}
};
