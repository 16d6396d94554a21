// Runs whole processing operations in-process on arbitrary source files: the input is the
// source (used as both sources by the two-source operations) and its last byte picks the
// command line, so that hostile headers reach every operation, writer and picture.
#include <cstdint>
#include <string>
#include <vector>

#include "driver/dispatch.h"
#include "fuzz_support.h"

namespace {

struct Command {
    std::vector<const char*> options;
    int sources;  // 1, or 2 for the two-source operations
};

const Command kCommands[] = {
    {{"info", "/V", "/G16"}, 1},
    {{"info", "/g-3", "/2"}, 1},
    {{"ask", "/V", "/m3", "/RC"}, 1},
    {{"compare", "/V", "/T"}, 2},
    {{"mix", "/F"}, 2},
    {{"subtract", "/o-2"}, 2},
    {{"mix", "/O3", "/G8"}, 2},
    {{"lrcombine", "/N"}, 2},
    {{"combine", "/L3", "/N", "/8"}, 2},
    {{"boost", "/m3", "/F"}, 1},
    {{"boost", "/m-4"}, 1},
    {{"boost", "/B6.5", "/g8"}, 1},
    {{"max"}, 1},
    {{"add", "/v100", "/F"}, 1},
    {{"reverse", "/G-1"}, 1},
    {{"back"}, 1},
    {{"head", "/L5"}, 1},
    {{"head", "/L-5"}, 1},
    {{"cut", "/L3"}, 1},
    {{"cut", "/L-3", "/N"}, 1},
    {{"inssilent", "/L4"}, 1},
    {{"inssilent", "/L-4", "/G"}, 1},
    {{"l2mono"}, 1},
    {{"r2mono", "/N"}, 1},
    {{"lrmono", "/F"}, 1},
    {{"ccancel"}, 1},
    {{"lrsprit", "/G16"}, 1},
    {{"vcompress", "/t100", "/M0.5", "/F"}, 1},
    {{"sb8convert", "/N", "/8"}, 1},
    // Targets at the low end keep the result of a source that claims a rate of a few Hz to a
    // size that fits the fuzzer's memory and time limits.
    {{"convert", "/f8000"}, 1},
    {{"convert", "/f3675", "/g16"}, 1},
    {{"lofi", "/b3", "/f3675"}, 1},
};
constexpr size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string source = writeScratchFile("in.wav", data, size);
    const std::string dest = scratchFolder() + "/out.wav";
    const Command& command = kCommands[(size > 0 ? data[size - 1] : 0) % kCommandCount];

    std::vector<const char*> argv{"qor"};
    argv.insert(argv.end(), command.options.begin(), command.options.end());
    argv.push_back("/S");
    for (int i = 0; i < command.sources; i++) argv.push_back(source.c_str());
    argv.push_back(dest.c_str());  // ignored by info, ask and compare as a surplus name

    quietSettings();
    runQor(static_cast<int>(argv.size()), argv.data());
    endInput();
    return 0;
}
