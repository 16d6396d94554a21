#include "wave/source.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bitmap/waveform.h"
#include "base/buffers.h"
#include "base/log.h"
#include "base/options.h"
#include "platform/platform.h"

namespace {

constexpr const char* kNoWritingBack = "a stream cannot be written back.";

enum ChunkKind { kChunkUnknown = -1, kChunkFormat = 1, kChunkData = 2, kChunkFact = 3 };

// The files the run reads from, closed together at the end of the run, as they were when opened.
struct OpenSource {
    platform::FileHandle fd;
    std::string name;
    platform::FileInfo status;
};
std::vector<OpenSource> openSources;
// Standard input has been taken as a source: a stream can be read only once.
bool standardInputRead = false;

// Reads all of [at, at + count) or fails with the read error line.
void readExactly(platform::FileHandle fd, int64_t at, uint8_t* out, int64_t count) {
    while (count > 0) {
        const int64_t n = platform::readAt(fd, out, count, at);
        if (n < 0) failBecause(static_cast<int>(n), Fatal::kFileReadError);
        if (n == 0) fail(Fatal::kFileReadError);
        out += n;
        at += n;
        count -= n;
    }
}

// Read access to a source file that cannot leave it: bytes beyond the end read as zero. The
// head of the file, where the chunk headers usually lie, is read once and kept.
struct FileCursor {
    platform::FileHandle fd;
    int64_t size;
    uint8_t head[4096];
    int64_t headBytes;

