// Existing destinations, end to end through the binary: a file the user may not write is refused
// and left alone; a replaced file keeps its owner, group and mode; one that cannot be given back
// its owner, or has other names, is written through; a run stopped by a signal leaves no
// temporary file behind; and a source named without extension is found as ".wav".
#include <fcntl.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/run_qor.h"
#include "support/wave_writer.h"

namespace {

const std::vector<int> kSound = {0, 20000, -20000, 300, 25000, -7};

Bytes reversed() {
    std::vector<int> values;
    for (int v : kSound) values.push_back(-v);
    return makeWave(2, 16, 8000, values);
}

// Starts `argv` in `cwd` with its streams on the given descriptors. The three stopping signals
// start at their default.
pid_t start(std::vector<std::string> argv, const std::string& cwd, int outFd, int errFd) {
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outFd, 1);
        dup2(errFd, 2);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s : {SIGTERM, SIGINT, SIGHUP}) signal(s, SIG_DFL);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        setenv("LC_ALL", "C.UTF-8", 1);
        std::vector<char*> pointers;
        for (std::string& a : argv) pointers.push_back(a.data());
        pointers.push_back(nullptr);
        execvp(pointers[0], pointers.data());
        _exit(127);
    }
    return pid;
}

// Starts qor with `args`, behind `prefix` (a command that runs it as another user).
pid_t startQor(const std::vector<std::string>& prefix, const std::vector<std::string>& args,
               const std::string& cwd, int outFd, int errFd) {
    std::vector<std::string> argv = prefix;
    argv.push_back(QOR_BINARY);
    argv.insert(argv.end(), args.begin(), args.end());
    return start(argv, cwd, outFd, errFd);
}

RunResult runAs(const std::vector<std::string>& prefix, const std::vector<std::string>& args,
                const std::string& cwd) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) abort();
    const pid_t pid = startQor(prefix, args, cwd, out[1], err[1]);
    close(out[1]);
    close(err[1]);
    return collectChild(pid, out[0], err[0]);
}

// A command prefix that runs a program as the user nobody, or empty when none works here.
std::vector<std::string> nobodyPrefix() {
    const std::vector<std::vector<std::string>> candidates = {
        {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"},
        {"runuser", "-u", "nobody", "--"},
    };
    const int null = open("/dev/null", O_WRONLY);
    for (const auto& prefix : candidates) {
        std::vector<std::string> argv = prefix;
        argv.push_back("true");
        const pid_t pid = start(argv, "/", null, null);
        int status = 0;
        if (waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            close(null);
            return prefix;
        }
    }
    close(null);
    return {};
}

bool hasTemporary(const TempDir& dir) {
    for (const std::string& name : dir.entries()) {
        if (name.find(".qor-") != std::string::npos) return true;
    }
    return false;
}

TEST(Destination, ExistingFilesAreRefusedReplacedOrWrittenThrough) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        const char* target;  // exists before the run, holding other bytes (a.wav is the source)
        unsigned mode;
        bool ownedByNobody;  // else owned by the test's user
        const char* link;    // a second name of the target, or null
        bool runAsNobody;
        bool needsRoot;  // the target must belong to someone other than the user writing it
        int exitCode;
        std::string err;
        bool replaced;  // the target holds the result afterwards, else its old bytes
    } cases[] = {
        {"read-only, overwrite", {"reverse", "/W", "a.wav"}, "a.wav", 0444, false, nullptr, true, false, 255,
         "E [OUTPUT] cannot output [a.wav]\n  [OUTPUT] Permission denied\n", false},
        {"read-only, named last, naked", {"reverse", "/N", "a.wav", "out.wav"}, "out.PHL", 0444, false, nullptr,
         true, false, 255, "E [OUTPUT2] cannot output [out.PHL]\n  [OUTPUT2] Permission denied\n", false},
        {"read-only picture", {"reverse", "/G", "a.wav", "out.wav"}, "out.BMP", 0444, false, nullptr, true, false,
         1, "W [BITMAP] cannot output [out.BMP]\n", false},
        {"another user's writable file", {"reverse", "a.wav", "out.wav"}, "out.wav", 0666, false, nullptr, true,
         true, 1, "", true},
        {"other hard links", {"reverse", "a.wav", "out.wav"}, "out.wav", 0644, false, "other.wav", false, false, 1,
         "", true},
        {"owner, group and mode kept", {"reverse", "a.wav", "out.wav"}, "out.wav", 0640, true, nullptr, false,
         true, 1, "", true},
    };
    const bool root = geteuid() == 0;
    const std::vector<std::string> dropped = root ? nobodyPrefix() : std::vector<std::string>{};
    const passwd* nobody = getpwnam("nobody");
    const Bytes source = makeWave(2, 16, 8000, kSound);
    const Bytes old = makeWave(1, 8, 8000, {1, 2, 3});
    std::string skipped;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Without root every file is the test's own; with it, nobody must be reachable.
        if ((!root && c.needsRoot) || (root && (c.runAsNobody || c.ownedByNobody) && (dropped.empty() || !nobody))) {
            skipped += std::string(" ") + c.name + ";";
            continue;
        }
        TempDir dir;
        chmod(dir.path.c_str(), 0777);
        const std::string target = dir / c.target;
        writeFile(dir / "a.wav", source);
        chmod((dir / "a.wav").c_str(), 0644);  // readable by nobody whatever the umask
        if (std::string(c.target) != "a.wav") writeFile(target, old);
        if (c.ownedByNobody) {
            ASSERT_EQ(chown(target.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        }
        chmod(target.c_str(), c.mode);
        if (c.link != nullptr) {
            ASSERT_EQ(link(target.c_str(), (dir / c.link).c_str()), 0);
        }
        struct stat before;
        ASSERT_EQ(stat(target.c_str(), &before), 0);
        const Bytes previous = readFile(target);

        RunResult r = runAs(c.runAsNobody ? dropped : std::vector<std::string>{}, c.args, dir.path);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(readFile(target), c.replaced ? reversed() : previous);
        struct stat after;
        ASSERT_EQ(stat(target.c_str(), &after), 0);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_gid, before.st_gid);
        EXPECT_EQ(after.st_mode & 07777, c.mode);
        if (c.link != nullptr) {
            struct stat other;
            ASSERT_EQ(stat((dir / c.link).c_str(), &other), 0);
            EXPECT_EQ(other.st_ino, after.st_ino);
            EXPECT_EQ(readFile(dir / c.link), reversed());
        }
        EXPECT_FALSE(hasTemporary(dir));
    }
    if (!skipped.empty()) GTEST_SKIP() << "needs root and the user nobody, not checked:" << skipped;
}

