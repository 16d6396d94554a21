// Gain, offset, maximise and reverse (boost, add, max, reverse): every 16-bit sample rewritten
// by the same rule, with the overflow policy.
#pragma once

#include <memory>

#include "engine/operation.h"

enum class GainRule { kBoost, kAdd, kReverse, kMaximize };

std::unique_ptr<Operation> makeGain(GainRule rule);
