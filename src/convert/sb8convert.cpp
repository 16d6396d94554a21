#include "convert/sb8convert.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/log.h"
#include "engine/operation.h"
#include "engine/result_writer.h"
#include "base/format.h"

namespace {

inline uint8_t toUnsigned8(int32_t sample) {
    int32_t t = sample + 128;
    if (t > 32767) t = 32767;
    // Division truncates toward zero, so the zero level spans -383..127.
    return static_cast<uint8_t>(t / 256 + 128);
}


class SimpleConvert8 : public Operation {
  public:
    void plan(Run& run, int, ResultPlan& plan) override {
        logLine(kLevelInfo, "- [SIMPLECONVERT] convert to 8bit.");
        FormatInfo format = run.first->format;
        const int channels = format.channels;
        format.bitsPerSample = 8;
        format.blockAlign = static_cast<int16_t>(channels);
        // Held in 32 bits like every header field.
        format.byteRate = static_cast<int32_t>(static_cast<int64_t>(format.blockAlign) * format.sampleRate);
        plan.format = format;
        plan.steps = run.first->steps;
    }

    // Every 16-bit sample to its 8-bit value, block by block.
    void flow(Run& run, int, ResultWriter& out) override {
        const PcmSource& source = *run.first;
        const int64_t stride = source.format.blockAlign;
        const int channels = source.format.channels;
        std::vector<uint8_t> bytes(static_cast<size_t>(blockSteps(stride) * channels));
        forEachBlock(source, 0, source.steps, [&](const uint8_t* data, int64_t, int64_t steps) {
            if (stride == channels * 2) {
                // Steps without padding: one flat run of samples, in a loop the compiler vectorises.
                const int64_t total = steps * channels;
                for (int64_t i = 0; i < total; i++) bytes[i] = toUnsigned8(readInt16(data + i * 2));
            } else {
                uint8_t* o = bytes.data();
                for (int64_t k = 0; k < steps; k++) {
                    for (int c = 0; c < channels; c++) *o++ = toUnsigned8(readInt16(data + k * stride + c * 2));
                }
            }
            writeSteps(out, bytes.data(), steps);
        });
    }
};

}  // namespace

std::unique_ptr<Operation> makeSimpleConvert8() { return std::make_unique<SimpleConvert8>(); }
