#include "wave/source.h"

#include <cstring>

#include "bitmap/waveform.h"
#include "driver/buffers.h"
#include "driver/command_line.h"
#include "driver/log.h"
#include "wave/output.h"

namespace {

enum ChunkKind { kChunkUnknown = -1, kChunkFormat = 1, kChunkData = 2, kChunkFact = 3 };

// Read access to a loaded file that cannot leave it: bytes beyond the end read as zero.
struct ImageCursor {
    const uint8_t* image;
    int64_t size;

    uint8_t byteAt(int64_t at) const { return at >= 0 && at < size ? image[at] : 0; }
    int32_t int32At(int64_t at) const {
        uint8_t b[4] = {byteAt(at), byteAt(at + 1), byteAt(at + 2), byteAt(at + 3)};
        return readInt32(b);
    }
    bool textAt(int64_t at, const char* text) const {
        for (int i = 0; i < 4; i++) {
            if (byteAt(at + i) != static_cast<uint8_t>(text[i])) return false;
        }
        return true;
    }
};

// A chunk body copied into a fixed-size buffer: bytes the body does not hold read as zero.
void copyBody(const ImageCursor& file, int64_t bodyAt, int64_t bodySize, uint8_t* out, int64_t count) {
    for (int64_t i = 0; i < count; i++) out[i] = i < bodySize ? file.byteAt(bodyAt + i) : 0;
}

int chunkKind(const ImageCursor& file, int64_t at) {
    if (file.textAt(at, "fmt ")) return kChunkFormat;
    if (file.textAt(at, "data")) return kChunkData;
    if (file.textAt(at, "fact")) return kChunkFact;
    return kChunkUnknown;
}

const char* chunkName(int kind) {
    switch (kind) {
    case kChunkFormat:
        return "FORMAT";
    case kChunkData:
        return "DATA";
    default:
        return "FACTOR";
    }
}

int printFormat(const FormatInfo& format) {
    if (format.formatTag != 1) logFatal("E [FORMAT] unknown format [%d].", format.formatTag);
    logLine(kLevelInfo, "  [FORMAT] FormatID  : %d", format.formatTag);
    logLine(kLevelInfo, "  [FORMAT] ch        : %d ", format.channels);
    logLine(kLevelInfo, "  [FORMAT] hz        : %d Hz", format.sampleRate);
    logLine(kLevelInfo, "  [FORMAT] bps       : %d bytes/sec", format.byteRate);
    logLine(kLevelInfo, "  [FORMAT] blocksize : %d bytes/step", format.blockAlign);
    logLine(kLevelInfo, "  [FORMAT] bitrate   : %d bits/sample", format.bitsPerSample);
    return 0;
}

int32_t dataLength(int64_t dataBytes, const FormatInfo& format) {
    const int32_t steps = static_cast<int32_t>(dataBytes / format.blockAlign);
    logLine(kLevelInfo, "  [DATA] Length : %9d steps", steps);
    logLine(kLevelInfo, "  [DATA] Length : %13.3f seconds", static_cast<double>(steps) / format.sampleRate);
    return steps;
}

int32_t factLength(const ImageCursor& file, int64_t bodyAt, int64_t bodySize) {
    uint8_t field[4];
    copyBody(file, bodyAt, bodySize, field, 4);
    const int32_t length = readInt32(field);
    logLine(kLevelInfo, "  [FACTOR] Length  : %d", length);
    return length;
}

// A data chunk can only be divided into steps when a usable "fmt " chunk came before it and
// a step holds a sample of every channel.
void checkDataFormat(const FormatInfo& format, bool haveFormat) {
    const int bytesPerSample = format.bitsPerSample / 8;
    if (!haveFormat || format.blockAlign < 1 || format.channels < 1 || format.sampleRate < 1 ||
        format.blockAlign < format.channels * bytesPerSample) {
        logFatal("E [FORMAT] unknown datatype.");
    }
}

}  // namespace

