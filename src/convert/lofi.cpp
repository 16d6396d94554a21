#include "convert/lofi.h"

#include <algorithm>

#include "driver/command_line.h"
#include "wave/format.h"

namespace {

inline uint8_t* sampleAt(const PcmSource& source, int64_t step, int channel) {
    return source.data + step * source.format.blockAlign + channel * 2;
}

// Rounds a window end to the nearest step; exactly half a step rounds down.
inline int64_t nearestStep(double position) {
    const int64_t whole = static_cast<int64_t>(position);
    return position - static_cast<double>(whole) > 0.5 ? whole + 1 : whole;
}

}  // namespace

// Each window's mean is held over the steps nearest the window. Windows run in order over the
// buffer being rewritten: the first step a window reads already holds the previous window's
// mean, and that feedback is part of the sound.
void lofiHoldPass(PcmSource& source, double ratio) {
    const int64_t steps = source.steps;
    const int channels = source.format.channels;
    const double end = static_cast<double>(steps);
    const int64_t windows = static_cast<int64_t>(end / ratio) + 1;
    for (int64_t i = 0; i < windows; i++) {
        const double a = static_cast<double>(i) * ratio;
        const double b = std::min(a + ratio, end);
        if (a >= b) continue;  // only the last window, when the division came out whole
        int32_t mean[2];
        windowMeans(source, a, b, mean);
        const int64_t first = nearestStep(a);
        const int64_t last = std::min(nearestStep(b), steps - 1);
        for (int64_t k = first; k <= last; k++) {
            for (int c = 0; c < channels; c++) writeInt16(sampleAt(source, k, c), mean[c]);
        }
    }
}

// The grid spacing is 2^(16 - bits); the divisor is one more than the spacing, so the largest
// positive sample still lands below 32768.
void lofiQuantisePass(PcmSource& source, int32_t bits) {
    int32_t spacing = 65536;
    for (int32_t i = 0; i < bits; i++) spacing /= 2;
    const int32_t offset = 65536 / (2 * spacing);
    const int32_t divisor = spacing + 1;
    // Every sample value maps to one grid value: work the 65536 of them out once and look the
    // samples up, rather than dividing for each of them.
    static int16_t grid[65536];
    for (int32_t value = -32768; value <= 32767; value++) {
        const int32_t level = static_cast<int16_t>((value + offset) / divisor);
        grid[value + 32768] = static_cast<int16_t>(level * spacing);
    }
    const int64_t steps = source.steps;
    const int channels = source.format.channels;
    if (source.format.blockAlign == channels * 2) {
        // Steps without padding: one flat run of samples.
        uint8_t* p = source.data;
        for (int64_t n = steps * channels; n > 0; n--, p += 2) writeInt16(p, grid[readInt16(p) + 32768]);
        return;
    }
    for (int64_t k = 0; k < steps; k++) {
        for (int c = 0; c < channels; c++) {
            uint8_t* p = sampleAt(source, k, c);
            writeInt16(p, grid[readInt16(p) + 32768]);
        }
    }
}

namespace {

// All channels of one window in one walk over its steps; each channel's sum is built in the same
// order as on its own, so the means are the same to the last bit.
template <int Channels>
void meansOver(const PcmSource& source, double a, double b, int32_t* means) {
    if (!(a < b)) {
        for (int c = 0; c < Channels; c++) means[c] = 0;
        return;
    }
    const int64_t first = static_cast<int64_t>(a);
    const int64_t last = std::min(static_cast<int64_t>(b), static_cast<int64_t>(source.steps) - 1);
    double sum[Channels] = {};
    const uint8_t* step = source.data + first * source.format.blockAlign;
    for (int64_t k = first; k <= last; k++, step += source.format.blockAlign) {
        const double position = static_cast<double>(k);
        const double weight = std::min(position + 1.0, b) - std::max(position, a);
        for (int c = 0; c < Channels; c++) sum[c] += static_cast<double>(readInt16(step + c * 2)) * weight;
    }
    // The weights add up to b - a, so the quotient stays within the 16-bit range.
    for (int c = 0; c < Channels; c++) means[c] = static_cast<int16_t>(static_cast<int32_t>(sum[c] / (b - a)));
}

}  // namespace

void windowMeans(const PcmSource& source, double a, double b, int32_t* means) {
    if (source.format.channels == 1) {
        meansOver<1>(source, a, b, means);
    } else {
        meansOver<2>(source, a, b, means);
    }
}

int32_t windowMean(const PcmSource& source, int channel, double a, double b) {
    int32_t means[2];
    windowMeans(source, a, b, means);
    return means[channel];
}

WaveImage* lofiStage(PcmSource* source) {
    const double ratio = static_cast<double>(source->format.sampleRate) / static_cast<double>(settings.outputRate);
    // A target at or above the source's rate gives windows of a step or less, which the hold
    // would only smear forward (at exactly one step, into the first sample): leave the timing.
    if (ratio > 1.0) lofiHoldPass(*source, ratio);
    lofiQuantisePass(*source, settings.outputBits);
    return buildWaveImage(source->format, source->steps, source->data);
}
