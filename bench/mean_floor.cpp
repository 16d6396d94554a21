// The benchmark's running-mean floor: reads a WAVE file's samples and runs nothing but the running-mean
// chains (every channel's mean and magnitude mean) over its samples, then prints the figures in
// the statistics report's format, so that they can be checked against `info`.
//
//   qor-meanfloor <file>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/format.h"
#include "wave/running_mean.h"

namespace {

// Reads up to `count` bytes at `at`; returns how many were read.
long readAt(int fd, uint8_t* out, long count, long at) {
    long done = 0;
    while (done < count) {
        const ssize_t n = pread(fd, out + done, static_cast<size_t>(count - done), at + done);
        if (n <= 0) break;
        done += n;
    }
    return done;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: qor-meanfloor <file>\n");
        return 2;
    }
    // The samples are read with plain reads into one reused 1 MiB buffer: the least a program that
    // looks at every sample has to do besides the chains.
    const int fd = open(argv[1], O_RDONLY);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0) {
        perror(argv[1]);
        return 2;
    }
    const long size = status.st_size;
    constexpr long kBlock = 1 << 20;
    auto* block = static_cast<uint8_t*>(malloc(kBlock));
    uint8_t header[12];
    if (block == nullptr || readAt(fd, header, 12, 0) != 12 || memcmp(header, "RIFF", 4) != 0 ||
        memcmp(header + 8, "WAVE", 4) != 0) {
        fprintf(stderr, "qor-meanfloor: not a readable WAVE file\n");
        return 2;
    }
    int channels = 0, bits = 0, blockAlign = 0;
    for (long at = 12; at + 8 <= size;) {
        uint8_t chunk[24] = {};
        readAt(fd, chunk, 24, at);
        const long body = static_cast<uint32_t>(readInt32(chunk + 4));
        if (memcmp(chunk, "fmt ", 4) == 0 && body >= 16) {
            channels = readInt16(chunk + 10);
            blockAlign = readInt16(chunk + 20);
            bits = readInt16(chunk + 22);
        } else if (memcmp(chunk, "data", 4) == 0 && blockAlign > 0) {
            const long bytes = body < size - at - 8 ? body : size - at - 8;
            if ((channels != 1 && channels != 2) || (bits != 8 && bits != 16)) break;
            RunningMeans means{};
            const long perBlock = kBlock / blockAlign * blockAlign;
            const long steps = bytes / blockAlign;
            for (long from = 0; from < steps * blockAlign; from += perBlock) {
                const long n = perBlock < steps * blockAlign - from ? perBlock : steps * blockAlign - from;
                if (readAt(fd, block, n, at + 8 + from) != n) break;
                feedRunningMeans(means, block, n / blockAlign, channels, bits / 8, blockAlign);
            }
            for (int c = 0; c < channels; c++) {
                printf("  [STAT/%d] Avg/Total   : %+13.3f\n", c, means.mean[c]);
                printf("  [STAT/%d] Avg/Abs     : %13.3f\n", c, means.meanAbs[c]);
            }
            return 0;
        }
        at += 8 + body + (body & 1);
    }
    fprintf(stderr, "qor-meanfloor: no 8- or 16-bit mono or stereo data chunk\n");
    return 2;
}
