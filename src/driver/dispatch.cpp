#include "driver/dispatch.h"

#include "convert/convert.h"
#include "convert/lofi.h"
#include "convert/sb8convert.h"
#include "convert/vcompress.h"
#include "driver/buffers.h"
#include "driver/command_line.h"
#include "driver/log.h"
#include "ops/combine.h"
#include "ops/gain.h"
#include "ops/length.h"
#include "ops/lrcombine.h"
#include "ops/mix.h"
#include "ops/mono.h"
#include "wave/compare.h"
#include "wave/source.h"

namespace {

// A routine's result: the WaveImage of every operation but compare, whose CompareResult only
// signals success (compare takes no destination, so it is never written).
using OperationRoutine = const void* (*)(PcmSource* first, PcmSource* second, int code);

struct Operation {
    int code;
    OperationRoutine run;
};

const Operation kOperationTable[] = {
    {1, [](PcmSource* a, PcmSource* b, int) -> const void* { return compareSources(a, b); }},
    {2, [](PcmSource* a, PcmSource* b, int c) -> const void* { return mixStage(a, b, c); }},
    {3, [](PcmSource* a, PcmSource* b, int c) -> const void* { return mixStage(a, b, c); }},
    {4, [](PcmSource* a, PcmSource*, int c) -> const void* { return gainStage(a, c); }},
    {5, [](PcmSource* a, PcmSource*, int c) -> const void* { return gainStage(a, c); }},
    {6, [](PcmSource* a, PcmSource*, int c) -> const void* { return gainStage(a, c); }},
    {20, [](PcmSource* a, PcmSource*, int c) -> const void* { return gainStage(a, c); }},
    {7, [](PcmSource* a, PcmSource*, int) -> const void* { return insertSilenceStage(a); }},
    {8, [](PcmSource* a, PcmSource*, int) -> const void* { return backwardStage(a); }},
    {9, [](PcmSource* a, PcmSource*, int) -> const void* { return cutStage(a); }},
    {10, [](PcmSource* a, PcmSource*, int) -> const void* { return headStage(a); }},
    {11, [](PcmSource* a, PcmSource* b, int) -> const void* { return concatenationStage(a, b); }},
    {12, [](PcmSource* a, PcmSource*, int c) -> const void* { return monoStage(a, c); }},
    {13, [](PcmSource* a, PcmSource*, int c) -> const void* { return monoStage(a, c); }},
    {14, [](PcmSource* a, PcmSource*, int c) -> const void* { return monoStage(a, c); }},
    {15, [](PcmSource* a, PcmSource*, int c) -> const void* { return monoStage(a, c); }},
    {16, [](PcmSource* a, PcmSource*, int) -> const void* { return vcompressStage(a); }},
    {17, [](PcmSource* a, PcmSource*, int) -> const void* { return splitStage(a); }},
    {18, [](PcmSource* a, PcmSource* b, int c) -> const void* { return stereoCombineStage(a, b, c); }},
    {19, [](PcmSource* a, PcmSource*, int) -> const void* { return lofiStage(a); }},
    {71, [](PcmSource* a, PcmSource*, int) -> const void* { return simpleConvert8Stage(a); }},
    {72, [](PcmSource* a, PcmSource*, int) -> const void* { return convertStage(a); }},
};

void checkRequirements(const PcmSource* first, const PcmSource* second, int operationClass) {
    const int mask = settings.requirementMask;
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

int runOperation(int operationClass, int operationCode) {
    switch (operationClass) {
    case kClassOneSource:
    case kClassTwoSources:
        if (dispatchOperation(operationClass, operationCode) < 0) {
            logFatal("E [QOR] unknown operation (COMMON).");
        }
        return settings.filesWritten;
    default: {
        PcmSource* source = readSource(0, 1);
        if (source != nullptr && settings.exitCodeMode == 1) return source->format.channels;
        if (source != nullptr && settings.exitCodeMode == 2) return source->format.bitsPerSample;
        return settings.filesWritten;
    }
    }
}

}  // namespace

int dispatchOperation(int operationClass, int operationCode) {
    PcmSource* first = readSource(0, 0);
    PcmSource* second = nullptr;
    if (operationClass == kClassTwoSources) second = readSource(1, 0);
    if (first == nullptr || (operationClass == kClassTwoSources && second == nullptr)) return -3;

    checkRequirements(first, second, operationClass);

    for (const Operation& op : kOperationTable) {
        if (op.code != operationCode) continue;
        const void* result = op.run(first, second, operationCode);
        if (result == nullptr) return -2;
        if (settings.destName != nullptr) {
            writeResult(const_cast<WaveImage*>(static_cast<const WaveImage*>(result)));
        }
        return 0;
    }
    return -1;
}

int runQor(int argc, const char* const* argv) {
    try {
        if (argc < 2) printUsage(0);
        if (parseCommandLine(argc, argv) < 1) printUsage(-1);
        logLine(kLevelInfo, "- [QOR] Start QOR =================================");
        int exitCode = runOperation(settings.operationClass, settings.operationCode);
        apmalloc(kReleaseAll);
        logLine(kLevelFinish, "- [QOR] finish QOR.");
        flushStreams();
        return exitCode;
    } catch (const QorExit& exit) {
        flushStreams();
        return exit.code;
    }
}
