// What --help and -h print: a short guide in English, built from the tables of operations and
// options, or the usage text under a Japanese locale.
#pragma once

#include <string>

// The guide, naming the program `program` (the name it was called by, without its folder).
std::string guideText(const std::string& program);
// Writes the guide to standard output, naming the program after `invokedAs` (argv[0]), or the
// usage text when the locale is Japanese, and ends the run with 0.
[[noreturn]] void printGuide(const char* invokedAs);
