#include "wave/compare.h"

#include "base/buffers.h"
#include "base/options.h"
#include "base/log.h"
#include "engine/operation.h"

namespace {

double seconds(const PcmSource* source) {
    return static_cast<double>(source->steps) / static_cast<double>(source->format.sampleRate);
}

void logTable(const PcmSource* a, const PcmSource* b) {
    logLine(kLevelInfo, "  [COMP]             :  Source1      Source2");
    logLine(kLevelInfo, "  [COMP] Channels    : %10d / %10d ", a->format.channels, b->format.channels);
    logLine(kLevelInfo, "  [COMP] BitRate     : %10d / %10d bits", a->format.bitsPerSample, b->format.bitsPerSample);
    logLine(kLevelInfo, "  [COMP] Frequency   : %10d / %10d Hz", a->format.sampleRate, b->format.sampleRate);
    logLine(kLevelInfo, "  [COMP] Length      : %10.3f / %10.3f seconds", seconds(a), seconds(b));
    logLine(kLevelInfo, "  [COMP] Length      : %10d / %10d steps", a->steps, b->steps);
    logLine(kLevelInfo, "  [COMP] HeadSilence : %10d / %10d steps", a->headSilence, b->headSilence);
    logLine(kLevelInfo, "  [COMP] Available   : %10d / %10d steps", a->available, b->available);
    logLine(kLevelInfo, "  [COMP] TailSilence : %10d / %10d steps", a->tailSilence, b->tailSilence);
}

// Steps by which source 2 must start later than source 1 so that their sounds line up: at the
// first loud step, or with /T at the last one (the two sounds then end together).
int32_t slideBetween(const Settings& options, const PcmSource* a, const PcmSource* b) {
    int64_t slide;
    if (options.tailSideJudge != 0) {
        slide = (static_cast<int64_t>(a->steps) - a->tailSilence) - (static_cast<int64_t>(b->steps) - b->tailSilence);
    } else {
        slide = static_cast<int64_t>(a->headSilence) - b->headSilence;
    }
    // Both terms lie in 0..steps, so the difference always fits in 32 bits.
    return static_cast<int32_t>(slide);
}

}  // namespace

CompareResult* compareSources(const Settings& options, const RunState& state, PcmSource* first, PcmSource* second) {
    // The comparison reads the sound's bounds of both sources.
    analysed(*first, kNeedSound);
    analysed(*second, kNeedSound);
    auto* result = apmallocZeroed<CompareResult>();
    result->first = first;
    result->second = second;

    logLine(kLevelInfo, "- [QOR]");
    logLine(kLevelInfo, "- [COMP] Start compare. ===========================");
    logTable(first, second);

    const FormatInfo& f1 = first->format;
    const FormatInfo& f2 = second->format;
    if (f1.channels != f2.channels || f1.bitsPerSample != f2.bitsPerSample || f1.sampleRate != f2.sampleRate) {
        logLine(kLevelWarning, "W [COMP] not match format.");
        return result;
    }
    result->formatMatch = 1;
    logLine(kLevelInfo, "C [COMP] Format check OK.");

    if (first->available == 0 || second->available == 0) {
        logLine(kLevelWarning, "W [COMP] too BIG threshold level.");
        return result;
    }
    result->thresholdOk = 1;
    logLine(kLevelInfo, "C [COMP] Threshold check OK, [%d/0x%X].", state.silenceThreshold,
            static_cast<unsigned>(state.silenceThreshold));

    result->slide = slideBetween(options, first, second);

    if (first->steps == second->steps) logLine(kLevelInfo, "C [COMP] match length.");
    if (first->available == second->available) logLine(kLevelInfo, "C [COMP] match AVAILABLE length.");
    if (first->headSilence == second->headSilence) {
        logLine(kLevelInfo, "C [COMP] match HeadSilence length.");
    } else {
        logLine(kLevelInfo, "C [COMP] NOT match HeadSilence length,");
        logLine(kLevelInfo, "         Source[2] slide %d step(s) forward, If you mixing PCMs.", result->slide);
    }
    return result;
}

namespace {

// compare: the comparison of two sources, written nowhere.
class Compare : public Operation {
  public:
    bool open(Run& run) override {
        compareSources(run.options, run.state, run.first, run.second);
        return true;
    }
    int results() const override { return 0; }
    void plan(Run&, int, ResultPlan&) override {}
    void flow(Run&, int, ResultWriter&) override {}
};

}  // namespace

std::unique_ptr<Operation> makeCompare() { return std::make_unique<Compare>(); }
