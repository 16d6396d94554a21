#include "support/child_run.h"

#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <string>

RunResult runProgram(const std::vector<std::string>& argv, const std::string& cwd,
                     const ChildConditions& conditions) {
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) abort();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(conditions.mergeStreams ? outPipe[1] : errPipe[1], 2);
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        setenv("LC_ALL", conditions.locale.c_str(), 1);
        if (conditions.fileSizeLimit >= 0) {
            // The program must survive the limit by itself: SIGXFSZ keeps its default action
            // (which ends the process) unless the program ignores it.
            signal(SIGXFSZ, SIG_DFL);
            rlimit limit{static_cast<rlim_t>(conditions.fileSizeLimit), static_cast<rlim_t>(conditions.fileSizeLimit)};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
        }
        if (conditions.memoryLimit >= 0) {
            rlimit limit{static_cast<rlim_t>(conditions.memoryLimit), static_cast<rlim_t>(conditions.memoryLimit)};
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
        }
        if (conditions.userId >= 0) {
            const gid_t group = static_cast<gid_t>(conditions.userId);
            if (setgroups(0, nullptr) != 0 || setgid(group) != 0 || setuid(static_cast<uid_t>(conditions.userId)) != 0) {
                _exit(126);
            }
        }
        if (conditions.processLimit >= 0) {
            // Set after the change of user, which would fail the exec when the new user already
            // has that many processes. The leak checker of a sanitizer build needs a thread of its
            // own, which the limit refuses too.
            rlimit limit{static_cast<rlim_t>(conditions.processLimit), static_cast<rlim_t>(conditions.processLimit)};
            if (setrlimit(RLIMIT_NPROC, &limit) != 0) _exit(126);
            const char* sanitizer = getenv("ASAN_OPTIONS");
            if (sanitizer != nullptr) {
                setenv("ASAN_OPTIONS", (std::string(sanitizer) + ":detect_leaks=0").c_str(), 1);
            }
        }
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        // Another user may be refused the program's folder (a tree made under umask 077): that is
        // the conditions failing, not the program.
        _exit(conditions.userId >= 0 && errno == EACCES ? 126 : 127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    return collectChild(pid, outPipe[0], errPipe[0]);
}

RunResult runQorUnder(const std::vector<std::string>& args, const std::string& cwd,
                      const ChildConditions& conditions) {
    std::vector<std::string> argv{QOR_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, cwd, conditions);
}

std::string findProgram(const std::string& name) {
    const char* path = getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (folder.empty()) continue;
        std::string candidate = folder + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}
