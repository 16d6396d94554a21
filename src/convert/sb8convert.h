// sb8convert: a simple conversion of 16-bit samples to 8-bit.
#pragma once

#include <memory>

#include "engine/operation.h"

std::unique_ptr<Operation> makeSimpleConvert8();
