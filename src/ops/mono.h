// Mono derivation from a stereo source, and the stereo split.
#pragma once

#include <memory>

#include "engine/operation.h"

// How the mono samples are made from the two channels: l2mono, r2mono, lrmono, ccancel.
enum class Measure { kLeft, kRight, kSum, kDifference };

std::unique_ptr<Operation> makeMono(Measure measure);
// lrsprit: the left channel, then the right.
std::unique_ptr<Operation> makeSplit();

// Writes into `out` (kNameBufferSize bytes) `name` with `tag` inserted before the last "." of its
// last path component, or appended when that component has none. False when it would not fit.
bool splitName(const char* name, const char* tag, char* out);
