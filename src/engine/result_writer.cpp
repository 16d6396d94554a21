#include "engine/result_writer.h"

#include "engine/operation.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <system_error>
#include <vector>

#include "base/buffers.h"
#include "base/options.h"
#include "base/log.h"
#include "platform/platform.h"

namespace {

constexpr int kOutputRiff = 1;
constexpr int kOutputNaked = 2;

void reportWritten(RunState& state, const char* name, int64_t length) {
    // The run's exit code is this count.
    state.filesWritten++;
    logLine(kLevelInfo, "- [OUTPUT2] Filename   : %s", name);
    logLine(kLevelInfo, "- [OUTPUT2] Size       : %d Bytes", static_cast<int32_t>(length));
}

// Ends the run with the writer's line for a result that cannot be written, and a line that says
// why; a failed write-through whose old bytes could not be put back names their backup instead.
[[noreturn]] void cannotOutput(int mode, const std::string& name, const OutputFile* file = nullptr) {
    const char* tag = mode == kOutputRiff ? "OUTPUT" : "OUTPUT2";
    if (file != nullptr && !file->kept.empty()) fail(Fatal::kCannotOutputKept, tag, name.c_str(), file->kept.c_str());
    if (file != nullptr && file->reason != nullptr) failBecause(file->reason, Fatal::kCannotOutput, tag, name.c_str());
    if (file != nullptr && file->error != 0) failBecause(file->error, Fatal::kCannotOutput, tag, name.c_str());
    fail(Fatal::kCannotOutput, tag, name.c_str());
}
[[noreturn]] void cannotOutput(const ResultWriter& result) { cannotOutput(result.mode, result.name, result.file.get()); }

// The naked file's name: a destination ending in ".WAV" (any case) gets the extension of its
// sample format, and with it the sign switch for signed 8-bit output.
std::string nakedName(ResultWriter& result, const std::string& planned) {
    std::string name = planned;
    if (name.size() >= 4 && platform::compareIgnoringCase(name.c_str() + name.size() - 4, ".WAV") == 0) {
        name.resize(name.size() - 4);
        const int bits = result.format.bitsPerSample;
        if (bits == 8 && result.options->signed8Output) {
            name += ".PC8";
            result.switchSign = true;
        } else if (bits == 8) {
            name += ".PPI";
        } else if (bits == 16) {
            name += ".PHL";
        }
    }
    return name;
}

constexpr const char* kOnSourceReason = "the destination is a source of this run.";
constexpr const char* kOnResultReason = "the destination is the same file as another result of this run.";

// The files the result `name` must not replace. A result lands on a source only under the name
// the user gave it (the destination, or the source itself with /W): a split half, a naked
// file's name or a link never replaces one; and no two results of a run land on one file.
std::vector<Avoided> avoidedBy(const RunState& state, const std::string& name) {
    std::vector<Avoided> avoided;
    if (name != state.destination) {
        for (const SourceSeen& source : state.sources) avoided.push_back(Avoided{source.status.id(), kOnSourceReason});
    }
    for (const platform::FileId& other : state.replaced) avoided.push_back(Avoided{other, kOnResultReason});
    return avoided;
}

constexpr int64_t kStagingBytes = int64_t{1} << 20;

// Hands the filled buffer to a writing thread, once the previous write is done (or writes it
// here when the result has no thread, or no thread can be started: a limit on the processes
// only makes the run slower).
void flushStaging(ResultWriter& result) {
    if (result.pending.valid()) result.pending.get();
    if (result.filled == 0) return;
    const uint8_t* bytes = result.staging[result.current].data();
    const int64_t count = result.filled;
    OutputFile* file = result.file.get();
    if (result.threaded) {
        try {
            // The writing thread leaves the stopping signals to this one.
            const platform::StopSignalsHeld held;
            result.pending =
                std::async(std::launch::async, [file, bytes, count] { writeOutput(*file, bytes, count); });
            result.current ^= 1;
            result.filled = 0;
            return;
        } catch (const std::system_error&) {
            result.threaded = false;
        }
    }
    writeOutput(*file, bytes, count);
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

void beginResult(ResultWriter& result, const Settings& options, RunState& state, const ResultPlan& plan) {
    // The result's image: an area of the run, whether or not it is ever held whole.
    countArea();
    const FormatInfo& format = plan.format;
    const int64_t steps = plan.steps;
    result.options = &options;
    result.state = &state;
    result.format = format;
    result.steps = steps;
    result.written = 0;
    result.mode = options.outputMode;
    result.name = result.mode == kOutputNaked ? nakedName(result, plan.name) : plan.name;
    if (result.mode != kOutputRiff && result.mode != kOutputNaked) return;
    // A result that fits in one buffer is written in one go when complete, without a thread.
    const int64_t bytes = steps * format.blockAlign + (result.mode == kOutputRiff ? kWaveHeaderSize : 0);
    result.threaded = bytes > kStagingBytes;
    result.stagingBytes = std::clamp<int64_t>(bytes, 1, kStagingBytes);
    openOutput(*result.file, result.name.c_str(), avoidedBy(state, result.name));
    // A destination the user may not write (an existing file, a missing or read-only folder) is
    // refused before any sample is produced, and left as it is. A failure on the way is
    // reported once the result is complete.
    if (result.file->refused || result.file->fd == platform::kNoFile) cannotOutput(result);
    if (result.file->exists) state.replaced.push_back(result.file->old.id());
    if (result.mode == kOutputRiff) {
        uint8_t header[kWaveHeaderSize];
        buildWaveImage(format, static_cast<int32_t>(steps), header);
        writeOutput(*result.file, header, kWaveHeaderSize);
    }
}

void writeSteps(ResultWriter& result, const uint8_t* samples, int64_t steps) {
    if (steps <= 0) return;
    result.written += steps;
    if (result.written > result.steps) fail(Fatal::kResultLongerThanPlanned);
    if (result.picture) result.picture->feed(samples, steps);
    if (result.mode == kOutputRiff || result.mode == kOutputNaked) emit(result, samples, steps * result.format.blockAlign);
}

void copySteps(ResultWriter& result, const PcmSource& source, int64_t first, int64_t steps) {
    if (steps <= 0) return;
    const int64_t blockAlign = source.format.blockAlign;
    const bool untouched = !result.picture && !result.switchSign && blockAlign == result.format.blockAlign &&
                           (result.mode == kOutputRiff || result.mode == kOutputNaked);
    if (untouched) {
        if (first < 0 || first + steps > source.steps) fail(Fatal::kReadOutsideData);
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
        if (result.written > result.steps) fail(Fatal::kResultLongerThanPlanned);
    }
    // Whatever the kernel did not copy is read and written block by block.
    forEachBlock(source, first, steps, [&](const uint8_t* data, int64_t, int64_t count) { writeSteps(result, data, count); });
}

void writeSilence(ResultWriter& result, int64_t steps) {
    // At most a block of silence is held, however long the run of it and however wide a step.
    const int64_t perBlock = std::min(steps, blockSteps(result.format.blockAlign));
    if (perBlock <= 0) return;
    std::vector<uint8_t> silence(static_cast<size_t>(perBlock * result.format.blockAlign),
                                 static_cast<uint8_t>(result.state->silenceFill));
    for (int64_t done = 0; done < steps;) {
        const int64_t n = std::min<int64_t>(perBlock, steps - done);
        writeSteps(result, silence.data(), n);
        done += n;
    }
}

void drawResultPicture(ResultWriter& result) {
    if (result.picture) result.picture->finish();
}

int writeResult(ResultWriter& result) {
    if (result.written != result.steps) fail(Fatal::kResultShorterThanPlanned);
    const int64_t dataSize = result.steps * result.format.blockAlign;
    flushStaging(result);
    if (result.pending.valid()) result.pending.get();
    if (result.mode != kOutputRiff && result.mode != kOutputNaked) return 0;
    if (result.mode == kOutputNaked && result.switchSign) logLine(kLevelInfo, "- [SWITCH-SIGN] switched sign.");
    if (result.file->error != 0) cannotOutput(result);
    reportWritten(*result.state, result.name.c_str(), dataSize + (result.mode == kOutputRiff ? kWaveHeaderSize : 0));
    result.state->held.push_back(HeldOutput{std::move(result.file), [mode = result.mode, name = result.name](
                                                                       const OutputFile& file) {
                                                cannotOutput(mode, name, &file);
                                            }});
    return 0;
}

void refuseDestination(const char* name, bool naked) {
    if (const int error = checkDestination(name); error != 0) {
        OutputFile refused;
        refused.error = error;
        cannotOutput(naked ? kOutputNaked : kOutputRiff, name, &refused);
    }
}

void refuseLanding(const RunState& state, const std::string& name, const std::string& first) {
    platform::FileInfo later;
    if (platform::statPath(name, later) != 0) return;
    std::vector<Avoided> avoided = avoidedBy(state, name);
    platform::FileInfo before;
    if (platform::statPath(first, before) == 0) avoided.push_back(Avoided{before.id(), kOnResultReason});
    for (const Avoided& other : avoided) {
        if (other.id == later.id()) {
            OutputFile refused;
            refused.error = -EEXIST;
            refused.reason = other.reason;
            cannotOutput(kOutputRiff, name, &refused);
        }
    }
}

void switchSign8(uint8_t* bytes, int64_t length) {
    for (int64_t i = 0; i < length; i++) bytes[i] = static_cast<uint8_t>(bytes[i] + 128);
}
