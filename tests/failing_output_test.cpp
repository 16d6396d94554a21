// Results that cannot be written, end to end through the binary: a missing or read-only
// destination folder and a disk that fills up mid-write. The run ends with its one error line,
// counts no file, leaves no result, temporary file or picture behind, and with /W leaves the
// source exactly as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/child_run.h"
#include "support/run_qor.h"
#include "support/wave_writer.h"

namespace {

constexpr int kNobody = 65534;

// A quiet stereo sound long enough that no result fits under the file-size limit below.
std::vector<int> stereoSound(int steps) {
    std::vector<int> values;
    for (int s = 0; s < steps; s++) {
        values.push_back((s % 50) * 100 - 2500);
        values.push_back(2500 - (s % 30) * 150);
    }
    return values;
}

TEST(FailingOutput, TheRunEndsWithItsLineAndLeavesNothingBehind) {
    enum Condition { kMissingFolder, kReadOnlyFolder, kDiskFills };
    struct Case {
        const char* name;
        Condition condition;
        std::vector<std::string> args;
        std::string err;
        int filesWhenWritable;  // the exit code of the same run without the condition
        const char* notReached = nullptr;  // a line of the operation that a refusal comes before
    } cases[] = {
        {"missing folder", kMissingFolder, {"boost", "/m2", "a.wav", "gone/out.wav"},
         "E [OUTPUT] cannot output [gone/out.wav]\n  [OUTPUT] No such file or directory\n", 1},
        {"missing folder, naked", kMissingFolder, {"reverse", "/N", "a.wav", "gone/out.wav"},
         "E [OUTPUT2] cannot output [gone/out.PHL]\n  [OUTPUT2] No such file or directory\n", 1},
        {"read-only folder", kReadOnlyFolder, {"mix", "a.wav", "a.wav", "out.wav"},
         "E [OUTPUT] cannot output [out.wav]\n  [OUTPUT] Permission denied\n", 1, "- [MIX] End MIX"},
        {"read-only folder, overwrite", kReadOnlyFolder, {"boost", "/m2", "/W", "a.wav"},
         "E [OUTPUT] cannot output [a.wav]\n  [OUTPUT] Permission denied\n", 1},
        {"read-only folder, split", kReadOnlyFolder, {"lrsprit", "a.wav", "out.wav"},
         "E [OUTPUT] cannot output [out_Lch.wav]\n  [OUTPUT] Permission denied\n", 2},
        {"disk fills", kDiskFills, {"back", "a.wav", "out.wav"}, "E [OUTPUT] cannot output [out.wav]\n  [OUTPUT] File too large\n", 1},
        {"disk fills, overwrite", kDiskFills, {"max", "/W", "a.wav"}, "E [OUTPUT] cannot output [a.wav]\n  [OUTPUT] File too large\n", 1},
        {"disk fills, overwrite naked 8-bit", kDiskFills, {"sb8convert", "/N", "/8", "/W", "a.wav"},
         "E [OUTPUT2] cannot output [a.PC8]\n  [OUTPUT2] File too large\n", 1},
        {"disk fills, head", kDiskFills, {"head", "/L900", "a.wav", "out.wav"}, "E [OUTPUT] cannot output [out.wav]\n  [OUTPUT] File too large\n", 1},
        {"disk fills, two sources", kDiskFills, {"combine", "/L100", "a.wav", "a.wav", "out.wav"},
         "E [OUTPUT] cannot output [out.wav]\n  [OUTPUT] File too large\n", 1},
        {"disk fills, split", kDiskFills, {"lrsprit", "a.wav", "out.wav"},
         "E [OUTPUT] cannot output [out_Lch.wav]\n  [OUTPUT] File too large\n", 2},
        {"disk fills, with a picture", kDiskFills, {"reverse", "/G", "a.wav", "out.wav"},
         "W [BITMAP] cannot output [out.BMP]\nE [OUTPUT] cannot output [out.wav]\n  [OUTPUT] File too large\n", 1},
    };
    const Bytes source = makeWave(2, 16, 8000, stereoSound(1000));
    std::string skipped;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            // The same run succeeds when nothing is in the way, so the condition is what fails it.
            TempDir dir;
            writeFile(dir / "a.wav", source);
            if (c.condition == kMissingFolder) mkdir((dir / "gone").c_str(), 0755);
            RunResult r = runQor(c.args, dir.path);
            EXPECT_EQ(r.exitCode, c.filesWhenWritable) << r.err;
        }
        TempDir dir;
        writeFile(dir / "a.wav", source);
        chmod((dir / "a.wav").c_str(), 0644);  // readable by nobody whatever the umask
        ChildConditions conditions;
        // The limit falls inside a step (header and 239 steps of 4 bytes, and one byte more), so a
        // copy the kernel makes stops mid-step.
        if (c.condition == kDiskFills) conditions.fileSizeLimit = 1001;
        if (c.condition == kReadOnlyFolder) {
            chmod(dir.path.c_str(), 0555);
            // The superuser writes anywhere: run as an ordinary user so the folder's mode holds.
            if (geteuid() == 0) conditions.userId = kNobody;
        }
        RunResult r = runQorUnder(c.args, dir.path, conditions);
        chmod(dir.path.c_str(), 0700);
        if (r.exitCode == 126) {
            skipped += std::string(" ") + c.name + ";";
            continue;
        }
        EXPECT_EQ(r.exitCode, 255);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out.find("- [OUTPUT2] Filename"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("finish"), std::string::npos);
        // A destination that cannot be written is refused before any sample is computed.
        if (c.notReached != nullptr) {
            EXPECT_EQ(r.out.find(c.notReached), std::string::npos) << r.out;
        }
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"a.wav"});
        EXPECT_EQ(readFile(dir / "a.wav"), source);
    }
    if (!skipped.empty()) GTEST_SKIP() << "cannot run as an ordinary user here, not checked:" << skipped;
}

