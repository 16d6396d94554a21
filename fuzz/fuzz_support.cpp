#include "fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "base/buffers.h"
#include "driver/command_line.h"
#include "wave/source.h"

namespace {

std::string makeFolder() {
    // run.sh names a folder it removes even when a fuzzer dies before its own clean-up.
    const char* base = getenv("QOR_FUZZ_SCRATCH");
    if (base == nullptr || access(base, W_OK) != 0) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/qor-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        perror("qor fuzz: scratch folder");
        abort();
    }
    return pattern;
}

void removeFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(scratchFolder(), ignored);
}

}  // namespace

const std::string& scratchFolder() {
    static const std::string folder = [] {
        std::string made = makeFolder();
        return made;
    }();
    static const bool registered = atexit(removeFolder) == 0;
    (void)registered;
    return folder;
}

std::string writeScratchFile(const char* name, const uint8_t* data, size_t size) {
    std::string path = scratchFolder() + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        perror("qor fuzz: input file");
        abort();
    }
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            perror("qor fuzz: input file");
            abort();
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    return path;
}

void quietSettings() {
    resetSettings();
    settings.stderrThreshold = -1;
    settings.stdoutThreshold = -1;
}

void endInput() {
    closeSources();
    apmalloc(kReleaseAll);
}
