#include "support/wave_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>

void appendLe16(Bytes& out, int32_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

void appendLe32(Bytes& out, int64_t v) {
    for (int i = 0; i < 4; i++) out.push_back(static_cast<uint8_t>((v >> (8 * i)) & 0xFF));
}

void appendText(Bytes& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }

Bytes fmtBody(int formatTag, int channels, int sampleRate, int bitsPerSample, int blockAlign, int byteRate) {
    if (blockAlign < 0) blockAlign = channels * bitsPerSample / 8;
    if (byteRate < 0) byteRate = sampleRate * blockAlign;
    Bytes body;
    appendLe16(body, formatTag);
    appendLe16(body, channels);
    appendLe32(body, sampleRate);
    appendLe32(body, byteRate);
    appendLe16(body, blockAlign);
    appendLe16(body, bitsPerSample);
    return body;
}

Bytes sampleBytes(int bits, const std::vector<int>& values) {
    Bytes out;
    for (int v : values) {
        if (bits == 8) {
            out.push_back(static_cast<uint8_t>(v + 128));
        } else {
            appendLe16(out, v);
        }
    }
    return out;
}

Bytes chunk(const std::string& id, const Bytes& body, int64_t sizeField) {
    Bytes out;
    appendText(out, id);
    appendLe32(out, sizeField < 0 ? static_cast<int64_t>(body.size()) : sizeField);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes riffWave(const std::vector<Bytes>& chunks, int64_t riffSize) {
    Bytes body;
    for (const Bytes& c : chunks) body.insert(body.end(), c.begin(), c.end());
    Bytes out;
    appendText(out, "RIFF");
    appendLe32(out, riffSize < 0 ? static_cast<int64_t>(body.size()) + 4 : riffSize);
    appendText(out, "WAVE");
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes makeWave(int channels, int bits, int sampleRate, const std::vector<int>& values, int blockAlign) {
    return riffWave({chunk("fmt ", fmtBody(1, channels, sampleRate, bits, blockAlign)),
                     chunk("data", sampleBytes(bits, values))});
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write fixture " << path;
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool fileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

namespace {
int le16(const Bytes& b, size_t at) { return static_cast<int16_t>(b[at] | (b[at + 1] << 8)); }
int64_t le32(const Bytes& b, size_t at) {
    return static_cast<int64_t>(b[at]) | (static_cast<int64_t>(b[at + 1]) << 8) |
           (static_cast<int64_t>(b[at + 2]) << 16) | (static_cast<int64_t>(b[at + 3]) << 24);
}
}  // namespace

ParsedWave parseCanonicalWave(const Bytes& b) {
    ParsedWave w;
    EXPECT_GE(b.size(), 44u);
    if (b.size() < 44) return w;
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
    EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(le32(b, 16), 16);
    EXPECT_EQ(le16(b, 20), 1);
    EXPECT_EQ(std::string(b.begin() + 36, b.begin() + 40), "data");
    int64_t dataSize = le32(b, 40);
    EXPECT_EQ(le32(b, 4), dataSize + 36);
    EXPECT_EQ(static_cast<int64_t>(b.size()), dataSize + 44);
    w.channels = le16(b, 22);
    w.sampleRate = static_cast<int>(le32(b, 24));
    w.byteRate = static_cast<int>(le32(b, 28));
    w.blockAlign = le16(b, 32);
    w.bits = le16(b, 34);
    for (size_t at = 44; at < b.size(); at += w.bits == 8 ? 1 : 2) {
        if (w.bits == 8) {
            w.values.push_back(static_cast<int>(b[at]) - 128);
        } else if (at + 1 < b.size()) {
            w.values.push_back(le16(b, at));
        }
    }
    return w;
}
