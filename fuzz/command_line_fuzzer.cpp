// Feeds arbitrary command lines through the parser: the input is split into arguments at zero
// bytes and handed over as argv[1..]. Nothing is loaded or written; a parse either completes or
// ends the run with its error line, and in both cases the settings must stay well-formed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "base/log.h"
#include "fuzz_support.h"

namespace {

constexpr size_t kMostArguments = 64;

bool terminated(const char* buffer) { return memchr(buffer, '\0', kNameBufferSize) != nullptr; }

void checkSettings() {
    bool sane = settings.fileCount >= 0 && settings.fileCount <= kMaxFileNames;
    for (int i = 0; sane && i < kMaxFileNames; i++) sane = terminated(settings.fileNames[i]);
    if (sane && settings.destName != nullptr) {
        sane = settings.destName == settings.destNameBuffer && terminated(settings.destNameBuffer);
    }
    if (sane && settings.bitmapReduce < 0) sane = false;
    if (!sane) {
        fprintf(stderr, "qor fuzz: the parser left the settings inconsistent\n");
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> arguments{"qor"};
    std::string current;
    for (size_t i = 0; i < size && arguments.size() < kMostArguments; i++) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (arguments.size() < kMostArguments && (!current.empty() || size == 0)) arguments.push_back(current);
    std::vector<const char*> argv;
    for (const std::string& a : arguments) argv.push_back(a.c_str());

    quietSettings();
    try {
        // The parser resets the settings first; keep its lines quiet from the first on.
        if (parseCommandLine(static_cast<int>(argv.size()), argv.data()) > 0) checkSettings();
    } catch (const QorExit&) {
        // An unknown word, too many or too few names: the run ends with its line, as it should.
    }
    endInput();
    return 0;
}