// A limit the run can live with changes nothing but its speed: the same exit code, lines and
// files as without it.
TEST(FailingOutput, ALimitTheRunCanLiveWithChangesNothing) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        ChildConditions conditions;
    } cases[] = {
        // A result (or half) of more than a buffer (1 MiB) is written by a thread of its own,
        // which the limit refuses: the run writes on its own thread.
        {"the writer thread cannot start", {"boost", "/m2", "a.wav", "out.wav"}, {.processLimit = 1}},
        {"the writer thread cannot start, split", {"lrsprit", "a.wav", "out.wav"}, {.processLimit = 1}},
    };
    const Bytes source = makeWave(2, 16, 8000, stereoSound(600000));
    std::string skipped;
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir free;
        writeFile(free / "a.wav", source);
        const RunResult expected = runQor(c.args, free.path);
        ASSERT_EQ(expected.exitCode, c.args[0] == "lrsprit" ? 2 : 1) << expected.err;
        TempDir dir;
        writeFile(dir / "a.wav", source);
        chmod((dir / "a.wav").c_str(), 0644);
        chmod(dir.path.c_str(), 0777);
        // The superuser is not held to the process limit.
        if (geteuid() == 0) c.conditions.userId = kNobody;
        const RunResult r = runQorUnder(c.args, dir.path, c.conditions);
        if (r.exitCode == 126) {
            skipped += std::string(" ") + c.name + ";";
            continue;
        }
        EXPECT_EQ(r.exitCode, expected.exitCode) << r.err;
        EXPECT_EQ(r.out, expected.out);
        EXPECT_EQ(r.err, expected.err);
        EXPECT_EQ(dir.entries(), free.entries());
        for (const std::string& name : free.entries()) {
            EXPECT_EQ(readFile(dir / name), readFile(free / name)) << name;
        }
    }
    if (!skipped.empty()) GTEST_SKIP() << "cannot run as an ordinary user here, not checked:" << skipped;
}

}  // namespace
