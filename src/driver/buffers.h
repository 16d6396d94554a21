// Tracked buffers, released together at the end of a run, and whole-file loading.
#pragma once

#include <cstddef>
#include <cstdint>

// The size value that asks apmalloc to release every tracked buffer.
inline constexpr size_t kReleaseAll = static_cast<size_t>(-1);

// Allocates `size` bytes (contents undefined) and registers them for the release at the end of
// the run; ends the run when memory is exhausted. apmalloc(kReleaseAll) frees everything.
void* apmalloc(size_t size);

// Typed convenience over apmalloc.
template <typename T>
T* apmallocZeroed() {
    void* p = apmalloc(sizeof(T));
    __builtin_memset(p, 0, sizeof(T));
    return static_cast<T*>(p);
}

// Registers an area that shares memory already registered (a result built where its samples
// lie, a step sequence reversed in place): the release counts the areas a run works with,
// whether or not each needed memory of its own.
void noteSharedArea();

// Number of buffers currently registered (the table itself not included).
int trackedBufferCount();

// Reads the file `name` whole into a tracked buffer. On return `image` points at the file's first
// byte; one zero byte lies before the image and one after it. Returns the size in bytes.
int64_t loadFileImage(const char* name, uint8_t** image);
