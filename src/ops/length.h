// Head, cut, insert silence and backward.
#pragma once

#include <memory>

#include "engine/operation.h"

enum class LengthRule { kHead, kCut, kInsertSilence, kBackward };

std::unique_ptr<Operation> makeLength(LengthRule rule);
