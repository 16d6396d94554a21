#include "engine/commit.h"

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

using platform::FileHandle;
using platform::kNoFile;

namespace {

// How long a write-through waits for another run that is writing the same file.
constexpr int kLockWaitMilliseconds = 10000;

constexpr const char* kReplacedReason = "the destination was replaced by another file during the run.";
constexpr const char* kWrittenElsewhereReason = "another program has the destination open for writing.";
constexpr const char* kLockedReason = "another run is writing the destination.";

void fail(OutputFile& file, int error, const char* reason = nullptr) {
    if (file.error != 0) return;
    file.error = error;
    file.reason = reason;
}

// Copies the first `length` bytes of `from` into `to`: at the same offsets, or in order where
// `to` is a stream. Returns 0 or a negative errno value.
int copyFile(FileHandle from, FileHandle to, int64_t length, bool stream) {
    std::vector<uint8_t> block(static_cast<size_t>(std::min<int64_t>(length, int64_t{1} << 20)) + 1);
    for (int64_t at = 0; at < length;) {
        const int64_t n =
            platform::readAt(from, block.data(), std::min<int64_t>(length - at, static_cast<int64_t>(block.size())), at);
        if (n <= 0) return n < 0 ? static_cast<int>(n) : -EIO;
        const int written = stream ? platform::writeAll(to, block.data(), n) : platform::writeAllAt(to, block.data(), n, at);
        if (written != 0) return written;
        at += n;
    }
    return 0;
}

// The folder of `path` with its trailing separator ("" for a bare name) and its last component.
std::string folderOf(const std::string& path) { return path.substr(0, platform::baseNameStart(path)); }
std::string baseOf(const std::string& path) { return path.substr(platform::baseNameStart(path)); }

// A private name in the file's folder not taken yet, `stem` followed by a number, made by `make`
// (which creates the file under the name it is given and returns 0, or a negative errno value);
// the name is remembered for the stopping signals in `slot`. Returns the name, or empty with
// `error` set.
template <typename Make>
std::string privateName(const OutputFile& file, const std::string& stem, int& slot, int& error, Make make,
                        bool numberedFirst = true) {
    const platform::StopSignalsHeld held;
    for (int attempt = 0; attempt < 100; attempt++) {
        std::string name = stem;
        if (numberedFirst || attempt > 0) name.append(numberedFirst ? "" : "-").append(std::to_string(attempt));
        error = make(name);
        if (error == -EEXIST) continue;
        if (error != 0) return "";
        slot = platform::rememberTemporaryName(file.folder, name);
        return name;
    }
    error = -EEXIST;
    return "";
}

// ".NAME.qor-PID-" (and ".NAME.qor-backup-PID"): the stem of a result's private names, within
// the file-name limit however long the name.
std::string privateStem(const OutputFile& file, const char* kind, const char* end = "-") {
    std::string stem(".");
    stem.append(file.base, 0, 200).append(".qor-").append(kind).append(std::to_string(platform::processId()));
    return stem.append(end);
}

// Opens a temporary file in the file's folder for reading and writing, readable by this user
// only: one without a name where the file system has them, otherwise a private name.
int openTemporary(OutputFile& file) {
    int error = 0;
    file.fd = platform::createUnnamedIn(file.folder, error);
    // Only a file system without unnamed files falls back to a name; any other failure (no
    // folder, no permission, no room) is the destination's failure.
    if (error != -EOPNOTSUPP) return error;
    file.temporary = privateName(file, privateStem(file, ""), file.cleanupSlot, error, [&](const std::string& name) {
        int made = 0;
        file.fd = platform::createExclusiveIn(file.folder, name, made);
        return made;
    });
    return error;
}

// Whether the destination's name in its held folder is still what the run checked: the same
// file, not a link put in its place, or still nothing when it did not exist. 0, or the refusal.
int checkStillThere(OutputFile& file) {
    platform::FileInfo now;
    bool link = false;
    const int missing = platform::statIn(file.folder, file.base, now, link);
    if (!file.exists) {
        if (missing == -ENOENT) return 0;
        fail(file, missing == 0 ? -EEXIST : missing, missing == 0 ? kReplacedReason : nullptr);
        return file.error;
    }
    if (missing != 0 || link || now.id() != file.old.id()) {
        fail(file, missing != 0 ? missing : -EEXIST, kReplacedReason);
        return file.error;
    }
    return 0;
}

// Refuses to replace a file that another program holds open for writing (a recorder, a log
// being appended): its later writes would go to the old, nameless file. `probe` is the file open
// for reading only.
int checkNotWrittenElsewhere(OutputFile& file, FileHandle probe) {
    if (platform::writtenElsewhere(probe) == 1) fail(file, -EBUSY, kWrittenElsewhereReason);
    return file.error;
}

// Opens the destination to be written through: the very file that was checked, reached through
// the held folder without following a link. It is locked against other runs first (waiting for
// one that writes it now), then seen to be written by no other program, and only then opened
// for writing.
int lockTarget(OutputFile& file) {
    auto opened = [&](FileHandle& handle, bool writing) {
        int error = 0;
        handle = platform::openExistingIn(file.folder, file.base, writing, error);
        platform::FileInfo seen;
        if (error == 0) error = platform::statFile(handle, seen);
        if (error == 0 && seen.id() != file.old.id()) error = -EEXIST;
        if (error != 0) fail(file, error, error == -ELOOP || error == -ENOENT || error == -EEXIST ? kReplacedReason : nullptr);
        file.oldLength = seen.size;
        return file.error == 0;
    };
    if (!opened(file.lockFd, false)) return file.error;
    if (const int error = platform::lockFile(file.lockFd, kLockWaitMilliseconds); error != 0) {
        fail(file, error, error == -EAGAIN ? kLockedReason : nullptr);
        return file.error;
    }
    if (checkNotWrittenElsewhere(file, file.lockFd) != 0) return file.error;
    // What the file holds is read once it is locked: another run may have just written it.
    opened(file.targetFd, true);
    return file.error;
}

// Copies the locked destination's old bytes into a private backup beside it, synced with its
// name, so that they survive any failure and any kill from here on. The backup has no name
// until its bytes are synced, where the file system has unnamed files: a kill while it is made
// leaves nothing. A disk too full for the backup refuses the write-through before anything is
// touched; one that fills while the result goes in has the old bytes put back. (Room is not
// reserved in the destination itself: that changes it, and it may be a source still to be seen
// unchanged.)
int makeBackup(OutputFile& file) {
    int error = 0;
    const platform::StopSignalsHeld held;
    // ".NAME.qor-backup-PID", numbered only when a run of the same number left one behind.
    auto name = [&](auto make) {
        file.backup = privateName(file, privateStem(file, "backup-", ""), file.backupSlot, error, make, false);
        return !file.backup.empty();
    };
    file.backupFd = platform::createUnnamedIn(file.folder, error);
    const bool unnamed = error == 0;
    if (!unnamed) {
        if (error != -EOPNOTSUPP) return error;
        if (!name([&](const std::string& backup) {
                int made = 0;
                file.backupFd = platform::createExclusiveIn(file.folder, backup, made);
                return made;
            })) {
            return error;
        }
    }
    if (platform::cloneInto(file.targetFd, file.backupFd) != 0) {
        error = platform::reserve(file.backupFd, file.oldLength);
        if (error == 0) error = copyFile(file.targetFd, file.backupFd, file.oldLength, false);
    }
    if (error == 0) error = platform::sync(file.backupFd);
    if (error == 0 && unnamed &&
        !name([&](const std::string& backup) { return platform::nameUnnamedIn(file.backupFd, file.folder, backup); })) {
        return error;
    }
    if (error == 0) error = platform::syncFolder(file.folder);
    return error;
}

// Removes the backup (the destination is whole: old or new), or keeps it and names it.
void dropBackup(OutputFile& file, bool keep) {
    if (file.backupFd != kNoFile) platform::closeFile(file.backupFd);
    file.backupFd = kNoFile;
    if (keep) {
        file.kept = file.folder.path + file.backup;
    } else if (!file.backup.empty()) {
        platform::removeIn(file.folder, file.backup);
    }
    file.backup.clear();
    platform::forgetTemporaryName(file.backupSlot);
}

// Copies the complete result into the locked destination, which keeps its owner and its other
// names: the result, its length, a sync. Any failure puts the old bytes back from the backup the
// same way; the backup is kept only when that fails as well.
int writeThrough(OutputFile& file, const std::function<void()>& check) {
    // The sources are seen as read once more, with the backup made, before the first byte.
    check();
    int error = copyFile(file.fd, file.targetFd, file.length, false);
    if (error == 0) error = platform::setLength(file.targetFd, file.length);
    if (error == 0) error = platform::sync(file.targetFd);
    bool restored = true;
    if (error != 0) {
        int back = copyFile(file.backupFd, file.targetFd, file.oldLength, false);
        if (back == 0) back = platform::setLength(file.targetFd, file.oldLength);
        if (back == 0) back = platform::sync(file.targetFd);
        restored = back == 0;
    }
    dropBackup(file, !restored);
    // The bytes are on the disk by now: a failing close changes nothing. The file is closed for
    // writing before the lock goes, so that the next run finds no writer.
    platform::closeFile(file.targetFd);
    file.targetFd = kNoFile;
    platform::closeFile(file.lockFd);
    file.lockFd = kNoFile;
    return error;
}

// Readies a result that is renamed into place: the old file's mode (its owner and group were
// given when the file was made), synced, so that it lasts as soon as it has its name. No name
// in use changes.
int readyRename(OutputFile& file) {
    int error = platform::setMode(file.fd, file.exists ? file.old.mode : platform::newFileMode());
    if (error == 0) error = platform::sync(file.fd);
    return error;
}

// Puts a readied result in place: a new name is linked to the unnamed file in one step that
// replaces nothing; an existing file is replaced by a rename from a private name, given a moment
// before. Either happens only while the destination is still the file the run checked.
int renameIntoPlace(OutputFile& file, const std::function<void()>& check) {
    const platform::StopSignalsHeld held;
    if (checkStillThere(file) != 0) return file.error;
    if (file.exists) {
        int error = 0;
        const FileHandle probe = platform::openExistingIn(file.folder, file.base, false, error);
        if (error == 0) {
            checkNotWrittenElsewhere(file, probe);
            platform::closeFile(probe);
            if (file.error != 0) return file.error;
        }
    }
    int error = 0;
    if (file.temporary.empty() && !file.exists) {
        // The last look at the sources, immediately before the name changes.
        check();
        error = platform::nameUnnamedIn(file.fd, file.folder, file.base);
        if (error == -EEXIST) {
            fail(file, error, kReplacedReason);
            return file.error;
        }
    } else {
        file.staged = file.temporary;
        if (file.staged.empty()) {
            file.staged = privateName(file, privateStem(file, ""), file.stagedSlot, error, [&](const std::string& name) {
                return platform::nameUnnamedIn(file.fd, file.folder, name);
            });
            if (file.staged.empty()) return error;
        }
        // Closed first: Windows cannot rename a file still open. The file is synced, so a
        // failing close has lost nothing.
        platform::closeFile(file.fd);
        file.fd = kNoFile;
        check();
        error = platform::renameIn(file.folder, file.staged, file.base);
        if (error != 0) return error;
    }
    if (file.fd != kNoFile) platform::closeFile(file.fd);
    file.fd = kNoFile;
    // The private name (a named temporary's own, when it had one) is the destination's now:
    // nothing is left to remove.
    file.staged.clear();
    file.temporary.clear();
    platform::forgetTemporaryName(file.stagedSlot);
    platform::forgetTemporaryName(file.cleanupSlot);
    return error;
}

// Readies a file without changing any name in use or any byte of a destination: a renamed
// result is synced, a write-through's destination locked.
int prepareOutput(OutputFile& file) {
    if (file.error != 0 || file.fd == kNoFile) return file.error;
    if (file.way == OutputFile::Way::kRename) fail(file, readyRename(file));
    if (file.way == OutputFile::Way::kWriteThrough) lockTarget(file);
    if (file.error != 0) abandonOutput(file);
    return file.error;
}

// A locked write-through's backup, made once the sources are known to be as read (reserving
// room in a source written back could count as a change).
int backUpOutput(OutputFile& file) {
    if (file.error != 0 || file.way != OutputFile::Way::kWriteThrough) return file.error;
    fail(file, makeBackup(file));
    if (file.error != 0) abandonOutput(file);
    return file.error;
}

int placeOutput(OutputFile& file, const std::function<void()>& check) {
    if (file.error == 0) {
        switch (file.way) {
        case OutputFile::Way::kDirect:
            if (file.fd != kNoFile) fail(file, platform::closeFile(file.fd));
            file.fd = kNoFile;
            break;
        case OutputFile::Way::kSpool: {
            // Nothing in a pipe can be left half rewritten, so the stopping signals are not held
            // while a slow reader takes the result. Standard output is written where it stands,
            // whatever file or pipe it is.
            int error = 0;
            const FileHandle target =
                file.stream != kNoFile ? file.stream : platform::openForWriting(file.target, false, error);
            if (error != 0) {
                fail(file, error);
                break;
            }
            fail(file, copyFile(file.fd, target, file.length, true));
            if (target != file.stream) fail(file, platform::closeFile(target));
            break;
        }
        case OutputFile::Way::kWriteThrough: {
            // A signal waits until the destination is whole again, old or new.
            const platform::StopSignalsHeld signalsHeld;
            fail(file, writeThrough(file, check));
            break;
        }
        case OutputFile::Way::kRename:
            fail(file, renameIntoPlace(file, check));
            break;
        }
    }
    // The folder stays open: the commit syncs it once every file is in place.
    abandonOutput(file);
    return file.error;
}

}  // namespace

