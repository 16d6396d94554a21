#include "driver/dispatch.h"

#include <memory>
#include <new>

#include "base/buffers.h"
#include "base/log.h"
#include "base/options.h"
#include "bitmap/waveform.h"
#include "driver/command_line.h"
#include "driver/operations.h"
#include "engine/commit.h"
#include "engine/operation.h"
#include "engine/result_writer.h"
#include "platform/platform.h"
#include "wave/source.h"

namespace {

void checkRequirements(const Settings& options, const PcmSource* first, const PcmSource* second) {
    const int mask = options.requirementMask;
    const FormatInfo& f = first->format;
    if (second != nullptr && (mask & kRequireAgreement) != 0) {
        const FormatInfo& g = second->format;
        if (f.channels != g.channels || f.sampleRate != g.sampleRate || f.bitsPerSample != g.bitsPerSample) {
            fail(Fatal::kFormatsDisagree);
        }
    }
    if ((mask & kRequireMono) != 0) {
        if (f.channels != 1) fail(Fatal::kNeedMono);
    } else if ((mask & kRequireStereo) != 0) {
        if (f.channels != 2) fail(Fatal::kNeedStereo);
    }
    if ((mask & kRequire16Bit) != 0) {
        if (f.bitsPerSample != 16) fail(Fatal::kNeed16Bit);
    } else if ((mask & kRequire8Bit) != 0) {
        if (f.bitsPerSample != 8) fail(Fatal::kNeed8Bit);
    }
}

// Streams every result of the operation: planned, produced block by block into its file,
// pictured, and held for the commit at the end of the run. False when the sources do not fit the
// operation.
bool runResults(Operation& operation, Run& run) {
    if (!operation.open(run)) return false;
    for (int index = 0; index < operation.results(); index++) {
        ResultPlan plan;
        plan.name = run.state.destination;
        operation.plan(run, index, plan);
        if (plan.name.empty()) return true;  // no destination: the plan's lines are all
        // The writer goes at the end of each round: a run ended by an error on the way leaves
        // no partial file behind.
        auto out = std::make_unique<ResultWriter>();
        beginResult(*out, run.options, run.state, plan);
        if (run.options.bitmapEnabled) {
            std::string pictured = plan.name;
            // A result on standard output has no name to give its picture: the source gives it.
            if (platform::namesStandardOutput(plan.name)) {
                pictured = run.state.fileNames[0];
                logLine(kLevelInfo, "  [BITMAP] result on standard output, picture named after the source.");
            }
            out->picture = startPicture(run.options, run.state, pictured, plan.format, plan.steps, out->name);
        }
        operation.flow(run, index, *out);
        drawResultPicture(*out);
        operation.stop(run, index);
        writeResult(*out);
    }
    return true;
}

// Reads and checks the sources of a processing operation and runs it.
void runProcessing(const OperationRow& row, const Settings& options, RunState& state) {
    PcmSource* first = readSource(options, state, 0, 0, row.needs);
    PcmSource* second = nullptr;
    if (row.operationClass == kClassTwoSources) second = readSource(options, state, 1, 0, row.needs);
    if (first == nullptr || (row.operationClass == kClassTwoSources && second == nullptr)) {
        fail(Fatal::kOperationNotRun);
    }
    checkRequirements(options, first, second);
    const std::unique_ptr<Operation> operation = row.make();
    Run run{options, state, first, second};
    if (!runResults(*operation, run)) fail(Fatal::kOperationNotRun);
}

// Ends a run that did not complete: nothing more is logged, no result is put in place, and what
// the run opened and took is given back quietly.
int abandonRun(int code) {
    closeSources();
    discardTrackedBuffers();
    flushStreams();
    return code;
}

}  // namespace

int runQor(int argc, const char* const* argv) {
    try {
        if (argc < 2) printUsage(0);
        if (parseCommandLine(argc, argv) < 1) printUsage(-1);
        // From here on the options are read only; what the run learns goes into its state.
        const Settings& options = settings;
        RunState state;
        for (int i = 0; i < options.fileCount; i++) state.fileNames.emplace_back(options.fileNames[i]);
        if (options.destName != nullptr) state.destination = options.destName;
        logLine(kLevelInfo, "- [QOR] Start QOR =================================");
        const OperationRow& row = *options.operation;
        int exitCode = 0;
        if (row.report != nullptr) {
            exitCode = row.report(options, state);
        } else {
            runProcessing(row, options, state);
            exitCode = state.filesWritten;
        }
        // Every result is complete: they are put in place together, none before the last read,
        // and only while every source is as it was when the run opened it. The sources are
        // closed first: on Windows a file still open cannot be replaced (a source is the
        // destination with /W).
        checkSourcesUnchanged(state);
        closeSources();
        // Checked again once every result is synced and every file written through is locked,
        // immediately before the first takes its place.
        commitOutputs(state.held, [&state] { checkSourcesUnchanged(state); });
        apmalloc(kReleaseAll);
        logLine(kLevelFinish, "- [QOR] finish QOR.");
        flushStreams();
        return exitCode;
    } catch (const QorExit& exit) {
        return abandonRun(exit.code);
    } catch (const std::bad_alloc&) {
        // An allocation the run could not get ends it with the allocator's line, like any
        // other error: its files are removed on the way out.
        try {
            fail(Fatal::kOutOfMemory);
        } catch (const QorExit& exit) {
            return abandonRun(exit.code);
        }
    }
}
