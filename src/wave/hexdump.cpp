#include "wave/hexdump.h"

#include <cstdio>
#include <string>

namespace {

const char kRule[] = " ==============================================================================\n";

void appendHex(std::string& out, uint8_t byte) {
    static const char kDigits[] = "0123456789ABCDEF";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
}

}  // namespace

int hexDump(const uint8_t* start, int64_t length, int bytesPerSample, int channels, const char* caption,
            int64_t fileOffset) {
    if (length < 1) return -1;
    std::string out;
    char field[64];
    out += kRule;
    snprintf(field, sizeof field, " %-8.8s  ", caption);
    out += field;
    for (int c = 1; c <= channels; c++) {
        out += bytesPerSample == 2 ? "LitE BigE    Decimal" : "Bin Dec";
        out += c < channels ? "   :  " : "\n";
    }

    int column = 0;
    for (int64_t pos = 0; pos + bytesPerSample <= length; pos += bytesPerSample) {
        const uint8_t* sample = start + pos;
        if (column == 0) {
            snprintf(field, sizeof field, " %08X  ", static_cast<unsigned>(fileOffset + pos));
            out += field;
        }
        int value;
        if (bytesPerSample == 2) {
            appendHex(out, sample[0]);
            appendHex(out, sample[1]);
            out += ' ';
            appendHex(out, sample[1]);
            appendHex(out, sample[0]);
            value = static_cast<int16_t>(static_cast<uint16_t>(sample[0] | (sample[1] << 8)));
        } else {
            appendHex(out, sample[0]);
            value = sample[0];
        }
        // A negative value shows as its magnitude followed by "-".
        int magnitude = value < 0 ? -value : value;
        char sign = value < 0 ? '-' : ' ';
        snprintf(field, sizeof field, bytesPerSample == 2 ? " %10d%c" : "  %3d%c", magnitude, sign);
        out += field;
        if (++column == channels) {
            out += '\n';
            column = 0;
        } else {
            out += "  :  ";
        }
        if (out.size() >= (1 << 16)) {
            fwrite(out.data(), 1, out.size(), stderr);
            out.clear();
        }
    }
    out += kRule;
    fwrite(out.data(), 1, out.size(), stderr);
    fflush(stderr);
    return 0;
}