// The permission bits of a file without a name in `folder` that the process `pid` holds open
// (its link reads "folder/#inode (deleted)"): a temporary result; -1 when it holds none.
int unnamedFileMode(pid_t pid, const std::string& folder) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(fds.c_str());
    if (d == nullptr) return -1;
    int mode = -1;
    while (dirent* e = readdir(d)) {
        const std::string fd = fds + "/" + e->d_name;
        char target[4096];
        const ssize_t n = readlink(fd.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        const std::string link = target;
        struct stat status;
        if (link.rfind(folder + "/", 0) == 0 && link.find("(deleted)") != std::string::npos &&
            stat(fd.c_str(), &status) == 0) {
            mode = static_cast<int>(status.st_mode & 07777);
        }
    }
    closedir(d);
    return mode;
}

TEST(Destination, AStoppedOrOvertakenRunLeavesEveryFileAsItWas) {
    // What happens while the run waits with its complete result: a signal, or the source grows.
    constexpr int kSourceGrows = 0;
    constexpr int kSourceRewritten = -1;  // the same length, other samples
    for (int event : {SIGTERM, SIGINT, SIGHUP, SIGKILL, kSourceGrows, kSourceRewritten}) {
        SCOPED_TRACE(event);
        TempDir dir;
        const Bytes source = makeWave(2, 16, 8000, kSound);
        writeFile(dir / "a.wav", source);
        writeFile(dir / "out.wav", makeWave(1, 16, 8000, {1, 2, 3}));
        const Bytes previous = readFile(dir / "out.wav");
        // The run clips, and its warning comes after the last sample is written but before the
        // file is put in place. The error stream is a pipe already full, so the run stops there,
        // with its temporary file complete, until the signal ends it or the pipe is read.
        int err[2];
        ASSERT_EQ(pipe(err), 0);
        fcntl(err[1], F_SETFL, O_NONBLOCK);
        const char filler[4096] = {};
        while (write(err[1], filler, sizeof filler) > 0) {
        }
        while (write(err[1], filler, 1) > 0) {
        }
        fcntl(err[1], F_SETFL, 0);
        const int null = open("/dev/null", O_WRONLY);
        const pid_t pid = startQor({}, {"boost", "/m2", "/F", "a.wav", "out.wav"}, dir.path, null, err[1]);
        close(null);
        close(err[1]);
        int mode = -1;
        for (int wait = 0; wait < 500 && mode < 0; wait++) {
            mode = unnamedFileMode(pid, dir.path);
            if (mode < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        // Only this user can read the result while it is written.
        EXPECT_EQ(mode, 0600) << "the run did not stop with its private temporary file";
        std::string tail;
        if (event == kSourceGrows || event == kSourceRewritten) {
            Bytes changed = source;
            if (event == kSourceGrows) changed.insert(changed.end(), {1, 2, 3, 4});
            if (event == kSourceRewritten) changed.back() ^= 1;
            // A rewrite within the same second must still show: the time has nanoseconds.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            writeFile(dir / "a.wav", changed);
            char buffer[4096];
            for (ssize_t n; (n = read(err[0], buffer, sizeof buffer)) > 0;) tail.append(buffer, static_cast<size_t>(n));
        } else {
            kill(pid, event);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        close(err[0]);
        if (event == kSourceGrows || event == kSourceRewritten) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << "status " << status;
            EXPECT_EQ(tail.substr(tail.rfind("W [")), "W [B/A16] found OverFlow, 3 time(s).\n"
                                                       "E [QOR] source file changed while read. [a.wav]\n");
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == event) << "status " << status;
        }
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"a.wav", "out.wav"}));
        EXPECT_EQ(readFile(dir / "out.wav"), previous);
    }
}

