#include "driver/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

int negativeErrno() { return errno > 0 ? -errno : -1; }

void fail(OutputFile& file, int error) {
    if (file.error == 0) file.error = error;
}

}  // namespace

OutputFile::~OutputFile() { abandonOutput(*this); }

int openOutput(OutputFile& file, const char* name) {
    file.target = name;
    struct stat status;
    const bool exists = stat(name, &status) == 0;
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
        file.mode = status.st_mode & 07777;
        file.keepMode = true;
    }
    const size_t slash = file.target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : file.target.substr(0, slash + 1);
    // The temporary name stays within the file-name limit however long the name is.
    const std::string base =
        (slash == std::string::npos ? file.target : file.target.substr(slash + 1)).substr(0, 200);
    for (int attempt = 0; attempt < 100 && file.fd < 0; attempt++) {
        file.temporary =
            folder + "." + base + ".qor-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
        file.fd = open(file.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (file.fd < 0 && errno != EEXIST) break;
    }
    if (file.fd < 0) {
        fail(file, errno == 0 ? -EEXIST : negativeErrno());
        file.temporary.clear();
        return file.error;
    }
    if (file.keepMode) fchmod(file.fd, file.mode);
    return 0;
}

void writeOutput(OutputFile& file, const uint8_t* bytes, int64_t count) {
    while (file.error == 0 && count > 0) {
        const ssize_t n = write(file.fd, bytes, static_cast<size_t>(count));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            fail(file, n < 0 ? negativeErrno() : -EIO);
            return;
        }
        bytes += n;
        count -= n;
    }
}

int commitOutput(OutputFile& file) {
    if (file.fd >= 0) {
        // A failed close can mean the data never reached the disk: it counts as a failed write.
        if (close(file.fd) != 0) fail(file, negativeErrno());
        file.fd = -1;
    }
    if (file.error == 0 && !file.temporary.empty() && rename(file.temporary.c_str(), file.target.c_str()) != 0) {
        fail(file, negativeErrno());
    }
    if (file.error != 0 && !file.temporary.empty()) unlink(file.temporary.c_str());
    file.temporary.clear();
    return file.error;
}

void abandonOutput(OutputFile& file) {
    if (file.fd >= 0) close(file.fd);
    file.fd = -1;
    if (!file.temporary.empty()) unlink(file.temporary.c_str());
    file.temporary.clear();
}

int writeFileWhole(const char* name, const uint8_t* head, int64_t headBytes, const uint8_t* body,
                   int64_t bodyBytes) {
    OutputFile file;
    if (openOutput(file, name) != 0) return file.error;
    writeOutput(file, head, headBytes);
    writeOutput(file, body, bodyBytes);
    return commitOutput(file);
}
