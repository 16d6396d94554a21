#include "driver/help.h"

#include <cstdio>

#include "base/log.h"
#include "driver/command_line.h"
#include "driver/operations.h"
#include "platform/platform.h"

namespace {

// `text` followed by blanks up to `width` columns, and by one blank at least.
std::string padded(const std::string& text, size_t width) {
    return text + std::string(text.size() < width ? width - text.size() : 1, ' ');
}

}  // namespace

std::string guideText(const std::string& program) {
    std::string text = versionLine() + "\n\n";
    text += program +
            " analyses and edits uncompressed PCM WAVE files (8-bit unsigned or 16-bit signed,\n"
            "mono or stereo). A run performs one operation on one or two sources and writes at most one\n"
            "result (two for lrsprit), as a WAVE file or as naked PCM, and on request a waveform picture\n"
            "(BMP). Each stage reports itself on a line: \"E\" an error, \"W\" a warning, \"-\" progress.\n\n";
    text += "Usage: " + program + " <operation> [options] source [source2] [destination]\n";
    text += "       " + program + " --help | -h | --version\n";
    text += "Options begin with / or - and may stand anywhere after the operation. A name without an\n"
            "extension gets \".WAV\"; - is standard input or output. The result goes to the last name,\n"
            "or with /W over the first source.\n\n";
    text += "Operations (letter case ignored):\n";
    for (const OperationRow& row : operationRows()) text += "  " + padded(row.word, 12) + row.help + "\n";
    text += "\nOptions (<n> an integer, <x> a decimal number; a step is one sample of every channel):\n";
    for (const OptionRow& row : optionRows()) {
        const std::string spelling = std::string("/") + row.letter + row.value;
        text += "  " + padded(spelling, 9) + padded(row.range, 13) + row.meaning + "\n";
    }
    text += "\nExit codes:\n"
            "  0, 1, 2    the number of files written (pictures are not counted)\n"
            "  /RC, /RB   info and ask exit with the number of channels or of bits per sample\n"
            "  255        an error ended the run; its \"E\" line is the last line written (-1 on Windows)\n"
            "  254        an internal consistency error ended the run (-2 on Windows)\n";
    text += "\nMore:\n"
            "  man qor    the manual page, every operation and option in full (qor.txt beside qor.exe)\n"
            "  README.md  recipes for many files at once and for pipelines through sox or ffmpeg: in the\n"
            "             sources, in share/doc/qor/ where qor is installed (/usr/share/doc/qor/ from\n"
            "             the Debian package), beside qor.exe in the Windows zip\n";
    return text;
}

void printGuide(const char* invokedAs) {
    if (localeIsJapanese()) printHelp();
    const std::string path = invokedAs != nullptr ? invokedAs : "";
    std::string program = path.substr(platform::baseNameStart(path));
    if (program.empty()) program = "qor";
    flushStreams();
    platform::writeText(stdout, guideText(program));
    fflush(stdout);
    throw QorExit{0};
}
