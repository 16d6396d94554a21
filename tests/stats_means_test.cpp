// The printed means are the running means (mean += (value - mean) / s after every step, in double
// precision), to the last digit and the sign. The signals sit where the running figure and the
// true mean divided once print differently: at zero, and on a rounding edge of the third decimal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>

#include "engine/source_blocks.h"
#include "platform/platform.h"
#include "support/run_qor.h"
#include "support/wave_writer.h"
#include "wave/chain_beside.h"
#include "wave/running_mean.h"

namespace {

struct Signal {
    const char* name;
    int channels, bits;
    int padding;              // unused bytes at the end of every step
    std::vector<int> values;  // interleaved
    bool onEdge;              // some channel's true mean prints differently from its running mean
};

std::vector<int> sine440(int sign) {
    std::vector<int> v;
    for (int n = 0; n < 8000; n++)
        v.push_back(sign * static_cast<int>(std::lround(16384 * std::sin(2 * M_PI * 440 * n / 8000))));
    return v;
}

// Noise in [lo, hi] whose sum (of magnitudes, with `ofMagnitudes`) is exactly `target`.
std::vector<int> noise(unsigned seed, int n, int lo, int hi, int64_t target, bool ofMagnitudes) {
    std::mt19937 random(seed);
    std::vector<int> v(static_cast<size_t>(n));
    int64_t sum = 0;
    for (int& x : v) {
        x = lo + static_cast<int>(random() % static_cast<unsigned>(hi - lo + 1));
        sum += ofMagnitudes ? std::abs(x) : x;
    }
    for (size_t i = v.size() - 1; sum != target; i = i == 0 ? v.size() - 1 : i - 1) {
        const int away = v[i] < 0 ? -1 : 1;  // moves the magnitude up
        const int move = ofMagnitudes ? (sum < target ? away : -away) : (sum < target ? 1 : -1);
        if (v[i] + move < lo || v[i] + move > hi || (ofMagnitudes && v[i] == 0 && sum > target)) continue;
        sum += ofMagnitudes ? std::abs(v[i] + move) - std::abs(v[i]) : move;
        v[i] += move;
    }
    return v;
}

std::vector<int> interleave(const std::vector<int>& left, const std::vector<int>& right) {
    std::vector<int> v;
    for (size_t i = 0; i < left.size(); i++) v.insert(v.end(), {left[i], right[i]});
    return v;
}

std::string printed(const char* format, int c, double value) {
    char text[80];
    snprintf(text, sizeof text, format, c, value);
    return text;
}

TEST(Statistics, PrintedMeansAreTheRunningMeans) {
    const std::vector<int> sine = sine440(1);
    const Signal signals[] = {
        {"440 Hz sine over whole periods: sum 0, running mean just below 0", 1, 16, 0, sine, true},
        {"the sine and its negation, padded steps: running means either side of 0", 2, 16, 2,
         interleave(sine, sine440(-1)), true},
        {"8-bit stereo noise, left mean exactly -0.3045", 2, 8, 0,
         interleave(noise(1, 12000, -128, 127, -3654, false), noise(1001, 12000, -128, 127, 0, false)), true},
        {"16-bit magnitudes with mean exactly 10000.0005", 1, 16, 0,
         noise(5, 4000, -20000, 20000, 40000002, true), true},
        {"a few steps with both extremes", 1, 16, 0, {5, -7, 11, 0, -32768, 32767, 1}, false},
        {"8-bit: a constant offset on the left, silence on the right (both means exact)", 2, 8, 0,
         interleave(std::vector<int>(5000, 77), std::vector<int>(5000, 0)), false},
    };
    TempDir dir;
    for (const Signal& signal : signals) {
        SCOPED_TRACE(signal.name);
        const int steps = static_cast<int>(signal.values.size()) / signal.channels;
        Bytes data;
        for (int s = 0; s < steps; s++) {
            const auto step = signal.values.begin() + s * signal.channels;
            const Bytes samples = sampleBytes(signal.bits, std::vector<int>(step, step + signal.channels));
            data.insert(data.end(), samples.begin(), samples.end());
            data.insert(data.end(), static_cast<size_t>(signal.padding), 0);
        }
        const int blockAlign = signal.channels * signal.bits / 8 + signal.padding;
        writeFile(dir / "in.wav",
                  riffWave({chunk("fmt ", fmtBody(1, signal.channels, 8000, signal.bits, blockAlign)),
                            chunk("data", data)}));

        std::vector<std::string> expected;
        bool onEdge = false;
        for (int c = 0; c < signal.channels; c++) {
            double mean = 0.0, meanAbs = 0.0;
            int64_t sum = 0, sumAbs = 0;
            for (int s = 1; s <= steps; s++) {
                const int value = signal.values[static_cast<size_t>((s - 1) * signal.channels + c)];
                mean = mean + (value - mean) / s;
                meanAbs = meanAbs + (std::abs(value) - meanAbs) / s;
                sum += value;
                sumAbs += std::abs(value);
            }
            expected.push_back(printed("  [STAT/%d] Avg/Total   : %+13.3f", c, mean));
            expected.push_back(printed("  [STAT/%d] Avg/Abs     : %13.3f", c, meanAbs));
            onEdge = onEdge || expected[expected.size() - 2] != printed("  [STAT/%d] Avg/Total   : %+13.3f",
                                                                        c, static_cast<double>(sum) / steps);
            onEdge = onEdge || expected.back() != printed("  [STAT/%d] Avg/Abs     : %13.3f", c,
                                                          static_cast<double>(sumAbs) / steps);
        }
        EXPECT_EQ(onEdge, signal.onEdge) << "the signal no longer sits where the two means differ";

        // Shown by info on standard output, and by ask only in debug mode, on the error stream.
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"info", "in.wav"}, std::vector<std::string>{"ask", "/D", "in.wav"}}) {
            const RunResult run = runQor(args, dir.path, "C.UTF-8", true);
            std::vector<std::string> shown;
            for (const std::string& line : lines(run.out)) {
                if (line.find("] Avg/") != std::string::npos) shown.push_back(line);
            }
            EXPECT_EQ(shown, expected) << args[0];
        }
    }
}

