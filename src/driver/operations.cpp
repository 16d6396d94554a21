#include "driver/operations.h"

#include <strings.h>

#include "convert/convert.h"
#include "convert/lofi.h"
#include "convert/sb8convert.h"
#include "convert/vcompress.h"
#include "driver/command_line.h"
#include "ops/combine.h"
#include "ops/gain.h"
#include "ops/length.h"
#include "ops/lrcombine.h"
#include "ops/mix.h"
#include "ops/mono.h"
#include "wave/compare.h"

namespace {

void noPresets() {}
void askPresets() {
    settings.stderrThreshold = 0;
    settings.stdoutThreshold = 0;
}
void unsetFactor() { settings.integerFactor = kUnset; }
void maxPresets() {
    settings.integerFactor = kUnset;
    settings.factorMode = 1;
}
void addPresets() { settings.addValue = 0; }
void reversePresets() { settings.integerFactor = -1; }
void unsetLength() { settings.lengthSteps = kUnset; }
void zeroLength() { settings.lengthSteps = 0; }
void vcompressPresets() {
    settings.silenceThreshold = kUnset;
    settings.realFactor = 0.0;
    settings.factorMode = 1;
}
void lofiPresets() {
    settings.outputBits = 4;
    settings.outputRate = 16540;
}

// Looked up in this order; the first word that matches, ignoring case, wins.
const OperationRow kOperations[] = {
    {"info", kClassInfo, 0, 0, "- [QOR] Run INFO-mode.", noPresets, nullptr},
    {"ask", kClassAsk, 0, 0, nullptr, askPresets, nullptr},
    {"compare", kClassTwoSources, 1, 0, "- [QOR] Run COMPARE-mode.", noPresets, &kCompareEffect},
    {"mix", kClassTwoSources, 2, 1, "- [QOR] Run MIX-mode.", noPresets, &kMixEffect},
    {"subtract", kClassTwoSources, 3, 1, "- [QOR] Run SUBTRACT-mode.", noPresets, &kSubtractEffect},
    {"boost", kClassOneSource, 4, 0, "- [QOR] Run BOOST-mode.", unsetFactor, &kBoostEffect},
    {"max", kClassOneSource, 20, 0, "- [QOR] Run MAXIMIZE-mode.", maxPresets, &kMaximizeEffect},
    {"add", kClassOneSource, 5, 0, "- [QOR] Run ADD-mode.", addPresets, &kAddEffect},
    {"reverse", kClassOneSource, 6, 0, "- [QOR] Run REVERSE-mode.", reversePresets, &kReverseEffect},
    {"back", kClassOneSource, 8, 0, "- [QOR] Run BACKWORD-mode.", unsetLength, &kBackwardEffect},
    {"l2mono", kClassOneSource, 12, 4, "- [QOR] Run L2MONO-mode.", noPresets, &kLeftMonoEffect},
    {"r2mono", kClassOneSource, 13, 4, "- [QOR] Run R2MONO-mode.", noPresets, &kRightMonoEffect},
    {"lrmono", kClassOneSource, 14, 4, "- [QOR] Run L+RMONO-mode.", noPresets, &kSumMonoEffect},
    {"ccancel", kClassOneSource, 15, 4, "- [QOR] Run L-RMONO-mode.", noPresets, &kDifferenceMonoEffect},
    {"lrsprit", kClassOneSource, 17, 4, "- [QOR] Run L/RSPRIT-mode.", noPresets, &kSplitEffect},
    {"vcompress", kClassOneSource, 16, 0, "- [QOR] Run V-COMPRESS-mode.", vcompressPresets, &kVcompressEffect},
    {"combine", kClassTwoSources, 11, 1, "- [QOR] Run COMBINE-mode.", unsetLength, &kConcatenationEffect},
    {"inssilent", kClassOneSource, 7, 0, "- [QOR] Run INSERTSILENT-mode.", unsetLength, &kInsertSilenceEffect},
    {"cut", kClassOneSource, 9, 0, "- [QOR] Run CUT-mode.", zeroLength, &kCutEffect},
    {"head", kClassOneSource, 10, 0, "- [QOR] Run PickupHEAD-mode.", zeroLength, &kHeadEffect},
    {"convert", kClassOneSource, 72, 8, "- [QOR] Run Convert.", noPresets, &kConvertEffect},
    {"sb8convert", kClassOneSource, 71, 8, "- [QOR] Run Sinple-Convert for 8bit.", noPresets,
     &kSimpleConvert8Effect},
    {"lrcombine", kClassTwoSources, 18, 3, "- [QOR] Run L/R-COMBINE by Two-MONOs.", noPresets,
     &kStereoCombineEffect},
    {"lofi", kClassOneSource, 19, 8, "- [QOR] Run LoFi.", lofiPresets, &kLofiEffect},
};

}  // namespace

const OperationRow* findOperation(const char* word) {
    for (const OperationRow& row : kOperations) {
        if (strcasecmp(word, row.word) == 0) return &row;
    }
    return nullptr;
}

const OperationRow* operationByCode(int32_t code) {
    for (const OperationRow& row : kOperations) {
        if (row.effect != nullptr && row.operationCode == code) return &row;
    }
    return nullptr;
}
