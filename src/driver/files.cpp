#include "driver/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <pthread.h>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace {

int negativeErrno() { return errno > 0 ? -errno : -1; }

void fail(OutputFile& file, int error) {
    if (file.error == 0) file.error = error;
}

// Writes all of `count` bytes at `at` (or at the file position when `at` is negative), resuming
// after short writes and interruptions. Returns 0 or a negative errno value.
int writeAll(int fd, const uint8_t* bytes, int64_t count, int64_t at = -1) {
    while (count > 0) {
        const ssize_t n = at < 0 ? write(fd, bytes, static_cast<size_t>(count))
                                 : pwrite(fd, bytes, static_cast<size_t>(count), at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? negativeErrno() : -EIO;
        bytes += n;
        count -= n;
        if (at >= 0) at += n;
    }
    return 0;
}

// Copies the first `length` bytes of `from` into `to`: at the same offsets, or in order where
// `to` is a stream. Returns 0 or a negative errno value.
int copyFile(int from, int to, int64_t length, bool stream) {
    std::vector<uint8_t> block(static_cast<size_t>(std::min<int64_t>(length, int64_t{1} << 20)) + 1);
    for (int64_t at = 0; at < length;) {
        const ssize_t n = pread(from, block.data(), static_cast<size_t>(std::min<int64_t>(length - at, block.size())), at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? negativeErrno() : -EIO;
        const int written = writeAll(to, block.data(), n, stream ? -1 : at);
        if (written != 0) return written;
        at += n;
    }
    return 0;
}

// Named temporary files (where unnamed ones cannot be made, and for the moment between linking
// a complete file and renaming it), kept in fixed buffers that the signal handler can read
// without allocating. A name is at most a resolved folder (PATH_MAX), a 200-character base and
// the suffix; a name that does not fit is not kept.
constexpr int kCleanupSlots = 8;
constexpr size_t kCleanupNameSize = 4608;
char cleanupNames[kCleanupSlots][kCleanupNameSize];
volatile sig_atomic_t cleanupInUse[kCleanupSlots];

constexpr int kCleanupSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The permission bits a new file gets: the process's umask, read once before any thread starts.
mode_t newFileMode = 0644;

// Removes the named temporary files, then ends the process as the signal would have: the signal
// is blocked while its handler runs, so the raised one arrives, with the default action, on
// return.
void removeTemporaries(int signalNumber) {
    for (int i = 0; i < kCleanupSlots; i++) {
        if (cleanupInUse[i] != 0) unlink(cleanupNames[i]);
    }
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

int rememberName(const std::string& name) {
    if (name.size() >= kCleanupNameSize) return -1;
    for (int i = 0; i < kCleanupSlots; i++) {
        if (cleanupInUse[i] != 0) continue;
        memcpy(cleanupNames[i], name.c_str(), name.size() + 1);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        cleanupInUse[i] = 1;
        return i;
    }
    return -1;
}

void forgetName(int& slot) {
    if (slot >= 0) cleanupInUse[slot] = 0;
    slot = -1;
}

// The folder of `path` with its trailing slash ("" for a bare name) and its last component.
std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}
std::string baseOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A private name in `folder` not taken yet, made by `make` (which creates the file under the
// name it is given and returns 0, or a negative errno value); the name is kept for the signal
// handler in `slot`. Returns the name, or empty with `error` set.
template <typename Make>
std::string privateName(const std::string& folder, const std::string& base, int& slot, int& error, Make make) {
    const CleanupSignalsHeld held;
    // The name stays within the file-name limit however long the base is.
    const std::string stem = folder + "." + base.substr(0, 200) + ".qor-" + std::to_string(getpid()) + "-";
    for (int attempt = 0; attempt < 100; attempt++) {
        std::string name = stem + std::to_string(attempt);
        error = make(name);
        if (error == -EEXIST) continue;
        if (error != 0) return "";
        slot = rememberName(name);
        return name;
    }
    error = -EEXIST;
    return "";
}

// Opens a temporary file in `folder` for reading and writing, readable by this user only: one
// without a name where the file system has them, otherwise a private name.
int openTemporary(OutputFile& file, const std::string& folder) {
    const std::string where = folder.empty() ? "." : folder;
#ifdef O_TMPFILE
    file.fd = open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (file.fd >= 0) return 0;
    // Only a file system without unnamed files falls back to a name; any other failure (no
    // folder, no permission, no room) is the destination's failure.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return negativeErrno();
#endif
    int error = 0;
    file.temporary = privateName(folder, baseOf(file.target), file.cleanupSlot, error, [&](const std::string& name) {
        file.fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        return file.fd < 0 ? negativeErrno() : 0;
    });
    return error;
}

// The temporary folder for results on their way to a pipe.
std::string spoolFolder() {
    const char* folder = getenv("TMPDIR");
    if (folder == nullptr || *folder == '\0') folder = "/tmp";
    std::string name = folder;
    if (name.back() != '/') name += '/';
    return name;
}

// Gives the complete temporary file a name in `folder`: a private one for an unnamed file (a
// named temporary already has one). Returns the name, or empty with `error` set.
std::string nameTemporary(OutputFile& file, const std::string& folder, int& slot, int& error) {
    if (!file.temporary.empty()) {
        error = 0;
        return file.temporary;
    }
    const std::string source = "/proc/self/fd/" + std::to_string(file.fd);
    return privateName(folder, baseOf(file.target), slot, error, [&](const std::string& name) {
        return linkat(AT_FDCWD, source.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : negativeErrno();
    });
}

// After a write-through failed part way, links the complete result to a name of its own beside
// the destination (or in the temporary folder when that folder takes no new name), so that it
// is not lost with the run.
void keepResult(OutputFile& file) {
    for (const std::string& folder : {folderOf(file.target), spoolFolder()}) {
        const std::string name = folder + baseOf(file.target) + ".qor-kept-" + std::to_string(getpid());
        int done = -1;
        if (!file.temporary.empty()) {
            done = link(file.temporary.c_str(), name.c_str());
        } else {
            const std::string source = "/proc/self/fd/" + std::to_string(file.fd);
            done = linkat(AT_FDCWD, source.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
        }
        if (done == 0) {
            file.kept = name;
            return;
        }
    }
}

// Readies a write-through: the destination is opened and the space for the result reserved
// before any byte of it changes, so that a full disk refuses the copy while the destination is
// still whole.
int reserveTarget(OutputFile& file) {
    file.targetFd = open(file.target.c_str(), O_WRONLY | O_CLOEXEC);
    if (file.targetFd < 0) return negativeErrno();
#ifdef FALLOC_FL_KEEP_SIZE
    if (file.length > 0 && fallocate(file.targetFd, FALLOC_FL_KEEP_SIZE, 0, file.length) != 0 &&
        errno != EOPNOTSUPP && errno != ENOSYS) {
        return negativeErrno();
    }
#endif
    return 0;
}

// Copies the complete result into the existing destination, which keeps its owner and its other
// names. The length is set after the copy, so the old contents are never cut short first; if
// the copy fails, the complete result is kept under a name of its own.
int writeThrough(OutputFile& file) {
    int error = copyFile(file.fd, file.targetFd, file.length, false);
    if (error == 0 && ftruncate(file.targetFd, file.length) != 0) error = negativeErrno();
    if (error == 0 && fsync(file.targetFd) != 0) error = negativeErrno();
    if (close(file.targetFd) != 0 && error == 0) error = negativeErrno();
    file.targetFd = -1;
    if (error != 0) keepResult(file);
    return error;
}

// Readies a result that is renamed into place: the old file's mode (its owner and group were
// given when the file was made), synced when it replaces a file, linked to a private name
// beside the destination and closed. No name in use changes.
int stageRename(OutputFile& file) {
    if (fchmod(file.fd, file.exists ? file.mode & 07777 : newFileMode) != 0) return negativeErrno();
    if (file.exists && fsync(file.fd) != 0) return negativeErrno();
    int error = 0;
    const CleanupSignalsHeld held;
    file.staged = nameTemporary(file, folderOf(file.target), file.stagedSlot, error);
    if (file.staged.empty()) return error;
    const int closed = close(file.fd);
    file.fd = -1;
    // A failed close can mean the data never reached the disk: it counts as a failed write.
    return closed == 0 ? 0 : negativeErrno();
}

struct Held {
    std::unique_ptr<OutputFile> file;
    std::function<void(const OutputFile&)> failed;
};
std::vector<Held> held;

}  // namespace

CleanupSignalsHeld::CleanupSignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kCleanupSignals) sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, &previous);
}

CleanupSignalsHeld::~CleanupSignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }

