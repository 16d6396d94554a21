// The "fmt " chunk as it lies in a RIFF/WAVE file, and little-endian access to sample bytes.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

// The "fmt " chunk, header included, field by field in file order (24 bytes, little-endian).
// The same layout stands at offset 12 of every result image.
struct FormatInfo {
    char chunkId[4];
    int32_t chunkSize;
    int16_t formatTag;
    int16_t channels;
    int32_t sampleRate;
    int32_t byteRate;
    int16_t blockAlign;
    int16_t bitsPerSample;
};
static_assert(sizeof(FormatInfo) == 24, "FormatInfo mirrors the file layout");

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "the host stores numbers in one byte order");

// Every 16-bit sample is read and written through the helpers below, whatever the host's byte
// order. On a little-endian host they are plain loads and stores (and copies, for runs of
// samples), which the sample loops vectorise; on a big-endian one each sample's two bytes are
// swapped.
inline int16_t readInt16(const uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        int16_t v;
        memcpy(&v, p, sizeof v);
        return v;
    } else {
        return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
    }
}
inline int32_t readInt32(const uint8_t* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                                (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24));
}
inline void writeInt16(uint8_t* p, int32_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        const auto sample = static_cast<int16_t>(v);
        memcpy(p, &sample, sizeof sample);
    } else {
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
    }
}
// `count` samples from little-endian bytes into values in the host's order, and back.
inline void readInt16s(int16_t* values, const uint8_t* p, int64_t count) {
    if constexpr (std::endian::native == std::endian::little) {
        memcpy(values, p, static_cast<size_t>(count) * 2);
    } else {
        for (int64_t i = 0; i < count; i++) values[i] = readInt16(p + 2 * i);
    }
}
inline void writeInt16s(uint8_t* p, const int16_t* values, int64_t count) {
    if constexpr (std::endian::native == std::endian::little) {
        memcpy(p, values, static_cast<size_t>(count) * 2);
    } else {
        for (int64_t i = 0; i < count; i++) writeInt16(p + 2 * i, values[i]);
    }
}
// A vector of int16_t lanes (GCC's vector_size) loaded from consecutive little-endian samples.
template <typename Lanes>
inline Lanes readInt16Lanes(const uint8_t* p) {
    Lanes lanes;
    memcpy(&lanes, p, sizeof lanes);
    if constexpr (std::endian::native == std::endian::big) lanes = (lanes << 8) | ((lanes >> 8) & 0xFF);
    return lanes;
}
inline void writeInt32(uint8_t* p, int32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// A sample's value: 8-bit samples are unsigned with silence at 128 and taken as byte - 128;
// 16-bit samples are signed little-endian.
template <int BytesPerSample>
inline int32_t sampleValue(const uint8_t* p) {
    if constexpr (BytesPerSample == 1) {
        return static_cast<int32_t>(p[0]) - 128;
    } else {
        return readInt16(p);
    }
}

// Reads a FormatInfo from 24 bytes laid out as in the file.
inline FormatInfo readFormatInfo(const uint8_t* p) {
    FormatInfo f;
    memcpy(f.chunkId, p, 4);
    f.chunkSize = readInt32(p + 4);
    f.formatTag = readInt16(p + 8);
    f.channels = readInt16(p + 10);
    f.sampleRate = readInt32(p + 12);
    f.byteRate = readInt32(p + 16);
    f.blockAlign = readInt16(p + 20);
    f.bitsPerSample = readInt16(p + 22);
    return f;
}