// The state carried between blocks: any split of the steps gives the very doubles of one serial
// pass, and the exact sums of it, whatever the sample size, channel count and padding.
TEST(Statistics, RunningMeansFedInBlocksAreTheSerialOnes) {
    struct Format {
        int channels, bytesPerSample, blockAlign;
    };
    for (const Format f : {Format{1, 1, 1}, Format{2, 1, 3}, Format{1, 2, 2}, Format{2, 2, 6}, Format{2, 1, 2},
                           Format{2, 2, 4}}) {
        SCOPED_TRACE(f.channels * 10 + f.bytesPerSample);
        const int steps = 3001;
        Bytes data(static_cast<size_t>(steps * f.blockAlign));
        std::mt19937 random(f.blockAlign);
        for (uint8_t& byte : data) byte = static_cast<uint8_t>(random());
        RunningMeans fed{};
        MeanSums sums;
        for (int at = 0, block = 1; at < steps; at += block, block = block * 7 % 1000 + 1) {
            block = std::min(block, steps - at);
            feedRunningMeans(fed, data.data() + at * f.blockAlign, block, f.channels, f.bytesPerSample,
                             f.blockAlign);
            feedMeanSums(sums, data.data() + at * f.blockAlign, block, f.channels, f.bytesPerSample, f.blockAlign);
        }
        EXPECT_EQ(fed.steps, steps);
        EXPECT_EQ(sums.steps, steps);
        for (int c = 0; c < f.channels; c++) {
            double mean = 0.0, meanAbs = 0.0;
            int64_t sum = 0, sumAbs = 0, path = 0, pathAbs = 0;
            int max = INT32_MIN, min = INT32_MAX;
            for (int s = 1; s <= steps; s++) {
                const uint8_t* p = data.data() + (s - 1) * f.blockAlign + c * f.bytesPerSample;
                const int value = f.bytesPerSample == 1 ? p[0] - 128 : static_cast<int16_t>(p[0] | p[1] << 8);
                mean = mean + (value - mean) / s;
                meanAbs = meanAbs + (std::abs(value) - meanAbs) / s;
                sum += value;
                sumAbs += std::abs(value);
                path += std::abs(sum);
                pathAbs += sumAbs;
                max = std::max(max, value);
                min = std::min(min, value);
            }
            EXPECT_EQ(fed.mean[c], mean) << c;
            EXPECT_EQ(fed.meanAbs[c], meanAbs) << c;
            EXPECT_EQ(sums.sum[c], sum) << c;
            EXPECT_EQ(sums.sumAbs[c], sumAbs) << c;
            EXPECT_EQ(sums.max[c], max) << c;
            EXPECT_EQ(sums.min[c], min) << c;
            // The path bounds hold the exact figures, exceeding them by at most a chunk's steps times A_N.
            EXPECT_GE(sums.pathBound[c], static_cast<unsigned __int128>(path)) << c;
            EXPECT_LE(sums.pathBound[c], static_cast<unsigned __int128>(path + 4096 * sumAbs)) << c;
            EXPECT_GE(sums.pathAbsBound[c], static_cast<unsigned __int128>(pathAbs)) << c;
            EXPECT_LE(sums.pathAbsBound[c], static_cast<unsigned __int128>(pathAbs + 4096 * sumAbs)) << c;
        }
    }
}

