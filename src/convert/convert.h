// convert: resampling to another rate by window means.
#pragma once

#include <memory>

#include "engine/operation.h"

std::unique_ptr<Operation> makeConvert();
