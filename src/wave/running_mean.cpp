#include "wave/running_mean.h"

namespace {

template <int BytesPerSample, int Channels>
void feed(RunningMeans& state, const uint8_t* data, int64_t steps, int64_t blockAlign) {
    feedRunningMeansWith<BytesPerSample, Channels>(state, data, steps, blockAlign, [](int, int32_t) {});
}

}  // namespace

void feedRunningMeans(RunningMeans& state, const uint8_t* data, int64_t steps, int channels,
                      int bytesPerSample, int64_t blockAlign) {
    if (bytesPerSample == 1) {
        if (channels == 1) {
            feed<1, 1>(state, data, steps, blockAlign);
        } else {
            feed<1, 2>(state, data, steps, blockAlign);
        }
    } else if (channels == 1) {
        feed<2, 1>(state, data, steps, blockAlign);
    } else {
        feed<2, 2>(state, data, steps, blockAlign);
    }
}
