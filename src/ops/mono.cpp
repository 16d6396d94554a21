#include "ops/mono.h"

#include <cstring>
#include <string>
#include <vector>

#include "base/buffers.h"
#include "base/options.h"
#include "base/log.h"
#include "engine/operation.h"
#include "engine/result_writer.h"
#include "ops/overflow.h"
#include "platform/platform.h"

namespace {

using enum Measure;

const char* measureDescription(Measure measure) {
    switch (measure) {
        case kLeft:
            return "get LEFT channel";
        case kRight:
            return "get RIGHT channel";
        case kSum:
            return "mix L+R channel";
        case kDifference:
            return "subtract L-R channel";
        default:
            return nullptr;
    }
}

// Copies one channel's sample of every step; kWidth is the sample size in bytes.
template <int kWidth>
void copyChannel(uint8_t* result, const uint8_t* from, int64_t steps, int64_t stride) {
    for (int64_t i = 0; i < steps; ++i, result += kWidth, from += stride) {
        memcpy(result, from, kWidth);
    }
}

// left + sign x right for 16-bit samples. The sum is not halved, so loud material clamps.
void combine16(uint8_t* result, const uint8_t* from, int64_t steps, int64_t stride, int sign,
               OverflowCounter& counter) {
    for (int64_t i = 0; i < steps; ++i, result += 2, from += stride) {
        const int64_t d =
            static_cast<int64_t>(readInt16(from)) + sign * static_cast<int64_t>(readInt16(from + 2));
        writeInt16(result, clampSample16(d, counter));
    }
}

// The same for 8-bit samples, worked on as byte - 128 and clamped to the signed 8-bit range.
void combine8(uint8_t* result, const uint8_t* from, int64_t steps, int64_t stride, int sign,
              OverflowCounter& counter) {
    for (int64_t i = 0; i < steps; ++i, ++result, from += stride) {
        int32_t d = (from[0] - 128) + sign * (from[1] - 128);
        if (d > 127 || d < -128) {
            countOverflow(counter);
            d = d > 0 ? 127 : -128;
        }
        *result = static_cast<uint8_t>(d + 128);
    }
}

}  // namespace

bool splitName(const char* name, const char* tag, char* out) {
    const size_t length = strlen(name);
    const size_t tagLength = strlen(tag);
    if (length + tagLength >= static_cast<size_t>(kNameBufferSize)) return false;
    const char* component = name + platform::baseNameStart(name);
    const char* dot = strrchr(component, '.');
    const size_t at = dot == nullptr ? length : static_cast<size_t>(dot - name);
    memcpy(out, name, at);
    memcpy(out + at, tag, tagLength);
    memcpy(out + at + tagLength, name + at, length - at + 1);
    return true;
}

namespace {

// The mono result: one sample of the source's width per step, made by `measure`.
class Mono : public Operation {
  public:
    explicit Mono(Measure measure) : measure_(measure) {}

    void plan(Run& run, int, ResultPlan& plan) override { planMono(run, measure_, plan); }
    void flow(Run& run, int, ResultWriter& out) override { flowMeasure(run, measure_, out); }

  protected:
    void planMono(Run& run, Measure measure, ResultPlan& plan) {
        const PcmSource* source = run.first;
        if (source->format.channels < 2) fail(Fatal::kTooFewChannels);
        const char* description = measureDescription(measure);
        if (description == nullptr) fail(Fatal::kUnknownMeasure);
        logLine(kLevelInfo, "- [MONO] %s.", description);

        FormatInfo format = source->format;
        const int16_t width = static_cast<int16_t>(format.bitsPerSample / 8);
        format.channels = 1;
        format.blockAlign = width;
        format.byteRate = static_cast<int32_t>(static_cast<int64_t>(width) * format.sampleRate);
        plan.format = format;
        plan.steps = source->steps;
        // The release line counts the mono samples as an area of the run, besides the result.
        countArea();
    }

    // Derives every step of the mono result by `measure`, block by block.
    static void flowMeasure(Run& run, Measure measure, ResultWriter& out) {
        const PcmSource& source = *run.first;
        const int64_t stride = source.format.blockAlign;
        const int width = source.format.bitsPerSample / 8;
        std::vector<uint8_t> result(static_cast<size_t>(blockSteps(stride) * width));
        OverflowCounter counter = overflowCounter(run.options.overflowLimit, "MONOC", "MONOC");
        const int sign = measure == kSum ? 1 : -1;
        forEachBlock(source, 0, source.steps, [&](const uint8_t* data, int64_t, int64_t steps) {
            const uint8_t* left = data;
            const uint8_t* right = data + width;
            switch (measure) {
            case kLeft:
            case kRight:
                if (width == 2) {
                    copyChannel<2>(result.data(), measure == kLeft ? left : right, steps, stride);
                } else {
                    copyChannel<1>(result.data(), measure == kLeft ? left : right, steps, stride);
                }
                break;
            default:
                if (width == 2) {
                    combine16(result.data(), left, steps, stride, sign, counter);
                } else {
                    combine8(result.data(), left, steps, stride, sign, counter);
                }
                break;
            }
            writeSteps(out, result.data(), steps);
        });
        reportOverflow(counter);
    }

  private:
    Measure measure_;
};

// The stereo split: the left channel, then the right, each under its own name.
class Split : public Mono {
  public:
    Split() : Mono(kLeft) {}

    int results() const override { return 2; }

    void plan(Run& run, int index, ResultPlan& plan) override {
        if (index == 0) {
            // Both names are worked out from the destination as given, before the left file's
            // writer may give it the naked extension.
            char left[kNameBufferSize];
            char right[kNameBufferSize];
            const char* destination = run.state.destination.c_str();
            if (!splitName(destination, "_Lch", left) || !splitName(destination, "_Rch", right)) {
                fail(Fatal::kNameTooLong, destination);
            }
            names_[0] = left;
            names_[1] = right;
            if (run.options.outputMode == 1) refuseLanding(run.state, names_[1], names_[0]);
        }
        plan.name = names_[index];
        planMono(run, index == 0 ? kLeft : kRight, plan);
    }

    void flow(Run& run, int index, ResultWriter& out) override {
        // The right channel's file, when it may not be written, is refused as the left one's is:
        // before any sample is made. (A naked result's name is only known when it begins.)
        if (index == 0 && run.options.outputMode == 1) refuseDestination(names_[1].c_str(), false);
        flowMeasure(run, index == 0 ? kLeft : kRight, out);
    }

  private:
    std::string names_[2];
};

}  // namespace

std::unique_ptr<Operation> makeMono(Measure measure) { return std::make_unique<Mono>(measure); }
std::unique_ptr<Operation> makeSplit() { return std::make_unique<Split>(); }
