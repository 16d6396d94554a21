// Writing whole files so that a failure never leaves a truncated file behind.
#pragma once

#include <cstdint>

// Writes `head` (headBytes) followed by `body` (bodyBytes) as the file `name`. The bytes go to a
// new file in the same folder, which is renamed over `name` only once all of it is written and
// closed: a failed write never leaves a truncated file and never damages the file that was there
// (which keeps its permissions). A name that exists and is not a regular file (a device, a pipe)
// is written directly; a symbolic link is written through. Returns 0, or a negative errno value.
int writeFileWhole(const char* name, const uint8_t* head, int64_t headBytes, const uint8_t* body,
                   int64_t bodyBytes);
