#include <clocale>
#include <string>
#include <vector>

#include "driver/dispatch.h"
#include "base/log.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    platform::holdStandardStreams();
    // Before anything is written: a source read from a pipe is spooled before any result is
    // opened, and a file-size limit must fail that write, not end the process.
    platform::ignoreWriteSignals();
    setlocale(LC_CTYPE, "");
    initialiseStreams();
    // The arguments as UTF-8 (on Windows read from the UTF-16 command line).
    const std::vector<std::string> arguments = platform::commandLineArguments(argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
    pointers.push_back(nullptr);
    return runQor(static_cast<int>(arguments.size()), pointers.data());
}
