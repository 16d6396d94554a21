// Results: the canonical header, and the two writers, fed with samples as they are produced.
#pragma once

#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "base/format.h"
#include "engine/commit.h"
#include "engine/run_state.h"
#include "engine/source_blocks.h"

inline constexpr int kWaveHeaderSize = 44;

// True when a result of `steps` steps of `blockAlign` bytes can be written: the step count and
// the whole file (data + 44 bytes) stay within the signed 32-bit range.
bool resultFits(int64_t steps, int64_t blockAlign);

// The canonical 44-byte RIFF/WAVE header of a result of `steps` steps in `format`.
void buildWaveImage(const FormatInfo& format, int32_t steps, uint8_t* header);

struct Settings;
struct ResultPlan;

// What sees every step of a result as it is written, and is finished when the result is
// complete: the result's picture.
class StepObserver {
  public:
    virtual ~StepObserver() = default;
    virtual void feed(const uint8_t* data, int64_t steps) = 0;
    virtual void finish() = 0;
};

// A result being written to its planned name as its samples are produced: RIFF/WAVE or naked
// PCM by outputMode, with its picture gathered on the way when pictures are on.
struct ResultWriter {
    const Settings* options = nullptr;  // the run's options, given to beginResult
    RunState* state = nullptr;          // the run's state, where the file is counted
    FormatInfo format;
    int64_t steps = 0;    // as planned
    int64_t written = 0;  // steps written so far
    int mode = 0;         // outputMode when the result was started
    bool switchSign = false;
    std::string name;  // the file written: the planned name, with the naked extension when it gets one
    std::unique_ptr<OutputFile> file = std::make_unique<OutputFile>();
    std::unique_ptr<StepObserver> picture;
    // The bytes go out through two buffers: one is filled while the other is being written by a
    // thread of its own, so that the kernel's copying overlaps the computing of the next block.
    // A result that fits in one buffer is written by this thread when complete.
    std::vector<uint8_t> staging[2];
    int64_t stagingBytes = 0;  // the size of a buffer
    bool threaded = false;
    int current = 0;
    int64_t filled = 0;         // bytes waiting in staging[current]
    std::future<void> pending;  // the write of the other buffer; waited for before it is reused
};

// Starts the planned result (the operation has checked resultFits), written as the run's
// options say; the writer keeps them for the calls below. A picture, when the caller gives the
// writer one before the first step, is fed every step.
void beginResult(ResultWriter& result, const Settings& options, RunState& state, const ResultPlan& plan);
// Appends `steps` steps of samples (format.blockAlign bytes each).
void writeSteps(ResultWriter& result, const uint8_t* samples, int64_t steps);
// Appends `steps` steps of `source` from step `first`, unchanged (the source's steps are the
// result's). Where nothing is done to the bytes on their way (no picture, no sign switch), the
// kernel copies them from file to file.
void copySteps(ResultWriter& result, const PcmSource& source, int64_t first, int64_t steps);
// Result steps made one at a time, gathered into a block and written when the block is full.
struct GatheredSteps {
    ResultWriter& out;
    int64_t blockAlign;
    int64_t perBlock;
    std::vector<uint8_t> bytes;
    int64_t filled = 0;

    // `fill` is the byte every step starts out as (its padding keeps it unless overwritten).
    GatheredSteps(ResultWriter& result, int64_t stepBytes, uint8_t fill = 0)
        : out(result),
          blockAlign(stepBytes),
          perBlock(blockSteps(stepBytes)),
          bytes(static_cast<size_t>(perBlock * stepBytes), fill) {}
    // The next step to fill in.
    uint8_t* next() { return bytes.data() + filled * blockAlign; }
    // Takes the step filled in; a full block goes out.
    void add() {
        if (++filled == perBlock) flush();
    }
    void flush() {
        writeSteps(out, bytes.data(), filled);
        filled = 0;
    }
};

// Appends `steps` silent steps (every byte the silence fill byte).
void writeSilence(ResultWriter& result, int64_t steps);
// Draws and writes the result's picture, when one is gathered, with its report lines.
void drawResultPicture(ResultWriter& result);
// Completes the file, counts it in the run's filesWritten and logs it, and holds it to be put
// in place with the run's other results at the end of the run (commitResults); ends the run with
// the writer's error line when it could not be written.
int writeResult(ResultWriter& result);
// Ends the run with the line of a destination that cannot be written, before any sample of it
// is computed (`naked`: the naked writer's line).
void refuseDestination(const char* name, bool naked);
// Ends the run with the writer's line when the later result `name` would land on a source or on
// the file of the result `first` before it, before either is begun (beginResult checks each
// result as it begins; this makes the check for both halves before the first).
void refuseLanding(const RunState& state, const std::string& name, const std::string& first);

// Switches 8-bit samples between unsigned (silence 128) and signed (silence 0), in place. A
// result is switched block by block; writeResult logs the switch once it is complete.
void switchSign8(uint8_t* bytes, int64_t length);
