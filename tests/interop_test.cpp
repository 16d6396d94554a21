// Every kind of file qor writes, checked with general-purpose readers: soxi and sndfile-info
// must see the channels, rate, depth and length the file was made with, sox must read back the
// very samples it holds, and ImageMagick's identify must accept the waveform pictures with their
// size and depth. A reader that is not installed skips the test (CI installs them all).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "support/child_run.h"
#include "support/run_qor.h"
#include "support/wave_writer.h"

namespace {

constexpr int kRate = 11025;
constexpr int kSteps = 600;

// Names of the readers in `programs` that are not on PATH, separated by blanks.
std::string missingReaders(const std::vector<std::string>& programs) {
    std::string missing;
    for (const std::string& p : programs) {
        if (findProgram(p).empty()) missing += " " + p;
    }
    return missing;
}

// Skips the test when a reader is missing, except in CI, which must have installed them.
#define REQUIRE_READERS(...)                                                                  \
    do {                                                                                      \
        const std::string missing = missingReaders({__VA_ARGS__});                            \
        if (!missing.empty()) {                                                               \
            if (getenv("CI") != nullptr) FAIL() << "CI must install the readers:" << missing; \
            GTEST_SKIP() << "readers not installed:" << missing;                              \
        }                                                                                     \
    } while (0)

// A sound with silence at both ends; the channels differ so that a swapped or mixed-up channel
// shows in the samples.
std::vector<int> sound(int channels, int bits) {
    std::vector<int> values;
    for (int s = 0; s < kSteps; s++) {
        for (int c = 0; c < channels; c++) {
            const bool loud = s >= 100 && s < kSteps - 100;
            const int v = (s * (37 + 14 * c)) % 100 - 50;
            values.push_back(loud ? (bits == 8 ? v : v * 160) : 0);
        }
    }
    return values;
}

void writeSources(const TempDir& dir) {
    for (int channels : {1, 2}) {
        for (int bits : {8, 16}) {
            const std::string name = (channels == 1 ? "m" : "s") + std::to_string(bits) + ".wav";
            writeFile(dir / name, makeWave(channels, bits, kRate, sound(channels, bits)));
        }
    }
}

std::string trimmed(const std::string& text) {
    size_t end = text.find_last_not_of(" \n\r\t");
    return end == std::string::npos ? "" : text.substr(0, end + 1);
}

// Runs a reader in `cwd` and returns its standard output; fails the test when it refuses.
std::string readWith(const std::vector<std::string>& argv, const std::string& cwd) {
    ChildConditions conditions;
    conditions.locale = "C";
    RunResult r = runProgram(argv, cwd, conditions);
    EXPECT_EQ(r.exitCode, 0) << argv[0] << " refused " << argv.back() << ": " << r.err;
    return r.out;
}

// The "Key : value" lines of sndfile-info's summary.
std::map<std::string, std::string> sndfileSummary(const std::string& text) {
    std::map<std::string, std::string> fields;
    for (const std::string& line : lines(text)) {
        size_t colon = line.find(" : ");
        if (colon == std::string::npos) continue;
        fields[trimmed(line.substr(0, colon))] = trimmed(line.substr(colon + 3));
    }
    return fields;
}

// The samples as sox decodes them, as the raw bytes of the file's own encoding.
Bytes soxSamples(const std::string& file, int bits, const std::string& cwd) {
    std::vector<std::string> argv{"sox", "-V1", file, "-t", "raw"};
    if (bits == 8) {
        argv.insert(argv.end(), {"-e", "unsigned-integer", "-b", "8", "-"});
    } else {
        argv.insert(argv.end(), {"-e", "signed-integer", "-b", "16", "-L", "-"});
    }
    const std::string out = readWith(argv, cwd);
    return Bytes(out.begin(), out.end());
}

struct Expected {
    int channels, bits, rate;
};

// Checks one WAVE result with every audio reader.
void checkWithReaders(const TempDir& dir, const std::string& file, const Expected& e) {
    SCOPED_TRACE(file);
    const Bytes bytes = readFile(dir / file);
    ParsedWave w = parseCanonicalWave(bytes);
    ASSERT_EQ(w.channels, e.channels);
    ASSERT_EQ(w.bits, e.bits);
    ASSERT_EQ(w.sampleRate, e.rate);
    const int steps = static_cast<int>(w.values.size()) / w.channels;
    ASSERT_GT(steps, 0);

    EXPECT_EQ(trimmed(readWith({"soxi", "-c", file}, dir.path)), std::to_string(e.channels));
    EXPECT_EQ(trimmed(readWith({"soxi", "-r", file}, dir.path)), std::to_string(e.rate));
    EXPECT_EQ(trimmed(readWith({"soxi", "-b", file}, dir.path)), std::to_string(e.bits));
    EXPECT_EQ(trimmed(readWith({"soxi", "-s", file}, dir.path)), std::to_string(steps));
    EXPECT_EQ(trimmed(readWith({"soxi", "-e", file}, dir.path)),
              e.bits == 8 ? "Unsigned Integer PCM" : "Signed Integer PCM");

    auto info = sndfileSummary(readWith({"sndfile-info", file}, dir.path));
    EXPECT_EQ(info["Channels"], std::to_string(e.channels));
    EXPECT_EQ(info["Sample Rate"], std::to_string(e.rate));
    EXPECT_EQ(info["Frames"], std::to_string(steps));
    // WAV container, PCM_U8 or PCM_16 samples.
    EXPECT_EQ(info["Format"], e.bits == 8 ? "0x00010005" : "0x00010002");

    EXPECT_EQ(soxSamples(file, e.bits, dir.path), Bytes(bytes.begin() + 44, bytes.end()));
}

TEST(Interop, EveryKindOfResultOpensInOtherReaders) {
    REQUIRE_READERS("sox", "soxi", "sndfile-info");
    struct Case {
        const char* family;
        std::vector<std::string> args;
        std::vector<std::string> results;
        Expected expected;
    } cases[] = {
        {"gain", {"boost", "/m2", "m16.wav", "out.wav"}, {"out.wav"}, {1, 16, kRate}},
        {"gain", {"add", "/v300", "s16.wav", "out.wav"}, {"out.wav"}, {2, 16, kRate}},
        {"gain", {"reverse", "s16.wav", "out.wav"}, {"out.wav"}, {2, 16, kRate}},
        {"gain", {"max", "m16.wav", "out.wav"}, {"out.wav"}, {1, 16, kRate}},
        {"length", {"head", "/L101", "m8.wav", "out.wav"}, {"out.wav"}, {1, 8, kRate}},
        {"length", {"cut", "/L-50", "s8.wav", "out.wav"}, {"out.wav"}, {2, 8, kRate}},
        {"length", {"inssilent", "/L30", "s16.wav", "out.wav"}, {"out.wav"}, {2, 16, kRate}},
        {"length", {"back", "m16.wav", "out.wav"}, {"out.wav"}, {1, 16, kRate}},
        {"channels", {"l2mono", "s8.wav", "out.wav"}, {"out.wav"}, {1, 8, kRate}},
        {"channels", {"r2mono", "s16.wav", "out.wav"}, {"out.wav"}, {1, 16, kRate}},
        {"channels", {"lrmono", "s16.wav", "out.wav"}, {"out.wav"}, {1, 16, kRate}},
        {"channels", {"ccancel", "s8.wav", "out.wav"}, {"out.wav"}, {1, 8, kRate}},
        {"channels", {"lrsprit", "s16.wav", "out.wav"}, {"out_Lch.wav", "out_Rch.wav"}, {1, 16, kRate}},
        {"channels", {"lrsprit", "s8.wav", "out.wav"}, {"out_Lch.wav", "out_Rch.wav"}, {1, 8, kRate}},
        {"channels", {"lrcombine", "m8.wav", "m8.wav", "out.wav"}, {"out.wav"}, {2, 8, kRate}},
        {"channels", {"lrcombine", "m16.wav", "m16.wav", "out.wav"}, {"out.wav"}, {2, 16, kRate}},
        {"two sources", {"mix", "m16.wav", "m16.wav", "out.wav"}, {"out.wav"}, {1, 16, kRate}},
        {"two sources", {"subtract", "/O7", "s16.wav", "s16.wav", "out.wav"}, {"out.wav"}, {2, 16, kRate}},
        {"two sources", {"combine", "/L21", "s8.wav", "s8.wav", "out.wav"}, {"out.wav"}, {2, 8, kRate}},
        {"two sources", {"compare", "m16.wav", "m16.wav"}, {}, {1, 16, kRate}},
        {"conversion", {"vcompress", "/t1000", "/M0.5", "s16.wav", "out.wav"}, {"out.wav"}, {2, 16, kRate}},
        {"conversion", {"sb8convert", "s16.wav", "out.wav"}, {"out.wav"}, {2, 8, kRate}},
        {"conversion", {"sb8convert", "m16.wav", "out.wav"}, {"out.wav"}, {1, 8, kRate}},
        {"conversion", {"convert", "/f22050", "m16.wav", "out.wav"}, {"out.wav"}, {1, 16, 22050}},
        {"conversion", {"convert", "/f8000", "s16.wav", "out.wav"}, {"out.wav"}, {2, 16, 8000}},
        {"conversion", {"lofi", "/b6", "/f5512", "m16.wav", "out.wav"}, {"out.wav"}, {1, 16, kRate}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.family) + ": " + c.args[0]);
        TempDir dir;
        writeSources(dir);
        RunResult r = runQor(c.args, dir.path);
        ASSERT_EQ(r.exitCode, static_cast<int>(c.results.size())) << r.err;
        for (const std::string& result : c.results) checkWithReaders(dir, result, c.expected);
        if (c.results.empty()) {
            // compare writes nothing: its sources themselves, as the test's writer made them.
            checkWithReaders(dir, "m16.wav", c.expected);
        }
    }
}