OutputFile::~OutputFile() {
    abandonOutput(*this);
    platform::closeFolder(folder);
}

int checkDestination(const char* name) {
    if (platform::namesStandardOutput(name)) return platform::standardOutputWritable();
    platform::FileInfo info;
    const int missing = platform::statPath(name, info);
    if (missing == 0) {
        if (info.directory) return -EISDIR;
        if (const int refused = platform::mayWrite(name); refused != 0) return refused;
        if (!info.regular) return 0;
    } else if (missing != -ENOENT) {
        return missing;
    }
    // A regular file is put in place by a rename in its folder (through a link, the folder of
    // the file it names), so that folder must take new names.
    return platform::mayChangeFolder(folderOf(platform::resolvedPath(name)));
}

int openOutput(OutputFile& file, const char* name, const std::vector<Avoided>& avoided) {
    platform::prepareForWriting();
    file.target = name;
    auto refuse = [&](int error, const char* reason = nullptr) {
        file.refused = true;
        fail(file, error, reason);
        return file.error;
    };
    if (const int refused = checkDestination(name); refused != 0) return refuse(refused);
    platform::FileInfo old;
    file.exists = platform::statPath(name, old) == 0;
    if (file.exists) {
        for (const Avoided& other : avoided) {
            if (other.id == old.id()) return refuse(-EEXIST, other.reason);
        }
    }
    const bool standardOutput = platform::namesStandardOutput(name);
    if (standardOutput) file.stream = platform::standardOutput();
    if (standardOutput || (file.exists && old.pipe)) {
        // A pipe hands on at once whatever reaches it, so the result goes in only when complete:
        // a run that ends with an error sends nothing, as to a file it replaces nothing. Without
        // a temporary file the run fails before it sends anything.
        file.way = OutputFile::Way::kSpool;
        if (const int error = platform::openFolder(platform::temporaryFolder(), file.folder); error != 0) {
            return refuse(error);
        }
        file.base = "spool";
        if (const int error = openTemporary(file); error != 0) return refuse(error);
        return 0;
    }
    if (file.exists && !old.regular) {
        file.way = OutputFile::Way::kDirect;
        int error = 0;
        file.fd = platform::openForWriting(name, true, error);
        fail(file, error);
        return file.error;
    }
    // A symbolic link is followed once, here: the file it names is the one replaced, reached
    // from now on through its folder, held open.
    if (file.exists) file.target = platform::resolvedPath(name);
    file.old = old;
    file.base = baseOf(file.target);
    if (const int error = platform::openFolder(folderOf(file.target), file.folder); error != 0) {
        fail(file, error);
        return file.error;
    }
    if (file.exists) {
        platform::FileInfo there;
        bool link = false;
        if (platform::statIn(file.folder, file.base, there, link) != 0 || link || there.id() != old.id()) {
            fail(file, -EEXIST, kReplacedReason);
            return file.error;
        }
    }
    if (const int error = openTemporary(file); error != 0) {
        fail(file, error);
        return file.error;
    }
    if (!file.exists) return 0;
    platform::FileInfo created;
    if (const int error = platform::statFile(file.fd, created); error != 0) {
        fail(file, error);
        return file.error;
    }
    // Other names of the destination must see the result, and a file that cannot be given the
    // old owner and group would change hands: both are written through. The owner and group
    // are set now, before the mode: changing them may clear the set-user and set-group bits.
    if (old.links > 1 || ((old.owner != created.owner || old.group != created.group) &&
                          platform::setOwner(file.fd, old.owner, old.group) != 0)) {
        file.way = OutputFile::Way::kWriteThrough;
    }
    return 0;
}

