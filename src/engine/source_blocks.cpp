#include "engine/source_blocks.h"

#include <algorithm>
#include <cerrno>

#include "base/log.h"

int64_t blockSteps(int64_t blockAlign) {
    constexpr int64_t kBlockBytes = int64_t{1} << 20;
    return std::max<int64_t>(1, kBlockBytes / std::max<int64_t>(1, blockAlign));
}

int readStepsQuietly(const PcmSource& source, int64_t first, int64_t count, uint8_t* out) {
    const int64_t blockAlign = source.format.blockAlign;
    if (first < 0 || count < 0 || first + count > source.steps) return -EINVAL;
    int64_t at = source.dataOffset + first * blockAlign;
    int64_t left = count * blockAlign;
    while (left > 0) {
        const int64_t n = platform::readAt(source.fd, out, left, at);
        // A file that ends early is short of its data: no system reason to give.
        if (n <= 0) return n < 0 ? static_cast<int>(n) : kEndedEarly;
        out += n;
        at += n;
        left -= n;
    }
    return 0;
}

void readSteps(const PcmSource& source, int64_t first, int64_t count, uint8_t* out) {
    if (first < 0 || count < 0 || first + count > source.steps) fail(Fatal::kReadOutsideData);
    const int error = readStepsQuietly(source, first, count, out);
    if (error == kEndedEarly) fail(Fatal::kFileReadError);
    if (error != 0) failBecause(error, Fatal::kFileReadError);
}


Overlap overlapOf(int64_t start, int64_t sourceSteps, int64_t from, int64_t count) {
    const int64_t lo = std::max(from, start);
    const int64_t hi = std::min(from + count, start + sourceSteps);
    if (lo >= hi) return Overlap{0, 0, 0};
    return Overlap{lo - from, lo - start, hi - lo};
}
