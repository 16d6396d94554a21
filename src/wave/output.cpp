#include "wave/output.h"

#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "driver/buffers.h"
#include "driver/command_line.h"
#include "driver/log.h"
#include "wave/source.h"

namespace {

constexpr int kOutputRiff = 1;
constexpr int kOutputNaked = 2;

void reportWritten(Settings& options, const char* name, int64_t length) {
    // The run's exit code is this count.
    options.filesWritten++;
    logLine(kLevelInfo, "- [OUTPUT2] Filename   : %s", name);
    logLine(kLevelInfo, "- [OUTPUT2] Size       : %d Bytes", static_cast<int32_t>(length));
}

// Ends the run with the writer's line for a result that cannot be written; a result kept after
// a failed write-through is named on the line after it.
[[noreturn]] void cannotOutput(int mode, const std::string& name, const std::string& kept = "") {
    const std::string line = (mode == kOutputRiff ? "E [OUTPUT] cannot output [" : "E [OUTPUT2] cannot output [") +
                             name + "]";
    if (!kept.empty()) logFatalWithDetail(line, "  [OUTPUT] complete result kept as [" + kept + "]");
    logFatal("%s", line.c_str());
}
[[noreturn]] void cannotOutput(const ResultWriter& result) { cannotOutput(result.mode, result.name); }

// The naked file's name: a destination ending in ".WAV" (any case) gets the extension of its
// sample format, and with it the sign switch for signed 8-bit output.
void nakedName(ResultWriter& result) {
    Settings& options = *result.options;
    // The extension goes into destName itself and stays for the rest of the run; no later stage
    // reads it (lrsprit worked out both its names before its first result began).
    char* name = options.destName;
    const size_t nameLength = strlen(name);
    if (nameLength >= 4 && strcasecmp(name + nameLength - 4, ".WAV") == 0) {
        char* extension = name + nameLength - 4;
        const int bits = result.format.bitsPerSample;
        if (bits == 8 && options.signed8Output) {
            strcpy(extension, ".PC8");
            result.switchSign = true;
        } else if (bits == 8) {
            strcpy(extension, ".PPI");
        } else if (bits == 16) {
            strcpy(extension, ".PHL");
        } else {
            *extension = '\0';
        }
    }
    result.name = name;
}

constexpr int64_t kStagingBytes = int64_t{1} << 20;

// Hands the filled buffer to a writing thread, once the previous write is done (or writes it
// here when the result has no thread).
void flushStaging(ResultWriter& result) {
    if (result.pending.valid()) result.pending.get();
    if (result.filled == 0) return;
    const uint8_t* bytes = result.staging[result.current].data();
    const int64_t count = result.filled;
    OutputFile* file = result.file.get();
    if (!result.threaded) {
        writeOutput(*file, bytes, count);
        result.filled = 0;
        return;
    }
    const CleanupSignalsHeld held;  // the writing thread leaves the stopping signals to this one
    result.pending = std::async(std::launch::async, [file, bytes, count] { writeOutput(*file, bytes, count); });
    result.current ^= 1;
    result.filled = 0;
}

// Queues bytes for the file, switched to signed 8-bit when asked.
void emit(ResultWriter& result, const uint8_t* bytes, int64_t count) {
    while (count > 0) {
        std::vector<uint8_t>& buffer = result.staging[result.current];
        if (buffer.empty()) buffer.resize(static_cast<size_t>(result.stagingBytes));
        const int64_t n = std::min(count, result.stagingBytes - result.filled);
        uint8_t* at = buffer.data() + result.filled;
        memcpy(at, bytes, static_cast<size_t>(n));
        if (result.switchSign) switchSign8(at, n);
        result.filled += n;
        bytes += n;
        count -= n;
        if (result.filled == result.stagingBytes) flushStaging(result);
    }
}

}  // namespace

bool resultFits(int64_t steps, int64_t blockAlign) {
    if (steps < 0 || steps > INT32_MAX || blockAlign < 0 || blockAlign > INT32_MAX) return false;
    return steps * blockAlign <= static_cast<int64_t>(INT32_MAX) - kWaveHeaderSize;
}

void buildWaveImage(const FormatInfo& format, int32_t steps, uint8_t* header) {
    const int64_t dataSize = static_cast<int64_t>(format.blockAlign) * steps;
    memcpy(header, "RIFF", 4);
    writeInt32(header + 4, static_cast<int32_t>(dataSize + 36));
    memcpy(header + 8, "WAVEfmt ", 8);
    writeInt32(header + 16, 16);
    writeInt16(header + 20, 1);
    writeInt16(header + 22, format.channels);
    writeInt32(header + 24, format.sampleRate);
    writeInt32(header + 28, format.byteRate);
    writeInt16(header + 32, format.blockAlign);
    writeInt16(header + 34, format.bitsPerSample);
    memcpy(header + 36, "data", 4);
    writeInt32(header + 40, static_cast<int32_t>(dataSize));
}