PcmSource* readSource(int fileIndex, int reportMode) {
    if (reportMode) logLine(kLevelInfo, "- [INFO] file info ================================");
    const char* fileName = settings.fileNames[fileIndex];
    uint8_t* image = nullptr;
    const int64_t imageSize = loadFileImage(fileName, &image);
    const ImageCursor file{image, imageSize};

    logLine(kLevelInfo, "  [info] FileName : %s", fileName);
    if (reportMode) logLine(kLevelInfo, "  [info] FileSize : %d", static_cast<int32_t>(imageSize));
    if (!file.textAt(0, "RIFF")) logFatal("E [info] file is not RIFF.");
    if (reportMode) {
        logLine(kLevelInfo, "  [info] FileType : %c%c%c%c", file.byteAt(0), file.byteAt(1), file.byteAt(2),
                file.byteAt(3));
        logLine(kLevelInfo, "  [info] RIFFSize : %d", file.int32At(4));
    }
    if (!file.textAt(8, "WAVE")) logFatal("E [info] file is not WAVE.");
    if (reportMode) {
        logLine(kLevelInfo, "  [info] RIFFType : %c%c%c%c", file.byteAt(8), file.byteAt(9), file.byteAt(10),
                file.byteAt(11));
    }

    FormatInfo format;
    memset(&format, 0, sizeof format);
    bool haveFormat = false;
    int32_t factSteps = 0;
    PcmSource* source = nullptr;
    int64_t analysedBytes = 0;

    int64_t offset = 12;
    while (offset < imageSize) {
        // Fewer than 8 bytes cannot hold a chunk header: the walk ends quietly.
        if (imageSize - offset < 8) break;
        const int kind = chunkKind(file, offset);
        const int32_t size = file.int32At(offset + 4);
        const int64_t bodyAt = offset + 8;
        if (reportMode) {
            logLine(kLevelInfo, "- [INFO] chunk info -------------------------------");
            if (kind == kChunkUnknown) {
                logLine(kLevelWarning, "W [info] chunk type : unknown, [%c%c%c%c].", file.byteAt(offset),
                        file.byteAt(offset + 1), file.byteAt(offset + 2), file.byteAt(offset + 3));
            } else {
                logLine(kLevelInfo, "  [info] chunk type : %s", chunkName(kind));
            }
            logLine(kLevelInfo, "  [info] chunk size : %d bytes.", size);
        }

        if (kind == kChunkData) {
            checkDataFormat(format, haveFormat);
            const int64_t present = imageSize - bodyAt;
            int64_t usable = size;
            if (size < 0 || size > present) {
                usable = present;
                logLine(kLevelWarning, "W [DATA] chunk runs over file, use %d steps.",
                        static_cast<int32_t>(usable / format.blockAlign));
            }
            const int32_t steps = dataLength(usable, format);
            // A truncated file keeps its declared length for the comparison with "fact".
            const int32_t declaredSteps = size >= 0 ? static_cast<int32_t>(size / format.blockAlign) : steps;
            if (factSteps > 0 && factSteps != declaredSteps) {
                logFatal("E [FORMAT] unmatch length, fact/data [%d/%d].", factSteps, declaredSteps);
            }
            if (steps >= 1) {
                source = analyseSource(image + bodyAt, format, steps, reportMode, bodyAt);
                source->fileName = fileName;
                source->image = image;
                source->imageSize = imageSize;
                // Nothing reads the bytes before the samples again: an operation that works in
                // place may put its result header there.
                if (bodyAt >= kWaveHeaderSize) offerHeaderRoom(source->data);
                analysedBytes = usable;
                break;  // nothing after the analysed sound is read
            }
            if (usable != size) break;  // the chunk reaches the end of the file
        } else if (size < 0) {
            break;
        } else if (kind == kChunkFormat) {
            uint8_t bytes[24];
            memcpy(bytes, image + offset, 8);
            copyBody(file, bodyAt, size, bytes + 8, 16);
            format = readFormatInfo(bytes);
            haveFormat = true;
            printFormat(format);
        } else if (kind == kChunkFact) {
            factSteps = factLength(file, bodyAt, size);
        }

        offset = bodyAt + size;
        // Writers pad an odd-sized chunk with a zero byte; skip it when it is there.
        if ((size & 1) != 0 && offset < imageSize && image[offset] == 0) offset++;
    }

    if (settings.bitmapEnabled && settings.operationClass == kClassInfo && source != nullptr) {
        waveBitmap(fileName, source->format, source->data, analysedBytes);
    }
    if (reportMode) logLine(kLevelInfo, "- [info] file info = EOF ==========================");
    return source;
}