void writeOutput(OutputFile& file, const uint8_t* bytes, int64_t count) {
    if (file.error != 0) return;
    const int written = platform::writeAll(file.fd, bytes, count);
    if (written != 0) {
        fail(file, written);
    } else {
        file.length += count;
    }
}

int64_t copyIntoOutput(OutputFile& file, FileHandle from, int64_t offset, int64_t count) {
    if (file.error != 0) return 0;
    const int64_t done = platform::copyBetween(from, offset, file.fd, count);
    file.length += done;
    return done;
}

void abandonOutput(OutputFile& file) {
    if (file.fd == kNoFile && file.targetFd == kNoFile && file.lockFd == kNoFile && file.backupFd == kNoFile &&
        file.temporary.empty() &&
        file.staged.empty() && file.backup.empty()) {
        return;
    }
    const platform::StopSignalsHeld signalsHeld;
    if (file.fd != kNoFile) platform::closeFile(file.fd);
    file.fd = kNoFile;
    // A backup still here was made before the destination was touched.
    dropBackup(file, false);
    if (file.targetFd != kNoFile) platform::closeFile(file.targetFd);
    file.targetFd = kNoFile;
    if (file.lockFd != kNoFile) platform::closeFile(file.lockFd);
    file.lockFd = kNoFile;
    if (!file.staged.empty()) platform::removeIn(file.folder, file.staged);
    if (!file.temporary.empty() && file.temporary != file.staged) platform::removeIn(file.folder, file.temporary);
    file.staged.clear();
    file.temporary.clear();
    platform::forgetTemporaryName(file.stagedSlot);
    platform::forgetTemporaryName(file.cleanupSlot);
}

