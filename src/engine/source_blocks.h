// Sources as the engine reads them: where a source's samples lie in its file, read in bounded
// blocks, and the walks that hand those blocks to a pass.
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "base/format.h"
#include "platform/platform.h"

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
    unsigned analysed;  // what the analysis worked out (AnalysisNeed bits): read through analysed()
    platform::FileHandle fd;  // the source file, open for reading
    int64_t dataOffset;  // file offset of the first sample byte; steps * blockAlign bytes follow
};

// Reads `count` steps from step `first` of the source into `out` (count * blockAlign bytes).
// Ends the run with the read error line when the file no longer holds them.
void readSteps(const PcmSource& source, int64_t first, int64_t count, uint8_t* out);
// The same without ending the run: 0, or the failure: -EINVAL for steps outside the data, the
// read's negative errno, or kEndedEarly when the file no longer holds them. For a thread beside
// the run's own, which leaves every report to it.
inline constexpr int kEndedEarly = 1;
int readStepsQuietly(const PcmSource& source, int64_t first, int64_t count, uint8_t* out);

// Steps in one block of about 1 MiB, at least 1.
int64_t blockSteps(int64_t blockAlign);

namespace detail {
// Hands a block to the body; a body that returns false ends the walk.
template <typename Body>
bool handOn(Body& body, uint8_t* data, int64_t first, int64_t steps) {
    if constexpr (std::is_same_v<decltype(body(data, first, steps)), bool>) {
        return body(data, first, steps);
    } else {
        body(data, first, steps);
        return true;
    }
}
}  // namespace detail

// The forward walk: reads the steps [first, first + count) block by block, in blocks of
// `perBlock` steps (about 1 MiB when 0), and hands each block to `body` with its first step and
// its step count. The block is the walk's own: the body may rewrite it. A body that returns
// false ends the walk.
template <typename Body>
void forEachBlock(const PcmSource& source, int64_t first, int64_t count, Body body, int64_t perBlock = 0) {
    if (perBlock <= 0) perBlock = blockSteps(source.format.blockAlign);
    perBlock = std::max<int64_t>(1, std::min(perBlock, count));
    std::vector<uint8_t> block(static_cast<size_t>(perBlock * source.format.blockAlign));
    for (int64_t done = 0; done < count;) {
        const int64_t n = std::min(perBlock, count - done);
        readSteps(source, first + done, n, block.data());
        if (!detail::handOn(body, block.data(), first + done, n)) return;
        done += n;
    }
}

// The backward walk: the same blocks from the last to the first (the steps within each block
// stay in their order).
template <typename Body>
void forEachBlockBackward(const PcmSource& source, int64_t first, int64_t count, Body body, int64_t perBlock = 0) {
    if (perBlock <= 0) perBlock = blockSteps(source.format.blockAlign);
    perBlock = std::max<int64_t>(1, std::min(perBlock, count));
    std::vector<uint8_t> block(static_cast<size_t>(perBlock * source.format.blockAlign));
    for (int64_t end = first + count; end > first;) {
        const int64_t from = std::max(first, end - perBlock);
        readSteps(source, from, end - from, block.data());
        if (!detail::handOn(body, block.data(), from, end - from)) return;
        end = from;
    }
}

// The part of a source placed at result step `start` that falls in the result's steps
// [from, from + count): `at` result steps into that range, `first` steps into the source, `steps`
// long (0 when none does).
struct Overlap {
    int64_t at;
    int64_t first;
    int64_t steps;
};
Overlap overlapOf(int64_t start, int64_t sourceSteps, int64_t from, int64_t count);

// A source placed on a result's time line: its step 0 falls on result step `start`.
struct PlacedSource {
    const PcmSource* source;
    int64_t start;
};

// The placed-sources walk of the operations that lay two sources on one time line: the result's
// steps [0, total) in blocks of `perBlock`, each handed to `body` with its first step, its step
// count and, for each source, the part of it that falls in the block.
template <size_t N, typename Body>
void forEachPlacedBlock(const PlacedSource (&sources)[N], int64_t total, int64_t perBlock, Body body) {
    for (int64_t from = 0; from < total; from += perBlock) {
        const int64_t steps = std::min(perBlock, total - from);
        Overlap parts[N];
        for (size_t i = 0; i < N; i++) parts[i] = overlapOf(sources[i].start, sources[i].source->steps, from, steps);
        body(from, steps, parts);
    }
}