    FileCursor(platform::FileHandle file, int64_t fileSize) : fd(file), size(fileSize) {
        headBytes = size < static_cast<int64_t>(sizeof head) ? size : static_cast<int64_t>(sizeof head);
        readExactly(fd, 0, head, headBytes);
    }
    // Copies the bytes of [at, at + count) that lie in the file; the rest reads as zero.
    void copy(int64_t at, uint8_t* out, int64_t count) const {
        memset(out, 0, static_cast<size_t>(count));
        const int64_t from = at < 0 ? 0 : at;
        const int64_t to = at + count < size ? at + count : size;
        if (from >= to) return;
        if (to <= headBytes) {
            memcpy(out + (from - at), head + from, static_cast<size_t>(to - from));
        } else {
            readExactly(fd, from, out + (from - at), to - from);
        }
    }
    uint8_t byteAt(int64_t at) const {
        uint8_t b;
        copy(at, &b, 1);
        return b;
    }
    int32_t int32At(int64_t at) const {
        uint8_t b[4];
        copy(at, b, 4);
        return readInt32(b);
    }
    bool textAt(int64_t at, const char* text) const {
        uint8_t b[4];
        copy(at, b, 4);
        return memcmp(b, text, 4) == 0;
    }
};

int chunkKind(const FileCursor& file, int64_t at) {
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
    if (format.formatTag != 1) fail(Fatal::kUnknownFormat, format.formatTag);
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

int32_t factLength(const FileCursor& file, int64_t bodyAt, int64_t bodySize) {
    uint8_t field[4];
    file.copy(bodyAt, field, bodySize < 4 ? bodySize : 4);
    if (bodySize < 4) memset(field + bodySize, 0, static_cast<size_t>(4 - bodySize));
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
        fail(Fatal::kUnknownDatatype);
    }
}

// Closes a file when the run ends on the way.
struct ClosedOnExit {
    platform::FileHandle fd;
    ~ClosedOnExit() {
        if (fd != platform::kNoFile) platform::closeFile(fd);
    }
};

// A stream cannot seek, and a source is read at the places its chunks lie, from either end:
// what the stream carries is copied as it arrives into an unnamed temporary file, which is then
// read as any file. A block at a time is held, whatever the length. Returns the temporary file.
platform::FileHandle spoolSource(platform::FileHandle stream, const char* name) {
    const ClosedOnExit input{stream};
    int error = 0;
    ClosedOnExit spool{platform::createSpool(error)};
    if (error != 0) failBecause(error, Fatal::kCannotSpool, name);
    std::vector<uint8_t> block(size_t{1} << 20);
    int64_t total = 0;
    for (;;) {
        const int64_t n = platform::readNext(stream, block.data(), static_cast<int64_t>(block.size()));
        if (n < 0) failBecause(static_cast<int>(n), Fatal::kFileReadError);
        if (n == 0) break;
        total += n;
        // Past the largest source there is no need to keep the rest.
        if (total > INT32_MAX) fail(Fatal::kInputTooLarge, name);
        if (const int written = platform::writeAll(spool.fd, block.data(), n); written != 0) {
            failBecause(written, Fatal::kCannotSpool, name);
        }
    }
    const platform::FileHandle fd = spool.fd;
    spool.fd = platform::kNoFile;
    return fd;
}

// Opens a source for reading and returns its descriptor and size; the file is counted as the
// run's area for it, as if it were held whole. "-" is standard input; a stream (a pipe, a
// socket, a terminal) is spooled first, and so is standard input when it is a file read partway.
platform::FileHandle openSource(RunState& state, const char* name, bool writtenBack, int64_t& size) {
    const bool dash = strcmp(name, "-") == 0;
    // What a stream carries is gone once read: nothing can be written back into it (into its own
    // pipe the run would wait for itself for ever). Told before the open, which waits for a
    // named pipe's writer.
    platform::FileInfo named;
    if (writtenBack && (dash || (platform::statPath(name, named) == 0 && !named.regular))) {
        failBecause(kNoWritingBack, Fatal::kCannotOutput, "OUTPUT", name);
    }
    int error = 0;
    platform::FileHandle fd = dash ? platform::openStandardInput(error) : platform::openForReading(name, error);
    // Only a name that does not exist is "not found"; a closed standard input, a file this user
    // may not read or too many open files say why.
    if (error == -ENOENT) fail(Fatal::kInputNotFound, name);
    if (error != 0) failBecause(error, Fatal::kCannotOpenInput, name);
    platform::FileInfo status;
    if (const int failed = platform::statFile(fd, status); failed != 0) {
        platform::closeFile(fd);
        failBecause(failed, Fatal::kNoFileStatus);
    }
    if (platform::isStandardInput(name, status)) {
        if (standardInputRead) {
            platform::closeFile(fd);
            fail(Fatal::kOneStandardInput, name);
        }
        standardInputRead = true;
    }
    const bool spooled = status.stream || (dash && status.regular && platform::positionOf(fd) != 0);
    if (writtenBack && spooled) {
        platform::closeFile(fd);
        failBecause(kNoWritingBack, Fatal::kCannotOutput, "OUTPUT", name);
    }
    // A result never replaces this file unless named for it, whatever name reaches it.
    state.sources.push_back(SourceSeen{name, !spooled && !dash, status});
    if (spooled) {
        fd = spoolSource(fd, name);
        if (const int failed = platform::statFile(fd, status); failed != 0) {
            platform::closeFile(fd);
            failBecause(failed, Fatal::kNoFileStatus);
        }
    }
    openSources.push_back(OpenSource{fd, name, status});
    size = status.size;
    if (size > INT32_MAX) fail(Fatal::kInputTooLarge, name);
    countArea();
    return fd;
}

// A name that got ".WAV" from the parser may be meant for a file ending in ".wav": on a
// case-sensitive file system the two differ. When only the ".wav" file exists, that is the
// source; when neither exists, the name as written is, if it exists and is no folder (a file
// without an extension, a named pipe, /dev/stdin, /dev/fd/N). The name is rewritten so that every
// later line shows the file read. With /W the destination is that same file.
void settleSourceName(const Settings& options, RunState& state, int fileIndex) {
    if (!options.extensionAppended[fileIndex]) return;
    const std::string name = state.fileNames[fileIndex];
    platform::FileInfo status;
    if (platform::statPath(name, status) != -ENOENT) return;
    std::string settled(name);
    settled.replace(settled.size() - 4, 4, ".wav");
    if (platform::statPath(settled, status) != 0) {
        settled.resize(settled.size() - 4);
        if (platform::statPath(settled, status) != 0 || status.directory) return;
    }
    // The result's plan takes the destination, and the picture's check the names, from here.
    if (fileIndex == 0 && options.overwriteMode && state.destination == name) state.destination = settled;
    state.fileNames[fileIndex] = settled;
}

}  // namespace

namespace {

// The same file, with the same length and times: the change time moves with every write, and no
// user can set it back.
bool unchanged(const platform::FileInfo& was, const platform::FileInfo& now) {
    return now.id() == was.id() && now.size == was.size && now.modified == was.modified && now.changed == was.changed;
}

}  // namespace

void checkSourcesUnchanged(const RunState& state) {
    for (const OpenSource& source : openSources) {
        platform::FileInfo status;
        if (platform::statFile(source.fd, status) != 0 || !unchanged(source.status, status)) {
            fail(Fatal::kSourceChanged, source.name.c_str());
        }
    }
    // A name now given to another file counts too: a result written back under it would replace
    // a file the run never read.
    for (const SourceSeen& source : state.sources) {
        platform::FileInfo status;
        if (source.byName && (platform::statPath(source.name, status) != 0 || !unchanged(source.status, status))) {
            fail(Fatal::kSourceChanged, source.name.c_str());
        }
    }
}

void closeSources() {
    for (const OpenSource& source : openSources) platform::closeFile(source.fd);
    openSources.clear();
    standardInputRead = false;
}