// Every signal whose default action ends the process removes the remembered temporary names
// first (what the builds that name their temporary files rely on), then ends the process as the
// signal would have; one ignored at the start stays ignored, a fault another handler takes (a
// sanitizer's) stays with it, and only the stopping signals wait while they are held back.
TEST(DestinationDeathTest, EverySignalThatEndsTheRunRemovesTheTemporaryNames) {
    // Each case runs in a fresh process, where nothing has prepared the signals yet.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    enum Start { kDefault, kIgnored, kHandledElsewhere };
    struct Case {
        const char* name;
        int signal;
        Start start = kDefault;
        bool held = false;  // raised while the stopping signals are held back
    } cases[] = {
        {"terminate", SIGTERM},
        {"quit", SIGQUIT},
        {"abort", SIGABRT},
        {"user 1", SIGUSR1},
        {"user 2", SIGUSR2},
        {"alarm", SIGALRM},
        {"virtual timer", SIGVTALRM},
        {"profiling timer", SIGPROF},
        {"processor time limit", SIGXCPU},
        {"bad system call", SIGSYS},
        {"trap", SIGTRAP},
        {"pollable event", SIGPOLL},
        {"power failure", SIGPWR},
        {"stack fault", SIGSTKFLT},
        {"first realtime", SIGRTMIN},
        {"last realtime", SIGRTMAX},
        {"segmentation fault", SIGSEGV},
        {"bus error", SIGBUS},
        {"arithmetic fault", SIGFPE},
        {"illegal instruction", SIGILL},
        {"hang-up ignored at the start (nohup)", SIGHUP, kIgnored},
        {"alarm ignored at the start", SIGALRM, kIgnored},
        {"segmentation fault handled elsewhere", SIGSEGV, kHandledElsewhere},
        {"user 1, held back", SIGUSR1, kDefault, true},
        {"realtime, held back", SIGRTMIN + 3, kDefault, true},
        {"segmentation fault, never held back", SIGSEGV, kDefault, true},
    };
    // The fresh process takes the folder of the one that runs the cases.
    std::optional<TempDir> made;
    if (getenv("QOR_SIGNAL_TEST_FOLDER") == nullptr) {
        made.emplace();
        setenv("QOR_SIGNAL_TEST_FOLDER", made->path.c_str(), 1);
    }
    const std::string folder = getenv("QOR_SIGNAL_TEST_FOLDER");
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string base = ".out.wav.qor-" + std::to_string(index);
        const std::string name = folder + "/" + base;
        const std::string after = folder + "/after-" + std::to_string(index++);
        const bool ends = c.start == kDefault;
        // A stopping signal raised while held comes when the hold ends; a fault comes at once.
        const bool waits = c.held && c.signal != SIGSEGV;
        auto exited = [&](int status) {
            if (c.start == kIgnored) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
            if (c.start == kHandledElsewhere) return WIFEXITED(status) && WEXITSTATUS(status) == 3;
            return WIFSIGNALED(status) && WTERMSIG(status) == c.signal;
        };
        EXPECT_EXIT(
            {
                prctl(PR_SET_DUMPABLE, 0);  // no core file
                if (c.start == kIgnored) signal(c.signal, SIG_IGN);
                if (c.start == kHandledElsewhere) signal(c.signal, [](int) { _exit(3); });
                if (c.start == kDefault) signal(c.signal, SIG_DFL);
                platform::prepareForWriting();
                writeFile(name, Bytes{1});
                platform::Folder held;
                platform::openFolder(folder + "/", held);
                int slot = platform::rememberTemporaryName(held, base);
                if (c.held) {
                    const platform::StopSignalsHeld held;
                    raise(c.signal);
                    writeFile(after, Bytes{1});
                } else {
                    raise(c.signal);
                }
                platform::forgetTemporaryName(slot);
                _exit(0);
            },
            exited, "");
        EXPECT_EQ(fileExists(name), !ends);
        EXPECT_EQ(fileExists(after), waits);
    }
    if (made) unsetenv("QOR_SIGNAL_TEST_FOLDER");
}

