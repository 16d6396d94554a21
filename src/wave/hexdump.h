// Hexadecimal dump of sample data, one step per row, straight to the error stream.
#pragma once

#include <cstdint>

// Dumps `length` bytes from `start`; `fileOffset` is the offset of `start` within the source
// file, shown at the head of each row. Returns 0, or -1 without printing when length < 1.
int hexDump(const uint8_t* start, int64_t length, int bytesPerSample, int channels, const char* caption,
            int64_t fileOffset);
