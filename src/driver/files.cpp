#include "driver/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

int negativeErrno() { return errno > 0 ? -errno : -1; }

// Writes both parts with vectored writes, resuming after short writes and interruptions.
int writeParts(int fd, const uint8_t* head, int64_t headBytes, const uint8_t* body, int64_t bodyBytes) {
    iovec parts[2] = {{const_cast<uint8_t*>(head), static_cast<size_t>(headBytes)},
                      {const_cast<uint8_t*>(body), static_cast<size_t>(bodyBytes)}};
    int first = 0;
    while (first < 2) {
        if (parts[first].iov_len == 0) {
            first++;
            continue;
        }
        ssize_t n = writev(fd, parts + first, 2 - first);
        if (n < 0) {
            if (errno == EINTR) continue;
            return negativeErrno();
        }
        if (n == 0) return -EIO;
        for (size_t left = static_cast<size_t>(n); left > 0 && first < 2;) {
            size_t taken = left < parts[first].iov_len ? left : parts[first].iov_len;
            parts[first].iov_base = static_cast<uint8_t*>(parts[first].iov_base) + taken;
            parts[first].iov_len -= taken;
            left -= taken;
            if (parts[first].iov_len == 0) first++;
        }
    }
    return 0;
}

}  // namespace

int writeFileWhole(const char* name, const uint8_t* head, int64_t headBytes, const uint8_t* body,
                   int64_t bodyBytes) {
    struct stat status;
    const bool exists = stat(name, &status) == 0;
    if (exists && !S_ISREG(status.st_mode)) {
        int fd = open(name, O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd < 0) return negativeErrno();
        int result = writeParts(fd, head, headBytes, body, bodyBytes);
        if (close(fd) != 0 && result == 0) result = negativeErrno();
        return result;
    }
    std::string target = name;
    if (exists) {
        char* resolved = realpath(name, nullptr);
        if (resolved != nullptr) {
            target = resolved;
            free(resolved);
        }
    }
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    // The temporary name stays within the file-name limit however long the name is.
    const std::string base = (slash == std::string::npos ? target : target.substr(slash + 1)).substr(0, 200);
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
        temporary = folder + "." + base + ".qor-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
        fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return negativeErrno();
    }
    if (fd < 0) return -EEXIST;
    if (exists) fchmod(fd, status.st_mode & 07777);
    int result = writeParts(fd, head, headBytes, body, bodyBytes);
    // A failed close can mean the data never reached the disk: it counts as a failed write.
    if (close(fd) != 0 && result == 0) result = negativeErrno();
    if (result == 0 && rename(temporary.c_str(), target.c_str()) != 0) result = negativeErrno();
    if (result != 0) unlink(temporary.c_str());
    return result;
}