TEST(Destination, APipeGetsTheWholeResultOrNothing) {
    struct Case {
        const char* name;
        std::vector<int> sound;
        std::vector<std::string> args;  // the destination comes last
        int exitCode;
        bool readerLeaves;  // the reader takes one byte and goes: the rest of the write fails
    } cases[] = {
        {"complete", kSound, {"reverse", "a.wav"}, 1, false},
        // 33 samples past full scale: the run ends before its result is complete.
        {"overflow abort", std::vector<int>(66, 30000), {"boost", "/m2", "a.wav"}, 255, false},
        // More than the pipe holds; the closed pipe fails the write instead of ending the process.
        {"reader leaves", std::vector<int>(80000, 7), {"reverse", "a.wav"}, 255, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeFile(dir / "a.wav", makeWave(2, 16, 8000, c.sound));
        RunResult file = runQor([&] {
            auto args = c.args;
            args.push_back("file.wav");
            return args;
        }(), dir.path);
        ASSERT_EQ(mkfifo((dir / "pipe.wav").c_str(), 0600), 0);
        std::string received(1 << 16, '\0');
        ssize_t n = 0;
        std::thread leaving;
        int reader = -1;
        if (c.readerLeaves) {
            leaving = std::thread([&] {
                const int fd = open((dir / "pipe.wav").c_str(), O_RDONLY);
                n = read(fd, received.data(), 1);
                close(fd);
            });
        } else {
            // The reader is there before the run; the results fit in the pipe's buffer.
            reader = open((dir / "pipe.wav").c_str(), O_RDONLY | O_NONBLOCK);
            ASSERT_GE(reader, 0);
        }
        auto args = c.args;
        args.push_back("pipe.wav");
        const RunResult piped = runQor(args, dir.path);
        if (c.readerLeaves) {
            leaving.join();
            EXPECT_EQ(piped.err, "E [OUTPUT] cannot output [pipe.wav]\n  [OUTPUT] Broken pipe\n");
            EXPECT_EQ(n, 1);
            n = 0;
        } else {
            n = read(reader, received.data(), received.size());
            close(reader);
        }
        received.resize(static_cast<size_t>(std::max<ssize_t>(n, 0)));
        EXPECT_EQ(piped.exitCode, c.exitCode) << piped.err;
        EXPECT_EQ(file.exitCode, c.readerLeaves ? 1 : c.exitCode) << file.err;
        const Bytes expected = c.exitCode == 1 ? readFile(dir / "file.wav") : Bytes{};
        EXPECT_EQ(Bytes(received.begin(), received.end()), expected);
    }
}

TEST(Destination, ASourceWithoutExtensionIsFoundAsLowerCaseWav) {
    struct Case {
        const char* name;
        std::vector<std::string> present;
        std::vector<std::string> args;
        int exitCode;
        std::string fileNameLine;  // the "[info] FileName" line of the source read
        std::vector<std::string> after;
    } cases[] = {
        {"info", {"take.wav"}, {"info", "take"}, 0, "  [info] FileName : take.wav", {"take.wav"}},
        {"the appended name exists too", {"take.WAV", "take.wav"}, {"info", "take"}, 0,
         "  [info] FileName : take.WAV", {"take.WAV", "take.wav"}},
        {"a destination keeps .WAV", {"take.wav"}, {"reverse", "take", "out"}, 1, "  [info] FileName : take.wav",
         {"out.WAV", "take.wav"}},
        {"overwrite replaces the file read", {"take.wav"}, {"reverse", "/W", "take"}, 1,
         "  [info] FileName : take.wav", {"take.wav"}},
        {"the name as written", {"take"}, {"reverse", "/W", "take"}, 1, "  [info] FileName : take", {"take"}},
        {"no such file", {"take.WAVE"}, {"info", "take"}, 255, "", {"take.WAVE"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        for (const std::string& name : c.present) writeFile(dir / name, makeWave(2, 16, 8000, kSound));
        RunResult r = runQor(c.args, dir.path);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        const std::vector<std::string> out = lines(r.out);
        if (c.fileNameLine.empty()) {
            EXPECT_EQ(r.err, "E [QOR] Error input file not found. [take.WAV]\n");
        } else {
            EXPECT_NE(std::find(out.begin(), out.end(), c.fileNameLine), out.end()) << r.out;
        }
        EXPECT_EQ(dir.entries(), c.after);
    }
}

}  // namespace
