// Sources of a few MiB through the binary: results that straddle the edges of 1 MiB blocks
// (262144 16-bit stereo steps), checked sample by sample against values worked out here, along
// with the overflow counts that must carry across the edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "support/op_run.h"

namespace {

using Values = std::vector<int>;

constexpr long kSteps = 600007;  // two block edges, and the end inside a third block
constexpr int kRate = 44100;

// Interleaved stereo samples over the whole 16-bit range, from a linear congruential sequence.
Values pattern(long steps, uint32_t seed) {
    Values v(static_cast<size_t>(steps) * 2);
    for (int& s : v) {
        seed = seed * 1664525u + 1013904223u;
        s = static_cast<int16_t>(seed >> 16);
    }
    return v;
}

int clamp16(long v) { return static_cast<int>(std::clamp(v, -32768L, 32767L)); }

// The mean of channel c over the step positions [a, b): each step weighs the length of its part
// inside the window; summed in double in step order, divided by b - a, truncated toward zero.
int windowMean(const Values& v, long steps, int c, double a, double b) {
    if (!(a < b)) return 0;
    double sum = 0.0;
    for (long k = static_cast<long>(a); k <= static_cast<long>(b) && k < steps; k++) {
        const double weight = std::min(static_cast<double>(k) + 1.0, b) - std::max(static_cast<double>(k), a);
        sum += static_cast<double>(v[2 * k + c]) * weight;
    }
    return static_cast<int16_t>(static_cast<int32_t>(sum / (b - a)));
}

// A window end rounded to the nearest step, exactly half a step down.
long nearestStep(double position) {
    const long whole = static_cast<long>(position);
    return position - static_cast<double>(whole) > 0.5 ? whole + 1 : whole;
}

// The lo-fi passes: each window's mean, taken from the buffer as the earlier windows left it,
// is held over the steps nearest the window; then every sample moves to a grid of 2^(16 - bits).
Values lofi(Values v, long steps, double ratio, int bits) {
    const long windows = static_cast<long>(static_cast<double>(steps) / ratio) + 1;
    for (long i = 0; i < windows; i++) {
        const double a = static_cast<double>(i) * ratio;
        const double b = std::min(a + ratio, static_cast<double>(steps));
        if (a >= b) continue;
        const int left = windowMean(v, steps, 0, a, b), right = windowMean(v, steps, 1, a, b);
        for (long k = nearestStep(a); k <= std::min(nearestStep(b), steps - 1); k++) {
            v[2 * k] = left;
            v[2 * k + 1] = right;
        }
    }
    const int spacing = 65536 >> bits, offset = 65536 / (2 * spacing);
    for (int& s : v) s = static_cast<int16_t>(static_cast<int16_t>((s + offset) / (spacing + 1)) * spacing);
    return v;
}

// Windows of `ratio` steps over the untouched source, one output step each.
Values resample(const Values& v, long steps, double ratio) {
    Values out;
    const long windows = static_cast<long>(static_cast<double>(steps) / ratio) + 1;
    for (long i = 0; i < windows; i++) {
        const double a = static_cast<double>(i) * ratio;
        const double b = std::min(a + ratio, static_cast<double>(steps));
        out.push_back(windowMean(v, steps, 0, a, b));
        out.push_back(windowMean(v, steps, 1, a, b));
    }
    return out;
}

// Source 2 added to source 1 at `offset` steps (negative: source 2 starts first), clamped; the
// clamped samples are counted into `overflows`.
Values mixAt(const Values& a, const Values& b, long offset, long& overflows) {
    const long n1 = static_cast<long>(a.size()) / 2, n2 = static_cast<long>(b.size()) / 2;
    const long start = std::min(offset, 0L), total = std::max(n1, offset + n2) - start;
    Values mixed;
    for (long t = start; t < start + total; t++) {
        for (int c = 0; c < 2; c++) {
            const long sum = (t >= 0 && t < n1 ? a[2 * t + c] : 0) +
                             (t >= offset && t < offset + n2 ? b[2 * (t - offset) + c] : 0);
            mixed.push_back(clamp16(sum));
            overflows += mixed.back() != sum;
        }
    }
    return mixed;
}

// Steps before the first whose sample is louder than the default threshold in either channel.
long headSilence(const Values& v) {
    long k = 0;
    while (k < static_cast<long>(v.size()) / 2 && std::abs(v[2 * k]) <= 1024 && std::abs(v[2 * k + 1]) <= 1024) k++;
    return k;
}

std::string overflowLine(const char* tag, long count) {
    return "W [" + std::string(tag) + "] found OverFlow, " + std::to_string(count) + " time(s).";
}

TEST(BlockBoundaries, LongStereoSources) {
    const Values a = pattern(kSteps, 1), b = pattern(kSteps, 2);
    // A sound that starts after more than a block of silence, so that the search for its start
    // crosses a block edge.
    Values late(2 * 300000, 0);
    const Values tail = pattern(kSteps - 300000, 3);
    late.insert(late.end(), tail.begin(), tail.end());
    TempDir dir;
    writeFile(dir / "a.wav", makeWave(2, 16, kRate, a));
    writeFile(dir / "b.wav", makeWave(2, 16, kRate, b));
    writeFile(dir / "late.wav", makeWave(2, 16, kRate, late));

    Values doubled;
    long doubledOverflows = 0;
    for (int s : a) {
        doubled.push_back(clamp16(2L * s));
        doubledOverflows += doubled.back() != 2 * s;
    }
    Values reversed;
    for (long k = kSteps - 1; k >= 0; k--) reversed.insert(reversed.end(), {a[2 * k], a[2 * k + 1]});
    long mixOverflows = 0, edgeOverflows = 0, lateOverflows = 0;
    const Values mixed = mixAt(a, b, 1000, mixOverflows);
    // Source 1 ends one step before the end of the result's last block, where only source 2 lies.
    const Values edge = mixAt(a, b, 1, edgeOverflows);
    // Aligned on the starts of the sounds: source 2 starts first.
    const Values aligned = mixAt(a, late, headSilence(a) - headSilence(late), lateOverflows);

    struct Case {
        std::vector<std::string> args;  // the sources and out.wav follow
        const char* second;             // source 2, or null
        int rate;
        Values expected;
        std::vector<std::string> warnings;  // every line of the run that begins "W " or "E "
    } cases[] = {
        {{"boost", "/m2", "/F"}, nullptr, kRate, doubled, {overflowLine("B/A16", doubledOverflows)}},
        {{"back"}, nullptr, kRate, reversed, {}},
        {{"head", "/L300001"}, nullptr, kRate, Values(a.begin(), a.begin() + 2 * 300001), {}},
        {{"cut", "/L-300001"}, nullptr, kRate, Values(a.begin(), a.end() - 2 * 300001), {}},
        {{"lofi", "/f16540"}, nullptr, kRate, lofi(a, kSteps, 44100.0 / 16540.0, 4), {}},
        {{"convert", "/f22050"}, nullptr, 22050, resample(a, kSteps, 2.0), {}},
        {{"mix", "/F", "/O1000"}, "b.wav", kRate, mixed, {overflowLine("MIX16", mixOverflows)}},
        {{"mix", "/F", "/O1"}, "b.wav", kRate, edge, {overflowLine("MIX16", edgeOverflows)}},
        {{"mix", "/F"}, "late.wav", kRate, aligned, {overflowLine("MIX16", lateOverflows)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::vector<std::string> args = c.args;
        args.push_back("a.wav");
        if (c.second != nullptr) args.push_back(c.second);
        args.push_back("out.wav");
        const RunResult run = runQor(args, dir.path, "C.UTF-8", true);
        EXPECT_EQ(run.exitCode, 1);
        std::vector<std::string> warnings;
        for (const std::string& line : lines(run.out)) {
            if (line.rfind("W ", 0) == 0 || line.rfind("E ", 0) == 0) warnings.push_back(line);
        }
        EXPECT_EQ(warnings, c.warnings);
        const ParsedWave result = parseCanonicalWave(readFile(dir / "out.wav"));
        EXPECT_EQ(result.channels, 2);
        EXPECT_EQ(result.sampleRate, c.rate);
        EXPECT_EQ(result.values.size(), c.expected.size());
        const long at = firstDifference(result.values, c.expected);
        EXPECT_EQ(at, -1) << "step " << at / 2 << " channel " << at % 2;
        std::remove((dir / "out.wav").c_str());
    }
}

}  // namespace
