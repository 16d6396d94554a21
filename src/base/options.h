// The parsed options of a run. The parser fills them once; from then on they are read only.
#pragma once

#include <cstdint>

// The value a numeric setting holds when it was not given.
inline constexpr int32_t kUnset = INT32_MIN;

inline constexpr int kMaxFileNames = 8;
// File names live in 1024-byte buffers: at most 1023 characters each.
inline constexpr int kNameBufferSize = 1024;

enum OperationClass : int32_t {
    kClassOneSource = 101,
    kClassTwoSources = 102,
    kClassInfo = 201,
    kClassAsk = 202,
};

// RequirementMask bits checked by the dispatcher.
enum RequirementBit : int32_t {
    kRequireAgreement = 1,
    kRequireMono = 2,
    kRequireStereo = 4,
    kRequire16Bit = 8,
    kRequire8Bit = 16,
};

struct OperationRow;

struct Settings {
    const OperationRow* operation;  // the operation word's row
    int32_t operationClass;
    int32_t operationCode;
    int32_t requirementMask;
    char fileNames[kMaxFileNames][kNameBufferSize];
    bool extensionAppended[kMaxFileNames];  // the source name got ".WAV" from the parser
    int32_t fileCount;
    char destNameBuffer[kNameBufferSize];
    char* destName;  // points at destNameBuffer, or null when no file is written
    int8_t stderrThreshold;
    int8_t stdoutThreshold;
    int32_t silenceThreshold;
    int32_t bothChannelJudge;
    int32_t tailSideJudge;
    int32_t overwriteMode;
    int32_t extraInfo;
    int32_t overflowLimit;
    int32_t signed8Output;
    int32_t outputMode;
    int32_t bitmapEnabled;
    int32_t bitmapMode;
    int32_t bitmapWidth;
    int32_t bitmapReduce;
    int32_t addValue;
    int32_t factorMode;
    int32_t integerFactor;
    double realFactor;
    int32_t absoluteOffset;
    int32_t relativeOffset;
    int32_t lengthSteps;
    int32_t exitCodeMode;
    int32_t outputBits;
    int32_t outputRate;
    int32_t silenceFill;
    int32_t filesWritten;
};

extern Settings settings;

