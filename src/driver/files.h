// Writing files so that a failure never leaves a truncated file behind.
#pragma once

#include <cstdint>
#include <string>

// A file being written. The bytes go to a new file beside the destination, which replaces the
// destination only when all of it is written and closed: a run that fails or ends early never
// leaves a truncated file and never damages the file that was there. A destination that exists
// and is not a regular file (a device, a pipe) is written directly; a symbolic link is written
// through. The first failure is kept and later writes are skipped, so that the caller reports it
// where it reports the outcome. A file neither committed nor abandoned is abandoned when the
// object goes (a run ended by an error leaves nothing behind).
struct OutputFile {
    int fd = -1;
    int error = 0;           // the first failure, a negative errno value
    std::string target;      // the file that commit replaces or writes
    std::string temporary;   // empty when the destination itself is being written
    unsigned int mode = 0;   // permissions of a replaced destination
    bool keepMode = false;

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();
};

// Starts writing `name`. Returns 0, or the failure (also kept in file.error).
int openOutput(OutputFile& file, const char* name);
// Appends `count` bytes, resuming after short writes and interruptions.
void writeOutput(OutputFile& file, const uint8_t* bytes, int64_t count);
// Closes the file and puts it in place. Returns 0, or the first failure of the whole write, in
// which case nothing has been replaced.
int commitOutput(OutputFile& file);
// Closes and removes what was written, leaving the destination as it was.
void abandonOutput(OutputFile& file);

// Writes `head` followed by `body` as the file `name` in one go. Returns 0 or a negative errno.
int writeFileWhole(const char* name, const uint8_t* head, int64_t headBytes, const uint8_t* body,
                   int64_t bodyBytes);
