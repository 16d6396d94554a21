#include "base/buffers.h"

#include <cstdlib>
#include <cstring>

#include "base/log.h"

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
        if (registryTable == nullptr) fail(Fatal::kOutOfMemory);
        blockCount = 1;
    } else if (registeredCount > 0 && registeredCount % kSlotsPerBlock == 0) {
        int slots = (blockCount + 1) * kSlotsPerBlock + 1;
        void** grown = static_cast<void**>(malloc(sizeof(void*) * slots));
        if (grown == nullptr) fail(Fatal::kOutOfMemory);
        memcpy(grown, registryTable, sizeof(void*) * (blockCount * kSlotsPerBlock + 1));
        free(registryTable);
        registryTable = grown;
        blockCount++;
    }
    registryTable[registeredCount++] = buffer;
}

void releaseAll() {
    if (registeredCount == 0) return;
    logLine(kLevelInfo, "- [APMALLOC] unhandling buffers, %d areas.", registeredCount + 1);
    discardTrackedBuffers();
}

}  // namespace

void discardTrackedBuffers() {
    for (int i = 0; i < registeredCount; i++) free(registryTable[i]);
    free(registryTable);
    registryTable = nullptr;
    registeredCount = 0;
    blockCount = 0;
}

void* apmalloc(size_t size) {
    if (size == kReleaseAll) {
        releaseAll();
        return nullptr;
    }
    void* buffer = malloc(size == 0 ? 1 : size);
    if (buffer == nullptr) fail(Fatal::kOutOfMemory);
    registerBuffer(buffer);
    return buffer;
}

void countArea() { registerBuffer(nullptr); }

