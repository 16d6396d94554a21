// Running the built qor binary, and capturing the streams of in-process calls.
#pragma once

#include <string>
#include <vector>

struct RunResult {
    std::string out;  // standard output
    std::string err;  // error stream
    int exitCode = -1;
};

// Runs qor with `args` in the folder `cwd`. `locale` sets LC_ALL (C.UTF-8 unless given).
// With mergeStreams both streams go to `out`, in the order the program wrote them.
RunResult runQor(const std::vector<std::string>& args, const std::string& cwd = ".",
                 const std::string& locale = "C.UTF-8", bool mergeStreams = false);

// Reads a started child's standard output and error stream (the read ends of its pipes) until
// both close, then waits for it and returns what it wrote and its exit code.
RunResult collectChild(int pid, int outFd, int errFd);

// A fresh folder under /tmp, removed with everything in it when the object goes.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    // Names of the entries in the folder, sorted.
    std::vector<std::string> entries() const;
};

// Captures what an in-process call writes to standard output and the error stream.
struct StreamCapture {
    StreamCapture();
    ~StreamCapture();
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;
    // Stops capturing (if still capturing) and returns what was written.
    std::string out();
    std::string err();

  private:
    void stop();
    int savedOut_ = -1, savedErr_ = -1;
    std::string outPath_, errPath_;
    bool stopped_ = false;
};

// Splits text into lines without their line feeds.
std::vector<std::string> lines(const std::string& text);
