// Tracked buffers, released together at the end of a run.
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

// Counts an area the run works with that needs no memory of its own: a source file or a result,
// which are read and written block by block rather than held whole.
void countArea();

// Frees every tracked buffer without the release line: the run ended with an error.
void discardTrackedBuffers();