void commitOutputs(HeldOutputs& held, const std::function<void()>& check) {
    // Taken out first: a failure report may end the run, and the rest are abandoned with it.
    HeldOutputs files = std::move(held);
    held.clear();
    // Every file is readied before the first takes its place, so that a failure on the way
    // (a sync, a lock, a backup on a full disk) leaves every destination as it was; only the
    // renames and copies that put files in place come after, none before the sources are seen
    // unchanged.
    for (HeldOutput& h : files) {
        if (prepareOutput(*h.file) != 0) h.failed(*h.file);
    }
    check();
    for (HeldOutput& h : files) {
        if (backUpOutput(*h.file) != 0) h.failed(*h.file);
    }
    for (HeldOutput& h : files) {
        if (placeOutput(*h.file, check) != 0) h.failed(*h.file);
    }
    // The new names last through a power cut once their folders are synced. Every file is in
    // place by now: a folder that cannot be synced leaves the run a success, as it is.
    // A folder shared by several results is synced once.
    std::vector<std::string> synced;
    for (const HeldOutput& h : files) {
        const OutputFile& file = *h.file;
        if (file.way != OutputFile::Way::kRename || file.folder.handle == kNoFile ||
            std::find(synced.begin(), synced.end(), file.folder.path) != synced.end()) {
            continue;
        }
        platform::syncFolder(file.folder);
        synced.push_back(file.folder.path);
    }
}

int writeFileWhole(HeldOutputs& files, const char* name, const uint8_t* head, int64_t headBytes, const uint8_t* body,
                   int64_t bodyBytes, const std::vector<Avoided>& avoided,
                   std::function<void(const OutputFile&)> failed) {
    auto file = std::make_unique<OutputFile>();
    if (openOutput(*file, name, avoided) != 0) return file->error;
    writeOutput(*file, head, headBytes);
    writeOutput(*file, body, bodyBytes);
    if (file->error != 0) return file->error;
    files.push_back(HeldOutput{std::move(file), std::move(failed)});
    return 0;
}
