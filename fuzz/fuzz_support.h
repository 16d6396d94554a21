// What every harness needs to run qor in-process once per input: a scratch folder for the
// files the reader loads by name, and a clean slate between inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A private folder (under $QOR_FUZZ_SCRATCH, else in /dev/shm when it exists, so that inputs
// never touch a disk), created on first use and removed with its contents when the process ends.
const std::string& scratchFolder();

// Writes `size` bytes as the file `name` inside the scratch folder; returns its path.
std::string writeScratchFile(const char* name, const uint8_t* data, size_t size);

// Settings back to their defaults with nothing logged, as a run starts.
void quietSettings();

// Releases every tracked buffer of the input that just ran, so the next input starts empty and
// the leak checker sees nothing left over.
void endInput();
