// The means are computed from exact integer sums divided once; the figures printed must be the
// ones the running-mean definition (mean += (value - mean) / s, in double precision) gives.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>

#include "driver/buffers.h"
#include "driver/command_line.h"
#include "support/run_qor.h"
#include "support/wave_writer.h"
#include "wave/stats.h"

namespace {

std::string printed(const char* format, double value) {
    char text[64];
    snprintf(text, sizeof text, format, value);
    return text;
}

struct Signal {
    const char* name;
    int channels, bits;
    std::vector<int> values;
};

std::vector<Signal> signals() {
    std::vector<Signal> out;
    std::mt19937 random(7);
    auto tone = [](int n, int channels, double amplitude, double offset, double step) {
        std::vector<int> v;
        for (int i = 0; i < n * channels; i++) {
            v.push_back(static_cast<int>(std::lround(offset + amplitude * std::sin(step * i + (i % channels)))));
        }
        return v;
    };
    out.push_back({"16-bit stereo tone with an offset", 2, 16, tone(300000, 2, 20000.0, 123.4, 0.01)});
    out.push_back({"8-bit mono tone", 1, 8, tone(200000, 1, 100.0, 3.3, 0.003)});
    std::vector<int> noise;
    std::uniform_int_distribution<int> wide(-32768, 32767);
    for (int i = 0; i < 400000; i++) noise.push_back(wide(random));
    out.push_back({"16-bit stereo noise", 2, 16, noise});
    std::vector<int> extremes;
    for (int i = 0; i < 250001; i++) extremes.push_back(i % 3 == 0 ? -32768 : 32767);
    out.push_back({"16-bit mono extremes", 1, 16, extremes});
    std::vector<int> eight;
    std::uniform_int_distribution<int> narrow(-128, 127);
    for (int i = 0; i < 100001; i++) eight.push_back(narrow(random) / 3);
    out.push_back({"8-bit mono noise", 1, 8, eight});
    std::vector<int> few = {5, -7, 11, 0, -32768, 32767, 1};
    out.push_back({"a few steps", 1, 16, few});
    return out;
}

TEST(Statistics, MeansEqualTheRunningDefinitionAsPrinted) {
    for (const Signal& signal : signals()) {
        SCOPED_TRACE(signal.name);
        resetSettings();
        settings.operationClass = kClassAsk;
        settings.stderrThreshold = -1;
        settings.stdoutThreshold = -1;
        Bytes bytes = sampleBytes(signal.bits, signal.values);
        const int blockAlign = signal.channels * signal.bits / 8;
        FormatInfo format{{'f', 'm', 't', ' '}, 16, 1, static_cast<int16_t>(signal.channels), 8000, 8000 * blockAlign,
                          static_cast<int16_t>(blockAlign), static_cast<int16_t>(signal.bits)};
        const int32_t steps = static_cast<int32_t>(signal.values.size()) / signal.channels;
        PcmSource* source = analyseSource(bytes.data(), format, steps, 1, 44);
        for (int c = 0; c < signal.channels; c++) {
            double mean = 0.0;
            double meanAbs = 0.0;
            for (int32_t s = 1; s <= steps; s++) {
                const int value = signal.values[static_cast<size_t>(s - 1) * signal.channels + c];
                mean = mean + (value - mean) / s;
                meanAbs = meanAbs + (std::abs(value) - meanAbs) / s;
            }
            EXPECT_EQ(printed("%+13.3f", source->channel[c].mean), printed("%+13.3f", mean)) << c;
            EXPECT_EQ(printed("%13.3f", source->channel[c].meanAbs), printed("%13.3f", meanAbs)) << c;
        }
        apmalloc(kReleaseAll);
    }
}

}  // namespace
