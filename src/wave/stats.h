// Channel statistics and silence detection of one data chunk, worked out from its blocks.
#pragma once

#include <cstdint>

#include "base/format.h"
#include "engine/run_state.h"
#include "engine/source_blocks.h"

// What a run reads from the analysis. The silence figures and the extremes cost a pass over the
// samples (the silence figures only as far as the first and last loud steps), so the analysis
// works out only what is asked for; a report asks for everything.
enum AnalysisNeed : unsigned {
    kNeedNothing = 0,
    kNeedSound = 1,     // head and tail silence, available length
    kNeedExtremes = 2,  // max and min
};

// For the means check only; qor leaves it null. Counts how the printed means were settled and
// where the chains ran, can make every printed mean come from its running chain, and can choose
// where the chains run instead of qor.
struct MeansAudit {
    enum class Chains {
        kAsChosen,    // as qor chooses, by the source's length and the processors
        kBeside,      // always on a thread beside the read
        kSecondPass,  // always in a second pass after it
    };
    bool chainOnly = false;
    Chains chains = Chains::kAsChosen;
    int64_t fromSums = 0;   // printed means settled by the exact sums
    int64_t fromChain = 0;  // printed means worked out by their running chains
    int64_t besideRead = 0;     // sources whose chains, run beside the read, gave their open means
    int64_t stoppedUnused = 0;  // sources whose chains beside the read were stopped, not needed
    int64_t secondPass = 0;     // sources whose chains ran in a second pass
};
extern MeansAudit* meansAudit;

// The source, for reading the figures `needs` names: they were worked out only when the
// operation's row asked for them, and reading one that was not is an internal error rather
// than a silent zero.
const PcmSource& analysed(const PcmSource& source, unsigned needs);

struct WavePicture;
struct Settings;

// Analyses the source's `steps` (at least 1) steps, already placed by the caller (fd, offset,
// format, steps), as the run's options ask. reportMode 1 prints the statistics. `picture`, when
// given, is fed every step in the same pass. Settles the run's silence threshold and, for an
// 8-bit source, its silence fill.
void analyseSource(const Settings& options, RunState& state, PcmSource* source, int reportMode, unsigned needs,
                   WavePicture* picture);
