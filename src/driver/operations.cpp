#include "driver/operations.h"

#include "convert/convert.h"
#include "convert/lofi.h"
#include "convert/sb8convert.h"
#include "convert/vcompress.h"
#include "ops/combine.h"
#include "ops/gain.h"
#include "ops/length.h"
#include "ops/lrcombine.h"
#include "ops/mix.h"
#include "ops/mono.h"
#include "platform/platform.h"
#include "wave/compare.h"
#include "wave/source.h"
#include "wave/stats.h"

namespace {

constexpr int32_t kMono = kRequireMono;
constexpr int32_t kStereo = kRequireStereo;
constexpr int32_t k16Bit = kRequire16Bit;
constexpr int32_t kAgreement = kRequireAgreement;

// Looked up in this order; the first word that matches, ignoring case, wins.
const OperationRow kOperations[] = {
    {"info", "list the chunks, the format and each channel's statistics",
     kClassInfo, 0, 0, "- [QOR] Run INFO-mode.", {}, kNeedNothing, nullptr, reportSource},
    {"ask", "analyse silently; with /RC or /RB the exit code tells channels or bits",
     kClassAsk, 0, 0, nullptr, {.silent = true}, kNeedNothing, nullptr, reportSource},
    {"compare", "compare two sources: formats, lengths, silences and the slide between the sounds",
     kClassTwoSources, 1, 0, "- [QOR] Run COMPARE-mode.", {}, kNeedSound, makeCompare},
    {"mix", "add source 2 to source 1, aligned on their starts of sound",
     kClassTwoSources, 2, kAgreement, "- [QOR] Run MIX-mode.", {}, kNeedSound,
     [] { return makeMix(MixSign::kAdd); }},
    {"subtract", "subtract source 2 from source 1, aligned on their starts of sound",
     kClassTwoSources, 3, kAgreement, "- [QOR] Run SUBTRACT-mode.", {}, kNeedSound,
     [] { return makeMix(MixSign::kSubtract); }},
    {"boost", "scale by /m (integer; negative divides), /M (real) or /B (dB)",
     kClassOneSource, 4, 0, "- [QOR] Run BOOST-mode.", {.integerFactor = kUnset}, kNeedNothing,
     [] { return makeGain(GainRule::kBoost); }},
    {"max", "scale to full range",
     kClassOneSource, 20, 0, "- [QOR] Run MAXIMIZE-mode.", {.integerFactor = kUnset, .factorMode = 1},
     kNeedExtremes, [] { return makeGain(GainRule::kMaximize); }},
    {"add", "add /v to every sample",
     kClassOneSource, 5, 0, "- [QOR] Run ADD-mode.", {.addValue = 0}, kNeedNothing,
     [] { return makeGain(GainRule::kAdd); }},
    {"reverse", "invert the phase",
     kClassOneSource, 6, 0, "- [QOR] Run REVERSE-mode.", {.integerFactor = -1}, kNeedNothing,
     [] { return makeGain(GainRule::kReverse); }},
    {"back", "reverse the time order",
     kClassOneSource, 8, 0, "- [QOR] Run BACKWORD-mode.", {.lengthSteps = kUnset}, kNeedNothing,
     [] { return makeLength(LengthRule::kBackward); }},
    {"l2mono", "take the left channel of a stereo source as mono",
     kClassOneSource, 12, kStereo, "- [QOR] Run L2MONO-mode.", {}, kNeedNothing,
     [] { return makeMono(Measure::kLeft); }},
    {"r2mono", "take the right channel of a stereo source as mono",
     kClassOneSource, 13, kStereo, "- [QOR] Run R2MONO-mode.", {}, kNeedNothing,
     [] { return makeMono(Measure::kRight); }},
    {"lrmono", "make mono from left plus right",
     kClassOneSource, 14, kStereo, "- [QOR] Run L+RMONO-mode.", {}, kNeedNothing,
     [] { return makeMono(Measure::kSum); }},
    {"ccancel", "make mono from left minus right",
     kClassOneSource, 15, kStereo, "- [QOR] Run L-RMONO-mode.", {}, kNeedNothing,
     [] { return makeMono(Measure::kDifference); }},
    {"lrsprit", "split a stereo source into name_Lch and name_Rch",
     kClassOneSource, 17, kStereo, "- [QOR] Run L/RSPRIT-mode.", {}, kNeedNothing, makeSplit},
    {"vcompress", "compress the samples above the threshold /t at the rate /M",
     kClassOneSource, 16, 0, "- [QOR] Run V-COMPRESS-mode.",
     {.factorMode = 1, .realFactor = 0.0, .silenceThreshold = kUnset}, kNeedNothing, makeVcompress},
    {"combine", "join source 2 after source 1, with a gap of /L steps",
     kClassTwoSources, 11, kAgreement, "- [QOR] Run COMBINE-mode.", {.lengthSteps = kUnset}, kNeedNothing,
     makeConcatenation},
    {"inssilent", "insert /L steps of silence at the head (negative: at the tail)",
     kClassOneSource, 7, 0, "- [QOR] Run INSERTSILENT-mode.", {.lengthSteps = kUnset}, kNeedNothing,
     [] { return makeLength(LengthRule::kInsertSilence); }},
    {"cut", "remove /L steps at the head (negative: at the tail)",
     kClassOneSource, 9, 0, "- [QOR] Run CUT-mode.", {.lengthSteps = 0}, kNeedNothing,
     [] { return makeLength(LengthRule::kCut); }},
    {"head", "keep /L steps at the head (negative: at the tail)",
     kClassOneSource, 10, 0, "- [QOR] Run PickupHEAD-mode.", {.lengthSteps = 0}, kNeedNothing,
     [] { return makeLength(LengthRule::kHead); }},
    {"convert", "resample a 16-bit source to /f Hz",
     kClassOneSource, 72, k16Bit, "- [QOR] Run Convert.", {}, kNeedNothing, makeConvert},
    {"sb8convert", "convert a 16-bit source to 8-bit",
     kClassOneSource, 71, k16Bit, "- [QOR] Run Sinple-Convert for 8bit.", {}, kNeedNothing,
     makeSimpleConvert8},
    {"lrcombine", "make stereo of two monos: source 1 left, source 2 right",
     kClassTwoSources, 18, kAgreement | kMono, "- [QOR] Run L/R-COMBINE by Two-MONOs.", {}, kNeedSound,
     makeStereoCombine},
    {"lofi", "imitate a lower rate /f and resolution /b in a 16-bit source, keeping its format",
     kClassOneSource, 19, k16Bit, "- [QOR] Run LoFi.", {.outputBits = 4, .outputRate = 16540}, kNeedNothing,
     makeLofi},
};

}  // namespace

std::span<const OperationRow> operationRows() { return kOperations; }

const OperationRow* findOperation(const char* word) {
    for (const OperationRow& row : kOperations) {
        if (platform::compareIgnoringCase(word, row.word) == 0) return &row;
    }
    return nullptr;
}

void applyPresets(const Presets& presets, Settings& options) {
    if (presets.integerFactor) options.integerFactor = *presets.integerFactor;
    if (presets.factorMode) options.factorMode = *presets.factorMode;
    if (presets.realFactor) options.realFactor = *presets.realFactor;
    if (presets.addValue) options.addValue = *presets.addValue;
    if (presets.lengthSteps) options.lengthSteps = *presets.lengthSteps;
    if (presets.silenceThreshold) options.silenceThreshold = *presets.silenceThreshold;
    if (presets.outputBits) options.outputBits = *presets.outputBits;
    if (presets.outputRate) options.outputRate = *presets.outputRate;
    if (presets.silent) {
        options.stderrThreshold = 0;
        options.stdoutThreshold = 0;
    }
}
