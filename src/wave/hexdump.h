// Hexadecimal dump of sample data, one step per row, straight to the error stream.
#pragma once

#include <cstdint>

// Dumps `length` bytes from `start`; `fileOffset` is the offset of `start` within the source
// file, shown at the head of each row. Returns 0, or -1 without printing when length < 1.
int hexDump(const uint8_t* start, int64_t length, int bytesPerSample, int channels, const char* caption,
            int64_t fileOffset);

// The same dump given in pieces: begin with the whole length, then the bytes in order (each
// piece starting on a sample), then end.
struct HexDumpCursor {
    int bytesPerSample;
    int channels;
    int column;
    bool printing;  // false for a dump of no bytes, which prints nothing at all
};
HexDumpCursor hexDumpBegin(int bytesPerSample, int channels, const char* caption, int64_t totalLength);
void hexDumpRows(HexDumpCursor& cursor, const uint8_t* start, int64_t length, int64_t fileOffset);
void hexDumpEnd(HexDumpCursor& cursor);
