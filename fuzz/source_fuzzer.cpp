// Feeds arbitrary bytes through the source reader and the channel statistics: the chunk walk,
// the format checks, the statistics pass, the hexadecimal dumps and the waveform picture of
// info. The input's last byte also picks the settings, so that one corpus reaches every path.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/command_line.h"
#include "base/log.h"
#include "fuzz_support.h"
#include "wave/source.h"

namespace {

// A source the reader hands on must describe samples that lie inside its file.
void checkSource(const PcmSource* source, size_t fileSize) {
    const FormatInfo& f = source->format;
    bool sane = source->steps >= 1 && (f.channels == 1 || f.channels == 2) &&
                (f.bitsPerSample == 8 || f.bitsPerSample == 16) && f.blockAlign >= f.channels * f.bitsPerSample / 8;
    if (sane) {
        const int64_t start = source->dataOffset;
        const int64_t end = start + static_cast<int64_t>(source->steps) * f.blockAlign;
        sane = start >= 12 && end <= static_cast<int64_t>(fileSize);
    }
    if (!sane) {
        fprintf(stderr, "qor fuzz: the reader returned a source outside its file\n");
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = writeScratchFile("in.wav", data, size);
    const uint8_t choice = size > 0 ? data[size - 1] : 0;

    quietSettings();
    snprintf(settings.fileNames[0], kNameBufferSize, "%s", path.c_str());
    settings.fileCount = 1;
    const bool report = (choice & 1) != 0;
    settings.operationClass = report ? kClassInfo : kClassOneSource;
    settings.extraInfo = (choice >> 1) & 1;
    settings.bothChannelJudge = (choice >> 2) & 1;
    if ((choice & 8) != 0) settings.silenceThreshold = choice >> 4;
    switch ((choice >> 4) & 3) {
    case 1:
        settings.bitmapEnabled = 1;
        settings.bitmapMode = 3;
        settings.bitmapWidth = 16;
        break;
    case 2:
        settings.bitmapEnabled = 1;
        settings.bitmapMode = 1;
        settings.bitmapReduce = 3;
        break;
    default:
        break;
    }
    static const int32_t kFactors[] = {1, 3, 0, 256};
    settings.integerFactor = kFactors[choice >> 6];

    try {
        // A quiet read works out the sound's bounds or the extremes, as operations ask.
        const unsigned needs = (choice >> 2) & 3;
        RunState state;
        state.fileNames.emplace_back(settings.fileNames[0]);
        const PcmSource* source = readSource(settings, state, 0, report ? 1 : 0, needs);
        if (source != nullptr) checkSource(source, size);
    } catch (const QorExit&) {
        // A refused file ends the run with its error line: the normal way out.
    }
    endInput();
    return 0;
}
