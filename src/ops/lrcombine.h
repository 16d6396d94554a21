// lrcombine: two mono sources become the left and right channels of one stereo result.
#pragma once

#include <memory>

#include "engine/operation.h"

std::unique_ptr<Operation> makeStereoCombine();
