// Writes the seed corpora of the fuzzers, every file made by the tests' own WAVE writer:
//
//   qor-fuzz-seeds <folder>
//
// makes <folder>/source (WAVE files, well-formed and not), <folder>/operation (the same files
// with a last byte that picks each command of the operation harness) and <folder>/command_line
// (argument lists separated by zero bytes).
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/wave_writer.h"

namespace {

// A short sound with silence at both ends, interleaved for `channels`.
std::vector<int> tone(int channels, int bits, int steps) {
    const int loud = bits == 8 ? 90 : 20000;
    std::vector<int> values;
    for (int s = 0; s < steps; s++) {
        const bool inside = s >= steps / 4 && s < steps * 3 / 4;
        for (int c = 0; c < channels; c++) {
            const int sign = (s + c) % 2 == 0 ? 1 : -1;
            values.push_back(inside ? sign * loud / (c + 1) : 0);
        }
    }
    return values;
}

struct Seed {
    std::string name;
    Bytes bytes;
};

std::vector<Seed> sourceSeeds() {
    std::vector<Seed> seeds;
    for (int channels : {1, 2}) {
        for (int bits : {8, 16}) {
            std::string name = "canonical-" + std::to_string(channels) + "ch-" + std::to_string(bits) + "bit";
            seeds.push_back({name, makeWave(channels, bits, 8000, tone(channels, bits, 24))});
        }
    }
    const Bytes fmt16 = chunk("fmt ", fmtBody(1, 2, 22050, 16));
    const Bytes data16 = chunk("data", sampleBytes(16, tone(2, 16, 12)));
    Bytes longFmt = fmtBody(1, 2, 22050, 16);
    longFmt.insert(longFmt.end(), {0, 0});
    seeds.push_back({"long-fmt-list-fact", riffWave({chunk("fmt ", longFmt), chunk("LIST", {'I', 'N', 'F', 'O'}),
                                                     chunk("fact", {12, 0, 0, 0}), data16})});
    seeds.push_back({"odd-chunk-padded", riffWave({fmt16, chunk("junk", {1, 2, 3}), Bytes{0}, data16})});
    seeds.push_back({"padded-steps", riffWave({chunk("fmt ", fmtBody(1, 1, 8000, 16, 4)),
                                               chunk("data", sampleBytes(16, tone(2, 16, 10)))})});
    seeds.push_back({"data-past-end", riffWave({fmt16, chunk("data", sampleBytes(16, tone(2, 16, 6)), 4000)})});
    seeds.push_back({"data-size-minus-one", riffWave({fmt16, chunk("data", sampleBytes(16, tone(2, 16, 6)), 0xFFFFFFFF)})});
    seeds.push_back({"fact-mismatch", riffWave({fmt16, chunk("fact", {5, 0, 0, 0}), data16})});
    seeds.push_back({"data-before-fmt", riffWave({data16, fmt16})});
    seeds.push_back({"float-tag", riffWave({chunk("fmt ", fmtBody(3, 1, 8000, 32)), chunk("data", Bytes(16, 0))})});
    seeds.push_back({"block-align-0", riffWave({chunk("fmt ", fmtBody(1, 1, 8000, 8, 0)), chunk("data", Bytes(8, 200))})});
    Bytes cut = riffWave({fmt16});
    cut.insert(cut.end(), {'d', 'a', 't', 'a', 4});
    seeds.push_back({"header-cut", cut});
    seeds.push_back({"riff-only", {'R', 'I', 'F', 'F'}});
    return seeds;
}

const std::vector<std::vector<std::string>> kCommandLines = {
    {"info", "a.wav"},
    {"ask", "/RC", "a"},
    {"INFO", "/V", "/m3", "/G-8", "a.wav"},
    {"compare", "/T", "/2", "/t100", "a", "b"},
    {"mix", "/O100", "/o-5", "/W", "a", "b"},
    {"subtract", "a", "b", "c"},
    {"boost", "/m300", "a", "b"},
    {"boost", "/B60", "/B-48.1", "/M1.5e2", "a", "b"},
    {"max", "/m2", "a", "b"},
    {"add", "-v-32768", "a", "b"},
    {"lofi", "/b20", "/f48000", "a", "b"},
    {"convert", "/f3675", "/b1", "a", "b"},
    {"head", "/L-4410", "/N", "/8", "a", "b.raw"},
    {"combine", "/L12ab", "/t:5", "a", "b", "c"},
    {"lrsprit", "/g0", "/G", "/x", "/", "-", "a", "b"},
    {"cut", "/L99999999999", "/Rb", "a", "b"},
    {"reverse", "1", "2", "3", "4", "5", "6", "7", "8", "9"},
    {"/D", "info", "a"},
    {"noisecut", "a", "b"},
    {"inssilent", std::string(1019, 'n')},
    {"vcompress", std::string(1020, 'n'), "b"},
    {"lrcombine", "/home/me/take.wav", "/F", "/S", "b", "c"},
};

bool writeSeed(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return out.good();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: qor-fuzz-seeds <folder>\n");
        return 2;
    }
    const std::string root = argv[1];
    for (const char* sub : {"", "/source", "/operation", "/command_line"}) mkdir((root + sub).c_str(), 0755);
    // The operation harness picks one of this many commands from the last byte.
    constexpr int kOperationCommands = 32;
    bool ok = true;
    int count = 0;
    for (const Seed& seed : sourceSeeds()) {
        ok = writeSeed(root + "/source/" + seed.name, seed.bytes) && ok;
        count++;
        // The source harness takes its settings from the last byte: report mode, /V, /2, /t,
        // the two pictures and the dump window.
        for (uint8_t settingsByte : {0x01, 0x03, 0x07, 0x0B, 0x13, 0x21, 0x42, 0xC3}) {
            Bytes picked = seed.bytes;
            picked.push_back(settingsByte);
            ok = writeSeed(root + "/source/" + seed.name + "-s" + std::to_string(settingsByte), picked) && ok;
            count++;
        }
        for (int command = 0; command < kOperationCommands; command++) {
            Bytes picked = seed.bytes;
            picked.push_back(static_cast<uint8_t>(command));
            ok = writeSeed(root + "/operation/" + seed.name + "-" + std::to_string(command), picked) && ok;
            count++;
        }
    }
    for (size_t i = 0; i < kCommandLines.size(); i++) {
        Bytes joined;
        for (size_t a = 0; a < kCommandLines[i].size(); a++) {
            if (a > 0) joined.push_back(0);
            appendText(joined, kCommandLines[i][a]);
        }
        ok = writeSeed(root + "/command_line/" + std::to_string(i), joined) && ok;
        count++;
    }
    if (!ok) {
        fprintf(stderr, "qor-fuzz-seeds: cannot write the seeds under %s\n", root.c_str());
        return 1;
    }
    printf("qor-fuzz-seeds: %d seeds under %s\n", count, root.c_str());
    return 0;
}
