#include "ops/length.h"

#include <cstdint>
#include <cstring>
#include <algorithm>
#include <vector>

#include "base/buffers.h"
#include "base/options.h"
#include "base/log.h"
#include "engine/operation.h"
#include "engine/result_writer.h"

namespace {

// The magnitude of the /L length, in 64 bits so that the unset marker has one.
int64_t lengthMagnitude(const Settings& options) {
    const int64_t length = options.lengthSteps;
    return length < 0 ? -length : length;
}

double seconds(int64_t steps, const PcmSource* source) {
    return static_cast<double>(steps) / static_cast<double>(source->format.sampleRate);
}

int64_t blockAlignOf(const PcmSource* source) { return source->format.blockAlign; }

// Reverses the order of the steps in place, each step kept whole. The block size is a template
// argument for the usual sizes so that each exchange is a fixed move.
template <int kBlock>
void reverseSteps(uint8_t* data, int64_t steps, int64_t block) {
    const int64_t size = kBlock > 0 ? kBlock : block;
    uint8_t held[kBlock > 0 ? kBlock : 65536];
    uint8_t* low = data;
    uint8_t* high = data + (steps - 1) * size;
    for (; low < high; low += size, high -= size) {
        memcpy(held, low, static_cast<size_t>(size));
        memcpy(low, high, static_cast<size_t>(size));
        memcpy(high, held, static_cast<size_t>(size));
    }
}

void reverseBlock(uint8_t* data, int64_t steps, int64_t block) {
    switch (block) {
    case 1:
        reverseSteps<1>(data, steps, block);
        break;
    case 2:
        reverseSteps<2>(data, steps, block);
        break;
    case 4:
        reverseSteps<4>(data, steps, block);
        break;
    default:
        reverseSteps<0>(data, steps, block);
        break;
    }
}

// The steps of the source that the result keeps, and where the silence goes: head, cut and
// inssilent copy them; back reverses the source.
class Length : public Operation {
  public:
    explicit Length(LengthRule rule) : rule_(rule) {}

    void plan(Run& run, int, ResultPlan& plan) override {
        const PcmSource* source = run.first;
        const int64_t length = run.options.lengthSteps;
        const int64_t magnitude = lengthMagnitude(run.options);
        const int64_t steps = source->steps;
        switch (rule_) {
        case LengthRule::kHead:
            if (length == 0) fail(Fatal::kHeadLengthZero);
            if (magnitude > steps) fail(Fatal::kHeadTooLong);
            logLine(kLevelInfo, "- [HEAD] pickup %d steps, %.3f seconds.", static_cast<int32_t>(magnitude),
                    seconds(magnitude, source));
            keep(length > 0 ? 0 : steps - magnitude, magnitude, 0, false);
            break;
        case LengthRule::kCut:
            // At least one step must remain.
            if (magnitude >= steps) fail(Fatal::kCutTooLong);
            logLine(kLevelInfo, "- [CUT] cut %d steps, %.3f seconds.", static_cast<int32_t>(magnitude),
                    seconds(magnitude, source));
            // A positive length removes the head, a negative one the tail.
            keep(length > 0 ? length : 0, steps - magnitude, 0, false);
            break;
        case LengthRule::kInsertSilence:
            if (length == kUnset) fail(Fatal::kInsertLengthUnset);
            // A positive length must leave the source longer than the silence; a negative one of
            // any size is accepted as long as the result can be held.
            if (length >= steps || !resultFits(magnitude + steps, blockAlignOf(source))) {
                fail(Fatal::kInsertTooLong);
            }
            logLine(kLevelInfo, "- [INSERTSILENT] insert silent %d steps, %.3f seconds.",
                    static_cast<int32_t>(magnitude), seconds(magnitude, source));
            // Silence first when the length is positive, the source first otherwise.
            keep(0, steps, magnitude, length > 0);
            break;
        case LengthRule::kBackward:
            logLine(kLevelInfo, "- [BACKWORD] Backword wave.");
            keep(0, steps, 0, false);
            break;
        }
        // The release line counts the kept steps as an area of the run, besides the result.
        countArea();
        plan.format = source->format;
        plan.steps = count_ + silence_;
    }

    void flow(Run& run, int, ResultWriter& out) override {
        const PcmSource& source = *run.first;
        if (rule_ == LengthRule::kBackward) {
            flowBackward(source, out);
            return;
        }
        if (silenceFirst_) writeSilence(out, silence_);
        copySteps(out, source, first_, count_);
        if (!silenceFirst_) writeSilence(out, silence_);
    }

  private:
    void keep(int64_t first, int64_t count, int64_t silence, bool silenceFirst) {
        first_ = first;
        count_ = count;
        silence_ = silence;
        silenceFirst_ = silenceFirst;
    }

    // The source's blocks from the last to the first, each with its steps reversed.
    static void flowBackward(const PcmSource& source, ResultWriter& out) {
        const int64_t block = blockAlignOf(&source);
        forEachBlockBackward(source, 0, source.steps, [&](uint8_t* data, int64_t, int64_t steps) {
            reverseBlock(data, steps, block);
            writeSteps(out, data, steps);
        });
    }

    LengthRule rule_;
    int64_t first_ = 0;    // first source step kept
    int64_t count_ = 0;    // source steps kept
    int64_t silence_ = 0;  // silent steps inserted
    bool silenceFirst_ = false;
};

}  // namespace

std::unique_ptr<Operation> makeLength(LengthRule rule) { return std::make_unique<Length>(rule); }
