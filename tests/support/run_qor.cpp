#include "support/run_qor.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/child_run.h"

RunResult runQor(const std::vector<std::string>& args, const std::string& cwd, const std::string& locale,
                 bool mergeStreams) {
    ChildConditions conditions;
    conditions.locale = locale;
    conditions.mergeStreams = mergeStreams;
    return runQorUnder(args, cwd, conditions);
}

RunResult collectChild(int pid, int outFd, int errFd) {
    RunResult result;
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    char buffer[65536];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open--;
            } else {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

TempDir::TempDir() {
    char pattern[] = "/tmp/qor-test-XXXXXX";
    char* made = mkdtemp(pattern);
    if (made == nullptr) abort();
    path = made;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::vector<std::string> TempDir::entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {
std::string captureFile(const char* which) {
    char pattern[64];
    snprintf(pattern, sizeof pattern, "/tmp/qor-capture-%s-XXXXXX", which);
    int fd = mkstemp(pattern);
    if (fd < 0) abort();
    close(fd);
    return pattern;
}
std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
}  // namespace

StreamCapture::StreamCapture() : outPath_(captureFile("out")), errPath_(captureFile("err")) {
    fflush(stdout);
    fflush(stderr);
    savedOut_ = dup(1);
    savedErr_ = dup(2);
    int outFd = open(outPath_.c_str(), O_WRONLY | O_TRUNC);
    int errFd = open(errPath_.c_str(), O_WRONLY | O_TRUNC);
    dup2(outFd, 1);
    dup2(errFd, 2);
    close(outFd);
    close(errFd);
}

void StreamCapture::stop() {
    if (stopped_) return;
    stopped_ = true;
    fflush(stdout);
    fflush(stderr);
    dup2(savedOut_, 1);
    dup2(savedErr_, 2);
    close(savedOut_);
    close(savedErr_);
}

StreamCapture::~StreamCapture() {
    stop();
    unlink(outPath_.c_str());
    unlink(errPath_.c_str());
}

std::string StreamCapture::out() {
    stop();
    return slurp(outPath_);
}

std::string StreamCapture::err() {
    stop();
    return slurp(errPath_);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}
