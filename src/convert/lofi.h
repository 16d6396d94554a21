// Lo-fi: hold and quantise passes imitating a lower rate and resolution.
#pragma once

#include <cstdint>

#include "wave/output.h"
#include "wave/stats.h"

WaveImage* lofiStage(PcmSource* source);

// The two passes of lofiStage, in place over the source's samples. The hold pass replaces each
// window of `ratio` (> 1) source steps by its mean, in window order; the quantise pass keeps
// `bits` (1..16) bits of resolution.
void lofiHoldPass(PcmSource& source, double ratio);
void lofiQuantisePass(PcmSource& source, int32_t bits);

// The mean of channel `channel` of a 16-bit source over the real step positions [a, b), each
// step weighted by the length of its overlap with the window; 0 <= a, b <= steps. The sum is
// taken in double precision in increasing step order and the quotient truncated toward zero.
// An empty window (a >= b) gives 0. Reads the samples as they stand, so a pass that rewrites
// the buffer sees its own earlier writes.
int32_t windowMean(const PcmSource& source, int channel, double a, double b);
// The same for every channel of the source at once (1 or 2 channels); `means` gets one value
// per channel.
void windowMeans(const PcmSource& source, double a, double b, int32_t* means);