// Naked PCM has no header: sox reads it with the format its extension names and must find the
// samples of the WAVE result of the same run.
TEST(Interop, NakedPcmHoldsTheSamplesItsExtensionNames) {
    REQUIRE_READERS("sox");
    struct Case {
        std::vector<std::string> args;  // without /N; the destination is added
        std::vector<std::string> nakedOptions;
        std::string naked;
        std::string encoding;
        int bits, channels;
    } cases[] = {
        {{"reverse", "s16.wav"}, {"/N"}, "out.PHL", "signed-integer", 16, 2},
        {{"head", "/L101", "m8.wav"}, {"/N"}, "out.PPI", "unsigned-integer", 8, 1},
        {{"cut", "/L50", "s8.wav"}, {"/N", "/8"}, "out.PC8", "signed-integer", 8, 2},
        {{"sb8convert", "m16.wav"}, {"/N", "/8"}, "out.PC8", "signed-integer", 8, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.naked + " from " + c.args[0]);
        TempDir dir;
        writeSources(dir);
        std::vector<std::string> wave = c.args;
        wave.push_back("ref.wav");
        ASSERT_EQ(runQor(wave, dir.path).exitCode, 1);
        std::vector<std::string> naked = c.args;
        naked.insert(naked.begin() + 1, c.nakedOptions.begin(), c.nakedOptions.end());
        naked.push_back("out.wav");
        ASSERT_EQ(runQor(naked, dir.path).exitCode, 1);
        std::vector<std::string> expected{c.naked, "m16.wav", "m8.wav", "ref.wav", "s16.wav", "s8.wav"};
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(dir.entries(), expected);

        const std::vector<std::string> asSigned16{"-t", "raw", "-e", "signed-integer", "-b", "16", "-L", "-"};
        std::vector<std::string> readNaked{"sox",      "-V1", "-t", "raw", "-e",       c.encoding,
                                           "-b",       std::to_string(c.bits), "-c", std::to_string(c.channels),
                                           "-r",       std::to_string(kRate), c.naked};
        readNaked.insert(readNaked.end(), asSigned16.begin(), asSigned16.end());
        std::vector<std::string> readWave{"sox", "-V1", "ref.wav"};
        readWave.insert(readWave.end(), asSigned16.begin(), asSigned16.end());
        const std::string fromNaked = readWith(readNaked, dir.path);
        EXPECT_FALSE(fromNaked.empty());
        EXPECT_EQ(fromNaked, readWith(readWave, dir.path));
    }
}

