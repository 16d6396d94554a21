// Writing files so that a run that fails never loses or damages one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/platform.h"

// A file being written. Its bytes go to a temporary file without a name in the destination's
// folder (or, where the file system has no unnamed files, a private 0600 name), which takes the
// destination's place only when the run has completed every result: synced when it replaces an
// existing file, given the old file's owner, group and mode, linked to a private name and
// renamed over the destination. Where the new file cannot be given the old owner and group, or
// the destination has other hard links, the complete result is instead copied into the existing
// file (written through): the space is reserved first, the file is never truncated before the
// copy, and if the copy still fails the complete result is kept under a name of its own. A
// named pipe, and standard output, get the result from an unnamed file in the temporary folder
// once it is complete; other devices are written directly. The first failure is kept and later
// writes are skipped, so that the caller reports it where it reports the outcome.
struct OutputFile {
    enum class Way {
        kRename,        // the temporary file is renamed over the destination (or to a new name)
        kWriteThrough,  // the temporary file is copied into the existing destination
        kSpool,         // the temporary file is copied into a pipe or standard output or standard output
        kDirect,        // the destination itself (a device) is written
    };

    platform::FileHandle fd = platform::kNoFile;
    int error = 0;                  // the first failure, a negative errno value
    std::string target;             // the file put in place (an existing one resolved through links)
    Way way = Way::kRename;
    bool refused = false;           // a destination this process may not write, found before any byte
    bool exists = false;            // the destination existed when the run began
    uint32_t owner = 0;             // the existing destination's owner, group and mode
    uint32_t group = 0;
    uint32_t mode = 0;
    int64_t length = 0;             // bytes written
    std::string temporary;          // a named temporary file (empty when it has no name)
    int cleanupSlot = -1;           // where a temporary name is kept for the signal handler
    std::string staged;             // the complete file's private name, ready to be renamed
    int stagedSlot = -1;
    platform::FileHandle targetFd = platform::kNoFile;  // a write-through's destination, its space reserved
    std::string kept;               // where a failed write-through left the complete result
    platform::FileHandle stream = platform::kNoFile;  // where a spooled result goes when not by name: standard output

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();
};

// Whether `name` may be written: 0, or the failure a write would meet (a negative errno value:
// an existing file or a folder this process may not write, a folder in the way, a missing
// folder). Nothing is created.
int checkDestination(const char* name);

// Starts writing `name`. Returns 0, or the failure (also kept in file.error). A destination
// that may not be written is refused here, before any byte, and left untouched.
int openOutput(OutputFile& file, const char* name);
// Appends `count` bytes, resuming after short writes and interruptions.
void writeOutput(OutputFile& file, const uint8_t* bytes, int64_t count);
// Appends up to `count` bytes of the file `from`, starting at `offset`, copied by the kernel
// without passing through this process. Returns the bytes copied; it stops short, without
// recording a failure, where the kernel cannot copy between these files or anything goes wrong,
// so that the caller writes the rest the usual way and meets any failure there.
int64_t copyIntoOutput(OutputFile& file, platform::FileHandle from, int64_t offset, int64_t count);
// Puts the complete file in place in two steps: prepareOutput readies it without changing any
// name in use (mode, sync, a private name, reserved space), placeOutput then renames or copies
// it into place. Each returns 0, or the failure, in which case the
// destination is as it was; only a write-through whose copy failed part way leaves it changed,
// and then `kept` names the complete result when it could be kept.
int prepareOutput(OutputFile& file);
int placeOutput(OutputFile& file);
// Closes and removes what was written, leaving the destination as it was.
void abandonOutput(OutputFile& file);

// Complete files wait here until the run has made every result, then are put in place together
// in the order they were held. `failed` reports a file that could not be put in place; it may
// end the run (the files held after it are then abandoned).
void holdForCommit(std::unique_ptr<OutputFile> file, std::function<void(const OutputFile&)> failed);
void commitHeld();
// Removes every held file: the run ended without completing.
void abandonHeld();

// Writes `head` followed by `body` as the file `name`, held for the commit at the end of the
// run. Returns 0 or a negative errno (nothing is then held); `failed` reports a failure to put
// it in place.
int writeFileWhole(const char* name, const uint8_t* head, int64_t headBytes, const uint8_t* body,
                   int64_t bodyBytes, std::function<void(const OutputFile&)> failed);
