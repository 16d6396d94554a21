// Reading a source file: check the RIFF/WAVE container and walk its chunks.
#pragma once

#include <cstdint>

#include "base/format.h"
#include "wave/stats.h"

struct Settings;

// Reads the options' fileNames[fileIndex]. reportMode 1 lists the file and its statistics (info, ask),
// 0 analyses it quietly for a processing operation, working out what `needs` asks for. Returns
// the source analysed from the data chunk, or null when the file holds no data chunk with at
// least one step. The file stays open until closeSources.
PcmSource* readSource(Settings& options, int fileIndex, int reportMode, unsigned needs = kNeedNothing);

// Ends the run with an error line when a source file changed (its length or its modification
// time) since the run opened it: the results made from it would no longer match it, and
// putting them in place could lose what was added meanwhile.
void checkSourcesUnchanged();

// Closes every source file the run opened.
void closeSources();
