// cmake --install puts the program, its manual page and its documents in place, and the page
// documents every operation word and option switch of the program's tables.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <sstream>
#include <string>

#include "driver/command_line.h"
#include "driver/operations.h"
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

    // The page is installed compressed, as Debian keeps pages, and reads back as the source.
    const RunResult page = runProgram({"gzip", "-dc", prefix / "share/man/man1/qor.1.gz"}, ".");
    ASSERT_EQ(page.exitCode, 0) << page.err;
    const Bytes source = readFile(sourceFolder + "/man/qor.1");
    EXPECT_EQ(page.out, std::string(source.begin(), source.end()));
    const std::set<std::string> documented = boldWords(page.out);
    for (const OperationRow& row : operationRows()) EXPECT_EQ(documented.count(row.word), 1u) << row.word;
    for (const OptionRow& row : optionRows()) {
        const std::string option = std::string("/") + row.letter;
        // A switch that takes a letter (/RC, /RB) is documented with it.
        const auto found = documented.lower_bound(option);
        const bool letterFollows = std::string(row.value) == "<c>";
        EXPECT_TRUE(letterFollows ? found != documented.end() && found->rfind(option, 0) == 0 && *found != option
                                  : documented.count(option) == 1)
            << option << " is not documented";
    }
    for (const char* document : {"README.md", "copyright", "changelog.Debian.gz"}) {
        EXPECT_EQ(stat((prefix / "share/doc/qor/" + document).c_str(), &status), 0) << document;
    }
    const Bytes copyright = readFile(prefix / "share/doc/qor/copyright");
    EXPECT_EQ(std::string(copyright.begin(), copyright.end()).rfind("Format: https://www.debian.org/doc/", 0), 0u);
}

}  // namespace
