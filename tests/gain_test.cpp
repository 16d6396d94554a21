// boost, add, reverse and max through the binary: sample values, overflow counting, padded steps
// and refusals.
#include <gtest/gtest.h>

#include "support/op_run.h"

namespace {

using Values = std::vector<int>;

Bytes mono(const Values& v) { return makeWave(1, 16, 44100, v); }
Bytes stereo(const Values& v) { return makeWave(2, 16, 44100, v); }
Bytes mono8(const Values& v) { return makeWave(1, 8, 44100, v); }
std::string overflow(int count) { return "W [B/A16] found OverFlow, " + std::to_string(count) + " time(s)."; }

// Stereo steps whose left sample leaves the range when doubled, alternately at either end, and
// whose right sample stays quiet; `doubled` gives them after the clamp.
Values loudSteps(int count, bool doubled) {
    Values v;
    for (int i = 0; i < count; ++i) {
        const int sign = i % 2 == 0 ? 1 : -1;
        v.insert(v.end(), {doubled ? (sign > 0 ? 32767 : -32768) : sign * 20000, doubled ? 14 : 7});
    }
    return v;
}

TEST(GainRuns, SamplesLinesAndRefusals) {
    const std::string notSet = "E [B/A] ERROR in BOOST, Multiple-Level is not set.";
    const OpRow rows[] = {
        // -32768 has no positive twin: it is clamped and counted.
        {{"reverse"}, mono({-32768, 32767, 1, -1, 0}), 1, {"- [B/A] REVERSE.", overflow(1)},
         mono({32767, -32767, -1, 1, 0})},
        // reverse and add stay integer operations whatever real factor is given.
        {{"reverse", "/B6"}, stereo({100, -200}), 1, {"- [B/A] REVERSE."}, stereo({-100, 200})},
        {{"add", "/M2.5", "/v1"}, mono({3}), 1, {"- [B/A] ADD 1."}, mono({4})},
        // Division truncates toward zero.
        {{"boost", "/m-3"}, mono({7, -7, 3, -2, 32767, -32768}), 1, {"- [B/A] BOOST 1/3 times."},
         mono({2, -2, 1, 0, 10922, -10922})},
        {{"boost", "/m3"}, stereo({10000, -10000, 12000, -11000}), 1, {"- [B/A] BOOST 3 times.", overflow(2)},
         stereo({30000, -30000, 32767, -32768})},
        // /m after /M decides: the integer factor applies.
        {{"boost", "/M9", "/m2"}, mono({-3, 4}), 1, {"- [B/A] BOOST 2 times."}, mono({-6, 8})},
        {{"add", "/v100"}, mono({32700, -32768, 0, 32667, 32668}), 1, {"- [B/A] ADD 100.", overflow(2)},
         mono({32767, -32668, 100, 32767, 32767})},
        {{"add"}, stereo({5, -5, 32767, -32768}), 1, {"- [B/A] ADD 0."}, stereo({5, -5, 32767, -32768})},
        // The sum never wraps round, however large the offset.
        {{"add", "/v2147483647"}, mono({1, -1, -32768}), 1, {"- [B/A] ADD 2147483647.", overflow(3)},
         mono({32767, 32767, 32767})},
        {{"add", "/v-2147483648"}, mono({32767, 0}), 1, {"- [B/A] ADD -2147483648.", overflow(2)},
         mono({-32768, -32768})},
        // 32767.5 exceeds the range and counts; -32767.5 does not and truncates toward zero.
        {{"boost", "/M1.5"}, mono({20000, 30000, -1, -30000, 1, 21845, -21845, 21844}), 1,
         {"- [B/A] BOOST 1.500000 times by floating.", overflow(3)},
         mono({30000, 32767, -1, -32768, 1, 32767, -32767, 32766})},
        {{"boost", "/M1"}, stereo({32767, -32768}), 1, {"- [B/A] BOOST 1.000000 times by floating."},
         stereo({32767, -32768})},
        // 10^(6/20) = 1.99526231...: 16422 -> 32766.2, 16423 -> 32768.19, -16423 -> -32768.19.
        {{"boost", "/B6"}, mono({1000, -1000, 16422, 16423, -16423}), 1,
         {"- [B/A] BOOST 1.995262 times by floating.", overflow(2)},
         mono({1995, -1995, 32766, 32767, -32768})},
        // An infinite factor: 0 times it is not a number and is stored as 0.
        {{"boost", "/M1e400"}, mono({0, 1, -1}), 1, {"- [B/A] BOOST inf times by floating.", overflow(2)},
         mono({0, 32767, -32768})},
        // max scales by 32768 / (peak + 1), the peak taken over both channels; a given /M is replaced.
        {{"max", "/M5"}, mono({16383, -16383, 5}), 1, {"- [B/A] MAXIMIZE."}, mono({32766, -32766, 10})},
        {{"max"}, mono({-32768, 32767, 100}), 1, {"- [B/A] MAXIMIZE."}, mono({-32767, 32766, 99})},
        {{"max"}, stereo({1000, 200, -500, -4000}), 1, {"- [B/A] MAXIMIZE."},
         stereo({8189, 1637, -4094, -32759})},
        {{"max"}, mono({1, 0, -1}), 1, {"- [B/A] MAXIMIZE."}, mono({16384, 0, -16384})},
        // Six-byte stereo steps: the result keeps the block size and every padding word untouched.
        {{"reverse"}, makeWave(2, 16, 8000, {1, -2, -17494, -32768, 16, -8756}, 6), 1,
         {"- [B/A] REVERSE.", overflow(1)}, makeWave(2, 16, 8000, {-1, 2, -17494, 32767, -16, -8756}, 6)},
        // 32 clamped samples pass, without /F too; /F lifts the limit.
        {{"boost", "/m2"}, stereo(loudSteps(32, false)), 1, {"- [B/A] BOOST 2 times.", overflow(32)},
         stereo(loudSteps(32, true))},
        {{"boost", "/M2"}, stereo(loudSteps(32, false)), 1,
         {"- [B/A] BOOST 2.000000 times by floating.", overflow(32)}, stereo(loudSteps(32, true))},
        {{"boost", "/F", "/M2"}, stereo(loudSteps(40, false)), 1,
         {"- [B/A] BOOST 2.000000 times by floating.", overflow(40)}, stereo(loudSteps(40, true))},
        // The missing factor is refused before the depth is looked at.
        {{"boost"}, mono8({10, -10}), 255, {notSet}, {}},
        {{"boost", "/m-2147483648"}, mono({10, -10}), 255, {notSet}, {}},
        {{"boost", "/m2"}, mono8({10, -10}), 255,
         {"- [B/A] BOOST 2 times.", "E [B/A] ERROR in BOOST/ADD, not ready bit-rate(8)."}, {}},
        {{"boost", "/m0"}, mono({10, -10}), 254,
         {"- [B/A] ERROR, unknown I_MMODE.", "E [B/A16] LOGIC ERROR 1."}, {}},
        {{"max", "/m2"}, mono({10, -10}), 254, {"- [B/A] MAXIMIZE.", "E [B/A16] LOGIC ERROR 1."}, {}},
    };
    for (const OpRow& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        expectRun(row);
    }
}

}  // namespace
