// Every call the program makes to the operating system goes through here. Failures are returned
// as negative error numbers (errno values negated); nothing here logs or ends the run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// An open file, or kNoFile.
using FileHandle = intptr_t;
inline constexpr FileHandle kNoFile = -1;

// Which file a name or an open file is: the same pair is the same file, whatever its names.
struct FileId {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileId&) const = default;
};

// What the file system says of a file (following symbolic links).
struct FileInfo {
    bool regular = false;
    bool directory = false;
    bool pipe = false;
    bool stream = false;  // read as it arrives, without seeking: a pipe, a socket, a terminal
    int64_t size = 0;
    int64_t modified = 0;  // nanoseconds
    int64_t changed = 0;   // the status change time, nanoseconds: no user can set it back
    uint32_t owner = 0;
    uint32_t group = 0;
    uint32_t mode = 0;  // permission bits
    int64_t links = 0;
    uint64_t device = 0;
    uint64_t inode = 0;
    FileId id() const { return FileId{device, inode}; }
};

// 0 and `info` filled, or the failure (-ENOENT for a name that does not exist).
int statPath(const std::string& name, FileInfo& info);
int statFile(FileHandle file, FileInfo& info);
// 0 when this process (its effective user) may write the existing file `name`, or the failure.
int mayWrite(const std::string& name);
// 0 when this process may make and remove names in `folder` ("" is the current folder).
int mayChangeFolder(const std::string& folder);
// The name with every symbolic link and relative part resolved, or `name` itself when that fails.
std::string resolvedPath(const std::string& name);
// The folder for temporary files: $TMPDIR, or /tmp; with a trailing separator.
std::string temporaryFolder();
int processId();
// The system's words for a failure, a negative errno value ("No space left on device").
const char* errorText(int error);

FileHandle openForReading(const std::string& name, int& error);
// Opens an existing file for writing, without cutting it short (`truncate` for devices only).
FileHandle openForWriting(const std::string& name, bool truncate, int& error);
int closeFile(FileHandle file);

// A folder held open: names in it are reached through it, whatever later happens to the
// folder's own name (on Windows, which has no such handles here, through its path).
struct Folder {
    FileHandle handle = kNoFile;
    std::string path;  // as opened, with its trailing separator ("" for the current folder)
};
// Opens `path` ("" is the current folder) as a folder: 0, or the failure.
int openFolder(const std::string& path, Folder& folder);
void closeFolder(Folder& folder);
// What the name `base` in `folder` is, without following it when it is a symbolic link (then
// `link` is set and the rest describes the link itself).
int statIn(const Folder& folder, const std::string& base, FileInfo& info, bool& link);
// A file without a name in `folder`, readable and writable by this user alone; it vanishes when
// closed or when the process dies. -EOPNOTSUPP where the file system has no such files.
FileHandle createUnnamedIn(const Folder& folder, int& error);
// A new file `base` in `folder`, readable and writable by this user alone; -EEXIST when the name
// is taken (by anything, a symbolic link included).
FileHandle createExclusiveIn(const Folder& folder, const std::string& base, int& error);
// Opens the existing regular file `base` in `folder` for reading, or for reading and writing;
// a symbolic link under that name is refused (-ELOOP), never followed.
FileHandle openExistingIn(const Folder& folder, const std::string& base, bool writing, int& error);
// Gives the open file without a name the new name `base` in `folder`.
int nameUnnamedIn(FileHandle file, const Folder& folder, const std::string& base);
// Puts `from` in place of `to`, both in `folder`, in one step.
int renameIn(const Folder& folder, const std::string& from, const std::string& to);
int removeIn(const Folder& folder, const std::string& base);
// Makes the folder's names (files made, renamed or removed in it) last through a power cut.
int syncFolder(const Folder& folder);
// Takes an exclusive lock on the open file (open for reading is enough), which other runs taking
// it respect, waiting up to `waitMilliseconds` for a holder to let go: 0, or -EAGAIN when it is
// still held, or another failure (0 where the file system has no locks). The lock goes with the
// file's closing.
int lockFile(FileHandle file, int waitMilliseconds);
// Whether another open of the file (any process's) may write it: 1 when one does, 0 when none
// does or it cannot be told. `readOnly` is open for reading only, and no other open of this
// process writes the file.
int writtenElsewhere(FileHandle readOnly);
// Makes `to` (empty) a copy of `from` that shares its blocks, where the file system can: 0, or
// -EOPNOTSUPP where it cannot (the caller copies).
int cloneInto(FileHandle from, FileHandle to);

