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
#include <vector>

namespace {

int negativeErrno() { return errno > 0 ? -errno : -1; }

void fail(OutputFile& file, int error) {
    if (file.error == 0) file.error = error;
}

// Writes all of `count` bytes, resuming after short writes and interruptions. Returns 0 or a
// negative errno value.
int writeAll(int fd, const uint8_t* bytes, int64_t count) {
    while (count > 0) {
        const ssize_t n = write(fd, bytes, static_cast<size_t>(count));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? negativeErrno() : -EIO;
        bytes += n;
        count -= n;
    }
    return 0;
}

// The temporary files open at a time (a result and its picture), named in fixed buffers that
// the signal handler can read without allocating. A temporary name is at most a resolved folder
// (PATH_MAX), a 200-character base and the suffix; a name that does not fit is not kept.
constexpr int kCleanupSlots = 4;
constexpr size_t kCleanupNameSize = 4608;
char cleanupNames[kCleanupSlots][kCleanupNameSize];
volatile sig_atomic_t cleanupInUse[kCleanupSlots];

constexpr int kCleanupSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Removes the temporary files, then ends the process as the signal would have: the signal is
// blocked while its handler runs, so the raised one arrives, with the default action, on return.
void removeTemporaries(int signalNumber) {
    for (int i = 0; i < kCleanupSlots; i++) {
        if (cleanupInUse[i] != 0) unlink(cleanupNames[i]);
    }
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

void installCleanup() {
    static bool installed = false;
    if (installed) return;
    installed = true;
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

void rememberTemporary(OutputFile& file) {
    if (file.temporary.size() >= kCleanupNameSize) return;
    for (int i = 0; i < kCleanupSlots; i++) {
        if (cleanupInUse[i] != 0) continue;
        memcpy(cleanupNames[i], file.temporary.c_str(), file.temporary.size() + 1);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        cleanupInUse[i] = 1;
        file.cleanupSlot = i;
        return;
    }
}

void forgetTemporary(OutputFile& file) {
    if (file.cleanupSlot >= 0) cleanupInUse[file.cleanupSlot] = 0;
    file.cleanupSlot = -1;
    file.temporary.clear();
}

// Copies the complete temporary file into the target, replacing its contents in place.
void copyIntoTarget(OutputFile& file) {
    const int target = open(file.target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (target < 0) {
        fail(file, negativeErrno());
        return;
    }
    std::vector<uint8_t> block(1 << 20);
    for (int64_t at = 0; file.error == 0;) {
        const ssize_t n = pread(file.fd, block.data(), block.size(), at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail(file, negativeErrno());
        if (n <= 0) break;
        const int written = writeAll(target, block.data(), n);
        if (written != 0) fail(file, written);
        at += n;
    }
    if (close(target) != 0) fail(file, negativeErrno());
}

// Opens an unnamed file in the temporary folder for a result on its way to a pipe; it vanishes
// when closed, however the run ends. False when none can be made there.
bool openSpool(OutputFile& file) {
    const char* folder = getenv("TMPDIR");
    if (folder == nullptr || *folder == '\0') folder = "/tmp";
    file.fd = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (file.fd < 0) {
        // File systems without unnamed files: a named one, unlinked at once.
        std::string name = std::string(folder) + "/.qor-spool-XXXXXX";
        file.fd = mkostemp(name.data(), O_CLOEXEC);
        if (file.fd >= 0) unlink(name.c_str());
    }
    return file.fd >= 0;
}

}  // namespace

CleanupSignalsHeld::CleanupSignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (int s : kCleanupSignals) sigaddset(&held, s);
    pthread_sigmask(SIG_BLOCK, &held, &previous);
}

CleanupSignalsHeld::~CleanupSignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }

OutputFile::~OutputFile() { abandonOutput(*this); }

// Returns 0 when `name` does not exist or this process could open it for writing, otherwise the
// failure opening it would give (a negative errno value: a read-only file or file system, a
// folder in the way). A name that cannot be looked up counts as missing.
static int checkWritable(const char* name) {
    struct stat status;
    if (stat(name, &status) != 0) return 0;
    if (S_ISDIR(status.st_mode)) return -EISDIR;
    // The effective user counts, as it does for open.
    if (faccessat(AT_FDCWD, name, W_OK, AT_EACCESS) != 0) return negativeErrno();
    return 0;
}

int openOutput(OutputFile& file, const char* name) {
    installCleanup();
    file.target = name;
    const int refused = checkWritable(name);
    if (refused != 0) {
        file.refused = true;
        fail(file, refused);
        return file.error;
    }
    struct stat status;
    const bool exists = stat(name, &status) == 0;
    if (exists && S_ISFIFO(status.st_mode) && openSpool(file)) {
        // A pipe hands on at once whatever reaches it, so the result goes in only when complete:
        // a run that ends with an error sends nothing, as to a file it replaces nothing.
        file.writeThrough = true;
        file.spooled = true;
        return 0;
    }
    if (exists && !S_ISREG(status.st_mode)) {
        file.fd = open(name, O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (file.fd < 0) fail(file, negativeErrno());
        return file.error;
    }
    if (exists) {
        char* resolved = realpath(name, nullptr);
        if (resolved != nullptr) {
            file.target = resolved;
            free(resolved);
        }
    }
    const size_t slash = file.target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : file.target.substr(0, slash + 1);
    // The temporary name stays within the file-name limit however long the name is.
    const std::string base =
        (slash == std::string::npos ? file.target : file.target.substr(slash + 1)).substr(0, 200);
    {
        const CleanupSignalsHeld held;
        for (int attempt = 0; attempt < 100 && file.fd < 0; attempt++) {
            file.temporary =
                folder + "." + base + ".qor-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
            // Read and write: a result written through is read back from here.
            file.fd = open(file.temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (file.fd < 0 && errno != EEXIST) break;
        }
        if (file.fd < 0) {
            fail(file, errno == 0 ? -EEXIST : negativeErrno());
            file.temporary.clear();
            return file.error;
        }
        rememberTemporary(file);
    }
    if (!exists) return 0;
    struct stat created;
    if (fstat(file.fd, &created) != 0) {
        fail(file, negativeErrno());
        return file.error;
    }
    // The owner and group go first: changing them may clear the set-user and set-group bits.
    if (status.st_nlink > 1 || ((status.st_uid != created.st_uid || status.st_gid != created.st_gid) &&
                                fchown(file.fd, status.st_uid, status.st_gid) != 0)) {
        file.writeThrough = true;
        // Only this user reads the result before it is copied into place.
        fchmod(file.fd, 0600);
    } else {
        fchmod(file.fd, status.st_mode & 07777);
    }
    return 0;
}

void writeOutput(OutputFile& file, const uint8_t* bytes, int64_t count) {
    if (file.error != 0) return;
    const int written = writeAll(file.fd, bytes, count);
    if (written != 0) fail(file, written);
}

int64_t copyIntoOutput(OutputFile& file, int from, int64_t offset, int64_t count) {
    int64_t done = 0;
    while (done < count && file.error == 0) {
        off_t at = offset + done;
        const ssize_t n = copy_file_range(from, &at, file.fd, nullptr, static_cast<size_t>(count - done), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

int commitOutput(OutputFile& file) {
    if (file.fd < 0 && file.temporary.empty()) return file.error;
    if (file.spooled) {
        // Nothing in a pipe can be left half rewritten, so the stopping signals are not held
        // while a slow reader takes the result.
        if (file.error == 0) copyIntoTarget(file);
        close(file.fd);
        file.fd = -1;
        return file.error;
    }
    const CleanupSignalsHeld held;
    if (file.writeThrough) {
        // A signal waits until the copy is over: a stopped run never leaves the destination
        // half rewritten.
        if (file.error == 0) copyIntoTarget(file);
        close(file.fd);
    } else if (file.fd >= 0 && close(file.fd) != 0) {
        // A failed close can mean the data never reached the disk: it counts as a failed write.
        fail(file, negativeErrno());
    }
    file.fd = -1;
    if (file.error == 0 && !file.writeThrough && !file.temporary.empty() &&
        rename(file.temporary.c_str(), file.target.c_str()) != 0) {
        fail(file, negativeErrno());
    }
    if ((file.error != 0 || file.writeThrough) && !file.temporary.empty()) unlink(file.temporary.c_str());
    forgetTemporary(file);
    return file.error;
}

void abandonOutput(OutputFile& file) {
    if (file.fd < 0 && file.temporary.empty()) return;
    const CleanupSignalsHeld held;
    if (file.fd >= 0) close(file.fd);
    file.fd = -1;
    if (!file.temporary.empty()) unlink(file.temporary.c_str());
    forgetTemporary(file);
}

int writeFileWhole(const char* name, const uint8_t* head, int64_t headBytes, const uint8_t* body,
                   int64_t bodyBytes) {
    OutputFile file;
    if (openOutput(file, name) != 0) return file.error;
    writeOutput(file, head, headBytes);
    writeOutput(file, body, bodyBytes);
    return commitOutput(file);
}
