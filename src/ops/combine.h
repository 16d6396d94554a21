// combine: source 2 joined after source 1, with a gap of silence.
#pragma once

#include <memory>

#include "engine/operation.h"

std::unique_ptr<Operation> makeConcatenation();
