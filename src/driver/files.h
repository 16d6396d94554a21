// Writing files so that a failure never leaves a truncated file behind.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>

// A file being written. The bytes go to a new file beside the destination, which replaces the
// destination only when all of it is written and closed: a run that fails or ends early never
// leaves a truncated file and never damages the file that was there. A replaced file keeps its
// owner, group and mode. Where the new file cannot be given the old owner and group, or the
// destination has other hard links, the complete result is instead copied into the destination
// (written through), so that the owner stays and every name sees the result. A destination that
// exists and is not a regular file (a device, a pipe) is written directly; a symbolic link is
// written through. The first failure is kept and later writes are skipped, so that the caller
// reports it where it reports the outcome. A file neither committed nor abandoned is abandoned
// when the object goes (a run ended by an error leaves nothing behind); a run ended by SIGTERM,
// SIGINT or SIGHUP removes its temporary files before it ends as the signal ends it.
struct OutputFile {
    int fd = -1;
    int error = 0;              // the first failure, a negative errno value
    std::string target;         // the file that commit replaces or writes
    std::string temporary;      // empty when the destination itself is being written
    bool writeThrough = false;  // commit copies the temporary into the target instead of renaming
    bool spooled = false;       // the target is a pipe, fed from an unnamed file once it is complete
    bool refused = false;       // an existing destination this process may not open for writing
    int cleanupSlot = -1;       // where the temporary's name is kept for the signal handler

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();
};

// Holds SIGTERM, SIGINT and SIGHUP back in this thread while it lives: while a temporary file is
// created, renamed or removed together with its entry in the table the handler reads, and while
// a thread is started, which then never takes them (they stay with the main thread).
struct CleanupSignalsHeld {
    sigset_t previous;
    CleanupSignalsHeld();
    ~CleanupSignalsHeld();
    CleanupSignalsHeld(const CleanupSignalsHeld&) = delete;
    CleanupSignalsHeld& operator=(const CleanupSignalsHeld&) = delete;
};

// Starts writing `name`. Returns 0, or the failure (also kept in file.error). An existing
// destination that could not be opened for writing is refused here and left untouched.
int openOutput(OutputFile& file, const char* name);
// Appends `count` bytes, resuming after short writes and interruptions.
void writeOutput(OutputFile& file, const uint8_t* bytes, int64_t count);
// Appends up to `count` bytes of the file `from`, starting at `offset`, copied by the kernel
// without passing through this process. Returns the bytes copied; it stops short, without
// recording a failure, where the kernel cannot copy between these files or anything goes wrong,
// so that the caller writes the rest the usual way and meets any failure there.
int64_t copyIntoOutput(OutputFile& file, int from, int64_t offset, int64_t count);
// Closes the file and puts it in place. Returns 0, or the first failure of the whole write, in
// which case nothing has been replaced (a failed write-through may have left the destination
// partly written).
int commitOutput(OutputFile& file);
// Closes and removes what was written, leaving the destination as it was.
void abandonOutput(OutputFile& file);

// Writes `head` followed by `body` as the file `name` in one go. Returns 0 or a negative errno.
int writeFileWhole(const char* name, const uint8_t* head, int64_t headBytes, const uint8_t* body,
                   int64_t bodyBytes);
