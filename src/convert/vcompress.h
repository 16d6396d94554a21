// vcompress: the samples above the threshold compressed at a rate.
#pragma once

#include <memory>

#include "engine/operation.h"

std::unique_ptr<Operation> makeVcompress();
