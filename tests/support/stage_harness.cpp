#include "support/stage_harness.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "driver/command_line.h"
#include "driver/log.h"
#include "support/run_qor.h"

std::unique_ptr<HandSource> handSource(int channels, int bits, int sampleRate,
                                       const std::vector<int>& values) {
    auto hand = std::make_unique<HandSource>();
    hand->bytes = sampleBytes(bits, values);
    PcmSource& s = hand->source;
    const int block = channels * bits / 8;
    memcpy(s.format.chunkId, "fmt ", 4);
    s.format.chunkSize = 16;
    s.format.formatTag = 1;
    s.format.channels = static_cast<int16_t>(channels);
    s.format.sampleRate = sampleRate;
    s.format.byteRate = sampleRate * block;
    s.format.blockAlign = static_cast<int16_t>(block);
    s.format.bitsPerSample = static_cast<int16_t>(bits);
    s.steps = static_cast<int32_t>(values.size() / static_cast<size_t>(channels));
    for (int c = 0; c < channels; ++c) {
        s.channel[c].max = INT_MIN;
        s.channel[c].min = INT_MAX;
    }
    for (size_t i = 0; i < values.size(); ++i) {
        ChannelStats& stats = s.channel[i % static_cast<size_t>(channels)];
        stats.max = std::max(stats.max, values[i]);
        stats.min = std::min(stats.min, values[i]);
    }
    s.data = hand->bytes.data();
    s.image = hand->bytes.data();
    s.imageSize = static_cast<int64_t>(hand->bytes.size());
    // The statistics switch the silence fill to 128 once an 8-bit source is analysed.
    if (bits == 8) settings.silenceFill = 128;
    return hand;
}

void parseArgs(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"qor"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    StreamCapture discard;
    parseCommandLine(static_cast<int>(argv.size()), argv.data());
}

StageOutcome captureStage(const std::function<void()>& body) {
    // Route every level to the error stream so the lines keep their order.
    settings.stderrThreshold = 3;
    settings.stdoutThreshold = -1;
    StageOutcome outcome;
    StreamCapture capture;
    try {
        body();
    } catch (const QorExit& exit) {
        outcome.exitCode = exit.code;
    }
    outcome.lines = lines(capture.err());
    return outcome;
}

ParsedWave parseImage(const uint8_t* image) {
    const int64_t dataSize = readInt32(image + 40);
    return parseCanonicalWave(Bytes(image, image + 44 + dataSize));
}
