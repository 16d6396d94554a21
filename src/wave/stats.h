// Channel statistics and silence detection of one data chunk, worked out from its blocks.
#pragma once

#include <cstdint>

#include "wave/format.h"

struct ChannelStats {
    // The running means, for printing with "%.3f": either the chains' own doubles or, where the
    // exact sums settle the text (settledMean), a double that prints the same.
    double mean;
    double meanAbs;
    int32_t headSilence;
    int32_t tailSilence;
    int32_t available;
    int32_t max;
    int32_t min;
};

// An analysed source: its format, per-channel and combined figures, and where its samples lie
// in its file, which stays open until the end of the run.
struct PcmSource {
    const char* fileName;
    int32_t steps;
    FormatInfo format;
    ChannelStats channel[2];
    int32_t headSilence;
    int32_t tailSilence;
    int32_t available;
    int fd;              // the source file, open for reading
    int64_t dataOffset;  // file offset of the first sample byte; steps * blockAlign bytes follow
};

// What a run reads from the analysis. The silence figures and the extremes cost a pass over the
// samples (the silence figures only as far as the first and last loud steps), so the analysis
// works out only what is asked for; a report asks for everything.
enum AnalysisNeed : unsigned {
    kNeedNothing = 0,
    kNeedSound = 1,     // head and tail silence, available length
    kNeedExtremes = 2,  // max and min
};

// For the means check only; qor leaves it null. Counts how the printed means were settled and can
// make every one of them come from its running chain.
struct MeansAudit {
    bool chainOnly = false;
    int64_t fromSums = 0;   // printed means settled by the exact sums
    int64_t fromChain = 0;  // printed means worked out by their running chains
};
extern MeansAudit* meansAudit;

struct WavePicture;
struct Settings;

// Analyses the source's `steps` (at least 1) steps, already placed by the caller (fd, offset,
// format, steps), as the run's options ask. reportMode 1 prints the statistics. `picture`, when
// given, is fed every step in the same pass. Writes into the options the run's default silence
// threshold and the 8-bit silence fill.
void analyseSource(Settings& options, PcmSource* source, int reportMode, unsigned needs,
                   WavePicture* picture);

// Reads `count` steps from step `first` of the source into `out` (count * blockAlign bytes).
// Ends the run with the read error line when the file no longer holds them.
void readSteps(const PcmSource& source, int64_t first, int64_t count, uint8_t* out);

// Steps in one block of about 1 MiB, at least 1.
int64_t blockSteps(int64_t blockAlign);

// Reads `count` steps from step `first` block by block into `buffer` (perBlock steps of room) and
// hands each block to `body` with its first step number and its step count.
template <typename Body>
void forEachBlock(const PcmSource& source, int64_t first, int64_t count, uint8_t* buffer, int64_t perBlock,
                  Body body) {
    for (int64_t done = 0; done < count;) {
        const int64_t n = count - done < perBlock ? count - done : perBlock;
        readSteps(source, first + done, n, buffer);
        body(buffer, first + done, n);
        done += n;
    }
}
