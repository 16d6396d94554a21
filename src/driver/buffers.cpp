#include "driver/buffers.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "driver/log.h"

namespace {

constexpr int kSlotsPerBlock = 64;

// The registry: addresses in registration order. It has blockCount * 64 + 1 slots; the spare
// slot is filled just before the table grows.
void** registryTable = nullptr;
int registeredCount = 0;
int blockCount = 0;

void registerBuffer(void* buffer) {
    if (registryTable == nullptr && registeredCount == 0) {
        registryTable = static_cast<void**>(malloc(sizeof(void*) * (kSlotsPerBlock + 1)));
        if (registryTable == nullptr) logFatal("E [APMALLOC] cannot allocate memory.");
        blockCount = 1;
    } else if (registeredCount > 0 && registeredCount % kSlotsPerBlock == 0) {
        int slots = (blockCount + 1) * kSlotsPerBlock + 1;
        void** grown = static_cast<void**>(malloc(sizeof(void*) * slots));
        if (grown == nullptr) logFatal("E [APMALLOC] cannot allocate memory.");
        memcpy(grown, registryTable, sizeof(void*) * (blockCount * kSlotsPerBlock + 1));
        free(registryTable);
        registryTable = grown;
        blockCount++;
    }
    registryTable[registeredCount++] = buffer;
}

// Large buffers (whole files, whole results) are mapped with their pages made present in one
// go, which costs far less than taking a page fault for each 4 KiB page on first touch. Their
// sizes are kept for the release.
constexpr size_t kMappedFrom = size_t{16} << 20;
std::vector<std::pair<void*, size_t>> mappedBuffers;

void* allocateBytes(size_t size) {
    if (size < kMappedFrom) return malloc(size == 0 ? 1 : size);
    void* buffer = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (buffer == MAP_FAILED) return nullptr;
    mappedBuffers.emplace_back(buffer, size);
    return buffer;
}

void freeBytes(void* buffer) {
    for (auto& [address, size] : mappedBuffers) {
        if (address == buffer) {
            munmap(address, size);
            address = nullptr;
            return;
        }
    }
    free(buffer);
}

void releaseAll() {
    if (registeredCount == 0) return;
    logLine(kLevelInfo, "- [APMALLOC] unhandling buffers, %d areas.", registeredCount + 1);
    for (int i = 0; i < registeredCount; i++) freeBytes(registryTable[i]);
    mappedBuffers.clear();
    free(registryTable);
    registryTable = nullptr;
    registeredCount = 0;
    blockCount = 0;
}

}  // namespace

void* apmalloc(size_t size) {
    if (size == kReleaseAll) {
        releaseAll();
        return nullptr;
    }
    void* buffer = allocateBytes(size);
    if (buffer == nullptr) logFatal("E [APMALLOC] cannot allocate memory.");
    registerBuffer(buffer);
    return buffer;
}

void noteSharedArea() { registerBuffer(nullptr); }

int trackedBufferCount() { return registeredCount; }

int64_t loadFileImage(const char* name, uint8_t** image) {
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) logFatal("E [QOR] Error input file not found. [%s]", name);
    struct stat status;
    if (fstat(fd, &status) != 0) {
        close(fd);
        logFatal("E [QOR] cannot get file status.");
    }
    int64_t size = status.st_size;
    if (size > INT32_MAX) {
        close(fd);
        logFatal("E [QOR] too large input file. [%s]", name);
    }
    // Only the two guard bytes need clearing: the read fills everything between them.
    auto* buffer = static_cast<uint8_t*>(apmalloc(static_cast<size_t>(size) + 2));
    buffer[0] = 0;
    buffer[size + 1] = 0;
    int64_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, buffer + 1 + done, static_cast<size_t>(size - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    // A file that grew while it was read is as wrong as one that shrank.
    uint8_t extra;
    bool grew = done == size && read(fd, &extra, 1) > 0;
    close(fd);
    if (done != size || grew) logFatal("E [QOR] File read error.");
    *image = buffer + 1;
    return size;
}
