// Writes a WAVE file of realistic test content: a second (or `silence` seconds) of digital
// silence at the head and the tail, and between them tones and noise around -12 dBFS. Used for the
// demo and the benchmark.
//
//   qor-makewave <file> <seconds> <channels 1|2> <bits 8|16> [rate [silence]]
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

void put16(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    out[at] = static_cast<uint8_t>(v);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    put16(out, at, v & 0xFFFF);
    put16(out, at + 2, v >> 16);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: qor-makewave <file> <seconds> <channels 1|2> <bits 8|16> [rate [silence]]\n");
        return 2;
    }
    const double seconds = atof(argv[2]);
    const int channels = atoi(argv[3]);
    const int bits = atoi(argv[4]);
    const int rate = argc > 5 ? atoi(argv[5]) : 44100;
    const double silence = argc > 6 ? atof(argv[6]) : 1.0;
    if (seconds <= 0 || (channels != 1 && channels != 2) || (bits != 8 && bits != 16) || rate < 1 || silence < 0) {
        fprintf(stderr, "qor-makewave: bad arguments\n");
        return 2;
    }
    const int bytesPerSample = bits / 8;
    const int blockAlign = channels * bytesPerSample;
    const uint64_t steps = static_cast<uint64_t>(seconds * rate);
    const uint64_t dataSize = steps * blockAlign;
    if (dataSize + 44 > 0x7FFFFFFFu) {
        fprintf(stderr, "qor-makewave: too long\n");
        return 2;
    }
    std::vector<uint8_t> out(44 + dataSize);
    const char* header = "RIFF....WAVEfmt ";
    for (int i = 0; i < 16; i++) out[i] = static_cast<uint8_t>(header[i]);
    put32(out, 4, static_cast<uint32_t>(dataSize + 36));
    put32(out, 16, 16);
    put16(out, 20, 1);
    put16(out, 22, channels);
    put32(out, 24, rate);
    put32(out, 28, rate * blockAlign);
    put16(out, 32, blockAlign);
    put16(out, 34, bits);
    out[36] = 'd';
    out[37] = 'a';
    out[38] = 't';
    out[39] = 'a';
    put32(out, 40, static_cast<uint32_t>(dataSize));

    const double amplitude = 0.25;  // about -12 dBFS
    const double pi = 3.14159265358979323846;
    uint32_t noise = 12345;
    const uint64_t silent = static_cast<uint64_t>(silence * rate);
    for (uint64_t s = 0; s < steps; s++) {
        const bool quiet = s < silent || s + silent >= steps;
        const double t = static_cast<double>(s) / rate;
        for (int c = 0; c < channels; c++) {
            double x = 0.0;
            if (!quiet) {
                noise = noise * 1664525u + 1013904223u;
                double n = (static_cast<double>(noise >> 8) / 16777216.0 - 0.5) * 0.2;
                double tone = 0.6 * sin(2 * pi * (220.0 + 110.0 * c) * t) + 0.3 * sin(2 * pi * 1375.0 * t);
                x = amplitude * (tone + n);
            }
            size_t at = 44 + s * blockAlign + c * bytesPerSample;
            if (bits == 16) {
                put16(out, at, static_cast<uint16_t>(static_cast<int16_t>(lround(x * 32767.0))));
            } else {
                out[at] = static_cast<uint8_t>(128 + lround(x * 127.0));
            }
        }
    }
    FILE* f = fopen(argv[1], "wb");
    if (f == nullptr || fwrite(out.data(), 1, out.size(), f) != out.size() || fclose(f) != 0) {
        fprintf(stderr, "qor-makewave: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
