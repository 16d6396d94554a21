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
        int32_t mean[2] = {0, 0};
        for (int c = 0; c < channels; c++) mean[c] = windowMean(source, c, a, b);
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
    const int64_t steps = source.steps;
    const int channels = source.format.channels;
    for (int64_t k = 0; k < steps; k++) {
        for (int c = 0; c < channels; c++) {
            uint8_t* p = sampleAt(source, k, c);
            const int32_t level = static_cast<int16_t>((readInt16(p) + offset) / divisor);
            writeInt16(p, level * spacing);
        }
    }
}

int32_t windowMean(const PcmSource& source, int channel, double a, double b) {
    if (!(a < b)) return 0;
    const int64_t first = static_cast<int64_t>(a);
    const int64_t last = std::min(static_cast<int64_t>(b), static_cast<int64_t>(source.steps) - 1);
    double sum = 0.0;
    for (int64_t k = first; k <= last; k++) {
        const double position = static_cast<double>(k);
        const double weight = std::min(position + 1.0, b) - std::max(position, a);
        sum += static_cast<double>(readInt16(sampleAt(source, k, channel))) * weight;
    }
    // The weights add up to b - a, so the quotient stays within the 16-bit range.
    return static_cast<int16_t>(static_cast<int32_t>(sum / (b - a)));
}

WaveImage* lofiStage(PcmSource* source) {
    const double ratio = static_cast<double>(source->format.sampleRate) / static_cast<double>(settings.outputRate);
    // A target at or above the source's rate gives windows of a step or less, which the hold
    // would only smear forward (at exactly one step, into the first sample): leave the timing.
    if (ratio > 1.0) lofiHoldPass(*source, ratio);
    lofiQuantisePass(*source, settings.outputBits);
    return buildWaveImage(source->format, source->steps, source->data);
}
