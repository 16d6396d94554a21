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

HexDumpCursor hexDumpBegin(int bytesPerSample, int channels, const char* caption, int64_t totalLength) {
    HexDumpCursor cursor{bytesPerSample, channels, 0, totalLength >= 1};
    if (!cursor.printing) return cursor;
    std::string out = kRule;
    char field[64];
    snprintf(field, sizeof field, " %-8.8s  ", caption);
    out += field;
    for (int c = 1; c <= channels; c++) {
        out += bytesPerSample == 2 ? "LitE BigE    Decimal" : "Bin Dec";
        out += c < channels ? "   :  " : "\n";
    }
    fwrite(out.data(), 1, out.size(), stderr);
    return cursor;
}

void hexDumpRows(HexDumpCursor& cursor, const uint8_t* start, int64_t length, int64_t fileOffset) {
    if (!cursor.printing) return;
    const int bytesPerSample = cursor.bytesPerSample;
    std::string out;
    char field[64];
    for (int64_t pos = 0; pos + bytesPerSample <= length; pos += bytesPerSample) {
        const uint8_t* sample = start + pos;
        if (cursor.column == 0) {
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
        if (++cursor.column == cursor.channels) {
            out += '\n';
            cursor.column = 0;
        } else {
            out += "  :  ";
        }
        if (out.size() >= (1 << 16)) {
            fwrite(out.data(), 1, out.size(), stderr);
            out.clear();
        }
    }
    fwrite(out.data(), 1, out.size(), stderr);
}

void hexDumpEnd(HexDumpCursor& cursor) {
    if (!cursor.printing) return;
    fwrite(kRule, 1, sizeof kRule - 1, stderr);
    fflush(stderr);
}

int hexDump(const uint8_t* start, int64_t length, int bytesPerSample, int channels, const char* caption,
            int64_t fileOffset) {
    if (length < 1) return -1;
    HexDumpCursor cursor = hexDumpBegin(bytesPerSample, channels, caption, length);
    hexDumpRows(cursor, start, length, fileOffset);
    hexDumpEnd(cursor);
    return 0;
}