void beginResult(ResultWriter& result, Settings& options, const FormatInfo& format, int64_t steps) {
    // The result's image: an area of the run, whether or not it is ever held whole.
    countArea();
    result.options = &options;
    result.format = format;
    result.steps = steps;
    result.written = 0;
    result.mode = options.outputMode;
    if (options.bitmapEnabled) {
        const char* pictured = options.destName;
        // A result on standard output has no name to give its picture: the source gives it.
        if (namesStandardOutput(options.destName)) {
            pictured = options.fileNames[0];
            logLine(kLevelInfo, "  [BITMAP] result on standard output, picture named after the source.");
        }
        result.picture = startPicture(options, pictured, format, steps);
    }
    if (result.mode == kOutputNaked) {
        nakedName(result);
    } else {
        result.name = options.destName;
    }
    if (result.mode != kOutputRiff && result.mode != kOutputNaked) return;
    // A result that fits in one buffer is written in one go when complete, without a thread.
    const int64_t bytes = steps * format.blockAlign + (result.mode == kOutputRiff ? kWaveHeaderSize : 0);
    result.threaded = bytes > kStagingBytes;
    result.stagingBytes = std::clamp<int64_t>(bytes, 1, kStagingBytes);
    openOutput(*result.file, result.name.c_str());
    // A destination the user may not write (an existing file, a missing or read-only folder) is
    // refused before any sample is produced, and left as it is. A failure on the way is
    // reported once the result is complete.
    if (result.file->refused || result.file->fd < 0) cannotOutput(result);
    if (result.mode == kOutputRiff) {
        uint8_t header[kWaveHeaderSize];
        buildWaveImage(format, static_cast<int32_t>(steps), header);
        writeOutput(*result.file, header, kWaveHeaderSize);
    }
}

void writeSteps(ResultWriter& result, const uint8_t* samples, int64_t steps) {
    if (steps <= 0) return;
    result.written += steps;
    if (result.written > result.steps) logInternal("E [OUTPUT] result longer than planned.");
    if (result.picture) feedPicture(*result.picture, samples, steps);
    if (result.mode == kOutputRiff || result.mode == kOutputNaked) emit(result, samples, steps * result.format.blockAlign);
}

void copySteps(ResultWriter& result, const PcmSource& source, int64_t first, int64_t steps) {
    if (steps <= 0) return;
    const int64_t blockAlign = source.format.blockAlign;
    const bool untouched = !result.picture && !result.switchSign && blockAlign == result.format.blockAlign &&
                           (result.mode == kOutputRiff || result.mode == kOutputNaked);
    if (untouched) {
        if (first < 0 || first + steps > source.steps) logInternal("E [QOR] read outside the data.");
        // The kernel's copy goes behind what is already queued; the writing thread is done with
        // the file before it is read or copied into here.
        flushStaging(result);
        if (result.pending.valid()) result.pending.get();
    }
    if (untouched && result.file->error == 0) {
        const int64_t copied =
            copyIntoOutput(*result.file, source.fd, source.dataOffset + first * blockAlign, steps * blockAlign);
        // Whole steps copied count as written; a step the copy broke off in is finished below.
        const int64_t whole = copied / blockAlign;
        result.written += whole;
        first += whole;
        steps -= whole;
        if (const int64_t partial = copied % blockAlign; partial > 0) {
            std::vector<uint8_t> step(static_cast<size_t>(blockAlign));
            readSteps(source, first, 1, step.data());
            result.written++;
            emit(result, step.data() + partial, blockAlign - partial);
            first++;
            steps--;
        }
        if (result.written > result.steps) logInternal("E [OUTPUT] result longer than planned.");
    }
    // Whatever the kernel did not copy is read and written block by block.
    const int64_t perBlock = std::min(blockSteps(blockAlign), std::max<int64_t>(steps, 1));
    std::vector<uint8_t> block(static_cast<size_t>(perBlock * blockAlign));
    forEachBlock(source, first, steps, block.data(), perBlock,
                 [&](const uint8_t* data, int64_t, int64_t count) { writeSteps(result, data, count); });
}

void writeSilence(ResultWriter& result, int64_t steps) {
    // At most a block of silence is held, however long the run of it and however wide a step.
    const int64_t perBlock = std::min(steps, blockSteps(result.format.blockAlign));
    if (perBlock <= 0) return;
    std::vector<uint8_t> silence(static_cast<size_t>(perBlock * result.format.blockAlign),
                                 static_cast<uint8_t>(result.options->silenceFill));
    for (int64_t done = 0; done < steps;) {
        const int64_t n = std::min<int64_t>(perBlock, steps - done);
        writeSteps(result, silence.data(), n);
        done += n;
    }
}

void drawResultPicture(ResultWriter& result) {
    if (result.picture) finishPicture(*result.picture, *result.options);
}

int writeResult(ResultWriter& result) {
    if (result.written != result.steps) logInternal("E [OUTPUT] result shorter than planned.");
    const int64_t dataSize = result.steps * result.format.blockAlign;
    flushStaging(result);
    if (result.pending.valid()) result.pending.get();
    if (result.mode != kOutputRiff && result.mode != kOutputNaked) return 0;
    if (result.mode == kOutputNaked && result.switchSign) logLine(kLevelInfo, "- [SWITCH-SIGN] switched sign.");
    if (result.file->error != 0) cannotOutput(result);
    reportWritten(*result.options, result.name.c_str(), dataSize + (result.mode == kOutputRiff ? kWaveHeaderSize : 0));
    holdForCommit(std::move(result.file), [mode = result.mode, name = result.name](const OutputFile& file) {
        cannotOutput(mode, name, file.kept);
    });
    return 0;
}

void commitResults() {
    checkSourcesUnchanged();
    commitHeld();
}

void refuseDestination(const char* name, bool naked) {
    if (checkDestination(name) != 0) cannotOutput(naked ? kOutputNaked : kOutputRiff, name);
}

void switchSign8(uint8_t* bytes, int64_t length) {
    for (int64_t i = 0; i < length; i++) bytes[i] = static_cast<uint8_t>(bytes[i] + 128);
}
