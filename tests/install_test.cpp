// cmake --install puts the program and its manual page in place, and the page documents every
// operation word and option switch the program takes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <sstream>
#include <string>

#include "support/child_run.h"
#include "support/run_qor.h"
#include "support/wave_writer.h"

namespace {

std::string folderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

// The words a manual page sets in bold (.B, .BR and .BI lines), without quotes and commas.
std::set<std::string> boldWords(const std::string& page) {
    std::set<std::string> words;
    std::istringstream in(page);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(".B ", 0) != 0 && line.rfind(".BR ", 0) != 0 && line.rfind(".BI ", 0) != 0) continue;
        std::istringstream tokens(line.substr(line.find(' ') + 1));
        std::string token;
        while (tokens >> token) {
            std::string word;
            for (char ch : token) {
                if (ch != '"' && ch != ',') word += ch;
            }
            if (!word.empty()) words.insert(word);
        }
    }
    return words;
}

TEST(Install, PutsTheProgramAndItsManualPageInPlace) {
    if (findProgram("cmake").empty()) GTEST_SKIP() << "cmake is not on PATH";
    const std::string buildFolder = folderOf(QOR_BINARY);
    const std::string sourceFolder = folderOf(folderOf(__FILE__));
    TempDir prefix;
    RunResult install = runProgram({"cmake", "--install", buildFolder, "--prefix", prefix.path}, ".");
    ASSERT_EQ(install.exitCode, 0) << install.out << install.err;

    struct stat status;
    ASSERT_EQ(stat((prefix / "bin/qor").c_str(), &status), 0);
    EXPECT_NE(status.st_mode & S_IXUSR, 0u);
    RunResult usage = runProgram({prefix / "bin/qor"}, prefix.path);
    EXPECT_EQ(usage.exitCode, 0);
    EXPECT_NE(usage.err.find("QOR WAVE-Utility Ver.2.32"), std::string::npos);

    const Bytes page = readFile(prefix / "share/man/man1/qor.1");
    EXPECT_EQ(page, readFile(sourceFolder + "/man/qor.1"));
    const std::set<std::string> documented = boldWords(std::string(page.begin(), page.end()));
    for (const char* word : {"info", "ask", "compare", "mix", "subtract", "boost", "max", "add", "reverse", "back",
                             "l2mono", "r2mono", "lrmono", "ccancel", "lrsprit", "vcompress", "combine",
                             "inssilent", "cut", "head", "convert", "sb8convert", "lrcombine", "lofi", "/D", "/S",
                             "/V", "/F", "/2", "/T", "/W", "/N", "/8", "/t", "/G", "/g", "/m", "/M", "/B", "/v",
                             "/O", "/o", "/L", "/b", "/f", "/RC", "/RB"}) {
        EXPECT_EQ(documented.count(word), 1u) << word << " is not documented";
    }
}

}  // namespace
