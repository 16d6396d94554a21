#include "engine/commit.h"

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

using platform::FileHandle;
using platform::kNoFile;

namespace {

void fail(OutputFile& file, int error) {
    if (file.error == 0) file.error = error;
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

// A private name in `folder` not taken yet, made by `make` (which creates the file under the
// name it is given and returns 0, or a negative errno value); the name is remembered for the
// stopping signals in `slot`. Returns the name, or empty with `error` set.
template <typename Make>
std::string privateName(const std::string& folder, const std::string& base, int& slot, int& error, Make make) {
    const platform::StopSignalsHeld held;
    // The name stays within the file-name limit however long the base is.
    const std::string stem = folder + "." + base.substr(0, 200) + ".qor-" + std::to_string(platform::processId()) + "-";
    for (int attempt = 0; attempt < 100; attempt++) {
        std::string name = stem + std::to_string(attempt);
        error = make(name);
        if (error == -EEXIST) continue;
        if (error != 0) return "";
        slot = platform::rememberTemporaryName(name);
        return name;
    }
    error = -EEXIST;
    return "";
}

// Opens a temporary file in `folder` for reading and writing, readable by this user only: one
// without a name where the file system has them, otherwise a private name.
int openTemporary(OutputFile& file, const std::string& folder) {
    int error = 0;
    file.fd = platform::createUnnamed(folder, error);
    // Only a file system without unnamed files falls back to a name; any other failure (no
    // folder, no permission, no room) is the destination's failure.
    if (error != -EOPNOTSUPP) return error;
    file.temporary = privateName(folder, baseOf(file.target), file.cleanupSlot, error, [&](const std::string& name) {
        int made = 0;
        file.fd = platform::createExclusive(name, made);
        return made;
    });
    return error;
}

// Gives the complete temporary file a private name in `folder` (a named temporary already has
// one). Returns the name, or empty with `error` set.
std::string nameTemporary(OutputFile& file, const std::string& folder, int& slot, int& error) {
    if (!file.temporary.empty()) {
        error = 0;
        return file.temporary;
    }
    return privateName(folder, baseOf(file.target), slot, error,
                       [&](const std::string& name) { return platform::nameUnnamed(file.fd, name); });
}

// After a write-through failed part way, links the complete result to a name of its own beside
// the destination (or in the temporary folder when that folder takes no new name), so that it
// is not lost with the run.
void keepResult(OutputFile& file) {
    for (const std::string& folder : {folderOf(file.target), platform::temporaryFolder()}) {
        const std::string name = folder + baseOf(file.target) + ".qor-kept-" + std::to_string(platform::processId());
        const int done = file.temporary.empty() ? platform::nameUnnamed(file.fd, name)
                                                : platform::linkName(file.temporary, name);
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
    int error = 0;
    file.targetFd = platform::openForWriting(file.target, false, error);
    if (error != 0) return error;
    return platform::reserve(file.targetFd, file.length);
}

// Copies the complete result into the existing destination, which keeps its owner and its other
// names. The length is set after the copy, so the old contents are never cut short first; if
// the copy fails, the complete result is kept under a name of its own.
int writeThrough(OutputFile& file) {
    int error = copyFile(file.fd, file.targetFd, file.length, false);
    if (error == 0) error = platform::setLength(file.targetFd, file.length);
    if (error == 0) error = platform::sync(file.targetFd);
    const int closed = platform::closeFile(file.targetFd);
    if (error == 0) error = closed;
    file.targetFd = kNoFile;
    if (error != 0) keepResult(file);
    return error;
}

// Readies a result that is renamed into place: the old file's mode (its owner and group were
// given when the file was made), synced when it replaces a file, linked to a private name
// beside the destination and closed. No name in use changes.
int stageRename(OutputFile& file) {
    int error = platform::setMode(file.fd, file.exists ? file.mode : platform::newFileMode());
    if (error == 0 && file.exists) error = platform::sync(file.fd);
    if (error != 0) return error;
    const platform::StopSignalsHeld held;
    file.staged = nameTemporary(file, folderOf(file.target), file.stagedSlot, error);
    if (file.staged.empty()) return error;
    // A failed close can mean the data never reached the disk: it counts as a failed write.
    error = platform::closeFile(file.fd);
    file.fd = kNoFile;
    return error;
}

struct Held {
    std::unique_ptr<OutputFile> file;
    std::function<void(const OutputFile&)> failed;
};
std::vector<Held> held;

}  // namespace

OutputFile::~OutputFile() { abandonOutput(*this); }

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

int openOutput(OutputFile& file, const char* name) {
    platform::prepareForWriting();
    file.target = name;
    const int refused = checkDestination(name);
    if (refused != 0) {
        file.refused = true;
        fail(file, refused);
        return file.error;
    }
    platform::FileInfo old;
    file.exists = platform::statPath(name, old) == 0;
    const bool standardOutput = platform::namesStandardOutput(name);
    if (standardOutput) file.stream = platform::standardOutput();
    if (standardOutput || (file.exists && old.pipe)) {
        // A pipe hands on at once whatever reaches it, so the result goes in only when complete:
        // a run that ends with an error sends nothing, as to a file it replaces nothing. Without
        // a temporary file the run fails before it sends anything.
        file.way = OutputFile::Way::kSpool;
        const int error = openTemporary(file, platform::temporaryFolder());
        if (error != 0) {
            file.refused = true;
            fail(file, error);
        }
        return file.error;
    }
    if (file.exists && !old.regular) {
        file.way = OutputFile::Way::kDirect;
        int error = 0;
        file.fd = platform::openForWriting(name, true, error);
        fail(file, error);
        return file.error;
    }
    if (file.exists) {
        // A symbolic link is followed: the file it names is the one replaced.
        file.target = platform::resolvedPath(name);
        file.owner = old.owner;
        file.group = old.group;
        file.mode = old.mode;
    }
    if (const int error = openTemporary(file, folderOf(file.target)); error != 0) {
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

int prepareOutput(OutputFile& file) {
    if (file.error != 0 || file.fd == kNoFile) return file.error;
    if (file.way == OutputFile::Way::kRename) fail(file, stageRename(file));
    if (file.way == OutputFile::Way::kWriteThrough) fail(file, reserveTarget(file));
    if (file.error != 0) abandonOutput(file);
    return file.error;
}

int placeOutput(OutputFile& file) {
    if (file.error == 0) {
        switch (file.way) {
        case OutputFile::Way::kDirect:
            if (file.fd != kNoFile) fail(file, platform::closeFile(file.fd));
            file.fd = kNoFile;
            break;
        case OutputFile::Way::kSpool: {
            // Nothing in a pipe can be left half rewritten, so the stopping signals are not held
            // while a slow reader takes the result.
            // Standard output is written where it stands, whatever file or pipe it is.
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
            // A signal waits until the copy is over: a stopped run never leaves the destination
            // half rewritten.
            const platform::StopSignalsHeld signalsHeld;
            fail(file, writeThrough(file));
            break;
        }
        case OutputFile::Way::kRename: {
            const platform::StopSignalsHeld signalsHeld;
            if (const int error = platform::renameOver(file.staged, file.target); error != 0) {
                fail(file, error);
            } else {
                // The staged name (a named temporary's own name, when it had one) is the
                // destination's now: nothing is left to remove.
                file.staged.clear();
                file.temporary.clear();
                platform::forgetTemporaryName(file.stagedSlot);
                platform::forgetTemporaryName(file.cleanupSlot);
            }
            break;
        }
        }
    }
    abandonOutput(file);
    return file.error;
}

void abandonOutput(OutputFile& file) {
    if (file.fd == kNoFile && file.targetFd == kNoFile && file.temporary.empty() && file.staged.empty()) return;
    const platform::StopSignalsHeld signalsHeld;
    if (file.fd != kNoFile) platform::closeFile(file.fd);
    file.fd = kNoFile;
    if (file.targetFd != kNoFile) platform::closeFile(file.targetFd);
    file.targetFd = kNoFile;
    if (!file.staged.empty()) platform::removeName(file.staged);
    if (!file.temporary.empty() && file.temporary != file.staged) platform::removeName(file.temporary);
    file.staged.clear();
    file.temporary.clear();
    platform::forgetTemporaryName(file.stagedSlot);
    platform::forgetTemporaryName(file.cleanupSlot);
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
    holdForCommit(std::move(file), std::move(failed));
    return 0;
}
