#include "wave/source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bitmap/waveform.h"
#include "driver/buffers.h"
#include "driver/command_line.h"
#include "driver/files.h"
#include "driver/log.h"

namespace {

enum ChunkKind { kChunkUnknown = -1, kChunkFormat = 1, kChunkData = 2, kChunkFact = 3 };

// The files the run reads from, closed together at the end of the run, with their length and
// modification time when opened.
struct OpenSource {
    int fd;
    std::string name;
    off_t size;
    struct timespec modified;
};
std::vector<OpenSource> openSources;
// Standard input has been taken as a source: a stream can be read only once.
bool standardInputRead = false;

// Reads all of [at, at + count) or fails with the read error line.
void readExactly(int fd, int64_t at, uint8_t* out, int64_t count) {
    while (count > 0) {
        const ssize_t n = pread(fd, out, static_cast<size_t>(count), at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) logFatal("E [QOR] File read error.");
        out += n;
        at += n;
        count -= n;
    }
}

// Read access to a source file that cannot leave it: bytes beyond the end read as zero. The
// head of the file, where the chunk headers usually lie, is read once and kept.
struct FileCursor {
    int fd;
    int64_t size;
    uint8_t head[4096];
    int64_t headBytes;

    FileCursor(int file, int64_t fileSize) : fd(file), size(fileSize) {
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
        logFatal("E [FORMAT] unknown datatype.");
    }
}

// Whether an opened source is standard input: named so, or the same pipe, socket or terminal.
bool isStandardInput(const char* name, const struct stat& opened) {
    for (const char* alias : {"-", "/dev/stdin", "/dev/fd/0", "/proc/self/fd/0"}) {
        if (strcmp(name, alias) == 0) return true;
    }
    struct stat input;
    return !S_ISREG(opened.st_mode) && fstat(0, &input) == 0 && input.st_dev == opened.st_dev &&
           input.st_ino == opened.st_ino;
}

// Closes a descriptor when the run ends on the way.
struct ClosedOnExit {
    int fd;
    ~ClosedOnExit() {
        if (fd >= 0) close(fd);
    }
};

// A stream cannot seek, and a source is read at the places its chunks lie, from either end:
// what the stream carries is copied as it arrives into an unnamed temporary file, which is then
// read as any file. A block at a time is held, whatever the length. Returns the temporary file.
int spoolSource(int stream, const char* name) {
    const ClosedOnExit input{stream};
    ClosedOnExit spool{openUnnamedTemporary()};
    if (spool.fd < 0) logFatal("E [QOR] cannot spool input stream. [%s]", name);
    std::vector<uint8_t> block(size_t{1} << 20);
    int64_t total = 0;
    for (;;) {
        const ssize_t n = read(stream, block.data(), block.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) logFatal("E [QOR] File read error.");
        if (n == 0) break;
        total += n;
        // Past the largest source there is no need to keep the rest.
        if (total > INT32_MAX) logFatal("E [QOR] too large input file. [%s]", name);
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(spool.fd, block.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) logFatal("E [QOR] cannot spool input stream. [%s]", name);
            done += w;
        }
    }
    const int fd = spool.fd;
    spool.fd = -1;
    return fd;
}

// Opens a source for reading and returns its descriptor and size; the file is counted as the
// run's area for it, as if it were held whole. "-" is standard input; a stream (a pipe, a
// socket, a terminal) is spooled first, and so is standard input when it is a file read partway.
int openSource(const char* name, int64_t& size) {
    const bool dash = strcmp(name, "-") == 0;
    int fd = -1;
    if (!dash) {
        fd = open(name, O_RDONLY | O_CLOEXEC);
    } else if (!standardDescriptorClosed(0)) {
        fd = fcntl(0, F_DUPFD_CLOEXEC, 0);
    }
    if (fd < 0) logFatal("E [QOR] Error input file not found. [%s]", name);
    struct stat status;
    if (fstat(fd, &status) != 0) {
        close(fd);
        logFatal("E [QOR] cannot get file status.");
    }
    if (isStandardInput(name, status)) {
        if (standardInputRead) {
            close(fd);
            logFatal("E [QOR] standard input can be read as one source only. [%s]", name);
        }
        standardInputRead = true;
    }
    const bool stream = S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) || S_ISCHR(status.st_mode);
    if (stream || (dash && S_ISREG(status.st_mode) && lseek(fd, 0, SEEK_CUR) != 0)) {
        fd = spoolSource(fd, name);
        if (fstat(fd, &status) != 0) {
            close(fd);
            logFatal("E [QOR] cannot get file status.");
        }
    }
    openSources.push_back(OpenSource{fd, name, status.st_size, status.st_mtim});
    size = status.st_size;
    if (size > INT32_MAX) logFatal("E [QOR] too large input file. [%s]", name);
    countArea();
    return fd;
}

