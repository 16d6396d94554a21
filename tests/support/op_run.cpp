#include "support/op_run.h"

#include <gtest/gtest.h>

#include <tuple>

void expectRun(const OpRow& row) {
    TempDir dir;
    writeFile(dir / "in.wav", row.source);
    std::vector<std::string> args = row.args;
    args.insert(args.end(), {"in.wav", "out.wav"});
    const RunResult run = runQor(args, dir.path, "C.UTF-8", true);
    EXPECT_EQ(run.exitCode, row.exitCode) << run.out;
    EXPECT_EQ(operationLines(run.out), row.lines);
    if (row.result.empty()) {
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"in.wav"});
        return;
    }
    const Bytes written = readFile(dir / "out.wav");
    const ParsedWave got = parseCanonicalWave(written);
    const ParsedWave want = parseCanonicalWave(row.result);
    EXPECT_EQ(std::tie(got.channels, got.bits, got.sampleRate, got.byteRate, got.blockAlign),
              std::tie(want.channels, want.bits, want.sampleRate, want.byteRate, want.blockAlign));
    EXPECT_EQ(got.values, want.values);
    EXPECT_TRUE(written == row.result) << "the result file differs from the one expected";
}

std::vector<std::string> operationLines(const std::string& mergedOutput) {
    const std::vector<std::string> all = lines(mergedOutput);
    size_t from = 0;
    for (size_t i = 0; i < all.size(); i++) {
        if (all[i].rfind("  [DATA] Length :", 0) == 0) from = i + 1;
    }
    std::vector<std::string> out;
    for (size_t i = from; i < all.size(); i++) {
        if (all[i].rfind("- [OUTPUT2] Filename", 0) == 0 || all[i].rfind("- [APMALLOC]", 0) == 0) break;
        out.push_back(all[i]);
    }
    return out;
}

std::vector<std::string> lastLines(const std::string& out, size_t count) {
    const std::vector<std::string> all = lines(out);
    return std::vector<std::string>(all.end() - static_cast<long>(std::min(count, all.size())), all.end());
}

long firstDifference(const std::vector<int>& got, const std::vector<int>& want) {
    const size_t common = std::min(got.size(), want.size());
    for (size_t i = 0; i < common; i++) {
        if (got[i] != want[i]) return static_cast<long>(i);
    }
    return got.size() == want.size() ? -1 : static_cast<long>(common);
}
