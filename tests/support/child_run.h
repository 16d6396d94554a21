// Running a program in a child process under conditions the test sets: a file-size limit (a
// disk that fills up), another user (a folder the run may not write), and running the general
// readers that check the program's files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/run_qor.h"

struct ChildConditions {
    int64_t fileSizeLimit = -1;  // bytes a file may grow to; -1 no limit
    int64_t memoryLimit = -1;    // bytes of address space; -1 no limit
    int64_t processLimit = -1;   // processes and threads the user may have (set after userId); -1 no limit
    int userId = -1;             // run as this user (and its group); -1 as ourselves
    std::string locale = "C.UTF-8";
    bool mergeStreams = false;  // the error stream goes to `out` too, in the order written
};

// Runs `argv` (argv[0] looked up on PATH unless it holds a "/") in the folder `cwd`. Exit code
// 126 means the child could not take on the conditions (or, as another user, reach the program),
// 127 that the program could not start.
RunResult runProgram(const std::vector<std::string>& argv, const std::string& cwd,
                     const ChildConditions& conditions = {});

// Runs the built qor binary with `args` under `conditions`.
RunResult runQorUnder(const std::vector<std::string>& args, const std::string& cwd,
                      const ChildConditions& conditions);

// The full path of `name` on PATH, or "" when it is not installed.
std::string findProgram(const std::string& name);