OutputFile::~OutputFile() { abandonOutput(*this); }

void prepareForWriting() {
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    const mode_t mask = umask(0);
    umask(mask);
    newFileMode = 0666 & ~mask;
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = removeTemporaries;
    sigemptyset(&action.sa_mask);
    for (int s : kCleanupSignals) sigaddset(&action.sa_mask, s);
    for (int s : kCleanupSignals) {
        struct sigaction current;
        // A signal the run was started to ignore (nohup) stays ignored.
        if (sigaction(s, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaction(s, &action, nullptr);
    }
}

namespace {
bool closedAtStart[3];
}  // namespace

void holdStandardDescriptors() {
    for (int fd = 0; fd < 3; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        closedAtStart[fd] = true;
        // The lowest free number is this one.
        const int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

bool standardDescriptorClosed(int fd) { return fd >= 0 && fd < 3 && closedAtStart[fd]; }

bool namesStandardOutput(const char* name) {
    for (const char* alias : {"-", "/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}) {
        if (strcmp(name, alias) == 0) return true;
    }
    struct stat named;
    struct stat output;
    return stat(name, &named) == 0 && (S_ISFIFO(named.st_mode) || S_ISSOCK(named.st_mode)) &&
           fstat(1, &output) == 0 && named.st_dev == output.st_dev && named.st_ino == output.st_ino;
}

int openUnnamedTemporary() {
    const std::string folder = spoolFolder();
#ifdef O_TMPFILE
    const int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
#endif
    // No signal can come between making the name and removing it.
    const CleanupSignalsHeld held;
    std::string name = folder + ".qor-" + std::to_string(getpid()) + "-XXXXXX";
    const int named = mkostemp(name.data(), O_CLOEXEC);
    if (named >= 0) unlink(name.c_str());
    return named;
}

int checkDestination(const char* name) {
    if (namesStandardOutput(name)) {
        // Standard output must be open for writing.
        if (standardDescriptorClosed(1)) return -EBADF;
        const int flags = fcntl(1, F_GETFL);
        if (flags < 0) return negativeErrno();
        return (flags & O_ACCMODE) == O_RDONLY ? -EBADF : 0;
    }
    struct stat status;
    if (stat(name, &status) == 0) {
        if (S_ISDIR(status.st_mode)) return -EISDIR;
        // The effective user counts, as it does for open.
        if (faccessat(AT_FDCWD, name, W_OK, AT_EACCESS) != 0) return negativeErrno();
        if (!S_ISREG(status.st_mode)) return 0;
    } else if (errno != ENOENT) {
        return negativeErrno();
    }
    // A regular file is put in place by a rename in its folder (through a link, the folder of
    // the file it names), so that folder must take new names.
    char* resolved = realpath(name, nullptr);
    const std::string path = resolved != nullptr ? resolved : name;
    free(resolved);
    const std::string folder = folderOf(path);
    if (faccessat(AT_FDCWD, folder.empty() ? "." : folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        return negativeErrno();
    }
    return 0;
}

int openOutput(OutputFile& file, const char* name) {
    prepareForWriting();
    file.target = name;
    const int refused = checkDestination(name);
    if (refused != 0) {
        file.refused = true;
        fail(file, refused);
        return file.error;
    }
    struct stat status;
    file.exists = stat(name, &status) == 0;
    const bool standardOutput = namesStandardOutput(name);
    if (standardOutput) file.streamFd = 1;
    if (standardOutput || (file.exists && S_ISFIFO(status.st_mode))) {
        // A pipe hands on at once whatever reaches it, so the result goes in only when complete:
        // a run that ends with an error sends nothing, as to a file it replaces nothing. Without
        // a temporary file the run fails before it sends anything.
        file.way = OutputFile::Way::kSpool;
        const int error = openTemporary(file, spoolFolder());
        if (error != 0) {
            file.refused = true;
            fail(file, error);
        }
        return file.error;
    }
    if (file.exists && !S_ISREG(status.st_mode)) {
        file.way = OutputFile::Way::kDirect;
        file.fd = open(name, O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (file.fd < 0) fail(file, negativeErrno());
        return file.error;
    }
    if (file.exists) {
        // A symbolic link is followed: the file it names is the one replaced.
        char* resolved = realpath(name, nullptr);
        if (resolved != nullptr) {
            file.target = resolved;
            free(resolved);
        }
        file.owner = status.st_uid;
        file.group = status.st_gid;
        file.mode = status.st_mode;
    }
    const int error = openTemporary(file, folderOf(file.target));
    if (error != 0) {
        fail(file, error);
        return file.error;
    }
    if (!file.exists) return 0;
    struct stat created;
    if (fstat(file.fd, &created) != 0) {
        fail(file, negativeErrno());
        return file.error;
    }
    // Other names of the destination must see the result, and a file that cannot be given the
    // old owner and group would change hands: both are written through. The owner and group
    // are set now, before the mode: changing them may clear the set-user and set-group bits.
    if (status.st_nlink > 1 || ((status.st_uid != created.st_uid || status.st_gid != created.st_gid) &&
                                fchown(file.fd, status.st_uid, status.st_gid) != 0)) {
        file.way = OutputFile::Way::kWriteThrough;
    }
    return 0;
}

void writeOutput(OutputFile& file, const uint8_t* bytes, int64_t count) {
    if (file.error != 0) return;
    const int written = writeAll(file.fd, bytes, count);
    if (written != 0) {
        fail(file, written);
    } else {
        file.length += count;
    }
}

int64_t copyIntoOutput(OutputFile& file, int from, int64_t offset, int64_t count) {
    int64_t done = 0;
#ifdef __linux__
    while (done < count && file.error == 0) {
        off_t at = offset + done;
        const ssize_t n = copy_file_range(from, &at, file.fd, nullptr, static_cast<size_t>(count - done), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
#else
    (void)from;
    (void)offset;
    (void)count;
#endif
    file.length += done;
    return done;
}

int prepareOutput(OutputFile& file) {
    if (file.error != 0 || file.fd < 0) return file.error;
    if (file.way == OutputFile::Way::kRename) fail(file, stageRename(file));
    if (file.way == OutputFile::Way::kWriteThrough) fail(file, reserveTarget(file));
    if (file.error != 0) abandonOutput(file);
    return file.error;
}

int placeOutput(OutputFile& file) {
    if (file.error == 0) {
        switch (file.way) {
        case OutputFile::Way::kDirect:
            if (file.fd >= 0 && close(file.fd) != 0) fail(file, negativeErrno());
            file.fd = -1;
            break;
        case OutputFile::Way::kSpool: {
            // Nothing in a pipe can be left half rewritten, so the stopping signals are not held
            // while a slow reader takes the result.
            // Standard output is written where it stands, whatever file or pipe it is.
            const int target =
                file.streamFd >= 0 ? file.streamFd : open(file.target.c_str(), O_WRONLY | O_CLOEXEC);
            if (target < 0) {
                fail(file, negativeErrno());
                break;
            }
            fail(file, copyFile(file.fd, target, file.length, true));
            if (target != file.streamFd && close(target) != 0) fail(file, negativeErrno());
            break;
        }
        case OutputFile::Way::kWriteThrough: {
            // A signal waits until the copy is over: a stopped run never leaves the destination
            // half rewritten.
            const CleanupSignalsHeld signalsHeld;
            fail(file, writeThrough(file));
            break;
        }
        case OutputFile::Way::kRename: {
            const CleanupSignalsHeld signalsHeld;
            if (rename(file.staged.c_str(), file.target.c_str()) != 0) {
                fail(file, negativeErrno());
            } else {
                // The staged name (a named temporary's own name, when it had one) is the
                // destination's now: nothing is left to remove.
                file.staged.clear();
                file.temporary.clear();
                forgetName(file.stagedSlot);
                forgetName(file.cleanupSlot);
            }
            break;
        }
        }
    }
    abandonOutput(file);
    return file.error;
}

int commitOutput(OutputFile& file) {
    if (prepareOutput(file) != 0) return file.error;
    return placeOutput(file);
}

void abandonOutput(OutputFile& file) {
    if (file.fd < 0 && file.targetFd < 0 && file.temporary.empty() && file.staged.empty()) return;
    const CleanupSignalsHeld signalsHeld;
    if (file.fd >= 0) close(file.fd);
    file.fd = -1;
    if (file.targetFd >= 0) close(file.targetFd);
    file.targetFd = -1;
    if (!file.staged.empty()) unlink(file.staged.c_str());
    if (!file.temporary.empty() && file.temporary != file.staged) unlink(file.temporary.c_str());
    file.staged.clear();
    file.temporary.clear();
    forgetName(file.stagedSlot);
    forgetName(file.cleanupSlot);
}

void holdForCommit(std::unique_ptr<OutputFile> file, std::function<void(const OutputFile&)> failed) {
    held.push_back(Held{std::move(file), std::move(failed)});
}

void commitHeld() {
    // Taken out first: a failure report may end the run, and the rest are abandoned with it.
    std::vector<Held> files = std::move(held);
    held.clear();
    // Every file is readied before the first takes its place, so that a failure on the way
    // (a sync, a close, a full disk for a write-through) leaves every destination as it was;
    // only the renames and copies that put files in place come after.
    for (Held& h : files) {
        if (prepareOutput(*h.file) != 0) h.failed(*h.file);
    }
    for (Held& h : files) {
        if (placeOutput(*h.file) != 0) h.failed(*h.file);
    }
}

void abandonHeld() { held.clear(); }

int writeFileWhole(const char* name, const uint8_t* head, int64_t headBytes, const uint8_t* body,
                   int64_t bodyBytes, std::function<void(const OutputFile&)> failed) {
    auto file = std::make_unique<OutputFile>();
    if (openOutput(*file, name) != 0) return file->error;
    writeOutput(*file, head, headBytes);
    writeOutput(*file, body, bodyBytes);
    if (file->error != 0) return file->error;
    const int error = file->error;
    holdForCommit(std::move(file), std::move(failed));
    return error;
}
