// head, cut, inssilent and back through the binary: which steps the result holds, the lengths
// logged, and the refusals.
#include <gtest/gtest.h>

#include "support/op_run.h"

namespace {

using Values = std::vector<int>;

// Interleaved values of `steps` steps whose every sample is distinct and in range.
Values ramp(int steps, int channels, int bits) {
    Values v;
    for (int s = 0; s < steps; ++s) {
        for (int c = 0; c < channels; ++c) {
            v.push_back(bits == 8 ? (s * 7 + c * 50) % 251 - 125 : s * 3 - 1500 + c);
        }
    }
    return v;
}

Values stepsOf(const Values& v, int channels, int first, int count) {
    return Values(v.begin() + first * channels, v.begin() + (first + count) * channels);
}

Values join(Values a, const Values& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Values silence(int steps, int channels) { return Values(static_cast<size_t>(steps * channels), 0); }

// 16-bit mono steps of three bytes: a sample and a padding byte.
Bytes threeByteSteps(const Bytes& data) {
    return riffWave({chunk("fmt ", fmtBody(1, 1, 8000, 16, 3)), chunk("data", data)});
}

TEST(LengthRuns, ResultSteps) {
    const Values s16 = ramp(1000, 2, 16), m8 = ramp(20, 1, 8), m16 = ramp(7, 1, 16), s8 = ramp(5, 2, 8);
    const Bytes s16In = makeWave(2, 16, 44100, s16), m8In = makeWave(1, 8, 8000, m8);
    const Bytes m16In = makeWave(1, 16, 8000, m16);
    auto s16Out = [](const Values& v) { return makeWave(2, 16, 44100, v); };
    auto m8Out = [](const Values& v) { return makeWave(1, 8, 8000, v); };
    auto m16Out = [](const Values& v) { return makeWave(1, 16, 8000, v); };
    const OpRow rows[] = {
        {{"head", "/L100"}, s16In, 1, {"- [HEAD] pickup 100 steps, 0.002 seconds."},
         s16Out(stepsOf(s16, 2, 0, 100))},
        {{"head", "/L-100"}, s16In, 1, {"- [HEAD] pickup 100 steps, 0.002 seconds."},
         s16Out(stepsOf(s16, 2, 900, 100))},
        {{"head", "/L1"}, m8In, 1, {"- [HEAD] pickup 1 steps, 0.000 seconds."}, m8Out(stepsOf(m8, 1, 0, 1))},
        {{"head", "/L-20"}, makeWave(1, 8, 10, m8), 1, {"- [HEAD] pickup 20 steps, 2.000 seconds."},
         makeWave(1, 8, 10, m8)},
        {{"cut"}, s16In, 1, {"- [CUT] cut 0 steps, 0.000 seconds."}, s16In},
        {{"cut", "/L3"}, m8In, 1, {"- [CUT] cut 3 steps, 0.000 seconds."}, m8Out(stepsOf(m8, 1, 3, 17))},
        {{"cut", "/L-441"}, s16In, 1, {"- [CUT] cut 441 steps, 0.010 seconds."},
         s16Out(stepsOf(s16, 2, 0, 559))},
        {{"cut", "/L19"}, m8In, 1, {"- [CUT] cut 19 steps, 0.002 seconds."}, m8Out(stepsOf(m8, 1, 19, 1))},
        // The silence of an 8-bit source is the byte 128, of a 16-bit source 0.
        {{"inssilent", "/L10"}, m8In, 1, {"- [INSERTSILENT] insert silent 10 steps, 0.001 seconds."},
         m8Out(join(silence(10, 1), m8))},
        {{"inssilent", "/L10"}, s16In, 1, {"- [INSERTSILENT] insert silent 10 steps, 0.000 seconds."},
         s16Out(join(silence(10, 2), s16))},
        {{"inssilent", "/L-4"}, makeWave(2, 8, 4, s8), 1,
         {"- [INSERTSILENT] insert silent 4 steps, 1.000 seconds."},
         makeWave(2, 8, 4, join(s8, silence(4, 2)))},
        {{"inssilent", "/L0"}, m16In, 1, {"- [INSERTSILENT] insert silent 0 steps, 0.000 seconds."}, m16In},
        {{"inssilent", "/L-35"}, m16In, 1, {"- [INSERTSILENT] insert silent 35 steps, 0.004 seconds."},
         m16Out(join(m16, silence(35, 1)))},
        {{"back"}, makeWave(2, 8, 8000, s8), 1, {"- [BACKWORD] Backword wave."},
         makeWave(2, 8, 8000, {s8[8], s8[9], s8[6], s8[7], s8[4], s8[5], s8[2], s8[3], s8[0], s8[1]})},
        {{"back"}, m8Out({m8[0]}), 1, {"- [BACKWORD] Backword wave."}, m8Out({m8[0]})},
        // Three-byte steps (a 16-bit sample and a padding byte) move as wholes.
        {{"back"}, threeByteSteps({1, 2, 3, 4, 5, 6, 7, 8, 9}), 1, {"- [BACKWORD] Backword wave."},
         threeByteSteps({7, 8, 9, 4, 5, 6, 1, 2, 3})},
    };
    for (const OpRow& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        expectRun(row);
    }
}

TEST(LengthRuns, Refusals) {
    const Bytes m16 = makeWave(1, 16, 8000, ramp(10, 1, 16)), s8 = makeWave(2, 8, 8000, ramp(10, 2, 8));
    const std::string head = "E [HEAD] too long, pickup length.", cut = "E [CUT] too long, cutting length.",
                      ins = "E [INSERTSILENT] too long, cutting length.";
    const OpRow rows[] = {
        {{"head", "/L0"}, m16, 255, {"E [HEAD] length must over 1 or under -1."}, {}},
        {{"head", "/L-11"}, s8, 255, {head}, {}},
        {{"head", "/L-2147483648"}, m16, 255, {head}, {}},
        {{"cut", "/L10"}, m16, 255, {cut}, {}},
        {{"cut", "/L-2147483648"}, m16, 255, {cut}, {}},
        {{"cut", "/L2147483647"}, m16, 255, {cut}, {}},
        {{"inssilent", "/L2147483647"}, m16, 255, {ins}, {}},
        // |L| + N steps beyond the 32-bit range.
        {{"inssilent", "/L-2147483647"}, makeWave(1, 8, 8000, ramp(10, 1, 8)), 255, {ins}, {}},
        // (|L| + N) x 4 bytes beyond the 32-bit range.
        {{"inssilent", "/L-600000000"}, makeWave(2, 16, 8000, ramp(10, 2, 16)), 255, {ins}, {}},
    };
    for (const OpRow& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        expectRun(row);
    }
}

}  // namespace
