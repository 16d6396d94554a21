#include "wave/output.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bitmap/waveform.h"
#include "driver/buffers.h"
#include "driver/command_line.h"
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

bool writeAll(int fd, const uint8_t* bytes, int64_t length) {
    while (length > 0) {
        ssize_t n = write(fd, bytes, static_cast<size_t>(length));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= n;
    }
    return true;
}

// Writes `length` bytes as the file `name` so that a failure never leaves a truncated file nor
// damages the file that was there: the bytes go to a new file in the same folder, which is
// renamed over the destination only once all of it is written and closed. A destination that
// exists and is not a regular file (a device, a pipe) is written directly.
bool writeWholeFile(const char* name, const uint8_t* bytes, int64_t length) {
    std::string target = name;
    struct stat status;
    bool exists = stat(name, &status) == 0;
    if (exists && !S_ISREG(status.st_mode)) {
        int fd = open(name, O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd < 0) return false;
        bool ok = writeAll(fd, bytes, length);
        return close(fd) == 0 && ok;
    }
    // Write through a symbolic link to the file it names, as opening it would.
    if (exists) {
        char* resolved = realpath(name, nullptr);
        if (resolved != nullptr) {
            target = resolved;
            free(resolved);
        }
    }
    size_t slash = target.rfind('/');
    std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
        temporary = folder + "." + base + ".qor-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
        fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    // A replaced file keeps its permissions.
    if (exists) fchmod(fd, status.st_mode & 07777);
    bool ok = writeAll(fd, bytes, length);
    ok = close(fd) == 0 && ok;
    if (ok) ok = rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) unlink(temporary.c_str());
    return ok;
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

uint8_t* allocateSilence(int64_t steps, int64_t blockAlign) {
    uint8_t* buffer = allocateResult(steps, blockAlign);
    memset(buffer, settings.silenceFill, static_cast<size_t>(steps * blockAlign));
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
    if (!writeWholeFile(settings.destName, image, length)) logFatal("E [OUTPUT] cannot output [%s]", settings.destName);
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
    if (!writeWholeFile(name, data, size)) logFatal("E [OUTPUT2] cannot output [%s]", name);
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
