// vcompress, sb8convert, lofi and convert through the binary: sample mapping, the lo-fi hold with
// its feedback between windows, the quantiser's grid, and the resampler's windows.
#include <gtest/gtest.h>

#include "support/op_run.h"

namespace {

using Values = std::vector<int>;

Bytes mono(int rate, const Values& v) { return makeWave(1, 16, rate, v); }
Bytes stereo(int rate, const Values& v) { return makeWave(2, 16, rate, v); }

// The 16-bit quantiser moves every sample s to (s + 32768) / 2: the hold rows are read through it.
Values grid16(Values v) {
    for (int& s : v) s = (s + 32768) / 2;
    return v;
}

// Every 16-bit value, and each quantised by integer division at the given resolution.
Values everyValue() {
    Values v;
    for (int s = -32768; s <= 32767; s++) v.push_back(s);
    return v;
}
Values quantised(int bits) {
    const int spacing = 65536 >> bits;
    Values v = everyValue();
    for (int& s : v) s = static_cast<int16_t>((s + 65536 / (2 * spacing)) / (spacing + 1) * spacing);
    return v;
}

void expectRows(const std::vector<OpRow>& rows) {
    for (size_t i = 0; i < rows.size(); i++) {
        SCOPED_TRACE(testing::Message() << "row " << i << " " << testing::PrintToString(rows[i].args));
        expectRun(rows[i]);
    }
}

TEST(ConvertRuns, VoltageCompression) {
    auto rate = [](int threshold, const char* text) {
        return "- [VCOMPRESS] threshold level " + std::to_string(threshold) + " , rate " + text + ".";
    };
    auto overflow = [](int count) {
        return "W [VCOMPRESS] found OverFlow, " + std::to_string(count) + " time(s).";
    };
    expectRows({
        {{"vcompress"}, mono(44100, {5000, -5000, 1023, -1023, 1024, -1024, -32768}), 1,
         {rate(1024, " 0.00")}, mono(44100, {1024, -1024, 1023, -1023, 1024, -1024, -1024})},
        // Rate 1 keeps every sample but -32768, whose twin is out of range.
        {{"vcompress", "/M1"}, mono(44100, {32767, -32767, 12345, -32768}), 1,
         {rate(1024, " 1.00"), overflow(1)}, mono(44100, {32767, -32767, 12345, -32767})},
        {{"vcompress", "/M2"}, mono(44100, {20000, -20000, 16895, 16896}), 1,
         {rate(1024, " 2.00"), overflow(3)}, mono(44100, {32767, -32767, 32766, 32767})},
        // Fractions truncate toward zero.
        {{"vcompress", "/t1000", "/M0.3"}, mono(44100, {1001, -1001, 1004, -1004}), 1, {rate(1000, " 0.30")},
         mono(44100, {1000, -1000, 1001, -1001})},
        {{"vcompress", "/t0", "/M1"}, mono(44100, {0, 1, -1}), 1, {rate(0, " 1.00")},
         mono(44100, {0, 1, -1})},
        // A negative rate flips the sign: far beyond the threshold it clamps instead of wrapping.
        {{"vcompress", "/t1000", "/M-2"}, mono(44100, {20000, -20000, 1500, -1500, 1200, -1200, 999}), 1,
         {rate(1000, "-2.00"), overflow(2)}, mono(44100, {-32768, 32767, 0, 0, 600, -600, 999})},
        {{"vcompress", "/M0.5"}, stereo(44100, {3000, 100, -100, -3000, 1024, 2024}), 1,
         {rate(1024, " 0.50")}, stereo(44100, {2012, 100, -100, -2012, 1024, 1524})},
        // 32 clamped samples pass; the 33rd ends the run, below zero too, unless /F is given.
        {{"vcompress", "/M2"}, mono(8000, Values(32, 30000)), 1, {rate(1024, " 2.00"), overflow(32)},
         mono(8000, Values(32, 32767))},
        {{"vcompress", "/M-3"}, mono(8000, Values(33, 30000)), 255,
         {rate(1024, "-3.00"), "E [VCOMPRESS] too many OverFlow (33 times), Aborted."}, {}},
        {{"vcompress", "/F", "/M2"}, mono(8000, Values(50, 30000)), 1, {rate(1024, " 2.00"), overflow(50)},
         mono(8000, Values(50, 32767))},
    });
}

TEST(ConvertRuns, SimpleConvertTo8Bit) {
    // Each pair: 16-bit sample, expected unsigned byte.
    const std::vector<std::pair<int, int>> table = {
        {0, 128},     {127, 128},   {128, 129},   {-128, 128},  {-383, 128},  {-384, 127},
        {32639, 255}, {32640, 255}, {32767, 255}, {-32768, 1},  {-32640, 1},  {-32641, 1},
        {255, 129},   {383, 129},   {384, 130},   {-639, 127},  {-640, 126},  {16384, 192},
    };
    Values in, out;
    for (const auto& [sample, byte] : table) {
        in.push_back(sample);
        out.push_back(byte - 128);
    }
    const std::vector<std::string> line = {"- [SIMPLECONVERT] convert to 8bit."};
    expectRows({
        {{"sb8convert"}, mono(22050, in), 1, line, makeWave(1, 8, 22050, out)},
        // Four-byte steps are read at their stride; the result has one byte a step.
        {{"sb8convert"}, makeWave(1, 16, 8000, {-384, -4370, 32767, -4370, 128, -4370}, 4), 1, line,
         makeWave(1, 8, 8000, {-1, 127, 1})},
    });
}

TEST(ConvertRuns, LofiHoldAndQuantise) {
    expectRows({
        // Windows of two steps. Window 1 reads step 2 as window 0's mean: (150 + 400) / 2 = 275.
        {{"lofi", "/b16", "/f22050"}, mono(44100, {100, 200, 300, 400, 500, 600, 700, 800}), 1, {},
         mono(44100, grid16({150, 150, 275, 275, 437, 437, 618, 618}))},
        // Right channel: 500, then (500 + 0) / 2, (250 + 0) / 2, (125 + 0) / 2 truncated.
        {{"lofi", "/b16", "/f22050"},
         stereo(44100, {100, 1000, 200, 0, 300, 1000, 400, 0, 500, 1000, 600, 0, 700, 1000, 800, 0}), 1, {},
         stereo(44100,
                grid16({150, 500, 150, 500, 275, 250, 275, 250, 437, 125, 437, 125, 618, 62, 618, 62}))},
        // The preset 16540 Hz: windows of 2.666... steps.
        {{"lofi", "/b16"}, mono(44100, {100, 200, 300, 400, 500, 600, 700, 800, 900, 1000}), 1, {},
         mono(44100, grid16({187, 187, 187, 355, 355, 651, 651, 651, 825, 825}))},
        // Window ends at exactly half a step round down: [0, 2.5) -> 180 over steps 0..2;
        // [2.5, 5) reads step 2 as 180: (90 + 400 + 500) / 2.5 = 396 over steps 2..4.
        {{"lofi", "/b16", "/f17640"}, mono(44100, {100, 200, 300, 400, 500}), 1, {},
         mono(44100, grid16({180, 180, 396, 396, 396}))},
        // [3, 6) reads step 3 as 20: (20 + 50 + 60) / 3 = 43; the short last window [6, 7) holds 43.
        {{"lofi", "/b16", "/f14700"}, mono(44100, {10, 20, 30, 40, 50, 60, 70}), 1, {},
         mono(44100, grid16({20, 20, 20, 43, 43, 43, 43}))},
        // A target at or above the source's rate only quantises: levels 2^(16 - b) apart, divisor
        // one more than the spacing, offset 2^(b - 1).
        {{"lofi", "/b4", "/f44100"}, mono(44100, {32767, -32768, 10000, -10000, 4088, 4089, -1, 0}), 1, {},
         mono(44100, {28672, -28672, 8192, -8192, 0, 4096, 0, 0})},
        {{"lofi", "/b8", "/f44100"}, mono(44100, {1000, -10000, 32767, -32768}), 1, {},
         mono(44100, {1024, -9728, 32512, -32512})},
        {{"lofi", "/b1", "/f44100"}, mono(44100, {32767, -32768, 1, -1, 0}), 1, {},
         mono(44100, {0, 0, 0, 0, 0})},
        {{"lofi", "/b16", "/f44100"}, mono(44100, {0, -32768, 32767, -1, 1}), 1, {},
         mono(44100, {16384, 0, 32767, 16383, 16384})},
        {{"lofi", "/b2", "/f44100"}, mono(44100, {32767, 16384, -16384, -16387, -32768}), 1, {},
         mono(44100, {16384, 16384, 0, -16384, -16384})},
        {{"lofi", "/b4", "/f16540"}, mono(8000, {32767, 10000, 4089, -10000}), 1, {},
         mono(8000, {28672, 8192, 4096, -8192})},
        // Every sample value, against integer division.
        {{"lofi", "/b3", "/f44100"}, mono(44100, everyValue()), 1, {}, mono(44100, quantised(3))},
        {{"lofi", "/b11", "/f44100"}, mono(44100, everyValue()), 1, {}, mono(44100, quantised(11))},
        {{"lofi", "/b16", "/f44100"}, mono(44100, everyValue()), 1, {}, mono(44100, quantised(16))},
    });
}

TEST(ConvertRuns, ResamplerWindows) {
    Values longIn(44100, 7), longOut(22050, 7), fullScale(5, 32767);
    longOut.push_back(0);
    fullScale.resize(10, -32768);
    expectRows({
        {{"convert", "/f11025"}, mono(22050, {100, 200, 300, 400, 500, 600, 700, 800, 900}), 1, {},
         mono(11025, {150, 350, 550, 750, 900})},
        // Windows of 2205/827 steps over the untouched source, worked out with exact fractions.
        {{"convert", "/f16540"}, mono(44100, {100, 200, 300, 400, 500, 600, 700, 800, 900, 1000}), 1, {},
         mono(16540, {187, 449, 712, 949})},
        {{"convert", "/f16540"}, mono(44100, {3000, -3000, 7000, -12000, 5, 0, -1, 32767, -32768, 100}), 1,
         {}, mono(16540, {1749, -3622, 12274, -16304})},
        // Windows of 3/4 step: (400 x 1/2) / (3/4) = 266, (400 x 1/2 + 800 x 1/4) / (3/4) = 533.
        {{"convert", "/f44100"}, mono(33075, {0, 400, 800}), 1, {}, mono(44100, {0, 266, 533, 800, 0})},
        // Full-scale means stay in range; the last window is empty and gives 0.
        {{"convert", "/f17640"}, mono(44100, fullScale), 1, {},
         mono(17640, {32767, 32767, -32768, -32768, 0})},
        {{"convert", "/f11025"},
         stereo(22050, {100, -1, 200, -2, 300, -3, 400, -4, 500, -5, 600, -6, 700, -7, 800, -8}), 1, {},
         stereo(11025, {150, -1, 350, -3, 550, -5, 750, -7, 0, 0})},
        // Six-byte steps: each channel read at the stride, the result's padding silent.
        {{"convert", "/f11025"},
         makeWave(2, 16, 22050, {100, -1000, 99, 300, -3000, 99, 500, -5000, 99, 700, -7000, 99}, 6), 1, {},
         makeWave(2, 16, 11025, {200, -2000, 0, 600, -6000, 0, 0, 0, 0}, 6)},
        {{"convert", "/f22050"}, mono(44100, longIn), 1, {}, mono(22050, longOut)},
        // 30000 steps at 1 Hz to 44100 Hz: 1,323,000,001 steps fit in 32 bits, their bytes do not.
        {{"convert", "/f44100"}, mono(1, Values(30000, 1)), 255, {"E [CONVERT] too long, total length."}, {}},
        {{"convert", "/f44100"}, mono(1, Values(50000, 1)), 255, {"E [CONVERT] too long, total length."}, {}},
    });
}

}  // namespace
