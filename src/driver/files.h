// Writing files so that a run that fails never loses or damages one.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

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
        kSpool,         // the temporary file is copied into a pipe or standard output
        kDirect,        // the destination itself (a device) is written
    };

    int fd = -1;
    int error = 0;                  // the first failure, a negative errno value
    std::string target;             // the file put in place (an existing one resolved through links)
    Way way = Way::kRename;
    bool refused = false;           // a destination this process may not write, found before any byte
    bool exists = false;            // the destination existed when the run began
    uid_t owner = 0;                // the existing destination's owner, group and mode
    gid_t group = 0;
    mode_t mode = 0;
    int64_t length = 0;             // bytes written
    std::string temporary;          // a named temporary file (empty when it has no name)
    int cleanupSlot = -1;           // where a temporary name is kept for the signal handler
    std::string staged;             // the complete file's private name, ready to be renamed
    int stagedSlot = -1;
    int targetFd = -1;              // the destination of a write-through, open and its space reserved
    std::string kept;               // where a failed write-through left the complete result
    int streamFd = -1;              // the descriptor a spooled result goes to (standard output), or -1

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();
};

// Holds the stopping signals back in this thread while it lives: while a temporary file gets or
// loses a name together with its entry in the table the handler reads, while a file is put in
// place, and while a thread is started, which then never takes them (they stay with the main
// thread).
struct CleanupSignalsHeld {
    sigset_t previous;
    CleanupSignalsHeld();
    ~CleanupSignalsHeld();
    CleanupSignalsHeld(const CleanupSignalsHeld&) = delete;
    CleanupSignalsHeld& operator=(const CleanupSignalsHeld&) = delete;
};

// Sets up what every run that writes needs before it writes: the handler that removes named
// temporary files on SIGTERM, SIGINT and SIGHUP, and SIGPIPE and SIGXFSZ ignored so that a
// closed pipe or a file-size limit fails a write (and the run ends through its error path)
// instead of killing the process with its temporary files.
void prepareForWriting();

// Keeps each standard descriptor (input, output, error) that the process was started without
// open on /dev/null, so that no file the run opens takes its number and is taken for it;
// standardDescriptorClosed then still tells that it was closed. Called before anything is opened.
void holdStandardDescriptors();
bool standardDescriptorClosed(int fd);

// Whether `name` means standard output as a destination: "-", /dev/stdout, /dev/fd/1 or
// /proc/self/fd/1 (whatever standard output is, a regular file included), or another name of the
// pipe or socket that standard output is. Such a result is written to descriptor 1, never by
// opening or replacing the file the name leads to.
bool namesStandardOutput(const char* name);

// Opens an unnamed temporary file for reading and writing in the temporary folder ($TMPDIR, or
// /tmp), readable by this user only; where the file system has no unnamed files, a private name
// is made and removed at once. Returns the descriptor, or -1 with errno set.
int openUnnamedTemporary();

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
int64_t copyIntoOutput(OutputFile& file, int from, int64_t offset, int64_t count);
// Puts the complete file in place in two steps: prepareOutput readies it without changing any
// name in use (mode, sync, a private name, reserved space), placeOutput then renames or copies
// it into place; commitOutput does both. Each returns 0, or the failure, in which case the
// destination is as it was; only a write-through whose copy failed part way leaves it changed,
// and then `kept` names the complete result when it could be kept.
int prepareOutput(OutputFile& file);
int placeOutput(OutputFile& file);
int commitOutput(OutputFile& file);
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
