#include "wave/output.h"

#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "bitmap/waveform.h"
#include "driver/buffers.h"
#include "driver/command_line.h"
#include "driver/files.h"
#include "driver/log.h"

namespace {

// Sample buffers with free room for a header in front of them; each room is used once.
std::vector<const uint8_t*> headerRooms;

bool takeHeaderRoom(const uint8_t* samples) {
    auto found = std::find(headerRooms.begin(), headerRooms.end(), samples);
    if (found == headerRooms.end()) return false;
    headerRooms.erase(found);
    return true;
}

void reportWritten(const char* name, int64_t length) {
    settings.filesWritten++;
    logLine(kLevelInfo, "- [OUTPUT2] Filename   : %s", name);
    logLine(kLevelInfo, "- [OUTPUT2] Size       : %d Bytes", static_cast<int32_t>(length));
}

}  // namespace

bool resultFits(int64_t steps, int64_t blockAlign) {
    if (steps < 0 || steps > INT32_MAX || blockAlign < 0 || blockAlign > INT32_MAX) return false;
    return steps * blockAlign <= static_cast<int64_t>(INT32_MAX) - kWaveHeaderSize;
}

uint8_t* allocateResult(int64_t steps, int64_t blockAlign) {
    auto* buffer = static_cast<uint8_t*>(apmalloc(static_cast<size_t>(steps * blockAlign + kWaveHeaderSize)));
    offerHeaderRoom(buffer + kWaveHeaderSize);
    return buffer + kWaveHeaderSize;
}

void fillSilence(uint8_t* at, int64_t steps, int64_t blockAlign) {
    memset(at, settings.silenceFill, static_cast<size_t>(steps * blockAlign));
}

uint8_t* allocateSilence(int64_t steps, int64_t blockAlign) {
    uint8_t* buffer = allocateResult(steps, blockAlign);
    fillSilence(buffer, steps, blockAlign);
    return buffer;
}

void offerHeaderRoom(uint8_t* samples) { headerRooms.push_back(samples); }

WaveImage* buildWaveImage(const FormatInfo& format, int32_t steps, const uint8_t* samples) {
    if (!resultFits(steps, format.blockAlign)) return nullptr;
    const int64_t dataSize = static_cast<int64_t>(format.blockAlign) * steps;
    WaveImage* image;
    if (takeHeaderRoom(samples)) {
        image = const_cast<uint8_t*>(samples) - kWaveHeaderSize;
        noteSharedArea();
    } else {
        image = static_cast<WaveImage*>(apmalloc(static_cast<size_t>(dataSize + kWaveHeaderSize)));
        if (dataSize > 0) memcpy(image + kWaveHeaderSize, samples, static_cast<size_t>(dataSize));
    }
    memcpy(image, "RIFF", 4);
    writeInt32(image + 4, static_cast<int32_t>(dataSize + 36));
    memcpy(image + 8, "WAVEfmt ", 8);
    writeInt32(image + 16, 16);
    writeInt16(image + 20, 1);
    writeInt16(image + 22, format.channels);
    writeInt32(image + 24, format.sampleRate);
    writeInt32(image + 28, format.byteRate);
    writeInt16(image + 32, format.blockAlign);
    writeInt16(image + 34, format.bitsPerSample);
    memcpy(image + 36, "data", 4);
    writeInt32(image + 40, static_cast<int32_t>(dataSize));
    if (settings.bitmapEnabled && settings.destName != nullptr) {
        waveBitmap(settings.destName, readFormatInfo(image + 12), image + kWaveHeaderSize, dataSize);
    }
    return image;
}

void switchSign8(uint8_t* bytes, int64_t length) {
    for (int64_t i = 0; i < length; i++) bytes[i] = static_cast<uint8_t>(bytes[i] + 128);
    logLine(kLevelInfo, "- [SWITCH-SIGN] switched sign.");
}

int writeRiffFile(WaveImage* image) {
    const int64_t length = static_cast<int64_t>(static_cast<uint32_t>(readInt32(image + 4))) + 8;
    if (writeFileWhole(settings.destName, image, kWaveHeaderSize, image + kWaveHeaderSize, length - kWaveHeaderSize) != 0) logFatal("E [OUTPUT] cannot output [%s]", settings.destName);
    reportWritten(settings.destName, length);
    return 0;
}

int writeNakedPcm(WaveImage* image) {
    const int64_t size = static_cast<uint32_t>(readInt32(image + 40));
    uint8_t* data = image + kWaveHeaderSize;
    char* name = settings.destName;
    const size_t nameLength = strlen(name);
    if (nameLength >= 4 && strcasecmp(name + nameLength - 4, ".WAV") == 0) {
        char* extension = name + nameLength - 4;
        const int bits = readInt16(image + 34);
        if (bits == 8 && settings.signed8Output) {
            strcpy(extension, ".PC8");
            switchSign8(data, size);
        } else if (bits == 8) {
            strcpy(extension, ".PPI");
        } else if (bits == 16) {
            strcpy(extension, ".PHL");
        } else {
            *extension = '\0';
        }
    }
    if (writeFileWhole(name, nullptr, 0, data, size) != 0) logFatal("E [OUTPUT2] cannot output [%s]", name);
    reportWritten(name, size);
    return 0;
}

int writeResult(WaveImage* image) {
    if (settings.outputMode == 1) {
        writeRiffFile(image);
    } else if (settings.outputMode == 2) {
        writeNakedPcm(image);
    }
    return 0;
}
