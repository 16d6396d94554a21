// The tests' own WAVE writer: every fixture is built here from a few bytes or samples.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

void appendLe16(Bytes& out, int32_t v);
void appendLe32(Bytes& out, int64_t v);
void appendText(Bytes& out, const std::string& text);

// The 16-byte body of a "fmt " chunk.
Bytes fmtBody(int formatTag, int channels, int sampleRate, int bitsPerSample, int blockAlign = -1, int byteRate = -1);

// Sample bytes for interleaved values: 8-bit values are given as signed (-128..127) and stored
// unsigned; 16-bit values are stored little-endian.
Bytes sampleBytes(int bits, const std::vector<int>& values);

// A chunk: id, size field (the body's size unless given) and body. No pad byte is added.
Bytes chunk(const std::string& id, const Bytes& body, int64_t sizeField = -1);

// "RIFF" <size> "WAVE" followed by the chunks; the RIFF size covers them unless given.
Bytes riffWave(const std::vector<Bytes>& chunks, int64_t riffSize = -1);

// A canonical PCM file: fmt then data. With a blockAlign beyond the samples of a step, the
// values list every 16-bit word of the data, padding included.
Bytes makeWave(int channels, int bits, int sampleRate, const std::vector<int>& values, int blockAlign = -1);

void writeFile(const std::string& path, const Bytes& bytes);
Bytes readFile(const std::string& path);
bool fileExists(const std::string& path);

// What the tests read back from a canonical 44-byte-header WAVE file.
struct ParsedWave {
    int channels = 0;
    int sampleRate = 0;
    int byteRate = 0;
    int blockAlign = 0;
    int bits = 0;
    std::vector<int> values;  // 8-bit as signed (byte - 128), 16-bit as stored
};
// Parses a canonical file independently of the program; fails the test on a malformed header.
ParsedWave parseCanonicalWave(const Bytes& bytes);
