#include "driver/dispatch.h"

#include <memory>
#include <new>

#include "base/buffers.h"
#include "driver/command_line.h"
#include "engine/commit.h"
#include "base/log.h"
#include "driver/operations.h"
#include "wave/source.h"

namespace {

void checkRequirements(const Settings& options, const PcmSource* first, const PcmSource* second,
                       int operationClass) {
    const int mask = options.requirementMask;
    const FormatInfo& f = first->format;
    if (operationClass == kClassTwoSources && (mask & kRequireAgreement) != 0) {
        const FormatInfo& g = second->format;
        if (f.channels != g.channels || f.sampleRate != g.sampleRate || f.bitsPerSample != g.bitsPerSample) {
            logFatal("E [CHECK] not agreement source-file format.");
        }
    }
    if ((mask & kRequireMono) != 0) {
        if (f.channels != 1) logFatal("E [CHECK] source file must be 1ch.");
    } else if ((mask & kRequireStereo) != 0) {
        if (f.channels != 2) logFatal("E [CHECK] source file must be 2ch.");
    }
    if ((mask & kRequire16Bit) != 0) {
        if (f.bitsPerSample != 16) logFatal("E [CHECK] source file must be 16bit.");
    } else if ((mask & kRequire8Bit) != 0) {
        if (f.bitsPerSample != 8) logFatal("E [CHECK] source file must be 8bit.");
    }
}

// Streams every result of the operation: planned, produced block by block into its file,
// pictured, and put in place.
int runEffect(Run& run) {
    const Effect& effect = *run.effect;
    for (int index = 0;; index++) {
        ResultPlan plan{};
        const Started started = effect.start(run, index, plan);
        if (started == Started::kNoResult) return -2;
        if (started == Started::kDone || run.options.destName == nullptr) return 0;
        // The writer goes at the end of each round: a run ended by an error on the way leaves
        // no partial file behind.
        auto out = std::make_unique<ResultWriter>();
        beginResult(*out, run.options, plan.format, plan.steps);
        effect.flow(run, index, *out);
        drawResultPicture(*out);
        if (effect.stop != nullptr) effect.stop(run, index);
        writeResult(*out);
    }
}

int runOperation(Settings& options) {
    switch (options.operationClass) {
    case kClassOneSource:
    case kClassTwoSources:
        if (dispatchOperation(options, options.operationClass, options.operationCode) < 0) {
            logFatal("E [QOR] unknown operation (COMMON).");
        }
        return options.filesWritten;
    default: {
        PcmSource* source = readSource(options, 0, 1);
        if (source != nullptr && options.exitCodeMode == 1) return source->format.channels;
        if (source != nullptr && options.exitCodeMode == 2) return source->format.bitsPerSample;
        return options.filesWritten;
    }
    }
}

// Ends a run that did not complete: nothing more is logged, no result is put in place, and what
// the run opened and took is given back quietly.
int abandonRun(int code) {
    abandonHeld();
    closeSources();
    discardTrackedBuffers();
    flushStreams();
    return code;
}

}  // namespace

int dispatchOperation(Settings& options, int operationClass, int operationCode) {
    const OperationRow* row = operationByCode(operationCode);
    if (row == nullptr) return -1;
    const Effect& effect = *row->effect;
    PcmSource* first = readSource(options, 0, 0, effect.needs);
    PcmSource* second = nullptr;
    if (operationClass == kClassTwoSources) second = readSource(options, 1, 0, effect.needs);
    if (first == nullptr || (operationClass == kClassTwoSources && second == nullptr)) return -3;

    checkRequirements(options, first, second, operationClass);

    auto run = std::unique_ptr<Run>(new Run{options, &effect, first, second, {}});
    return runEffect(*run);
}

int runQor(int argc, const char* const* argv) {
    try {
        if (argc < 2) printUsage(0);
        if (parseCommandLine(argc, argv) < 1) printUsage(-1);
        logLine(kLevelInfo, "- [QOR] Start QOR =================================");
        // From here on the parsed options are handed down with every call.
        int exitCode = runOperation(settings);
        // Every result is complete: they are put in place together, none before the last read.
        commitResults();
        closeSources();
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
            logFatal("E [APMALLOC] cannot allocate memory.");
        } catch (const QorExit& exit) {
            return abandonRun(exit.code);
        }
    }
}