PcmSource* readSource(const Settings& options, RunState& state, int fileIndex, int reportMode, unsigned needs) {
    if (reportMode) logLine(kLevelInfo, "- [INFO] file info ================================");
    settleSourceName(options, state, fileIndex);
    const char* fileName = state.fileNames[fileIndex].c_str();
    int64_t fileSize = 0;
    const bool writtenBack = fileIndex == 0 && options.overwriteMode;
    const platform::FileHandle fd = openSource(state, fileName, writtenBack, fileSize);
    const auto file = std::make_unique<FileCursor>(fd, fileSize);

    logLine(kLevelInfo, "  [info] FileName : %s", fileName);
    if (reportMode) logLine(kLevelInfo, "  [info] FileSize : %d", static_cast<int32_t>(fileSize));
    if (!file->textAt(0, "RIFF")) fail(Fatal::kNotRiff);
    if (reportMode) {
        logLine(kLevelInfo, "  [info] FileType : %c%c%c%c", file->byteAt(0), file->byteAt(1), file->byteAt(2),
                file->byteAt(3));
        logLine(kLevelInfo, "  [info] RIFFSize : %d", file->int32At(4));
    }
    if (!file->textAt(8, "WAVE")) fail(Fatal::kNotWave);
    if (reportMode) {
        logLine(kLevelInfo, "  [info] RIFFType : %c%c%c%c", file->byteAt(8), file->byteAt(9), file->byteAt(10),
                file->byteAt(11));
    }

    FormatInfo format;
    memset(&format, 0, sizeof format);
    bool haveFormat = false;
    int32_t factSteps = 0;
    PcmSource* source = nullptr;
    // The picture of an info source is drawn from the same pass as its statistics.
    std::unique_ptr<WavePicture> picture;

    int64_t offset = 12;
    while (offset < fileSize) {
        // Fewer than 8 bytes cannot hold a chunk header: the walk ends quietly.
        if (fileSize - offset < 8) break;
        const int kind = chunkKind(*file, offset);
        const int32_t size = file->int32At(offset + 4);
        const int64_t bodyAt = offset + 8;
        if (reportMode) {
            logLine(kLevelInfo, "- [INFO] chunk info -------------------------------");
            if (kind == kChunkUnknown) {
                logLine(kLevelWarning, "W [info] chunk type : unknown, [%c%c%c%c].", file->byteAt(offset),
                        file->byteAt(offset + 1), file->byteAt(offset + 2), file->byteAt(offset + 3));
            } else {
                logLine(kLevelInfo, "  [info] chunk type : %s", chunkName(kind));
            }
            logLine(kLevelInfo, "  [info] chunk size : %d bytes.", size);
        }

        if (kind == kChunkData) {
            checkDataFormat(format, haveFormat);
            const int64_t present = fileSize - bodyAt;
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
                fail(Fatal::kFactMismatch, factSteps, declaredSteps);
            }
            if (steps >= 1) {
                source = apmallocZeroed<PcmSource>();
                source->fileName = fileName;
                source->steps = steps;
                source->format = format;
                source->fd = fd;
                source->dataOffset = bodyAt;
                if (options.bitmapEnabled && options.operationClass == kClassInfo) {
                    picture = startPicture(options, state, fileName, format, steps, "");
                }
                analyseSource(options, state, source, reportMode, reportMode ? kNeedSound | kNeedExtremes : needs,
                              picture.get());
                break;  // nothing after the analysed sound is read
            }
            if (usable != size) break;  // the chunk reaches the end of the file
        } else if (size < 0) {
            break;
        } else if (kind == kChunkFormat) {
            uint8_t bytes[24];
            file->copy(offset, bytes, 8);
            file->copy(bodyAt, bytes + 8, size < 16 ? size : 16);
            if (size < 16) memset(bytes + 8 + size, 0, static_cast<size_t>(16 - size));
            format = readFormatInfo(bytes);
            haveFormat = true;
            printFormat(format);
        } else if (kind == kChunkFact) {
            factSteps = factLength(*file, bodyAt, size);
        }

        offset = bodyAt + size;
        // Writers pad an odd-sized chunk with a zero byte; skip it when it is there.
        if ((size & 1) != 0 && offset < fileSize && file->byteAt(offset) == 0) offset++;
    }

    if (picture) finishPicture(*picture);
    if (reportMode) logLine(kLevelInfo, "- [info] file info = EOF ==========================");
    return source;
}

int reportSource(const Settings& options, RunState& state) {
    const PcmSource* source = readSource(options, state, 0, 1);
    if (source != nullptr && options.exitCodeMode == 1) return source->format.channels;
    if (source != nullptr && options.exitCodeMode == 2) return source->format.bitsPerSample;
    return state.filesWritten;
}
