// The POSIX implementation of the platform layer. The Linux calls that only speed things up or
// avoid a name (unnamed files, the kernel's copy, space reservation) are used where the build
// has them; elsewhere, and in the portable build, the plain POSIX paths do the same work.
#include "platform/platform.h"

#include <fcntl.h>
#if defined(__linux__)
#include <linux/fs.h>
#endif
#include <iconv.h>
#include <poll.h>
#include <pthread.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#if defined(__linux__) && !defined(QOR_PORTABLE)
#define QOR_LINUX_CALLS 1
#else
#define QOR_LINUX_CALLS 0
#endif

namespace platform {

namespace {

int failure() { return errno > 0 ? -errno : -1; }

void fill(const struct stat& s, FileInfo& info) {
    info.regular = S_ISREG(s.st_mode);
    info.directory = S_ISDIR(s.st_mode);
    info.pipe = S_ISFIFO(s.st_mode);
    info.stream = S_ISFIFO(s.st_mode) || S_ISSOCK(s.st_mode) || S_ISCHR(s.st_mode);
    info.size = s.st_size;
#if defined(__APPLE__)
    info.modified = static_cast<int64_t>(s.st_mtimespec.tv_sec) * 1000000000 + s.st_mtimespec.tv_nsec;
    info.changed = static_cast<int64_t>(s.st_ctimespec.tv_sec) * 1000000000 + s.st_ctimespec.tv_nsec;
#else
    info.modified = static_cast<int64_t>(s.st_mtim.tv_sec) * 1000000000 + s.st_mtim.tv_nsec;
    info.changed = static_cast<int64_t>(s.st_ctim.tv_sec) * 1000000000 + s.st_ctim.tv_nsec;
#endif
    info.owner = s.st_uid;
    info.group = s.st_gid;
    info.mode = s.st_mode & 07777;
    info.links = static_cast<int64_t>(s.st_nlink);
    info.device = s.st_dev;
    info.inode = s.st_ino;
}

int fd(FileHandle file) { return static_cast<int>(file); }

// Temporary names removed on a stopping signal, each a name in a folder held open, kept in fixed
// buffers that the handler can read without allocating. A name is at most a 200-character base
// and a suffix; a longer one is not kept.
constexpr int kSlots = 8;
constexpr size_t kNameSize = 512;
char names[kSlots][kNameSize];
int folders[kSlots];
volatile sig_atomic_t inUse[kSlots];

// Every signal whose default action ends the process, besides the synchronous faults below:
// each removes the temporary names before the run ends (SIGKILL cannot be caught; SIGPIPE and
// SIGXFSZ are ignored, so that the write fails instead). The realtime signals are added to these
// where the system has them.
constexpr int kStopSignals[] = {
    SIGTERM, SIGINT,    SIGHUP,  SIGQUIT, SIGABRT, SIGUSR1, SIGUSR2,
    SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGSYS,  SIGTRAP,
#if defined(SIGPOLL)
    SIGPOLL,  // the same as SIGIO on Linux; SIGIO elsewhere is ignored by default
#endif
#if defined(__linux__)
    SIGPWR,  SIGSTKFLT,  // elsewhere absent, or ignored by default
#endif
#if defined(SIGEMT)
    SIGEMT,
#endif
};

// The faults an instruction raises in the thread that runs it. They remove the names too, but
// are never held back: a fault that arrives blocked ends the process without its handler.
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

// The stopping signals: kStopSignals and the realtime signals.
void addStopSignals(sigset_t& set) {
    for (int s : kStopSignals) sigaddset(&set, s);
#if defined(SIGRTMIN) && defined(SIGRTMAX)
    // Those below SIGRTMIN belong to the C library's threads, which hides them.
    for (int s = SIGRTMIN; s <= SIGRTMAX; s++) sigaddset(&set, s);
#endif
}

void removeTemporaries(int signalNumber) {
    const int saved = errno;
    for (int i = 0; i < kSlots; i++) {
        if (inUse[i] != 0) unlinkat(folders[i], names[i], 0);
    }
    // The signal is blocked while its handler runs, so the raised one arrives, with the default
    // action, on return. A fault raised by an instruction comes again when it is run again.
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
    errno = saved;
}

// Gives `signalNumber` the handler when it has its default action at the start: one the run
// was started to ignore (nohup) stays ignored, and one another part of the process handles (a
// sanitizer's fault handler) stays with it.
void catchSignal(int signalNumber, const struct sigaction& action) {
    struct sigaction current;
    if (sigaction(signalNumber, nullptr, &current) != 0) return;
    if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) return;
    sigaction(signalNumber, &action, nullptr);
}

uint32_t creationMode = 0644;

// Waits until a descriptor left non-blocking (a pipe that the process that started the run set
// so, shared with it) can be read (POLLIN) or written (POLLOUT): 0, or the failure. A closed
// other end or an error counts as ready: the read or write that follows says what it is.
int waitUntilReady(FileHandle file, short events) {
    struct pollfd waited = {fd(file), events, 0};
    for (;;) {
        if (poll(&waited, 1, -1) >= 0) return 0;
        if (errno != EINTR) return failure();
    }
}

}  // namespace