// Reads up to `count` bytes at `offset`: the bytes read (0 at the end), or the failure.
int64_t readAt(FileHandle file, void* bytes, int64_t count, int64_t offset);
// Writes all of `count` bytes, at the file position or at `offset`: 0 or the failure. Short
// writes are resumed, and a stream left non-blocking is waited for until it takes the rest.
int writeAll(FileHandle file, const void* bytes, int64_t count);
int writeAllAt(FileHandle file, const void* bytes, int64_t count, int64_t offset);
// Copies up to `count` bytes of `from` at `offset` to the position of `to` inside the kernel:
// the bytes copied, which may be fewer (or 0) where it cannot copy between these files.
int64_t copyBetween(FileHandle from, int64_t offset, FileHandle to, int64_t count);
// Reserves room for `length` bytes without changing the file's length or contents: 0, or the
// failure (0 where the file system cannot reserve).
int reserve(FileHandle file, int64_t length);
int setLength(FileHandle file, int64_t length);
int sync(FileHandle file);
int setOwner(FileHandle file, uint32_t owner, uint32_t group);
int setMode(FileHandle file, uint32_t mode);
// The permission bits a new file gets (0666 less the process's mask).
uint32_t newFileMode();

// Reads up to `count` bytes at the file's position: the bytes read (0 at the end), or the failure.
// A stream left non-blocking is waited for, as writeAll waits to write to one.
int64_t readNext(FileHandle file, void* bytes, int64_t count);
// The file's position, or the failure.
int64_t positionOf(FileHandle file);
// An unnamed file in the temporary folder for a source that arrives as a stream, readable and
// writable by this user alone; where the file system has no unnamed files, a private name is
// made and removed at once.
FileHandle createSpool(int& error);

// The standard streams. Each one the process was started without is held open on the null
// device, so that no file the run opens takes its place and is taken for it; called before
// anything is opened.
void holdStandardStreams();
// Whether standard input (0), output (1) or error (2) was closed when the process started.
bool standardStreamClosed(int which);
// Whether `name` means standard output as a destination: "-", /dev/stdout, /dev/fd/1 or
// /proc/self/fd/1 (whatever standard output is, a regular file included), or another name of the
// pipe or socket that standard output is.
bool namesStandardOutput(const std::string& name);
// Whether `name` is one the system keeps for a device in every folder and under every extension:
// on Windows NUL, CON, AUX, PRN, COM1-COM9 and LPT1-LPT9, in any case ("nul.wav" and "d\NUL"
// are the null device too). Never on POSIX, where a device is a file like any other.
bool namesReservedDevice(const std::string& name);
// 0 when standard output is open for writing, or the failure.
int standardOutputWritable();
FileHandle standardOutput();
// Whether a source opened under `name` is standard input: named so, or the same stream.
bool isStandardInput(const std::string& name, const FileInfo& opened);
// Standard input as a source, under a handle of its own.
FileHandle openStandardInput(int& error);

// `utf8` in Shift_JIS (code page 932), or `utf8` itself where it cannot be converted.
std::string toShiftJis(const std::string& utf8);

// The command line as UTF-8 strings, the program's name first. On POSIX the arguments are
// taken as they are; on Windows they are read from the UTF-16 command line, whatever the code
// page.
std::vector<std::string> commandLineArguments(int argc, char** argv);
// The value of the environment variable `name` (UTF-8), empty when it is not set.
std::string environmentValue(const char* name);
// Writes `text` (UTF-8, or Shift_JIS when `shiftJis`) to `stream`, standard output or the error
// stream, without flushing it. On POSIX these are the bytes as they are; on a Windows console the
// characters are written as such, whatever the console's code page, and a redirected stream gets
// the bytes with its line ends as CRLF.
void writeText(FILE* stream, const std::string& text, bool shiftJis = false);

// Compares two strings ignoring letter case, as the C library does in the current locale.
int compareIgnoringCase(const char* a, const char* b);
// Where the last component of `path` begins: just after its last folder separator, 0 when it
// has none. The separator is '/'; on Windows also '\\' and the colon after a drive letter
// ("C:take.wav").
size_t baseNameStart(const std::string& path);

// A closed pipe and a file-size limit fail the write instead of ending the process. Called
// first thing in a run: a source read from a stream is written to a temporary file before any
// result is.
void ignoreWriteSignals();
// Every signal whose default action ends the process (terminate, interrupt, hang-up, quit,
// abort, the user and realtime signals, the timers and the limits; a fault such as SIGSEGV
// where nothing else handles it; on Windows the console's stop events, abort and a crash)
// removes every name remembered below, then ends the process as it would have; a signal the
// run was started to ignore stays ignored. Also ignores as ignoreWriteSignals does. Installed
// once.
void prepareForWriting();
// Remembers a temporary file's name to be removed when the process is stopped: a slot, or -1
// when no slot is free (the name is then not removed).
int rememberTemporaryName(const Folder& folder, const std::string& base);
void forgetTemporaryName(int& slot);

// Holds the stopping signals back in this thread while it lives: while a temporary name is
// made or removed together with its slot, while a file is put in place, and while a thread is
// started (which then never takes them: they stay with the main thread). The faults an
// instruction raises are never held back.
class StopSignalsHeld {
  public:
    StopSignalsHeld();
    ~StopSignalsHeld();
    StopSignalsHeld(const StopSignalsHeld&) = delete;
    StopSignalsHeld& operator=(const StopSignalsHeld&) = delete;

  private:
    alignas(16) unsigned char previous_[256];
};

}  // namespace platform