// A name that got ".WAV" from the parser may be meant for a file ending in ".wav": on a
// case-sensitive file system the two differ. When only the ".wav" file exists, that is the
// source; when neither exists, the name as written is, if it exists and is no folder (a file
// without an extension, a named pipe, /dev/stdin, /dev/fd/N). The name is rewritten in place so
// that every later line shows the file read. With /W the destination is that same file.
void settleSourceName(Settings& options, int fileIndex) {
    if (!options.extensionAppended[fileIndex]) return;
    char* name = options.fileNames[fileIndex];
    struct stat status;
    if (stat(name, &status) == 0 || errno != ENOENT) return;
    std::string settled(name);
    settled.replace(settled.size() - 4, 4, ".wav");
    if (stat(settled.c_str(), &status) != 0) {
        settled.resize(settled.size() - 4);
        if (stat(settled.c_str(), &status) != 0 || S_ISDIR(status.st_mode)) return;
    }
    // beginResult reads the destination, and the picture's check against the sources the names.
    if (fileIndex == 0 && options.overwriteMode && options.destName != nullptr &&
        strcmp(options.destName, name) == 0) {
        strcpy(options.destName, settled.c_str());
    }
    strcpy(name, settled.c_str());
}

}  // namespace

void checkSourcesUnchanged() {
    for (const OpenSource& source : openSources) {
        struct stat status;
        if (fstat(source.fd, &status) != 0 || status.st_size != source.size ||
            status.st_mtim.tv_sec != source.modified.tv_sec || status.st_mtim.tv_nsec != source.modified.tv_nsec) {
            logFatal("E [QOR] source file changed while read. [%s]", source.name.c_str());
        }
    }
}

void closeSources() {
    for (const OpenSource& source : openSources) close(source.fd);
    openSources.clear();
    standardInputRead = false;
}

PcmSource* readSource(Settings& options, int fileIndex, int reportMode, unsigned needs) {
    if (reportMode) logLine(kLevelInfo, "- [INFO] file info ================================");
    settleSourceName(options, fileIndex);
    const char* fileName = options.fileNames[fileIndex];
    int64_t fileSize = 0;
    const int fd = openSource(fileName, fileSize);
    const auto file = std::make_unique<FileCursor>(fd, fileSize);

    logLine(kLevelInfo, "  [info] FileName : %s", fileName);
    if (reportMode) logLine(kLevelInfo, "  [info] FileSize : %d", static_cast<int32_t>(fileSize));
    if (!file->textAt(0, "RIFF")) logFatal("E [info] file is not RIFF.");
    if (reportMode) {
        logLine(kLevelInfo, "  [info] FileType : %c%c%c%c", file->byteAt(0), file->byteAt(1), file->byteAt(2),
                file->byteAt(3));
        logLine(kLevelInfo, "  [info] RIFFSize : %d", file->int32At(4));
    }
    if (!file->textAt(8, "WAVE")) logFatal("E [info] file is not WAVE.");
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
                logFatal("E [FORMAT] unmatch length, fact/data [%d/%d].", factSteps, declaredSteps);
            }
            if (steps >= 1) {
                source = apmallocZeroed<PcmSource>();
                source->fileName = fileName;
                source->steps = steps;
                source->format = format;
                source->fd = fd;
                source->dataOffset = bodyAt;
                if (options.bitmapEnabled && options.operationClass == kClassInfo) {
                    picture = startPicture(options, fileName, format, steps);
                }
                analyseSource(options, source, reportMode, reportMode ? kNeedSound | kNeedExtremes : needs,
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

    if (picture) finishPicture(*picture, options);
    if (reportMode) logLine(kLevelInfo, "- [info] file info = EOF ==========================");
    return source;
}