int statPath(const std::string& name, FileInfo& info) {
    struct stat s;
    if (stat(name.c_str(), &s) != 0) return failure();
    fill(s, info);
    return 0;
}

int statFile(FileHandle file, FileInfo& info) {
    struct stat s;
    if (fstat(fd(file), &s) != 0) return failure();
    fill(s, info);
    return 0;
}

int mayWrite(const std::string& name) {
    // The effective user counts, as it does for open.
    return faccessat(AT_FDCWD, name.c_str(), W_OK, AT_EACCESS) == 0 ? 0 : failure();
}

int mayChangeFolder(const std::string& folder) {
    const char* path = folder.empty() ? "." : folder.c_str();
    return faccessat(AT_FDCWD, path, W_OK | X_OK, AT_EACCESS) == 0 ? 0 : failure();
}

std::string resolvedPath(const std::string& name) {
    char* resolved = realpath(name.c_str(), nullptr);
    if (resolved == nullptr) return name;
    std::string path = resolved;
    free(resolved);
    return path;
}

std::string temporaryFolder() {
    const char* folder = getenv("TMPDIR");
    std::string name = folder != nullptr && *folder != '\0' ? folder : "/tmp";
    if (name.back() != '/') name += '/';
    return name;
}

int processId() { return static_cast<int>(getpid()); }

const char* errorText(int error) { return strerror(error < 0 ? -error : EIO); }

FileHandle openForReading(const std::string& name, int& error) {
    const int f = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    error = f < 0 ? failure() : 0;
    return f;
}

FileHandle openForWriting(const std::string& name, bool truncate, int& error) {
    const int f = open(name.c_str(), O_WRONLY | O_CLOEXEC | (truncate ? O_TRUNC : 0));
    error = f < 0 ? failure() : 0;
    return f;
}

int closeFile(FileHandle file) { return close(fd(file)) == 0 ? 0 : failure(); }

int64_t readNext(FileHandle file, void* bytes, int64_t count) {
    for (;;) {
        const ssize_t n = read(fd(file), bytes, static_cast<size_t>(count));
        if (n >= 0) return n;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (const int error = waitUntilReady(file, POLLIN); error != 0) return error;
        } else if (errno != EINTR) {
            return failure();
        }
    }
}

int64_t positionOf(FileHandle file) {
    const off_t at = lseek(fd(file), 0, SEEK_CUR);
    return at < 0 ? failure() : at;
}

FileHandle createSpool(int& error) {
    const std::string folder = temporaryFolder();
#if QOR_LINUX_CALLS && defined(O_TMPFILE)
    const int unnamed = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (unnamed >= 0) {
        error = 0;
        return unnamed;
    }
    if (errno != EISDIR && errno != EINVAL && errno != EOPNOTSUPP) {
        error = failure();
        return kNoFile;
    }
#endif
    // No signal can come between making the name and removing it.
    const StopSignalsHeld held;
    std::string name = folder + ".qor-" + std::to_string(getpid()) + "-XXXXXX";
    const int named = mkstemp(name.data());
    error = named < 0 ? failure() : 0;
    if (named >= 0) {
        fcntl(named, F_SETFD, FD_CLOEXEC);
        unlink(name.c_str());
    }
    return named;
}