// The chains run on a thread beside the read give the very doubles of one serial pass, over
// steps that cross a block and end inside a slice; a file that no longer holds every step, and a
// thread stopped or left running when the chains are not needed, end it quietly: no line, no
// ended run, no thread left behind.
TEST(Statistics, ChainsBesideTheReadAreTheSerialOnes) {
    enum class End { kFinished, kFileShort, kStopped, kDropped };
    struct Case {
        int channels, bytesPerSample, blockAlign;
        End end;
    } cases[] = {
        {1, 1, 1, End::kFinished}, {2, 1, 3, End::kFinished}, {1, 2, 2, End::kFinished},
        {2, 2, 6, End::kFinished}, {2, 2, 4, End::kFinished}, {2, 2, 4, End::kFileShort},
        {1, 1, 1, End::kStopped},  {2, 2, 4, End::kDropped},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.channels * 10 + c.bytesPerSample) + " end " + std::to_string(static_cast<int>(c.end)));
        const int64_t steps = blockSteps(c.blockAlign) + 2 * 16384 + 77;
        const int64_t offset = 7;
        Bytes bytes(static_cast<size_t>(offset + steps * c.blockAlign));
        std::mt19937 random(c.blockAlign);
        for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
        if (c.end == End::kFileShort) bytes.resize(bytes.size() - 1);
        writeFile(dir / "samples", bytes);
        int error = 0;
        PcmSource source{};
        source.fileName = "samples";
        source.steps = static_cast<int32_t>(steps);
        source.format.channels = static_cast<int16_t>(c.channels);
        source.format.bitsPerSample = static_cast<int16_t>(8 * c.bytesPerSample);
        source.format.blockAlign = static_cast<int16_t>(c.blockAlign);
        source.dataOffset = offset;
        source.fd = platform::openForReading(dir / "samples", error);
        ASSERT_EQ(error, 0);
        RunningMeans serial{};
        feedRunningMeans(serial, bytes.data() + offset, steps, c.channels, c.bytesPerSample, c.blockAlign);
        StreamCapture capture;
        {
            ChainBeside beside(source);
            ASSERT_TRUE(beside.start());
            EXPECT_TRUE(beside.started());
            RunningMeans chains{};
            if (c.end == End::kFinished || c.end == End::kFileShort) {
                const bool complete = beside.finish(chains);
                EXPECT_EQ(complete, c.end == End::kFinished);
                if (complete) {
                    EXPECT_EQ(chains.steps, steps);
                    for (int ch = 0; ch < c.channels; ch++) {
                        EXPECT_EQ(chains.mean[ch], serial.mean[ch]) << ch;
                        EXPECT_EQ(chains.meanAbs[ch], serial.meanAbs[ch]) << ch;
                    }
                }
            } else if (c.end == End::kStopped) {
                beside.stop();
                EXPECT_FALSE(beside.started());
                EXPECT_FALSE(beside.finish(chains));
            }
            // kDropped: the object goes with its thread still running.
        }
        EXPECT_EQ(capture.out(), "");
        EXPECT_EQ(capture.err(), "");
        platform::closeFile(source.fd);
    }
}

}  // namespace
