// Hand-built analysed sources for in-process tests of the sample passes, and reading back the
// result images they return.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "support/wave_writer.h"
#include "wave/output.h"
#include "wave/stats.h"

// A 16-bit source over its own sample bytes. Steps are `blockAlign` bytes apart (2 x channels
// unless given); bytes past the samples of a step hold kPadByte.
struct PcmFixture {
    static constexpr uint8_t kPadByte = 0xEE;
    Bytes bytes;
    PcmSource source{};

    // The value of sample (step, channel) as it stands now.
    int sample(int64_t step, int channel) const {
        const uint8_t* p = source.data + step * source.format.blockAlign + channel * 2;
        return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
    }
    // All samples in storage order.
    std::vector<int> samples() const {
        std::vector<int> out;
        for (int64_t k = 0; k < source.steps; k++) {
            for (int c = 0; c < source.format.channels; c++) out.push_back(sample(k, c));
        }
        return out;
    }
};

inline std::unique_ptr<PcmFixture> makePcmSource(int channels, int sampleRate, const std::vector<int>& values,
                                                 int blockAlign = 0) {
    auto fixture = std::make_unique<PcmFixture>();
    if (blockAlign == 0) blockAlign = 2 * channels;
    const size_t steps = values.size() / static_cast<size_t>(channels);
    for (size_t k = 0; k < steps; k++) {
        for (int c = 0; c < channels; c++) appendLe16(fixture->bytes, values[k * channels + c]);
        for (int pad = 2 * channels; pad < blockAlign; pad++) fixture->bytes.push_back(PcmFixture::kPadByte);
    }
    PcmSource& s = fixture->source;
    s.fileName = "fixture.wav";
    s.steps = static_cast<int32_t>(steps);
    memcpy(s.format.chunkId, "fmt ", 4);
    s.format.chunkSize = 16;
    s.format.formatTag = 1;
    s.format.channels = static_cast<int16_t>(channels);
    s.format.sampleRate = sampleRate;
    s.format.blockAlign = static_cast<int16_t>(blockAlign);
    s.format.byteRate = blockAlign * sampleRate;
    s.format.bitsPerSample = 16;
    s.data = fixture->bytes.data();
    s.image = fixture->bytes.data();
    s.imageSize = static_cast<int64_t>(fixture->bytes.size());
    return fixture;
}

// The whole file a result image stands for: the header's data size tells its length.
inline Bytes imageBytes(const WaveImage* image) {
    const uint32_t dataSize = static_cast<uint32_t>(image[40]) | (static_cast<uint32_t>(image[41]) << 8) |
                              (static_cast<uint32_t>(image[42]) << 16) | (static_cast<uint32_t>(image[43]) << 24);
    return Bytes(image, image + kWaveHeaderSize + dataSize);
}
