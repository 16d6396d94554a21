// Writing files so that a run that fails never loses or damages one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

// A file being written. Its bytes go to a temporary file without a name in the destination's
// folder (or, where the file system has no unnamed files, a private 0600 name), which takes the
// destination's place only when the run has completed every result: synced, given the old
// file's owner, group and mode, and renamed over the destination (a new name is linked in one
// step that never replaces anything). The folder is held open from the check to the commit, so
// every name is reached through it, and the file replaced must still be the one checked.
//
// Where the destination has other hard links, or the new file cannot be given the old owner
// and group, the result is written through into the existing file instead, as a transaction:
// the file is locked against other runs, its old bytes are copied to a private backup beside it
// (.NAME.qor-backup-PID) and synced, then the result is copied in, its length set, the file
// synced and the backup removed. A failure on the way copies the old bytes back; only when that
// fails too is the backup kept, and named.
//
// A named pipe, and standard output, get the result from an unnamed file in the temporary folder
// once it is complete; other devices are written directly. The first failure is kept and later
// writes are skipped, so that the caller reports it where it reports the outcome.
struct OutputFile {
    enum class Way {
        kRename,        // the temporary file is renamed over the destination (or to a new name)
        kWriteThrough,  // the temporary file is copied into the existing destination
        kSpool,         // the temporary file is copied into a pipe or standard output
        kDirect,        // the destination itself (a device) is written
    };

    platform::FileHandle fd = platform::kNoFile;
    int error = 0;                  // the first failure, a negative errno value
    const char* reason = nullptr;   // a refusal's own words, said instead of the system's
    std::string target;             // the file put in place (an existing one resolved through links)
    platform::Folder folder;        // the target's folder (a spool's: the temporary folder), held open
    std::string base;               // the target's name in its folder
    Way way = Way::kRename;
    bool refused = false;           // a destination this process may not write, found before any byte
    bool exists = false;            // the destination existed when the run began
    platform::FileInfo old;         // the existing destination as checked: its identity, owner and mode
    int64_t length = 0;             // bytes written
    std::string temporary;          // a named temporary file's name in the folder (empty when unnamed)
    int cleanupSlot = -1;           // where a temporary name is kept for the signal handler
    std::string staged;             // the complete file's private name, for the instant before its rename
    int stagedSlot = -1;
    platform::FileHandle lockFd = platform::kNoFile;    // a write-through's destination, read only, locked
    platform::FileHandle targetFd = platform::kNoFile;  // the same, open for writing once locked
    int64_t oldLength = 0;          // its length when locked
    std::string backup;             // a write-through's backup: its name in the folder
    int backupSlot = -1;            // kept for the signal handler until the destination is touched
    platform::FileHandle backupFd = platform::kNoFile;
    std::string kept;               // where the old bytes were kept when they could not be put back
    platform::FileHandle stream = platform::kNoFile;  // where a spooled result goes when not by name: standard output

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();
};

// A file a result must not replace, and why (the words of the refusal's detail line).
struct Avoided {
    platform::FileId id;
    const char* reason;
};

// Whether `name` may be written: 0, or the failure a write would meet (a negative errno value:
// an existing file or a folder this process may not write, a folder in the way, a missing
// folder). Nothing is created.
int checkDestination(const char* name);

// Starts writing `name`. Returns 0, or the failure (also kept in file.error). A destination
// that may not be written, or that is one of the `avoided` files, is refused here, before any
// byte, and left untouched.
int openOutput(OutputFile& file, const char* name, const std::vector<Avoided>& avoided = {});
// Appends `count` bytes, resuming after short writes and interruptions.
void writeOutput(OutputFile& file, const uint8_t* bytes, int64_t count);
// Appends up to `count` bytes of the file `from`, starting at `offset`, copied by the kernel
// without passing through this process. Returns the bytes copied; it stops short, without
// recording a failure, where the kernel cannot copy between these files or anything goes wrong,
// so that the caller writes the rest the usual way and meets any failure there.
int64_t copyIntoOutput(OutputFile& file, platform::FileHandle from, int64_t offset, int64_t count);
// Closes and removes what was written, leaving the destination as it was.
void abandonOutput(OutputFile& file);

// A complete file waiting for the commit, with what reports a file that could not be put in
// place (it may end the run: the files after it are then abandoned).
struct HeldOutput {
    std::unique_ptr<OutputFile> file;
    std::function<void(const OutputFile&)> failed;
};
using HeldOutputs = std::vector<HeldOutput>;

// Puts the complete files in place together, in the order they were held, in two phases: each
// is readied without changing any name in use (synced, its mode set; a write-through's target
// locked and its backup made), then each is renamed or copied into place, and the folders are
// synced. `check` (which ends the run when a source changed) runs once all are readied and
// again immediately before each file takes its place. A failure before the first
// file takes its place leaves every destination as it was. The list is emptied.
void commitOutputs(HeldOutputs& files, const std::function<void()>& check);

// Writes `head` followed by `body` as the file `name`, held in `files` for the commit at the end
// of the run. Returns 0 or a negative errno (nothing is then held); `failed` reports a failure to
// put it in place.
int writeFileWhole(HeldOutputs& files, const char* name, const uint8_t* head, int64_t headBytes, const uint8_t* body,
                   int64_t bodyBytes, const std::vector<Avoided>& avoided,
                   std::function<void(const OutputFile&)> failed);
