// Channel statistics and silence detection of one data chunk, worked out from its blocks.
#pragma once

#include <cstdint>

#include "base/format.h"
#include "engine/source_blocks.h"

// What a run reads from the analysis. The silence figures and the extremes cost a pass over the
// samples (the silence figures only as far as the first and last loud steps), so the analysis
// works out only what is asked for; a report asks for everything.
enum AnalysisNeed : unsigned {
    kNeedNothing = 0,
    kNeedSound = 1,     // head and tail silence, available length
    kNeedExtremes = 2,  // max and min
};

struct WavePicture;
struct Settings;

// Analyses the source's `steps` (at least 1) steps, already placed by the caller (fd, offset,
// format, steps), as the run's options ask. reportMode 1 prints the statistics. `picture`, when
// given, is fed every step in the same pass. Writes into the options the run's default silence
// threshold and the 8-bit silence fill.
void analyseSource(Settings& options, PcmSource* source, int reportMode, unsigned needs,
                   WavePicture* picture);
