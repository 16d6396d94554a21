#include <clocale>
#include <string>
#include <vector>

#include "driver/dispatch.h"
#include "base/log.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    platform::holdStandardStreams();
    setlocale(LC_CTYPE, "");
    initialiseStreams();
    // The arguments as UTF-8 (on Windows read from the UTF-16 command line).
    const std::vector<std::string> arguments = platform::commandLineArguments(argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
    pointers.push_back(nullptr);
    return runQor(static_cast<int>(arguments.size()), pointers.data());
}
