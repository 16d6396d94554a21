// Reading a source file: check the RIFF/WAVE container and walk its chunks.
#pragma once

#include <cstdint>

#include "base/format.h"
#include "wave/stats.h"

struct Settings;

// Reads the run's fileNames[fileIndex]. reportMode 1 lists the file and its statistics (info, ask),
// 0 analyses it quietly for a processing operation, working out what `needs` asks for. Returns
// the source analysed from the data chunk, or null when the file holds no data chunk with at
// least one step. The file stays open until closeSources.
PcmSource* readSource(const Settings& options, RunState& state, int fileIndex, int reportMode,
                      unsigned needs = kNeedNothing);

// info and ask: the first source listed and analysed in full. Returns the exit code: the files
// written (none), or with /RC or /RB the source's channels or bits.
int reportSource(const Settings& options, RunState& state);

// Ends the run with an error line when a source file changed (its length, its modification or
// change time, or the file its name reaches) since the run opened it: the results made from it would no longer match it, and
// putting them in place could lose what was added meanwhile.
void checkSourcesUnchanged(const RunState& state);

// Closes every source file the run opened.
void closeSources();