namespace {
bool closedAtStart[3];
}  // namespace

void holdStandardStreams() {
    for (int which = 0; which < 3; which++) {
        if (fcntl(which, F_GETFD) >= 0 || errno != EBADF) continue;
        closedAtStart[which] = true;
        // The lowest free number is this one.
        const int null = open("/dev/null", which == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != which) {
            dup2(null, which);
            close(null);
        }
    }
}

bool standardStreamClosed(int which) { return which >= 0 && which < 3 && closedAtStart[which]; }

bool namesStandardOutput(const std::string& name) {
    for (const char* alias : {"-", "/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}) {
        if (name == alias) return true;
    }
    struct stat named;
    struct stat output;
    return stat(name.c_str(), &named) == 0 && (S_ISFIFO(named.st_mode) || S_ISSOCK(named.st_mode)) &&
           fstat(1, &output) == 0 && named.st_dev == output.st_dev && named.st_ino == output.st_ino;
}

bool namesReservedDevice(const std::string&) { return false; }

int standardOutputWritable() {
    if (standardStreamClosed(1)) return -EBADF;
    const int flags = fcntl(1, F_GETFL);
    if (flags < 0) return failure();
    return (flags & O_ACCMODE) == O_RDONLY ? -EBADF : 0;
}

FileHandle standardOutput() { return 1; }

bool isStandardInput(const std::string& name, const FileInfo& opened) {
    for (const char* alias : {"-", "/dev/stdin", "/dev/fd/0", "/proc/self/fd/0"}) {
        if (name == alias) return true;
    }
    struct stat input;
    return !opened.regular && fstat(0, &input) == 0 && input.st_dev == opened.device && input.st_ino == opened.inode;
}

FileHandle openStandardInput(int& error) {
    if (standardStreamClosed(0)) {
        error = -EBADF;
        return kNoFile;
    }
    const int f = fcntl(0, F_DUPFD_CLOEXEC, 0);
    error = f < 0 ? failure() : 0;
    return f;
}

int64_t readAt(FileHandle file, void* bytes, int64_t count, int64_t offset) {
    for (;;) {
        const ssize_t n = pread(fd(file), bytes, static_cast<size_t>(count), offset);
        if (n >= 0) return n;
        if (errno != EINTR) return failure();
    }
}

namespace {

// Writes all of `count` bytes, at `offset` or (when negative) at the file position, resuming
// after short writes and interruptions.
int writeWhole(FileHandle file, const uint8_t* bytes, int64_t count, int64_t offset) {
    while (count > 0) {
        const ssize_t n = offset < 0 ? write(fd(file), bytes, static_cast<size_t>(count))
                                     : pwrite(fd(file), bytes, static_cast<size_t>(count), offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (const int error = waitUntilReady(file, POLLOUT); error != 0) return error;
            continue;
        }
        if (n <= 0) return n < 0 ? failure() : -EIO;
        bytes += n;
        count -= n;
        if (offset >= 0) offset += n;
    }
    return 0;
}

}  // namespace

int writeAll(FileHandle file, const void* bytes, int64_t count) {
    return writeWhole(file, static_cast<const uint8_t*>(bytes), count, -1);
}

int writeAllAt(FileHandle file, const void* bytes, int64_t count, int64_t offset) {
    return writeWhole(file, static_cast<const uint8_t*>(bytes), count, offset);
}

int64_t copyBetween(FileHandle from, int64_t offset, FileHandle to, int64_t count) {
    int64_t done = 0;
#if QOR_LINUX_CALLS
    while (done < count) {
        off_t at = offset + done;
        const ssize_t n = copy_file_range(fd(from), &at, fd(to), nullptr, static_cast<size_t>(count - done), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
#else
    (void)from;
    (void)offset;
    (void)to;
    (void)count;
#endif
    return done;
}

int reserve(FileHandle file, int64_t length) {
#if QOR_LINUX_CALLS && defined(FALLOC_FL_KEEP_SIZE)
    if (length > 0 && fallocate(fd(file), FALLOC_FL_KEEP_SIZE, 0, length) != 0 && errno != EOPNOTSUPP &&
        errno != ENOSYS) {
        return failure();
    }
#else
    (void)file;
    (void)length;
#endif
    return 0;
}

int setLength(FileHandle file, int64_t length) { return ftruncate(fd(file), length) == 0 ? 0 : failure(); }

int sync(FileHandle file) { return fsync(fd(file)) == 0 ? 0 : failure(); }

int setOwner(FileHandle file, uint32_t owner, uint32_t group) {
    return fchown(fd(file), owner, group) == 0 ? 0 : failure();
}

int setMode(FileHandle file, uint32_t mode) { return fchmod(fd(file), mode) == 0 ? 0 : failure(); }

uint32_t newFileMode() { return creationMode; }

int openFolder(const std::string& path, Folder& folder) {
    folder.path = path;
    const int f = open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    folder.handle = f;
    return f < 0 ? failure() : 0;
}

void closeFolder(Folder& folder) {
    if (folder.handle != kNoFile) close(fd(folder.handle));
    folder.handle = kNoFile;
}

int statIn(const Folder& folder, const std::string& base, FileInfo& info, bool& link) {
    struct stat s;
    if (fstatat(fd(folder.handle), base.c_str(), &s, AT_SYMLINK_NOFOLLOW) != 0) return failure();
    link = S_ISLNK(s.st_mode);
    fill(s, info);
    return 0;
}

FileHandle createUnnamedIn(const Folder& folder, int& error) {
#if QOR_LINUX_CALLS && defined(O_TMPFILE)
    const int f = openat(fd(folder.handle), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (f >= 0) {
        error = 0;
        return f;
    }
    // A file system without unnamed files says so in one of these ways.
    error = errno == EISDIR || errno == EINVAL || errno == EOPNOTSUPP ? -EOPNOTSUPP : failure();
    return kNoFile;
#else
    (void)folder;
    error = -EOPNOTSUPP;
    return kNoFile;
#endif
}

FileHandle createExclusiveIn(const Folder& folder, const std::string& base, int& error) {
    const int f = openat(fd(folder.handle), base.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    error = f < 0 ? failure() : 0;
    return f;
}

FileHandle openExistingIn(const Folder& folder, const std::string& base, bool writing, int& error) {
    // Non-blocking, so that a pipe swapped in under the name cannot hold the open; a file is
    // read and written as ever.
    const int f = openat(fd(folder.handle), base.c_str(), (writing ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    error = f < 0 ? failure() : 0;
    if (f >= 0) {
        struct stat s;
        if (fstat(f, &s) != 0 || !S_ISREG(s.st_mode)) {
            error = -EINVAL;
            close(f);
            return kNoFile;
        }
        fcntl(f, F_SETFL, fcntl(f, F_GETFL) & ~O_NONBLOCK);
    }
    return f;
}

int nameUnnamedIn(FileHandle file, const Folder& folder, const std::string& base) {
#if QOR_LINUX_CALLS
    const std::string self = "/proc/self/fd/" + std::to_string(fd(file));
    return linkat(AT_FDCWD, self.c_str(), fd(folder.handle), base.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : failure();
#else
    (void)file;
    (void)folder;
    (void)base;
    return -EOPNOTSUPP;
#endif
}

int renameIn(const Folder& folder, const std::string& from, const std::string& to) {
    return renameat(fd(folder.handle), from.c_str(), fd(folder.handle), to.c_str()) == 0 ? 0 : failure();
}

int removeIn(const Folder& folder, const std::string& base) {
    return unlinkat(fd(folder.handle), base.c_str(), 0) == 0 ? 0 : failure();
}

int syncFolder(const Folder& folder) {
    // Some file systems cannot sync a folder; their names are as lasting as they can be.
    if (fsync(fd(folder.handle)) == 0 || errno == EINVAL || errno == EROFS || errno == EBADF) return 0;
    return failure();
}

int lockFile(FileHandle file, int waitMilliseconds) {
    // A lock of the open file itself, taken on a file open for reading only, so that the lock
    // holder is no writer of it.
    for (int waited = 0;; waited += 20) {
        if (flock(fd(file), LOCK_EX | LOCK_NB) == 0) return 0;
        if (errno == ENOLCK || errno == EINVAL || errno == EOPNOTSUPP) return 0;  // no locks here
        if (errno != EWOULDBLOCK && errno != EINTR) return failure();
        if (waited >= waitMilliseconds) return -EAGAIN;
        usleep(20000);
    }
}

int writtenElsewhere(FileHandle readOnly) {
#if QOR_LINUX_CALLS && defined(F_SETLEASE)
    // A read lease is granted only while no open of the file writes it.
    if (fcntl(fd(readOnly), F_SETLEASE, F_RDLCK) == 0) {
        fcntl(fd(readOnly), F_SETLEASE, F_UNLCK);
        return 0;
    }
    return errno == EAGAIN ? 1 : 0;
#else
    (void)readOnly;
    return 0;
#endif
}

int cloneInto(FileHandle from, FileHandle to) {
#if QOR_LINUX_CALLS && defined(FICLONE)
    if (ioctl(fd(to), FICLONE, fd(from)) == 0) return 0;
#else
    (void)from;
    (void)to;
#endif
    return -EOPNOTSUPP;
}

std::string toShiftJis(const std::string& utf8) {
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) cd = iconv_open("SHIFT_JIS", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return utf8;
    std::string out(utf8.size() * 2, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* dst = out.data();
    size_t outLeft = out.size();
    const size_t rc = iconv(cd, &in, &inLeft, &dst, &outLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1) || inLeft != 0) return utf8;
    out.resize(out.size() - outLeft);
    return out;
}

std::vector<std::string> commandLineArguments(int argc, char** argv) { return {argv, argv + argc}; }

std::string environmentValue(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

void writeText(FILE* stream, const std::string& text, bool) { fwrite(text.data(), 1, text.size(), stream); }

int compareIgnoringCase(const char* a, const char* b) { return strcasecmp(a, b); }

size_t baseNameStart(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

void ignoreWriteSignals() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

void prepareForWriting() {
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    // Read once, before any thread starts: setting the mask is the only way to read it.
    const mode_t mask = umask(0);
    umask(mask);
    creationMode = 0666 & ~mask;
    ignoreWriteSignals();
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = removeTemporaries;
    // No other stopping signal or fault interrupts the handler.
    sigemptyset(&action.sa_mask);
    addStopSignals(action.sa_mask);
    for (int s : kFaultSignals) sigaddset(&action.sa_mask, s);
    for (int s : kStopSignals) catchSignal(s, action);
#if defined(SIGRTMIN) && defined(SIGRTMAX)
    for (int s = SIGRTMIN; s <= SIGRTMAX; s++) catchSignal(s, action);
#endif
    for (int s : kFaultSignals) catchSignal(s, action);
}

int rememberTemporaryName(const Folder& folder, const std::string& name) {
    if (name.size() >= kNameSize) return -1;
    for (int i = 0; i < kSlots; i++) {
        if (inUse[i] != 0) continue;
        memcpy(names[i], name.c_str(), name.size() + 1);
        folders[i] = fd(folder.handle);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        inUse[i] = 1;
        return i;
    }
    return -1;
}

void forgetTemporaryName(int& slot) {
    if (slot >= 0) inUse[slot] = 0;
    slot = -1;
}

static_assert(sizeof(sigset_t) <= 256, "the held signal set fits its room");

StopSignalsHeld::StopSignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    addStopSignals(held);
    pthread_sigmask(SIG_BLOCK, &held, reinterpret_cast<sigset_t*>(previous_));
}

StopSignalsHeld::~StopSignalsHeld() {
    pthread_sigmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(previous_), nullptr);
}

}  // namespace platform