TEST(Interop, PicturesOpenInImageMagick) {
    REQUIRE_READERS("identify");
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> pictures;
        int width;  // the plot's columns plus a margin of 14
    } cases[] = {
        {{"info", "/G100", "s16.wav"}, {"s16.BMP"}, 100 + 14},        // 6 samples per pixel
        {{"info", "/g-7", "m8.wav"}, {"m8.BMP"}, kSteps / 7 + 14},    // 85 columns
        {{"boost", "/m2", "/G-50", "m16.wav", "out.wav"}, {"out.BMP"}, kSteps / 50 + 14},
        {{"lrsprit", "/g200", "s8.wav", "out.wav"}, {"out_Lch.BMP", "out_Rch.BMP"}, 200 + 14},
        // 1200 steps at the default width of 960: 2 samples per pixel, 600 columns.
        {{"convert", "/f22050", "/G", "m16.wav", "out.wav"}, {"out.BMP"}, 600 + 14},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        TempDir dir;
        writeSources(dir);
        RunResult r = runQor(c.args, dir.path);
        ASSERT_LE(r.exitCode, 2) << r.err;
        for (const std::string& picture : c.pictures) {
            SCOPED_TRACE(picture);
            // Format, size, depth and class: a palette picture is a PseudoClass image.
            const std::string description = readWith({"identify", "-format", "%m|%w|%h|%z|%r", picture}, dir.path);
            EXPECT_EQ(description.substr(0, description.find(' ')),
                      "BMP3|" + std::to_string(c.width) + "|263|8|PseudoClass");
        }
    }
}

}  // namespace
